#include "core/analytics/record_creators.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/control_messages.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "schema/tembrolexin_types.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

// 2026-12-31 22:30:00.123 UTC, which is 2027-01-01 00:30 two hours east of
// UTC: 2027-01-01 is day 20819 (57 years with 14 leap days), less 5400 s.
constexpr int64_t kNewYearEve = (20819LL * 86400 - 5400) * 1000 + 123;

std::unique_ptr<IProcessorEventParams> codeword(int64_t msg, int32_t msgConfidence) {
  // syncState, meanVolume, meanSignalStrength, currentVolume,
  // currentSignalStrength, sigConfidence, msgConfidence, bitSlicePosSig,
  // bitSlicePosMsg, nFecErrors, msgSignalStrength95pc, msgVolume, msg,
  // msgScheme, sigScheme, steady, system, engineRef, offset, duration, position.
  return std::make_unique<CodewordEventParams>(2, 11, 12, 13, 14, 3, msgConfidence, 15, 6, 2, 41,
                                               -30, msg, 9, 8, 555, kNewYearEve, "EVENT2", 0,
                                               2000, 48000);
}

template <typename T>
std::unique_ptr<IProcessorEventParams> message(const T& value) {
  return ThriftParamsFactory::createThriftParams(value);
}

SyncEngineSignal syncSignal() {
  SyncEngineSignal s;
  s.mediaStreamId = 4242;
  s.eventId = "ev-1";
  s.eventType = EventType::timedEvent;
  s.millisecondsSinceEpochDeviceTime = kNewYearEve;
  return s;
}

ContentSignal content(const std::string& emitKey) {
  ContentSignal s;
  s.bundleId = "b1";
  s.actionId = "a1";
  s.timestamp = 1234;
  s.emitKey = emitKey;
  s.emitValue = "v";
  return s;
}

DownloadStatusSignal download() {
  DownloadStatusSignal s;
  s.downloadStatusType = DownloadStatusSignalType::failed;
  s.assetId = "asset";
  s.filename = "/f/x.zip";
  return s;
}

struct EventCase {
  const char* label;
  std::function<std::unique_ptr<IProcessorEventParams>()> make;
  // Every record the five creators give, as "NAME toString()".
  std::vector<std::string> records;
};

class RecordCreatorsTest : public ::testing::Test {
 protected:
  void SetUp() override { setZone("UTC-2"); }  // two hours east of UTC
  void TearDown() override { setZone("UTC"); }
  static void setZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

  std::vector<std::unique_ptr<AbstractRecordCreator>> creators() const {
    std::vector<std::unique_ptr<AbstractRecordCreator>> all;
    all.push_back(std::make_unique<CodewordRecordCreator>(clock));
    all.push_back(std::make_unique<AudioMatchRecordCreator>(clock));
    all.push_back(std::make_unique<EventRecordCreator>(clock));
    all.push_back(std::make_unique<ContentRecordCreator>(clock));
    all.push_back(std::make_unique<DecodingStatusRecordCreator>(clock));
    return all;
  }

  tltest::FakeClock clock;
};

class EventRecordsTest : public RecordCreatorsTest,
                         public ::testing::WithParamInterface<EventCase> {};

TEST_P(EventRecordsTest, GivesExactlyTheseRecords) {
  const auto event = GetParam().make();
  std::vector<std::string> got;
  for (auto& creator : creators()) {
    if (auto record = creator->processEventParams(event.get())) {
      EXPECT_EQ(record->time(), tltest::FakeClock::kStartWallMicros / 1000);
      got.push_back(record->name() + " " + record->toString());
    }
  }
  EXPECT_EQ(got, GetParam().records);
}

const char kCodewordTail[] =
    ",fec:2,signalstrength:41,volume:-30,bitslicepos:6,encodingscheme:9,"
    "cwtime:22:30:00.123,cwdate:20270101";

