// Recovery through a chip's boot ROM, end to end: the real program against
// the reference update server and, where a boot ROM answers, the simulated
// LPC boot ROM on a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "lpcsim/Simulator.h"
#include "process.h"
#include "quillwork/cErr.h"
#include "store/KeyValueStore.h"
#include "tempdir.h"
#include "update_server_fixture.h"

namespace fs = std::filesystem;
using birdwriter::Bytes;
using qwtest::Lines;
using qwtest::RunProcess;
using qwtest::TempDir;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
const std::string kNoPort = "/dev/qw-recovery-test-no-such-port";

bool hasLine(const std::string &text, const std::string &line) {
  for (const std::string &l : Lines(text))
    if (l == line)
      return true;
  return false;
}

// The default recovery loader image the server offers for device DEADDEAD.
Bytes loaderImage(uint32_t build) {
  birdwriter::Image image;
  image.Loader(0x20000000, birdwriter::SyntheticPayload(1500, 5));
  image.LoaderEntry(0x20000400);
  image.AddInfo({std::to_string(build), "1.0.0", "DEADDEAD", "QW-Loader"});
  return image.Pack();
}

class RecoveryServer : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(content / "devices/DEADDEAD");
    ASSERT_TRUE(birdwriter::WriteFileAtomically(content / "devices/DEADDEAD/77.bird", loaderImage(77)));
    ASSERT_TRUE(server.Start({content.path()})) << server.error();
  }

  qwtest::ProcessResult updater(std::vector<std::string> args, int timeoutMs = 60000) {
    args.insert(args.begin(), {kUpdater, "-i", store.path(), "-u", server.url()});
    return RunProcess(args, timeoutMs);
  }

  TempDir content, store;
  qwtest::UpdateServerProcess server;
};

} // namespace

// No LPC boot ROM answers on a port that does not open, so the i.MX path is
// taken: it fetches the default loader image without a word on the console
// (also over a directory left behind by a download that never completed)
// and then finds no boot ROM either.
TEST_F(RecoveryServer, MissingPortFetchesTheDefaultLoaderQuietlyAndFails) {
  fs::create_directories(store / "updater/DEADDEAD");
  auto n = updater({"-N", "-s", kNoPort});
  EXPECT_EQ(n.status, 1);
  EXPECT_EQ(Lines(n.out).size(), 1u) << n.out; // the version line only
  EXPECT_EQ(n.err, "Got no response from chip\n");
  EXPECT_EQ(qwtest::ReadFile(store / "updater/DEADDEAD/77.bird"),
            qwtest::ReadFile(content / "devices/DEADDEAD/77.bird"));
  EXPECT_EQ(KeyValueStore(store / "updater/DEADDEAD/.settings").GetString("LATEST_DOWNLOAD"), "77.bird");

  auto u = updater({"-U", "-t", "RECOVER", "-s", kNoPort});
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, "Could not get Device Identifier\n");
  EXPECT_EQ(u.out.find("Update time"), std::string::npos);

  // Without -s the fingerprint is not even tried.
  auto none = updater({"-N"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Must specify the serial port used for connecting\n");
}

// A loader file given with the default serial number cannot tell which
// module it is for; the boot ROM is not touched.
TEST_F(RecoveryServer, BirdFileWithTheDefaultSerialNumberIsRefused) {
  std::string file = store.write("loader.bird", std::string());
  ASSERT_TRUE(birdwriter::WriteFileAtomically(file, loaderImage(5)));
  const std::string refusal = "Add serial number or remove the bird filename to use a default recovery image.\n";
  auto n = updater({"-N", "-s", "USB", "-f", file});
  EXPECT_EQ(n.status, 1);
  EXPECT_EQ(n.err, refusal + "Got no response from chip\n");
  auto u = updater({"-U", "-t", "RECOVER", "-s", "USB", "-f", file});
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, refusal + "Could not get Device Identifier\n");
  EXPECT_FALSE(fs::exists(store / "updater/DEADDEAD/77.bird"));
}

