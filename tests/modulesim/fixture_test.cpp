// The test fixture's modules are reachable through the specifiers it hands
// out, and a router's member answers through the router's link.
#include <gtest/gtest.h>

#include "modulesim_fixture.h"
#include "sockets.h"

using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

TEST(SimFixture, TcpSpecReachesTheModuleAndItsNetwork) {
  qwtest::SimulatedModules sims;
  modulesim::ModuleConfig rc;
  rc.address = 2;
  auto router = sims.tcp(rc);
  ASSERT_NE(router.module, nullptr) << sims.error();
  modulesim::ModuleConfig mc;
  mc.serial = 0x11223344;
  mc.address = 6;
  auto &member = sims.member(*router.module, mc);
  EXPECT_EQ(member.config().routerAddress, 2);
  EXPECT_EQ(router.spec.type, linkTypeTCPIP);
  EXPECT_EQ(router.spec.serialNumber, 0x40F5849Au);

  char ip[INET_ADDRSTRLEN];
  in_addr a{router.spec.ipAddress};
  inet_ntop(AF_INET, &a, ip, sizeof ip);
  int fd = tcpConnect(ip, uint16_t(router.spec.port));
  ASSERT_GE(fd, 0);
  // routeToMe on (system option 20), then ask the member for its serial number
  writeAll(fd, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01, 0x06, 0x03, 0x03, 0x49, 0x20});
  EXPECT_EQ(readBytes(fd, 14, 1000ms),
            (Bytes{0x02, 0x03, 0x03, 0xD4, 0x00, 0x06, 0x07, 0x03, 0x09, 0x00, 0x11, 0x22, 0x33, 0x44}));
  close(fd);

  auto s = sims.serial();
  ASSERT_NE(s.module, nullptr);
  EXPECT_EQ(s.spec.type, linkTypeSerial);
  EXPECT_EQ(std::string(s.spec.portName), s.transport->path());
}
