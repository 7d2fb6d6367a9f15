// A simulated module on a pseudo-terminal with COBS/CRC-8 frames.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>

#include "modulesim/SerialTransport.h"
#include "sockets.h"
#include "tempdir.h"

using namespace modulesim;
using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {
int openPort(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}
} // namespace

TEST(SimSerial, FramedSyncAndUeiGet) {
  qwtest::TempDir dir;
  SimModule m(ModuleConfig{});
  SerialTransport s(m, dir / "ttySIM0");
  ASSERT_TRUE(s.ok()) << s.error();
  int fd = openPort(s.path());
  ASSERT_GE(fd, 0);
  // sync request AD 00 with its CRC, COBS-encoded, then the delimiter
  uint8_t raw[2] = {0xAD, 0x00};
  uint8_t crc = crc8(raw, 2);
  writeAll(fd, {0x02, 0xAD, 0x02, crc, 0x00});
  uint8_t answer[2] = {0x04, 0x00};
  EXPECT_EQ(readBytes(fd, 5, 1000ms), (Bytes{0x02, 0x04, 0x02, crc8(answer, 2), 0x00}));
  // the model query, and its answer decoded
  writeAll(fd, encodeFrame(Packet{0x04, {0x03, 0x48, 0x20}}));
  Bytes frame = readBytes(fd, 9, 1000ms); // 7 bytes with their CRC, one COBS code, the delimiter
  EXPECT_EQ(frame.back(), 0x00);
  FrameDecoder dec;
  std::optional<Packet> got;
  for (uint8_t b : frame)
    if (auto p = dec.add(b))
      got = p;
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (Packet{0x04, {0x03, 0x08, 0x00, 0x11}}));
  // a frame with a wrong CRC is dropped without an answer
  Bytes bad = encodeFrame(Packet{0x04, {0x03, 0x48, 0x20}});
  bad[bad.size() - 2] ^= 0x01;
  writeAll(fd, bad);
  EXPECT_TRUE(readBytes(fd, 1, 100ms).empty());
  EXPECT_TRUE(m.waitFor([&] { return s.badFrames() == 1; }, 1000ms));
  close(fd);
}
