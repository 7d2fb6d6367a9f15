// The UDP discovery answer of simulated modules on TCP/IP. Runs inside a
// private network namespace (multicast never leaves it).
#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <cstdlib>

#include "modulesim/DiscoveryResponder.h"
#include "quillwork/cDiscovery.h"
#include "sockets.h"

using namespace modulesim;
using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

TEST(SimDiscovery, EveryOnlineModuleAnswersTheRequest) {
  ModuleConfig a, b;
  a.serial = 0x12345678;
  a.address = 4;
  a.model = 0x11;
  b.serial = 0x0A0B0C0D;
  b.address = 6;
  b.model = 0x05;
  SimModule ma(a), mb(b);
  TcpTransport ta(ma, {"127.0.0.2", 0}), tb(mb, {"127.0.0.3", 0});
  ASSERT_TRUE(ta.ok() && tb.ok());
  DiscoveryResponder responder;
  responder.add(ta);
  responder.add(tb);
  ASSERT_TRUE(responder.start()) << responder.error();

  // the host's listener and request, as the host sends them
  int listener = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in la{};
  la.sin_family = AF_INET;
  la.sin_port = htons(9889);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&la), sizeof la), 0);
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr lo{};
  inet_pton(AF_INET, "127.0.0.1", &lo);
  setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(9888);
  inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
  Bytes request(16, 0);
  request[0] = 0x01;
  ASSERT_EQ(sendto(sender, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&group), sizeof group), 16);

  std::map<std::string, Bytes> replies;
  for (int i = 0; i < 2; ++i) {
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    uint8_t buf[32];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(listener, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    replies[ip] = Bytes(buf, buf + n);
  }
  ASSERT_EQ(replies.count("127.0.0.2"), 1u);
  ASSERT_EQ(replies.count("127.0.0.3"), 1u);
  Bytes ra = replies["127.0.0.2"];
  ASSERT_EQ(ra.size(), 16u);
  EXPECT_EQ(ra[1], 0x04);
  EXPECT_EQ(ra[2] | ra[3] << 8, ta.port());
  EXPECT_EQ(Bytes(ra.begin() + 4, ra.begin() + 8), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(ra[12], 0x11);
  EXPECT_EQ(replies["127.0.0.3"][1], 0x06);
  EXPECT_EQ(DiscoveryResponder::replyFor(4, 1000, 0x12345678, 0x11),
            (Bytes{0x00, 0x04, 0xE8, 0x03, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x11, 0, 0, 0}));
  close(sender);
  close(listener);
}

TEST(SimDiscovery, TheLibraryFindsSimulatedModules) {
  // The host sends its request through the machine's non-loopback
  // interfaces: give this private namespace one.
  ASSERT_TRUE(inPrivateNetworkNamespace());
  ASSERT_EQ(std::system("ip link add simbr0 type bridge && ip addr add 10.98.0.1/24 brd + dev simbr0 && "
                        "ip link set simbr0 up"),
            0);
  ModuleConfig a, b;
  a.serial = 0x40F5849A;
  a.address = 4;
  b.serial = 0x00C0FFEE;
  b.address = 8;
  b.model = 3;
  SimModule ma(a), mb(b);
  TcpTransport ta(ma, {"127.0.0.5", 0}), tb(mb, {"127.0.0.6", 0});
  DiscoveryResponder responder;
  responder.add(ta);
  responder.add(tb);
  ASSERT_TRUE(responder.start()) << responder.error();

  std::vector<linkSpec> found;
  auto cb = [](const linkSpec *spec, bool *counted, void *ref) -> int {
    static_cast<std::vector<linkSpec> *>(ref)->push_back(*spec);
    *counted = true;
    return 1;
  };
  EXPECT_EQ(cDiscovery_EnumerateModules(2, cb, &found, cDISCOVERY_LOCALHOST), 2);
  ASSERT_EQ(found.size(), 2u);
  std::sort(found.begin(), found.end(),
            [](const linkSpec &x, const linkSpec &y) { return x.moduleAddress < y.moduleAddress; });
  EXPECT_EQ(found[0].serialNumber, 0x40F5849Au);
  EXPECT_EQ(found[0].moduleAddress, 4u);
  EXPECT_EQ(found[0].routerSerialNumber, 0x40F5849Au);
  EXPECT_EQ(found[0].model, 17u);
  EXPECT_EQ(found[0].ipAddress, ta.ipv4());
  EXPECT_EQ(found[0].port, ta.port());
  EXPECT_EQ(found[1].serialNumber, 0x00C0FFEEu);
  EXPECT_EQ(found[1].ipAddress, tb.ipv4());

  // a module that is restarting does not answer
  mb.powerOff();
  found.clear();
  EXPECT_EQ(cDiscovery_EnumerateModules(2, cb, &found, cDISCOVERY_LOCALHOST), 1);
}
