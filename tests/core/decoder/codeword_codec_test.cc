#include "core/decoder/codeword_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/decoder/binary_code.h"
#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/text_utils.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

// A codec parameter record with its arrays held by the test.
struct TestCode {
  std::string name;
  std::vector<uint64_t> rows, columns;
  std::vector<uint8_t> order;
  std::vector<int32_t> punctured, blocks;
  std::vector<uint16_t> table;
  CodewordCodecParams p{};

  // Points the record's arrays at the vectors (call after copying).
  CodewordCodecParams* params() {
    p.generatorRows = rows.empty() ? nullptr : rows.data();
    p.checkColumns = columns.empty() ? nullptr : columns.data();
    p.symbolOrder = order.empty() ? nullptr : order.data();
    p.puncturedPositions = punctured.empty() ? nullptr : punctured.data();
    p.puncturedCount = static_cast<int32_t>(punctured.size());
    p.convBlockLengths = blocks.empty() ? nullptr : blocks.data();
    p.convBlockCount = static_cast<int32_t>(blocks.size());
    p.interleaverTable = table.empty() ? nullptr : table.data();
    return &p;
  }
};

std::vector<uint8_t> scrambledOrder(int n, int seed) {
  std::vector<uint8_t> order(n);
  for (int i = 0; i < n; ++i) order[i] = static_cast<uint8_t>(i);
  std::mt19937 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  return order;
}

TestCode reedSolomonCode(std::string name, int m, int n, int k, int limit,
                         std::vector<int32_t> blocks, int kk, int l,
                         std::vector<uint32_t> gens, int rows) {
  TestCode t;
  t.name = std::move(name);
  t.p.bitsPerSymbol = m;
  t.p.codeSymbols = n;
  t.p.infoSymbols = k;
  t.p.errorLimit = limit;
  t.order = scrambledOrder(n, n * 31 + k);
  t.blocks = std::move(blocks);
  t.p.conv.constraintLength = kk;
  t.p.conv.wrapLength = l;
  t.p.conv.generatorCount = static_cast<int32_t>(gens.size());
  for (size_t i = 0; i < gens.size(); ++i) t.p.conv.generators[i] = gens[i];
  const int coded = n * m * static_cast<int>(gens.size());
  t.p.interleaverRows = rows;
  t.p.interleaverColumns = coded / rows;
  return t;
}

// A systematic binary code [I | P]: row i = bit i plus its parity pattern
// shifted above the k information bits; column j < k is P's column, column
// k + r the unit vector r.
TestCode binaryCode(int n, int k, std::vector<int32_t> punctured) {
  TestCode t;
  t.name = "binary";
  t.p.bitsPerSymbol = 1;
  t.p.codeSymbols = n;
  t.p.infoSymbols = k;
  t.p.errorLimit = 0;
  std::mt19937_64 rng(5);
  const uint64_t parityMask = (uint64_t{1} << (n - k)) - 1;
  t.columns.assign(n, 0);
  for (int i = 0; i < k; ++i) {
    const uint64_t pattern = (rng() & parityMask) | 1;
    t.rows.push_back((uint64_t{1} << i) | (pattern << k));
    t.columns[i] = pattern;
  }
  for (int r = 0; r < n - k; ++r) t.columns[k + r] = uint64_t{1} << r;
  t.punctured = std::move(punctured);
  t.order = scrambledOrder(n, 77);
  t.blocks = {n};
  t.p.conv.constraintLength = 5;
  t.p.conv.wrapLength = 10;
  t.p.conv.generatorCount = 3;
  t.p.conv.generators[0] = 0x19;
  t.p.conv.generators[1] = 0x1B;
  t.p.conv.generators[2] = 0x1F;
  t.p.interleaverRows = 3 * n / 4;
  t.p.interleaverColumns = 4;
  return t;
}

