#include "core/decoder/decoder_channel.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/text_utils.h"
#include "tools/signal/signal_generator.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string dataFile(const std::string& name) {
  return std::string(TL_TEST_DATA_DIR) + "/" + name;
}

// A scheme list read from a text, converted to form 2 as the library does.
struct Schemes {
  SchemeConfig* list = nullptr;
  MessageParams* params = nullptr;
  explicit Schemes(const std::string& text) {
    list = parseSchemeConfigText(text.data(), static_cast<int32_t>(text.size()), &params);
    EXPECT_NE(list, nullptr) << tembrolexinErrorText();
    convertSchemeConfigUnits(list, 2);
  }
  ~Schemes() {
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
};

struct ChannelDeleter {
  void operator()(DecoderChannel* c) const { deleteDecoderChannel(c); }
};
using ChannelPtr = std::unique_ptr<DecoderChannel, ChannelDeleter>;
struct NormaliserDeleter {
  void operator()(BlockNormaliser* n) const { deleteBlockNormaliser(n); }
};
using NormaliserPtr = std::unique_ptr<BlockNormaliser, NormaliserDeleter>;

TEST(DecoderChannel, RateMustMatchTheScheme) {
  Schemes t2(readText(dataFile("scheme_t2_vtw.cfg")));
  ChannelPtr ok(createDecoderChannel(t2.list, 16000, 1));
  EXPECT_NE(ok, nullptr) << tembrolexinErrorText();
  tembrolexinSetErrorText("untouched");
  ChannelPtr wrong(createDecoderChannel(t2.list, 8000, 1));
  EXPECT_EQ(wrong, nullptr);
  EXPECT_STREQ(tembrolexinErrorText(),
               "Cannot create the decoder channel of scheme 18: rate 8000 Hz does not match rate "
               "code 16");
  EXPECT_EQ(createDecoderChannel(nullptr, 16000, 1), nullptr);
  deleteDecoderChannel(nullptr);
}

TEST(DecoderChannel, RateCodes) {
  const int32_t rows[][2] = {{22, 22050}, {44, 44100}, {16, 16000}, {8, 8000}, {48, 48000}};
  for (const auto& r : rows) {
    EXPECT_EQ(rateCodeToHz(r[0]), r[1]);
    EXPECT_EQ(rateCodeToHertz(r[0]), r[1]);
  }
}

// A channel that cannot be built always says why.
TEST(DecoderChannel, RefusedSubBandRateLeavesAnErrorText) {
  // The configuration reader refuses this layout; a record changed after
  // reading reaches the channel's own check.
  Schemes s(readText(dataFile("scheme_t2_vtw.cfg")));
  ASSERT_NE(s.list, nullptr);
  s.list->rateCode = 48;
  tembrolexinSetErrorText("untouched");
  EXPECT_EQ(createDecoderChannel(s.list, 48000, 1), nullptr);
  EXPECT_EQ(std::string(tembrolexinErrorText()).rfind("Cannot create the decoder channel of scheme 18", 0),
            0u)
      << tembrolexinErrorText();
}

// Headroom of a period's peak: 13 for silence, 12 - floor(log2(peak)) below
// 4096, 0 from 4096 up (one period of four samples, no smoothing).
TEST(BlockNormaliser, ShiftFollowsThePeak) {
  const struct {
    int16_t peak;
    int16_t shift;
  } rows[] = {{0, 13},    {1, 12},    {2, 11},     {3, 11},    {2047, 2},
              {2048, 1},  {4095, 1},  {4096, 0},   {32767, 0}, {-32768, 0},
              {-1, 12},   {-4096, 0}};
  for (const auto& r : rows) {
    NormaliserPtr n(createBlockNormaliser(4, 1));
    ASSERT_NE(n, nullptr);
    int16_t block[4] = {0, r.peak, 0, 0};
    blockNormalise(n.get(), block, 4, 1);
    EXPECT_EQ(n->shift, r.shift) << r.peak;
    EXPECT_EQ(n->peak, 0);
    EXPECT_EQ(n->counter, 0);
  }
  EXPECT_EQ(createBlockNormaliser(0, 1), nullptr);
  EXPECT_EQ(createBlockNormaliser(4, 0), nullptr);
}

TEST(BlockNormaliser, SilenceReachesShiftThirteenAfterTheAverageFills) {
  // One band at 16 kHz: period 4096 samples, 16 periods averaged.
  NormaliserPtr n(createBlockNormaliser(16 * 256, 16));
  std::vector<int16_t> silence(4096, 0);
  for (int period = 1; period <= 16; ++period) {
    blockNormalise(n.get(), silence.data(), 4096, 1);
    // 13 * period / 16, truncated.
    EXPECT_EQ(n->shift, 13 * period / 16) << period;
  }
  EXPECT_EQ(n->shift, 13);
  NormaliserPtr loud(createBlockNormaliser(16 * 256, 16));
  std::vector<int16_t> full(4096);
  for (size_t i = 0; i < full.size(); ++i) full[i] = i % 2 ? 32767 : -32768;
  for (int period = 0; period < 20; ++period) blockNormalise(loud.get(), full.data(), 4096, 1);
  EXPECT_EQ(loud->shift, 0);
}

TEST(BlockNormaliser, GainSaturatesInsteadOfWrapping) {
  NormaliserPtr n(createBlockNormaliser(8, 1));
  int16_t quiet[8] = {2000, 0, 0, 0, 0, 0, 0, 0};  // headroom 12 - 10 = 2
  blockNormalise(n.get(), quiet, 8, 1);
  ASSERT_EQ(n->shift, 2);
  // 32767 >> 2 = 8191 is the largest magnitude that still fits.
  int16_t block[6] = {20000, -20000, 8191, -8191, 8192, -8192};
  blockNormalise(n.get(), block, 6, 1);
  EXPECT_EQ(block[0], 32767);
  EXPECT_EQ(block[1], -32767);
  EXPECT_EQ(block[2], 32764);
  EXPECT_EQ(block[3], -32764);
  EXPECT_EQ(block[4], 32767);
  EXPECT_EQ(block[5], -32767);
}

TEST(BlockNormaliser, GainChangesAtThePeriodEndWithinACall) {
  // Period 4, no averaging. The first period (peak 1000: headroom 12 - 9)
  // passes unscaled; the second is scaled by 8 and its peak 4 gives a
  // headroom of 10 for the rest. Fed as 3 + 7 samples, so the period ends
  // inside the second call.
  NormaliserPtr n(createBlockNormaliser(4, 1));
  int16_t block[10] = {1000, 0, 0, 0, 1, 2, 3, 4, 5, -6};
  blockNormalise(n.get(), block, 3, 1);
  blockNormalise(n.get(), block + 3, 7, 1);
  const int16_t want[10] = {1000, 0, 0, 0, 8, 16, 24, 32, 5120, -6144};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(block[i], want[i]) << i;
  EXPECT_EQ(n->shift, 10);
  EXPECT_EQ(n->counter, 2);
  EXPECT_EQ(n->peak, 6);
}

TEST(BlockNormaliser, TouchesOnlyItsBand) {
  NormaliserPtr n(createBlockNormaliser(4, 1));
  int16_t quiet[4] = {1000, 0, 0, 0};  // headroom 3
  blockNormalise(n.get(), quiet, 4, 1);
  int16_t pairs[6] = {1, 100, 2, 200, -3, 300};
  blockNormalise(n.get(), pairs, 3, 2);
  EXPECT_EQ(pairs[0], 8);
  EXPECT_EQ(pairs[1], 100);
  EXPECT_EQ(pairs[2], 16);
  EXPECT_EQ(pairs[3], 200);
  EXPECT_EQ(pairs[4], -24);
  EXPECT_EQ(pairs[5], 300);

  // A longer stretch of one band in two: the first period passes unscaled,
  // the rest by 8 (headroom 3 for a peak of 1000); the other band untouched.
  NormaliserPtr m(createBlockNormaliser(4, 1));
  std::vector<int16_t> bands(2 * 600);
  for (size_t i = 0; i < bands.size(); ++i) bands[i] = i % 2 ? 7 : 1000;
  blockNormalise(m.get(), bands.data(), 600, 2);
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(bands[2 * i], i < 4 ? 1000 : 8000) << i;
    ASSERT_EQ(bands[2 * i + 1], 7) << i;
  }
}

