#include "core/decoder/convolutional_code.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/decoder/binary_code.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

ConvolutionalCodeParams params(int k, int l, std::vector<uint32_t> gens) {
  ConvolutionalCodeParams p{};
  p.constraintLength = k;
  p.wrapLength = l;
  p.generatorCount = static_cast<int32_t>(gens.size());
  for (size_t i = 0; i < gens.size(); ++i) p.generators[i] = gens[i];
  return p;
}

class Conv {
 public:
  Conv(const ConvolutionalCodeParams& p, int m, int n, int allocate = 1) : p_(p) {
    ConvCodewordSize size{m, n};
    ok_ = convInit(&c_, &p_, n > 0 ? &size : nullptr, allocate);
  }
  ~Conv() { convClose(&c_); }
  ConvolutionalCodec* get() { return &c_; }
  bool ok() const { return ok_ == 1; }

 private:
  ConvolutionalCodeParams p_;
  ConvolutionalCodec c_{};
  int ok_ = 0;
};

std::vector<uint8_t> hardSoft(const std::vector<uint8_t>& bits) {
  std::vector<uint8_t> soft(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) soft[i] = bits[i] ? 255 : 0;
  return soft;
}

struct MetricCase {
  int soft;
  int metric;
};

class ConvSoftMetricTable : public ::testing::TestWithParam<MetricCase> {};

TEST_P(ConvSoftMetricTable, RangeBoundaries) {
  EXPECT_EQ(convSoftMetric(GetParam().soft), GetParam().metric) << GetParam().soft;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ConvSoftMetricTable,
    ::testing::Values(MetricCase{0, 4}, MetricCase{90, 4}, MetricCase{91, 3},
                      MetricCase{108, 3}, MetricCase{109, 2}, MetricCase{118, 2},
                      MetricCase{119, 1}, MetricCase{125, 1}, MetricCase{126, 0},
                      MetricCase{130, 0}, MetricCase{131, -1}, MetricCase{135, -1},
                      MetricCase{136, -2}, MetricCase{160, -8}, MetricCase{161, -9},
                      MetricCase{179, -15}, MetricCase{180, -15}, MetricCase{181, -16},
                      MetricCase{193, -20}, MetricCase{194, -20}, MetricCase{195, -21},
                      MetricCase{204, -24}, MetricCase{205, -24}, MetricCase{206, -25},
                      MetricCase{215, -28}, MetricCase{216, -28}, MetricCase{217, -29},
                      MetricCase{226, -32}, MetricCase{227, -32}, MetricCase{228, -33},
                      MetricCase{237, -36}, MetricCase{238, -36}, MetricCase{239, -37},
                      MetricCase{248, -40}, MetricCase{249, -40}, MetricCase{250, -41},
                      MetricCase{252, -41}, MetricCase{253, -42}, MetricCase{254, -42},
                      MetricCase{255, -50}),
    [](const ::testing::TestParamInfo<MetricCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"soft", p.soft}});
    });

TEST(ConvSoftMetricTable, FallsMonotonically) {
  for (int s = 1; s < 256; ++s) EXPECT_LE(convSoftMetric(s), convSoftMetric(s - 1)) << s;
}

// K = 3, generators 111 and 101, one-bit symbols 1 0 1 1. Priming feeds the
// last three bits 0 1 1, so the register holds 011; then each bit gives
// (parity(111 & r), parity(101 & r)):
//   1 -> r = 111 -> 1 0;  0 -> r = 110 -> 0 1;
//   1 -> r = 101 -> 0 0;  1 -> r = 011 -> 0 1.
TEST(ConvEncode, HandWorkedTailBitingBlock) {
  Conv conv(params(3, 0, {7, 5}), 1, 4);
  ASSERT_TRUE(conv.ok());
  const uint8_t symbols[4] = {1, 0, 1, 1};
  uint8_t out[8];
  ASSERT_EQ(convEncode(conv.get(), symbols, 1, 4, out), 8);
  const uint8_t expected[8] = {1, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(expected, expected + 8));

  uint8_t decoded[4] = {9, 9, 9, 9};
  const std::vector<uint8_t> soft = hardSoft(std::vector<uint8_t>(out, out + 8));
  ASSERT_EQ(viterbiDecode(conv.get(), decoded, soft.data(), 8), 4);
  EXPECT_EQ(std::vector<uint8_t>(decoded, decoded + 4), std::vector<uint8_t>(symbols, symbols + 4));
}

