// The LPC ISP client against the simulated boot ROM on a pseudo-terminal, and
// its helpers. Wire bytes are pinned to literal sequences so that the client
// and the simulator cannot agree on the same mistake.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/Log.h"
#include "log_capture.h"
#include "lpcsim/Simulator.h"
#include "recovery/NXPSerial.h"
#include "tempdir.h"

extern char **environ;

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v)
    b = static_cast<uint8_t>(gen());
  return v;
}

std::string Text(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }

size_t Count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
    ++n;
  return n;
}

TEST(NXPSerialHelpers, UUEncodingMatchesTheProtocolsLiteralForms) {
  char line[80];
  uint8_t zero = 0;
  EXPECT_EQ(1u, NXPSerialClass::uuencode(line, &zero, 1));
  EXPECT_STREQ("!````", line); // count 1, then four grave accents for zero values

  const uint8_t cat[] = {'C', 'a', 't'};
  NXPSerialClass::uuencode(line, cat, 3);
  EXPECT_STREQ("#0V%T", line);

  std::vector<uint8_t> zeros(100, 0);
  EXPECT_EQ(45u, NXPSerialClass::uuencode(line, zeros.data(), zeros.size())); // one line holds 45 bytes
  EXPECT_EQ("M" + std::string(60, '`'), std::string(line));

  // Round trip of every byte value, and refusals.
  std::vector<uint8_t> all(45), back(45);
  for (uint8_t start : {0, 45, 90, 135, 180, 211}) {
    for (size_t i = 0; i < all.size(); ++i)
      all[i] = static_cast<uint8_t>(start + i);
    NXPSerialClass::uuencode(line, all.data(), all.size());
    ASSERT_EQ(45u, NXPSerialClass::uudecode(back.data(), back.size(), line));
    EXPECT_EQ(all, back);
  }
  EXPECT_EQ(0u, NXPSerialClass::uudecode(back.data(), 44, line)); // count above capacity
  EXPECT_EQ(3u, NXPSerialClass::uudecode(back.data(), back.size(), "#0V%T"));
  EXPECT_EQ(0, memcmp(back.data(), "Cat", 3));
}

TEST(NXPSerialHelpers, TablesAndRules) {
  EXPECT_EQ(15u, NXPSerialClass::SectorFromAddress(0xF000));
  EXPECT_EQ(15u, NXPSerialClass::SectorFromAddress(0xFFFF));
  EXPECT_EQ(16u, NXPSerialClass::SectorFromAddress(0x10000));
  EXPECT_EQ(17u, NXPSerialClass::SectorFromAddress(0x18000));
  EXPECT_EQ(29u, NXPSerialClass::SectorFromAddress(0x7FFFF));
  EXPECT_EQ(30u, NXPSerialClass::SectorFromAddress(0x80000));
  EXPECT_EQ(30u, NXPSerialClass::SectorFromAddress(NXPSerialClass::WRITE_ADDRESS));

  EXPECT_EQ(256u, NXPSerialClass::CopyLength(1));
  EXPECT_EQ(256u, NXPSerialClass::CopyLength(256));
  EXPECT_EQ(512u, NXPSerialClass::CopyLength(257));
  EXPECT_EQ(4096u, NXPSerialClass::CopyLength(4000));
  EXPECT_EQ(5000u, NXPSerialClass::CopyLength(5000));

  EXPECT_STREQ("SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION", NXPSerialClass::GetErrorText("9"));
  EXPECT_STREQ("CMD_LOCKED", NXPSerialClass::GetErrorText("15\r\n"));
  EXPECT_STREQ("CMD_LOCKED", NXPSerialClass::GetErrorText("0xF"));
  EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("25"));
  EXPECT_STREQ("Unknown error", NXPSerialClass::GetErrorText("-1"));

  // Rate choice: the first offered rate at least the one asked for.
  EXPECT_EQ(6u, NXPSerialClass::BaudIndexFor(100000));
  EXPECT_EQ(6u, NXPSerialClass::BaudIndexFor(115200));
  EXPECT_EQ(0u, NXPSerialClass::BaudIndexFor(1));
  EXPECT_EQ(7u, NXPSerialClass::BaudIndexFor(230400));
  EXPECT_EQ(2u, NXPSerialClass::BaudIndexFor(460800)); // above the table: 9600

  EXPECT_EQ(16u, NXPSerialClass::WAIT_TIME_MS(14, 9600)); // (14 * 9000 + 18000) / 9600 + 1
}

