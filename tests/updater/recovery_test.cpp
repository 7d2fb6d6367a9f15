// Recovery through a chip's boot ROM, end to end: the real program against
// the reference update server and the simulated LPC boot ROM on a
// pseudo-terminal (the i.MX boot ROM: recovery_usbemu_test.cpp).
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "json_schema.h"
#include "lpcsim/Simulator.h"
#include "process.h"
#include "quillwork/cErr.h"
#include "store/KeyValueStore.h"
#include "tempdir.h"
#include "update_server_fixture.h"

namespace fs = std::filesystem;
using birdwriter::Bytes;
using qwtest::Lines;
using qwtest::ReadFile;
using qwtest::TempDir;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";
constexpr uint32_t kUid[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
const std::string kDevice = "updater/0012ABCD/";

bool hasLine(const std::string &text, const std::string &line) {
  for (const std::string &l : Lines(text))
    if (l == line)
      return true;
  return false;
}

// A Cortex-M image: stack at the top of the local RAM, Thumb handlers in the
// flash, and the word at 0x1C that makes the first eight words sum to zero.
Bytes WithVectorTable(Bytes payload) {
  auto put = [&](size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
      payload[at + k] = static_cast<uint8_t>(v >> (8 * k));
  };
  put(0, 0x10008000);
  uint32_t sum = 0x10008000;
  for (size_t i = 1; i < 7; ++i, sum += 0xC1)
    put(4 * i, 0xC1);
  put(0x1C, 0u - sum);
  return payload;
}

size_t CountLines(const std::string &text, const std::string &start) {
  size_t n = 0;
  for (const std::string &l : Lines(text))
    n += l.rfind(start, 0) == 0;
  return n;
}

bool running(const lpcsim::Simulator &sim) {
  return sim.waitFor([](const lpcsim::BootRom &rom) { return rom.running(); }, 0);
}

class Recovery : public ::testing::Test {
protected:
  void SetUp() override {
    // The default i.MX loader (device DEADDEAD) and the LPC module's recovery
    // build, stored scrambled with its chip's fingerprint; the first payload
    // is longer than a 4096-byte piece and no multiple of 4.
    birdwriter::Image loader;
    loader.Loader(0x20000000, birdwriter::SyntheticPayload(1500, 5));
    loader.AddInfo({"77", "1.0.0", "DEADDEAD", "QW-Loader"});
    fs::create_directories(content / "devices/DEADDEAD");
    ASSERT_TRUE(loader.Write(content / "devices/DEADDEAD/77.bird"));
    birdwriter::Image image;
    image.Firmware(0, first);
    image.Firmware(0x10000, second);
    image.Firmware(0x2D00, third);  // its padded copy reaches into the next sector
    image.Firmware(0, Bytes(4, 0)); // recovery files end with a block of four data bytes
    image.AddInfo({"1300", "2.17.4", "0012ABCD", "QW-Hub4"});
    image.Scramble(kUid);
    fs::create_directories(content / "devices/0012ABCD");
    ASSERT_TRUE(image.Write(serverFile));
    content.write("recovery.conf", "11223344 55667788 99AABBCC DDEEFF00  0012ABCD 1300\n");
    ASSERT_TRUE(server.Start({content.path()})) << server.error();
    ASSERT_TRUE(sim.start()) << sim.error();
    sim.setUniqueId({kUid[0], kUid[1], kUid[2], kUid[3]});
  }

  std::vector<std::string> args(std::vector<std::string> a) {
    a.insert(a.begin(), {kUpdater, "-i", store.path(), "-u", server.url()});
    return a;
  }
  // Every run meets a chip switched on (again) in its boot ROM, which
  // synchronises once per power-up.
  qwtest::ProcessResult updater(std::vector<std::string> a) {
    sim.reset();
    return qwtest::RunProcess(args(std::move(a)), 60000);
  }

  // Programmed (the flash past each payload stays erased), started, and the
  // stored image still the server's.
  void interruptWhileProgramming(int signal);

  void expectRecovered() {
    std::vector<uint8_t> flash = sim.flash();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin()));
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + first.size(), flash.begin() + 5120), Bytes(5120 - 5001, 0xFF));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 0x10000));
    EXPECT_TRUE(std::equal(third.begin(), third.end(), flash.begin() + 0x2D00));
    EXPECT_TRUE(running(sim));
    EXPECT_EQ(ReadFile(store / (kDevice + "1300.bird")), ReadFile(serverFile));
  }

  TempDir content, store;
  std::string serverFile = content / "devices/0012ABCD/1300.bird";
  qwtest::UpdateServerProcess server;
  lpcsim::Simulator sim;
  Bytes first = WithVectorTable(birdwriter::SyntheticPayload(5001, 11));
  Bytes second = birdwriter::SyntheticPayload(3000, 12);
  Bytes third = birdwriter::SyntheticPayload(600, 13);
};

} // namespace

