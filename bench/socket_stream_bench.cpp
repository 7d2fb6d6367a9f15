// CPU used by an idle stream that is polled in a loop, as a link's reader
// polls it: a connected socket stream with a silent peer, and a serial stream
// on a silent pseudo-terminal. Goal: well under 1% of a core. Also the rate
// at which a socket stream hands out bytes that are there.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "quillwork/cStream.h"

namespace {

double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}
double wallSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int loopbackListener(uint16_t *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  listen(fd, 4);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Polls get for three seconds and reports CPU time over wall time.
void pollIdle(benchmark::State &state, cStream *s) {
  long gets = 0;
  for (auto _ : state) {
    double cpu0 = processCpuSeconds(), wall0 = wallSeconds();
    while (wallSeconds() - wall0 < 3.0) {
      uint8_t b;
      cStream_Read(s, &b, 1);
      ++gets;
    }
    double cpu = processCpuSeconds() - cpu0, wall = wallSeconds() - wall0;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["gets_per_s"] = gets / wall;
  }
}

void BM_SocketStreamIdleCpu(benchmark::State &state) {
  uint16_t port;
  int listener = loopbackListener(&port);
  cStream *s = nullptr;
  if (cStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s) != cErrNone) {
    state.SkipWithError("no loopback connection");
    close(listener);
    return;
  }
  int peer = accept(listener, nullptr, nullptr);
  pollIdle(state, s);
  cStream_Destroy(&s);
  close(peer);
  close(listener);
}
BENCHMARK(BM_SocketStreamIdleCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_SerialStreamIdleCpu(benchmark::State &state) {
  int master, slave;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("no pty");
    return;
  }
  cStream *s = nullptr;
  if (cStream_CreateSerial(name, 6, false, 0, 0, &s) != cErrNone) {
    state.SkipWithError("cannot open the pty");
  } else {
    pollIdle(state, s);
    cStream_Destroy(&s);
  }
  close(master);
  close(slave);
}
BENCHMARK(BM_SerialStreamIdleCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Bytes already waiting are handed out from the stream's buffer.
void BM_SocketStreamGetThroughput(benchmark::State &state) {
  uint16_t port;
  int listener = loopbackListener(&port);
  cStream *s = nullptr;
  if (cStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s) != cErrNone) {
    state.SkipWithError("no loopback connection");
    close(listener);
    return;
  }
  int peer = accept(listener, nullptr, nullptr);
  std::vector<uint8_t> block(64 * 1024, 0x55);
  for (auto _ : state) {
    send(peer, block.data(), block.size(), 0);
    size_t got = 0;
    uint8_t b;
    for (int idle = 0; got < block.size() && idle < 20;)
      cStream_Read(s, &b, 1) == cErrNone ? ++got : ++idle;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block.size()));
  cStream_Destroy(&s);
  close(peer);
  close(listener);
}
BENCHMARK(BM_SocketStreamGetThroughput)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