std::vector<TestCode> allCodes() {
  std::vector<TestCode> codes;
  codes.push_back(reedSolomonCode("rs15x9_one_block", 4, 15, 9, 3, {15}, 7, 12, {0x5B, 0x79}, 8));
  TestCode twoBlocks = reedSolomonCode("rs15x9_two_blocks_inverted", 4, 15, 9, 3, {7, 8}, 7, 8,
                                       {0x5B, 0x79}, 15);
  twoBlocks.p.invertParity = 1;
  codes.push_back(twoBlocks);
  codes.push_back(reedSolomonCode("rs12x8_full_64_bits", 8, 12, 8, 2, {4, 4, 4}, 5, 8,
                                  {0x19, 0x17}, 24));
  TestCode table = reedSolomonCode("rs7x3_table", 3, 7, 3, 2, {3, 4}, 3, 4, {7, 5}, 42);
  table.p.interleaverColumns = 1;
  table.table.resize(42);
  for (int r = 0; r < 42; ++r) table.table[r] = static_cast<uint16_t>((r * 11) % 42);
  codes.push_back(table);
  codes.push_back(binaryCode(20, 12, {3, 17}));
  return codes;
}

std::vector<int8_t> hardSoft(const std::vector<uint8_t>& bits, int8_t level = 100) {
  std::vector<int8_t> soft(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) soft[i] = bits[i] ? level : static_cast<int8_t>(-level);
  return soft;
}

// Reference encoder built from the block codes directly, with a hook that
// may alter the code symbols (code order) before they are permuted.
std::vector<uint8_t> referenceEncode(TestCode& t, uint64_t value,
                                     const std::function<void(std::vector<uint8_t>&)>& alter) {
  CodewordCodecParams* p = t.params();
  const int m = p->bitsPerSymbol, n = p->codeSymbols, k = p->infoSymbols;
  const int g = p->conv.generatorCount;
  std::vector<uint8_t> sym(n, 0);
  for (int i = 0; i < k; ++i) sym[i] = static_cast<uint8_t>((value >> (m * i)) & ((1u << m) - 1));
  if (m >= 2) {
    ReedSolomonCodec rs;
    EXPECT_EQ(reedSolomonInit(&rs, m, n, k, 0), 1);
    reedSolomonEncode(&rs, sym.data(), nullptr);
    reedSolomonClose(&rs);
  } else {
    binaryBlockEncode(sym.data(), nullptr, n, k, p->generatorRows);
  }
  if (p->invertParity) {
    for (int i = k; i < n; ++i) sym[i] ^= static_cast<uint8_t>((1u << m) - 1);
  }
  if (alter) alter(sym);
  std::vector<uint8_t> ordered(n);
  for (int i = 0; i < n; ++i) ordered[i] = sym[p->symbolOrder[i]];
  ConvolutionalCodec conv;
  EXPECT_EQ(convInit(&conv, &p->conv, nullptr, 0), 1);
  std::vector<uint8_t> coded(n * m * g);
  int offset = 0;
  for (int b = 0; b < p->convBlockCount; ++b) {
    convEncode(&conv, ordered.data() + offset, m, p->convBlockLengths[b],
               coded.data() + offset * m * g);
    offset += p->convBlockLengths[b];
  }
  convClose(&conv);
  const int rows = p->interleaverRows, cols = p->interleaverColumns;
  std::vector<uint8_t> channel(rows * cols, 0);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const int pos = p->interleaverTable ? p->interleaverTable[r] : r + rows * c;
      channel[pos] = coded[r * cols + c];
    }
  }
  return channel;
}

uint64_t valueMask(const CodewordCodecParams* p) {
  const int bits = p->bitsPerSymbol * p->infoSymbols;
  return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
}

class CodewordCodecByCode : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    code_ = allCodes()[GetParam()];
    codec_ = createCodewordCodec(code_.params(), 1);
    ASSERT_NE(codec_, nullptr) << code_.name;
  }
  void TearDown() override { deleteCodewordCodec(codec_); }
  TestCode code_;
  CodewordCodec* codec_ = nullptr;
};

TEST_P(CodewordCodecByCode, RoundTripsTenThousandRandomValues) {
  const CodewordCodecParams* p = code_.params();
  const int total = codewordChannelBitCount(p);
  std::vector<uint8_t> bits(total);
  std::mt19937_64 rng(GetParam() + 1);
  for (int trial = 0; trial < 10000; ++trial) {
    const uint64_t value = rng() & valueMask(p);
    ASSERT_EQ(encodeCodeword(codec_, value, bits.data()), total);
    CodewordDecodeResult result{};
    const std::vector<int8_t> soft = hardSoft(bits, static_cast<int8_t>(20 + trial % 100));
    ASSERT_EQ(decodeCodeword(codec_, soft.data(), &result), value) << code_.name;
    ASSERT_EQ(result.value, value);
    ASSERT_EQ(result.errors, 0);
    ASSERT_EQ(result.errorMask, 0u);
  }
}