// -N reads the chip's serial number; with nothing stored, recovery asks the
// server for the module and build, downloads it, de-scrambles it in memory
// and programs it at the rate given with -o. The boot ROM keeps the rate it
// was synchronised at, so the recovery reads the fingerprint at that rate too.
TEST_F(Recovery, LpcFingerprintThenRecoveryAtTheGivenRate) {
  auto n = updater({"-N", "-s", sim.path()});
  EXPECT_EQ(n.status, 0) << n.out << n.err;
  EXPECT_TRUE(hasLine(n.out, "[ 11223344 55667788 99AABBCC DDEEFF00 ]")) << n.out;
  EXPECT_FALSE(fs::exists(store / "updater/DEADDEAD")); // the i.MX path was not taken

  auto r = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-o", "57600", "-X", "0x1000"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char *line :
       {"Recovering firmware with build: 1300", "Transferring firmware block 1 of 3, 5001 bytes",
        "Transferring firmware block 2 of 3, 3000 bytes", "Transferred 3 blocks, 8601 total bytes", "Rebooting Device"})
    EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;
  EXPECT_NE(r.out.find("\nUpdate time: "), std::string::npos);
  expectRecovered();
  EXPECT_EQ(KeyValueStore(store / (kDevice + ".settings")).GetString("LATEST_DOWNLOAD"), "1300.bird");
  std::vector<std::string> rates;
  for (const std::string &line : Lines(r.err))
    if (line.rfind("Creating serial connection: [" + sim.path() + "] stream baud:", 0) == 0)
      rates.push_back(line.substr(line.find("baud:") + 5));
  EXPECT_EQ(rates, (std::vector<std::string>{"5(57600)", "5(57600)"})) << r.err;
  EXPECT_EQ(sim.chipRate(), 57600u);
  EXPECT_EQ(sim.misframed(), 0u);
}

// A refusal in the middle of programming, or of the echo command after it
// (the chip is then not started), ends the recovery with status 1; the
// stored image is left as it was and a second run recovers the module.
TEST_F(Recovery, LpcRefusalWhileProgrammingFailsAndARerunRecovers) {
  for (auto [letter, times] : {std::pair{'W', 1u}, {'C', 1u}, {'A', 2u}}) {
    sim.reset();
    sim.refuseCommand(letter, 9, times);
    auto r = qwtest::RunProcess(args({"-U", "-t", "RECOVER", "-s", sim.path()}), 60000);
    EXPECT_EQ(r.status, 1) << letter << "\n" << r.out << r.err;
    EXPECT_FALSE(hasLine(r.out, "Rebooting Device")) << letter;
    EXPECT_NE(r.out.find("\nUpdate time: "), std::string::npos) << letter;
    EXPECT_FALSE(running(sim)) << letter;
    EXPECT_EQ(ReadFile(store / (kDevice + "1300.bird")), ReadFile(serverFile)) << letter;
    if (letter == 'A') {
      EXPECT_TRUE(hasLine(r.err, "Recovery Error transfering data to device ==> [2, " +
                                     std::string(cError_GetErrorText(cErrParam)) + "]"))
          << r.err;
    }
    sim.clearFaults();
  }
  auto again = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  expectRecovered();
}