TEST(NXPSerialHelpers, ReturnCodeLocationFollowsTheEchoSetting) {
  EXPECT_TRUE(NXPSerialClass::ReturnCodeIsSuccess("0\r\n", 3, false));
  EXPECT_TRUE(NXPSerialClass::ReturnCodeIsSuccess("0\r\n", 3, true));
  // Echo off: the code starts the line.
  EXPECT_FALSE(NXPSerialClass::ReturnCodeIsSuccess("19\r\n", 4, false));
  EXPECT_FALSE(NXPSerialClass::ReturnCodeIsSuccess("1\r\n", 3, false));
  // Echo on: the code ends before CR LF, after what the line still carries.
  EXPECT_TRUE(NXPSerialClass::ReturnCodeIsSuccess("P 0 29\r0\r\n", 10, true));
  EXPECT_FALSE(NXPSerialClass::ReturnCodeIsSuccess("P 0 29\r9\r\n", 10, true));
  EXPECT_FALSE(NXPSerialClass::ReturnCodeIsSuccess("19\r\n", 4, true));
  // A two-digit code that ends in 0 is a refusal, not success.
  EXPECT_FALSE(NXPSerialClass::ReturnCodeIsSuccess("10\r\n", 4, true));
  EXPECT_FALSE(NXPSerialClass::ReturnCodeIsSuccess("", 0, true));
}

class NXPSerialSim : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(sim.start()) << sim.error();
    ASSERT_EQ(cErrNone, nxp.Connect(sim.path().c_str(), 115200));
  }
  void Synced() {
    ASSERT_EQ(cErrNone, nxp.Sync());
    ASSERT_TRUE(sim.waitFor([](const lpcsim::BootRom &r) { return r.synchronized(); }, 2000));
  }
  // Synchronised, unlocked, echo off, traffic records cleared.
  void ReadyForData() {
    Synced();
    ASSERT_EQ(cErrNone, nxp.Unlock());
    ASSERT_EQ(cErrNone, nxp.SetEcho(false));
    sim.clearTraffic();
  }

  lpcsim::Simulator sim;
  NXPSerialClass nxp;
};

TEST_F(NXPSerialSim, SyncExchangeAndIdentification) {
  sim.setUniqueId({0x11223344, 7, 0xFFFFFFFF, 0});
  Synced();
  EXPECT_EQ("?Synchronized\r\n14746\r\n", Text(sim.received()));
  EXPECT_EQ("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n", Text(sim.sent()));
  EXPECT_EQ(14746u, [&] {
    uint32_t k = 0;
    sim.inspect([&](const lpcsim::BootRom &r) { k = r.crystalKHz(); });
    return k;
  }());

  ASSERT_EQ(cErrNone, nxp.GetDeviceID());
  EXPECT_EQ(0x11223344u, nxp.GetDeviceSerialNumber()[0]);
  EXPECT_EQ(7u, nxp.device_serial_number[1]);
  EXPECT_EQ(0xFFFFFFFFu, nxp.device_serial_number[2]);
  EXPECT_EQ(0u, nxp.device_serial_number[3]);

  uint32_t part = 0, major = 0, minor = 0;
  EXPECT_EQ(cErrNone, nxp.GetPartNumber(&part));
  EXPECT_EQ(0x26013F37u, part);
  EXPECT_EQ(cErrNone, nxp.GetBootLoaderVersion(&major, &minor));
  EXPECT_EQ(4u, major);
  EXPECT_EQ(1u, minor);
}