TEST(ConvEncode, MultiBitSymbolsAreFedMostSignificantBitFirst) {
  // Generator 1 copies the input: the output is the symbols' bits, MSB first.
  Conv conv(params(2, 0, {1}), 0, 0);
  ASSERT_TRUE(conv.ok());
  const uint8_t symbols[2] = {0x6, 0x1};
  uint8_t out[6];
  ASSERT_EQ(convEncode(conv.get(), symbols, 3, 2, out), 6);
  const uint8_t expected[6] = {1, 1, 0, 0, 0, 1};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), std::vector<uint8_t>(expected, expected + 6));
}

TEST(ConvEncode, PrimingRepeatsABlockShorterThanTheRegister) {
  // K = 5 with one 2-bit symbol: priming feeds that symbol three times, so
  // the register before the block is 10 10 10 (newest bits 01010 -> 0x0A
  // masked to K bits), then 1, 0 enter. Generator 0x11 taps bits 0 and 4.
  Conv conv(params(5, 0, {0x11}), 0, 0);
  ASSERT_TRUE(conv.ok());
  const uint8_t symbol = 2;
  uint8_t out[2];
  ASSERT_EQ(convEncode(conv.get(), &symbol, 2, 1, out), 2);
  // After 1: register low bits 10101 -> parity(10001 & 10101) = 0.
  // After 0: register low bits 01010 -> parity(10001 & 01010) = 0.
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  // The same block as the decoder sees it: end state = start state.
  const uint8_t block[3] = {2, 2, 2};
  uint8_t longOut[6];
  ASSERT_EQ(convEncode(conv.get(), block, 2, 3, longOut), 6);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(longOut[2 * i], out[0]);
    EXPECT_EQ(longOut[2 * i + 1], out[1]);
  }
}

TEST(ViterbiDecode, AllTiesKeepTheLowerPathAndTheLowestState) {
  // Soft 128 scores 0 for both bits, so every comparison ties. Keeping the
  // path from state i on a tie and tracing back from state 0 gives zeros;
  // the other tie rules would output ones (from state 3 the traceback reads
  // 1 1 before reaching state 0, and upper-path decisions read ones).
  Conv conv(params(3, 0, {7, 5}), 1, 4);
  ASSERT_TRUE(conv.ok());
  const std::vector<uint8_t> soft(8, 128);
  uint8_t decoded[4] = {9, 9, 9, 9};
  ASSERT_EQ(viterbiDecode(conv.get(), decoded, soft.data(), 8), 4);
  for (uint8_t d : decoded) EXPECT_EQ(d, 0);
}

TEST(ViterbiDecode, AllConfidentZerosDecodeToZeroSymbols) {
  Conv conv(params(7, 6, {0x5B, 0x79}), 4, 15);
  ASSERT_TRUE(conv.ok());
  const std::vector<uint8_t> soft(15 * 4 * 2, 0);
  std::vector<uint8_t> decoded(15, 0xEE);
  ASSERT_EQ(viterbiDecode(conv.get(), decoded.data(), soft.data(), 120), 15);
  for (uint8_t d : decoded) EXPECT_EQ(d, 0);
}

TEST(ViterbiDecode, TooFewSoftValuesForOneSymbolWriteNothing) {
  Conv conv(params(7, 6, {0x5B, 0x79}), 4, 15);
  ASSERT_TRUE(conv.ok());
  const std::vector<uint8_t> soft(7, 0);
  std::vector<uint8_t> decoded(15, 0xEE);
  EXPECT_EQ(viterbiDecode(conv.get(), decoded.data(), soft.data(), 7), 0);
  EXPECT_EQ(viterbiDecode(conv.get(), decoded.data(), soft.data(), 0), 0);
  for (uint8_t d : decoded) EXPECT_EQ(d, 0xEE);
}

TEST(ViterbiDecode, RefusesMoreSymbolsThanItWasSizedFor) {
  Conv conv(params(7, 6, {0x5B, 0x79}), 4, 15);
  ASSERT_TRUE(conv.ok());
  const std::vector<uint8_t> soft(16 * 8, 0);
  std::vector<uint8_t> decoded(16, 0xEE);
  EXPECT_EQ(viterbiDecode(conv.get(), decoded.data(), soft.data(), 16 * 8), -1);
  EXPECT_EQ(decoded[0], 0xEE);
  EXPECT_EQ(viterbiDecode(nullptr, decoded.data(), soft.data(), 8), -1);
  Conv encodeOnly(params(7, 6, {0x5B, 0x79}), 4, 0);
  ASSERT_TRUE(encodeOnly.ok());
  EXPECT_EQ(viterbiDecode(encodeOnly.get(), decoded.data(), soft.data(), 8), -1);
}

struct RoundTripCase {
  int k, l, m, n;
  std::vector<uint32_t> gens;
};

class ConvRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Every start state: the block's last K-1 bits take every value.
TEST_P(ConvRoundTrip, EveryStartStateComesBackUnchanged) {
  const RoundTripCase& c = GetParam();
  Conv conv(params(c.k, c.l, c.gens), c.m, c.n);
  ASSERT_TRUE(conv.ok());
  const int g = static_cast<int>(c.gens.size());
  const int bits = c.m * c.n;
  std::mt19937 rng(c.k * 1000 + c.m);
  for (int state = 0; state < (1 << (c.k - 1)); ++state) {
    for (int rep = 0; rep < 3; ++rep) {
      std::vector<uint8_t> sym(c.n);
      for (auto& s : sym) s = static_cast<uint8_t>(rng() & ((1u << c.m) - 1));
      // Overwrite the last K-1 bits (MSB-first stream) with the state.
      for (int b = 0; b < c.k - 1 && b < bits; ++b) {
        const int pos = bits - 1 - b;
        const int shift = c.m - 1 - pos % c.m;
        const uint8_t bit = static_cast<uint8_t>((state >> b) & 1);
        sym[pos / c.m] = static_cast<uint8_t>((sym[pos / c.m] & ~(1 << shift)) | (bit << shift));
      }
      std::vector<uint8_t> coded(bits * g);
      ASSERT_EQ(convEncode(conv.get(), sym.data(), c.m, c.n, coded.data()), bits * g);
      const std::vector<uint8_t> soft = hardSoft(coded);
      std::vector<uint8_t> back(c.n, 0xEE);
      ASSERT_EQ(viterbiDecode(conv.get(), back.data(), soft.data(), bits * g), c.n);
      ASSERT_EQ(back, sym) << "state " << state;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ConvRoundTrip,
    ::testing::Values(RoundTripCase{3, 0, 1, 8, {7, 5}}, RoundTripCase{3, 4, 1, 16, {7, 5}},
                      RoundTripCase{5, 8, 2, 10, {0x19, 0x1F}},
                      RoundTripCase{7, 6, 4, 15, {0x5B, 0x79}},
                      RoundTripCase{7, 12, 5, 9, {0x5B, 0x79, 0x65}},
                      RoundTripCase{9, 16, 8, 6, {0x1AF, 0x11D}}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"k", p.k}, {"wrap", p.l}, {"g", static_cast<int64_t>(p.gens.size())}});
    });

TEST(ViterbiDecode, CorrectsScatteredSoftErrors) {
  Conv conv(params(7, 12, {0x5B, 0x79}), 4, 15);
  ASSERT_TRUE(conv.ok());
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<uint8_t> sym(15);
    for (auto& s : sym) s = static_cast<uint8_t>(rng() & 15);
    std::vector<uint8_t> coded(120);
    ASSERT_EQ(convEncode(conv.get(), sym.data(), 4, 15, coded.data()), 120);
    std::vector<uint8_t> soft = hardSoft(coded);
    // Flip three well-separated coded bits and blur the rest.
    for (int i = 0; i < 3; ++i) soft[10 + 40 * i + trial % 7] ^= 255;
    for (auto& s : soft) s = static_cast<uint8_t>(s == 255 ? 200 : (s == 0 ? 55 : s));
    std::vector<uint8_t> back(15);
    ASSERT_EQ(viterbiDecode(conv.get(), back.data(), soft.data(), 120), 15);
    ASSERT_EQ(back, sym) << trial;
  }
}

