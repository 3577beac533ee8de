// End-to-end decoding: audio rendered by the test signal generator goes
// through Tembrolexin_Init2 / ProcessData / Close, and the words that come
// out are compared with the words sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/decoder_library.h"
#include "tests/core/decoder/param_names.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

// Sanitizer builds run shorter streams where a test says so.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TL_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TL_SLOW_BUILD 1
#endif
#endif

namespace tembrolexinsdk {
namespace {

std::string dataFile(const std::string& name) {
  return std::string(TL_TEST_DATA_DIR) + "/" + name;
}

struct ContextDeleter {
  void operator()(DecoderLibraryContext* c) const { Tembrolexin_Close(c); }
};
using ContextPtr = std::unique_ptr<DecoderLibraryContext, ContextDeleter>;

ContextPtr open(const std::string& config, int64_t mode = 1) {
  ContextPtr ctx(Tembrolexin_Init2(config.c_str(), mode));
  EXPECT_NE(ctx, nullptr) << Tembrolexin_GetErrorMsg();
  return ctx;
}

// One word as the decoder reported it.
struct Found {
  int32_t scheme;     // msgScheme, index in bits 24..31
  int64_t value;
  int32_t errors;
  int64_t endSample;  // input samples: block end minus cwSampleNo
  int32_t grade = 0;  // msgConfidence
  bool operator==(const Found& o) const {
    return scheme == o.scheme && value == o.value && errors == o.errors &&
           endSample == o.endSample;
  }
};

// Feeds the stream in the given block sizes; collects every word of every
// scheme.
std::vector<Found> decode(DecoderLibraryContext* ctx, const std::vector<int16_t>& stream,
                          const std::vector<int32_t>& blocks) {
  std::vector<Found> found;
  const int32_t schemes = Tembrolexin_NEncodingSchemes(ctx);
  std::vector<PerformanceData> records(schemes);
  std::vector<int16_t> block;
  int64_t at = 0;
  for (int32_t n : blocks) {
    block.assign(stream.begin() + at, stream.begin() + at + n);
    Tembrolexin_ProcessData(ctx, block.data(), n, records.data());
    at += n;
    for (const PerformanceData& r : records) {
      if (r.msg >= 0 && r.nFecErrors >= 0) {
        found.push_back({r.msgScheme, r.msg, r.nFecErrors, at - r.cwSampleNo, r.msgConfidence});
      }
    }
  }
  return found;
}

std::vector<Found> decodeFixed(DecoderLibraryContext* ctx, const std::vector<int16_t>& stream,
                               int32_t blockSize) {
  return decode(ctx, stream, tltest::blockSizes(stream.size(), tltest::BlockMode::kFixed,
                                                blockSize));
}

// Consecutive words of each scheme's own kind (consecutive counters, so that
// they also stand in the history's relations).
std::vector<int64_t> wordsFor(int32_t scheme, int32_t count, int32_t first = 100) {
  std::vector<int64_t> words;
  for (int32_t i = 0; i < count; ++i) {
    switch (scheme) {
      case kSchemeVorselT:
      case kSchemeVorselTW:
        words.push_back(createVorselTvCodeWord(123456, first + i));
        break;
      case kSchemeConsumerH8:
        words.push_back(createEventEngine2CodeWord(1234, first + i));
        break;
      case kSchemeConsumerS4:
        words.push_back(createHeartBeat2CodeWord(1500, 1900000 + first + i));
        break;
      case kSchemeVorselC:  // type 1: station low, minutes low
        words.push_back((int64_t{1} << 20) | (int64_t{321} << 10) | ((first + i / 2) % 1024));
        break;
      default:
        words.push_back(0x5A5A00 + first + i);
        break;
    }
  }
  return words;
}

struct Case {
  const char* file;
  int32_t scheme;
};

const Case kCases[] = {
    {"scheme_t1_vt.cfg", 13},          {"scheme_t1_vt_aligned.cfg", 13},
    {"scheme_t1_vt_falling.cfg", 13},  {"scheme_t4_cs4_falling.cfg", 16},
    {"scheme_t2_vtw.cfg", 18},         {"scheme_t3_ch8.cfg", 15},
    {"scheme_t4_cs4.cfg", 16},         {"scheme_t5_vc.cfg", 5},
    {"scheme_t5_vc_punctured.cfg", 5}, {"scheme_ch4_plain.cfg", 10},
};

// For each sent word, the decoded word with its value nearest to where the
// generator put it; words that were not sent are collected apart.
struct Matched {
  std::vector<const Found*> perWord;  // null where the word was not found
  std::vector<Found> unsent;
};

Matched match(const std::vector<Found>& found, const std::vector<int64_t>& sent,
              const std::vector<int64_t>& ends) {
  Matched m;
  m.perWord.assign(sent.size(), nullptr);
  for (size_t i = 0; i < sent.size(); ++i) {
    for (const Found& f : found) {
      if (f.value != sent[i]) continue;
      if (m.perWord[i] == nullptr ||
          std::llabs(f.endSample - ends[i]) < std::llabs(m.perWord[i]->endSample - ends[i])) {
        m.perWord[i] = &f;
      }
    }
  }
  for (const Found& f : found) {
    if (std::find(sent.begin(), sent.end(), f.value) == sent.end()) m.unsent.push_back(f);
  }
  return m;
}

std::vector<int64_t> endsOf(const tltest::GeneratedSignal& signal, int64_t scale = 1) {
  std::vector<int64_t> ends;
  for (const tltest::WordTruth& w : signal.words) ends.push_back(scale * (w.lastSample + 1));
  return ends;
}

bool isReedSolomon(const SchemeConfig& cfg) { return cfg.codec.bitsPerSymbol > 1; }

class EndToEnd : public ::testing::TestWithParam<Case> {};

// Every word after the lead-in comes out, with its value, no corrected
// symbols at this SNR, and an end within one phase step (plus the band
// splitter's delay) of where the generator put it. A Reed-Solomon word that
// was not sent (a misaligned attempt that the code corrected into some other
// word) practically always needs two or more corrected symbols, more than the
// error limits of T1, T3 and T4 allow.
TEST_P(EndToEnd, DecodesEveryWordWithItsPosition) {
  const Case c = GetParam();
  ContextPtr ctx = open(dataFile(c.file));
  ASSERT_NE(ctx, nullptr);
  const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
  tltest::GeneratorOptions options;
  options.seed = 11;
  tltest::GeneratedSignal probe = tltest::generateSignal(cfg, {0}, options);
  options.leadIn = probe.symbolSamples * 5 + 333;
  options.tail = probe.symbolSamples;
  const std::vector<int64_t> sent = wordsFor(c.scheme, 4);
  const tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
  ASSERT_EQ(signal.words.size(), sent.size());

  const std::vector<Found> found = decodeFixed(ctx.get(), signal.samples, 1024);
  const Matched m = match(found, sent, endsOf(signal));
  const int64_t tolerance = signal.stepSamples + 16;
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_NE(m.perWord[i], nullptr) << c.file << " word " << i << " not found";
    const Found& f = *m.perWord[i];
    EXPECT_EQ(f.errors, 0) << c.file << " word " << i;
    EXPECT_EQ(f.scheme & 0xFF, c.scheme) << c.file;
    EXPECT_EQ(f.scheme >> 24, 0);
    EXPECT_LE(std::llabs(f.endSample - endsOf(signal)[i]), tolerance)
        << c.file << " word " << i << " ends at " << endsOf(signal)[i] << ", reported "
        << f.endSample;
  }
  if (isReedSolomon(cfg)) {
    for (const Found& f : m.unsent) EXPECT_GE(f.errors, 2) << c.file << " unsent word";
  }
}

// The words and their positions do not depend on how the stream is cut
// (positions of two-band schemes are band samples: a sample still waiting
// for its pair at a block's end moves them by one input sample).
TEST_P(EndToEnd, SameWordsForAnyBlockSize) {
  const Case c = GetParam();
  ContextPtr reference = open(dataFile(c.file));
  ASSERT_NE(reference, nullptr);
  const SchemeConfig& cfg = *getEchoModParameters(reference.get(), 0);
  const int64_t slack = schemeBandCount(&cfg) - 1;
  tltest::GeneratorOptions options;
  options.seed = 5;
  options.leadIn = 777;
  options.tail = 5000;
  const std::vector<int64_t> sent = wordsFor(c.scheme, 2, 7);
  const tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
  const std::vector<Found> expected = decodeFixed(reference.get(), signal.samples, 1024);
  const Matched m = match(expected, sent, endsOf(signal));
  ASSERT_TRUE(m.perWord[0] != nullptr && m.perWord[1] != nullptr) << c.file;

  auto same = [&](const std::vector<Found>& got, const std::string& how) {
    ASSERT_EQ(got.size(), expected.size()) << c.file << ", " << how;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].value, expected[i].value) << c.file << ", " << how;
      EXPECT_EQ(got[i].scheme, expected[i].scheme) << c.file << ", " << how;
      EXPECT_EQ(got[i].errors, expected[i].errors) << c.file << ", " << how;
      EXPECT_LE(std::llabs(got[i].endSample - expected[i].endSample), slack)
          << c.file << ", " << how;
    }
  };
  for (int32_t size : {1, 7, 160}) {
    ContextPtr ctx = open(dataFile(c.file));
    same(decodeFixed(ctx.get(), signal.samples, size), "blocks of " + std::to_string(size));
  }
  ContextPtr ctx = open(dataFile(c.file));
  same(decode(ctx.get(), signal.samples,
              tltest::blockSizes(signal.samples.size(), tltest::BlockMode::kRandom, 3000, 9)),
       "random blocks");
}