TEST(DecoderChannel, HalfAPairPassesNoDecisionPoint) {
  Schemes t2(readText(dataFile("scheme_t2_vtw.cfg")));
  ChannelPtr ch(createDecoderChannel(t2.list, 16000, 1));
  ASSERT_NE(ch, nullptr);
  int16_t one = 1234;
  PerformanceData d;
  EXPECT_EQ(processDecoderChannel(ch.get(), &one, 1, &d), -1);
  EXPECT_EQ(ch->frameCutter->fill, 1);
  EXPECT_EQ(d.msg, -1);
  EXPECT_EQ(d.syncState, -1);
  EXPECT_EQ(d.sigScheme, -1);
  EXPECT_EQ(d.sigConfidence, 0);
  EXPECT_EQ(d.msgConfidence, 0);
  EXPECT_EQ(ch->resultHistory->clock, 0);
  // The held sample pairs with the next block's first.
  int16_t next = 1;
  processDecoderChannel(ch.get(), &next, 1, &d);
  EXPECT_EQ(ch->frameCutter->fill, 0);
  EXPECT_EQ(ch->resultHistory->clock, 1);
}

// Audio rendered for T4 (position order 0 = identity) decoded by a copy of
// T4 that lists three orders, the identity last: the word comes from order
// 2, so its scheme id carries 2 * 256.
TEST(DecoderChannel, WordFromTheThirdPositionOrder) {
  const std::string original = readText(dataFile("scheme_t4_cs4.cfg"));
  std::string reordered = original;
  const std::string orders = "<order>0 1 2 3</order>\n      <order>1 0 3 2</order>";
  const size_t at = reordered.find(orders);
  ASSERT_NE(at, std::string::npos);
  reordered.replace(at, orders.size(),
                    "<order>1 0 3 2</order><order>2 3 0 1</order><order>0 1 2 3</order>");
  Schemes render(original);
  Schemes decodeWith(reordered);
  ASSERT_EQ(decodeWith.list->positionOrderCount, 3);
  const int64_t word = createHeartBeat2CodeWord(7, 1900123);
  tltest::GeneratorOptions options;
  options.leadIn = 3000;
  options.tail = 4096;
  tltest::GeneratedSignal signal = tltest::generateSignal(*render.list, {word}, options);
  ChannelPtr ch(createDecoderChannel(decodeWith.list, 16000, 1));
  ASSERT_NE(ch, nullptr);
  bool found = false;
  for (size_t i = 0; i < signal.samples.size(); i += 1024) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(1024, signal.samples.size() - i));
    PerformanceData d;
    if (processDecoderChannel(ch.get(), signal.samples.data() + i, n, &d) == word) {
      EXPECT_EQ(d.msgScheme, 16 + 512);
      EXPECT_EQ(d.nFecErrors, 0);
      found = true;
    }
  }
  EXPECT_TRUE(found);
}

