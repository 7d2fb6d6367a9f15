// Many clients of one link server at once, and a server stopped while they
// work. Runs in a private network namespace of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "netns.h"
#include "server_fixture.h"

using namespace Corvatek::Quillwork;

// libzmq and CZMQ are not built with ThreadSanitizer: it cannot see how they
// hand memory from one thread to the next (their own lock-free queues), and
// would report their internals. What this program's code does is checked.
extern "C" const char *__tsan_default_suppressions() {
  return "called_from_lib:libzmq.so\n"
         "called_from_lib:libczmq.so\n"
         "race:libzmq.so\n";
}

namespace {

const bool kIsolated = qwtest::IsolateNetwork();

class LinkServerConcurrency : public ::testing::Test {
protected:
  void SetUp() override {
    if (!kIsolated)
      GTEST_SKIP() << "no private network namespace";
    ASSERT_EQ(shared.connected, cErrNone);
  }
  qwtest::SharedModule shared;
};

} // namespace

TEST_F(LinkServerConcurrency, ClientsInThreadsEachGetTheirOwnAnswers) {
  constexpr int kClients = 4, kRequests = 40;
  std::atomic<int> wrong{0}, unconnected{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; c++)
    threads.emplace_back([&, c] {
      Module module(4, 0);
      if (module.connectFromSpec(shared.clientSpec()) != cErrNone) {
        unconnected++;
        return;
      }
      for (int i = 0; i < kRequests; i++) {
        uint8_t payload[4] = {'t', uint8_t(c), uint8_t(i), uint8_t(c ^ i)};
        if (module.debug(payload, sizeof payload) != cErrNone) // an answer of another client fails the check
          wrong++;
      }
    });
  // The owner talks to the module at the same time.
  for (int i = 0; i < kRequests; i++) {
    uint8_t address = 0;
    if (shared.owner->getModuleAddress(&address) != cErrNone || address != 4)
      wrong++;
  }
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(unconnected, 0);
  EXPECT_EQ(wrong, 0);
}

TEST_F(LinkServerConcurrency, ServerStoppedUnderLoadEndsCleanly) {
  constexpr int kClients = 3;
  std::atomic<bool> stopped{false};
  std::atomic<int> answered{0}, failedAfterStop{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; c++)
    threads.emplace_back([&, c] {
      Module module(4, 0);
      if (module.connectFromSpec(shared.clientSpec()) != cErrNone)
        return;
      // Until some time after the stop: then every request must fail, not hang.
      for (int i = 0; i < 2000; i++) {
        bool after = stopped;
        uint8_t payload[2] = {uint8_t(c), uint8_t(i)};
        cErr err = module.debug(payload, sizeof payload);
        if (err == cErrNone)
          answered++;
        else if (after && ++failedAfterStop >= 2 * kClients)
          break;
      }
    });
  for (int waited = 0; answered < 30 && waited < 10000; waited += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(answered, 30);
  shared.owner.reset(); // the server goes, clients attached and busy
  stopped = true;
  for (auto &t : threads)
    t.join();
  EXPECT_GE(failedAfterStop, 2 * kClients);
}

TEST(LinkServerModuleRestart, ClientsGoOnAfterTheModuleRestartsAndAStopDuringReconnectionEnds) {
  if (!kIsolated)
    GTEST_SKIP() << "no private network namespace";
  modulesim::ModuleConfig config;
  config.restartDownMs = 2500; // long enough to stop the server while it reconnects
  qwtest::SharedModule shared(config);
  ASSERT_EQ(shared.connected, cErrNone);
  constexpr int kClients = 3;
  std::atomic<bool> stop{false}, restarted{false};
  std::atomic<int> afterRestart{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; c++)
    threads.emplace_back([&, c] {
      Module module(4, 0);
      if (module.connectFromSpec(shared.clientSpec()) != cErrNone)
        return;
      for (int i = 0; i < 20000 && !stop; i++) {
        uint8_t payload[2] = {uint8_t(c), uint8_t(i)};
        bool before = !restarted;
        if (module.debug(payload, sizeof payload) == cErrNone && !before && shared.sim.module->restarts() > 0)
          afterRestart++;
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  restarted = true;
  shared.sim.module->restart();
  for (int waited = 0; afterRestart < kClients && waited < 20000; waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(afterRestart, kClients);
  // Down again; the server notices after a second and starts to reconnect:
  // stopping it then ends (the reconnection gives way).
  shared.sim.module->restart();
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  shared.owner.reset();
  stop = true;
  for (auto &t : threads)
    t.join();
}