INSTANTIATE_TEST_SUITE_P(TestConfigurations, EndToEnd, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return tltest::textName(info.param.file);
                         });

// One 16 kHz stream carries an 8 kHz VT word sequence (rendered at 8 kHz and
// resampled) under 16 kHz CS4 words; the context decodes both, the 8 kHz one
// on its decimated copy with positions in input samples.
TEST(EndToEndMixedRates, DecodesBothSchemesFromOneSixteenKilohertzStream) {
  ContextPtr ctx = open(dataFile("scheme_mixed_8k_16k.cfg"));
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(Tembrolexin_FsIn(ctx.get()), 16000);
  const SchemeConfig& vt = *getEchoModParameters(ctx.get(), 0);
  const SchemeConfig& cs4 = *getEchoModParameters(ctx.get(), 1);

  tltest::GeneratorOptions low;
  low.seed = 3;
  low.leadIn = 2048 * 3;
  low.tail = 2048 * 4;
  const std::vector<int64_t> vtWords = wordsFor(13, 3);
  const tltest::GeneratedSignal vtSignal = tltest::generateSignal(vt, vtWords, low);
  const std::vector<int16_t> host = tltest::resample16(vtSignal.samples, 8000, 16000);

  tltest::GeneratorOptions high;
  high.host = tltest::HostKind::kGiven;
  high.hostSamples = host;
  high.leadIn = 4096 * 3;
  const std::vector<int64_t> csWords = wordsFor(16, 3);
  const size_t wordsOnly = tltest::generateSignal(cs4, csWords, high).samples.size();
  ASSERT_LT(wordsOnly, host.size());
  high.tail = static_cast<int64_t>(host.size() - wordsOnly);  // as long as the host
  const tltest::GeneratedSignal both = tltest::generateSignal(cs4, csWords, high);

  const std::vector<Found> found = decodeFixed(ctx.get(), both.samples, 1024);
  std::vector<Found> fromVt, fromCs;
  for (const Found& f : found) (f.scheme >> 24 == 0 ? fromVt : fromCs).push_back(f);
  for (const Found& f : fromVt) EXPECT_EQ(f.scheme, 13);
  for (const Found& f : fromCs) EXPECT_EQ(f.scheme & 0xFF000000, 1 << 24);
  // 8 kHz word ends doubled into 16 kHz input samples; allowed: a phase step
  // of the 8 kHz scheme plus the resampler's delay.
  const Matched low8 = match(fromVt, vtWords, endsOf(vtSignal, 2));
  for (size_t i = 0; i < vtWords.size(); ++i) {
    ASSERT_NE(low8.perWord[i], nullptr) << "VT word " << i;
    EXPECT_EQ(low8.perWord[i]->errors, 0);
    EXPECT_LE(std::llabs(low8.perWord[i]->endSample - endsOf(vtSignal, 2)[i]),
              2 * vtSignal.stepSamples + 64)
        << "VT word " << i;
  }
  const Matched high16 = match(fromCs, csWords, endsOf(both));
  for (size_t i = 0; i < csWords.size(); ++i) {
    ASSERT_NE(high16.perWord[i], nullptr) << "CS4 word " << i;
    EXPECT_EQ(high16.perWord[i]->errors, 0);
    EXPECT_LE(std::llabs(high16.perWord[i]->endSample - endsOf(both)[i]), both.stepSamples + 16)
        << "CS4 word " << i;
  }
  for (const Found& f : low8.unsent) EXPECT_GE(f.errors, 2);
  for (const Found& f : high16.unsent) EXPECT_GE(f.errors, 2);
}