// A second synchronisation in the same power-up (a new connection) knows
// the synchronised boot ROM by its echo of "?"; nothing more is sent to a
// quiet one (echo off, or another kind of boot ROM).
TEST_F(NXPSerialSim, SyncRecognisesABootRomSynchronisedEarlier) {
  Synced();
  NXPSerialClass again;
  ASSERT_EQ(cErrNone, again.Connect(sim.path().c_str(), 115200));
  sim.clearTraffic();
  ASSERT_EQ(cErrNone, again.Sync());
  EXPECT_EQ("?\r\n", Text(sim.received()));
  EXPECT_EQ("?\r\n1\r\n", Text(sim.sent()));
  ASSERT_EQ(cErrNone, again.GetDeviceID());
  EXPECT_EQ(0x12345678u, again.device_serial_number[0]);

  ASSERT_EQ(cErrNone, again.SetEcho(false));
  NXPSerialClass quiet;
  ASSERT_EQ(cErrNone, quiet.Connect(sim.path().c_str(), 115200));
  sim.clearTraffic();
  EXPECT_NE(cErrNone, quiet.Sync());
  EXPECT_EQ("?", Text(sim.received()));
}

TEST_F(NXPSerialSim, SyncCopesWithZeroBytesBeforeTheAnswerAndRejectsAWrongOne) {
  sim.setSyncGarbage(std::string("\0\0", 2));
  EXPECT_EQ(cErrNone, nxp.Sync());

  lpcsim::Simulator other;
  ASSERT_TRUE(other.start());
  NXPSerialClass second;
  ASSERT_EQ(cErrNone, second.Connect(other.path().c_str(), 115200));
  other.setSyncGarbage("noise");
  // The crystal line is never acknowledged: not synchronised.
  EXPECT_EQ(cErrIO, second.Sync());
}

