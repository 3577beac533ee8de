// The capture path end to end: words rendered at a recorder's rate (44.1 or
// 48 kHz), converted buffer by buffer with a Resampler to the scheme's rate
// and decoded, come out as the words sent, at the right place.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/resampler.h"
#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tembrolexinsdk {
namespace {

struct CaptureCase {
  const char* name;
  const char* config;
  SampleRate captureRate;
  SampleRate schemeRate;
  unsigned short frames;  // capture buffer, as ChooseSampleRateAndBufferFrames picks it
  int words;
};

class CapturePathTest : public testing::TestWithParam<CaptureCase> {};

TEST_P(CapturePathTest, WordsSurviveConversion) {
  const CaptureCase& c = GetParam();
  unsigned short frames = 0;
  ASSERT_EQ(Resampler::ChooseSampleRateAndBufferFrames(c.schemeRate, c.captureRate, frames),
            c.captureRate);
  ASSERT_EQ(frames, c.frames);
  const std::string config = std::string(TL_TEST_DATA_DIR) + "/" + c.config;
  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      Tembrolexin_Init2(config.c_str(), 1), Tembrolexin_Close);
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(Tembrolexin_FsIn(ctx.get()), Resampler::ConvertSampleRateToHzInt(c.schemeRate));

  std::vector<int64_t> words;
  for (int i = 0; i < c.words; ++i) words.push_back(createVorselTvCodeWord(4242, 700 + i));
  tltest::GeneratorOptions options;
  options.outputRateHz = Resampler::ConvertSampleRateToHzInt(c.captureRate);
  options.leadIn = Tembrolexin_FsIn(ctx.get());
  options.tail = Tembrolexin_FsIn(ctx.get());
  tltest::GeneratedSignal signal =
      tltest::generateSignal(*getEchoModParameters(ctx.get(), 0), words, options);
  tltest::addNoise(&signal.samples, signal.rateHz, 10, tltest::NoiseKind::kWhite, 3, 100,
                   signal.rateHz / 2 - 100);

  Resampler resampler(c.captureRate, c.schemeRate);
  std::vector<short> buffer(frames);
  std::vector<PerformanceData> records(Tembrolexin_NEncodingSchemes(ctx.get()));
  std::vector<int64_t> found;
  int64_t decodedSamples = 0;
  for (size_t at = 0; at + frames <= signal.samples.size(); at += frames) {
    std::copy_n(signal.samples.begin() + at, frames, buffer.begin());
    const unsigned short n = resampler.ResampleBufferInPlace(buffer.data(), frames);
    Tembrolexin_ProcessData(ctx.get(), buffer.data(), n, records.data());
    decodedSamples += n;
    for (const PerformanceData& r : records) {
      if (r.msg < 0 || r.nFecErrors < 0) continue;
      found.push_back(r.msg);
      // The word ends where it was rendered, to within 10 ms.
      if (found.size() > signal.words.size()) continue;
      const tltest::WordTruth& truth = signal.words[found.size() - 1];
      const double endSeconds = double(decodedSamples - r.cwSampleNo) /
                                Resampler::ConvertSampleRateToHzInt(c.schemeRate);
      EXPECT_NEAR(endSeconds, double(truth.lastSample + 1) / signal.rateHz, 0.010);
    }
  }
  EXPECT_EQ(found, words);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, CapturePathTest,
    testing::Values(
        CaptureCase{"VtwFrom48k", "scheme_t2_vtw.cfg", SampleRate_48000, SampleRate_16000, 6144, 3},
        CaptureCase{"VtwFrom44k", "scheme_t2_vtw.cfg", SampleRate_44100, SampleRate_16000, 6144, 3},
        CaptureCase{"VtFrom48k", "scheme_t1_vt.cfg", SampleRate_48000, SampleRate_8000, 6144, 2},
        CaptureCase{"VtFrom44k", "scheme_t1_vt.cfg", SampleRate_44100, SampleRate_8000, 6144, 2}),
    [](const testing::TestParamInfo<CaptureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinsdk
