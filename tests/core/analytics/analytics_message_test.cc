#include "core/analytics/analytics_message.h"

#include <gtest/gtest.h>

#include <string>

namespace tembrolexinsdk {
namespace {

// 2021-03-04 05:06:07.250 UTC and 23:59:59.999 UTC of the same day.
constexpr int64_t kMorning = 1614834367250;
constexpr int64_t kLastMs = 1614902399999;

TEST(AnalyticsMessageTest, JsonLineOfTheDecodingStatusExample) {
  AnalyticsMessage record("DECODINGSTATUS", kMorning);
  record.add("status", "start");
  const std::string line = serialise<JsonRecordWriter>(record);
  EXPECT_EQ(line,
            "{\"id\":\"DECODINGSTATUS\",\"status\":\"start\",\"timestamp\":\"2021-03-04T05:06:07Z\"}\n");
  EXPECT_EQ(line.size(), 76u);  // 75 characters and the line feed
}

TEST(AnalyticsMessageTest, MembersByKeyLaterValueWinsInsertionOrderInText) {
  AnalyticsMessage record("CODEWORD", kLastMs);
  record.add("msg", 123LL).add("fec", 2).add("bitslicepos", 7).add("msg", 456LL).add("id", "X");
  EXPECT_EQ(serialise<JsonRecordWriter>(record),
            "{\"bitslicepos\":7,\"fec\":2,\"id\":\"X\",\"msg\":456,"
            "\"timestamp\":\"2021-03-04T23:59:59Z\"}\n");
  EXPECT_EQ(record.toString(), "Analytics,msg:123,fec:2,bitslicepos:7,msg:456,id:X");
}

TEST(AnalyticsMessageTest, ValuesAreEscapedOntoOneLine) {
  AnalyticsMessage record("N", kMorning);
  record.add("t", "a\"b\nc").add("big", 9007199254740993LL);
  EXPECT_EQ(serialise<JsonRecordWriter>(record),
            "{\"big\":9007199254740993,\"id\":\"N\",\"t\":\"a\\\"b\\nc\","
            "\"timestamp\":\"2021-03-04T05:06:07Z\"}\n");
}

TEST(AnalyticsMessageTest, EmptyRecordIsNull) {
  EXPECT_EQ(serialise<JsonRecordWriter>(AnalyticsMessage("E", kMorning)), "null\n");
}

TEST(AnalyticsMessageTest, CopiesAreDeepAndMovesEmptyTheSource) {
  auto original = std::make_unique<AnalyticsMessage>("R", kMorning);
  original->add("a", 1).add("b", "two");
  AnalyticsMessage copy(*original);
  original.reset();
  EXPECT_EQ(copy.toString(), "Analytics,a:1,b:two");
  EXPECT_EQ(copy.time(), kMorning);

  AnalyticsMessage moved(std::move(copy));
  EXPECT_EQ(moved.name(), "R");
  EXPECT_TRUE(copy.name().empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(copy.elements().empty());
  AnalyticsMessage assigned("other", 0);
  assigned = moved;
  EXPECT_EQ(assigned.toString(), moved.toString());
  EXPECT_EQ(assigned.name(), "R");
}

TEST(AnalyticsMessageTest, NewRecordsAreStampedNow) {
  const int64_t before = AnalyticsMessage::timestamp();
  const AnalyticsMessage record("NOW");
  EXPECT_GE(record.time(), before);
  EXPECT_LE(record.time(), AnalyticsMessage::timestamp());
}

}  // namespace
}  // namespace tembrolexinsdk