TEST_F(NXPSerialSim, ProgramsA64KiBImageAsTheRecoverySequenceDoes) {
  Synced();
  std::vector<uint8_t> image = RandomBytes(64 * 1024, 1);
  ASSERT_EQ(cErrNone, nxp.Unlock());
  ASSERT_EQ(cErrNone, nxp.Prepare(0, 29));
  ASSERT_EQ(cErrNone, nxp.Erase(0, 29));
  ASSERT_EQ(cErrNone, nxp.SetEcho(false));
  EXPECT_FALSE(nxp.GetEcho());
  for (uint32_t at = 0; at < image.size(); at += 4096) {
    ASSERT_EQ(cErrNone, nxp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, image.data() + at)) << at;
    ASSERT_EQ(cErrNone,
              nxp.Prepare(NXPSerialClass::SectorFromAddress(at), NXPSerialClass::SectorFromAddress(at + 4095)));
    ASSERT_EQ(cErrNone, nxp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(4096)));
  }
  ASSERT_EQ(cErrNone, nxp.SetEcho(true));
  ASSERT_EQ(cErrNone, nxp.ExecuteFrom(0));
  ASSERT_TRUE(sim.waitFor([](const lpcsim::BootRom &r) { return r.running(); }, 2000));
  std::vector<uint8_t> flash = sim.flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_TRUE(std::all_of(flash.begin() + image.size(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ("G 0 T", sim.commands().back());
}

TEST_F(NXPSerialSim, WriteSplitsLinesAndChecksumsAsTheProtocolSays) {
  ReadyForData();
  std::vector<uint8_t> zeros(48, 0);
  ASSERT_EQ(cErrNone, nxp.Write(0x10001000, 48, zeros.data()));
  EXPECT_EQ("W 268439552 48\r\nM" + std::string(60, '`') + "\r\n#````\r\n0\r\n", Text(sim.received()));

  sim.clearTraffic();
  const uint8_t cat[4] = {'C', 'a', 't', 1};
  ASSERT_EQ(cErrNone, nxp.Write(0x10000200, 4, cat));
  EXPECT_EQ("W 268435968 4\r\n$0V%T`0``\r\n" + std::to_string('C' + 'a' + 't' + 1) + "\r\n", Text(sim.received()));

  // 900 bytes: 20 full lines and one checksum; 904: 21 lines, two checksums.
  std::vector<uint8_t> data = RandomBytes(904, 2);
  for (uint32_t n : {900u, 904u}) {
    sim.clearTraffic();
    ASSERT_EQ(cErrNone, nxp.Write(0x10001000, n, data.data()));
    std::string wire = Text(sim.received());
    EXPECT_EQ(20u, Count(wire, "\r\nM")) << n; // full lines
    // The command, the data lines, and one checksum per group.
    EXPECT_EQ(n == 900 ? 1u + 20u + 1u : 1u + 21u + 2u, Count(wire, "\r\n")) << n;
    std::vector<uint8_t> ram = sim.memory(0x10001000, n);
    EXPECT_TRUE(std::equal(ram.begin(), ram.end(), data.begin())) << n;
  }
  // The second group of the 904-byte write is one 4-byte line and its sum.
  std::string wire = Text(sim.received());
  uint32_t tail = NXPSerialClass::sum(data.data() + 900, 4);
  EXPECT_NE(std::string::npos, wire.rfind("\r\n" + std::to_string(tail) + "\r\n"));

  sim.clearTraffic();
  EXPECT_EQ(cErrParam, nxp.Write(0x10001000, 46, data.data()));
  EXPECT_EQ(cErrParam, nxp.Write(0x10001000, 0, data.data()));
  EXPECT_EQ(cErrParam, nxp.Prepare(5, 4));
  EXPECT_EQ(cErrParam, nxp.Erase(2, 1));
  EXPECT_EQ(cErrParam, nxp.CopyToFlash(0x80, 0x10001000, 256));
  EXPECT_EQ(cErrParam, nxp.CopyToFlash(0, 0x10001000, 300));
  EXPECT_EQ(cErrParam, nxp.CopyToFlash(0, 0x10001000, NXPSerialClass::CopyLength(5000)));
  EXPECT_TRUE(sim.received().empty()); // refused before sending
}

TEST_F(NXPSerialSim, ResentGroupIsSentAgainAndTheThirdFailureEndsTheTransfer) {
  ReadyForData();
  std::vector<uint8_t> data = RandomBytes(1800, 3);
  sim.resendGroup(2, 1);
  ASSERT_EQ(cErrNone, nxp.Write(0x10001000, 1800, data.data()));
  std::vector<uint8_t> ram = sim.memory(0x10001000, 1800);
  EXPECT_EQ(data, ram);
  std::string wire = Text(sim.received());
  std::string group2Sum = "\r\n" + std::to_string(NXPSerialClass::sum(data.data() + 900, 900)) + "\r\n";
  EXPECT_EQ(2u, Count(wire, group2Sum)); // the second group went out twice
  EXPECT_EQ(1u, Count(Text(sim.sent()), "RESEND\r\n"));

  sim.resendGroup(1, lpcsim::Simulator::kAlways);
  sim.clearTraffic();
  qwtest::LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(cErrTimeout, nxp.Write(0x10001000, 1800, data.data()));
  EXPECT_EQ(3u, Count(Text(sim.sent()), "RESEND\r\n"));
  EXPECT_TRUE(log.contains("Write() exceeded retries\n"));
}

TEST_F(NXPSerialSim, RefusalsBecomeParamErrorsWithTheCodesText) {
  Synced();
  // Locked: the chip refuses erase until unlocked.
  {
    qwtest::LogCapture log(DEBUG_NXPSerial);
    ASSERT_EQ(cErrNone, nxp.Prepare(0, 0));
    EXPECT_EQ(cErrParam, nxp.Erase(0, 0));
    EXPECT_TRUE(log.contains("Error response ==>[CMD_LOCKED]\n")) << log.text();
  }
  ASSERT_EQ(cErrNone, nxp.Unlock());
  // Copy without prepare.
  {
    qwtest::LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(cErrParam, nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 256));
    EXPECT_TRUE(log.contains("Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n")) << log.text();
  }
  // A two-digit code ending in 0, with echo on and off.
  for (bool echo : {true, false}) {
    ASSERT_EQ(cErrNone, nxp.SetEcho(echo));
    sim.refuseCommand('P', 10, 1);
    qwtest::LogCapture log(DEBUG_NXPSerial);
    EXPECT_EQ(cErrParam, nxp.Prepare(1, 1)) << echo;
    EXPECT_TRUE(log.contains("Error response ==>[COMPARE_ERROR]\n")) << log.text();
    EXPECT_EQ(cErrNone, nxp.Prepare(1, 1)) << echo;
  }
  sim.refuseCommand('W', 14, 1);
  qwtest::LogCapture log(DEBUG_NXPSerial);
  uint8_t four[4] = {1, 2, 3, 4};
  EXPECT_EQ(cErrParam, nxp.Write(NXPSerialClass::WRITE_ADDRESS, 4, four));
  EXPECT_TRUE(log.contains("Write() Error response ==>[ADDR_NOT_MAPPED]\n")) << log.text();
}

TEST_F(NXPSerialSim, WriteAndReadWorkWithEchoOnAndOff) {
  Synced();
  ASSERT_EQ(cErrNone, nxp.Unlock());
  std::vector<uint8_t> image = RandomBytes(2000, 4);
  sim.loadFlash(0x1000, image);
  for (bool echo : {true, false}) {
    ASSERT_EQ(cErrNone, nxp.SetEcho(echo));
    std::vector<uint8_t> out(2000, 0);
    ASSERT_EQ(cErrNone, nxp.Read(0x1000, 2000, out.data())) << echo;
    EXPECT_EQ(image, out) << echo;

    std::vector<uint8_t> data = RandomBytes(1804, echo ? 5 : 6);
    ASSERT_EQ(cErrNone, nxp.Write(0x10001000, 1804, data.data())) << echo;
    EXPECT_EQ(data, sim.memory(0x10001000, 1804)) << echo;
    EXPECT_EQ(cErrNone, nxp.Prepare(0, 0)) << echo; // nothing left over on the line
  }
  std::vector<uint8_t> out(8);
  EXPECT_EQ(cErrParam, nxp.Read(0x1000, 6, out.data()));
}

TEST_F(NXPSerialSim, DroppedEchoBytesDoNotStallOrFailACommand) {
  Synced();
  sim.dropEchoBytes(3);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cErrNone, nxp.Unlock());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(cErrNone, nxp.Prepare(0, 1));
  sim.inspect([](const lpcsim::BootRom &r) { EXPECT_TRUE(r.unlocked()); });
}

