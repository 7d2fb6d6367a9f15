// The serial and COBS-framed serial streams against a pseudo-terminal: the
// stream opens the slave side, the test plays the device on the master side.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "quillwork/cStream.h"
#include "tcp_peer.h" // streamBytes

namespace {

using Bytes = std::vector<uint8_t>;

struct Pty {
  int master = -1;
  int slave = -1; // kept open: without it the master reads EIO once the stream closes
  std::string path;
  Pty() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
      path = name;
  }
  ~Pty() {
    if (master >= 0)
      close(master);
    if (slave >= 0)
      close(slave);
  }
  Bytes read(size_t n, int timeoutMs = 2000) {
    Bytes out;
    for (int waited = 0; out.size() < n && waited < timeoutMs; waited += 10) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 10) != 1)
        continue;
      uint8_t buffer[256];
      ssize_t got = ::read(master, buffer, std::min(sizeof buffer, n - out.size()));
      if (got > 0)
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
  }
  void write(const Bytes &bytes) { ASSERT_EQ(::write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  termios settings() {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
};

TEST(SerialStream, RawPortCarriesBytesBothWays) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, &s), cErrNone);
  termios t = pty.settings();
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u); // raw: nothing echoed or held back

  // Bytes that a cooked terminal would change (CR, NUL, ^C) pass unchanged.
  const Bytes out = {'\r', '\n', 0x00, 0x03, 0xFF};
  ASSERT_EQ(cStream_Write(s, out.data(), out.size()), cErrNone);
  EXPECT_EQ(pty.read(out.size()), out);
  const uint8_t one = 0x7F;
  ASSERT_EQ(cStream_Write(s, &one, 1), cErrNone);
  EXPECT_EQ(pty.read(1), Bytes{0x7F});

  const Bytes in = {'\r', 0x00, 0x04, 'x'};
  pty.write(in);
  EXPECT_EQ(streamBytes(s, in.size()), in);
  uint8_t b;
  EXPECT_EQ(cStream_Read(s, &b, 1), cErrNotReady);
  ASSERT_EQ(cStream_Destroy(&s), cErrNone);
}

TEST(SerialStream, LineSettingsFollowTheArguments) {
  Pty pty;
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial(pty.path.c_str(), 0, true, 1, 1, &s), cErrNone);
  termios t = pty.settings();
  EXPECT_EQ(cfgetospeed(&t), B2400);
  // A pty forces 8 bits without parity whatever is asked, so only the stop
  // bits and the input flag for parity errors show here.
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_iflag & IGNPAR, 0u);
  cStream_Destroy(&s);
  // An index outside the table opens at speed 0.
  ASSERT_EQ(cStream_CreateSerial(pty.path.c_str(), 9, false, 0, 0, &s), cErrNone);
  t = pty.settings();
  EXPECT_EQ(cfgetospeed(&t), B0);
  cStream_Destroy(&s);
}

TEST(SerialStream, DestroyRestoresTheSavedSettings) {
  Pty pty;
  termios before = pty.settings();
  ASSERT_NE(before.c_lflag & ECHO, 0u); // a fresh pty is cooked
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial(pty.path.c_str(), 2, false, 0, 0, &s), cErrNone);
  EXPECT_EQ(pty.settings().c_lflag & ECHO, 0u);
  cStream_Destroy(&s);
  termios after = pty.settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(SerialStream, RefusesBadArgumentsAndMissingPorts) {
  Pty pty;
  cStream *s = reinterpret_cast<cStream *>(0x1);
  EXPECT_EQ(cStream_CreateSerial(nullptr, 6, false, 0, 0, &s), cErrParam);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(cStream_CreateSerial(pty.path.c_str(), 6, false, 2, 0, &s), cErrParam);
  EXPECT_EQ(cStream_CreateSerial(pty.path.c_str(), 6, false, 0, 2, &s), cErrParam);
  EXPECT_EQ(cStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, nullptr), cErrParam);
  EXPECT_EQ(cStream_CreateSerial("/dev/no-such-port", 6, false, 0, 0, &s), cErrNotFound);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(cStream_CreateSerial_Packetized("/dev/no-such-port", 6, false, 0, 0, &s), cErrNotFound);
  EXPECT_EQ(s, nullptr);
}

TEST(SerialStream, BaudRateTable) {
  const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (unsigned i = 0; i < 8; ++i) {
    unsigned index = 99;
    EXPECT_EQ(cStream_SerialBaudIndex(rates[i], &index), cErrNone);
    EXPECT_EQ(index, i);
  }
  unsigned index;
  EXPECT_EQ(cStream_SerialBaudIndex(14400, &index), cErrParam);
  EXPECT_EQ(cStream_SerialBaudIndex(115200, nullptr), cErrParam);
}

TEST(SerialStream, HungUpLineIsReportedAndDoesNotHang) {
  Pty pty;
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, &s), cErrNone);
  close(pty.master);
  pty.master = -1;
  uint8_t b;
  for (int i = 0; i < 5; ++i) {
    cErr e = cStream_Read(s, &b, 1);
    EXPECT_TRUE(e == cErrIO || e == cErrNotReady) << e;
  }
  cStream_Destroy(&s);
}

// The COBS-framed serial stream, with frames built here from literal bytes.
TEST(PacketizedSerialStream, LongestPacketGoesOutAsOne33ByteFrame) {
  Pty pty;
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial_Packetized(pty.path.c_str(), 6, false, 0, 0, &s), cErrNone);
  Bytes packet = {0x02, 28};
  for (int i = 1; i <= 28; ++i)
    packet.push_back(static_cast<uint8_t>(i));
  ASSERT_EQ(cStream_Write(s, packet.data(), packet.size()), cErrNone);
  Bytes frame = pty.read(33);
  ASSERT_EQ(frame.size(), 33u);
  EXPECT_EQ(frame.front(), 32); // one code byte: 31 non-zero bytes follow
  EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 31), packet);
  EXPECT_EQ(frame[31], crc8_create(packet.data(), packet.size()));
  EXPECT_EQ(frame[32], 0x00);
  EXPECT_TRUE(pty.read(1, 100).empty()); // nothing else

  // Looped back through the device side, it reads back whole.
  pty.write(frame);
  EXPECT_EQ(streamBytes(s, packet.size()), packet);
  cStream_Destroy(&s);
}

TEST(PacketizedSerialStream, ReceivesGoodFramesAndDropsBadOnes) {
  Pty pty;
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial_Packetized(pty.path.c_str(), 6, false, 0, 0, &s), cErrNone);
  // Heartbeat 04 02 00 01 and its CRC, stuffed by hand: 03 04 02 03 01 crc 00.
  const Bytes heartbeat = {0x04, 0x02, 0x00, 0x01};
  uint8_t crc = crc8_create(heartbeat.data(), heartbeat.size());
  const Bytes good = {0x03, 0x04, 0x02, 0x03, 0x01, crc, 0x00};
  Bytes bad = good;
  bad[5] ^= 0x40;
  Bytes wire = bad;
  wire.insert(wire.end(), good.begin(), good.end());
  pty.write(wire);
  cErr error = cErrNone;
  EXPECT_TRUE(streamBytes(s, 1, 20, &error).empty());
  EXPECT_EQ(error, cErrPacket);
  EXPECT_EQ(streamBytes(s, heartbeat.size()), heartbeat);
  cStream_Destroy(&s);
}

} // namespace
