// The firmware update end to end: the real program updates a simulated
// module on the emulated USB bus; the image that lands in the module is
// compared with the file's firmware payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "modulesim/SimModule.h"
#include "modulesim/UsbTransport.h"
#include "netns.h"
#include "process.h"
#include "quillwork/Module.h"
#include "quillwork/qwusb_driver.h"
#include "store/KeyValueStore.h"
#include "tempdir.h"
#include "usb_module.h"

using namespace modulesim;
using namespace std::chrono_literals;
using birdwriter::Bytes;
using qwtest::Lines;
using qwtest::RunProcess;

namespace {

// The updater falls back to a TCP/IP search (a multicast request) when USB
// does not find a module: this whole program runs in a private network
// namespace, made before any thread starts.
const bool kIsolated = qwtest::IsolateNetwork();

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x00010000;
constexpr uint32_t kSecondAddress = 0x00080000;

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return b;
}

struct Firmware {
  Bytes loader = pattern(300, 7);
  Bytes first = pattern(1000, 1);
  Bytes second = pattern(700, 99);
};

// A firmware file for the module: a loader block, two firmware blocks (the
// second carrying the build marker the simulated module reports after its
// reboot) and the info block.
birdwriter::Image image(const Firmware &fw, const std::string &serial, const std::string &model, uint32_t build,
                        const std::string &version, bool loader = true) {
  birdwriter::Image img;
  if (loader)
    img.Loader(kLoaderAddress, fw.loader);
  img.Firmware(kFirmwareAddress, fw.first);
  Bytes second = fw.second;
  Bytes marker = birdwriter::MarkerBytes(build, version);
  second.insert(second.end(), marker.begin(), marker.end());
  img.Firmware(kSecondAddress, second);
  img.AddInfo({std::to_string(build), version, serial, model});
  return img;
}

class Update : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(kIsolated) << "no private network namespace";
    ASSERT_TRUE(bed.ok());
    ModuleConfig c;
    c.serial = kSerial;
    c.model = 1; // "QW-Hub4"
    c.version = packVersion(2, 15, 0);
    c.build = 1000;
    c.restartDownMs = 150;
    c.upgradeBlockSize = 512;
    config = c;
  }
  void start() {
    module = std::make_unique<SimModule>(config);
    usb = std::make_unique<UsbTransport>(*module, bed);
    ASSERT_TRUE(usb->ok());
  }
  void TearDown() override {
    usb.reset();
    module.reset();
    Quillwork_libusb_exit();
  }

  std::string writeFile(const birdwriter::Image &img, const std::string &name) {
    std::string path = files / name;
    EXPECT_TRUE(img.Write(path));
    return path;
  }

  // Runs the program; packet mode unless a test asks for byte arrays.
  qwtest::ProcessResult updater(std::vector<std::string> args, int timeoutMs = 90000) {
    args.insert(args.begin(), {kUpdater, "-i", store.path()});
    if (std::find(args.begin(), args.end(), "-m") == args.end())
      args.insert(args.end(), {"-m", "0"});
    return RunProcess(args, timeoutMs);
  }

  std::string settingsPath() const { return store / "updater/40F5849A/.settings"; }

  bool hasLine(const std::string &text, const std::string &line) {
    for (const std::string &l : Lines(text))
      if (l == line)
        return true;
    return false;
  }

  qwemu::UsbTestbed bed;
  ModuleConfig config;
  std::unique_ptr<SimModule> module;
  std::unique_ptr<UsbTransport> usb;
  qwtest::TempDir store, files;
  Firmware fw;
};

} // namespace

TEST_F(Update, FileIsWrittenIntoTheModuleWhichComesBackWithTheNewImage) {
  start();
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2002, "2.16.1"), "new.bird");
  auto r = updater({"-U", "-d", "40F5849A", "-f", path});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Updating from Birdfile: " + path));
  EXPECT_TRUE(hasLine(r.out, "Transferring loader to device"));
  EXPECT_TRUE(hasLine(r.out, "Transferring loader block 1 of 1, 304 bytes"));
  EXPECT_TRUE(hasLine(r.out, "Starting Load on Device"));
  EXPECT_TRUE(hasLine(r.out, "Transferring firmware block 1 of 2, 1004 bytes"));
  EXPECT_TRUE(hasLine(r.out, "Transferring firmware block 2 of 2, 736 bytes"));
  EXPECT_TRUE(hasLine(r.out, "Transferred 2 blocks, 1740 total bytes"));
  EXPECT_NE(r.out.find("\nUpdate time: "), std::string::npos);
  EXPECT_EQ(r.out.find("Retry"), std::string::npos);

  EXPECT_EQ(module->loaderImage(kLoaderAddress, fw.loader.size()), fw.loader);
  EXPECT_EQ(module->image(kFirmwareAddress, fw.first.size()), fw.first);
  EXPECT_EQ(module->image(kSecondAddress, fw.second.size()), fw.second);
  EXPECT_TRUE(module->violations().empty()) << module->violations().front();
  EXPECT_TRUE(module->waitFor([&] { return module->build() == 2002; }, 5000ms));
  EXPECT_EQ(module->version(), packVersion(2, 16, 1));

  KeyValueStore settings(settingsPath());
  EXPECT_EQ(settings.GetString("LATEST_TRANSFER"), path);
  EXPECT_FALSE(settings.GetString("LAST_TRANSFER_DATE").empty());
}

