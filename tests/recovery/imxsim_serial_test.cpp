// The SDP loader over a serial line against the simulated boot ROM on a
// pseudo-terminal (unpaced): images land in its RAM, faults give their codes,
// and a line that takes nothing makes a write give up.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "imxsim/BootRom.h"
#include "imxsim/PtyTransport.h"
#include "lpcsim/Simulator.h"
#include "recovery/NXPSerial.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

using namespace imxsim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = uint8_t(i * 31 + seed + (i >> 8));
  return b;
}

// Passes everything to a serial transport and, after each write, waits until
// the boot ROM has taken those bytes and has had time to answer.
class Unhurried : public SDPLoader_Interface {
public:
  Unhurried(Serial_SDPLoader *inner, BootRom &rom) : inner_(inner), rom_(rom) {}
  bool init() override { return inner_->init(); }
  ssize_t writeData(const Bytes &data) override {
    uint64_t before = rom_.bytesTaken();
    ssize_t n = inner_->writeData(data);
    rom_.waitFor([&] { return rom_.bytesTaken() >= before + uint64_t(std::max<ssize_t>(n, 0)); }, 2s);
    std::this_thread::sleep_for(20ms);
    return n;
  }
  ssize_t readData(Bytes &out, int waitMs) override { return inner_->readData(out, waitMs); }
  bool getDataFromBuffer(const Bytes &r, size_t i, uint32_t &v) override { return inner_->getDataFromBuffer(r, i, v); }

private:
  std::unique_ptr<Serial_SDPLoader> inner_;
  BootRom &rom_;
};

struct SerialBench {
  explicit SerialBench(BootRomConfig c = {}) : rom(c), pty(rom) {}
  // A fresh loader on the port each time, as the recovery makes one per step.
  std::unique_ptr<SDPLoader> loader() {
    auto *t = new Serial_SDPLoader(pty.path());
    t->setSettleMs(0);
    auto l = std::make_unique<SDPLoader>();
    l->setLoader(t);
    EXPECT_EQ(l->init(), cErrNone);
    return l;
  }
  BootRom rom;
  PtyTransport pty;
};

} // namespace

TEST(ImxSimSerial, LoaderLandsInRamAndTheJumpStartsIt) {
  BootRomConfig c;
  c.uniqueId = 0xFEDCBA9876543210ull;
  SerialBench b(c);
  ASSERT_TRUE(b.pty.ok()) << b.pty.error();
  auto l = b.loader();
  Bytes image = pattern(5000, 7);
  EXPECT_EQ(l->writeLoader(image, 0x20000000), 0);
  EXPECT_EQ(b.rom.ram(0x20000000, image.size()), image);
  Bytes second = pattern(100, 99);
  EXPECT_EQ(l->writeLoader(second, 0x20010000), 0);
  EXPECT_EQ(b.rom.ram(0x20010000, second.size()), second);

  uint64_t id = 0;
  EXPECT_EQ(l->getFingerprint(id), 0);
  EXPECT_EQ(id, 0xFEDCBA9876543210ull);

  // The command the boot ROM saw is the one the loader built, minus the report ID.
  auto commands = b.rom.commands();
  Bytes expected = SDPLoader::writeFileCommand(0x20000000, 5000);
  EXPECT_NE(std::find(commands.begin(), commands.end(), Bytes(expected.begin() + 1, expected.end())), commands.end());

  l->startLoader(0x20000400);
  EXPECT_EQ(b.rom.jumpedTo(), std::optional<uint32_t>(0x20000400));
  // The loader runs: the boot ROM answers no more.
  EXPECT_EQ(l->writeLoader(second, 0x20000000), 2);
}

TEST(ImxSimSerial, FaultsGiveTheirCodes) {
  Bytes image = pattern(3000, 1);
  {
    SerialBench b;
    auto l = b.loader();
    Faults f;
    f.noAnswer = 4; // the fifth status request is answered
    b.rom.setFaults(f);
    EXPECT_EQ(l->writeLoader(image, 0x20000000), 0);
    f.noAnswer = 5;
    b.rom.setFaults(f);
    EXPECT_EQ(l->writeLoader(image, 0x20000000), 2);
  }
  {
    SerialBench b;
    auto l = b.loader();
    Faults f;
    f.noCompletion = 1;
    b.rom.setFaults(f);
    EXPECT_EQ(l->writeLoader(image, 0x20000000), 4);
    EXPECT_EQ(b.rom.ram(0x20000000, image.size()), image); // the data did land
  }
  {
    SerialBench b;
    Faults f;
    f.dataDuringTransfer = 1;
    b.rom.setFaults(f);
    // A host that waits until each report is through: the boot ROM's answer
    // is there before the second report goes.
    auto *t = new Serial_SDPLoader(b.pty.path());
    t->setSettleMs(0);
    SDPLoader l;
    l.setLoader(new Unhurried(t, b.rom));
    ASSERT_EQ(l.init(), cErrNone);
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 3);
  }
  { // a jump where nothing was loaded is refused and the boot ROM stays
    SerialBench b;
    auto l = b.loader();
    l->startLoader(0x20000400);
    EXPECT_FALSE(b.rom.jumpedTo().has_value());
    EXPECT_EQ(l->writeLoader(image, 0x20000000), 0);
  }
}

namespace {

// A raw client end of the simulated boot ROM's line.
struct RawLine {
  explicit RawLine(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  ~RawLine() { close(fd); }
  void send(const Bytes &b) { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); }
  // Reads until `want` bytes came or the time is up.
  Bytes read(size_t want, std::chrono::milliseconds within) {
    Bytes in;
    auto deadline = std::chrono::steady_clock::now() + within;
    while (in.size() < want && std::chrono::steady_clock::now() < deadline) {
      uint8_t buf[64];
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
          in.insert(in.end(), buf, buf + n);
      }
    }
    return in;
  }
  int fd;
};