INSTANTIATE_TEST_SUITE_P(
    Events, EventRecordsTest,
    ::testing::Values(
        EventCase{"Null", [] { return nullptr; }, {}},
        EventCase{"CodewordMinusOne", [] { return codeword(-1, 3); }, {}},
        EventCase{"CodewordZeroUnspecifiedConfidence",
                  [] { return codeword(0, -1); },
                  {std::string("CODEWORD Analytics,confidence:5,msg:0") + kCodewordTail}},
        EventCase{"CodewordHighConfidence",
                  [] { return codeword(8589934592LL, 3); },
                  {std::string("CODEWORD Analytics,confidence:1,msg:8589934592") + kCodewordTail}},
        EventCase{"CodewordInvalidConfidence",
                  [] { return codeword(7, 0); },
                  {std::string("CODEWORD Analytics,confidence:4,msg:7") + kCodewordTail}},
        EventCase{"AudioMatch",
                  [] {
                    return std::make_unique<AMEvent>("db", "am-7", kNewYearEve, 1500, 30000,
                                                     std::vector<double>{0.1});
                  },
                  {"AMEVENT Analytics,amId:am-7,offset:1500,name:db,duration:30000,"
                   "amtime:22:30:00.123,amdate:20270101"}},
        EventCase{"AudioMatchWithoutId",
                  [] {
                    return std::make_unique<AMEvent>("db", "", kNewYearEve, 1, 2,
                                                     std::vector<double>{});
                  },
                  {}},
        EventCase{"SyncSignal",
                  [] { return message(syncSignal()); },
                  {"EVENT Analytics,type:2,trackId:4242,eventId:ev-1,etime:22:30:00.123,"
                   "edate:20270101"}},
        EventCase{"Download",
                  [] { return message(download()); },
                  {"ASSETDOWNLOAD Analytics,type:3,assetId:asset,file:/f/x.zip"}},
        EventCase{"ContentDecoder",
                  [] { return message(content("decoder")); },
                  {"CONTENT Analytics,bundleId:b1,actionId:a1,timestamp:1234,type:decoder,value:v"}},
        EventCase{"ContentPerformanceSkipped", [] { return message(content("performance")); }, {}},
        EventCase{"ContentPerformanceOtherCase",
                  [] { return message(content("Performance")); },
                  {"CONTENT Analytics,bundleId:b1,actionId:a1,timestamp:1234,type:Performance,"
                   "value:v"}},
        EventCase{"ContentPerformanceTrailingSpace",
                  [] { return message(content("performance ")); },
                  {"CONTENT Analytics,bundleId:b1,actionId:a1,timestamp:1234,type:performance ,"
                   "value:v"}},
        EventCase{"OtherMessageType",
                  [] {
                    BackgroundData b;
                    b.status = BackgroundDataStatus::Start;
                    return message(b);
                  },
                  {}},
        EventCase{"DecodingStart",
                  [] { return std::make_unique<StartStopDecodingMsg>(0); },
                  {"DECODINGSTATUS Analytics,status:start"}},
        EventCase{"DecodingPause",
                  [] { return std::make_unique<StartStopDecodingMsg>(1); },
                  {"DECODINGSTATUS Analytics,status:pause"}},
        EventCase{"DecodingStop",
                  [] { return std::make_unique<StartStopDecodingMsg>(2); },
                  {"DECODINGSTATUS Analytics,status:stop"}},
        EventCase{"DecodingSeven",
                  [] { return std::make_unique<StartStopDecodingMsg>(7); },
                  {"DECODINGSTATUS Analytics,status:unknown"}},
        EventCase{"ProcessingComplete", [] { return std::make_unique<ProcessingCompleteParams>(); },
                  {}}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.label); });

// A string field of Thrift's binary encoding: type 11, field id, length, bytes.
std::string stringField(int id, const std::string& text) {
  std::string out{'\x0b', '\x00', static_cast<char>(id), '\0', '\0', '\0',
                  static_cast<char>(text.size())};
  return out + text;
}

TEST_F(RecordCreatorsTest, NotificationsOnTheBusBecomeScheduledContent) {
  const std::string bytes = stringField(1, "n1") + stringField(2, "popup") +
                            stringField(3, "https://x/y") + stringField(4, "42") + '\0';
  const ThriftParams notification(12, bytes.size(), bytes.data());
  std::vector<std::string> got;
  std::vector<int> listened;
  for (auto& creator : creators()) {
    for (int id : creator->listensTo()) listened.push_back(id);
    if (auto record = creator->processThriftParams(notification)) {
      got.push_back(record->name() + " " + record->toString());
    }
    // The same message offered as a processor event records nothing.
    EXPECT_EQ(creator->processEventParams(&notification), nullptr);
  }
  EXPECT_EQ(listened, std::vector<int>{12});
  EXPECT_EQ(got, std::vector<std::string>{
                     "SCHEDULEDCONTENT Analytics,type:popup,url:https://x/y,notificationId:n1,"
                     "value:42"});
  // Other bus messages give nothing.
  const auto other = ThriftParamsFactory::createThriftParams(content("decoder"));
  for (auto& creator : creators()) EXPECT_EQ(creator->processThriftParams(*other), nullptr);
}

TEST_F(RecordCreatorsTest, ContentLineCarriesTheSignalTimestamp) {
  const auto event = message(content("decoder"));
  const auto record = ContentRecordCreator(clock).processEventParams(event.get());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(serialise<JsonRecordWriter>(*record),
            "{\"actionId\":\"a1\",\"bundleId\":\"b1\",\"id\":\"CONTENT\",\"timestamp\":1234,"
            "\"type\":\"decoder\",\"value\":\"v\"}\n");
}

}  // namespace
}  // namespace tembrolexinsdk