namespace {

// The chip of the LPC module, its serial number and recovery build.
constexpr uint32_t kUid[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
const std::string kSerialText = "0012ABCD";
constexpr uint32_t kFirstAddress = 0x00000000;
constexpr uint32_t kSecondAddress = 0x00010000;

// The expected flash contents at address, followed by erased bytes up to
// the next 256-byte boundary.
bool flashHolds(const std::vector<uint8_t> &flash, uint32_t address, const Bytes &plain) {
  if (flash.size() < address + plain.size())
    return false;
  if (!std::equal(plain.begin(), plain.end(), flash.begin() + address))
    return false;
  for (size_t i = address + plain.size(); i % 256 != 0; ++i)
    if (flash[i] != 0xFF)
      return false;
  return true;
}

class LpcRecovery : public RecoveryServer {
protected:
  void SetUp() override {
    RecoveryServer::SetUp();
    ASSERT_TRUE(sim.start()) << sim.error();
    sim.setUniqueId({kUid[0], kUid[1], kUid[2], kUid[3]});
    // The recovery build, stored scrambled with the chip's fingerprint. The
    // first payload is longer than one 4096-byte piece and not a multiple of 4.
    birdwriter::Image image;
    image.Firmware(kFirstAddress, first);
    image.Firmware(kSecondAddress, second);
    image.Firmware(0, Bytes(4, 0)); // recovery files end with a block of four data bytes
    image.AddInfo({"1300", "2.17.4", kSerialText, "QW-Hub4"});
    image.Scramble(kUid);
    fs::create_directories(content / ("devices/" + kSerialText));
    serverFile = content / ("devices/" + kSerialText + "/1300.bird");
    ASSERT_TRUE(image.Write(serverFile));
    content.write("recovery.conf", "11223344 55667788 99AABBCC DDEEFF00  0012ABCD 1300\n");
  }

  std::string storedFile() const { return store / ("updater/" + kSerialText + "/1300.bird"); }

  // Programmed, started, and the stored image still the server's.
  void expectRecovered() {
    std::vector<uint8_t> flash = sim.flash();
    EXPECT_TRUE(flashHolds(flash, kFirstAddress, first));
    EXPECT_TRUE(flashHolds(flash, kSecondAddress, second));
    EXPECT_TRUE(sim.waitFor([](const lpcsim::BootRom &rom) { return rom.running(); }, 2000));
    EXPECT_EQ(qwtest::ReadFile(storedFile()), qwtest::ReadFile(serverFile));
  }

  lpcsim::Simulator sim;
  Bytes first = birdwriter::SyntheticPayload(5001, 11);
  Bytes second = birdwriter::SyntheticPayload(3000, 12);
  std::string serverFile;
};

} // namespace

TEST_F(LpcRecovery, FingerprintIsTheChipsSerialNumber) {
  auto r = updater({"-N", "-s", sim.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "[ 11223344 55667788 99AABBCC DDEEFF00 ]")) << r.out;
  // The i.MX path (which starts from the default loader) was not taken.
  EXPECT_FALSE(fs::exists(store / "updater/DEADDEAD"));
  EXPECT_EQ(sim.commands().back(), "N");
}

// Nothing stored: the server names the module and build for the fingerprint,
// the build is downloaded, de-scrambled in memory and programmed at the rate
// given with -o.
TEST_F(LpcRecovery, RecoversWithTheServersBuildAtTheGivenRate) {
  auto r = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-o", "57600", "-X", "0x1000"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(hasLine(r.out, "Recovering firmware with build: 1300")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Transferring firmware block 1 of 2, 5001 bytes"));
  EXPECT_TRUE(hasLine(r.out, "Transferring firmware block 2 of 2, 3000 bytes"));
  EXPECT_TRUE(hasLine(r.out, "Transferred 2 blocks, 8001 total bytes"));
  EXPECT_TRUE(hasLine(r.out, "Rebooting Device"));
  EXPECT_NE(r.out.find("\nUpdate time: "), std::string::npos);
  expectRecovered();
  // The fingerprint is read at 115200 bit/s, the chip programmed at 57600.
  std::vector<std::string> rates;
  for (const std::string &line : Lines(r.err))
    if (line.rfind("Creating serial connection: [" + sim.path() + "] stream baud:", 0) == 0)
      rates.push_back(line.substr(line.find("baud:") + 5));
  EXPECT_EQ(rates, (std::vector<std::string>{"6(115200)", "5(57600)"})) << r.err;
  EXPECT_EQ(KeyValueStore(store / ("updater/" + kSerialText + "/.settings")).GetString("LATEST_DOWNLOAD"), "1300.bird");
}

