// A 64 KiB loader written with the SDP loader over a serial line at 115200
// baud, against the simulated boot ROM pacing the line as a real UART would.
// Figure: throughput as a fraction of the line's 11,520 bytes/s
// ("fraction_of_line", goal at least 0.9), next to the same bytes pushed
// through the same paced line without the protocol ("raw" run).
#include <benchmark/benchmark.h>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "app/Log.h"
#include "imxsim/BootRom.h"
#include "imxsim/PtyTransport.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kImage = 64 * 1024;
constexpr double kLineBytesPerSecond = 11520.0;

void BM_SdpSerialWriteLoader(benchmark::State &state) {
  imxsim::BootRom rom;
  imxsim::PtyTransport pty(rom, 115200);
  if (!pty.ok()) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  if (getenv("SDP_BENCH_LOG"))
    Log::ActivatePackage(DEBUG_iMXSerial);
  auto *port = new Serial_SDPLoader(pty.path());
  port->setSettleMs(0);
  SDPLoader loader;
  loader.setLoader(port);
  if (loader.init() != cErrNone) {
    state.SkipWithError("cannot open the port");
    return;
  }
  std::vector<uint8_t> image(kImage);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = uint8_t(i * 7);
  double seconds = 0;
  int failures = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    failures += loader.writeLoader(image, 0x20000000) != 0;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["fraction_of_line"] = double(kImage) * double(state.iterations()) / seconds / kLineBytesPerSecond;
  state.counters["failures"] = failures;
  state.counters["ram_matches"] = rom.ram(0x20000000, image.size()) == image;
}

void BM_RawPacedLine(benchmark::State &state) {
  imxsim::BootRom rom;
  imxsim::PtyTransport pty(rom, 115200);
  int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    state.SkipWithError("cannot open the port");
    return;
  }
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::vector<uint8_t> zeros(kImage, 0); // zero commands: taken, never answered
  double seconds = 0;
  for (auto _ : state) {
    uint64_t before = rom.bytesTaken();
    auto start = Clock::now();
    size_t done = 0;
    while (done < zeros.size()) {
      ssize_t n = write(fd, zeros.data() + done, zeros.size() - done);
      if (n > 0) {
        done += size_t(n);
      } else {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    rom.waitFor([&] { return rom.bytesTaken() >= before + kImage; }, std::chrono::seconds(30));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  close(fd);
  state.counters["fraction_of_line"] = double(kImage) * double(state.iterations()) / seconds / kLineBytesPerSecond;
}

} // namespace

BENCHMARK(BM_SdpSerialWriteLoader)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawPacedLine)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