TEST_P(CodewordCodecByCode, EncoderFollowsTheLayerChainAndInterleaverRule) {
  const CodewordCodecParams* p = code_.params();
  std::vector<uint8_t> bits(codewordChannelBitCount(p));
  std::mt19937_64 rng(42);
  for (int trial = 0; trial < 200; ++trial) {
    const uint64_t value = rng();
    ASSERT_EQ(encodeCodeword(codec_, value, bits.data()), static_cast<int>(bits.size()));
    EXPECT_EQ(bits, referenceEncode(code_, value & valueMask(p), nullptr)) << code_.name;
  }
}

TEST_P(CodewordCodecByCode, SoftValuesSaturateAtSixtyFour) {
  const CodewordCodecParams* p = code_.params();
  std::vector<uint8_t> bits(codewordChannelBitCount(p));
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 60.0);
  for (int trial = 0; trial < 300; ++trial) {
    ASSERT_EQ(encodeCodeword(codec_, rng() & valueMask(p), bits.data()),
              static_cast<int>(bits.size()));
    std::vector<int8_t> wide(bits.size()), clamped(bits.size());
    for (size_t i = 0; i < bits.size(); ++i) {
      double v = (bits[i] ? 40.0 : -40.0) + noise(rng);
      v = v < -128 ? -128 : (v > 127 ? 127 : v);
      wide[i] = static_cast<int8_t>(v);
      clamped[i] = static_cast<int8_t>(wide[i] < -64 ? -64 : (wide[i] > 64 ? 64 : wide[i]));
    }
    CodewordDecodeResult a{}, b{};
    decodeCodeword(codec_, wide.data(), &a);
    decodeCodeword(codec_, clamped.data(), &b);
    ASSERT_EQ(a.value, b.value);
    ASSERT_EQ(a.errors, b.errors);
    ASSERT_EQ(a.errorMask, b.errorMask);
  }
}

TEST_P(CodewordCodecByCode, ScratchPadGivesTheSameResults) {
  CodewordCodec* padded = createCodewordCodec(code_.params(), 0);
  ASSERT_NE(padded, nullptr);
  std::vector<uint8_t> bits(codewordChannelBitCount(code_.params()));
  EXPECT_EQ(encodeCodeword(padded, 1, bits.data()), -1);  // nothing placed yet
  const int32_t size = assignCodecScratchPad(padded, nullptr);
  std::vector<uint32_t> pad((size + 3) / 4 + 1, 0xDEADBEEF);
  EXPECT_EQ(assignCodecScratchPad(padded, pad.data()), size);
  std::mt19937_64 rng(9);
  for (int trial = 0; trial < 500; ++trial) {
    const uint64_t value = rng() & valueMask(code_.params());
    std::vector<uint8_t> own(bits.size());
    ASSERT_EQ(encodeCodeword(codec_, value, own.data()), static_cast<int>(own.size()));
    ASSERT_EQ(encodeCodeword(padded, value, bits.data()), static_cast<int>(bits.size()));
    ASSERT_EQ(bits, own);
    std::vector<int8_t> soft = hardSoft(bits);
    soft[trial % soft.size()] = static_cast<int8_t>(-soft[trial % soft.size()]);
    CodewordDecodeResult a{}, b{};
    decodeCodeword(codec_, soft.data(), &a);
    decodeCodeword(padded, soft.data(), &b);
    ASSERT_EQ(a.value, b.value);
    ASSERT_EQ(a.value, value);
    ASSERT_EQ(a.errors, b.errors);
    ASSERT_EQ(a.errorMask, b.errorMask);
  }
  EXPECT_EQ(pad.back(), 0xDEADBEEF);  // nothing written past the pad
  deleteCodewordCodec(padded);
}

INSTANTIATE_TEST_SUITE_P(Codes, CodewordCodecByCode, ::testing::Range(0, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return allCodes()[info.param].name;
                         });

