// Value streams under concurrent use (run under ThreadSanitizer): samples
// flowing while registrations come and go, and a Link destroyed while its
// callbacks run, also from inside one of them.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "stream_support.h"

using namespace streamtest;

namespace {

// A module sending 32-bit samples of command 60, options 1-4, every
// millisecond while enabled.
modulesim::ModuleConfig busyModule() {
  modulesim::ModuleConfig c = streamingModule();
  for (uint8_t option = 1; option <= 4; ++option) {
    modulesim::StreamValue v;
    v.command = 60;
    v.option = option;
    v.type = 3;
    v.rateMs = 1;
    v.step = 1;
    c.streamValues.push_back(v);
  }
  return c;
}

std::unique_ptr<Link> connected(const SimOnTcp &sim) {
  auto link = std::make_unique<Link>(sim.spec(), "stream");
  if (link->setConfig(networkingOff()) != cErrNone || link->connect() != cErrNone)
    return nullptr;
  return link;
}

TEST(LinkStreamConcurrency, RegistrationsComeAndGoWhileSamplesFlow) {
  SimOnTcp sim(busyModule());
  ASSERT_TRUE(sim.tcp.ok());
  auto link = connected(sim);
  ASSERT_NE(link, nullptr);
  std::atomic<int> calls{0};
  auto count = [&calls](const cPacket *p, void *) -> uint8_t {
    calls += Link::isStreamSample(p) ? 1 : 0;
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(6, 60, 1, 0, true, count, nullptr), cErrNone);
  ASSERT_TRUE(eventually([&] { return calls.load() > 10; }));

  // Two threads churn their own registrations while a third reads the cache.
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto churn = [&](uint8_t option) {
    for (int i = 0; i < 15 && !stop; ++i) {
      if (link->registerStreamCallback(6, 60, option, 0, true, count, nullptr) != cErrNone)
        ++failures;
      if (link->registerStreamCallback(6, 60, option, 0, false, nullptr, nullptr) != cErrNone)
        ++failures;
    }
  };
  std::thread a(churn, 2), b(churn, 3);
  std::thread reader([&] {
    uint32_t v = 0;
    Link::StreamStatusEntry entries[8];
    uint32_t n = 0;
    while (!stop) {
      link->getStreamValue(6, 60, 1, 0, 0, &v);
      link->getStreamStatus(6, 60, 255, 0, 255, entries, 8, &n);
      std::this_thread::sleep_for(1ms);
    }
  });
  a.join();
  b.join();
  stop = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  int before = calls.load();
  EXPECT_TRUE(eventually([&] { return calls.load() > before + 10; })); // option 1 still flows
}

TEST(LinkStreamConcurrency, LinkDestroyedWhileItsCallbacksRun) {
  SimOnTcp sim(busyModule());
  ASSERT_TRUE(sim.tcp.ok());
  for (int round = 0; round < 3; ++round) {
    auto link = connected(sim);
    ASSERT_NE(link, nullptr);
    std::atomic<int> calls{0};
    ASSERT_EQ(link->registerStreamCallback(
                  6, 60, 255, 0, true,
                  [&calls](const cPacket *, void *) -> uint8_t {
                    ++calls;
                    std::this_thread::sleep_for(2ms); // slower than the samples: the queue fills
                    return 0;
                  },
                  nullptr),
              cErrNone);
    ASSERT_TRUE(eventually([&] { return calls.load() > 5; }));
    link.reset(); // filter off, worker joined, queued copies released
    int after = calls.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.load(), after);
  }
}

TEST(LinkStreamConcurrency, CallbacksThatStopStreamingOrDestroyTheirLink) {
  SimOnTcp sim(busyModule());
  ASSERT_TRUE(sim.tcp.ok());
  {
    // A callback ends the last registration: its own worker cannot be
    // joined from inside it, and is joined later.
    auto link = connected(sim);
    ASSERT_NE(link, nullptr);
    std::atomic<int> calls{0};
    Link *l = link.get();
    ASSERT_EQ(l->registerStreamCallback(
                  6, 60, 1, 0, true,
                  [&calls, l](const cPacket *, void *) -> uint8_t {
                    if (calls++ == 0)
                      l->registerStreamCallback(6, 60, 1, 0, false, nullptr, nullptr);
                    return 0;
                  },
                  nullptr),
              cErrNone);
    ASSERT_TRUE(eventually([&] { return calls.load() >= 1; }));
    // Streaming starts again on the same Link.
    std::atomic<int> again{0};
    ASSERT_EQ(l->registerStreamCallback(
                  6, 60, 2, 0, true,
                  [&again](const cPacket *, void *) -> uint8_t {
                    ++again;
                    return 0;
                  },
                  nullptr),
              cErrNone);
    EXPECT_TRUE(eventually([&] { return again.load() > 3; }));
  }
  {
    // A callback destroys its own Link.
    std::atomic<Link *> owned{connected(sim).release()};
    ASSERT_NE(owned.load(), nullptr);
    std::atomic<bool> destroyed{false};
    ASSERT_EQ(owned.load()->registerStreamCallback(
                  6, 60, 3, 0, true,
                  [&owned, &destroyed](const cPacket *, void *) -> uint8_t {
                    if (Link *l = owned.exchange(nullptr)) {
                      delete l;
                      destroyed = true;
                    }
                    return 0;
                  },
                  nullptr),
              cErrNone);
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
    delete owned.exchange(nullptr); // when the callback never ran
  }
}

} // namespace
