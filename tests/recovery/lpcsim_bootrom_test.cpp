// The simulated LPC17xx boot ROM, driven byte by byte over its terminal as a
// host would, and by a real third-party ISP client (lpc21isp).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <random>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "lpcsim/Simulator.h"
#include "process.h"
#include "tempdir.h"

namespace {

// The host end of the simulator's port.
class Port {
public:
  explicit Port(const std::string &path, speed_t rate = B115200) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0)
      setRate(rate);
  }
  void setRate(speed_t rate) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, rate);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Port() {
    if (fd_ >= 0)
      close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const std::string &s) { ASSERT_EQ(ssize_t(s.size()), write(fd_, s.data(), s.size())); }
  // Reads until the text read so far ends with `end` or timeoutMs passes.
  std::string until(const std::string &end, int timeoutMs = 2000) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (got.size() >= end.size() && got.compare(got.size() - end.size(), end.size(), end) == 0)
        break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0)
        continue;
      char b[512];
      ssize_t n = read(fd_, b, sizeof b);
      if (n > 0)
        got.append(b, size_t(n));
    }
    return got;
  }
  // Sends a line and reads the answer through its last line end.
  std::string ask(const std::string &line, const std::string &end, int timeoutMs = 2000) {
    send(line);
    return until(end, timeoutMs);
  }

private:
  int fd_ = -1;
};

class LpcSim : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(sim.start()) << sim.error();
    port = std::make_unique<Port>(sim.path());
    ASSERT_TRUE(port->ok());
  }
  void Sync() {
    ASSERT_EQ("Synchronized\r\n", port->ask("?", "\r\n"));
    ASSERT_EQ("Synchronized\r\nOK\r\n", port->ask("Synchronized\r\n", "OK\r\n"));
    ASSERT_EQ("12000\r\nOK\r\n", port->ask("12000\r\n", "OK\r\n"));
  }

  lpcsim::Simulator sim;
  std::unique_ptr<Port> port;
};

TEST_F(LpcSim, SynchronisesEchoesAndAnswersCommandsAsTheChipDoes) {
  EXPECT_EQ("", port->ask("x\r\n", "never", 300)); // noise before "?" is ignored
  Sync();
  // Echo on at power-on: the whole line comes back, then the code.
  EXPECT_EQ("J\r\n0\r\n637615927\r\n", port->ask("J\r\n", "637615927\r\n"));
  EXPECT_EQ("A 0\r\n0\r\n", port->ask("A 0\r\n", "0\r\n"));
  sim.setUniqueId({1, 2, 0x80000000, 4});
  EXPECT_EQ("0\r\n1\r\n2\r\n2147483648\r\n4\r\n", port->ask("N\r\n", "4\r\n"));
  EXPECT_EQ("0\r\n4\r\n1\r\n", port->ask("K\r\n", "1\r\n"));
  EXPECT_EQ("1\r\n", port->ask("Q\r\n", "\r\n"));         // INVALID_COMMAND
  EXPECT_EQ("12\r\n", port->ask("P 1\r\n", "\r\n"));      // PARAM_ERROR
  EXPECT_EQ("7\r\n", port->ask("P 3 30\r\n", "\r\n"));    // INVALID_SECTOR
  EXPECT_EQ("16\r\n", port->ask("U 12345\r\n", "\r\n"));  // INVALID_CODE
  EXPECT_EQ("17\r\n", port->ask("B 1000 1\r\n", "\r\n")); // INVALID_BAUD_RATE
  EXPECT_EQ("0\r\n", port->ask("A 1\r\n", "0\r\n"));
  EXPECT_EQ("P 0 1\r\n0\r\n", port->ask("P 0 1\r\n", "0\r\n"));
}

// Once synchronised the chip is in its command handler until power-off: "?"
// is the start of a command line (echoed while echo is on, kept quiet with
// echo off), and the line it ends is an unknown command.
TEST_F(LpcSim, AQuestionMarkAfterSynchronisationIsACommandLine) {
  Sync();
  EXPECT_EQ("?", port->ask("?", "?"));
  EXPECT_EQ("\r\n1\r\n", port->ask("\r\n", "1\r\n"));
  EXPECT_EQ("A 0\r\n0\r\n", port->ask("A 0\r\n", "0\r\n"));
  EXPECT_EQ("", port->ask("?", "never", 300));
  EXPECT_EQ("1\r\n", port->ask("\r\n", "1\r\n"));
  sim.reset();
  EXPECT_EQ("Synchronized\r\n", port->ask("?", "\r\n"));
}