// The shared test configurations: every scheme's codec round-trips.
class CodewordCodecByConfiguration : public ::testing::TestWithParam<const char*> {};

TEST_P(CodewordCodecByConfiguration, RoundTripsTenThousandRandomValues) {
  const std::string path = std::string(TL_TEST_DATA_DIR) + "/" + GetParam();
  MessageParams* messageParams = nullptr;
  SchemeConfig* list = readSchemeConfig(path.c_str(), &messageParams);
  ASSERT_NE(list, nullptr) << path << ": " << tembrolexinErrorText();
  int schemes = 0;
  for (SchemeConfig* scheme = list; scheme != nullptr; scheme = scheme->next, ++schemes) {
    CodewordCodec* codec = createCodewordCodec(&scheme->codec, 1);
    ASSERT_NE(codec, nullptr) << path << " scheme " << scheme->scheme;
    const int total = codewordChannelBitCount(&scheme->codec);
    std::vector<uint8_t> bits(total);
    std::mt19937_64 rng(scheme->scheme);
    for (int trial = 0; trial < 10000; ++trial) {
      const uint64_t value = rng() & valueMask(&scheme->codec);
      ASSERT_EQ(encodeCodeword(codec, value, bits.data()), total);
      CodewordDecodeResult result{};
      ASSERT_EQ(decodeCodeword(codec, hardSoft(bits).data(), &result), value) << path;
      ASSERT_EQ(result.errors, 0);
      ASSERT_EQ(result.errorMask, 0u);
    }
    deleteCodewordCodec(codec);
  }
  EXPECT_GT(schemes, 0);
  freeSchemeConfigList(list);
  freeMessageParams(messageParams);
}

INSTANTIATE_TEST_SUITE_P(SharedData, CodewordCodecByConfiguration,
                         ::testing::Values("scheme_t1_vt.cfg", "scheme_t1_vt_aligned.cfg",
                                           "scheme_t2_vtw.cfg", "scheme_t3_ch8.cfg",
                                           "scheme_t4_cs4.cfg", "scheme_t5_vc.cfg",
                                           "scheme_t5_vc_punctured.cfg",
                                           "scheme_mixed_8k_16k.cfg", "scheme_ch4_plain.cfg"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      const auto& p = info.param;
      return tltest::textName(p);
    });

TEST(CodewordCodecScratch, LayoutSize) {
  TestCode code = allCodes()[0];  // m 4, n 15, k 9, K 7, G 2, L 12
  CodewordCodec* codec = createCodewordCodec(code.params(), 0);
  ASSERT_NE(codec, nullptr);
  // Reed–Solomon: 6 × 28 + 2 × 60 + 16 = 304. Convolutional: 8 +
  // (84 - 12) × 2 × 4 + 2 × 128 = 840. Buffers: max(2 × 16, 120) = 120.
  EXPECT_EQ(assignCodecScratchPad(codec, nullptr), 840 + 120);
  deleteCodewordCodec(codec);
  EXPECT_EQ(assignCodecScratchPad(nullptr, nullptr), 0);
}

// Burst window: n 15, k 9, error limit 3; channel symbol i carries code
// symbol order[i].
struct WindowCase {
  std::vector<int> channelSymbols;
  int limit;
  int errors;
};

class CodewordCodecWindow : public ::testing::TestWithParam<WindowCase> {};

// "at5_6_7_limit3": the corrupted channel symbols and the window limit.
std::string windowName(const WindowCase& c) {
  std::string name = "at";
  for (size_t i = 0; i < c.channelSymbols.size(); ++i) {
    name += (i ? "_" : "") + std::to_string(c.channelSymbols[i]);
  }
  return name + "_limit" + std::to_string(c.limit);
}