TEST(ConvInit, Bounds) {
  ConvolutionalCodec codec;
  const ConvCodewordSize size{1, 10};
  // A generator must tap both end bits to be decoded; encoding does not care.
  ConvolutionalCodeParams p = params(3, 0, {7, 3});
  EXPECT_EQ(convInit(&codec, &p, &size, 1), 0);
  EXPECT_EQ(convInit(&codec, &p, nullptr, 1), 1);
  convClose(&codec);
  // Generators wider than K, K out of range, no generators.
  p = params(3, 0, {0xF});
  EXPECT_EQ(convInit(&codec, &p, nullptr, 1), 0);
  p = params(1, 0, {1});
  EXPECT_EQ(convInit(&codec, &p, nullptr, 1), 0);
  p = params(17, 0, {0x10001});
  EXPECT_EQ(convInit(&codec, &p, &size, 1), 0);
  EXPECT_EQ(convInit(&codec, &p, nullptr, 1), 1);
  convClose(&codec);
  p = params(3, 0, {});
  EXPECT_EQ(convInit(&codec, &p, nullptr, 1), 0);
  EXPECT_EQ(convInit(&codec, nullptr, nullptr, 1), 0);
  EXPECT_EQ(convInit(nullptr, &p, nullptr, 1), 0);
  convClose(nullptr);
  // Path metrics: (T + K - 1) × G × 50 < 32768 with T = m·n + 2L.
  p = params(3, 0, {7, 5});
  const ConvCodewordSize fits{1, 325};  // (325 + 2) × 100 = 32700
  const ConvCodewordSize overflows{1, 326};
  EXPECT_EQ(convInit(&codec, &p, &fits, 1), 1);
  convClose(&codec);
  EXPECT_EQ(convInit(&codec, &p, &overflows, 1), 0);
  const ConvCodewordSize wideSymbols{9, 2};
  EXPECT_EQ(convInit(&codec, &p, &wideSymbols, 1), 0);
}

TEST(ConvScratch, SizesAndPlacement) {
  // 2^2 int16 = 8 bytes; T = 4·15 + 12 = 72, (T - L) × 2 words × 4 = 528;
  // two arrays of 64 int16 = 128 bytes each.
  Conv conv(params(7, 6, {0x5B, 0x79}), 4, 15, /*allocate=*/0);
  ASSERT_TRUE(conv.ok());
  EXPECT_EQ(conv.get()->decisionWords, 2);
  EXPECT_EQ(conv.get()->trellisSteps, 72);
  EXPECT_EQ(convScratch(conv.get(), nullptr), 8 + 528 + 256);
  std::vector<uint8_t> soft(120, 0);
  std::vector<uint8_t> out(15, 0xEE);
  EXPECT_EQ(viterbiDecode(conv.get(), out.data(), soft.data(), 120), -1);
  std::vector<uint32_t> pad((8 + 528 + 256) / 4);
  EXPECT_EQ(convScratch(conv.get(), pad.data()), 792);
  EXPECT_EQ(viterbiDecode(conv.get(), out.data(), soft.data(), 120), 15);
  Conv encodeOnly(params(7, 6, {0x5B, 0x79}), 4, 0);
  EXPECT_EQ(convScratch(encodeOnly.get(), nullptr), 0);
}

TEST(ConvInit, BranchLabelsPackTheFirstGeneratorHighest) {
  Conv conv(params(3, 0, {7, 5}), 1, 4);
  ASSERT_TRUE(conv.ok());
  // r = 2 (010): parity(111 & 010) = 1, parity(101 & 010) = 0 -> 0b10.
  EXPECT_EQ(conv.get()->branchLabels[2], 2);
  // r = 1 (001): 1 and 1 -> 0b11; r = 6 (110): 0 and 1 -> 0b01.
  EXPECT_EQ(conv.get()->branchLabels[1], 3);
  EXPECT_EQ(conv.get()->branchLabels[6], 1);
}

// ---- binary block code ----

// A (7, 4) Hamming code: rows are the code words of the information bits,
// columns the syndrome contribution of each code bit.
const uint64_t kRows[4] = {0x0B, 0x16, 0x2C, 0x58};
uint64_t columnOf(int j) {
  // Syndrome of code bit j: the (3-bit) remainder of x^j mod x^3 + x + 1.
  uint64_t r = 1;
  for (int i = 0; i < j; ++i) {
    r <<= 1;
    if (r & 8) r ^= 0xB;
  }
  return r;
}

