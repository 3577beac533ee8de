// Code word codec throughput: one decode runs per received frame on the
// audio thread, one encode per predicted word in the partial-codeword search.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/decoder/codeword_codec.h"

namespace {

using namespace tembrolexinsdk;

// Reed–Solomon (15, 9) over GF(16), one K = 7 rate-1/2 block, 8 × 15 interleaver.
struct Code {
  std::vector<uint8_t> order;
  std::vector<int32_t> blocks{15};
  CodewordCodecParams p{};
  Code() {
    for (int i = 0; i < 15; ++i) order.push_back(static_cast<uint8_t>((i * 4) % 15));
    p.bitsPerSymbol = 4;
    p.infoSymbols = 9;
    p.codeSymbols = 15;
    p.errorLimit = 3;
    p.symbolOrder = order.data();
    p.convBlockCount = 1;
    p.convBlockLengths = blocks.data();
    p.conv.constraintLength = 7;
    p.conv.wrapLength = 12;
    p.conv.generatorCount = 2;
    p.conv.generators[0] = 0x5B;
    p.conv.generators[1] = 0x79;
    p.interleaverRows = 8;
    p.interleaverColumns = 15;
  }
};

void BM_EncodeCodeword(benchmark::State& state) {
  Code code;
  CodewordCodec* codec = createCodewordCodec(&code.p, 1);
  std::vector<uint8_t> bits(codewordChannelBitCount(&code.p));
  uint64_t value = 0;
  for (auto _ : state) {
    encodeCodeword(codec, value++, bits.data());
    benchmark::DoNotOptimize(bits.data());
  }
  deleteCodewordCodec(codec);
}
BENCHMARK(BM_EncodeCodeword);

void BM_DecodeNoisyCodeword(benchmark::State& state) {
  Code code;
  CodewordCodec* codec = createCodewordCodec(&code.p, 1);
  std::vector<uint8_t> bits(codewordChannelBitCount(&code.p));
  encodeCodeword(codec, 0x123456789ull, bits.data());
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 40.0);
  std::vector<int8_t> soft(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) {
    double v = (bits[i] ? 50.0 : -50.0) + noise(rng);
    soft[i] = static_cast<int8_t>(v < -128 ? -128 : (v > 127 ? 127 : v));
  }
  CodewordDecodeResult result{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(decodeCodeword(codec, soft.data(), &result));
  }
  deleteCodewordCodec(codec);
}
BENCHMARK(BM_DecodeNoisyCodeword);

}  // namespace

BENCHMARK_MAIN();