TEST_F(NXPSerialSim, ASilentOrVanishedBootRomEndsOperationsWithAnError) {
  ReadyForData();
  sim.setSilent(true);
  std::vector<uint8_t> data(8, 0x5A);
  EXPECT_NE(cErrNone, nxp.Write(0x10001000, 8, data.data()));
  EXPECT_NE(cErrNone, nxp.GetDeviceID());
  for (uint32_t w : nxp.device_serial_number)
    EXPECT_EQ(0u, w); // no answer is no serial number

  // The far end goes away: writes to the port fail, and every operation
  // returns instead of trying again.
  sim.stop();
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(cErrNone, nxp.Write(0x10001000, 8, data.data()));
  EXPECT_NE(cErrNone, nxp.Sync());
  EXPECT_NE(cErrNone, nxp.Erase(0, 29));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(NXPSerialPort, ConnectReportsAMissingPortAndRemembersTheRate) {
  NXPSerialClass nxp;
  EXPECT_EQ(cErrNotFound, nxp.Connect("/nonexistent/tty", 115200));
  EXPECT_FALSE(nxp.IsConnected());
  EXPECT_NE(cErrNone, nxp.Unlock()); // nothing to talk to, and no wait

  lpcsim::Simulator sim;
  ASSERT_TRUE(sim.start());
  ASSERT_EQ(cErrNone, nxp.Connect(sim.path().c_str(), 100000));
  EXPECT_EQ(115200u, nxp.GetBaudRate());
  EXPECT_EQ(sim.path(), nxp.GetPortName());
  EXPECT_EQ(cErrNone, nxp.Disconnect());
  EXPECT_FALSE(nxp.IsConnected());
}

} // namespace

