// Smoke tests through the library's link engine: links to simulated modules
// on TCP/IP and serial synchronise, route, carry a request and its answer,
// and answer the module's heartbeats.
#include <gtest/gtest.h>

#include "modulesim/SerialTransport.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/cLink.h"
#include "quillwork/cPacket.h"

using namespace modulesim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {
// Sends the model query and returns the answer's data (empty on time-out).
Bytes askModel(uint32_t link, uint8_t address) {
  const uint8_t query[3] = {0x03, 0x48, 0x20};
  cPacket *q = cPacket_CreateWithData(address, 3, query);
  cLink_PutPacket(link, q);
  cPacket_Destroy(&q);
  auto isModel = [](const cPacket *p, const void *) { return p->length == 4 && p->data[0] == 0x03; };
  cPacket *a = cLink_AwaitFirst(link, isModel, nullptr, 2000);
  if (!a)
    return {};
  Bytes r(a->data, a->data + a->length);
  cPacket_Destroy(&a);
  return r;
}

void exercise(SimModule &m, uint32_t link) {
  ASSERT_NE(link, 0u);
  EXPECT_EQ(cLink_GetStatus(link), 2u);
  EXPECT_EQ(askModel(link, 0x04), (Bytes{0x03, 0x08, 0x00, 0x11}));
  ASSERT_TRUE(m.waitFor([&] { return !m.routeRequests().empty(); }, 1000ms));
  EXPECT_EQ(m.routeRequests().front(), 0x01); // route on when the link started
  // the engine answers heartbeats by itself
  m.setHeartbeatMs(20);
  EXPECT_TRUE(m.waitFor([&] { return m.heartbeatsSent() >= 4; }, 2000ms));
  EXPECT_EQ(m.heartbeatsUnanswered(), 0u);
  m.setHeartbeatMs(0);
}
} // namespace

TEST(SimLinkSmoke, TcpLinkToASimulatedModule) {
  SimModule m(ModuleConfig{});
  TcpTransport t(m, {"127.0.0.8", 0});
  ASSERT_TRUE(t.ok());
  uint32_t link = cLink_CreateTCPIP(m.config().serial, t.ipv4(), t.port());
  exercise(m, link);
  EXPECT_EQ(cLink_Sync(link), cErrNone);
  EXPECT_GE(m.syncRequests(), 6u);
  cLink_Destroy(&link);
  // route off reaches the module when the link stops
  EXPECT_TRUE(m.waitFor([&] { return m.routeRequests().size() == 2; }, 1000ms));
}

TEST(SimLinkSmoke, SerialLinkToASimulatedModule) {
  SimModule m(ModuleConfig{});
  SerialTransport s(m);
  ASSERT_TRUE(s.ok());
  uint32_t link = cLink_CreateSerial(m.config().serial, s.path().c_str(), 115200);
  exercise(m, link);
  EXPECT_EQ(s.badFrames(), 0u);
  cLink_Destroy(&link);
}
