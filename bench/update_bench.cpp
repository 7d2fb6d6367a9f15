// Firmware transfer throughput against a simulated module over TCP loopback,
// in packet mode and in byte-array (UEI) mode with and without pooled
// packets, next to the bare request/response round trip of the same link.
// Packet mode moves 26 data bytes per round trip, so its ceiling is
// 26 bytes / round trip; "of_ceiling" reports the fraction reached.
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
#include "updater/UpdaterEntity.h"

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
constexpr uint32_t kBlockBytes = 64 * 1024; // one firmware block per 64 KiB

struct Rig {
  explicit Rig(bool pooledFeature) {
    modulesim::ModuleConfig c;
    c.restartOnLoad = false;
    c.upgradeBlockSize = 1024;
    c.protocolFeatures = pooledFeature ? 0x80000000u : 0;
    sim = std::make_unique<modulesim::SimModule>(c);
    tcp = std::make_unique<modulesim::TcpTransport>(*sim, modulesim::TcpOptions{});
    module = std::make_unique<Module>(2, 0);
    cEtherConfig off;
    off.enabled = 0;
    off.fallback = 0;
    module->setConfig(off);
    linkSpec s{};
    s.type = linkTypeTCPIP;
    s.serialNumber = c.serial;
    s.ipAddress = tcp->ipv4();
    s.port = tcp->port();
    ok = module->connectFromSpec(s) == cErrNone;
  }
  std::unique_ptr<modulesim::SimModule> sim;
  std::unique_ptr<modulesim::TcpTransport> tcp;
  std::unique_ptr<Module> module;
  bool ok = false;
};

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

void transfer(benchmark::State &state, bool uei, bool pooled) {
  Rig rig(pooled);
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
    for (uint32_t address = 0; address < kImageBytes; address += kBlockBytes) {
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
  double rate = elapsed > 0 ? bytes / elapsed : 0;
  double ceiling = rtt > 0 ? 26.0 / rtt : 0;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["round_trip_us"] = rtt * 1e6;
  state.counters["packet_ceiling_Bps"] = ceiling;
  state.counters["of_ceiling"] = ceiling > 0 ? rate / ceiling : 0;
}

void BM_UpdatePacketMode(benchmark::State &state) { transfer(state, false, false); }
void BM_UpdateUEIBytes(benchmark::State &state) { transfer(state, true, false); }
void BM_UpdateUEIBytesPooled(benchmark::State &state) { transfer(state, true, true); }

BENCHMARK(BM_UpdatePacketMode)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_UpdateUEIBytes)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_UpdateUEIBytesPooled)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