// Byte-array mode: the module restarts into its loader on LOAD (its device
// is unplugged and plugged in again and the program links to it anew), then
// every chunk goes as one UEI byte series, its packets written back to back.
TEST_F(Update, ByteArrayModeAfterTheLoaderRestart) {
  start();
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2008, "2.16.7"), "bytes.bird");
  auto r = updater({"-U", "-d", "40F5849A", "-f", path, "-m", "1"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Retry"), std::string::npos) << r.out;
  EXPECT_GE(usb->plugs(), 2u); // the LOAD restart (and the REBOOT's)

  EXPECT_EQ(module->loaderImage(kLoaderAddress, fw.loader.size()), fw.loader);
  EXPECT_EQ(module->image(kFirmwareAddress, fw.first.size()), fw.first);
  EXPECT_EQ(module->image(kSecondAddress, fw.second.size()), fw.second);
  EXPECT_TRUE(module->violations().empty()) << module->violations().front();
  EXPECT_TRUE(module->waitFor([&] { return module->build() == 2008; }, 5000ms));

  // After the LOAD only byte series carried data: chunks of 512 + 488 and
  // 512 + 220 bytes, 24 bytes a packet.
  size_t raw = 0, series = 0;
  bool loaded = false;
  for (const Packet &p : module->received()) {
    if (p.data.size() < 2 || p.data[0] != kCmdUpgrade)
      continue;
    if (p.data[1] == 2)
      loaded = true;
    else if (loaded && p.data[1] == 1)
      ++raw;
    else if (loaded && p.data[1] == 0x8A) // option 10, set
      ++series;
  }
  EXPECT_TRUE(loaded);
  EXPECT_EQ(raw, 0u);
  EXPECT_EQ(series, 22u + 21u + 22u + 10u);
}

TEST_F(Update, GenericImageGetsTheModulesSerialNumber) {
  start();
  birdwriter::Image img = image(fw, "00000000", "QW-Hub4", 2003, "2.16.2", false);
  img.SerialOffsets(kFirmwareAddress + 16, kFirmwareAddress + 64);
  std::string path = writeFile(img, "generic.bird");
  auto r = updater({"-U", "-d", "40F5849A", "-f", path});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  Bytes landed = module->image(kFirmwareAddress, fw.first.size());
  ASSERT_EQ(landed.size(), fw.first.size());
  // The serial number as a little-endian word.
  EXPECT_EQ(Bytes(landed.begin() + 16, landed.begin() + 20), (Bytes{0x9A, 0x84, 0xF5, 0x40}));
  // The rest of the payload is untouched.
  EXPECT_EQ(Bytes(landed.begin(), landed.begin() + 16), Bytes(fw.first.begin(), fw.first.begin() + 16));
}

TEST_F(Update, StoredBuildAndTheLatestDownload) {
  start();
  std::filesystem::create_directories(store / "updater/40F5849A");
  ASSERT_TRUE(image(fw, "40F5849A", "QW-Hub4", 3001, "2.17.0").Write(store / "updater/40F5849A/3001.bird"));
  auto r = updater({"-U", "-d", "40F5849A", "-b", "3001", "-u", "http://127.0.0.1:9/cgi/u"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Updating firmware with build: 3001"));
  EXPECT_EQ(KeyValueStore(settingsPath()).GetString("LATEST_TRANSFER"), "3001.bird");

  // No build named and no server: the latest transfer is used again.
  auto again = updater({"-U", "-d", "40F5849A", "-u", "http://127.0.0.1:9/cgi/u"});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_TRUE(hasLine(again.out, "Updating with the Latest Transfer"));
}

TEST_F(Update, WrongModelIsRefusedUnlessOverridden) {
  start();
  std::string path = writeFile(image(fw, "40F5849A", "QW-Router", 2004, "2.16.3"), "router.bird");
  auto r = updater({"-U", "-d", "40F5849A", "-f", path});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hasLine(r.err, "Connected device model and Bird file model do not match [QW-Hub4] (0)")) << r.err;
  EXPECT_TRUE(hasLine(r.err, "Birdfile failed validation"));
  EXPECT_TRUE(module->blocks().empty());
  EXPECT_FALSE(std::filesystem::exists(settingsPath()) &&
               !KeyValueStore(settingsPath()).GetString("LATEST_TRANSFER").empty());

  auto o = updater({"-U", "-d", "40F5849A", "-f", path, "-OVERRIDE"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;

  std::string other = writeFile(image(fw, "11111111", "QW-Hub4", 2005, "2.16.4"), "other.bird");
  auto s = updater({"-U", "-d", "40F5849A", "-f", other});
  EXPECT_EQ(s.status, 1);
  EXPECT_TRUE(hasLine(s.err, "Birdfile failed validation"));
}

TEST_F(Update, ABlockIsRetriedUntilItGoesThrough) {
  start();
  Faults f;
  f.refuseWrite = 4;
  // The loader block's PREPARE goes unanswered: a boot ROM taking over does
  // not answer, and the update goes on.
  f.replies.push_back({FaultRule::Drop, kCmdUpgrade, 7, 1, 0});
  module->setFaults(f);
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2006, "2.16.5"), "retry.bird");
  auto r = updater({"-U", "-d", "40F5849A", "-f", path});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Transferred 1 blocks, 304 total bytes")) << r.out;
  EXPECT_EQ(module->loaderImage(kLoaderAddress, fw.loader.size()), fw.loader);
  for (int attempt = 1; attempt <= 4; ++attempt)
    EXPECT_TRUE(hasLine(r.out, "  Retry " + std::to_string(attempt))) << attempt;
  EXPECT_FALSE(hasLine(r.out, "  Retry 5"));
  EXPECT_EQ(module->image(kFirmwareAddress, fw.first.size()), fw.first);
}

TEST_F(Update, FailuresAreReportedAndNothingIsRecorded) {
  start();
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2007, "2.16.6"), "fault.bird");
  struct Case {
    const char *what;
    Faults faults;
  };
  Faults prepare;
  prepare.refusePrepare = 2; // the loader block's, then the first firmware block's: no retry
  Faults sums;
  sums.wrongSums = 50;
  Faults drop;
  drop.disconnectAtBlock = 3; // the second firmware block
  Faults writes;
  writes.refuseWrite = 5; // every attempt of the first firmware block
  for (const Case &c :
       {Case{"prepare", prepare}, Case{"sums", sums}, Case{"disconnect", drop}, Case{"writes", writes}}) {
    module->setFaults(c.faults);
    auto r = updater({"-U", "-d", "40F5849A", "-f", path});
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
    if (c.faults.refuseWrite == 5) {
      EXPECT_TRUE(hasLine(r.out, "  Retry 4")) << r.out;
      EXPECT_FALSE(hasLine(r.out, "  Retry 5"));
      EXPECT_TRUE(hasLine(r.out, "Transferred 0 blocks, 0 total bytes")) << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(settingsPath()) &&
                 !KeyValueStore(settingsPath()).GetString("LATEST_TRANSFER").empty())
        << c.what;
    module->setFaults({});
    module->waitFor([&] { return module->online(); }, 5000ms);
  }
  // A healthy module afterwards is updated.
  auto ok = updater({"-U", "-d", "40F5849A", "-f", path});
  EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
}