TEST(BinaryBlockCode, EncodeXorsTheRowsOfTheSetBits) {
  uint8_t bits[7];
  const uint8_t data[4] = {1, 0, 1, 0};
  ASSERT_EQ(binaryBlockEncode(bits, data, 7, 4, kRows), 0);
  // 0x0B ^ 0x2C = 0x27 = 0100111 -> bits 0..6: 1 1 1 0 0 1 0.
  const uint8_t expected[7] = {1, 1, 1, 0, 0, 1, 0};
  EXPECT_EQ(std::vector<uint8_t>(bits, bits + 7), std::vector<uint8_t>(expected, expected + 7));
  // Information bits taken from the output buffer itself.
  uint8_t inPlace[7] = {0, 1, 0, 0, 9, 9, 9};
  ASSERT_EQ(binaryBlockEncode(inPlace, nullptr, 7, 4, kRows), 0);
  EXPECT_EQ(inPlace[1], 1);
  EXPECT_EQ(inPlace[2], 1);
  EXPECT_EQ(inPlace[4], 1);
  EXPECT_EQ(inPlace[0] + inPlace[3] + inPlace[5] + inPlace[6], 0);
  uint8_t zeros[5] = {7, 7, 7, 7, 7};
  ASSERT_EQ(binaryBlockEncode(zeros, data, 5, 0, nullptr), 0);
  for (uint8_t b : zeros) EXPECT_EQ(b, 0);
  EXPECT_EQ(binaryBlockEncode(bits, data, 65, 4, kRows), -1);
  EXPECT_EQ(binaryBlockEncode(bits, data, 7, 4, nullptr), -1);
}

TEST(BinaryBlockCode, SyndromeWithPuncturedPositions) {
  uint64_t cols[7];
  for (int j = 0; j < 7; ++j) cols[j] = columnOf(j);
  uint8_t word[7];
  for (int v = 0; v < 16; ++v) {
    const uint8_t data[4] = {static_cast<uint8_t>(v & 1), static_cast<uint8_t>((v >> 1) & 1),
                             static_cast<uint8_t>((v >> 2) & 1), static_cast<uint8_t>(v >> 3)};
    ASSERT_EQ(binaryBlockEncode(word, data, 7, 4, kRows), 0);
    EXPECT_EQ(binaryBlockDecode(word, 7, cols, 0, nullptr), 0) << v;
  }
  ASSERT_EQ(binaryBlockEncode(word, nullptr, 7, 0, nullptr), 0);
  word[3] = 1;  // one flipped bit: syndrome = column 3
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 0, nullptr), -1);
  const int32_t only3[1] = {3};
  // Position 3 is punctured: its bit is not read at all.
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 1, only3), 0);
  word[3] = 0;
  word[0] = 1;  // syndrome = column 0 = 001
  const int32_t p12[2] = {1, 2};  // columns 010 and 100: no subset gives 001
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 2, p12), -1);
  const int32_t p13[2] = {1, 3};  // column 1 ^ column 3 = 010 ^ 011 = 001
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 2, p13), 0);
  EXPECT_EQ(word[0], 1);  // nothing is changed
}

TEST(BinaryBlockCode, DecodeRejectsBadPuncturedLists) {
  uint64_t cols[7];
  for (int j = 0; j < 7; ++j) cols[j] = columnOf(j);
  const uint8_t word[7] = {0};
  const int32_t unsorted[2] = {3, 1};
  const int32_t outside[1] = {7};
  const int32_t negative[1] = {-1};
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 2, unsorted), -1);
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 1, outside), -1);
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 1, negative), -1);
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, 1, nullptr), -1);
  EXPECT_EQ(binaryBlockDecode(word, 7, cols, kMaxBinaryPunctured + 1, unsorted), -1);
  EXPECT_EQ(binaryBlockDecode(word, 0, cols, 0, nullptr), -1);
  EXPECT_EQ(binaryBlockDecode(nullptr, 7, cols, 0, nullptr), -1);
}

}  // namespace
}  // namespace tembrolexinsdk