namespace {

// A boot ROM gone mad: a pseudo-terminal that streams the same bytes for as
// long as the test runs. Every read of the client must still end.
TEST(NXPSerialPort, ABootRomStreamingGarbageCannotHoldTheClient) {
  for (std::string pattern : {std::string("\n"), std::string("\0\0\r", 3), std::string("x")}) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(0, openpty(&master, &slave, name, nullptr, nullptr));
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      std::string chunk;
      while (chunk.size() < 256)
        chunk += pattern;
      while (!stop) {
        pollfd p{master, POLLOUT, 0};
        if (poll(&p, 1, 20) > 0)
          (void)!write(master, chunk.data(), chunk.size());
        char sink[512];
        while (read(master, sink, sizeof sink) > 0) {
        }
      }
    });
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    NXPSerialClass nxp;
    ASSERT_EQ(cErrNone, nxp.Connect(name, 115200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(cErrNone, nxp.Sync());
    EXPECT_NE(cErrNone, nxp.Unlock());
    std::vector<uint8_t> data(900, 1), out(900);
    EXPECT_NE(cErrNone, nxp.Write(0x10001000, 900, data.data()));
    EXPECT_NE(cErrNone, nxp.Read(0, 900, out.data()));
    EXPECT_NE(cErrNone, nxp.GetDeviceID());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << int(pattern[0]);
    nxp.Disconnect();
    stop = true;
    feeder.join();
    close(master);
    close(slave);
  }
}

// "M" compares two memories: a difference is a refusal, and the offset line
// that follows it is taken, so that the next command reads its own answer.
TEST_F(NXPSerialSim, CompareReportsADifferenceAndKeepsTheAnswersInStep) {
  ReadyForData();
  std::vector<uint8_t> flash = RandomBytes(512, 4), ram = flash;
  for (size_t i = 256; i < ram.size(); ++i)
    ram[i] ^= 0xA5;
  sim.loadFlash(0x1000, flash);
  ASSERT_EQ(cErrNone, nxp.Write(NXPSerialClass::WRITE_ADDRESS, 512, ram.data()));
  sim.clearTraffic();
  EXPECT_EQ(cErrParam, nxp.Compare(0x1000, NXPSerialClass::WRITE_ADDRESS, 512));
  EXPECT_EQ("M 4096 268439552 512\r\n", Text(sim.received()));
  EXPECT_EQ("10\r\n256\r\n", Text(sim.sent()));
  EXPECT_EQ(cErrNone, nxp.Compare(0x1000, NXPSerialClass::WRITE_ADDRESS, 256));
  EXPECT_EQ(cErrParam, nxp.Compare(0x1000, NXPSerialClass::WRITE_ADDRESS, 6)); // not whole words
}

TEST_F(NXPSerialSim, SetBaudRateMovesBothEnds) {
  Synced();
  ASSERT_EQ(cErrNone, nxp.SetEcho(false));
  EXPECT_EQ(cErrParam, nxp.SetBaudRate(1000)); // INVALID_BAUD_RATE, the port stays
  EXPECT_EQ(115200u, nxp.GetBaudRate());
  ASSERT_EQ(cErrNone, nxp.SetBaudRate(57600));
  EXPECT_EQ(57600u, nxp.GetBaudRate());
  EXPECT_FALSE(nxp.GetEcho()); // the echo setting is the chip's and stays
  EXPECT_EQ(cErrNone, nxp.Prepare(3, 3));
  sim.inspect([](const lpcsim::BootRom &r) { EXPECT_EQ(57600u, r.baudRequested()); });
}