// Each failure path ends with its message and status 1.
TEST_F(Recovery, FailurePaths) {
  // A generic image (serial-number offsets) cannot be recovered offline; an
  // image without firmware must not get as far as erasing the chip.
  birdwriter::Image generic, empty;
  generic.Firmware(0, first);
  generic.SerialOffsets(16, 0);
  empty.AddInfo({"1401", "2.18.0", "0012ABCD", "QW-Hub4"});
  ASSERT_TRUE(generic.Write(store / "generic.bird"));
  ASSERT_TRUE(empty.Write(store / "empty.bird"));
  auto g = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", store / "generic.bird"});
  EXPECT_EQ(g.err, "Updater does not support offline recovery\n");
  auto e = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", store / "empty.bird"});
  EXPECT_EQ(e.err, "Failed to load bird file\n");
  for (const std::string &command : sim.commands())
    EXPECT_NE(command[0], 'E') << command;

  // A loader file given with the default serial number (the i.MX path).
  auto b = updater({"-N", "-s", "USB", "-f", store / "generic.bird"});
  EXPECT_EQ(b.err, "Add serial number or remove the bird filename to use a default recovery image.\n"
                   "Got no response from chip\n");

  // A path that is no serial port: nothing is fetched, nothing is left in
  // the store.
  EXPECT_EQ(updater({"-N"}).err, "Must specify the serial port used for connecting\n");
  for (std::string port : {std::string("/dev/qw-recovery-test-no-such-port"), std::string("/dev/null"),
                           std::string(store / "generic.bird"), std::string(store.path())}) {
    auto p = updater({"-N", "-s", port});
    EXPECT_EQ(p.status, 1) << port;
    EXPECT_EQ(p.err, "Got no response from chip\n") << port;
    EXPECT_FALSE(fs::exists(store / "updater/DEADDEAD")) << port;
  }
  // The HID boot ROM (there is none here): after the LPC attempt the i.MX
  // path fetches the default loader without a word on the console (also over
  // a directory left by a download that never completed), then finds no boot
  // ROM either.
  fs::create_directories(store / "updater/DEADDEAD");
  auto m = updater({"-N", "-s", "USB"});
  EXPECT_EQ(Lines(m.out).size(), 1u) << m.out; // the version line only
  EXPECT_EQ(m.err, "Got no response from chip\n");
  EXPECT_EQ(ReadFile(store / "updater/DEADDEAD/77.bird"), ReadFile(content / "devices/DEADDEAD/77.bird"));

  // A chip the server does not know, and one that never answers (bounded).
  sim.setUniqueId({1, 2, 3, 5});
  auto u = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  EXPECT_EQ(u.err, "Failed to retrieve recovery information from Corvatek server\n");
  sim.setSilent(true);
  auto s = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  EXPECT_EQ(s.err, "Could not get Device Identifier\n"
                   "Power-cycle the module into its boot ROM and run the recovery again\n");
  for (const auto &r : {g, e, b, m, u, s})
    EXPECT_EQ(r.status, 1) << r.out << r.err;
}

// Ctrl-C (or kill -TERM) while the chip is being programmed leaves the store
// as it was; the next run recovers the module.
TEST_F(Recovery, LpcInterruptWhileProgrammingLeavesTheStoreIntact) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    sim.reset();
    interruptWhileProgramming(signal);
  }
}

void Recovery::interruptWhileProgramming(int signal) {
  sim.setPacing(true); // about a second of programming at 115200 bit/s
  std::vector<std::string> a = args({"-U", "-t", "RECOVER", "-s", sim.path()});
  std::vector<char *> argv;
  for (std::string &word : a)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kUpdater.c_str(), &quiet, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&quiet);
  bool copying = sim.waitFor(
      [](const lpcsim::BootRom &rom) {
        for (const std::string &c : rom.commands())
          if (c[0] == 'C')
            return true;
        return false;
      },
      20000);
  kill(pid, signal);
  int status = 0;
  for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    usleep(10000);
  if (kill(pid, SIGKILL) == 0)
    waitpid(pid, &status, 0);
  ASSERT_TRUE(copying);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
  EXPECT_FALSE(running(sim));
  EXPECT_EQ(ReadFile(store / (kDevice + "1300.bird")), ReadFile(serverFile));
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(store / kDevice))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", "1300.bird"}));

  sim.setPacing(false);
  auto again = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  expectRecovered();
}

