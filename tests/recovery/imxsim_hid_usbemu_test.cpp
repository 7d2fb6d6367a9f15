// The SDP loader over USB HID (hidapi, hidraw) against the simulated boot ROM
// on the emulated USB bus, and the recovery loader module that the jump
// brings up: it is found on USB as 0xDEADDEAD and answers option 39 with the
// chip's identifier.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "imxsim/Simulator.h"
#include "quillwork/Entity.h"
#include "quillwork/Module.h"
#include "quillwork/qwusb_driver.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

using namespace imxsim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Corvatek::Quillwork::Module;
using Corvatek::Quillwork::SystemClass;

namespace {

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = uint8_t((i * 7) ^ (i >> 9));
  return b;
}

std::unique_ptr<SDPLoader> hidLoader() {
  auto l = std::make_unique<SDPLoader>();
  l->setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  EXPECT_EQ(l->init(), cErrNone);
  return l;
}

// Connects to the module with the serial number over USB and reads option 39
// subindexes 0-3.
std::array<uint32_t, 4> identifierOverUsb(uint32_t serial) {
  std::array<uint32_t, 4> words{};
  Module m(0, 0);
  cEtherConfig off;
  off.enabled = 0;
  off.fallback = 0;
  EXPECT_EQ(m.setConfig(off), cErrNone);
  cErr e = cErrConnection;
  for (int attempt = 0; attempt < 20 && e != cErrNone; ++attempt) {
    e = m.discoverAndConnect(linkTypeUSB, serial);
    if (e != cErrNone)
      std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(e, cErrNone);
  if (e != cErrNone)
    return words;
  SystemClass system;
  system.init(&m, 0);
  for (uint8_t i = 0; i < 4; ++i)
    EXPECT_EQ(system.getUEI32(39, i, &words[i]), cErrNone);
  m.disconnect();
  return words;
}

} // namespace

TEST(ImxSimHid, LoaderLandsAndTheRecoveryLoaderAppearsAsDeadDead) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    SimulatorOptions o;
    o.rom.uniqueId = 0x00C0FFEE12345678ull;
    o.bootRomAfterReset = true;
    Simulator sim(bed, o);
    ASSERT_TRUE(sim.ok());
    {
      auto l = hidLoader();
      Bytes image = pattern(2500);
      EXPECT_EQ(l->writeLoader(image, 0x20000000), 0);
      EXPECT_EQ(sim.rom().ram(0x20000000, image.size()), image);
      EXPECT_EQ(sim.rom().dataReportSizes(), (std::vector<size_t>{1024, 1024, 452}));
      Bytes ivt = pattern(64);
      EXPECT_EQ(l->writeLoader(ivt, 0x20000400), 0); // over the middle of the first
      image.erase(image.begin() + 0x400, image.begin() + 0x440);
      image.insert(image.begin() + 0x400, ivt.begin(), ivt.end());
      EXPECT_EQ(sim.rom().ram(0x20000000, image.size()), image);

      uint64_t id = 0;
      EXPECT_EQ(l->getFingerprint(id), 0);
      EXPECT_EQ(id, 0x00C0FFEE12345678ull);

      l->startLoader(0x20000400);
      EXPECT_EQ(sim.rom().jumpedTo(), std::optional<uint32_t>(0x20000400));
    }
    ASSERT_TRUE(sim.waitForLoader(3s));
    EXPECT_FALSE(sim.bootRomPresent());
    EXPECT_EQ(sim.loaderTransport()->device()->config().serial, "DEADDEAD");
    // The boot ROM's HID device is gone.
    HID_SDPLoader gone(IMX1050::VID, IMX1050::PID);
    EXPECT_FALSE(gone.init());
    EXPECT_EQ(identifierOverUsb(0xDEADDEAD), (std::array<uint32_t, 4>{0x12345678, 0x00C0FFEE, 0, 0}));

    // A reset of the loader before any firmware was written: the chip has
    // nothing to boot and its boot ROM is back, with its RAM cleared.
    modulesim::SimModule *loaderModule = sim.loaderModule();
    loaderModule->restart();
    bool back = false;
    for (int i = 0; i < 60 && !back; ++i) {
      HID_SDPLoader probe(IMX1050::VID, IMX1050::PID);
      back = probe.init();
      if (!back)
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(sim.loaderModule(), nullptr);
    EXPECT_FALSE(loaderModule->online()); // still there for who held on to it, off the bus
    EXPECT_EQ(sim.rom().ram(0x20000000, 4), Bytes(4, 0xFF));
    auto again = hidLoader();
    EXPECT_EQ(again->writeLoader(pattern(100), 0x20000000), 0);
  }
  Quillwork_libusb_exit();
}

TEST(ImxSimHid, FaultsGiveTheirCodesAndNothingHangs) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  Simulator sim(bed);
  ASSERT_TRUE(sim.ok());
  Bytes image = pattern(3000);
  auto l = hidLoader();
  auto start = std::chrono::steady_clock::now();
  Faults f;
  f.noAnswer = 5;
  sim.rom().setFaults(f);
  EXPECT_EQ(l->writeLoader(image, 0x20000000), 2);
  f = {};
  f.shortResponses = 5; // every status answer 69 bytes long
  sim.rom().setFaults(f);
  EXPECT_EQ(l->writeLoader(image, 0x20000000), 2);
  f = {};
  f.dataDuringTransfer = 1;
  sim.rom().setFaults(f);
  EXPECT_EQ(l->writeLoader(image, 0x20000000), 3);
  f = {};
  f.noCompletion = 1;
  sim.rom().setFaults(f);
  EXPECT_EQ(l->writeLoader(image, 0x20000000), 4);
  EXPECT_EQ(sim.rom().ram(0x20000000, image.size()), image);
  // A short answer to the first status request only costs one attempt.
  f = {};
  f.shortResponses = 1;
  sim.rom().setFaults(f);
  uint64_t id = 0;
  EXPECT_EQ(l->getFingerprint(id), 0);
  EXPECT_EQ(id, BootRomConfig{}.uniqueId);
  // Every wait above is bounded: 5 x 100 ms per unanswered connection check.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST(ImxSimHid, SerialBootRomAlsoStartsTheLoaderOnUsb) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    SimulatorOptions o;
    o.pty = true;
    o.rom.uniqueId = 0x1111222233334444ull;
    o.loaderWords = std::array<uint32_t, 4>{1, 2, 3, 4};
    Simulator sim(bed, o);
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(sim.hidDevice(), nullptr); // the boot ROM is on the UART only
    auto *t = new Serial_SDPLoader(sim.ptyPath());
    t->setSettleMs(0);
    SDPLoader l;
    l.setLoader(t);
    ASSERT_EQ(l.init(), cErrNone);
    Bytes image = pattern(4096);
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 0);
    l.startLoader(0x20000000);
    ASSERT_TRUE(sim.waitForLoader(3s));
    EXPECT_EQ(identifierOverUsb(0xDEADDEAD), (std::array<uint32_t, 4>{1, 2, 3, 4}));
  }
  Quillwork_libusb_exit();
}