TEST_F(Update, AbsentModule) {
  auto r = updater({"-U", "-d", "40F5849A", "-f", writeFile(image(fw, "40F5849A", "QW-Hub4", 1, "2.16.0"), "x.bird")},
                   120000);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hasLine(r.err, "Failed to connect to module [40F5849A]")) << r.err;
}

TEST_F(Update, AModuleSlowToComeBackIsFoundAgain) {
  // Down for 9 s after LOAD: the loader start times out (and is taken as
  // started), then the rediscovery refreshes the USB context every third
  // attempt until the module is back.
  config.restartDownMs = 9000;
  start();
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2010, "2.16.9"), "slow.bird");
  auto r = updater({"-U", "-d", "40F5849A", "-f", path, "-X", "0x10000"}, 120000);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("Failed enumeration after 3 tries, refreshing libusb context.\n"), std::string::npos);
  EXPECT_EQ(module->image(kFirmwareAddress, fw.first.size()), fw.first);
}

TEST_F(Update, DiscoveryListsUsbModulesAndOneHeldElsewhere) {
  config.name = "Bench-Hub";
  start();
  ModuleConfig oldConfig;
  oldConfig.serial = 0x0A0B0C0D;
  oldConfig.model = 2;
  oldConfig.version = packVersion(2, 10, 3);
  oldConfig.build = 77;
  oldConfig.name = "NoName";
  SimModule old(oldConfig);
  UsbTransport oldUsb(old, bed);
  ASSERT_TRUE(oldUsb.ok());

  auto r = updater({"-D"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out << r.err;
  EXPECT_EQ(lines[2], "Discovered Devices: (USB)");
  EXPECT_EQ(lines[3], "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  std::vector<std::string> rows(lines.begin() + 4, lines.end());
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows[0], "    0A0B0C0D  04       00      QW-Hub8        2.10.3 (        77)         ");
  EXPECT_EQ(rows[1], "    40F5849A  04       00      QW-Hub4        2.15.0 (      1000)         Bench-Hub");

  // While this process holds the module's interface, the program cannot
  // reach it and says so.
  Corvatek::Quillwork::Module holder(2, 0);
  cEtherConfig off;
  off.enabled = 0;
  off.fallback = 0;
  ASSERT_EQ(holder.setConfig(off), cErrNone);
  ASSERT_EQ(holder.connect(linkTypeUSB, kSerial), cErrNone);
  auto held = updater({"-D"});
  EXPECT_EQ(held.status, 0);
  EXPECT_NE(held.out.find("    40F5849A  [Error ("), std::string::npos) << held.out;
  EXPECT_NE(held.out.find("): Is someone else connected to this device?]\n"), std::string::npos);
  holder.disconnect();
}

// An update cut short (Ctrl-C while the loader goes in, after the loader has
// started, or half-way through the firmware) leaves the module in its
// application or in its loader; running the same update again finishes it.
// The loader is larger than the module's block size, as real loaders are.
TEST_F(Update, AnInterruptedUpdateIsFinishedByRunningItAgain) {
  fw.loader = pattern(2048, 5);
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2011, "2.17.1"), "rerun.bird");
  auto upgradeOps = [&](uint8_t op) {
    size_t n = 0;
    for (const Packet &p : module->received())
      if (p.data.size() >= 2 && p.data[0] == kCmdUpgrade && p.data[1] == op)
        ++n;
    return n;
  };
  unsigned restartsBefore = 0;
  struct Case {
    const char *what;
    std::function<bool()> interruptWhen;
    Phase left; // where the interrupted run leaves the module
  };
  const Case cases[] = {
      {"during the loader upload", [&] { return upgradeOps(1) >= 20; }, Phase::LoaderUpload},
      // the module enters its loader phase at the LOAD and resets a moment later
      {"after the loader started",
       [&] { return module->phase() == Phase::Loader && module->restarts() > restartsBefore && module->online(); },
       Phase::Loader},
      {"in the middle of the firmware",
       [&] {
         // the module freezes at its first WRITE: the host cannot finish
         // before the signal lands
         if (upgradeOps(5) == 0)
           return false;
         Faults frozen;
         frozen.frozen = true;
         module->setFaults(frozen);
         return true;
       },
       Phase::Loader},
  };
  for (const Case &c : cases) {
    start();
    restartsBefore = module->restarts();
    if (std::string(c.what).find("firmware") != std::string::npos) {
      // The first WRITE's answer (the 5th status) comes late: time to see it and act.
      Faults hold;
      hold.replies.push_back({FaultRule::Delay, kCmdUpgrade, 7, 5, 700});
      module->setFaults(hold);
    }
    std::vector<std::string> args = {kUpdater, "-i", store.path(), "-U", "-d", "40F5849A", "-f", path, "-m", "0"};
    auto cut = qwtest::RunProcessInterrupted(args, c.interruptWhen, 60000);
    ASSERT_TRUE(cut.interrupted) << c.what << "\n" << cut.out << cut.err;
    EXPECT_NE(cut.status, 0) << c.what;
    EXPECT_EQ(module->phase(), c.left) << c.what;
    EXPECT_NE(module->build(), 2011u) << c.what;

    // The killed program never closed the device: the kernel lets it go.
    if (usb->device() != nullptr)
      usb->device()->hostProcessEnded();
    if (module->faults().frozen) { // power-cycled out of its freeze: back in its loader
      unsigned restarts = module->restarts();
      module->restart();
      ASSERT_TRUE(module->waitFor([&] { return module->restarts() > restarts && module->online(); }, 3000ms));
    }
    size_t violationsBefore = module->violations().size();
    auto again = updater({"-U", "-d", "40F5849A", "-f", path});
    ASSERT_EQ(again.status, 0) << c.what << "\n" << again.out << again.err;
    EXPECT_TRUE(hasLine(again.out, "Transferred 1 blocks, 2052 total bytes")) << c.what << "\n" << again.out;
    EXPECT_TRUE(module->waitFor([&] { return module->build() == 2011; }, 5000ms)) << c.what;
    EXPECT_EQ(module->loaderImage(kLoaderAddress, fw.loader.size()), fw.loader) << c.what;
    EXPECT_EQ(module->image(kFirmwareAddress, fw.first.size()), fw.first) << c.what;
    EXPECT_EQ(module->image(kSecondAddress, fw.second.size()), fw.second) << c.what;
    std::vector<std::string> v = module->violations();
    EXPECT_EQ(v.size(), violationsBefore) << c.what << ": " << v.back();
    if (usb->device() != nullptr)
      usb->device()->unplug(); // the next case's module takes its place on the bus
    usb.reset();
    module.reset();
    Quillwork_libusb_exit();
  }
}

