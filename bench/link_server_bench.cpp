// A request through the link server (client link -> server -> module and
// back) next to the same request on a direct link, and the total request
// rate of 1, 2, 4 and 8 client processes sharing one module. The request is
// SystemClass::getSerialNumber against a simulated module on loopback.
// Goals: the shared round trip's median at most 3x the direct one ("ratio",
// the median of 20 side-by-side ratios), and a total rate that does not fall
// as clients are added ("per_second", the median of 3 runs).
//
// The program moves into a private network namespace first (as root): a link
// server also answers multicast discovery, which stays inside it.
#include <algorithm>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <czmq.h>

#include "modulesim_fixture.h"
#include "quillwork/Entity.h"
#include "quillwork/Link.h"
#include "quillwork/Module.h"

extern char **environ;

using namespace Corvatek::Quillwork;
using Clock = std::chrono::steady_clock;

namespace {

bool isolate() {
  if (unshare(CLONE_NEWNET) != 0)
    return false;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  if (fd >= 0)
    close(fd);
  return up;
}

linkSpec clientSpec(uint16_t port) {
  linkSpec s{};
  s.type = linkTypeCEtherTCPIP;
  s.ipAddress = htonl(INADDR_LOOPBACK);
  s.port = port;
  return s;
}

// A module on loopback shared through a server (the owner Link).
struct Shared {
  qwtest::SimulatedModules sims;
  qwtest::SimTcpModule sim = sims.tcp();
  std::unique_ptr<Link> owner;
  uint16_t port = 0;
  Shared() {
    owner = std::make_unique<Link>(sim.spec, "owner");
    owner->connect();
    cEtherConfig c;
    owner->getConfig(&c);
    port = c.port;
  }
  ~Shared() { owner.reset(); }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Round trips of getSerialNumber in microseconds.
std::vector<double> roundTrips(Module &module, int count) {
  SystemClass system;
  system.init(&module, 0);
  std::vector<double> out;
  for (int i = 0; i < count; i++) {
    uint32_t serial = 0;
    auto t0 = Clock::now();
    cErr err = system.getSerialNumber(&serial);
    auto t1 = Clock::now();
    if (err == cErrNone)
      out.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  return out;
}

// Round trips of the same request sent as a bare frame straight to the
// server's front end (no client link): the server's own share of the time.
std::vector<double> frontEndTrips(zsock_t *dealer, int count) {
  std::vector<double> out;
  const uint8_t request[5] = {4, 3, 3, 0x40 | 9, 0x20};
  for (int i = 0; i < count; i++) {
    auto t0 = Clock::now();
    zframe_t *f = zframe_new(request, sizeof request);
    zframe_send(&f, dealer, 0);
    zframe_t *answer = zframe_recv(dealer);
    auto t1 = Clock::now();
    if (answer != nullptr)
      out.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    zframe_destroy(&answer);
  }
  return out;
}

// A ROUTER that sends every frame straight back: the cost of the ZeroMQ
// round trip alone, the floor under any request through the server.
void echoActor(zsock_t *pipe, void *args) {
  zsock_t *router = static_cast<zsock_t *>(args);
  zpoller_t *poller = zpoller_new(pipe, router, nullptr);
  zsock_signal(pipe, 0);
  while (true) {
    void *which = zpoller_wait(poller, 1000);
    if (which == pipe || zpoller_terminated(poller))
      break;
    if (which == router) {
      zmsg_t *msg = zmsg_recv(router);
      zmsg_send(&msg, router);
    }
  }
  zpoller_destroy(&poller);
}

// Direct and shared, interleaved so that both meet the same machine load.
void BM_SerialNumberDirectVersusShared(benchmark::State &state) {
  Shared shared;
  qwtest::SimTcpModule direct = shared.sims.tcp([] {
    modulesim::ModuleConfig c;
    c.serial = 0x0A0B0C0D;
    return c;
  }());
  Module directModule(4, 0);
  cEtherConfig off;
  off.enabled = 0;
  directModule.setConfig(off);
  Module sharedModule(4, 0);
  if (directModule.connectFromSpec(direct.spec) != cErrNone ||
      sharedModule.connectFromSpec(clientSpec(shared.port)) != cErrNone) {
    state.SkipWithError("could not connect");
    return;
  }
  zsock_t *dealer = zsock_new(ZMQ_DEALER);
  zsock_set_rcvtimeo(dealer, 3000);
  zsock_connect(dealer, "tcp://127.0.0.1:%u", shared.port);
  zsock_t *router = zsock_new(ZMQ_ROUTER);
  int echoPort = zsock_bind(router, "tcp://127.0.0.1:*");
  zactor_t *echo = zactor_new(echoActor, router);
  zsock_t *echoDealer = zsock_new(ZMQ_DEALER);
  zsock_set_rcvtimeo(echoDealer, 3000);
  zsock_connect(echoDealer, "tcp://127.0.0.1:%d", echoPort);
  // Each repetition measures the three side by side and gives one ratio;
  // the figures are the medians over the repetitions, so that a burst of
  // load on the machine moves one repetition, not the result.
  std::vector<double> d, s, f, e, ratios, overFloor;
  for (auto _ : state) {
    auto a = roundTrips(directModule, 50), b = roundTrips(sharedModule, 50), c = frontEndTrips(dealer, 50),
         z = frontEndTrips(echoDealer, 50);
    d.push_back(median(a));
    s.push_back(median(b));
    f.push_back(median(c));
    e.push_back(median(z));
    if (d.back() > 0)
      ratios.push_back(s.back() / d.back());
    // The floor under a shared request: the ZeroMQ round trip plus the
    // direct request the server makes for it.
    if (d.back() + e.back() > 0)
      overFloor.push_back(s.back() / (d.back() + e.back()));
  }
  zsock_destroy(&dealer);
  zsock_destroy(&echoDealer);
  zactor_destroy(&echo);
  zsock_destroy(&router);
  state.counters["direct_us"] = median(d);
  state.counters["zmq_echo_us"] = median(e);
  state.counters["shared_us"] = median(s);
  state.counters["frontend_us"] = median(f);
  state.counters["ratio"] = median(ratios);
  state.counters["of_floor"] = median(overFloor);
}
BENCHMARK(BM_SerialNumberDirectVersusShared)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

// N client processes (this program again) each ask for the serial number as
// fast as they can for a while; the counter is the total per second.
void BM_ClientProcesses(benchmark::State &state) {
  const int clients = static_cast<int>(state.range(0));
  const int runMs = 1500;
  Shared shared;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    state.SkipWithError("no /proc/self/exe");
    return;
  }
  self[n] = '\0';
  std::vector<double> totals; // one per repetition
  for (auto _ : state) {
    double total = 0;
    std::vector<std::pair<pid_t, int>> children;
    for (int c = 0; c < clients; c++) {
      int fds[2];
      if (pipe(fds) != 0)
        break;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
      posix_spawn_file_actions_addclose(&actions, fds[0]);
      std::string env = "QW_BENCH_CLIENT=" + std::to_string(shared.port) + ":" + std::to_string(runMs);
      std::vector<char *> envp;
      for (char **e = environ; *e != nullptr; e++)
        envp.push_back(*e);
      envp.push_back(env.data());
      envp.push_back(nullptr);
      char *argv[] = {self, nullptr};
      pid_t pid = 0;
      if (posix_spawn(&pid, self, &actions, nullptr, argv, envp.data()) == 0)
        children.emplace_back(pid, fds[0]);
      else
        close(fds[0]);
      close(fds[1]);
      posix_spawn_file_actions_destroy(&actions);
    }
    for (auto &[pid, fd] : children) {
      char text[64] = {0};
      ssize_t got = read(fd, text, sizeof text - 1);
      close(fd);
      waitpid(pid, nullptr, 0);
      if (got > 0)
        total += atof(text);
    }
    totals.push_back(total);
  }
  state.counters["per_second"] = median(totals);
}
BENCHMARK(BM_ClientProcesses)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(3)->UseRealTime();

// Client mode: requests for runMs, then prints the rate achieved.
int clientMain(const char *what) {
  uint16_t port = static_cast<uint16_t>(atoi(what));
  int runMs = atoi(strchr(what, ':') + 1);
  Module module(4, 0);
  if (module.connectFromSpec(clientSpec(port)) != cErrNone) {
    puts("0");
    return 1;
  }
  SystemClass system;
  system.init(&module, 0);
  long done = 0;
  auto start = Clock::now(), end = start + std::chrono::milliseconds(runMs);
  while (Clock::now() < end) {
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) == cErrNone)
      done++;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  printf("%f\n", done / seconds);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (const char *what = getenv("QW_BENCH_CLIENT"))
    return clientMain(what);
  if (!isolate()) {
    fprintf(stderr, "link_server_bench needs a private network namespace (run as root)\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
