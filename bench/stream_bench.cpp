// Value streams. In one run:
// - the Link's SPSC queue next to boost::lockfree::spsc_queue of the same
//   capacity: push+pop on one thread, and a producer/consumer transfer on two
//   ("ratio" counters; goal: at most 1.5); also push+wake+pop, the cost the
//   stream filter pays per packet when it wakes the worker ("wake_ns");
// - samples per second from a simulated module (TCP loopback) through the
//   stream filter, the cache and a callback, with the module sending as fast
//   as it can ("delivered_per_s"; "sent_per_s" is what the module got into
//   its socket meanwhile);
// - the latency from the module's send to the callback (median and 99th
//   percentile) next to a UEI get round trip on the same link
//   ("latency_over_roundtrip"; goal: at most 1);
// - the CPU of the whole process while a streaming link sits idle
//   ("cpu_percent"; goal: under 1).
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/Entity.h"
#include "quillwork/Link.h"
#include "quillwork/LocklessQueue_SPSC.h"
#include "quillwork/Module.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Corvatek::Quillwork;

constexpr size_t kSlots = 500;

// The size of a queued callback record: a callable, a context and a packet.
struct Item {
  void *a = nullptr, *b = nullptr;
  uint64_t n = 0;
  void *c = nullptr;
};

using OurQueue = Corvatek::LocklessQueue_SPSC<Item, kSlots>;
using BoostQueue = boost::lockfree::spsc_queue<Item, boost::lockfree::capacity<kSlots>>;

bool pushItem(OurQueue &q, Item &&i) { return q.push(std::move(i)); }
bool pushItem(BoostQueue &q, Item &&i) { return q.push(i); }
bool popItem(OurQueue &q, Item &i) { return q.pop(i); }
bool popItem(BoostQueue &q, Item &i) { return q.pop(i); }

template <typename Q, bool wake = false> double pushPopNs(int rounds) {
  auto q = std::make_unique<Q>();
  Item item;
  uint64_t sum = 0;
  auto t0 = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    item.n = static_cast<uint64_t>(r);
    pushItem(*q, Item(item));
    if constexpr (wake)
      q->wake();
    popItem(*q, item);
    sum += item.n;
  }
  benchmark::DoNotOptimize(sum);
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / rounds;
}

