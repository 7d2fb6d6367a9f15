// Packet FIFO costs: put/get on one thread, put on one thread and await on
// another (rate and wake-up latency), and AwaitFirst behind a long queue of
// packets that do not match.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "quillwork/cPacketFifo.h"

namespace {

cPacketPtr makePacket(uint8_t tag) {
  uint8_t data[8] = {tag};
  return cPacketPtr(cPacket_CreateWithData(2, sizeof data, data));
}

void BM_PutGetOneThread(benchmark::State &state) {
  cPacketFifoId fifo = cPacketFifo_Create();
  cPacketPtr p = makePacket(1);
  for (auto _ : state) {
    cPacketFifo_Put(fifo, p.get());
    cPacket *got = cPacketFifo_Get(fifo);
    benchmark::DoNotOptimize(got);
    cPacket_Destroy(&got);
  }
  state.SetItemsProcessed(state.iterations());
  cPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_PutGetOneThread);

// Stream of packets from a producer thread to an awaiting consumer.
void BM_PutAwaitAcrossThreads(benchmark::State &state) {
  const int kBatch = 500;
  for (auto _ : state) {
    cPacketFifoId fifo = cPacketFifo_Create();
    std::thread consumer([&] {
      for (int got = 0; got < kBatch;) {
        cPacket *p = cPacketFifo_Await(fifo, 1000);
        if (p == nullptr)
          break;
        cPacket_Destroy(&p);
        ++got;
      }
    });
    cPacketPtr p = makePacket(1);
    for (int i = 0; i < kBatch; ++i)
      cPacketFifo_Put(fifo, p.get());
    consumer.join();
    cPacketFifo_Destroy(&fifo);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PutAwaitAcrossThreads)->UseRealTime();

// Wake-up latency: ping-pong through two FIFOs; half a round trip is one
// put-to-await hand-over.
void BM_AwaitWakeupLatency(benchmark::State &state) {
  cPacketFifoId ping = cPacketFifo_Create(), pong = cPacketFifo_Create();
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    while (!stop) {
      cPacket *p = cPacketFifo_Await(ping, 100);
      if (p != nullptr) {
        cPacketFifo_Put(pong, p);
        cPacket_Destroy(&p);
      }
    }
  });
  cPacketPtr p = makePacket(1);
  std::vector<double> halves;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    cPacketFifo_Put(ping, p.get());
    cPacket *back = cPacketFifo_Await(pong, 1000);
    auto t1 = std::chrono::steady_clock::now();
    cPacket_Destroy(&back);
    halves.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / 2);
  }
  stop = true;
  echo.join();
  std::sort(halves.begin(), halves.end());
  state.counters["median_wakeup_us"] = halves.empty() ? 0 : halves[halves.size() / 2];
  state.counters["p99_wakeup_us"] = halves.empty() ? 0 : halves[halves.size() * 99 / 100];
  cPacketFifo_Destroy(&ping);
  cPacketFifo_Destroy(&pong);
}
BENCHMARK(BM_AwaitWakeupLatency)->UseRealTime();

std::atomic<long> gFilterCalls{0};
bool wantsTag9(const cPacket *p, const void *) {
  gFilterCalls.fetch_add(1, std::memory_order_relaxed);
  return p->data[0] == 9;
}

// AwaitFirst with range(0) non-matching packets queued while 90 more arrive
// one by one, then the match. filter_calls_per_packet stays at 1 however long
// the queue: each wake-up looks only at what is new.
void BM_AwaitFirstBehindLongQueue(benchmark::State &state) {
  const int queued = static_cast<int>(state.range(0));
  const int arriving = 90;
  long calls = 0;
  for (auto _ : state) {
    state.PauseTiming();
    cPacketFifoId fifo = cPacketFifo_Create();
    cPacketPtr noise = makePacket(1), match = makePacket(9);
    for (int i = 0; i < queued; ++i)
      cPacketFifo_Put(fifo, noise.get());
    gFilterCalls = 0;
    state.ResumeTiming();
    std::thread producer([&] {
      for (int i = 0; i < arriving; ++i) {
        cPacketFifo_Put(fifo, noise.get());
        std::this_thread::yield();
      }
      cPacketFifo_Put(fifo, match.get());
    });
    cPacket *found = cPacketFifo_AwaitFirst(fifo, wantsTag9, nullptr, 5000);
    producer.join();
    benchmark::DoNotOptimize(found);
    cPacket_Destroy(&found);
    calls += gFilterCalls.load();
    state.PauseTiming();
    cPacketFifo_Destroy(&fifo);
    state.ResumeTiming();
  }
  state.counters["filter_calls_per_packet"] =
      static_cast<double>(calls) / (static_cast<double>(state.iterations()) * (queued + arriving + 1));
}
BENCHMARK(BM_AwaitFirstBehindLongQueue)->Arg(100)->Arg(500)->Arg(900)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