// ---------------------------------------------------------------------------
// Robustness, with fixed seeds.
//
// The framing has no sync word: the channel decodes at every decision point,
// once per symbol and position order, so F - 1 of every F attempts are
// misaligned and hand the outer code what is random data to it. A wrong word
// is such an attempt that the code corrects into a word that was not sent.
// The error limits of the Reed-Solomon test configurations keep the share
// of random attempts that pass below one in a million (T1 and T3 one
// corrected symbol of GF(32), T4 none of GF(16) with twice the attempts, T2
// and CH4 three with eight parity symbols): well under one wrong word per
// hundred words sent and per ten minutes of noise, whatever its grade.
//
// T5 detects only: its binary (31,24) code passes one random attempt in
// 2^7 = 128 (2^5 = 32 with its two constant parity bits punctured), so
// noise gives about attempts / 2^p words, and the F - 1 misaligned attempts
// around each word sent, which carry that word's strength and grade 1, pass
// at about the same rate, F / 2^p per word sent (0.24 for T5, 0.97 for
// T5p). Measured: 0.05 to 0.1 (T5) and 0.3 to 0.4 (T5p) per word sent here,
// 0.43 and 1.2 over the benchmark's 500 words; noise as expected. Their rows
// bound both at twice the parity's rate (plus four words in noise).

