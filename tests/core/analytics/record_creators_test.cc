#include "core/analytics/record_creators.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/runtime/control_messages.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "schema/tembrolexin_types.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

using Make = std::function<std::unique_ptr<IProcessorEventParams>()>;

// 2026-12-31 22:30:00.123 UTC, which is 2027-01-01 00:30 two hours east of
// UTC: 2027-01-01 is day 20819 (57 years with 14 leap days), less 5400 s.
constexpr int64_t kNewYearEve = (20819LL * 86400 - 5400) * 1000 + 123;

Make codeword(int64_t msg, int32_t msgConfidence) {
  return [=] {  // bitSlicePosMsg 6, nFecErrors 2, strength 41, volume -30, scheme 9
    return std::make_unique<CodewordEventParams>(2, 11, 12, 13, 14, 3, msgConfidence, 15, 6, 2, 41,
                                                 -30, msg, 9, 8, 555, kNewYearEve, "E", 0, 0, 0);
  };
}
Make content(const std::string& emitKey) {
  return [=] {
    ContentSignal s;
    s.bundleId = "b1", s.actionId = "a1", s.timestamp = 1234, s.emitKey = emitKey, s.emitValue = "v";
    return ThriftParamsFactory::createThriftParams(s);
  };
}
template <typename T>
Make made(std::function<T()> build) {
  return [=] { return ThriftParamsFactory::createThriftParams(build()); };
}
Make decoding(int32_t state) {
  return [=] { return std::make_unique<StartStopDecodingMsg>(state); };
}

std::vector<std::unique_ptr<AbstractRecordCreator>> allCreators(const Clock& clock) {
  std::vector<std::unique_ptr<AbstractRecordCreator>> all;
  all.push_back(std::make_unique<CodewordRecordCreator>(clock));
  all.push_back(std::make_unique<AudioMatchRecordCreator>(clock));
  all.push_back(std::make_unique<EventRecordCreator>(clock));
  all.push_back(std::make_unique<ContentRecordCreator>(clock));
  all.push_back(std::make_unique<DecodingStatusRecordCreator>(clock));
  return all;
}

struct EventCase {
  const char* label;
  Make make;
  std::vector<std::string> records;  // "NAME toString()" of every record made
};

class RecordCreatorsTest : public ::testing::TestWithParam<EventCase> {
 protected:
  void SetUp() override { setZone("UTC-2"); }  // two hours east of UTC
  void TearDown() override { setZone("UTC"); }
  static void setZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  tltest::FakeClock clock;
};

TEST_P(RecordCreatorsTest, OfferedToEveryCreatorGivesExactlyTheseRecords) {
  const auto event = GetParam().make();
  std::vector<std::string> got;
  for (auto& creator : allCreators(clock)) {
    if (auto record = creator->processEventParams(event.get())) {
      EXPECT_EQ(record->time(), tltest::FakeClock::kStartWallMicros / 1000);
      got.push_back(record->name() + " " + record->toString());
    }
  }
  EXPECT_EQ(got, GetParam().records);
}

const std::string kCodewordTail =
    ",fec:2,signalstrength:41,volume:-30,bitslicepos:6,encodingscheme:9,"
    "cwtime:22:30:00.123,cwdate:20270101";
const std::string kContent = "CONTENT Analytics,bundleId:b1,actionId:a1,timestamp:1234,type:";

INSTANTIATE_TEST_SUITE_P(
    Events, RecordCreatorsTest,
    ::testing::Values(
        EventCase{"Null", [] { return nullptr; }, {}},
        EventCase{"CodewordMinusOne", codeword(-1, 3), {}},
        EventCase{"CodewordZeroUnspecifiedConfidence", codeword(0, -1),
                  {"CODEWORD Analytics,confidence:5,msg:0" + kCodewordTail}},
        EventCase{"CodewordHighConfidence", codeword(8589934592LL, 3),
                  {"CODEWORD Analytics,confidence:1,msg:8589934592" + kCodewordTail}},
        EventCase{"AudioMatch",
                  [] { return std::make_unique<AMEvent>("db", "am-7", kNewYearEve, 1500, 30000,
                                                        std::vector<double>{0.1}); },
                  {"AMEVENT Analytics,amId:am-7,offset:1500,name:db,duration:30000,"
                   "amtime:22:30:00.123,amdate:20270101"}},
        EventCase{"AudioMatchWithoutId",
                  [] { return std::make_unique<AMEvent>("db", "", 1, 2, 3, std::vector<double>{}); },
                  {}},
        EventCase{"SyncSignal", made<SyncEngineSignal>([] {
                    SyncEngineSignal s;
                    s.mediaStreamId = 4242, s.eventId = "ev-1", s.eventType = EventType::timedEvent;
                    return s.millisecondsSinceEpochDeviceTime = kNewYearEve, s;
                  }),
                  {"EVENT Analytics,type:2,trackId:4242,eventId:ev-1,etime:22:30:00.123,"
                   "edate:20270101"}},
        EventCase{"Download", made<DownloadStatusSignal>([] {
                    DownloadStatusSignal s;
                    s.downloadStatusType = DownloadStatusSignalType::failed;
                    return s.assetId = "asset", s.filename = "/f/x.zip", s;
                  }),
                  {"ASSETDOWNLOAD Analytics,type:3,assetId:asset,file:/f/x.zip"}},
        EventCase{"ContentDecoder", content("decoder"), {kContent + "decoder,value:v"}},
        EventCase{"ContentPerformanceSkipped", content("performance"), {}},
        EventCase{"ContentPerformanceOtherCase", content("Performance"),
                  {kContent + "Performance,value:v"}},
        EventCase{"ContentPerformanceTrailingSpace", content("performance "),
                  {kContent + "performance ,value:v"}},
        EventCase{"OtherMessageType", made<BackgroundData>([] { return BackgroundData(); }), {}},
        EventCase{"DecodingStart", decoding(0), {"DECODINGSTATUS Analytics,status:start"}},
        EventCase{"DecodingPause", decoding(1), {"DECODINGSTATUS Analytics,status:pause"}},
        EventCase{"DecodingStop", decoding(2), {"DECODINGSTATUS Analytics,status:stop"}},
        EventCase{"DecodingSeven", decoding(7), {"DECODINGSTATUS Analytics,status:unknown"}}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tembrolexinsdk