// The lpcsim program as a person runs it: on a linked port, with chosen
// unique-ID words, saving its flash when told to stop.
TEST(LpcSimProgram, ServesAClientAndSavesItsFlash) {
  std::string program = QW_BINARY_DIR "/tools/lpcsim/lpcsim";
  if (access(program.c_str(), X_OK) != 0)
    GTEST_SKIP() << "lpcsim is not built: " << program;
  qwtest::TempDir dir;
  std::string link = dir / "port", saved = dir / "flash.bin";
  std::vector<std::string> args = {program, "--no-pacing", "--link", link, "--flash-out", saved,
                                   "--uid", "1",           "0x2",    "3",  "0xFFFFFFFF"};
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  ASSERT_EQ(0, pipe(out));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid;
  ASSERT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ));
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  // The first line is the port.
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  for (int i = 0; i < 100 && line.find('\n') == std::string::npos; ++i) {
    char b[256];
    if (poll(&p, 1, 50) > 0) {
      ssize_t n = read(out[0], b, sizeof b);
      if (n <= 0)
        break;
      line.append(b, size_t(n));
    }
  }
  close(out[0]);
  EXPECT_EQ(link + "\n", line);

  NXPSerialClass nxp;
  std::vector<uint8_t> data = RandomBytes(256, 9);
  EXPECT_EQ(cErrNone, nxp.Connect(link.c_str(), 115200));
  EXPECT_EQ(cErrNone, nxp.Sync());
  EXPECT_EQ(cErrNone, nxp.GetDeviceID());
  EXPECT_EQ(2u, nxp.device_serial_number[1]);
  EXPECT_EQ(0xFFFFFFFFu, nxp.device_serial_number[3]);
  EXPECT_EQ(cErrNone, nxp.Unlock());
  EXPECT_EQ(cErrNone, nxp.Prepare(2, 2));
  EXPECT_EQ(cErrNone, nxp.Erase(2, 2));
  EXPECT_EQ(cErrNone, nxp.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()));
  EXPECT_EQ(cErrNone, nxp.Prepare(2, 2));
  EXPECT_EQ(cErrNone, nxp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256));
  nxp.Disconnect();
  // Still synchronised (and unlocked) for the next connection; after a power
  // cycle (SIGHUP) the chip is locked again.
  ASSERT_EQ(cErrNone, nxp.Connect(link.c_str(), 115200));
  EXPECT_EQ(cErrNone, nxp.Sync());
  EXPECT_EQ(cErrNone, nxp.Prepare(2, 2));
  EXPECT_EQ(cErrNone, nxp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256));
  kill(pid, SIGHUP);
  bool locked = false;
  for (int i = 0; i < 20 && !locked; ++i) {
    usleep(50 * 1000);
    ASSERT_EQ(cErrNone, nxp.Connect(link.c_str(), 115200));
    locked = nxp.Sync() == cErrNone && nxp.Prepare(2, 2) == cErrNone &&
             nxp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256) == cErrParam;
  }
  EXPECT_TRUE(locked);
  nxp.Disconnect();

  kill(pid, SIGTERM);
  int status = -1;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    usleep(50 * 1000);
  if (!WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string flash = qwtest::ReadFile(saved);
  ASSERT_EQ(512u * 1024, flash.size());
  EXPECT_EQ(std::string(data.begin(), data.end()), flash.substr(0x2000, 256));
  EXPECT_EQ(std::string(256, '\xff'), flash.substr(0x2100, 256));
  EXPECT_FALSE(std::filesystem::exists(link)); // the link goes with the program
}

} // namespace