#ifdef TL_SLOW_BUILD
constexpr int32_t kWordsPerVariant = 5;  // sanitizer builds: shorter streams
constexpr int64_t kNoiseSeconds = 60;
#else
constexpr int32_t kWordsPerVariant = 20;
constexpr int64_t kNoiseSeconds = 600;
#endif

// A wrong word that the decoder vouches for: graded 1, 2 or 4, with at most
// one corrected symbol.
bool vouched(const Found& f) { return f.grade != 0 && f.grade != 3 && f.errors <= 1; }

struct Tally {
  int32_t right = 0;        // sent words decoded with their value
  int32_t cleanRight = 0;   // ... and no corrected symbols
  int32_t wrong = 0;        // words decoded that were not sent
  int32_t wrongVouched = 0;
};

Tally tally(const std::vector<Found>& found, const std::vector<int64_t>& sent) {
  Tally t;
  std::vector<bool> seen(sent.size(), false);
  for (const Found& f : found) {
    bool matched = false;
    for (size_t i = 0; i < sent.size(); ++i) {
      if (sent[i] == f.value && !seen[i]) {
        seen[i] = true;
        matched = true;
        ++t.right;
        if (f.errors == 0) ++t.cleanRight;
        break;
      }
    }
    if (!matched) {
      ++t.wrong;
      if (vouched(f)) ++t.wrongVouched;
    }
  }
  return t;
}

// The wrong words, each with its corrections and grade.
std::string describe(const std::vector<Found>& found, const std::vector<int64_t>& sent) {
  std::string text;
  char line[112];
  for (const Found& f : found) {
    if (std::find(sent.begin(), sent.end(), f.value) != sent.end()) continue;
    std::snprintf(line, sizeof line, " [0x%llx, %d corrected, grade %d, ends at %lld]",
                  static_cast<unsigned long long>(f.value), f.errors, f.grade,
                  static_cast<long long>(f.endSample));
    text += line;
  }
  return text;
}

