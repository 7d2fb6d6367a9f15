// --json over the emulated USB bus, and the console's hints for a module that
// is there but cannot be used: one this user may not open (no udev rule), and
// one left in its loader by an update that was cut short.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "json_schema.h"
#include "modulesim/SimModule.h"
#include "modulesim/UsbTransport.h"
#include "netns.h"
#include "process.h"
#include "quillwork/qwusb_driver.h"
#include "tempdir.h"
#include "usb_module.h"

using namespace modulesim;
using namespace std::chrono_literals;
using birdwriter::Bytes;
using nlohmann::ordered_json;
using qwtest::Lines;

namespace {

// Updates fall back to a TCP/IP search (multicast): a private namespace.
const bool kIsolated = qwtest::IsolateNetwork();

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
const std::string kHint = "A USB device is present but this user may not open it (permission denied): install the "
                          "udev rule 70-quillwork.rules, which gives the user at the seat access (uaccess), or add "
                          "this user to a group that owns the device; then reload udev and plug the device in again.";

birdwriter::Image image(const std::string &serial, const std::string &model, uint32_t build) {
  birdwriter::Image img;
  img.Loader(0x20000000, birdwriter::SyntheticPayload(300, 7));
  img.Firmware(0x00010000, birdwriter::SyntheticPayload(1000, 1));
  Bytes second = birdwriter::SyntheticPayload(700, 2);
  Bytes marker = birdwriter::MarkerBytes(build, "2.16.1");
  second.insert(second.end(), marker.begin(), marker.end());
  img.Firmware(0x00080000, second);
  img.AddInfo({std::to_string(build), "2.16.1", serial, model});
  return img;
}

class JsonUsb : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(kIsolated) << "no private network namespace";
    ASSERT_TRUE(bed.ok());
    config.serial = 0x40F5849A;
    config.model = 1; // QW-Hub4
    config.version = packVersion(2, 15, 0);
    config.build = 1000;
    config.name = "Bench-Hub";
    config.restartDownMs = 150;
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
  std::vector<std::string> args(std::vector<std::string> a) {
    a.insert(a.begin(), {kUpdater, "-i", store.path(), "-m", "0"});
    return a;
  }
  qwtest::ProcessResult updater(std::vector<std::string> a, int timeoutMs = 90000) {
    return qwtest::RunProcess(args(std::move(a)), timeoutMs);
  }
  std::string node() const {
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", usb->device()->busNumber(), usb->device()->deviceAddress());
    return bed.rootDir() + path;
  }

  qwemu::UsbTestbed bed;
  ModuleConfig config;
  std::unique_ptr<SimModule> module;
  std::unique_ptr<UsbTransport> usb;
  qwtest::TempDir store, files;
};

} // namespace

