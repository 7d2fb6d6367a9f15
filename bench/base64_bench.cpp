// Base64 of a firmware-sized body: a large BIRD download is about 4 MiB of
// Base64 text. Decoding should run near memory speed (bytes/s reported).
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "server/HTTPRequest.h"

namespace {

constexpr size_t kTextBytes = 4u << 20; // 4 MiB of Base64 text

std::string RandomBytes(size_t n) {
  std::mt19937 rng(7);
  std::string bytes(n, '\0');
  for (char &c : bytes)
    c = static_cast<char>(rng());
  return bytes;
}

void BM_Base64Decode4MiB(benchmark::State &state) {
  std::string bytes = RandomBytes(kTextBytes / 4 * 3);
  size_t text_len = 0;
  char *text = base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &text_len);
  for (auto _ : state) {
    size_t len = 0;
    unsigned char *out = base64_decode(text, text_len, &len);
    benchmark::DoNotOptimize(out);
    if (out == nullptr || len != bytes.size())
      state.SkipWithError("decode failed");
    free(out);
  }
  free(text);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text_len));
}
BENCHMARK(BM_Base64Decode4MiB)->Unit(benchmark::kMillisecond);

void BM_Base64Encode3MiB(benchmark::State &state) {
  std::string bytes = RandomBytes(kTextBytes / 4 * 3);
  for (auto _ : state) {
    size_t len = 0;
    char *out = base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &len);
    benchmark::DoNotOptimize(out);
    free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Base64Encode3MiB)->Unit(benchmark::kMillisecond);

// memcpy of the same text: the memory-speed yardstick for the decoder.
void BM_Memcpy4MiB(benchmark::State &state) {
  std::string src(kTextBytes, 'A'), dst(kTextBytes, '\0');
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kTextBytes));
}
BENCHMARK(BM_Memcpy4MiB)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
