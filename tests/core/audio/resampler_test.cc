#include "core/audio/resampler.h"

#include <string>

#include <gtest/gtest.h>

namespace tembrolexinsdk {
namespace {

struct RateText {
  unsigned short value;
  const char* text;
};

class SampleRateTextTest : public testing::TestWithParam<RateText> {};

TEST_P(SampleRateTextTest, OneRate) {
  EXPECT_EQ(Resampler::ConvertSampleRateToString(static_cast<SampleRate>(GetParam().value)),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    EveryBit, SampleRateTextTest,
    testing::Values(RateText{0, "<not available>"},
                    RateText{1, "<refused permission by the user>"}, RateText{2, "8kHz"},
                    RateText{4, "11.025kHz"}, RateText{8, "12kHz"}, RateText{16, "16kHz"},
                    RateText{32, "22.05kHz"}, RateText{64, "24kHz"}, RateText{128, "32kHz"},
                    RateText{256, "44.1kHz"}, RateText{512, "48kHz"}, RateText{1024, "64kHz"},
                    RateText{2048, "88.2kHz"}, RateText{4096, "96kHz"},
                    RateText{8192, "192kHz"},
                    // Not one rate: several bits, or bits above 192 kHz.
                    RateText{3, "<not available>"}, RateText{6, "<not available>"},
                    RateText{16384, "<not available>"}, RateText{65535, "<not available>"}));

class SampleRatesTextTest : public testing::TestWithParam<RateText> {};

TEST_P(SampleRatesTextTest, SetOfRates) {
  EXPECT_EQ(Resampler::ConvertSampleRatesToString(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, SampleRatesTextTest,
    testing::Values(
        RateText{0, ""}, RateText{1, "user refused permission, "}, RateText{2, "8kHz, "},
        RateText{8192, "192kHz, "},
        // Lowest bit first, whatever the order the rates were added in.
        RateText{2 | 16 | 512, "8kHz, 16kHz, 48kHz, "},
        RateText{1 | 256, "user refused permission, 44.1kHz, "},
        RateText{4 | 32 | 2048, "11.025kHz, 22.05kHz, 88.2kHz, "},
        RateText{16383,
                 "user refused permission, 8kHz, 11.025kHz, 12kHz, 16kHz, 22.05kHz, 24kHz, "
                 "32kHz, 44.1kHz, 48kHz, 64kHz, 88.2kHz, 96kHz, 192kHz, "},
        // Bits above 192 kHz name no rate and are left out.
        RateText{16384 | 32768, ""}, RateText{32768 | 2, "8kHz, "}));

}  // namespace
}  // namespace tembrolexinsdk