TEST_P(CodewordCodecWindow, CorrectedSymbolsMustFitOneCyclicWindow) {
  TestCode code = allCodes()[0];
  code.p.errorLimit = GetParam().limit;
  CodewordCodec* codec = createCodewordCodec(code.params(), 1);
  ASSERT_NE(codec, nullptr);
  const uint64_t value = 0x1A2B3C4D5ull & valueMask(code.params());
  uint32_t expectMask = 0;
  for (int ch : GetParam().channelSymbols) expectMask |= 1u << code.order[ch];
  const std::vector<uint8_t> bits = referenceEncode(code, value, [&](std::vector<uint8_t>& s) {
    for (int ch : GetParam().channelSymbols) s[code.order[ch]] ^= 0x9;
  });
  CodewordDecodeResult result{};
  decodeCodeword(codec, hardSoft(bits).data(), &result);
  EXPECT_EQ(result.errors, GetParam().errors);
  EXPECT_EQ(result.errorMask, expectMask);
  if (GetParam().errors >= 0) {
    EXPECT_EQ(result.value, value);
  }
  deleteCodewordCodec(codec);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CodewordCodecWindow,
    ::testing::Values(WindowCase{{2, 4}, 3, 2},       // inside one window of 3
                      WindowCase{{2, 10}, 3, -1},     // correctable but spread out
                      WindowCase{{14, 0}, 3, 2},      // the window wraps
                      WindowCase{{13, 0}, 3, 2},      // 13, 14, 0
                      WindowCase{{12, 0}, 3, -1},     // 12 … 0 spans four
                      WindowCase{{5, 6, 7}, 3, 3},    // a full window
                      WindowCase{{5, 6, 8}, 3, -1},   // three spread over four
                      WindowCase{{5, 6, 7}, 2, -1},   // more than the limit
                      WindowCase{{3, 9}, 15, 2}),
    [](const ::testing::TestParamInfo<WindowCase>& info) {
      const auto& p = info.param;
      return windowName(p);
    });    // a window of all symbols

TEST(CodewordCodecWindow, OneCorruptedSymbolAnywhereIsCorrected) {
  for (int limit : {1, 3}) {
    TestCode code = allCodes()[1];  // two blocks, parity inverted
    code.p.errorLimit = limit;
    CodewordCodec* codec = createCodewordCodec(code.params(), 1);
    ASSERT_NE(codec, nullptr);
    for (int ch = 0; ch < 15; ++ch) {
      const uint64_t value = 0x5A5A5A5A5ull & valueMask(code.params());
      const std::vector<uint8_t> bits = referenceEncode(
          code, value, [&](std::vector<uint8_t>& s) { s[code.order[ch]] ^= 0xF; });
      CodewordDecodeResult result{};
      EXPECT_EQ(decodeCodeword(codec, hardSoft(bits).data(), &result), value);
      EXPECT_EQ(result.errors, 1) << ch;
      EXPECT_EQ(result.errorMask, 1u << code.order[ch]);
    }
    deleteCodewordCodec(codec);
  }
}

TEST(CodewordCodecWindow, ZeroLimitRejectsEvenOneCorrection) {
  TestCode code = allCodes()[0];
  code.p.errorLimit = 0;
  CodewordCodec* codec = createCodewordCodec(code.params(), 1);
  ASSERT_NE(codec, nullptr);
  const std::vector<uint8_t> bits =
      referenceEncode(code, 77, [&](std::vector<uint8_t>& s) { s[4] ^= 1; });
  CodewordDecodeResult result{};
  decodeCodeword(codec, hardSoft(bits).data(), &result);
  EXPECT_EQ(result.errors, -1);
  EXPECT_EQ(result.errorMask, 1u << 4);
  EXPECT_EQ(result.value, 77u);
  deleteCodewordCodec(codec);
}

TEST(CodewordCodecDecode, UncorrectableWordHasAllMaskBits) {
  TestCode code = allCodes()[0];
  CodewordCodec* codec = createCodewordCodec(code.params(), 1);
  ASSERT_NE(codec, nullptr);
  std::mt19937 rng(11);
  int rejectedByCode = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const std::vector<uint8_t> bits = referenceEncode(code, trial, [&](std::vector<uint8_t>& s) {
      for (int i = 0; i < 6; ++i) s[(trial + 2 * i) % 15] ^= static_cast<uint8_t>(1 + rng() % 15);
    });
    CodewordDecodeResult result{};
    decodeCodeword(codec, hardSoft(bits).data(), &result);
    if (result.errorMask == 0xFFFFFFFFu) {
      EXPECT_EQ(result.errors, -1);
      ++rejectedByCode;
    } else if (result.errors == -1) {
      // Rejected by the error limit or the window: the decoder's own mask.
      EXPECT_GE(std::popcount(result.errorMask), 2);
    }
  }
  EXPECT_GT(rejectedByCode, 100);
  deleteCodewordCodec(codec);
}