// A one-band bank only carries the band's sign: the channel keeps a sign of
// -1 (the band's soft symbols come out negated) instead of resetting the bank.
TEST(DecoderChannel, OneBandBankKeepsItsNegativeSign) {
  const std::string text = readText(dataFile("scheme_t1_vt.cfg"));
  std::string negated = text;
  const std::string rate = "<rateCode>8</rateCode>";
  const size_t at = negated.find(rate);
  ASSERT_NE(at, std::string::npos);
  negated.insert(at + rate.size(), "<bandSigns>-1</bandSigns>");
  Schemes plain(text);
  Schemes minus(negated);
  ASSERT_NE(minus.list->subBandBank, nullptr);
  ChannelPtr a(createDecoderChannel(plain.list, 8000, 1));
  ChannelPtr b(createDecoderChannel(minus.list, 8000, 1));
  ASSERT_NE(b, nullptr) << tembrolexinErrorText();
  EXPECT_EQ(schemeBandSign(minus.list, 0), -1);
  tltest::GeneratedSignal signal = tltest::generateSignal(*plain.list, {12345}, {});
  std::vector<int16_t> copyA(signal.samples.begin(), signal.samples.begin() + 20000);
  std::vector<int16_t> copyB = copyA;
  PerformanceData d;
  processDecoderChannel(a.get(), copyA.data(), 20000, &d);
  processDecoderChannel(b.get(), copyB.data(), 20000, &d);
  int32_t compared = 0;
  for (int32_t p = 0; p < 4; ++p) {
    for (int32_t k = 0; k < 200; ++k) {
      const int32_t s = CircularBufferCharAt(&a->matchedFilters[0]->softSymbols[p], k);
      if (s == 0 || s <= -127 || s >= 127) continue;  // clamping is not symmetric
      ASSERT_EQ(CircularBufferCharAt(&b->matchedFilters[0]->softSymbols[p], k), -s);
      ++compared;
    }
  }
  EXPECT_GT(compared, 400);
}

