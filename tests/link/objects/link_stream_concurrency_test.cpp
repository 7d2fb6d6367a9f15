// Value streams under concurrent use (run under ThreadSanitizer): samples
// flowing every millisecond while registrations come and go, and a Link
// destroyed while its callbacks run, also from inside one of them.
#include <gtest/gtest.h>

#include <atomic>

#include "stream_support.h"

using namespace streamtest;

namespace {

Link::StreamCallback counter(std::atomic<int> &calls) {
  return [&calls](const cPacket *, void *) -> uint8_t {
    ++calls;
    return 0;
  };
}

TEST(LinkStreamConcurrency, RegistrationsComeAndGoWhileSamplesFlow) {
  SimOnTcp sim(4);
  ASSERT_TRUE(sim.tcp.ok());
  auto link = sim.connect();
  ASSERT_NE(link, nullptr);
  std::atomic<int> calls{0}, failures{0};
  ASSERT_EQ(link->registerStreamCallback(6, 60, 1, 0, true, counter(calls), nullptr), cErrNone);
  // Two threads churn their own registrations (one of them also from inside
  // a callback) while a third reads the cache and the status.
  std::atomic<bool> stop{false};
  auto churn = [&](uint8_t option) {
    for (int i = 0; i < 15; ++i) {
      Link *l = link.get();
      auto toggler = [l, option](const cPacket *, void *) -> uint8_t {
        l->enableStream(6, 60, static_cast<uint8_t>(option + 1), 0, true);
        l->enableStream(6, 60, static_cast<uint8_t>(option + 1), 0, false);
        return 0;
      };
      failures += link->registerStreamCallback(6, 60, option, 0, true, toggler, nullptr) != cErrNone;
      failures += link->registerStreamCallback(6, 60, option, 0, false, nullptr, nullptr) != cErrNone;
    }
  };
  std::thread a(churn, 2), b(churn, 4);
  std::thread reader([&] {
    uint32_t v = 0, n = 0;
    Link::StreamStatusEntry entries[8];
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
  SimOnTcp sim(4);
  ASSERT_TRUE(sim.tcp.ok());
  for (int round = 0; round < 3; ++round) {
    auto link = sim.connect();
    ASSERT_NE(link, nullptr);
    std::atomic<int> calls{0};
    auto slow = [&calls](const cPacket *, void *) -> uint8_t {
      ++calls;
      std::this_thread::sleep_for(2ms); // slower than the samples: the queue fills
      return 0;
    };
    ASSERT_EQ(link->registerStreamCallback(6, 60, 255, 0, true, slow, nullptr), cErrNone);
    ASSERT_TRUE(eventually([&] { return calls.load() > 5; }));
    link.reset(); // filter off, worker joined, queued copies released
    int after = calls.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.load(), after);
  }
  // A callback destroys its own Link.
  std::atomic<Link *> owned{sim.connect().release()};
  ASSERT_NE(owned.load(), nullptr);
  std::atomic<bool> destroyed{false};
  auto destroyer = [&](const cPacket *, void *) -> uint8_t {
    if (Link *l = owned.exchange(nullptr)) {
      delete l;
      destroyed = true;
    }
    return 0;
  };
  EXPECT_EQ(owned.load()->registerStreamCallback(6, 60, 3, 0, true, destroyer, nullptr), cErrNone);
  EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
  delete owned.exchange(nullptr); // when the callback never ran
}

} // namespace
