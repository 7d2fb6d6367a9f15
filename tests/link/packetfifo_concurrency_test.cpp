// Packet FIFOs under many threads (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "quillwork/cPacketFifo.h"
#include "quillwork/cTime.h"

namespace {

// Waits that must be ended by something else than their time-out: if they are
// not, the test hangs and its time-out fails it.
constexpr uint32_t kForever = 600000;

cPacketPtr tagged(uint16_t tag) {
  uint8_t data[2] = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
  return cPacketPtr(cPacket_CreateWithData(2, 2, data));
}
uint16_t tagOf(const cPacket *p) { return static_cast<uint16_t>(p->data[0] << 8 | p->data[1]); }

TEST(PacketFifoConcurrency, ManyProducersAndConsumersGetEveryPacketOnce) {
  constexpr int kProducers = 4, kConsumers = 4, kPerProducer = 1500;
  cPacketFifoId fifo = cPacketFifo_Create();
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::atomic<int> received{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&] {
      while (received.load() < kProducers * kPerProducer) {
        cPacketPtr p(cPacketFifo_Await(fifo, 20));
        if (p) {
          seen[tagOf(p.get())]++;
          received++;
        }
      }
    });
  for (int t = 0; t < kProducers; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerProducer; ++i) {
        // Stay well below the overflow limit, which would drop everything.
        for (int wait = 0; wait < 5000 && cPacketFifo_GetLength(fifo) > 500; ++wait)
          cTime_MSSleep(1);
        cPacketPtr p = tagged(static_cast<uint16_t>(t * kPerProducer + i));
        EXPECT_EQ(cPacketFifo_Put(fifo, p.get()), cErrNone);
      }
    });
  for (auto &th : threads)
    th.join();
  for (size_t i = 0; i < seen.size(); ++i)
    ASSERT_EQ(seen[i].load(), 1) << "packet " << i;
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 0u);
  cPacketFifo_Destroy(&fifo);
}

TEST(PacketFifoConcurrency, DestroyWakesEveryWaiterWithNull) {
  cPacketFifoId fifo = cPacketFifo_Create();
  std::atomic<int> returned{0}, nonNull{0};
  std::vector<std::thread> waiters;
  auto never = [](const cPacket *, const void *) { return false; };
  for (int i = 0; i < 8; ++i)
    waiters.emplace_back([&, i] {
      cPacket *p = i % 2 ? cPacketFifo_Await(fifo, kForever) : cPacketFifo_AwaitFirst(fifo, never, nullptr, kForever);
      if (p != nullptr) {
        nonNull++;
        cPacket_Destroy(&p);
      }
      returned++;
    });
  cTime_MSSleep(50); // let them block (a late one finds no FIFO and returns at once)
  // Packets that nobody wants are queued while they wait.
  for (uint16_t t = 0; t < 10; ++t) {
    cPacketPtr p = tagged(t);
    cPacketFifo_Put(fifo, p.get());
  }
  cPacketFifoId id = fifo;
  // The Await waiters took some of them; the AwaitFirst waiters never match.
  ASSERT_EQ(cPacketFifo_Destroy(&id), cErrNone);
  for (auto &w : waiters)
    w.join();
  EXPECT_EQ(returned.load(), 8);
  EXPECT_LE(nonNull.load(), 4); // only plain Await can have got a packet
  EXPECT_EQ(cPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(cPacketFifo_Await(fifo, kForever), nullptr);
}

TEST(PacketFifoConcurrency, OperationsRacingDestroyNeverTouchFreedMemory) {
  // Run under the sanitizers: any use of a freed FIFO is reported there.
  for (int round = 0; round < 20; ++round) {
    cPacketFifoId fifo = cPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int i = 0; i < 4; ++i)
      users.emplace_back([&, i] {
        auto odd = [](const cPacket *p, const void *) { return p->data[1] % 2 == 1; };
        while (!stop) {
          cPacketPtr p = tagged(static_cast<uint16_t>(i));
          cPacketFifo_Put(fifo, p.get());
          cPacketPtr(cPacketFifo_Await(fifo, 1));
          cPacketPtr(cPacketFifo_AwaitFirst(fifo, odd, nullptr, 1));
          cPacketFifo_DrainPackets(fifo, odd, nullptr);
          cPacketFifo_GetLength(fifo);
        }
      });
    cTime_MSSleep(5);
    cPacketFifoId id = fifo;
    EXPECT_EQ(cPacketFifo_Destroy(&id), cErrNone);
    cTime_MSSleep(2);
    stop = true;
    for (auto &u : users)
      u.join();
  }
}

struct FilterLog {
  uint16_t want;
  std::map<uint16_t, int> calls; // written only by the waiter's filter, under the FIFO lock
};
bool logFilter(const cPacket *p, const void *reference) {
  FilterLog *log = const_cast<FilterLog *>(static_cast<const FilterLog *>(reference));
  log->calls[tagOf(p)]++;
  return tagOf(p) == log->want;
}

TEST(PacketFifoConcurrency, AwaitFirstCallsItsFilterAtMostOncePerPacket) {
  cPacketFifoId fifo = cPacketFifo_Create();
  constexpr uint16_t kNoise = 400;
  // Some packets are queued before the waiters start, the rest arrive while
  // they wait; two waiters want different packets that come last.
  for (uint16_t t = 0; t < 100; ++t) {
    cPacketPtr p = tagged(t);
    cPacketFifo_Put(fifo, p.get());
  }
  FilterLog a{1000, {}}, b{1001, {}};
  std::atomic<int> found{0};
  auto wait = [&](FilterLog *log) {
    cPacketPtr p(cPacketFifo_AwaitFirst(fifo, logFilter, log, kForever));
    if (p && tagOf(p.get()) == log->want)
      found++;
  };
  std::thread ta(wait, &a), tb(wait, &b);
  for (uint16_t t = 100; t < kNoise; ++t) {
    cPacketPtr p = tagged(t);
    cPacketFifo_Put(fifo, p.get());
    if (t % 50 == 0)
      cTime_MSSleep(1);
  }
  for (uint16_t t : {uint16_t(1000), uint16_t(1001)}) {
    cPacketPtr p = tagged(t);
    cPacketFifo_Put(fifo, p.get());
  }
  ta.join();
  tb.join();
  EXPECT_EQ(found.load(), 2);
  for (FilterLog *log : {&a, &b}) {
    for (uint16_t t = 0; t < kNoise; ++t)
      EXPECT_EQ(log->calls[t], 1) << "packet " << t << " waiting for " << log->want;
    EXPECT_EQ(log->calls[log->want], 1);
  }
  EXPECT_EQ(cPacketFifo_GetLength(fifo), kNoise);
  cPacketFifo_Destroy(&fifo);
}

} // namespace
