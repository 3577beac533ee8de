// The all-fields initialisers generated with the field tables: every class
// has one taking every field in id order, and it marks every field set. Per
// family of classes (control, status and device; code and sync engines;
// content, assets, files and signing), chosen classes with their text form
// and bytes worked out by hand (notation of tests/schema/wire.h).

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/messages/message_envelope.h"
#include "platform/messages/message_frame.h"
#include "tests/schema/wire.h"

namespace tembrolexinplatform {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

template <typename T, typename... Args>
void expectTakesAndSetsEveryField(T (*init)(Args...)) {
  const std::string_view name = MessageFields<T>::kName;
  EXPECT_EQ(sizeof...(Args), MessageFields<T>::kFieldCount) << name;
  const T msg = init(Args{}...);
  MessageFields<T>::forEachField(msg, [&](auto field, const auto&, bool isSet, auto) {
    EXPECT_TRUE(isSet) << name << "." << field.name;
  });
}

TEST(AllFieldsInitialiserTest, EveryClassTakesEveryFieldAndMarksItSet) {
#define TL_CHECK_CLASS(T) expectTakesAndSetsEveryField(MessageFields<T>::initWithAllFields);
  TL_PLATFORM_MESSAGE_CLASSES(TL_CHECK_CLASS)
#undef TL_CHECK_CLASS
}

struct InitCase {
  std::string name;
  std::function<std::string()> text;
  std::function<std::string()> bytes;
  std::string golden_text;
  std::string golden_bytes;
};
void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
InitCase Case(std::string name, std::function<T()> make, std::string text, std::string bytes) {
  return InitCase{std::move(name), [make] { return messageDescription(make()); },
                  [make] { return serializeMessage(make()); }, std::move(text), std::move(bytes)};
}

class AllFieldsGoldenTest : public testing::TestWithParam<InitCase> {};

TEST_P(AllFieldsGoldenTest, StoresEachArgumentInItsField) {
  EXPECT_EQ(GetParam().text(), GetParam().golden_text);
  EXPECT_EQ(Hex(GetParam().bytes()), Hex(Bytes(GetParam().golden_bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    ControlStatusAndDevice, AllFieldsGoldenTest,
    testing::Values(
        Case<SDKStatusSignal>(
            "SDKStatusSignal", [] { return MessageFields<SDKStatusSignal>::initWithStatus(1, 16000); },
            "SDKStatusSignal(status:1,sampleRate:16000)",
            "08 0001 00000001 | 08 0002 00003e80 | 00"),
        // An empty string is a value: set, so written with length 0.
        Case<GSMInfoSignal>(
            "GSMInfoSignal",
            [] { return MessageFields<GSMInfoSignal>::initWithCountryCode("de", "", 7, -1); },
            "GSMInfoSignal(countryCode:\"de\",network:\"\",LAC:7,CId:-1)",
            "0b 0001 00000002 'de' | 0b 0002 00000000 | 0a 0003 0000000000000007 |"
            "0a 0004 ffffffffffffffff | 00"),
        Case<LogSignal>(
            "LogSignal", [] { return MessageFields<LogSignal>::initWithLogType(4, "m", "s"); },
            "LogSignal(logType:4,message:\"m\",sender:\"s\")",
            "08 0001 00000004 | 0b 0002 00000001 'm' | 0b 0003 00000001 's' | 00")),
    [](const testing::TestParamInfo<InitCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    CodeAndSyncEngines, AllFieldsGoldenTest,
    testing::Values(
        Case<EventData>(
            "EventData",
            [] { return MessageFields<EventData>::initWithMediaStreamId(5, "a", 30, "{}", 2); },
            "EventData(mediaStreamId:5,mediaStreamAMId:\"a\",syncTimeoutSecs:30,eventJson:\"{}\","
            "engineType:2)",
            "0a 0001 0000000000000005 | 0b 0002 00000001 'a' | 0a 0003 000000000000001e |"
            "0b 0004 00000002 '{}' | 08 0005 00000002 | 00"),
        // Same first field as EventData, another class: ten fields, the
        // zero of signalType set and written.
        Case<SyncEngineSignal>(
            "SyncEngineSignal",
            [] {
              return MessageFields<SyncEngineSignal>::initWithMediaStreamId(1, "b", "e", 0, 4, 3, -2,
                                                                            100, 1000, 2000);
            },
            "SyncEngineSignal(mediaStreamId:1,mediaStreamAMId:\"b\",eventId:\"e\",signalType:0,"
            "engineType:4,eventType:3,originalUpTime:-2,millisecondsInMediaStream:100,"
            "millisecondsSinceEpochInMediaStream:1000,millisecondsSinceEpochDeviceTime:2000)",
            "0a 0001 0000000000000001 | 0b 0002 00000001 'b' | 0b 0003 00000001 'e' |"
            "08 0004 00000000 | 08 0005 00000004 | 08 0006 00000003 | 0a 0007 fffffffffffffffe |"
            "0a 0008 0000000000000064 | 0a 0009 00000000000003e8 | 0a 000a 00000000000007d0 | 00")),
    [](const testing::TestParamInfo<InitCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    ContentAssetsFilesAndSigning, AllFieldsGoldenTest,
    testing::Values(
        Case<DownloadStatusSignal>(
            "DownloadStatusSignal",
            [] {
              return MessageFields<DownloadStatusSignal>::initWithDownloadStatusType(2, "id", "f.zip");
            },
            "DownloadStatusSignal(downloadStatusType:2,assetId:\"id\",filename:\"f.zip\")",
            "08 0001 00000002 | 0b 0002 00000002 'id' | 0b 0003 00000005 'f.zip' | 00"),
        Case<SignedData>(
            "SignedData",
            [] {
              return MessageFields<SignedData>::initWithDataId("d", std::string("\x00\xff", 2), "");
            },
            "SignedData(dataId:\"d\",data:\"<00ff>\",dataMd5:\"\")",
            "0b 0001 00000001 'd' | 0b 0002 00000002 00ff | 0b 0003 00000000 | 00")),
    [](const testing::TestParamInfo<InitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