// Two programs update two modules on the bus at once. Each module restarts
// into its loader (it leaves the bus and comes back): each program must hear
// its own module come back, so none of them falls back to waiting for the
// module's loader serial number.
TEST_F(Update, TwoProgramsAtOnceBothSeeTheirModuleComeBack) {
  start();
  ModuleConfig otherConfig = config;
  otherConfig.serial = 0x40F5849B;
  SimModule other(otherConfig);
  UsbTransport otherUsb(other, bed);
  ASSERT_TRUE(otherUsb.ok());
  const std::string paths[2] = {writeFile(image(fw, "40F5849A", "QW-Hub4", 2021, "2.17.2"), "a.bird"),
                                writeFile(image(fw, "40F5849B", "QW-Hub4", 2022, "2.17.2"), "b.bird")};
  const char *serials[2] = {"40F5849A", "40F5849B"};
  qwtest::ProcessResult results[2];
  std::thread runs[2];
  for (int i = 0; i < 2; ++i)
    runs[i] = std::thread([&, i] { results[i] = updater({"-U", "-d", serials[i], "-f", paths[i], "-X", "0x100"}); });
  for (auto &t : runs)
    t.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(results[i].status, 0) << i << "\n" << results[i].out << results[i].err;
    EXPECT_NE(results[i].err.find("NETWORK: Reconnected to device\n"), std::string::npos) << i << results[i].err;
    EXPECT_EQ(results[i].err.find("Attempting to reconnect DEFAULT sn"), std::string::npos) << i << results[i].err;
  }
  EXPECT_TRUE(module->waitFor([&] { return module->build() == 2021; }, 5000ms));
  EXPECT_TRUE(other.waitFor([&] { return other.build() == 2022; }, 5000ms));
}