TEST_F(JsonUsb, DiscoveryListsEachModuleWithItsFields) {
  start();
  auto r = updater({"--json", "-D"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ordered_json doc = qwtest::ExpectJsonResult(r);
  ASSERT_TRUE(doc.contains("discover")) << r.out;
  EXPECT_EQ(doc["discover"]["transport"], "USB");
  ASSERT_EQ(doc["discover"]["devices"].size(), 1u) << r.out;
  EXPECT_EQ(doc["discover"]["devices"][0],
            ordered_json::parse(R"({"serial": "40F5849A", "transport": "USB", "address": 4, "router": 0,
              "model": 1, "model_name": "QW-Hub4", "version": "2.15.0", "build": 1000, "name": "Bench-Hub",
              "in_loader": false})"));
}

TEST_F(JsonUsb, UpdateCountsBlocksAndBytesAndFailuresCarryTheMessage) {
  start();
  std::string good = files / "good.bird", wrong = files / "wrong.bird";
  ASSERT_TRUE(image("40F5849A", "QW-Hub4", 2002).Write(good));
  ASSERT_TRUE(image("40F5849A", "QW-Router", 2003).Write(wrong));

  auto r = updater({"--json", "-U", "-d", "40F5849A", "-f", good});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ordered_json doc = qwtest::ExpectJsonResult(r);
  ordered_json &u = doc["update"];
  EXPECT_EQ(u["ok"], true) << r.out;
  EXPECT_EQ(u["serial"], "40F5849A");
  EXPECT_EQ(u["file"], good);
  EXPECT_EQ(u["build"], 2002); // from the file's info block
  EXPECT_EQ(u["loader"], ordered_json::parse(R"({"blocks": 1, "bytes": 304})"));
  EXPECT_EQ(u["firmware"], ordered_json::parse(R"({"blocks": 2, "bytes": 1740})")); // 1004 + 736
  EXPECT_GT(u["seconds"].get<double>(), 0.0);
  EXPECT_TRUE(module->waitFor([&] { return module->build() == 2002; }, 5000ms));
  module->waitFor([&] { return module->online(); }, 5000ms);

  auto bad = updater({"--json", "-U", "-d", "40F5849A", "-f", wrong});
  EXPECT_EQ(bad.status, 1);
  ordered_json failed = qwtest::ExpectJsonResult(bad);
  EXPECT_EQ(failed["update"]["ok"], false);
  EXPECT_EQ(failed["update"]["message"], "Connected device model and Bird file model do not match [QW-Hub4] (0)");
  // Standard error as without --json.
  EXPECT_EQ(bad.err, "Connected device model and Bird file model do not match [QW-Hub4] (0)\n"
                     "Birdfile failed validation\n");
}

// No udev rule gives this user the module: besides "No devices found." the
// console says once, on standard error, what grants access. The program runs
// without the capabilities that let root open any node.
TEST_F(JsonUsb, AModuleThisUserMayNotOpenIsNamedWithTheRemedyOnce) {
  config.serial = 0x0A0B0C0D;
  SimModule other(config);
  UsbTransport otherUsb(other, bed);
  ASSERT_TRUE(otherUsb.ok());
  config.serial = 0x40F5849A;
  start();
  char otherNode[64];
  snprintf(otherNode, sizeof otherNode, "/dev/bus/usb/%03u/%03u", otherUsb.device()->busNumber(),
           otherUsb.device()->deviceAddress());
  ASSERT_EQ(chmod(node().c_str(), 0), 0);
  ASSERT_EQ(chmod((bed.rootDir() + otherNode).c_str(), 0), 0);
  auto unprivileged = [&](std::vector<std::string> a) {
    std::vector<std::string> argv = args(std::move(a));
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"});
    return qwtest::RunProcess(argv, 60000);
  };
  auto plain = unprivileged({"-D"});
  ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
  ASSERT_FALSE(plain.out.empty());
  EXPECT_EQ(Lines(plain.out).back(), "    No devices found.") << plain.out;
  EXPECT_EQ(plain.err, kHint + "\n"); // two modules, one line
  EXPECT_EQ(plain.out.find("permission"), std::string::npos);

  auto json = unprivileged({"--json", "-D"});
  EXPECT_EQ(json.err, plain.err);
  ordered_json doc = qwtest::ExpectJsonResult(json);
  EXPECT_EQ(doc["hints"], ordered_json::array({kHint}));
  EXPECT_EQ(doc["discover"]["ok"], true);
  EXPECT_TRUE(doc["discover"]["devices"].empty());

  // An update of a module it may not open: the hint, then today's message.
  std::string path = files / "new.bird";
  ASSERT_TRUE(image("40F5849A", "QW-Hub4", 2002).Write(path));
  auto update = unprivileged({"-U", "-d", "40F5849A", "-f", path});
  EXPECT_EQ(update.status, 1);
  ASSERT_FALSE(update.err.empty());
  EXPECT_EQ(Lines(update.err).front(), kHint) << update.err;

  // With access, no hint.
  ASSERT_EQ(chmod(node().c_str(), 0666), 0);
  ASSERT_EQ(chmod((bed.rootDir() + otherNode).c_str(), 0666), 0);
  auto open = unprivileged({"-D"});
  EXPECT_NE(open.out.find("    40F5849A  04"), std::string::npos) << open.out;
  EXPECT_EQ(open.err.find("70-quillwork.rules"), std::string::npos) << open.err;
}

// An update cut short after its loader started leaves the module in its
// loader, which presents the loader's serial number: -D lists it as before
// and says after the table what finishes the update.
TEST_F(JsonUsb, AModuleLeftInItsLoaderIsMarkedAfterTheTable) {
  config.loaderSerialMs = 600000; // the loader keeps the default serial number
  start();
  std::string path = files / "cut.bird";
  ASSERT_TRUE(image("40F5849A", "QW-Hub4", 2011).Write(path));
  auto cut = qwtest::RunProcessInterrupted(
      args({"-U", "-d", "40F5849A", "-f", path}),
      [&] {
        return module->phase() == Phase::Loader && module->online() && module->presentedSerial() == kLoaderSerial;
      },
      60000);
  ASSERT_TRUE(cut.interrupted) << cut.out << cut.err;
  if (usb->device() != nullptr)
    usb->device()->hostProcessEnded();

  auto r = updater({"-D"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out << r.err;
  EXPECT_EQ(lines[3], "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
  EXPECT_EQ(lines[4].substr(0, 14), "    DEADDEAD  ") << lines[4];
  EXPECT_EQ(lines[5], "Module DEADDEAD is in its loader: run -U -d DEADDEAD to finish the update");

  ordered_json doc = qwtest::ExpectJsonResult(updater({"--json", "-D"}));
  ASSERT_EQ(doc["discover"]["devices"].size(), 1u) << doc.dump(2);
  EXPECT_EQ(doc["discover"]["devices"][0]["serial"], "DEADDEAD");
  EXPECT_EQ(doc["discover"]["devices"][0]["in_loader"], true);
}
