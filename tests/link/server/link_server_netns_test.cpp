// Finding a link server: by multicast on this machine, by beacon on a
// network. Runs in a private network namespace; the beacon tests give it a
// bridge interface of its own (beacons skip loopback).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "netns.h"
#include "quillwork/cDiscovery.h"
#include "server_fixture.h"

using namespace Corvatek::Quillwork;

namespace {

// CTest starts this program in a namespace of its own; started by hand it
// makes one.
const bool kIsolated = qwtest::IsolateNetwork();
const uint32_t kBridge = htonl(0x0A620001); // 10.98.0.1

bool sBridgeUp() {
  static const bool up =
      kIsolated && system("ip link add qwbr0 type bridge 2>/dev/null; ip addr add 10.98.0.1/24 brd + dev qwbr0 "
                          "2>/dev/null; ip link set qwbr0 up") == 0;
  return up;
}

int sCollect(const linkSpec *spec, bool *counted, void *reference) {
  static_cast<std::vector<linkSpec> *>(reference)->push_back(*spec);
  *counted = true;
  return 1;
}

std::vector<linkSpec> sFind(uint32_t interfaceAddress) {
  std::vector<linkSpec> found;
  cDiscovery_Enumerate_cEtherModules(sCollect, &found, interfaceAddress);
  return found;
}

// A module shared with the given configuration.
struct Served {
  qwtest::SimulatedModules sims;
  qwtest::SimTcpModule sim = sims.tcp();
  Link owner{sim.spec, "owner"};
  cEtherConfig config;
  cErr connected;
  Served(bool localOnly, uint32_t interfaceAddress) {
    config.localOnly = localOnly;
    config.networkInterface = interfaceAddress;
    owner.setConfig(config);
    connected = owner.connect();
    owner.getConfig(&config);
  }
};

void sExpectReply(const linkSpec &spec, uint32_t ipAddress, uint16_t port) {
  EXPECT_EQ(spec.type, linkTypeCEtherTCPIP);
  EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(spec.moduleAddress, 4u);
  EXPECT_EQ(spec.routerAddress, 0u);
  EXPECT_EQ(spec.routerSerialNumber, 0u);
  EXPECT_EQ(spec.model, 17u);
  EXPECT_EQ(spec.ipAddress, ipAddress);
  EXPECT_EQ(spec.port, port);
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&spec);
  for (size_t i = 32; i < sizeof spec; i++)
    ASSERT_EQ(bytes[i], 0) << "offset " << i;
}

} // namespace

TEST(ServerDiscovery, MulticastFindsALoopbackServerAndAClientConnectsThroughIt) {
  ASSERT_TRUE(kIsolated);
  Served served(true, 0);
  ASSERT_EQ(served.connected, cErrNone);
  auto found = sFind(0);
  ASSERT_EQ(found.size(), 1u);
  sExpectReply(found[0], htonl(INADDR_LOOPBACK), served.config.port);

  // Another user finds it by serial number and becomes its client.
  Link client("client");
  ASSERT_EQ(client.discoverAndConnect(linkTypeCEther, 0x40F5849A, 0), cErrNone);
  uint8_t address = 0;
  EXPECT_EQ(client.getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
}

TEST(ServerDiscovery, ASearchWaitsForAnotherToFreeTheReplyPort) {
  ASSERT_TRUE(kIsolated);
  Served served(true, 0);
  ASSERT_EQ(served.connected, cErrNone);
  // Another program's search holds the reply port while it waits for its
  // answer; this search still finds the server once the port is free.
  cMulticast *held = cMulticast_Create(cDISCOVERY_LOCALHOST, htonl(cDISCOVERY_SERVER_GROUP),
                                       cDISCOVERY_SERVER_REPLY_PORT, cMULTICAST_RECEIVER);
  ASSERT_NE(held, nullptr);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cMulticast_Destroy(&held);
  });
  auto found = sFind(0);
  release.join();
  EXPECT_EQ(found.size(), 1u);
}

TEST(ServerDiscovery, BeaconFindsANetworkServer) {
  ASSERT_TRUE(sBridgeUp());
  Served served(false, kBridge);
  ASSERT_EQ(served.connected, cErrNone);
  EXPECT_EQ(served.config.networkInterface, kBridge);
  auto found = sFind(kBridge);
  ASSERT_EQ(found.size(), 1u);
  sExpectReply(found[0], kBridge, served.config.port);

  // The address in the reply is where clients reach it.
  linkSpec spec = found[0];
  Link client(spec, "client");
  ASSERT_EQ(client.connect(), cErrNone);
  uint8_t address = 0;
  EXPECT_EQ(client.getModuleAddress(&address), cErrNone);
  EXPECT_EQ(address, 4);
}

TEST(ServerDiscovery, LoopbackOnlyServerIgnoresBeacons) {
  ASSERT_TRUE(sBridgeUp());
  Served served(true, kBridge);
  ASSERT_EQ(served.connected, cErrNone);
  EXPECT_TRUE(sFind(kBridge).empty());
  EXPECT_EQ(sFind(0).size(), 1u); // on this machine it is found
}