// Producer and consumer on two threads; ns per item moved.
template <typename Q> double transferNs(uint64_t count) {
  auto q = std::make_unique<Q>();
  uint64_t sum = 0;
  auto t0 = Clock::now();
  std::thread consumer([&] {
    Item item;
    for (uint64_t got = 0; got < count;) {
      if (popItem(*q, item)) {
        sum += item.n;
        ++got;
      } else {
        std::this_thread::yield(); // two cores, shared: let the producer run
      }
    }
  });
  for (uint64_t i = 0; i < count;) {
    Item item;
    item.n = i;
    if (pushItem(*q, std::move(item)))
      ++i;
    else
      std::this_thread::yield();
  }
  consumer.join();
  benchmark::DoNotOptimize(sum);
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / static_cast<double>(count);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_QueuePushPop(benchmark::State &state) {
  std::vector<double> ours, boost, wake;
  for (auto _ : state) {
    ours.push_back(pushPopNs<OurQueue>(200000));
    boost.push_back(pushPopNs<BoostQueue>(200000));
    wake.push_back(pushPopNs<OurQueue, true>(200000));
  }
  state.counters["wake_ns"] = median(wake);
  state.counters["ours_ns"] = median(ours);
  state.counters["boost_ns"] = median(boost);
  state.counters["ratio"] = median(ours) / median(boost);
}
BENCHMARK(BM_QueuePushPop)->Iterations(15)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_QueueTransfer(benchmark::State &state) {
  std::vector<double> ours, boost;
  for (auto _ : state) {
    ours.push_back(transferNs<OurQueue>(200000));
    boost.push_back(transferNs<BoostQueue>(200000));
  }
  state.counters["ours_ns"] = median(ours);
  state.counters["boost_ns"] = median(boost);
  state.counters["ratio"] = median(ours) / median(boost);
}
BENCHMARK(BM_QueueTransfer)->Iterations(7)->UseRealTime()->Unit(benchmark::kMillisecond);

// A simulated module on loopback and a Link connected to it.
struct Rig {
  Rig() : sim(config()), tcp(sim, {}), module(6, 0) {
    cEtherConfig off;
    off.enabled = 0;
    off.fallback = 0;
    module.setConfig(off);
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.serialNumber = sim.config().serial;
    spec.ipAddress = tcp.ipv4();
    spec.port = tcp.port();
    ok = tcp.ok() && module.connectFromSpec(spec) == cErrNone;
    system.init(&module, 0);
  }
  static modulesim::ModuleConfig config() {
    modulesim::ModuleConfig c;
    c.address = 6;
    c.streamIntervalMs = 600000; // system values: one sample per enable
    modulesim::StreamValue v;
    v.command = 60;
    v.option = 1;
    v.type = 3;
    c.streamValues.push_back(v);
    return c;
  }
  Link &link() { return *module.getLink(); }
  modulesim::SimModule sim;
  modulesim::TcpTransport tcp;
  Module module;
  SystemClass system;
  bool ok = false;
};

void BM_StreamSaturation(benchmark::State &state) {
  Rig rig;
  if (!rig.ok) {
    state.SkipWithError("no simulated module");
    return;
  }
  std::atomic<uint64_t> delivered{0};
  rig.link().registerStreamCallback(
      6, 61, 1, 0, true,
      [&delivered](const cPacket *p, void *) -> uint8_t {
        delivered += Link::isStreamSample(p) ? 1 : 0;
        return 0;
      },
      nullptr);
  double sentPerSecond = 0, deliveredPerSecond = 0;
  for (auto _ : state) {
    uint64_t before = delivered.load();
    uint64_t sent = 0;
    auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::seconds(1)) {
      for (int i = 0; i < 64; ++i)
        rig.sim.sendStreamSample(61, 1, 0, 3, static_cast<uint32_t>(sent++));
    }
    // The module's sends block once the socket buffers are full: the
    // delivered rate over the window is what the link carries.
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    sentPerSecond = static_cast<double>(sent) / seconds;
    deliveredPerSecond = static_cast<double>(delivered.load() - before) / seconds;
  }
  state.counters["sent_per_s"] = sentPerSecond;
  state.counters["delivered_per_s"] = deliveredPerSecond;
}
BENCHMARK(BM_StreamSaturation)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// One sample at a time: the module sends value i, the callback notes when
// it saw it; interleaved with UEI get round trips on the same link.
void BM_StreamLatency(benchmark::State &state) {
  Rig rig;
  if (!rig.ok) {
    state.SkipWithError("no simulated module");
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  uint32_t seen = 0;
  Clock::time_point seenAt;
  rig.link().registerStreamCallback(
      6, 62, 1, 0, true,
      [&](const cPacket *p, void *) -> uint8_t {
        auto now = Clock::now();
        uint32_t v = 0;
        Link::getStreamSample(p, nullptr, &v, nullptr);
        std::lock_guard<std::mutex> g(m);
        seen = v;
        seenAt = now;
        cv.notify_one();
        return 0;
      },
      nullptr);
  std::vector<double> latency, roundTrip;
  uint32_t i = 0;
  for (auto _ : state) {
    ++i;
    auto t0 = Clock::now();
    rig.sim.sendStreamSample(62, 1, 0, 3, i);
    {
      std::unique_lock<std::mutex> g(m);
      if (!cv.wait_for(g, std::chrono::seconds(1), [&] { return seen == i; })) {
        state.SkipWithError("sample lost");
        return;
      }
      latency.push_back(std::chrono::duration<double, std::micro>(seenAt - t0).count());
    }
    uint32_t serial = 0;
    auto r0 = Clock::now();
    if (rig.system.getSerialNumber(&serial) != cErrNone) {
      state.SkipWithError("no answer");
      return;
    }
    roundTrip.push_back(std::chrono::duration<double, std::micro>(Clock::now() - r0).count());
  }
  state.counters["latency_median_us"] = median(latency);
  state.counters["latency_p99_us"] = percentile(latency, 0.99);
  state.counters["roundtrip_median_us"] = median(roundTrip);
  state.counters["latency_over_roundtrip"] = median(latency) / median(roundTrip);
}
BENCHMARK(BM_StreamLatency)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMillisecond);

// CPU of the whole process while a link with a registered stream (and its
// callback worker) waits for samples that do not come.
void BM_IdleStreamingLinkCpu(benchmark::State &state) {
  Rig rig;
  if (!rig.ok) {
    state.SkipWithError("no simulated module");
    return;
  }
  rig.link().registerStreamCallback(
      6, 60, 1, 0, true, [](const cPacket *, void *) -> uint8_t { return 0; }, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the first sample has come and gone
  double percent = 0;
  for (auto _ : state) {
    rusage a, b;
    getrusage(RUSAGE_SELF, &a);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    getrusage(RUSAGE_SELF, &b);
    double cpu =
        static_cast<double>(b.ru_utime.tv_sec - a.ru_utime.tv_sec + b.ru_stime.tv_sec - a.ru_stime.tv_sec) * 1e6 +
        static_cast<double>(b.ru_utime.tv_usec - a.ru_utime.tv_usec + b.ru_stime.tv_usec - a.ru_stime.tv_usec);
    percent = 100.0 * cpu / std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  }
  state.counters["cpu_percent"] = percent;
}
BENCHMARK(BM_IdleStreamingLinkCpu)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
