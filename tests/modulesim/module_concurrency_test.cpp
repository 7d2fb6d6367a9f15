// Simulated modules under concurrent use: hosts talking to a router and its
// bus members while heartbeats, stream samples, restarts and observers run on
// other threads. Every answer must still be the right one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "modulesim/TcpTransport.h"
#include "sockets.h"

using namespace modulesim;
using namespace simtest;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

TEST(SimConcurrency, EchoesStayInOrderWhileEverythingElseRuns) {
  ModuleConfig rc;
  rc.address = 2;
  rc.heartbeatMs = 5;
  rc.streamIntervalMs = 10;
  SimModule router(rc);
  std::vector<std::unique_ptr<SimModule>> members;
  for (uint8_t a = 4; a <= 8; a += 2) {
    ModuleConfig mc;
    mc.address = a;
    mc.heartbeatMs = 7;
    members.push_back(std::make_unique<SimModule>(mc));
    router.attachToBus(*members.back());
  }
  TcpTransport t(router, {"127.0.0.7", 0});
  ASSERT_TRUE(t.ok());
  int fd = tcpConnect("127.0.0.7", t.port());
  ASSERT_GE(fd, 0);
  // routeToMe on; stream everything of the router's system entity
  writeAll(fd, {0x02, 0x04, 0x03, 0x94, 0x20, 0x01, 0x02, 0x07, 0x5D, 0x81, 0x20, 0x02, 0x03, 0xFF, 0x00});

  std::atomic<bool> stop{false};
  // An observer and a knob-turner on other threads.
  std::thread observer([&] {
    while (!stop) {
      (void)router.received().size();
      (void)router.heartbeatsUnanswered();
      for (auto &m : members)
        (void)m->online();
      router.setInputVoltage(uint32_t(std::rand()));
      std::this_thread::sleep_for(1ms);
    }
  });
  // A stand-alone module restarting over and over while a host pokes it.
  ModuleConfig lc;
  lc.restartDownMs = 3;
  SimModule lone(lc);
  std::atomic<unsigned> loneAnswers{0};
  lone.setSink([&](const Packet &) { ++loneAnswers; });
  std::thread restarter([&] {
    for (int i = 0; i < 20 && !stop; ++i) {
      lone.restart();
      for (int k = 0; k < 10; ++k)
        lone.receive(Packet{0x04, {0x17, uint8_t(k)}});
      std::this_thread::sleep_for(2ms);
    }
  });

  // The host reads everything and keeps the echoes (command 23) of each address.
  std::map<uint8_t, Bytes> echoes;
  std::thread reader([&] {
    PacketAssembler a;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    size_t want = 3 * 50;
    size_t got = 0;
    while (got < want && std::chrono::steady_clock::now() < deadline) {
      Bytes b = readBytes(fd, 1, 100ms);
      for (uint8_t x : b)
        if (auto p = a.add(x))
          if (p->data.size() == 2 && p->data[0] == 0x17) {
            echoes[p->address].push_back(p->data[1]);
            ++got;
          }
    }
  });
  for (int i = 0; i < 50; ++i) {
    Bytes burst;
    for (uint8_t addr = 4; addr <= 8; addr += 2)
      burst.insert(burst.end(), {addr, 0x02, 0x17, uint8_t(i)});
    writeAll(fd, burst);
    // answer a heartbeat now and then, as a host would
    writeAll(fd, {0x02, 0x02, 0x00, 0x02});
  }
  reader.join();
  // The exchange can end before the router's first heartbeat (a fast build):
  // wait for one, bounded, before the threads stop.
  EXPECT_TRUE(router.waitFor([&] { return router.heartbeatsSent() > 0; }, 2000ms));
  stop = true;
  observer.join();
  restarter.join();
  close(fd);

  for (uint8_t addr = 4; addr <= 8; addr += 2) {
    Bytes expected;
    for (int i = 0; i < 50; ++i)
      expected.push_back(uint8_t(i));
    EXPECT_EQ(echoes[addr], expected) << "module " << int(addr);
  }
  EXPECT_GT(router.heartbeatsSent(), 0u);
  EXPECT_GT(loneAnswers.load(), 0u);
}