TEST(CodewordCodecParity, InvertedParityMakesZeroVisible) {
  TestCode plain = allCodes()[0];
  TestCode inverted = allCodes()[0];
  inverted.p.invertParity = 1;
  CodewordCodec* a = createCodewordCodec(plain.params(), 1);
  CodewordCodec* b = createCodewordCodec(inverted.params(), 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  std::vector<uint8_t> bitsA(120), bitsB(120);
  ASSERT_EQ(encodeCodeword(a, 0, bitsA.data()), 120);
  ASSERT_EQ(encodeCodeword(b, 0, bitsB.data()), 120);
  EXPECT_EQ(std::count(bitsA.begin(), bitsA.end(), 1), 0);
  EXPECT_GT(std::count(bitsB.begin(), bitsB.end(), 1), 0);
  // The inverted stream is the plain stream of a word whose parity symbols
  // are 15 (the reference encoder inverts, then re-encodes).
  EXPECT_EQ(bitsB, referenceEncode(inverted, 0, nullptr));
  CodewordDecodeResult result{};
  EXPECT_EQ(decodeCodeword(b, hardSoft(bitsB).data(), &result), 0u);
  EXPECT_EQ(result.errors, 0);
  // Read by the codec that does not invert, every parity symbol is wrong.
  decodeCodeword(a, hardSoft(bitsB).data(), &result);
  EXPECT_EQ(result.errors, -1);
  deleteCodewordCodec(a);
  deleteCodewordCodec(b);
}

TEST(CodewordCodecBinary, InconsistentSyndromeRejectsAndKeepsTheBits) {
  TestCode code = allCodes()[4];  // n 20, k 12, punctured 3 and 17
  CodewordCodec* codec = createCodewordCodec(code.params(), 1);
  ASSERT_NE(codec, nullptr);
  const uint64_t value = 0xA5C;
  // An information bit flipped after encoding: no punctured column explains
  // it (columns 3 and 17 and their sum differ from column 5's pattern).
  std::vector<uint8_t> bits = referenceEncode(code, value, [](std::vector<uint8_t>& s) { s[5] ^= 1; });
  CodewordDecodeResult result{};
  const uint64_t got = decodeCodeword(codec, hardSoft(bits).data(), &result);
  const uint64_t cols = code.columns[5];
  if (cols != code.columns[3] && cols != code.columns[17] &&
      cols != (code.columns[3] ^ code.columns[17])) {
    EXPECT_EQ(result.errors, -1);
  }
  EXPECT_EQ(got, value ^ (1u << 5));
  EXPECT_EQ(result.errorMask, 0u);
  // A punctured position is never read: flipping it changes nothing.
  bits = referenceEncode(code, value, [](std::vector<uint8_t>& s) { s[17] ^= 1; });
  EXPECT_EQ(decodeCodeword(codec, hardSoft(bits).data(), &result), value);
  EXPECT_EQ(result.errors, 0);
  deleteCodewordCodec(codec);
}

TEST(CodewordCodecCreate, RejectsInconsistentParameters) {
  const std::vector<std::pair<const char*, std::function<void(TestCode&)>>> mutations = {
      {"m 0", [](TestCode& t) { t.p.bitsPerSymbol = 0; }},
      {"m 9", [](TestCode& t) { t.p.bitsPerSymbol = 9; }},
      {"n 32", [](TestCode& t) { t.p.codeSymbols = 32; }},
      {"k 0", [](TestCode& t) { t.p.infoSymbols = 0; }},
      {"k > n", [](TestCode& t) { t.p.infoSymbols = 16; }},
      {"order repeats", [](TestCode& t) { t.order[1] = t.order[0]; }},
      {"order out of range", [](TestCode& t) { t.order[0] = 15; }},
      {"no order", [](TestCode& t) { t.order.clear(); }},
      {"blocks short", [](TestCode& t) { t.blocks = {14}; }},
      {"block zero", [](TestCode& t) { t.blocks = {15, 0}; }},
      {"no blocks", [](TestCode& t) { t.blocks.clear(); }},
      {"interleaver size", [](TestCode& t) { t.p.interleaverRows = 7; }},
      {"interleaver rows 0", [](TestCode& t) { t.p.interleaverRows = 0; }},
      {"table entry", [](TestCode& t) {
         t.table.assign(8, 0);
         t.table[3] = 120;
       }},
      {"generator count", [](TestCode& t) { t.p.conv.generatorCount = 0; }},
      {"generator end bits", [](TestCode& t) { t.p.conv.generators[0] = 0x5A; }},
  };
  for (const auto& [what, mutate] : mutations) {
    TestCode code = allCodes()[0];
    mutate(code);
    EXPECT_EQ(createCodewordCodec(code.params(), 1), nullptr) << what;
  }
  TestCode wide = allCodes()[0];
  wide.p.infoSymbols = 15;  // 60 bits still fit
  CodewordCodec* ok = createCodewordCodec(wide.params(), 1);
  EXPECT_NE(ok, nullptr);
  deleteCodewordCodec(ok);
  TestCode tooWide = allCodes()[2];  // m 8, n 12
  tooWide.p.infoSymbols = 9;         // 72 bits
  EXPECT_EQ(createCodewordCodec(tooWide.params(), 1), nullptr);
  TestCode binary = allCodes()[4];
  binary.columns.clear();
  EXPECT_EQ(createCodewordCodec(binary.params(), 1), nullptr);
  binary = allCodes()[4];
  binary.punctured = {17, 3};
  EXPECT_EQ(createCodewordCodec(binary.params(), 1), nullptr);
  EXPECT_EQ(createCodewordCodec(nullptr, 1), nullptr);
  deleteCodewordCodec(nullptr);
}

// Each inner-code block is its own trellis: the 16-bit metric bound holds
// per block ((8·16 + 2·24 + 6)·3·50 = 27300), although one trellis over all
// 31 symbols would exceed it ((8·31 + 48 + 6)·150 = 45300).
TEST(CodewordCodecCreate, MetricBoundIsPerBlock) {
  TestCode code =
      reedSolomonCode("rs31x8_two_blocks", 8, 31, 8, 3, {16, 15}, 7, 24, {0x5B, 0x79, 0x65}, 24);
  CodewordCodec* codec = createCodewordCodec(code.params(), 1);
  ASSERT_NE(codec, nullptr);
  std::vector<uint8_t> bits(codewordChannelBitCount(code.params()));
  ASSERT_EQ(bits.size(), 744u);
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const uint64_t value = rng();
    ASSERT_EQ(encodeCodeword(codec, value, bits.data()), 744);
    ASSERT_EQ(bits, referenceEncode(code, value, nullptr));
    std::vector<int8_t> soft = hardSoft(bits);
    soft[trial % soft.size()] = static_cast<int8_t>(-soft[trial % soft.size()]);
    CodewordDecodeResult result{};
    ASSERT_EQ(decodeCodeword(codec, soft.data(), &result), value);
    ASSERT_EQ(result.errors, 0);
  }
  deleteCodewordCodec(codec);
  code.blocks = {31};  // one trellis of 302 steps: refused
  EXPECT_EQ(createCodewordCodec(code.params(), 1), nullptr);
}

TEST(CodewordCodecDecode, NullArgumentsGiveARejectedResult) {
  TestCode code = allCodes()[0];
  CodewordCodec* codec = createCodewordCodec(code.params(), 1);
  ASSERT_NE(codec, nullptr);
  CodewordDecodeResult result{123, 5, 0};
  EXPECT_EQ(decodeCodeword(nullptr, nullptr, &result), 0u);
  EXPECT_EQ(result.errors, -1);
  EXPECT_EQ(result.errorMask, 0xFFFFFFFFu);
  EXPECT_EQ(decodeCodeword(codec, nullptr, &result), 0u);
  EXPECT_EQ(result.errors, -1);
  std::vector<uint8_t> bits(120);
  ASSERT_EQ(encodeCodeword(codec, 321, bits.data()), 120);
  EXPECT_EQ(decodeCodeword(codec, hardSoft(bits).data(), nullptr), 321u);
  EXPECT_EQ(encodeCodeword(codec, 1, nullptr), -1);
  EXPECT_EQ(encodeCodeword(nullptr, 1, bits.data()), -1);
  deleteCodewordCodec(codec);
}

}  // namespace
}  // namespace tembrolexinsdk
