// Smoke tests through the real link library: its socket stream and its
// COBS serial stream against simulated modules.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "library_io.h"
#include "modulesim/SerialTransport.h"
#include "modulesim/TcpTransport.h"

using namespace modulesim;
using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

TEST(SimLibrarySmoke, SocketStreamTalksToATcpModule) {
  SimModule m(ModuleConfig{});
  TcpTransport t(m, {"127.0.0.4", 0});
  ASSERT_TRUE(t.ok()) << t.error();
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSocket(t.ipv4(), t.port(), &s), cErrNone);
  ASSERT_EQ(streamWrite(s, {0xAD, 0x00, 0x04, 0x03, 0x03, 0x49, 0x20}), cErrNone);
  EXPECT_EQ(streamRead(s, 11, 2000ms), (Bytes{0x04, 0x00, 0x04, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
  cStream_Destroy(&s);
}

TEST(SimLibrarySmoke, PacketizedSerialStreamTalksToASerialModule) {
  ModuleConfig c;
  c.serial = 0x0000BEEF;
  SimModule m(c);
  SerialTransport port(m);
  ASSERT_TRUE(port.ok()) << port.error();
  cStream *s = nullptr;
  ASSERT_EQ(cStream_CreateSerial_Packetized(port.path().c_str(), 6, false, 0, 0, &s), cErrNone);
  ASSERT_EQ(streamWrite(s, {0xAD, 0x00}), cErrNone);
  EXPECT_EQ(streamRead(s, 2, 2000ms), (Bytes{0x04, 0x00}));
  // a 28-byte echo: the longest frame both ways
  Bytes echo = {0x04, 28, 0x17};
  for (int i = 0; i < 27; ++i)
    echo.push_back(uint8_t(i * 9)); // zeros included
  ASSERT_EQ(streamWrite(s, echo), cErrNone);
  EXPECT_EQ(streamRead(s, 30, 2000ms), echo);
  EXPECT_EQ(port.badFrames(), 0u);
  cStream_Destroy(&s);
}
