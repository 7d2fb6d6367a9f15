// Simulated modules on TCP/IP: the packet protocol over a loopback port, the
// connection dropping across a restart, and a link claimed by another host.
#include <gtest/gtest.h>

#include <thread>

#include "modulesim/TcpTransport.h"
#include "sockets.h"

using namespace modulesim;
using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

TEST(SimTcp, AnswersOverALoopbackPort) {
  ModuleConfig c;
  c.restartDownMs = 100;
  SimModule m(c);
  TcpTransport t(m, {"127.0.0.2", 0});
  ASSERT_TRUE(t.ok()) << t.error();
  int fd = tcpConnect("127.0.0.2", t.port());
  ASSERT_GE(fd, 0);
  writeAll(fd, {0xAD, 0x00, 0xAD, 0x00, 0x04, 0x03, 0x03, 0x48, 0x20});
  EXPECT_EQ(readBytes(fd, 10, 1000ms), (Bytes{0x04, 0x00, 0x04, 0x00, 0x04, 0x04, 0x03, 0x08, 0x00, 0x11}));
  EXPECT_TRUE(t.hostConnected());

  // a second host is turned away while the first holds the link
  int other = tcpConnect("127.0.0.2", t.port());
  ASSERT_GE(other, 0);
  bool closed = false;
  readBytes(other, 1, 1000ms, &closed);
  EXPECT_TRUE(closed);
  close(other);

  // a restart resets the connection; the port comes back afterwards
  m.restart();
  readBytes(fd, 1, 1000ms, &closed);
  EXPECT_TRUE(closed);
  close(fd);
  ASSERT_TRUE(m.waitFor([&] { return m.online(); }, 2000ms));
  int again = -1;
  for (int i = 0; i < 50 && again < 0; ++i) { // the listener reopens a moment after the module
    again = tcpConnect("127.0.0.2", t.port());
    if (again < 0)
      std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(again, 0);
  writeAll(again, {0xAD, 0x00});
  EXPECT_EQ(readBytes(again, 2, 1000ms), (Bytes{0x04, 0x00}));
  close(again);
}

TEST(SimTcp, ClaimedLinkClosesEveryConnection) {
  SimModule m(ModuleConfig{});
  Faults f;
  f.linkClaimed = true;
  m.setFaults(f);
  TcpTransport t(m, {"127.0.0.3", 0});
  ASSERT_TRUE(t.ok());
  int fd = tcpConnect("127.0.0.3", t.port());
  ASSERT_GE(fd, 0);
  bool closed = false;
  readBytes(fd, 1, 1000ms, &closed);
  EXPECT_TRUE(closed);
  close(fd);
}

TEST(SimTcp, RefusesAddressesOffTheMachine) {
  SimModule m(ModuleConfig{});
  TcpTransport t(m, {"10.1.2.3", 0});
  EXPECT_FALSE(t.ok());
  EXPECT_NE(t.error().find("loopback"), std::string::npos);
}
