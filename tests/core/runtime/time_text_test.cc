#include "core/runtime/time_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace tembrolexin {
namespace {

// 2026-12-06 00:00:00 UTC, derived by counting days: 56 years from 1970 with
// 14 leap days, plus 334 + 5 days of 2026.
constexpr int64_t kDec6 = 20793LL * 86400;
// 2100-03-01 00:00:00 UTC: 130 years with 32 leap days, plus 59 days (2100 is
// not a leap year).
constexpr int64_t kMar1st2100 = 47541LL * 86400;

class TimeTextTest : public ::testing::Test {
 protected:
  void SetUp() override { setZone("UTC"); }
  void TearDown() override { setZone("UTC"); }
  static void setZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
};

struct DurationCase {
  int64_t ms;
  int format;
  const char* text;
};

class DurationTextTest : public TimeTextTest, public ::testing::WithParamInterface<DurationCase> {};

TEST_P(DurationTextTest, Formats) {
  EXPECT_EQ(TimeUtilities::timeStringFromMilliseconds(
                GetParam().ms, static_cast<TimeUtilities::TimeFormat>(GetParam().format)),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, DurationTextTest,
                         ::testing::Values(DurationCase{0, 1, "00:00:00.000"},
                                           DurationCase{0, 0, "00:00:00"},
                                           DurationCase{86400000, 0, "00:00:00"},
                                           DurationCase{90061001, 0, "01:01:01"},
                                           DurationCase{90061001, 1, "01:01:01.001"},
                                           DurationCase{86399999, 1, "23:59:59.999"},
                                           // Any value other than 1 means without milliseconds.
                                           DurationCase{3723004, 7, "01:02:03"},
                                           DurationCase{3723004, 1, "01:02:03.004"}));

TEST_F(TimeTextTest, DateStringIsEightDigitsInUtcOrLocalTime) {
  EXPECT_EQ(TimeUtilities::dateStringFromMilliseconds(kDec6 * 1000, TimeUtilities::kUTC),
            "20261206");
  EXPECT_EQ(TimeUtilities::dateStringFromMilliseconds(kDec6 * 1000 - 1, TimeUtilities::kUTC),
            "20261205");
  // Milliseconds are divided toward zero: -1 ms is still 1970-01-01.
  EXPECT_EQ(TimeUtilities::dateStringFromMilliseconds(-1, TimeUtilities::kUTC), "19700101");
  EXPECT_EQ(TimeUtilities::dateStringFromMilliseconds(kMar1st2100 * 1000, TimeUtilities::kUTC),
            "21000301");
  setZone("XXX-2");  // two hours east of UTC, no zone data needed
  EXPECT_EQ(TimeUtilities::dateStringFromMilliseconds(kDec6 * 1000 - 1, TimeUtilities::kLocalTime),
            "20261206");
  EXPECT_EQ(TimeUtilities::dateStringFromMilliseconds(kDec6 * 1000 - 1, TimeUtilities::kUTC),
            "20261205");
}

struct FormatCase {
  const char* format;
  const char* text;
};

class OwnFormatterTest : public TimeTextTest, public ::testing::WithParamInterface<FormatCase> {};

// 2026-12-06 09:05:03.250 UTC.
constexpr int64_t kSample = (kDec6 + 9 * 3600 + 5 * 60 + 3) * 1000 + 250;

TEST_P(OwnFormatterTest, FormatsMilliseconds) {
  EXPECT_EQ(TimeUtilities::formatIntoString(kSample, GetParam().format, TimeUtilities::kUTC),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, OwnFormatterTest,
                         ::testing::Values(FormatCase{"%Y-%m-%d %q", "2026-12-06 ?"},
                                           FormatCase{"%Y-%m-%d_%H.%M.%S", "2026-12-06_09.05.03"},
                                           FormatCase{"%Y-%m-%dT%H:%M:%SZ", "2026-12-06T09:05:03Z"},
                                           FormatCase{"%H:%M:%S,%Y%m%d", "09:05:03,20261206"},
                                           FormatCase{"abc%", "abc"}, FormatCase{"%Y%", "2026"},
                                           FormatCase{"%", ""}, FormatCase{"", ""},
                                           FormatCase{"plain text", "plain text"},
                                           // The second "%" of "%%" is the unknown directive and
                                           // also starts the next one.
                                           FormatCase{"%%Y", "?2026"}, FormatCase{"a%%", "a?"},
                                           FormatCase{"%y|%n|%t|%Q", "26|\n|\t|?"},
                                           FormatCase{"<%d>", "<06>"}));

TEST_F(TimeTextTest, FormatterTimePointDividesMicroseconds) {
  const std::chrono::system_clock::time_point tp{
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::microseconds(kSample * 1000 + 999))};
  EXPECT_EQ(TimeUtilities::formatIntoString(tp, "%H:%M:%S", TimeUtilities::kUTC), "09:05:03");
  setZone("XXX-2");
  EXPECT_EQ(TimeUtilities::formatIntoString(tp, "%H:%M:%S", TimeUtilities::kLocalTime), "11:05:03");
}

TEST_F(TimeTextTest, FormatterWorksAfter2038) {
  const int64_t ms = (kMar1st2100 + 3723) * 1000 + 4;
  EXPECT_EQ(TimeUtilities::formatIntoString(ms, "%Y-%m-%d %H:%M:%S %y", TimeUtilities::kUTC),
            "2100-03-01 01:02:03 00");
  char buffer[kDisplayTimeBufferSize];
  EXPECT_STREQ(getDisplayTimeMs(buffer, ms, true, true), "01/03/2100 01:02:03.004");
  time_t t = 0;
  ASSERT_NE(strptime_t2("01/03/2100 01:02:03", nullptr, &t, false), nullptr);
  EXPECT_EQ(static_cast<int64_t>(t), kMar1st2100 + 3723);
  EXPECT_EQ(TimeUtilities::stringToUTCTime("2100-03-01 01:02:03"), kMar1st2100 + 3723);
}

TEST_F(TimeTextTest, ExtremeTimesDoNotOverflow) {
  EXPECT_EQ(TimeUtilities::formatIntoString(INT64_MAX, "%m", TimeUtilities::kUTC).size(), 2u);
  EXPECT_EQ(TimeUtilities::formatIntoString(INT64_MIN, "%m", TimeUtilities::kUTC).size(), 2u);
  char buffer[kDisplayTimeBufferSize];
  EXPECT_NE(getDisplayTimeMs(buffer, INT64_MIN, true, true), nullptr);
  EXPECT_LT(std::string(buffer).size(), kDisplayTimeBufferSize);
  EXPECT_EQ(TimeUtilities::timeStringFromMilliseconds(INT64_MIN, TimeUtilities::kWithMilliseconds)
                .empty(),
            false);
}

TEST_F(TimeTextTest, StringToUtcTime) {
  EXPECT_EQ(TimeUtilities::stringToUTCTime("2026-12-06 10:20:30"), kDec6 + 37230);
  // Missing time of day stays 0.
  EXPECT_EQ(TimeUtilities::stringToUTCTime("2026-12-06"), kDec6);
  // Independent of the local zone.
  setZone("XXX-2");
  EXPECT_EQ(TimeUtilities::stringToUTCTime("2026-12-06 10:20:30"), kDec6 + 37230);
}

struct ParseCase {
  const char* text;
  int64_t seconds;
  size_t consumed;
};

class StrptimeDefaultFormatsTest : public TimeTextTest,
                                   public ::testing::WithParamInterface<ParseCase> {};

TEST_P(StrptimeDefaultFormatsTest, TakesFirstFormatThatParses) {
  time_t t = -5;
  const char* end = strptime_t2(GetParam().text, nullptr, &t, false);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(static_cast<size_t>(end - GetParam().text), GetParam().consumed);
  EXPECT_EQ(static_cast<int64_t>(t), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Cases, StrptimeDefaultFormatsTest,
                         ::testing::Values(ParseCase{"06/12/2026 10:20:30", kDec6 + 37230, 19},
                                           ParseCase{"06/12/2026 10:20", kDec6 + 37200, 16},
                                           ParseCase{"06/12/2026 10", kDec6 + 36000, 13},
                                           ParseCase{"06/12/2026", kDec6, 10},
                                           // "%m/%Y": the first of the month.
                                           ParseCase{"12/2026", kDec6 - 5 * 86400, 7},
                                           ParseCase{"2026", 20454LL * 86400, 4},
                                           ParseCase{"29/02/2000", 11016LL * 86400, 10},
                                           ParseCase{"01/01/1970", 0, 10},
                                           ParseCase{"31/12/1969 23:59:59", -1, 19}));

TEST_F(TimeTextTest, StrptimeWithFormatAndFailures) {
  time_t t = 0;
  const char* text = "2026_12_06_10_20_30 rest";
  const char* end = strptime_t2(text, "%Y_%m_%d_%H_%M_%S", &t, false);
  ASSERT_NE(end, nullptr);
  EXPECT_STREQ(end, " rest");
  EXPECT_EQ(static_cast<int64_t>(t), kDec6 + 37230);

  t = 42;
  EXPECT_EQ(strptime_t2("abc", nullptr, &t, false), nullptr);
  EXPECT_EQ(t, 42);
  EXPECT_EQ(strptime_t2("2026", "%d/%m", &t, false), nullptr);
  EXPECT_EQ(strptime_t2(nullptr, nullptr, &t, false), nullptr);
  EXPECT_EQ(strptime_t2("2026", nullptr, nullptr, false), nullptr);
}

TEST_F(TimeTextTest, StrptimeLocalUsesZone) {
  setZone("XXX-2");
  time_t t = 0;
  ASSERT_NE(strptime_t2("06/12/2026 10:20:30", nullptr, &t, true), nullptr);
  EXPECT_EQ(static_cast<int64_t>(t), kDec6 + 37230 - 7200);
}

TEST_F(TimeTextTest, StrftimeT2) {
  char buf[64];
  EXPECT_EQ(strftime_t2(buf, sizeof(buf), nullptr, kDec6 + 37230, false), 19u);
  EXPECT_STREQ(buf, "06/12/2026 10:20:30");
  EXPECT_EQ(strftime_t2(buf, sizeof(buf), "%Y_%m_%d_%H_%M_%S", kDec6 + 37230, false), 19u);
  EXPECT_STREQ(buf, "2026_12_06_10_20_30");
  EXPECT_EQ(strftime_t2(buf, 5, nullptr, kDec6, false), 0u);
  EXPECT_EQ(strftime_t2(nullptr, 10, nullptr, kDec6, false), 0u);
  setZone("XXX-2");
  EXPECT_EQ(strftime_t2(buf, sizeof(buf), nullptr, kDec6 + 37230, true), 19u);
  EXPECT_STREQ(buf, "06/12/2026 12:20:30");
}

struct ColonCase {
  const char* text;
  float seconds;
  uint32_t ms;
};

class ConvertTimeTest : public ::testing::TestWithParam<ColonCase> {};

TEST_P(ConvertTimeTest, ParsesColonSeparatedDurations) {
  EXPECT_FLOAT_EQ(convertTimeSeconds(GetParam().text), GetParam().seconds);
  EXPECT_EQ(convertTimeMs(GetParam().text), GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertTimeTest,
    ::testing::Values(ColonCase{"1:02:03.5", 3723.5f, 3723500}, ColonCase{"2:30", 150.0f, 150000},
                      ColonCase{"45.25", 45.25f, 45250}, ColonCase{"", 0.0f, 0},
                      ColonCase{nullptr, 0.0f, 0}, ColonCase{"0:0:0.001", 0.001f, 1},
                      // Seconds times 1000 in single precision, then truncated.
                      ColonCase{"0.7", 0.7f, 700}, ColonCase{"1:02:03.7", 3723.7f, 3723700},
                      // Out of range for milliseconds: clamped, not undefined.
                      ColonCase{"-5", -5.0f, 0}, ColonCase{"1e30", 1e30f, 4294967295u}));

TEST(ConvertTimeNanTest, NanGivesZeroMilliseconds) { EXPECT_EQ(convertTimeMs("nan"), 0u); }

struct DisplayCase {
  int64_t ms;
  bool withDate;
  bool withMs;
  const char* text;
};

class DisplayTimeTest : public TimeTextTest, public ::testing::WithParamInterface<DisplayCase> {};

TEST_P(DisplayTimeTest, Formats) {
  char buffer[kDisplayTimeBufferSize];
  EXPECT_EQ(getDisplayTimeMs(buffer, GetParam().ms, GetParam().withDate, GetParam().withMs),
            buffer);
  EXPECT_STREQ(buffer, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayTimeTest,
    ::testing::Values(DisplayCase{-1, true, true, "31/12/1969 23:59:59.999"},
                      DisplayCase{-1000, true, true, "31/12/1969 23:59:59.000"},
                      DisplayCase{-1001, false, true, "23:59:58.999"},
                      DisplayCase{(kDec6 + 37230) * 1000 + 7, false, true, "10:20:30.007"},
                      DisplayCase{(kDec6 + 37230) * 1000 + 7, true, false, "06/12/2026 10:20:30"},
                      DisplayCase{(kDec6 + 37230) * 1000 + 7, false, false, "10:20:30"}));

TEST(DisplayTimeNullTest, NullBufferGivesNull) {
  EXPECT_EQ(getDisplayTimeMs(nullptr, 0, true, true), nullptr);
}

}  // namespace
}  // namespace tembrolexin