// A program killed in the middle of an update, started from a shell (not a
// child of the process that owns the bus), holds the module's interface when
// it dies; its claim goes with it, as the kernel does, and the same update
// run again from that shell goes through.
TEST_F(Update, ARunAfterAKilledGrandchildGoesThrough) {
  start();
  std::string path = writeFile(image(fw, "40F5849A", "QW-Hub4", 2031, "2.17.3"), "kill.bird");
  qwtest::TempDir scratch;
  std::string go = scratch / "go";
  std::string script = "\"$1\" -i \"$2\" -U -d 40F5849A -f \"$3\" -m 0 & p=$!\n"
                       "for i in $(seq 1000); do [ -e \"$4\" ] && break; sleep 0.01; done\n"
                       "kill -TERM $p; wait $p\n"
                       "exec \"$1\" -i \"$2\" -U -d 40F5849A -f \"$3\" -m 0\n";
  qwtest::ProcessResult r;
  std::thread shell([&] { r = RunProcess({"/bin/sh", "-c", script, "sh", kUpdater, store.path(), path, go}, 90000); });
  // The first run holds the link's interface: then it is killed.
  bool held = module->waitFor([&] { return usb->device() != nullptr && usb->device()->claimed(1); }, 20000ms);
  FILE *f = fopen(go.c_str(), "w");
  if (f != nullptr)
    fclose(f);
  shell.join();
  ASSERT_TRUE(held);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Transferred 2 blocks, 1740 total bytes")) << r.out;
  EXPECT_TRUE(module->waitFor([&] { return module->build() == 2031; }, 5000ms));
}
