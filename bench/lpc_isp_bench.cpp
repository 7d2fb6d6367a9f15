// Programming a 64 KiB image into the simulated LPC17xx boot ROM at 115200
// baud, paced as a real serial line: our ISP client (the recovery sequence's
// calls) against lpc21isp in the same run. The figure that matters is our
// throughput as a fraction of the line's ceiling for UU-encoded data: every
// data character the protocol must carry (45 bytes per 61-character line plus
// CR LF, and the checksum lines) at 11,520 characters a second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lpcsim/Simulator.h"
#include "recovery/NXPSerial.h"

extern char **environ;

namespace {

constexpr uint32_t kBaud = 115200;
constexpr size_t kImageSize = 64 * 1024;
constexpr size_t kPiece = 4096;

std::vector<uint8_t> Image() {
  std::mt19937 gen(11);
  std::vector<uint8_t> v(kImageSize);
  for (auto &b : v)
    b = static_cast<uint8_t>(gen());
  return v;
}

// Characters the data of the image takes on the line when written in
// 4096-byte pieces: UU lines with CR LF, and a checksum line per 20 lines.
double CeilingSeconds(const std::vector<uint8_t> &image) {
  size_t chars = 0;
  for (size_t at = 0; at < image.size(); at += kPiece) {
    size_t end = std::min(image.size(), at + kPiece), lines = 0;
    uint32_t sum = 0;
    for (size_t p = at; p < end; p += 45) {
      size_t n = std::min<size_t>(45, end - p);
      chars += 1 + 4 * ((n + 2) / 3) + 2;
      sum += NXPSerialClass::sum(image.data() + p, n);
      if (++lines == 20 || p + n == end) {
        chars += std::to_string(sum).size() + 2;
        lines = 0, sum = 0;
      }
    }
  }
  return chars / (kBaud / 10.0);
}

bool ProgramWithOurClient(const std::string &port, const std::vector<uint8_t> &image) {
  NXPSerialClass nxp;
  if (nxp.Connect(port.c_str(), kBaud) != cErrNone || nxp.Sync() != cErrNone || nxp.Unlock() != cErrNone ||
      nxp.Prepare(0, 29) != cErrNone || nxp.Erase(0, 29) != cErrNone || nxp.SetEcho(false) != cErrNone)
    return false;
  for (uint32_t at = 0; at < image.size(); at += kPiece) {
    uint32_t n = static_cast<uint32_t>(std::min(kPiece, image.size() - at));
    if (nxp.Write(NXPSerialClass::WRITE_ADDRESS, n, image.data() + at) != cErrNone ||
        nxp.Prepare(NXPSerialClass::SectorFromAddress(at), NXPSerialClass::SectorFromAddress(at + n - 1)) != cErrNone ||
        nxp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(n)) != cErrNone)
      return false;
  }
  return nxp.SetEcho(true) == cErrNone && nxp.ExecuteFrom(0) == cErrNone;
}

bool ProgramWithLpc21isp(const std::string &port, const std::string &file) {
  std::vector<std::string> args = {"lpc21isp", "-bin", file, port, std::to_string(kBaud), "12000"};
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, "lpc21isp", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename F> double Timed(F &&f, bool &ok) {
  auto start = std::chrono::steady_clock::now();
  ok = f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Program64KiB_115200(benchmark::State &state) {
  std::vector<uint8_t> image = Image();
  char dir[] = "/tmp/lpcbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  std::string file = std::string(dir) + "/image.bin";
  if (FILE *f = fopen(file.c_str(), "wb")) {
    fwrite(image.data(), 1, image.size(), f);
    fclose(f);
  }
  double ceiling = CeilingSeconds(image);
  double ours = 0, theirs = 0;
  bool haveTheirs = access("/usr/bin/lpc21isp", X_OK) == 0;
  for (auto _ : state) {
    lpcsim::Simulator a;
    a.setPacing(true);
    if (!a.start()) {
      state.SkipWithError("simulator did not start");
      break;
    }
    bool ok = false;
    ours = Timed([&] { return ProgramWithOurClient(a.path(), image); }, ok);
    std::vector<uint8_t> flash = a.flash();
    if (!ok || !std::equal(image.begin(), image.end(), flash.begin())) {
      state.SkipWithError("our client did not program the image");
      break;
    }
    if (haveTheirs) {
      lpcsim::Simulator b;
      b.setPacing(true);
      if (b.start())
        theirs = Timed([&] { return ProgramWithLpc21isp(b.path(), file); }, ok);
      if (!ok)
        theirs = 0;
    }
  }
  unlink(file.c_str());
  rmdir(dir);
  state.counters["ours_s"] = ours;
  state.counters["lpc21isp_s"] = theirs;
  state.counters["ceiling_s"] = ceiling;
  state.counters["fraction_of_ceiling"] = ours > 0 ? ceiling / ours : 0;
  std::printf("64 KiB at %u baud: ours %.2f s, lpc21isp %s, UU-line ceiling %.2f s, our throughput %.3f of the "
              "ceiling\n",
              kBaud, ours, theirs > 0 ? (std::to_string(theirs).substr(0, 5) + " s").c_str() : "not run", ceiling,
              ours > 0 ? ceiling / ours : 0.0);
}
BENCHMARK(BM_Program64KiB_115200)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
