// COBS encode/decode and CRC-8 throughput, and the framing stream's cost per
// packet written and read.
#include <benchmark/benchmark.h>

#include <vector>

#include "quillwork/cStream.h"

namespace {

std::vector<uint8_t> sample(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i % 37 == 0 ? 0 : i * 31 + 7);
  return v;
}

void BM_CobsEncode(benchmark::State &state) {
  auto in = sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(in.size() + in.size() / 254 + 2);
  for (auto _ : state)
    benchmark::DoNotOptimize(cobs_encode(in.data(), in.size(), out.data()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CobsEncode)->Arg(31)->Arg(4096);

void BM_CobsEncodeInPlace(benchmark::State &state) {
  auto in = sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> buffer(in.size() + in.size() / 254 + 2);
  for (auto _ : state) {
    std::copy(in.begin(), in.end(), buffer.begin());
    benchmark::DoNotOptimize(cobs_encode_inplace(buffer.data(), in.size()));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CobsEncodeInPlace)->Arg(31)->Arg(4096);

void BM_CobsDecode(benchmark::State &state) {
  auto in = sample(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> encoded(in.size() + in.size() / 254 + 2), out(encoded.size());
  encoded.resize(cobs_encode(in.data(), in.size(), encoded.data()));
  for (auto _ : state)
    benchmark::DoNotOptimize(cobs_decode(encoded.data(), encoded.size(), out.data()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CobsDecode)->Arg(31)->Arg(4096);

void BM_Crc8(benchmark::State &state) {
  auto in = sample(static_cast<size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(crc8_create(in.data(), in.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc8)->Arg(30)->Arg(4096);

// A 30-byte packet written through the framing stream and read back.
struct Loop {
  std::vector<uint8_t> wire;
  size_t position = 0;
  static cErr get(uint8_t *b, void *r) {
    Loop *l = static_cast<Loop *>(r);
    if (l->position == l->wire.size()) {
      l->wire.clear();
      l->position = 0;
      return cErrNotReady;
    }
    *b = l->wire[l->position++];
    return cErrNone;
  }
  static cErr put(uint8_t b, void *r) {
    static_cast<Loop *>(r)->wire.push_back(b);
    return cErrNone;
  }
  static cErr write(const uint8_t *d, size_t n, void *r) {
    Loop *l = static_cast<Loop *>(r);
    l->wire.insert(l->wire.end(), d, d + n);
    return cErrNone;
  }
};

void BM_FramingStreamPacketRoundTrip(benchmark::State &state) {
  Loop loop;
  cStream *s = nullptr;
  cStream_CreateCobsEncoding(Loop::get, Loop::put, Loop::write, nullptr, &loop, &s);
  std::vector<uint8_t> packet = {0x02, 28};
  for (int i = 0; i < 28; ++i)
    packet.push_back(static_cast<uint8_t>(i));
  uint8_t back[30];
  for (auto _ : state) {
    cStream_Write(s, packet.data(), packet.size());
    size_t got = 0;
    for (int guard = 0; got < sizeof back && guard < 100; ++guard)
      if (cStream_Read(s, &back[got], 1) == cErrNone)
        ++got;
    benchmark::DoNotOptimize(back);
  }
  state.SetItemsProcessed(state.iterations());
  cStream_Destroy(&s);
}
BENCHMARK(BM_FramingStreamPacketRoundTrip);

} // namespace

BENCHMARK_MAIN();