TEST(EndToEndRobustness, T1AtTwentyDecibelsDecodesNinetyNinePercentClean) {
  ContextPtr ctx = open(dataFile("scheme_t1_vt.cfg"));
  ASSERT_NE(ctx, nullptr);
  const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
  tltest::GeneratorOptions options;
  options.depth = 0.3;
  options.seed = 21;
  options.leadIn = 2048 * 4;
  const std::vector<int64_t> sent = wordsFor(13, kWordsPerVariant * 2);
  tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
  tltest::addNoise(&signal.samples, 8000, 20.0, tltest::NoiseKind::kWhite, 77, 100, 3900);
  const Tally t = tally(decodeFixed(ctx.get(), signal.samples, 1024), sent);
  EXPECT_GE(t.cleanRight * 100, 99 * static_cast<int32_t>(sent.size()))
      << t.cleanRight << " of " << sent.size();
  EXPECT_EQ(t.wrong, 0);
}

struct RobustCase {
  const char* file;
  int32_t scheme;
  int32_t parityBits;  // 0: fewer than 1 wrong word per 100 sent, whatever its
                       // grade, and none in noise; else the binary code's
                       // effective parity bits p
};

const RobustCase kRobustCases[] = {
    {"scheme_t1_vt.cfg", 13, 0},  {"scheme_t1_vt_aligned.cfg", 13, 0},
    {"scheme_t2_vtw.cfg", 18, 0}, {"scheme_t3_ch8.cfg", 15, 0},
    {"scheme_t4_cs4.cfg", 16, 0}, {"scheme_t5_vc.cfg", 5, 7},
    {"scheme_t5_vc_punctured.cfg", 5, 5}, {"scheme_ch4_plain.cfg", 10, 0},
};

// Random decode attempts that the binary code passes: attempts / 2^p.
double parityRate(const RobustCase& c, double attempts) {
  return attempts / static_cast<double>(int64_t{1} << c.parityBits);
}

std::string robustName(const ::testing::TestParamInfo<RobustCase>& info) {
  return tltest::textName(info.param.file);
}

class EndToEndWrongWords : public ::testing::TestWithParam<RobustCase> {};

// Words sent at depth 0.3 and 20 dB SNR, as they are and after clipping,
// dropouts and a clock error of +-100 ppm: the impairments cost at most a
// fifth of the words and the wrong words stay within the case's bound in
// every variant (so the impairments do not raise the rate); the Reed-Solomon
// configurations let fewer than one word in a hundred through whatever its
// grade.
TEST_P(EndToEndWrongWords, StayWithinTheirBoundPerWordSentUnderImpairments) {
  const RobustCase c = GetParam();
  ContextPtr probe = open(dataFile(c.file));
  ASSERT_NE(probe, nullptr);
  const SchemeConfig& cfg = *getEchoModParameters(probe.get(), 0);
  const int32_t rate = Tembrolexin_FsIn(probe.get());
  tltest::GeneratorOptions options;
  options.seed = 31;
  options.depth = 0.3;
  options.leadIn = 5000;
  options.tail = 4096;
  const std::vector<int64_t> sent = wordsFor(c.scheme, kWordsPerVariant, 500);
  tltest::GeneratedSignal clean = tltest::generateSignal(cfg, sent, options);
  tltest::addNoise(&clean.samples, rate, 20.0, tltest::NoiseKind::kWhite, 41, 100,
                   rate / 2 - 100);
  const size_t length = clean.samples.size();
  struct Variant {
    const char* name;
    std::vector<int16_t> samples;
  };
  std::vector<Variant> variants;
  variants.push_back({"clean", clean.samples});
  variants.push_back({"clipped", clean.samples});
  tltest::clip(&variants.back().samples, 4000);
  variants.push_back({"dropouts", clean.samples});
  tltest::dropouts(&variants.back().samples,
                   {{length / 7, 400}, {length / 3, 4000}, {length / 2, 50}, {length * 4 / 5, 1500}});
  variants.push_back({"+100 ppm", tltest::sampleRateOffset(clean.samples, 100)});
  variants.push_back({"-100 ppm", tltest::sampleRateOffset(clean.samples, -100)});
  const double words = static_cast<double>(sent.size());
  const int32_t orders = std::max(cfg.positionOrderCount, 1);
  const double bound = c.parityBits == 0
                           ? words / 100
                           : 2 * parityRate(c, words * schemeFramesPerCodeword(&cfg) * orders);
  for (const Variant& v : variants) {
    ContextPtr ctx = open(dataFile(c.file));
    const std::vector<Found> found = decodeFixed(ctx.get(), v.samples, 1024);
    const Tally t = tally(found, sent);
    EXPECT_LT(t.wrongVouched, bound) << c.file << ", " << v.name << ":" << describe(found, sent);
    if (c.parityBits == 0) {
      EXPECT_LT(t.wrong, bound) << c.file << ", " << v.name << ":" << describe(found, sent);
    }
    EXPECT_GE(t.right * 5, static_cast<int32_t>(sent.size()) * 4)
        << c.file << ", " << v.name << ": " << t.right << " of " << sent.size();
  }
}

