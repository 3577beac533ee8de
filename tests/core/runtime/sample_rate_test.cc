#include "core/runtime/sample_rate.h"

#include <gtest/gtest.h>

namespace tembrolexinsdk {
namespace {

struct RateHz {
  SampleRate rate;
  unsigned short bits;
  int hz;
};

class SampleRateHzTest : public testing::TestWithParam<RateHz> {};

TEST_P(SampleRateHzTest, BitAndFrequency) {
  EXPECT_EQ(static_cast<unsigned short>(GetParam().rate), GetParam().bits);
  EXPECT_EQ(SampleRateToHz(GetParam().rate), GetParam().hz);
  EXPECT_EQ(SampleRateFromHz(GetParam().hz), GetParam().rate);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRate, SampleRateHzTest,
    testing::Values(RateHz{SampleRate_8000, 2, 8000}, RateHz{SampleRate_11025, 4, 11025},
                    RateHz{SampleRate_12000, 8, 12000}, RateHz{SampleRate_16000, 16, 16000},
                    RateHz{SampleRate_22050, 32, 22050}, RateHz{SampleRate_24000, 64, 24000},
                    RateHz{SampleRate_32000, 128, 32000}, RateHz{SampleRate_44100, 256, 44100},
                    RateHz{SampleRate_48000, 512, 48000}, RateHz{SampleRate_64000, 1024, 64000},
                    RateHz{SampleRate_88200, 2048, 88200}, RateHz{SampleRate_96000, 4096, 96000},
                    RateHz{SampleRate_192000, 8192, 192000}));

TEST(SampleRateTest, NonRatesHaveNoFrequency) {
  EXPECT_EQ(SampleRate_NotAvailable, 0);
  EXPECT_EQ(SampleRate_RefusedPermission, 1);
  EXPECT_EQ(SampleRateToHz(SampleRate_NotAvailable), 0);
  EXPECT_EQ(SampleRateToHz(SampleRate_RefusedPermission), 0);
  EXPECT_EQ(SampleRateToHz(static_cast<SampleRate>(2 | 4)), 0);
  EXPECT_EQ(SampleRateFromHz(44000), SampleRate_NotAvailable);
  EXPECT_EQ(SampleRateFromHz(0), SampleRate_NotAvailable);
  EXPECT_EQ(SampleRateFromHz(-8000), SampleRate_NotAvailable);
}

TEST(SampleRateTest, RuntimeTextsMatchTheResamplerForms) {
  EXPECT_EQ(SampleRateToString(SampleRate_44100), "44.1kHz");
  EXPECT_EQ(SampleRatesToString(1 | 2), "user refused permission, 8kHz, ");
}

}  // namespace
}  // namespace tembrolexinsdk