// A refusal in the middle of programming ends the recovery with status 1;
// the stored image is left as it was and a second run recovers the module.
// (The boot ROM synchronises once after a reset: every run starts on a chip
// switched on again in its boot ROM, as a person would do.)
TEST_F(LpcRecovery, RefusalWhileProgrammingFailsAndARerunRecovers) {
  // The echo command is refused both times: the chip is programmed but not
  // started, which is no recovery either.
  for (auto [letter, times] : {std::pair{'W', 1u}, {'C', 1u}, {'A', 2u}}) {
    sim.refuseCommand(letter, 9, times);
    auto r = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
    EXPECT_EQ(r.status, 1) << letter << "\n" << r.out << r.err;
    if (letter == 'A') {
      EXPECT_TRUE(hasLine(r.err, "Recovery Error transfering data to device ==> [2, " +
                                     std::string(cError_GetErrorText(cErrParam)) + "]"))
          << r.err;
    }
    EXPECT_FALSE(hasLine(r.out, "Rebooting Device")) << letter;
    EXPECT_NE(r.out.find("\nUpdate time: "), std::string::npos) << letter;
    EXPECT_FALSE(sim.waitFor([](const lpcsim::BootRom &rom) { return rom.running(); }, 0)) << letter;
    EXPECT_EQ(qwtest::ReadFile(storedFile()), qwtest::ReadFile(serverFile)) << letter;
    sim.clearFaults();
    sim.reset();
  }
  auto again = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  expectRecovered();
}

TEST_F(LpcRecovery, RefusedImagesAndUnknownChips) {
  // A generic image (serial-number offsets) cannot be recovered offline.
  birdwriter::Image generic;
  generic.Firmware(kFirstAddress, first);
  generic.SerialOffsets(kFirstAddress + 16, 0);
  generic.AddInfo({"1400", "2.18.0", "00000000", "QW-Hub4"});
  std::string genericFile = store / "generic.bird";
  ASSERT_TRUE(generic.Write(genericFile));
  auto g = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", genericFile});
  EXPECT_EQ(g.status, 1);
  EXPECT_TRUE(hasLine(g.err, "Updater does not support offline recovery")) << g.err;
  sim.reset();

  // An image without firmware must not get as far as erasing the chip.
  birdwriter::Image empty;
  empty.AddInfo({"1401", "2.18.0", kSerialText, "QW-Hub4"});
  std::string emptyFile = store / "empty.bird";
  ASSERT_TRUE(empty.Write(emptyFile));
  auto e = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", emptyFile});
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(hasLine(e.err, "Failed to load bird file")) << e.err;
  for (const std::string &command : sim.commands())
    EXPECT_NE(command[0], 'E') << command;
  sim.reset();

  // A chip the server does not know.
  sim.setUniqueId({1, 2, 3, 5});
  auto u = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  EXPECT_EQ(u.status, 1);
  EXPECT_TRUE(hasLine(u.err, "Failed to retrieve recovery information from Corvatek server")) << u.err;
}

// A boot ROM that never answers: neither the LPC nor the i.MX exchange gets
// a word back, and the run ends (bounded) with status 1.
TEST_F(LpcRecovery, SilentBootRom) {
  sim.setSilent(true);
  auto n = updater({"-N", "-s", sim.path()}, 30000);
  EXPECT_FALSE(n.timedOut);
  EXPECT_EQ(n.status, 1);
  EXPECT_TRUE(hasLine(n.err, "Got no response from chip")) << n.err;
  auto u = updater({"-U", "-t", "RECOVER", "-s", sim.path()}, 30000);
  EXPECT_EQ(u.status, 1);
  EXPECT_TRUE(hasLine(u.err, "Could not get Device Identifier")) << u.err;
}

// Ctrl-C while the chip is being programmed leaves the store as it was; the
// next run recovers the module.
TEST_F(LpcRecovery, InterruptWhileProgrammingLeavesTheStoreIntact) {
  sim.setPacing(true, 115200); // about a second of programming
  std::vector<std::string> args = {kUpdater, "-i", store.path(), "-u", server.url(),
                                   "-U",     "-t", "RECOVER",    "-s", sim.path()};
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kUpdater.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  bool copying = sim.waitFor(
      [](const lpcsim::BootRom &rom) {
        for (const std::string &c : rom.commands())
          if (c.rfind("C ", 0) == 0)
            return true;
        return false;
      },
      20000);
  kill(pid, SIGINT);
  int status = 0;
  for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(copying);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(sim.waitFor([](const lpcsim::BootRom &rom) { return rom.running(); }, 0));

  EXPECT_EQ(qwtest::ReadFile(storedFile()), qwtest::ReadFile(serverFile));
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(store / ("updater/" + kSerialText)))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", "1300.bird"}));

  sim.setPacing(false);
  sim.reset();
  auto again = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  expectRecovered();
}
