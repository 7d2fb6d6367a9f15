// Request/response round trip through the link engine (put a packet, await
// the first matching answer) against a TCP echo module on loopback, compared
// in the same run with a bare TCP ping-pong of the same bytes. The goal: the
// engine's median is at most 3x the bare median ("ratio" counter). Also the
// CPU an idle TCP link uses ("cpu_percent", goal well under 1).
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/Entity.h"
#include "quillwork/cLink.h"

namespace {

using Clock = std::chrono::steady_clock;

// A one-connection TCP server on 127.0.0.1. Module mode: whole packets are
// echoed and route packets (0xAF) are swallowed, like a module would; bare
// mode echoes bytes as they come.
class EchoServer {
public:
  explicit EchoServer(bool module) : module_(module) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }

private:
  void run() {
    int c = -1;
    std::vector<uint8_t> pending;
    while (!stop_) {
      pollfd p = c < 0 ? pollfd{listener_, POLLIN, 0} : pollfd{c, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      if (c < 0) {
        c = accept(listener_, nullptr, nullptr);
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        continue;
      }
      uint8_t buffer[4096];
      ssize_t n = recv(c, buffer, sizeof buffer, 0);
      if (n <= 0) {
        close(c);
        c = -1;
        continue;
      }
      if (!module_) {
        send(c, buffer, (size_t)n, MSG_NOSIGNAL);
        continue;
      }
      pending.insert(pending.end(), buffer, buffer + n);
      std::vector<uint8_t> out;
      size_t at = 0;
      while (pending.size() - at >= 2 && pending.size() - at >= 2u + pending[at + 1]) {
        size_t size = 2u + pending[at + 1];
        if (pending[at] != 0xAF && pending[at] != 0xAD)
          out.insert(out.end(), pending.begin() + (long)at, pending.begin() + (long)(at + size));
        at += size;
      }
      pending.erase(pending.begin(), pending.begin() + (long)at);
      if (!out.empty())
        send(c, out.data(), out.size(), MSG_NOSIGNAL);
    }
    if (c >= 0)
      close(c);
  }
  bool module_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

const uint8_t kRequest[3] = {0x41, 0x00, 0x77}; // data[1] carries a counter

bool matches(const cPacket *p, const void *reference) {
  return p->length == 3 && p->data[0] == 0x41 && p->data[1] == *static_cast<const uint8_t *>(reference);
}

// One engine round trip; false if no answer came.
bool engineRoundTrip(uint32_t link, uint8_t counter) {
  uint8_t data[3] = {kRequest[0], counter, kRequest[2]};
  cPacket *request = cPacket_CreateWithData(4, 3, data);
  cLink_PutPacket(link, request);
  cPacket_Destroy(&request);
  cPacket *answer = cLink_AwaitFirst(link, matches, &counter, 1000);
  bool ok = answer != nullptr;
  cPacket_Destroy(&answer);
  return ok;
}

int bareConnect(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

// The same five bytes out and back on a plain socket.
bool bareRoundTrip(int s, uint8_t counter) {
  uint8_t bytes[5] = {4, 3, kRequest[0], counter, kRequest[2]};
  if (send(s, bytes, sizeof bytes, MSG_NOSIGNAL) != (ssize_t)sizeof bytes)
    return false;
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = recv(s, bytes + got, sizeof bytes - got, 0);
    if (n <= 0)
      return false;
    got += (size_t)n;
  }
  return true;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double micros(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

void BM_BareTcpPingPong(benchmark::State &state) {
  EchoServer server(false);
  int s = bareConnect(server.port());
  uint8_t counter = 0;
  for (auto _ : state)
    if (!bareRoundTrip(s, counter++))
      state.SkipWithError("bare round trip failed");
  close(s);
}
BENCHMARK(BM_BareTcpPingPong)->UseRealTime();

void BM_EngineRoundTrip(benchmark::State &state) {
  EchoServer server(true);
  uint32_t link = cLink_CreateTCPIP(0xBE0001, htonl(INADDR_LOOPBACK), server.port());
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  uint8_t counter = 0;
  for (auto _ : state)
    if (!engineRoundTrip(link, counter++))
      state.SkipWithError("engine round trip failed");
  cLink_Destroy(&link);
}
BENCHMARK(BM_EngineRoundTrip)->UseRealTime();

// Both, interleaved, so that they meet the same machine load; the medians
// and their ratio are the result.
void BM_EngineOverBare(benchmark::State &state) {
  EchoServer bare(false), module(true);
  int s = bareConnect(bare.port());
  uint32_t link = cLink_CreateTCPIP(0xBE0002, htonl(INADDR_LOOPBACK), module.port());
  if (link == 0) {
    state.SkipWithError("no link");
    close(s);
    return;
  }
  std::vector<double> engineTimes, bareTimes;
  uint8_t counter = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    bool okBare = bareRoundTrip(s, counter);
    auto t1 = Clock::now();
    bool okEngine = engineRoundTrip(link, counter);
    auto t2 = Clock::now();
    counter++;
    if (!okBare || !okEngine) {
      state.SkipWithError("round trip failed");
      break;
    }
    bareTimes.push_back(micros(t0, t1));
    engineTimes.push_back(micros(t1, t2));
  }
  double e = median(engineTimes), b = median(bareTimes);
  state.counters["engine_median_us"] = e;
  state.counters["bare_median_us"] = b;
  state.counters["ratio"] = b > 0 ? e / b : 0;
  cLink_Destroy(&link);
  close(s);
}
// Repeated, so that the median ratio over the repetitions is a stable figure
// on a shared machine (read the "_median" line).
BENCHMARK(BM_EngineOverBare)->UseRealTime()->Iterations(2000)->Repetitions(12)->ReportAggregatesOnly(true);

// CPU used by the whole process while one TCP link sits idle for a second.
void BM_IdleLinkCpu(benchmark::State &state) {
  EchoServer server(true);
  uint32_t link = cLink_CreateTCPIP(0xBE0003, htonl(INADDR_LOOPBACK), server.port());
  if (link == 0) {
    state.SkipWithError("no link");
    return;
  }
  double percent = 0;
  for (auto _ : state) {
    rusage a, b;
    getrusage(RUSAGE_SELF, &a);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    getrusage(RUSAGE_SELF, &b);
    double cpu = (double)(b.ru_utime.tv_sec - a.ru_utime.tv_sec + b.ru_stime.tv_sec - a.ru_stime.tv_sec) * 1e6 +
                 (double)(b.ru_utime.tv_usec - a.ru_utime.tv_usec + b.ru_stime.tv_usec - a.ru_stime.tv_usec);
    percent = 100.0 * cpu / micros(t0, Clock::now());
  }
  state.counters["cpu_percent"] = percent;
  cLink_Destroy(&link);
}
BENCHMARK(BM_IdleLinkCpu)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace

// A SystemClass::getSerialNumber round trip (UEI get and its answer through
// Link, Module and the engine) against a simulated module on loopback; read it
// next to BM_BareTcpPingPong of the same run.
void BM_GetSerialNumber(benchmark::State &state) {
  modulesim::ModuleConfig config;
  modulesim::SimModule sim(config);
  modulesim::TcpTransport tcp(sim, {});
  Corvatek::Quillwork::Module module(2, 0);
  cEtherConfig off;
  off.enabled = 0;
  off.fallback = 0;
  module.setConfig(off);
  linkSpec spec{};
  spec.type = linkTypeTCPIP;
  spec.serialNumber = config.serial;
  spec.ipAddress = tcp.ipv4();
  spec.port = tcp.port();
  if (!tcp.ok() || module.connectFromSpec(spec) != cErrNone) {
    state.SkipWithError("no simulated module");
    return;
  }
  Corvatek::Quillwork::SystemClass system;
  system.init(&module, 0);
  for (auto _ : state) {
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != cErrNone || serial != config.serial) {
      state.SkipWithError("no answer");
      return;
    }
  }
}
BENCHMARK(BM_GetSerialNumber)->UseRealTime();

BENCHMARK_MAIN();