// The boot ROM's vectors are mapped over the first 64 bytes of flash: a
// compare of them with RAM fails even right after a good copy; from 64 on it
// holds. A stuck cell shows in the compare.
TEST_F(LpcSim, CompareSeesTheBootRomsVectorsOverTheFirst64Bytes) {
  Sync();
  port->ask("A 0\r\n", "0\r\n");
  EXPECT_EQ("0\r\n", port->ask("U 23130\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("P 0 0\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("E 0 0\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("P 0 0\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("C 0 268435456 256\r\n", "\r\n")); // RAM holds zeros
  EXPECT_EQ("10\r\n0\r\n", port->ask("M 0 268435456 256\r\n", "0\r\n"));
  EXPECT_EQ("0\r\n", port->ask("M 64 268435520 192\r\n", "\r\n"));
  sim.setStuckByte(0x201);
  EXPECT_EQ("0\r\n", port->ask("P 0 0\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("C 512 268435456 256\r\n", "\r\n"));
  EXPECT_EQ("10\r\n0\r\n", port->ask("M 512 268435456 256\r\n", "0\r\n"));
}

TEST_F(LpcSim, GuardsFlashWithUnlockAndPrepareConsumedByEachOperation) {
  Sync();
  port->ask("A 0\r\n", "0\r\n");
  // Locked: write, erase, copy and go are refused with CMD_LOCKED.
  for (const char *cmd : {"W 268435968 4\r\n", "E 0 0\r\n", "C 0 268435968 256\r\n", "G 0 T\r\n"})
    EXPECT_EQ("15\r\n", port->ask(cmd, "\r\n")) << cmd;
  EXPECT_EQ("0\r\n", port->ask("U 23130\r\n", "\r\n"));

  // Erase needs prepared sectors, and consumes the preparation.
  EXPECT_EQ("9\r\n", port->ask("E 0 1\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("P 0 1\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("E 0 1\r\n", "\r\n"));
  EXPECT_EQ("9\r\n", port->ask("E 0 1\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("I 0 1\r\n", "\r\n")); // blank after erase

  // Four bytes into RAM (one UU line "Cat" + 0x01, its sum), then copied.
  EXPECT_EQ("0\r\n", port->ask("W 268435968 4\r\n", "\r\n"));
  EXPECT_EQ("OK\r\n", port->ask("$0V%T`0``\r\n" + std::to_string('C' + 'a' + 't' + 1) + "\r\n", "\r\n"));
  EXPECT_EQ("9\r\n", port->ask("C 256 268435968 256\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("P 0 0\r\n", "\r\n"));
  EXPECT_EQ("3\r\n", port->ask("C 100 268435968 256\r\n", "\r\n")); // DST_ADDR_ERROR
  EXPECT_EQ("6\r\n", port->ask("C 256 268435968 300\r\n", "\r\n")); // COUNT_ERROR
  EXPECT_EQ("4\r\n", port->ask("C 256 1024 256\r\n", "\r\n"));      // SRC_ADDR_NOT_MAPPED
  EXPECT_EQ("0\r\n", port->ask("C 256 268435968 256\r\n", "\r\n"));
  EXPECT_EQ("9\r\n", port->ask("C 512 268435968 256\r\n", "\r\n")); // prepare was used up
  std::vector<uint8_t> flash = sim.flash();
  EXPECT_EQ((std::vector<uint8_t>{'C', 'a', 't', 1}), std::vector<uint8_t>(flash.begin() + 256, flash.begin() + 260));
  EXPECT_EQ(0, flash[260]); // the rest of the 256 bytes came from RAM
  EXPECT_EQ("8\r\n256\r\n24404291\r\n", port->ask("I 0 0\r\n", "24404291\r\n")); // SECTOR_NOT_BLANK

  // Read back with the chip's UU lines and checksum.
  EXPECT_EQ("0\r\n$0V%T`0``\r\n" + std::to_string('C' + 'a' + 't' + 1) + "\r\n",
            port->ask("R 256 4\r\n", std::to_string('C' + 'a' + 't' + 1) + "\r\n"));
  port->send("OK\r\n");
  EXPECT_EQ("12\r\n", port->ask("G 0 A\r\n", "\r\n")); // a Cortex-M3 has no ARM mode
  EXPECT_EQ("0\r\n", port->ask("G 0 T\r\n", "\r\n"));
  EXPECT_TRUE(sim.waitFor([](const lpcsim::BootRom &r) { return r.running() && r.goAddress() == 0; }, 1000));
}

TEST_F(LpcSim, DataGroupsAreCheckedAndFaultsShowAsConfigured) {
  Sync();
  port->ask("A 0\r\n", "0\r\n");
  port->ask("U 23130\r\n", "0\r\n");
  // A wrong checksum is answered RESEND, the group resent is accepted.
  EXPECT_EQ("0\r\n", port->ask("W 268435968 4\r\n", "\r\n"));
  EXPECT_EQ("RESEND\r\n", port->ask("$0V%T`0``\r\n1\r\n", "\r\n"));
  EXPECT_EQ("OK\r\n", port->ask("$0V%T`0``\r\n281\r\n", "\r\n"));
  // A fault: the first group RESENT once although it was right.
  sim.resendGroup(1, 1);
  EXPECT_EQ("0\r\n", port->ask("W 268435968 4\r\n", "\r\n"));
  EXPECT_EQ("RESEND\r\n", port->ask("$0V%T`0``\r\n281\r\n", "\r\n"));
  EXPECT_EQ("OK\r\n", port->ask("$0V%T`0``\r\n281\r\n", "\r\n"));
  // A refused command, once.
  sim.refuseCommand('P', 11, 1);
  EXPECT_EQ("11\r\n", port->ask("P 0 0\r\n", "\r\n"));
  EXPECT_EQ("0\r\n", port->ask("P 0 0\r\n", "\r\n"));
  // Dropped echo bytes, with echo on again.
  port->ask("A 1\r\n", "0\r\n");
  sim.dropEchoBytes(2);
  EXPECT_EQ("0 0\r\n0\r\n", port->ask("P 0 0\r\n", "\r\n0\r\n"));
  // Silence.
  sim.setSilent(true);
  EXPECT_EQ("", port->ask("P 0 0\r\n", "never", 300));
  sim.setSilent(false);
  // Garbage before the sync answer after a power cycle.
  sim.reset();
  sim.setSyncGarbage(std::string("\0\xff", 2));
  EXPECT_EQ(std::string("\0\xffSynchronized\r\n", 16), port->ask("?", "\r\n"));
}

TEST(LpcSimPacing, AnswersNoFasterThanTheSerialLine) {
  lpcsim::Simulator sim;
  sim.setPacing(true); // at the host's 9600 bit/s: 960 characters a second
  ASSERT_TRUE(sim.start());
  Port port(sim.path(), B9600);
  ASSERT_EQ("Synchronized\r\n", port.ask("?", "\r\n"));
  auto start = std::chrono::steady_clock::now();
  // 100 characters in, their echo and "OK" out: at least 100 character times.
  std::string line = std::string(93, '1') + "\r\n";
  port.send("Synchronized\r\n");
  port.until("OK\r\n");
  port.send(line);
  port.until(std::string(93, '1') + "\r\n");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 109.0 / 960);
}

// The chip takes the rate of the "?" that synchronises it and keeps it until
// "B" or a power cycle: what a host sends at another rate is never read.
TEST(LpcSimLineRate, TheChipTalksOnlyAtTheRateItSynchronisedAt) {
  lpcsim::Simulator sim;
  ASSERT_TRUE(sim.start());
  Port port(sim.path(), B9600);
  EXPECT_EQ(0u, sim.chipRate());
  ASSERT_EQ("Synchronized\r\n", port.ask("?", "\r\n"));
  EXPECT_EQ(9600u, sim.chipRate());
  port.setRate(B115200);
  EXPECT_EQ("", port.ask("Synchronized\r\n", "OK\r\n", 300));
  EXPECT_EQ(14u, sim.misframed());
  port.setRate(B9600);
  ASSERT_EQ("Synchronized\r\nOK\r\n", port.ask("Synchronized\r\n", "OK\r\n"));
  ASSERT_EQ("12000\r\nOK\r\n", port.ask("12000\r\n", "OK\r\n"));
  EXPECT_EQ("A 0\r\n0\r\n", port.ask("A 0\r\n", "0\r\n"));

  // B answers at the old rate, then the chip is at the new one.
  EXPECT_EQ("0\r\n", port.ask("B 57600 1\r\n", "\r\n"));
  EXPECT_EQ(57600u, sim.chipRate());
  EXPECT_EQ("", port.ask("K\r\n", "\r\n", 300));
  port.setRate(B57600);
  EXPECT_EQ("0\r\n4\r\n1\r\n", port.ask("K\r\n", "1\r\n"));

  // A power cycle autobauds again, at whatever rate comes.
  sim.reset();
  EXPECT_EQ(0u, sim.chipRate());
  port.setRate(B115200);
  EXPECT_EQ("Synchronized\r\n", port.ask("?", "\r\n"));
  EXPECT_EQ(115200u, sim.chipRate());
  EXPECT_EQ(17u, sim.misframed());
}

// lpc21isp, a real ISP client, programs the simulated chip. It patches the
// vector-table checksum at 0x1C so that the first eight words add up to zero.
TEST(LpcSimThirdParty, Lpc21ispProgramsTheFlash) {
  const char *tool = "/usr/bin/lpc21isp";
  if (access(tool, X_OK) != 0)
    GTEST_SKIP() << "lpc21isp is not installed (scripts/setup installs it)";
  qwtest::TempDir dir;
  lpcsim::Simulator sim;
  ASSERT_TRUE(sim.start(dir / "port")) << sim.error();
  std::mt19937 gen(7);
  std::string image(10000, '\0');
  for (char &c : image)
    c = static_cast<char>(gen());
  std::string file = dir.write("image.bin", image);

  qwtest::ProcessResult r = qwtest::RunProcess({tool, "-bin", file, dir / "port", "115200", "12000"}, 60000);
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(0, r.status) << r.out << r.err;

  uint32_t sum = 0;
  for (int i = 0; i < 7; ++i) {
    uint32_t w;
    memcpy(&w, image.data() + 4 * i, 4);
    sum += w;
  }
  uint32_t check = 0u - sum;
  memcpy(image.data() + 0x1C, &check, 4);
  std::vector<uint8_t> flash = sim.flash();
  EXPECT_EQ(image, std::string(flash.begin(), flash.begin() + image.size()));
  EXPECT_TRUE(sim.waitFor([](const lpcsim::BootRom &r) { return r.running(); }, 2000));
}

} // namespace
