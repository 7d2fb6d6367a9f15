// Loading a BIRD file with a 4 MiB firmware image (read, inflate, block scan)
// against a bare zlib uncompress of the same body: the loader should cost
// little more than the inflate itself.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "store/BirdFile.h"

namespace {

constexpr size_t IMAGE_SIZE = 4 << 20;

void put_be32(std::vector<uint8_t> &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(uint8_t(v >> shift));
}

// Firmware-like bytes: half the words repeat from a small set.
std::vector<uint8_t> firmware(size_t size) {
  uint32_t state = 12345;
  auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  uint32_t dictionary[64];
  for (uint32_t &w : dictionary)
    w = next();
  std::vector<uint8_t> out;
  out.reserve(size);
  while (out.size() < size) {
    uint32_t r = next();
    uint32_t word = (r >> 31) ? dictionary[(r >> 20) & 63] : next();
    for (int i = 0; i < 4 && out.size() < size; ++i)
      out.push_back(uint8_t(word >> (8 * i)));
  }
  return out;
}

struct Sample {
  std::vector<uint8_t> body; // inflated
  std::vector<uint8_t> file; // header + compressed body
  std::string path;

  Sample() {
    std::string info = "1234            2.10.3          0012ABCD        QW-HUB4         ";
    std::vector<uint8_t> image = firmware(IMAGE_SIZE);
    put_be32(body, 2);
    body.push_back(4);
    put_be32(body, uint32_t(info.size()));
    body.insert(body.end(), info.begin(), info.end());
    body.push_back(1);
    put_be32(body, uint32_t(4 + image.size()));
    put_be32(body, 0x00000000);
    body.insert(body.end(), image.begin(), image.end());
    uint32_t sum = 0;
    for (uint8_t b : body)
      sum += b;
    put_be32(body, sum);

    uLongf size = compressBound(uLong(body.size()));
    std::vector<uint8_t> compressed(size);
    if (compress2(compressed.data(), &size, body.data(), uLong(body.size()), 6) != Z_OK)
      abort();
    compressed.resize(size);
    file = {'b', 'i', 'r', 'd', 1, 1};
    file.insert(file.end(), compressed.begin(), compressed.end());

    char name[] = "/tmp/bird_bench.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0 || write(fd, file.data(), file.size()) != ssize_t(file.size()))
      abort();
    close(fd);
    path = name;
  }
  ~Sample() { unlink(path.c_str()); }
};

Sample &sample() {
  static Sample s;
  return s;
}

// The inflate alone, into a buffer of the loader's size, allocated per run
// as the loader does.
void BM_ZlibUncompress(benchmark::State &state) {
  Sample &s = sample();
  const uint8_t *source = s.file.data() + 6;
  const uLong length = uLong(s.file.size() - 6);
  for (auto _ : state) {
    uLongf capacity = length * 8;
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
    if (uncompress(out.get(), &capacity, source, length) != Z_OK || capacity != s.body.size())
      state.SkipWithError("uncompress failed");
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.body.size()));
}
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);

void BM_BirdLoadFromMemory(benchmark::State &state) {
  Sample &s = sample();
  for (auto _ : state) {
    BirdFile file;
    if (!file.LoadFromMemory(s.file.data(), s.file.size()) || file.BlockCount() != 2)
      state.SkipWithError("load failed");
    benchmark::DoNotOptimize(file.Data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.body.size()));
}
BENCHMARK(BM_BirdLoadFromMemory)->Unit(benchmark::kMillisecond);

// The whole load from the file system, as the update sequence does it.
void BM_BirdLoadFile(benchmark::State &state) {
  Sample &s = sample();
  for (auto _ : state) {
    BirdFile file(s.path);
    if (file.BlockCount() != 2 || file.GetBuild() != 1234)
      state.SkipWithError("load failed");
    benchmark::DoNotOptimize(file.Data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.body.size()));
}
BENCHMARK(BM_BirdLoadFile)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