const Bytes kStatusAnswer = {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0};

} // namespace

// The UART has no framing: the boot ROM takes every 16 bytes as a command.
// A stray "?" (an LPC probe) shifts the commands after it until a host
// completes the command it began; the association is echoed at a command's
// start.
TEST(ImxSimSerial, AStrayByteShiftsCommandsUntilItsCommandIsCompleted) {
  SerialBench b;
  RawLine line(b.pty.path());
  Bytes status = SDPLoader::statusCommand();
  status.erase(status.begin()); // no report ID on a serial line
  Bytes probe = {'?'};
  probe.insert(probe.end(), status.begin(), status.end());
  line.send(probe);
  EXPECT_EQ(line.read(1, 300ms), Bytes{});
  line.send(Bytes(15, 0)); // completes the shifted command
  line.send(status);
  EXPECT_EQ(line.read(8, 2s), kStatusAnswer);
  ASSERT_EQ(b.rom.commands().size(), 3u);
  EXPECT_EQ(b.rom.commands()[0][0], '?');
  EXPECT_EQ(b.rom.commands()[2], status);

  Bytes association = {0x23, 0x45, 0x45, 0x23};
  association.insert(association.end(), status.begin(), status.end());
  line.send(association);
  Bytes echoed = {0x23, 0x45, 0x45, 0x23};
  echoed.insert(echoed.end(), kStatusAnswer.begin(), kStatusAnswer.end());
  EXPECT_EQ(line.read(12, 2s), echoed);
  EXPECT_EQ(b.rom.associations(), 1u);
}

// Told how many bytes another protocol left on the line, the transport
// completes their command before its own, and the boot ROM answers.
TEST(SdpSerial, BytesLeftByAnotherProtocolAreCompletedBeforeTheFirstCommand) {
  for (size_t stray : {1u, 3u, 16u, 17u}) {
    SerialBench b;
    {
      RawLine line(b.pty.path());
      line.send(Bytes(stray, '?'));
    }
    ASSERT_TRUE(b.rom.waitFor([&] { return b.rom.bytesTaken() >= stray; }, 2s));
    auto *t = new Serial_SDPLoader(b.pty.path(), stray);
    t->setSettleMs(0);
    SDPLoader l;
    l.setLoader(t);
    ASSERT_EQ(l.init(), cErrNone);
    uint64_t id = 0;
    EXPECT_EQ(l.getFingerprint(id), 0) << stray;
    EXPECT_EQ(id, b.rom.config().uniqueId) << stray;
  }
  // Without the count the boot ROM never sees a command as it was sent.
  SerialBench b;
  {
    RawLine line(b.pty.path());
    line.send({'?'});
  }
  ASSERT_TRUE(b.rom.waitFor([&] { return b.rom.bytesTaken() >= 1; }, 2s));
  uint64_t id = 0;
  EXPECT_EQ(b.loader()->getFingerprint(id), 2);
}

TEST(SdpSerial, WriteToALineThatTakesNothingGivesUp) {
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  Serial_SDPLoader port(name);
  port.setSettleMs(0);
  port.setWriteTimeoutMs(200);
  ASSERT_TRUE(port.init());
  // Nobody reads the other side: the terminal's buffers fill and stay full.
  Bytes report(1 + 256 * 1024, 0xAA);
  auto start = std::chrono::steady_clock::now();
  EXPECT_LT(port.writeData(report), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  close(master);
  close(slave);
}

TEST(ImxSimSerial, CompletionIsAwaitedUntilTheLineHasCarriedTheImage) {
  // At 115200 baud 2 KiB take about 180 ms on the line, while the writes
  // return as soon as the terminal's buffers hold them: the wait for the
  // completion word counts from when the line is through, not from the
  // last write.
  BootRom rom;
  PtyTransport pty(rom, 115200);
  ASSERT_TRUE(pty.ok());
  auto *t = new Serial_SDPLoader(pty.path());
  t->setSettleMs(0);
  SDPLoader l;
  l.setLoader(t);
  ASSERT_EQ(l.init(), cErrNone);
  Bytes image = pattern(2048, 3);
  EXPECT_EQ(l.writeLoader(image, 0x20000000), 0);
  EXPECT_EQ(rom.ram(0x20000000, image.size()), image);
}

// An LPC boot ROM (synchronised, echo on) sends every byte back: its echo of
// the status command is no answer, and no loader goes into its command
// parser.
TEST(SdpSerial, AnEchoOfTheStatusCommandIsNoAnswer) {
  lpcsim::Simulator lpc;
  ASSERT_TRUE(lpc.start()) << lpc.error();
  {
    NXPSerialClass isp;
    ASSERT_EQ(cErrNone, isp.Connect(lpc.path().c_str(), 115200));
    ASSERT_EQ(cErrNone, isp.Sync());
  }
  lpc.clearTraffic();
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(lpc.path())));
  ASSERT_EQ(cErrNone, loader.init());
  std::vector<uint8_t> image(2500, 0x41);
  EXPECT_EQ(2, loader.writeLoader(image, 0x20000000));
  std::vector<uint8_t> status = SDPLoader::statusCommand();
  status.erase(status.begin()); // the serial form has no report ID
  std::vector<uint8_t> got = lpc.received();
  ASSERT_EQ(got.size() % status.size(), 0u) << got.size();
  for (size_t at = 0; at < got.size(); at += status.size())
    EXPECT_TRUE(std::equal(status.begin(), status.end(), got.begin() + at)) << at;
}