// Unmarked white noise (ten minutes, one in sanitizer builds) decodes
// nothing through a Reed-Solomon configuration, and no more than twice what
// the binary code's parity lets through (attempts / 2^p) plus a few through
// T5; silence decodes nothing anywhere.
TEST_P(EndToEndWrongWords, NoiseAndSilenceStayWithinTheirBound) {
  const RobustCase c = GetParam();
  ContextPtr ctx = open(dataFile(c.file));
  ASSERT_NE(ctx, nullptr);
  const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
  const int32_t rate = Tembrolexin_FsIn(ctx.get());
  const size_t count = static_cast<size_t>(rate * kNoiseSeconds);
  const std::vector<double> noise = tltest::makeNoise(tltest::NoiseKind::kWhite, count, 99);
  std::vector<int16_t> samples(noise.size());
  for (size_t i = 0; i < noise.size(); ++i) samples[i] = tltest::saturate16(noise[i] * 3000);
  const std::vector<Found> fromNoise = decodeFixed(ctx.get(), samples, 1024);
  if (c.parityBits == 0) {
    EXPECT_TRUE(fromNoise.empty()) << c.file << " noise:" << describe(fromNoise, {});
  } else {
    const double attempts = static_cast<double>(count) /
                            quarterMsToSamples(cfg.symbolDuration, cfg.rateCode) *
                            std::max(cfg.positionOrderCount, 1);
    const double expected = parityRate(c, attempts);
    EXPECT_LE(static_cast<double>(fromNoise.size()), 2 * expected + 4)
        << c.file << ": " << fromNoise.size() << " words, " << expected << " expected";
  }
  std::vector<int16_t> silence(count, 0);
  ContextPtr quiet = open(dataFile(c.file));
  const std::vector<Found> fromSilence = decodeFixed(quiet.get(), silence, 1024);
  EXPECT_TRUE(fromSilence.empty()) << c.file << " silence:" << describe(fromSilence, {});
}

INSTANTIATE_TEST_SUITE_P(TestConfigurations, EndToEndWrongWords, ::testing::ValuesIn(kRobustCases),
                         robustName);

// The mixed-rate text: 16 kHz noise and silence give neither scheme a word.
TEST(EndToEndRobustness, MixedRatesNoiseAndSilenceDecodeNothing) {
  ContextPtr ctx = open(dataFile("scheme_mixed_8k_16k.cfg"));
  ASSERT_NE(ctx, nullptr);
  const size_t count = static_cast<size_t>(16000 * kNoiseSeconds);
  const std::vector<double> noise = tltest::makeNoise(tltest::NoiseKind::kWhite, count, 98);
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) samples[i] = tltest::saturate16(noise[i] * 3000);
  const std::vector<Found> fromNoise = decodeFixed(ctx.get(), samples, 1024);
  EXPECT_TRUE(fromNoise.empty()) << describe(fromNoise, {});
  ContextPtr quiet = open(dataFile("scheme_mixed_8k_16k.cfg"));
  EXPECT_TRUE(decodeFixed(quiet.get(), std::vector<int16_t>(count, 0), 1024).empty());
}

}  // namespace
}  // namespace tembrolexinsdk
