// Simulated modules on the emulated USB bus, reached through the link
// library's USB discovery and USB stream.
#include <gtest/gtest.h>

#include <algorithm>

#include "library_io.h"
#include "modulesim/UsbTransport.h"
#include "modulesim_fixture.h"
#include "quillwork/cDiscovery.h"
#include "quillwork/cLink.h"
#include "quillwork/cPacket.h"
#include "quillwork/qwusb_driver.h"

using namespace modulesim;
using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {
std::vector<linkSpec> usbModules() {
  std::vector<linkSpec> found;
  auto cb = [](const linkSpec *spec, bool *counted, void *ref) -> int {
    static_cast<std::vector<linkSpec> *>(ref)->push_back(*spec);
    *counted = true;
    return 1;
  };
  cDiscovery_EnumerateModules(1, cb, &found, cDISCOVERY_LOCALHOST);
  return found;
}

bool waitForSerial(uint32_t serial, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const linkSpec &s : usbModules())
      if (s.serialNumber == serial)
        return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}
} // namespace

TEST(SimUsb, ModuleIsDiscoveredAndAnswersAndReplugsOnRestart) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    ModuleConfig c;
    c.serial = 0x40F5849A;
    c.model = 0x11;
    c.restartDownMs = 100;
    c.loaderSerialMs = 300;
    SimModule m(c);
    UsbTransport usb(m, bed);
    ASSERT_TRUE(usb.ok());

    std::vector<linkSpec> found = usbModules();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, 1u);
    EXPECT_EQ(found[0].serialNumber, 0x40F5849Au);
    EXPECT_EQ(found[0].model, 0x11u);

    cStream *s = nullptr;
    ASSERT_EQ(cStream_CreateUSB(0x40F5849A, &s), cErrNone);
    ASSERT_EQ(streamWrite(s, {0xAD, 0x00, 0x04, 0x03, 0x03, 0x48, 0x20}), cErrNone);
    EXPECT_EQ(streamRead(s, 8, 3000ms), (Bytes{0x04, 0x00, 0x04, 0x04, 0x03, 0x08, 0x00, 0x11}));
    // INIT and LOAD: the loader restarts the module, which comes back first
    // under the loader's serial number, then under its own
    ASSERT_EQ(streamWrite(s, {0x04, 0x02, 0x5F, 0x00}), cErrNone);
    EXPECT_EQ(streamRead(s, 8, 3000ms).size(), 8u);
    ASSERT_EQ(streamWrite(s, {0x04, 0x02, 0x5F, 0x02}), cErrNone);
    EXPECT_TRUE(m.waitFor([&] { return usb.plugs() >= 2; }, 3000ms));
    cStream_Destroy(&s);
    EXPECT_TRUE(waitForSerial(kLoaderSerial, 3000ms));
    EXPECT_TRUE(waitForSerial(0x40F5849A, 3000ms));
    EXPECT_EQ(m.phase(), Phase::Loader);
  }
  Quillwork_libusb_exit();
}

TEST(SimUsb, LinkEngineSynchronisesWithAUsbModule) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    ModuleConfig c;
    c.serial = 0x00C0FFEE;
    SimModule m(c);
    UsbTransport usb(m, bed);
    uint32_t link = cLink_CreateUSB(0x00C0FFEE); // starts and synchronises
    ASSERT_NE(link, 0u);
    EXPECT_EQ(cLink_GetStatus(link), 2u);
    EXPECT_GE(m.syncRequests(), 2u);             // two answers synchronise; the rest may be drained unsent
    const uint8_t query[3] = {0x03, 0x49, 0x20}; // serial number
    cPacket *q = cPacket_CreateWithData(0x04, 3, query);
    cLink_PutPacket(link, q);
    cPacket_Destroy(&q);
    cPacket *a = cLink_AwaitPacket(link, 2000);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Bytes(a->data, a->data + a->length), (Bytes{0x03, 0x09, 0x00, 0x00, 0xC0, 0xFF, 0xEE}));
    cPacket_Destroy(&a);
    // a restart unplugs the module: the link notices
    m.restart();
    EXPECT_TRUE(m.waitFor([&] { return cLink_GetStatus(link) != 2u; }, 3000ms));
    cLink_Destroy(&link);
  }
  Quillwork_libusb_exit();
}

TEST(SimUsb, FixtureModulesAreFoundByTheirSerialNumbers) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  {
    qwtest::SimulatedModules sims;
    ModuleConfig a, b;
    a.serial = 0x0000A001;
    b.serial = 0x0000B002;
    b.model = 3;
    ASSERT_NE(sims.usb(bed, a), nullptr);
    ASSERT_NE(sims.usb(bed, b), nullptr);
    std::vector<linkSpec> found = usbModules();
    ASSERT_EQ(found.size(), 2u);
    std::sort(found.begin(), found.end(),
              [](const linkSpec &x, const linkSpec &y) { return x.serialNumber < y.serialNumber; });
    EXPECT_EQ(found[0].serialNumber, 0x0000A001u);
    EXPECT_EQ(found[1].serialNumber, 0x0000B002u);
    EXPECT_EQ(found[1].model, 3u);
  }
  Quillwork_libusb_exit();
}

// A module whose transport goes leaves the bus, and a host still writing to
// it never reaches the transport that went (ASan would catch the use).
TEST(SimUsb, TransportThatGoesTakesItsDeviceOffTheBus) {
  qwemu::UsbTestbed bed;
  ASSERT_TRUE(bed.ok());
  ModuleConfig c;
  c.serial = 0x40F5849B;
  SimModule m(c);
  cStream *s = nullptr;
  {
    UsbTransport usb(m, bed);
    ASSERT_TRUE(usb.ok());
    ASSERT_TRUE(waitForSerial(0x40F5849B, 3000ms));
    ASSERT_EQ(cStream_CreateUSB(0x40F5849B, &s), cErrNone);
  }
  EXPECT_NE(streamWrite(s, {0xAD, 0x00, 0x04, 0x03, 0x03, 0x48, 0x20}), cErrNone);
  cStream_Destroy(&s);
  EXPECT_TRUE(usbModules().empty());
  Quillwork_libusb_exit();
}
