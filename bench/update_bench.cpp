// Firmware transfer throughput against a simulated module over TCP loopback
// and over the emulated USB bus, in packet mode and in byte-array (UEI) mode
// with and without pooled packets, next to the bare request/response round
// trip of the same link. Chunks are the 512 bytes the module's PREPARE
// answers in a real update. Packet mode moves 26 data bytes per round trip,
// so its ceiling is 26 bytes / round trip; "of_ceiling" reports the fraction
// reached. The USB variants need the umockdev preload: the program executes
// itself again under it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/Log.h"
#include "modulesim/SimModule.h"
#include "modulesim/TcpTransport.h"
#include "quillwork/Entity.h"
#include "quillwork/Module.h"
#include "quillwork/cUEI.h"
#include "updater/UpdaterEntity.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#ifdef MODULESIM_HAVE_USB

#include "modulesim/UsbTransport.h"
#include "quillwork/qwusb_driver.h"
#endif

using namespace Corvatek::Quillwork;

namespace {

class NullDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool) override {}
  void update_progress(double, const char *) override {}
  void update_spinner(bool, const char *) override {}
  void info_message(const char *) override {}
  void error_message(const char *) override {}
};

constexpr uint32_t kImageBytes = 512 * 1024;
constexpr uint32_t kUsbImageBytes = 128 * 1024; // the emulated bus is slower: a shorter run
constexpr uint32_t kBlockBytes = 64 * 1024;     // one firmware block per 64 KiB
constexpr uint32_t kChunkBytes = 512;           // what a module answers to PREPARE

#ifdef MODULESIM_HAVE_USB
// Made before the first libusb use, kept for the whole run.
qwemu::UsbTestbed *gTestbed = nullptr;
#endif

struct Rig {
  Rig(bool pooledFeature, bool usb) {
    modulesim::ModuleConfig c;
    c.restartOnLoad = false;
    // The block size a module answers to PREPARE (QW_BENCH_BLOCK to compare
    // with other sizes).
    c.upgradeBlockSize = static_cast<uint16_t>(getenv("QW_BENCH_BLOCK") ? atoi(getenv("QW_BENCH_BLOCK")) : 512);
    c.protocolFeatures = pooledFeature ? 0x80000000u : 0;
    sim = std::make_unique<modulesim::SimModule>(c);
    module = std::make_unique<Module>(2, 0);
    cEtherConfig off;
    off.enabled = 0;
    off.fallback = 0;
    module->setConfig(off);
    linkSpec s{};
    s.serialNumber = c.serial;
    if (usb) {
#ifdef MODULESIM_HAVE_USB
      if (gTestbed == nullptr || !gTestbed->ok())
        return;
      usbTransport = std::make_unique<modulesim::UsbTransport>(*sim, *gTestbed);
      s.type = linkTypeUSB;
#else
      return;
#endif
    } else {
      tcp = std::make_unique<modulesim::TcpTransport>(*sim, modulesim::TcpOptions{});
      s.type = linkTypeTCPIP;
      s.ipAddress = tcp->ipv4();
      s.port = tcp->port();
    }
    ok = module->connectFromSpec(s) == cErrNone;
  }
  ~Rig() {
    module.reset(); // the link goes before its module
#ifdef MODULESIM_HAVE_USB
    usbTransport.reset();
#endif
  }
  std::unique_ptr<modulesim::SimModule> sim;
  std::unique_ptr<modulesim::TcpTransport> tcp;
#ifdef MODULESIM_HAVE_USB
  std::unique_ptr<modulesim::UsbTransport> usbTransport;
#endif
  std::unique_ptr<Module> module;
  bool ok = false;
};

double cpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Median round trip of an echo through the engine, in seconds.
double roundTrip(Module &m) {
  std::vector<double> samples;
  const uint8_t data[26] = {};
  for (int i = 0; i < 200; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    if (m.debug(data, sizeof data) != cErrNone)
      return 0;
    samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

void transfer(benchmark::State &state, bool uei, bool pooled, bool usb = false) {
  Rig rig(pooled, usb);
  const uint32_t imageBytes = usb ? kUsbImageBytes : kImageBytes;
  if (!rig.ok) {
    state.SkipWithError("no simulated module");
    return;
  }
  double rtt = roundTrip(*rig.module);
  std::vector<uint8_t> block(4 + kBlockBytes);
  for (size_t i = 4; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 7);
  NullDisplay display;
  uint64_t bytes = 0;
  auto started = std::chrono::steady_clock::now();
  double cpuStarted = cpuSeconds();
  if (getenv("QW_BENCH_LOG")) {
    Log::SetOutput(stderr);
    Log::ActivatePackage(static_cast<unsigned>(strtoul(getenv("QW_BENCH_LOG"), nullptr, 0)));
  }
  // The loader is started once; each iteration then sends the whole image.
  UpdaterEntity entity;
  entity.init(rig.module.get(), 0, true, false);
  if (entity.LoaderInit() != cErrNone || entity.LoaderStart() != cErrNone) {
    state.SkipWithError("loader did not start");
    return;
  }
  if (uei && entity.CheckUEIDataSupport() != cErrNone) {
    state.SkipWithError("no byte-array data option");
    return;
  }
  if (uei)
    entity.CheckPooledPacketsSupport();
  for (auto _ : state) {
    for (uint32_t address = 0; address < imageBytes; address += kBlockBytes) {
      block[0] = static_cast<uint8_t>(address >> 24);
      block[1] = static_cast<uint8_t>(address >> 16);
      block[2] = static_cast<uint8_t>(address >> 8);
      block[3] = static_cast<uint8_t>(address);
      uint16_t blockSize = 0;
      if (entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, &blockSize) != cErrNone ||
          entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize, display) != cErrNone) {
        for (const std::string &v : rig.sim->violations())
          fprintf(stderr, "module: %s\n", v.c_str());
        state.SkipWithError("transfer failed");
        return;
      }
      bytes += kBlockBytes;
    }
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  double cpu = cpuSeconds() - cpuStarted;
  double rate = elapsed > 0 ? bytes / elapsed : 0;
  double ceiling = rtt > 0 ? 26.0 / rtt : 0;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["round_trip_us"] = rtt * 1e6;
  state.counters["packet_ceiling_Bps"] = ceiling;
  state.counters["of_ceiling"] = ceiling > 0 ? rate / ceiling : 0;
  // A byte-array chunk takes three exchanges (the series, its sum, the write):
  // at the link's round trip that is the most a chunk size allows.
  state.counters["uei_floor_Bps"] = rtt > 0 ? kChunkBytes / (3 * rtt) : 0;
  // Process CPU (the simulated module's threads included) per MiB moved.
  state.counters["cpu_s_per_MiB"] = bytes > 0 ? cpu / (bytes / 1048576.0) : 0;
}

// The same exchanges as a byte-array chunk (a 644-byte series answered with 5
// bytes, the 4-byte sum request answered with 9, the 6-byte write answered
// with 5) over a bare loopback TCP socket: what the socket alone costs.
bool readFull(int fd, uint8_t *buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    ssize_t n = recv(fd, buffer + got, length - got, 0);
    if (n <= 0)
      return false;
    got += (size_t)n;
  }
  return true;
}

void BM_BareSocketChunks(benchmark::State &state) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  if (listener < 0 || bind(listener, (sockaddr *)&a, sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, (sockaddr *)&a, &al) != 0) {
    state.SkipWithError("no socket");
    return;
  }
  const size_t exchanges[3][2] = {{644, 5}, {4, 9}, {6, 5}};
  const uint32_t chunks = kImageBytes / kChunkBytes;
  std::thread peer([&] {
    int fd = accept(listener, nullptr, nullptr);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint8_t buffer[1024] = {};
    for (bool alive = fd >= 0; alive;)
      for (auto &e : exchanges)
        if (!(alive = readFull(fd, buffer, e[0]) && send(fd, buffer, e[1], MSG_NOSIGNAL) == (ssize_t)e[1]))
          break;
    if (fd >= 0)
      close(fd);
  });
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  bool ok = connect(fd, (sockaddr *)&a, sizeof a) == 0;
  uint8_t buffer[1024] = {};
  uint64_t bytes = 0;
  for (auto _ : state) {
    for (uint32_t c = 0; c < chunks && ok; c++) {
      for (auto &e : exchanges)
        ok = ok && send(fd, buffer, e[0], MSG_NOSIGNAL) == (ssize_t)e[0] && readFull(fd, buffer, e[1]);
      bytes += kChunkBytes;
    }
  }
  close(fd);
  peer.join();
  close(listener);
  if (!ok)
    state.SkipWithError("socket exchange failed");
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_BareSocketChunks)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_UpdatePacketMode(benchmark::State &state) { transfer(state, false, false); }
void BM_UpdateUEIBytes(benchmark::State &state) { transfer(state, true, false); }
void BM_UpdateUEIBytesPooled(benchmark::State &state) { transfer(state, true, true); }

BENCHMARK(BM_UpdatePacketMode)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_UpdateUEIBytes)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_UpdateUEIBytesPooled)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

