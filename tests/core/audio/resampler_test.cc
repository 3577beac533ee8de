#include "core/audio/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/audio/recorder_exceptions.h"
#include "tests/core/runtime/log_capture_util.h"

namespace tembrolexinsdk {
namespace {

struct RateText {
  unsigned short value;
  const char* text;
};

std::string RateTextName(const testing::TestParamInfo<RateText>& info) {
  return "Value" + std::to_string(info.param.value);
}

class SampleRateTextTest : public testing::TestWithParam<RateText> {};

TEST_P(SampleRateTextTest, OneRate) {
  EXPECT_EQ(Resampler::ConvertSampleRateToString(static_cast<SampleRate>(GetParam().value)),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    EveryBit, SampleRateTextTest,
    testing::Values(RateText{0, "<not available>"},
                    RateText{1, "<refused permission by the user>"}, RateText{2, "8kHz"},
                    RateText{4, "11.025kHz"}, RateText{256, "44.1kHz"}, RateText{8192, "192kHz"},
                    // Not one rate (several bits, or bits above 192 kHz): the
                    // text of the lowest rate.
                    RateText{3, "8kHz"}, RateText{18, "8kHz"}, RateText{16384, "8kHz"},
                    RateText{65535, "8kHz"}),
    RateTextName);

class SampleRatesTextTest : public testing::TestWithParam<RateText> {};

TEST_P(SampleRatesTextTest, SetOfRates) {
  EXPECT_EQ(Resampler::ConvertSampleRatesToString(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, SampleRatesTextTest,
    testing::Values(
        RateText{0, ""}, RateText{1, "user refused permission, "}, RateText{2, "8kHz, "},
        RateText{17, "user refused permission, 16kHz, "},
        RateText{2 | 16 | 512, "8kHz, 16kHz, 48kHz, "},
        RateText{16383,
                 "user refused permission, 8kHz, 11.025kHz, 12kHz, 16kHz, 22.05kHz, 24kHz, "
                 "32kHz, 44.1kHz, 48kHz, 64kHz, 88.2kHz, 96kHz, 192kHz, "},
        RateText{16384 | 32768, ""}, RateText{32768 | 2 | 1, "user refused permission, 8kHz, "}),
    RateTextName);

TEST(SampleRateValueTest, UnknownHertzThrowsTheRecorderException) {
  EXPECT_EQ(convertValueToSampleRate(44100), SampleRate_44100);
  EXPECT_EQ(Resampler::ConvertSampleRateToHzInt(SampleRate_44100), 44100);
  EXPECT_EQ(Resampler::ConvertSampleRateToHzInt(static_cast<SampleRate>(18)), 0);
  for (int hz : {44000, 0, -8000, 8001, 2}) {
    try {
      convertValueToSampleRate(hz);
      ADD_FAILURE() << hz << " was accepted";
    } catch (const IAudioRecorder::AudioRecorderException& e) {
      EXPECT_NE(dynamic_cast<const CustomRecorderException*>(&e), nullptr);
      EXPECT_STREQ(e.what(), "Cannot handle provided sample rate");
    }
  }
}

struct Choice {
  const char* name;
  unsigned short required;
  unsigned short available;
  unsigned short rate;
  unsigned short frames;
};

class ChooseRateTest : public testing::TestWithParam<Choice> {};

TEST_P(ChooseRateTest, RateAndFrames) {
  unsigned short frames = 7;
  EXPECT_EQ(Resampler::ChooseSampleRateAndBufferFrames(GetParam().required, GetParam().available,
                                                       frames),
            GetParam().rate);
  EXPECT_EQ(frames, GetParam().frames);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChooseRateTest,
    testing::Values(
        Choice{"Same16k", 16, 16, 16, 2048},
        Choice{"Required16kBefore8k", 18, 512, 512, 6144},
        Choice{"Required24kFallsTo8k", 64, 2, 2, 1024},
        Choice{"Required48kOnlyFrom48k", 512, 256, 0, 1024},
        Choice{"Required16kNeverFrom24k", 16, 64, 0, 1024},
        Choice{"Required16kPrefers48kOver44k", 16, 256 | 512, 512, 6144},
        Choice{"Required16kFrom44k", 16, 256 | 1, 256, 6144},
        Choice{"Required8kPrefers32k", 2, 128 | 512 | 256, 128, 4096},
        Choice{"Required8kFrom24k", 2, 64 | 512, 64, 3072},
        Choice{"Required48kBeforeAll", 2 | 16 | 64 | 512, 2 | 16 | 64 | 512, 512, 6144},
        Choice{"NoRequiredRateOfTheFour", 4 | 8 | 128, 0xffff, 0, 1024},
        Choice{"NothingAvailable", 2, 0, 0, 1024},
        Choice{"RefusedOnly", 2, 1, 0, 1024}),
    [](const testing::TestParamInfo<Choice>& info) { return std::string(info.param.name); });

TEST(ConvertibleTest, ExactlyTheListedPairs) {
  const std::vector<std::pair<unsigned, unsigned>> listed = {
      {512, 64}, {512, 16}, {512, 8},  {512, 2},  {256, 32}, {256, 4}, {256, 16}, {256, 2},
      {128, 16}, {128, 2},  {64, 8},   {64, 2},   {32, 4},   {16, 2},  {2, 64}};
  for (unsigned from = 1; from <= 8192; from <<= 1) {
    for (unsigned to = 1; to <= 8192; to <<= 1) {
      bool expected = from == to;
      for (const auto& pair : listed) expected |= pair.first == from && pair.second == to;
      EXPECT_EQ(Resampler::CanConvertSampleRate(static_cast<SampleRate>(from),
                                                static_cast<SampleRate>(to)),
                expected)
          << from << " -> " << to;
    }
  }
}

struct Conversion {
  const char* name;
  SampleRate from;
  SampleRate to;
  int factor;
};

class ConversionTest : public testing::TestWithParam<Conversion> {};

// A sine of `hz` at `rateHz`, continuing from sample `start`.
std::vector<short> Tone(double hz, int rateHz, int count, long start, double amplitude) {
  std::vector<short> out(count);
  for (int i = 0; i < count; ++i) {
    out[i] = static_cast<short>(
        std::lround(amplitude * std::sin(2 * M_PI * hz * double(start + i) / rateHz)));
  }
  return out;
}

double Rms(const std::vector<short>& v, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(v[i]) * v[i];
  return std::sqrt(sum / double(to - from));
}

// Streams a 1 kHz tone through the converter in buffers of uneven length:
// the output count adds up to the rate ratio across buffers, and the tone
// comes out at its level without gaps (the history carries over).
TEST_P(ConversionTest, ToneKeepsItsLevelAcrossBuffers) {
  const Conversion& c = GetParam();
  Resampler resampler(c.from, c.to);
  EXPECT_EQ(resampler.factor(), c.factor);
  const int fromHz = Resampler::ConvertSampleRateToHzInt(c.from);
  const int toHz = Resampler::ConvertSampleRateToHzInt(c.to);
  const unsigned short sizes[] = {1000, 441, 1, 2048, 997, 6144, 30, 4000};
  std::vector<short> out;
  long consumed = 0;
  for (unsigned short size : sizes) {
    std::vector<short> buffer = Tone(1000, fromHz, size, consumed, 8000);
    buffer.resize(size_t(size) * 3);
    const unsigned short produced = resampler.ResampleBufferInPlace(buffer.data(), size);
    out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
    consumed += size;
  }
  const double expected = double(consumed) * toHz / fromHz;
  EXPECT_NEAR(double(out.size()), expected, 2.0);
  // Past the filter's start-up, the tone's level (8000 / sqrt 2) is kept
  // within 1 dB and it matches a clean tone at the new rate up to a delay.
  const size_t settle = size_t(toHz / 50);
  EXPECT_NEAR(Rms(out, settle, out.size()), 8000 / std::sqrt(2.0), 8000 / std::sqrt(2.0) * 0.12);
  double worstStep = 0;
  for (size_t i = settle; i + 1 < out.size(); ++i) {
    worstStep = std::max(worstStep, std::fabs(double(out[i + 1]) - out[i]));
  }
  // A 1 kHz tone of amplitude 8000 moves at most 2*pi*1000/rate*8000 per
  // sample; a lost or repeated stretch at a buffer seam would jump further.
  EXPECT_LT(worstStep, 2 * M_PI * 1000.0 / toHz * 8000 * 1.25);
}

// Converting into another buffer gives the same samples as converting in
// place, buffer after buffer (the history carries over alike), never writes
// past the outputs, and leaves the input as it was.
TEST_P(ConversionTest, IntoAnotherBufferMatchesInPlace) {
  const Conversion& c = GetParam();
  const int fromHz = Resampler::ConvertSampleRateToHzInt(c.from);
  Resampler inPlace(c.from, c.to);
  Resampler into(c.from, c.to);
  const unsigned short sizes[] = {1000, 441, 1, 2048, 997, 6144, 30};
  long consumed = 0;
  for (unsigned short size : sizes) {
    const std::vector<short> input = Tone(1000, fromHz, size, consumed, 8000);
    std::vector<short> expected = input;
    expected.resize(size_t(size) * 3);
    const unsigned short n = inPlace.ResampleBufferInPlace(expected.data(), size);
    std::vector<short> output(size_t(size) * 3 + 1, -7777);
    const std::vector<short> before = input;
    ASSERT_EQ(into.ResampleBuffer(input.data(), size, output.data()), n) << size;
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + n, output.begin())) << size;
    EXPECT_EQ(output[n], -7777) << size;
    EXPECT_EQ(input, before) << size;
    consumed += size;
  }
}

TEST(ResamplerTest, IntoAnotherBufferCopiesWhenPassingThrough) {
  Resampler same(SampleRate_16000, SampleRate_16000);
  const std::vector<short> input = {1, -2, 3, 32767, -32768};
  std::vector<short> output(6, 9);
  EXPECT_EQ(same.ResampleBuffer(input.data(), 5, output.data()), 5);
  EXPECT_EQ(output, (std::vector<short>{1, -2, 3, 32767, -32768, 9}));
  EXPECT_EQ(same.ResampleBuffer(nullptr, 5, output.data()), 0);
  EXPECT_EQ(same.ResampleBuffer(input.data(), 0, output.data()), 0);
}

// A tone above the new Nyquist frequency is filtered out, not folded back.
TEST_P(ConversionTest, ToneAboveNewNyquistIsRemoved) {
  const Conversion& c = GetParam();
  const int fromHz = Resampler::ConvertSampleRateToHzInt(c.from);
  const int toHz = Resampler::ConvertSampleRateToHzInt(c.to);
  Resampler resampler(c.from, c.to);
  if (toHz > fromHz) return;  // interpolation folds nothing back
  std::vector<short> buffer = Tone(toHz * 0.7, fromHz, 6144, 0, 8000);
  const unsigned short produced = resampler.ResampleBufferInPlace(buffer.data(), 6144);
  buffer.resize(produced);
  EXPECT_LT(Rms(buffer, produced / 4, produced), 8000 / std::sqrt(2.0) * 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ConversionTest,
    testing::Values(Conversion{"From48kTo8k", SampleRate_48000, SampleRate_8000, 6},
                    Conversion{"From48kTo12k", SampleRate_48000, SampleRate_12000, 4},
                    Conversion{"From48kTo16k", SampleRate_48000, SampleRate_16000, 3},
                    Conversion{"From48kTo24k", SampleRate_48000, SampleRate_24000, 2},
                    Conversion{"From44kTo22k", SampleRate_44100, SampleRate_22050, 2},
                    Conversion{"From44kTo11k", SampleRate_44100, SampleRate_11025, 4},
                    Conversion{"From44kTo16k", SampleRate_44100, SampleRate_16000, 0},
                    Conversion{"From44kTo8k", SampleRate_44100, SampleRate_8000, 0},
                    Conversion{"From32kTo16k", SampleRate_32000, SampleRate_16000, 2},
                    Conversion{"From32kTo8k", SampleRate_32000, SampleRate_8000, 4},
                    Conversion{"From24kTo12k", SampleRate_24000, SampleRate_12000, 2},
                    Conversion{"From24kTo8k", SampleRate_24000, SampleRate_8000, 3},
                    Conversion{"From22kTo11k", SampleRate_22050, SampleRate_11025, 2},
                    Conversion{"From16kTo8k", SampleRate_16000, SampleRate_8000, 2},
                    Conversion{"From8kTo24k", SampleRate_8000, SampleRate_24000, -3}),
    [](const testing::TestParamInfo<Conversion>& info) { return std::string(info.param.name); });

TEST(ResamplerTest, PassThroughLeavesSamplesAlone) {
  Resampler resampler(SampleRate_44100, SampleRate_44100);
  EXPECT_TRUE(resampler.isPassThrough());
  EXPECT_EQ(resampler.factor(), 1);
  std::vector<short> buffer = {1, -2, 3, 32767, -32768};
  const std::vector<short> before = buffer;
  EXPECT_EQ(resampler.ResampleBufferInPlace(buffer.data(), 5), 5);
  EXPECT_EQ(buffer, before);
  EXPECT_EQ(resampler.GetName(), "Resampler");
}

TEST(ResamplerTest, SixFrames48kBecomeOne8k) {
  Resampler resampler(SampleRate_48000, SampleRate_8000);
  std::vector<short> buffer(6144, 100);
  EXPECT_EQ(resampler.ResampleBufferInPlace(buffer.data(), 6144), 1024);
  EXPECT_EQ(resampler.ResampleBufferInPlace(buffer.data(), 0), 0);
}

TEST(ResamplerTest, InterpolationNeverOverflowsTheCount) {
  Resampler resampler(SampleRate_8000, SampleRate_24000);
  std::vector<short> buffer(65535 * 3);
  EXPECT_EQ(resampler.ResampleBufferInPlace(buffer.data(), 65535), 65535);
}

TEST(ResamplerTest, LogLines) {
  tltest::LogCapture capture;
  {
    Resampler bandPass(SampleRate_44100, SampleRate_16000);
    Resampler none(SampleRate_12000, SampleRate_8000);
    std::vector<short> buffer(100, 5);
    EXPECT_EQ(none.ResampleBufferInPlace(buffer.data(), 100), 0);
  }
  const INamedObject* noSender = nullptr;
  Resampler::LogSampleRates(noSender, "available sample rates:", 2 | 512);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].sender, "Resampler");
  EXPECT_EQ(lines[0].message, "Converting using using non-integer decimation from 44.1kHz to 16kHz");
  EXPECT_EQ(lines[1].level, 5);
  EXPECT_EQ(lines[1].message, "Cannot convert from 12kHz to 8kHz");
  EXPECT_EQ(lines[2].level, 2);
  EXPECT_EQ(lines[2].sender, "<Unknown object>");
  EXPECT_EQ(lines[2].message, "available sample rates: 8kHz, 48kHz, ");
}

}  // namespace
}  // namespace tembrolexinsdk
