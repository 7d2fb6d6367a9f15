// Recovery of an i.MX module end to end: the real program against the
// simulated boot ROM (emulated USB HID device, or a pseudo-terminal), the
// recovery loader module it starts on the emulated USB bus, and the reference
// update server.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "imxsim/Simulator.h"
#include "json_schema.h"
#include "netns.h"
#include "process.h"
#include "quillwork/qwusb_driver.h"
#include "tempdir.h"
#include "update_server_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using birdwriter::Bytes;
using qwtest::Lines;
using qwtest::RunProcess;
using qwtest::TempDir;

namespace {

// Nothing the program does may leave this process's own network namespace.
const bool kIsolated = qwtest::IsolateNetwork();

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
constexpr uint64_t kUniqueId = 0x00C0FFEE12345678ull;
// Option 39 subindex i lands in fingerprint word 3 - i.
const std::string kFingerprintLine = "[ 00000000 00000000 00C0FFEE 12345678 ]";
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kEntry = 0x20000400;
constexpr uint32_t kFirmwareAddress = 0x60010000;
constexpr uint32_t kRecoveryBuild = 2100;

bool hasLine(const std::string &text, const std::string &line) {
  for (const std::string &l : Lines(text))
    if (l == line)
      return true;
  return false;
}

class ImxRecovery : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(kIsolated) << "no private network namespace";
    ASSERT_TRUE(bed.ok());
    // The default loader image (device DEADDEAD) and the module's recovery
    // build, named by the chip's fingerprint.
    birdwriter::Image loaderImage;
    loaderImage.Loader(kLoaderAddress, loader);
    loaderImage.LoaderEntry(kEntry);
    loaderImage.AddInfo({"77", "1.0.0", "DEADDEAD", "QW-Loader"});
    fs::create_directories(content / "devices/DEADDEAD");
    ASSERT_TRUE(loaderImage.Write(content / "devices/DEADDEAD/77.bird"));
    fs::create_directories(content / "devices/40F5849A");
    ASSERT_TRUE(recoveryImage(false).Write(content / "devices/40F5849A/2100.bird"));
    content.write("recovery.conf", "00000000 00000000 00C0FFEE 12345678  40F5849A 2100\n");
    ASSERT_TRUE(server.Start({content.path()})) << server.error();
  }
  void TearDown() override {
    sim.reset();
    Quillwork_libusb_exit();
  }

  // The firmware (with the marker the module reports as its build after the
  // reboot); with the loader blocks too, it is a file to give with -f.
  birdwriter::Image recoveryImage(bool withLoader) const {
    birdwriter::Image image;
    if (withLoader) {
      image.Loader(kLoaderAddress, loader);
      image.LoaderEntry(kEntry);
    }
    Bytes payload = firmware;
    Bytes marker = birdwriter::MarkerBytes(kRecoveryBuild, "2.18.1");
    payload.insert(payload.end(), marker.begin(), marker.end());
    image.Firmware(kFirmwareAddress, payload);
    image.AddInfo({std::to_string(kRecoveryBuild), "2.18.1", "40F5849A", "QW-Hub4"});
    return image;
  }

  // One board per test: the reset at the end of -N brings its boot ROM back
  // (a chip with nothing to boot), ready for the recovery.
  void startBoard(bool pty, unsigned bootRomBackAfterMs = 0) {
    imxsim::SimulatorOptions o;
    o.bootRomBackAfterMs = bootRomBackAfterMs;
    o.rom.uniqueId = kUniqueId;
    o.pty = pty;
    o.bootRomAfterReset = true;
    sim = std::make_unique<imxsim::Simulator>(bed, o);
    ASSERT_TRUE(sim->ok());
    port = pty ? sim->ptyPath() : "USB";
  }

  // -N: the default loader is fetched (quietly), loaded and started; the
  // identifier is read from the loader's module, which is then reset: the
  // boot ROM comes back.
  void fingerprint() {
    auto n = updater({"-N", "-s", port});
    ASSERT_EQ(n.status, 0) << n.out << n.err;
    EXPECT_EQ(Lines(n.out).size(), 2u) << n.out; // the version line and the fingerprint
    EXPECT_TRUE(hasLine(n.out, kFingerprintLine)) << n.out;
    EXPECT_TRUE(fs::exists(store / "updater/DEADDEAD/77.bird"));
    bool back = false;
    for (int i = 0; i < 500 && !back; ++i) {
      back = sim->bootRomPresent();
      if (!back)
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(back) << "the reset did not bring the boot ROM back";
  }

  qwtest::ProcessResult updater(std::vector<std::string> args) {
    args.insert(args.begin(), {kUpdater, "-i", store.path(), "-u", server.url(), "-m", "0"});
    return RunProcess(args, 90000);
  }

  // The loader went into RAM and was started at its entry.
  void expectLoaderStarted() {
    EXPECT_EQ(sim->rom().ram(kLoaderAddress, loader.size()), loader);
    EXPECT_EQ(sim->rom().jumpedTo(), std::optional<uint32_t>(kEntry));
    ASSERT_TRUE(sim->waitForLoader(5000ms));
  }

  // The firmware landed through the loader, which then runs the new build.
  void expectRecovered(const qwtest::ProcessResult &r) {
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\nUpdate time: "), std::string::npos);
    expectLoaderStarted();
    modulesim::SimModule *module = sim->loaderModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->image(kFirmwareAddress, firmware.size()), firmware);
    EXPECT_TRUE(module->waitFor([&] { return module->build() == kRecoveryBuild; }, 5000ms)) << module->build();
  }

  qwemu::UsbTestbed bed;
  std::unique_ptr<imxsim::Simulator> sim;
  std::string port;
  TempDir content, store;
  qwtest::UpdateServerProcess server;
  Bytes loader = birdwriter::SyntheticPayload(2500, 3);
  Bytes firmware = birdwriter::SyntheticPayload(6000, 4);
};

} // namespace

TEST_F(ImxRecovery, FingerprintAndRecoveryOverHid) {
  startBoard(false);
  fingerprint();
  auto r = updater({"-U", "-t", "RECOVER", "-s", "USB"});
  EXPECT_TRUE(hasLine(r.out, "Recovering firmware with build: 2100")) << r.out;
  expectRecovered(r);
}

// Recovery right after -N: the boot ROM's HID device comes back a while
// after the reset, and the recovery waits for it.
TEST_F(ImxRecovery, RecoveryStraightAfterFingerprintWaitsForTheBootRom) {
  startBoard(false, 1500);
  auto n = updater({"-N", "-s", "USB"});
  ASSERT_EQ(n.status, 0) << n.out << n.err;
  EXPECT_FALSE(sim->bootRomPresent()); // not back yet
  auto r = updater({"-U", "-t", "RECOVER", "-s", "USB"});
  expectRecovered(r);
}

// A recovery file given with the module's serial number is both the loader
// and the firmware; the loader's module answers under 0xDEADDEAD.
TEST_F(ImxRecovery, RecoveryOverHidFromAFile) {
  startBoard(false);
  // A file without a loader is refused before anything is started.
  ASSERT_TRUE(recoveryImage(false).Write(store / "firmware.bird"));
  auto none = updater({"-U", "-t", "RECOVER", "-s", "USB", "-d", "40F5849A", "-f", store / "firmware.bird"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Could not get Device Identifier\n");
  for (const std::vector<uint8_t> &command : sim->rom().commands())
    EXPECT_NE(command[0], 0x0B) << "a jump";

  std::string file = store / "recovery.bird";
  ASSERT_TRUE(recoveryImage(true).Write(file));
  auto r = updater({"-U", "-t", "RECOVER", "-s", "USB", "-d", "40F5849A", "-f", file});
  EXPECT_TRUE(hasLine(r.out, "Recovering from Birdfile: " + file)) << r.out;
  expectRecovered(r);
  EXPECT_FALSE(fs::exists(store / "updater/DEADDEAD"));
}

TEST_F(ImxRecovery, FingerprintAndRecoveryOverASerialPort) {
  startBoard(true);
  fingerprint();
  expectRecovered(updater({"-U", "-t", "RECOVER", "-s", port}));
}

// The boot ROM's HID device that this user may not open (no udev rule): -N
// fails as before, and the console says once what grants access. --json
// carries the fingerprint, or the failure and the hint.
TEST_F(ImxRecovery, BootRomThisUserMayNotOpenIsNamedWithTheRemedy) {
  startBoard(false);
  std::string node;
  glob_t found{};
  if (glob((bed.rootDir() + "/dev/hidraw*").c_str(), 0, nullptr, &found) == 0 && found.gl_pathc == 1) {
    char resolved[PATH_MAX];
    if (realpath(found.gl_pathv[0], resolved) != nullptr)
      node = resolved;
  }
  globfree(&found);
  ASSERT_FALSE(node.empty());
  struct stat before {};
  ASSERT_EQ(stat(node.c_str(), &before), 0);
  ASSERT_EQ(chmod(node.c_str(), 0), 0);
  std::vector<std::string> args = {"/usr/bin/setpriv",
                                   "--bounding-set=-dac_override,-dac_read_search",
                                   kUpdater,
                                   "-i",
                                   store.path(),
                                   "-u",
                                   server.url(),
                                   "--json",
                                   "-N",
                                   "-s",
                                   "USB"};
  auto denied = RunProcess(args, 90000);
  ASSERT_EQ(chmod(node.c_str(), before.st_mode & 07777), 0);
  EXPECT_EQ(denied.status, 1);
  const std::string hint = "A USB device is present but this user may not open it (permission denied): install the "
                           "udev rule 70-quillwork.rules, which gives the user at the seat access (uaccess), or add "
                           "this user to a group that owns the device; then reload udev and plug the device in again.";
  EXPECT_EQ(denied.err, hint + "\nGot no response from chip\n");
  nlohmann::ordered_json doc = qwtest::ExpectJsonResult(denied);
  EXPECT_EQ(doc["hints"], nlohmann::ordered_json::array({hint}));
  EXPECT_EQ(doc["fingerprint"]["message"], "Got no response from chip");
  EXPECT_EQ(doc["fingerprint"]["path"], store / "updater/DEADDEAD/77.bird"); // the loader it fetched first

  // With access: the words (the loader stored by the first run is used).
  auto n = updater({"--json", "-N", "-s", "USB"});
  ASSERT_EQ(n.status, 0) << n.out << n.err;
  EXPECT_EQ(n.err, "");
  nlohmann::ordered_json ok = qwtest::ExpectJsonResult(n);
  EXPECT_EQ(ok["fingerprint"]["words"],
            nlohmann::ordered_json::parse(R"(["00000000", "00000000", "00C0FFEE", "12345678"])"));
}