TEST(DecoderChannel, ClearingTheHistoryEmptiesRingsAndWindowSums) {
  Schemes t1(readText(dataFile("scheme_t1_vt.cfg")));
  ChannelPtr ch(createDecoderChannel(t1.list, 8000, 1));
  ASSERT_NE(ch, nullptr);
  tltest::GeneratorOptions options;
  tltest::GeneratedSignal signal = tltest::generateSignal(*t1.list, {12345}, options);
  PerformanceData d;
  processDecoderChannel(ch.get(), signal.samples.data(), 40000, &d);
  const Detector* det = ch->detector;
  int64_t before = 0;
  for (int32_t i = 0; i < det->phaseCount; ++i) before += det->sums[i];
  ASSERT_GT(before, 0);
  const int32_t averageBefore = det->averages[0];
  clearDecoderChannelHistory(ch.get());
  for (int32_t i = 0; i < det->phaseCount; ++i) EXPECT_EQ(det->sums[i], 0);
  EXPECT_EQ(det->averages[0], averageBefore);  // only the rings and their sums
  const MatchedFilter* f = ch->matchedFilters[0];
  for (int32_t p = 0; p < f->positionCount; ++p) {
    const CircularBuffer& ring = f->softSymbols[p];
    EXPECT_EQ(ring.current, ring.base);
    for (int32_t s = 0; s < ring.count; ++s) ASSERT_EQ(ring.base[s], 0);
  }
}

TEST(DecoderChannel, RemadeRingsClearTheWindowSums) {
  Schemes t1(readText(dataFile("scheme_t1_vt.cfg")));
  ChannelPtr ch(createDecoderChannel(t1.list, 8000, 1));
  tltest::GeneratorOptions options;
  tltest::GeneratedSignal signal = tltest::generateSignal(*t1.list, {12345}, options);
  PerformanceData d;
  processDecoderChannel(ch.get(), signal.samples.data(), 40000, &d);
  EXPECT_EQ(decoderChannelSoftSymbols(ch.get(), 1, 100), nullptr);  // one band only
  EXPECT_EQ(decoderChannelSoftSymbols(ch.get(), -1, 100), nullptr);
  CircularBuffer* rings = decoderChannelSoftSymbols(ch.get(), 0, 0);  // keep
  ASSERT_NE(rings, nullptr);
  EXPECT_EQ(rings[0].count, 16 * 35);
  rings = decoderChannelSoftSymbols(ch.get(), 0, 1000);
  ASSERT_NE(rings, nullptr);
  EXPECT_EQ(rings[3].count, 1000);
  for (int32_t i = 0; i < ch->detector->phaseCount; ++i) EXPECT_EQ(ch->detector->sums[i], 0);
}

TEST(DecoderChannel, ScratchPadHoldsTheAssemblyThenTheCodec) {
  Schemes t1(readText(dataFile("scheme_t1_vt.cfg")));
  ChannelPtr own(createDecoderChannel(t1.list, 8000, 1));
  ChannelPtr borrowed(createDecoderChannel(t1.list, 8000, 0));
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(borrowed->assembly, nullptr);
  const int32_t need = assignChannelScratchPad(borrowed.get(), nullptr);
  EXPECT_EQ(need, assignChannelScratchPad(own.get(), nullptr));
  EXPECT_GT(need, 140);  // 35 frames x 4 positions, then the codec's areas
  std::vector<uint32_t> pad((need + 3) / 4);
  EXPECT_EQ(assignChannelScratchPad(borrowed.get(), pad.data()), need);
  EXPECT_EQ(static_cast<void*>(borrowed->assembly), static_cast<void*>(pad.data()));
  const int8_t* own_assembly = own->assembly;
  assignChannelScratchPad(own.get(), pad.data());
  EXPECT_EQ(own->assembly, own_assembly);  // a channel with its own areas keeps them
}

}  // namespace
}  // namespace tembrolexinsdk