// --json: the fingerprint's words, the recovery's build, blocks and time, and
// a failure's message, valid against the schema.
TEST_F(Recovery, JsonResults) {
  using nlohmann::ordered_json;
  auto n = updater({"--json", "-N", "-s", sim.path()});
  EXPECT_EQ(n.status, 0) << n.err;
  EXPECT_EQ(qwtest::ExpectJsonResult(n)["fingerprint"],
            ordered_json::parse(R"({"ok": true, "words": ["11223344", "55667788", "99AABBCC", "DDEEFF00"]})"));

  auto r = updater({"--json", "-U", "-t", "RECOVER", "-s", sim.path()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ordered_json recover = qwtest::ExpectJsonResult(r)["recover"];
  EXPECT_EQ(recover["ok"], true);
  EXPECT_EQ(recover["build"], 1300);
  EXPECT_EQ(recover["firmware"], ordered_json::parse(R"({"blocks": 3, "bytes": 8601})"));
  EXPECT_EQ(recover["path"], store / "updater/0012ABCD/1300.bird");
  EXPECT_GT(recover["seconds"].get<double>(), 0.0);
  expectRecovered();

  sim.setUniqueId({1, 2, 3, 5});
  auto u = updater({"--json", "-U", "-t", "RECOVER", "-s", sim.path()});
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.err, "Failed to retrieve recovery information from Corvatek server\n");
  EXPECT_EQ(qwtest::ExpectJsonResult(u)["recover"],
            ordered_json::parse(
                R"({"ok": false, "message": "Failed to retrieve recovery information from Corvatek server"})"));
  sim.setSilent(true);
  auto s = updater({"--json", "-N", "-s", sim.path()});
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(qwtest::ExpectJsonResult(s)["fingerprint"]["message"], "Got no response from chip");
}

// Every failure once programming has begun says so on the console, once,
// with what the user can do; the stored build stays as it was and a rerun
// after a power cycle recovers the module.
TEST_F(Recovery, LpcProgrammingFailuresSayTheChipMayBeLeftErased) {
  const std::string tail = ". The chip may be left erased: power-cycle the module into its boot ROM and run the "
                           "recovery again";
  struct Case {
    const char *what;
    std::function<void()> fault;
    std::string line;
  };
  const std::string param = " [2, " + std::string(cError_GetErrorText(cErrParam)) + "]";
  std::vector<Case> cases = {
      {"unlock", [&] { sim.refuseCommand('U', 16, 1); }, "Recovery failed: could not unlock the flash" + param},
      {"prepare", [&] { sim.refuseCommand('P', 7, 1); },
       "Recovery failed: could not prepare the flash for erasing" + param},
      {"erase", [&] { sim.refuseCommand('E', 11, 1); }, "Recovery failed: could not erase the flash" + param},
      {"write", [&] { sim.refuseCommand('W', 13, 1); },
       "Recovery failed: could not write firmware into the chip's RAM" + param},
      {"copy", [&] { sim.refuseCommand('C', 9, 1); }, "Recovery failed: could not copy firmware into flash" + param},
      // The boot ROM vanishes once the flash is erased.
      {"vanish", [&] { sim.silentAfter('E'); }, "Recovery failed: could not write firmware into the chip's RAM ["},
      // A worn cell: the copy is acknowledged but the flash does not hold it.
      {"compare", [&] { sim.setStuckByte(0x10100); },
       "Recovery failed: the flash does not hold the firmware written" + param},
  };
  for (const Case &c : cases) {
    sim.reset();
    c.fault();
    auto r = qwtest::RunProcess(args({"-U", "-t", "RECOVER", "-s", sim.path()}), 60000);
    sim.clearFaults();
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
    EXPECT_EQ(CountLines(r.err, "Recovery failed: "), 1u) << c.what << "\n" << r.err;
    EXPECT_EQ(CountLines(r.err, c.line), 1u) << c.what << "\n" << r.err;
    EXPECT_NE(r.err.find(tail + "\n"), std::string::npos) << c.what << "\n" << r.err;
    EXPECT_FALSE(hasLine(r.out, "Rebooting Device")) << c.what;
    EXPECT_FALSE(running(sim)) << c.what;
    EXPECT_EQ(ReadFile(store / (kDevice + "1300.bird")), ReadFile(serverFile)) << c.what;
  }
  auto again = updater({"-U", "-t", "RECOVER", "-s", sim.path()});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  expectRecovered();
}

// An image that cannot start on the chip is refused before anything is
// erased: a plain (not scrambled) file, which the de-scrambling garbles, and
// one whose vector table has no checksum or points nowhere.
TEST_F(Recovery, LpcImageThatCannotStartIsRefusedBeforeErasing) {
  sim.loadFlash(0, Bytes(64, 0x5A)); // what the chip held before
  birdwriter::Image plain, unsummed, away;
  plain.Firmware(0, first);
  plain.Firmware(0, Bytes(4, 0));
  Bytes broken = first;
  broken[0x1C] ^= 1;
  unsummed.Firmware(0, broken);
  unsummed.Scramble(kUid);
  away.Firmware(0x1000, first);
  away.Scramble(kUid);
  ASSERT_TRUE(plain.Write(store / "plain.bird"));
  ASSERT_TRUE(unsummed.Write(store / "unsummed.bird"));
  ASSERT_TRUE(away.Write(store / "away.bird"));
  for (auto [file, why] : {std::pair{"plain.bird", "the vector table checksum does not hold"},
                           {"unsummed.bird", "the vector table checksum does not hold"},
                           {"away.bird", "no firmware block starts at address 0"}}) {
    sim.clearTraffic();
    auto r = updater({"-U", "-t", "RECOVER", "-s", sim.path(), "-f", store / file, "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_EQ(r.err,
              "The recovery image is not valid firmware for this chip (" + std::string(why) + "); nothing was erased\n")
        << file;
    for (const std::string &command : sim.commands())
      EXPECT_TRUE(command[0] == 'N' || command[0] == '?') << file << ": " << command;
    EXPECT_EQ(sim.memory(0, 64), Bytes(64, 0x5A)) << file;
  }
}

// The boot ROM synchronises once per power-up: a fingerprint and then a
// recovery, in two runs or in one, work without switching the chip off and
// on, and so does a rerun after a recovery that failed with echo off.
TEST_F(Recovery, LpcFingerprintAndRecoveryNeedOnePowerUp) {
  sim.reset();
  auto n = qwtest::RunProcess(args({"-N", "-s", sim.path()}), 60000);
  ASSERT_EQ(n.status, 0) << n.out << n.err;
  auto r = qwtest::RunProcess(args({"-U", "-t", "RECOVER", "-s", sim.path()}), 60000);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  expectRecovered();

  // Without a power cycle the chip still talks at the -N's rate.
  std::vector<uint8_t> recovered = sim.flash();
  auto other = qwtest::RunProcess(args({"-U", "-t", "RECOVER", "-s", sim.path(), "-o", "57600"}), 60000);
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.out.find("Transferring firmware"), std::string::npos) << other.out;
  EXPECT_EQ(other.err, "Could not get Device Identifier\n"
                       "Power-cycle the module into its boot ROM and run the recovery again\n");
  EXPECT_GT(sim.misframed(), 0u);
  EXPECT_EQ(sim.flash(), recovered);

  // One command, one rate for both.
  sim.reset();
  auto both = qwtest::RunProcess(args({"-N", "-U", "-t", "RECOVER", "-s", sim.path(), "-o", "38400"}), 60000);
  ASSERT_EQ(both.status, 0) << both.out << both.err;
  EXPECT_TRUE(hasLine(both.out, "[ 11223344 55667788 99AABBCC DDEEFF00 ]")) << both.out;
  expectRecovered();

  sim.reset();
  sim.refuseCommand('C', 9, 1); // after the echo was switched off
  EXPECT_EQ(qwtest::RunProcess(args({"-U", "-t", "RECOVER", "-s", sim.path()}), 60000).status, 1);
  sim.clearFaults();
  auto rerun = qwtest::RunProcess(args({"-U", "-t", "RECOVER", "-s", sim.path()}), 60000);
  ASSERT_EQ(rerun.status, 0) << rerun.out << rerun.err;
  expectRecovered();
}