#ifdef MODULESIM_HAVE_USB
void BM_UsbUpdatePacketMode(benchmark::State &state) { transfer(state, false, false, true); }
void BM_UsbUpdateUEIBytes(benchmark::State &state) { transfer(state, true, false, true); }
void BM_UsbUpdateUEIBytesPooled(benchmark::State &state) { transfer(state, true, true, true); }

BENCHMARK(BM_UsbUpdatePacketMode)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_UsbUpdateUEIBytes)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_UsbUpdateUEIBytesPooled)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The emulated bus on its own: an echo request written and its answer read
// with the USB driver directly (no link engine, no threads), median of 200.
// Three such exchanges per 512-byte chunk are the most the bus allows.
void BM_UsbBareRoundTrip(benchmark::State &state) {
  modulesim::ModuleConfig c;
  modulesim::SimModule sim(c);
  if (gTestbed == nullptr || !gTestbed->ok()) {
    state.SkipWithError("no emulated bus");
    return;
  }
  modulesim::UsbTransport transport(sim, *gTestbed);
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", c.serial);
  qwusb_device *handle = qwusb_create_usb(QWUSB_KIND_LIBUSB);
  cErr err = cErrNotFound;
  for (int attempt = 0; attempt < 50 && err != cErrNone; attempt++) {
    err = handle != nullptr ? qwusb_open_quillwork_device(handle, serial) : cErrResource;
    if (err != cErrNone)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (err != cErrNone) {
    qwusb_destroy(&handle);
    state.SkipWithError("module not found on the emulated bus");
    return;
  }
  uint8_t request[2 + 27] = {c.address, 27, cmdDEBUG};
  std::vector<double> samples;
  bool ok = true;
  for (auto _ : state) {
    for (int i = 0; i < 200 && ok; i++) {
      auto t0 = std::chrono::steady_clock::now();
      ok = qwusb_write_to_device(handle, request, sizeof request) == cErrNone;
      // The answer: address, length, then that many bytes.
      uint8_t header[2] = {};
      size_t got = 0, want = 2;
      for (int reads = 0; ok && got < want && reads < 5000; reads++) {
        uint8_t byte = 0;
        cErr e = qwusb_get_from_device(handle, &byte);
        if (e == cErrNotReady)
          continue;
        ok = e == cErrNone;
        if (got < 2)
          header[got] = byte;
        if (++got == 2)
          want = 2 + header[1];
      }
      ok = ok && got == want;
      samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
  }
  qwusb_close_quillwork_device(handle);
  qwusb_destroy(&handle);
  if (!ok || samples.empty()) {
    state.SkipWithError("echo failed");
    return;
  }
  std::sort(samples.begin(), samples.end());
  double rtt = samples[samples.size() / 2];
  state.counters["round_trip_us"] = rtt * 1e6;
  state.counters["uei_floor_Bps"] = kChunkBytes / (3 * rtt);
}
BENCHMARK(BM_UsbBareRoundTrip)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// CPU of this process (host and emulated bus together) while a connected USB
// link sits idle for a second, and the host's USB connect and disconnect
// times next to a TCP connect to the same kind of simulated module.

void BM_UsbIdleLinkCpu(benchmark::State &state) {
  auto t0 = std::chrono::steady_clock::now();
  Rig rig(true, true);
  double connect = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  t0 = std::chrono::steady_clock::now();
  Rig tcpRig(true, false);
  double tcpConnect = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!rig.ok || !tcpRig.ok) {
    state.SkipWithError("no simulated module");
    return;
  }
  tcpRig.module.reset();
  double percent = 0;
  for (auto _ : state) {
    double c0 = cpuSeconds();
    auto w0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    percent = 100.0 * (cpuSeconds() - c0) / wall;
  }
  t0 = std::chrono::steady_clock::now();
  rig.module->disconnect();
  double disconnect = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.counters["cpu_percent"] = percent;
  state.counters["usb_disconnect_ms"] = disconnect * 1e3;
  state.counters["usb_connect_ms"] = connect * 1e3;
  state.counters["tcp_connect_ms"] = tcpConnect * 1e3;
}
BENCHMARK(BM_UsbIdleLinkCpu)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
#endif

} // namespace

int main(int argc, char **argv) {
#ifdef MODULESIM_HAVE_USB
  if (!qwemu::UsbTestbed::preloaded())
    qwemu::UsbTestbed::reexecUnderPreload(argv); // on failure the USB variants skip
  qwemu::UsbTestbed testbed;
  gTestbed = &testbed;
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
#ifdef MODULESIM_HAVE_USB
  Quillwork_libusb_exit(); // before the testbed goes
  gTestbed = nullptr;
#endif
  return 0;
}
