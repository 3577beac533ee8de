// Byte-exact wire form of every schema struct, default-constructed and with
// every field set. The golden bytes are written out by hand from the binary
// protocol's rules:
//   field header  = wire type (1 byte) + field id (big-endian i16)
//   wire types    = bool 02, double 04, i16 06, i32/enum 08, i64 0a,
//                   string/binary 0b, struct 0c, map 0d, set 0e, list 0f
//   values        = big-endian; string = i32 length + bytes;
//                   list/set = element type + i32 count; map = key type +
//                   value type + i32 count; struct ends with stop byte 00.
// Default fields are always written; optional ones only when set.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "schema/tembrolexin_types.h"
#include "tests/schema/wire.h"

namespace tembrolexinsdk {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

// Zero values of each width.
#define Z2 " 0000 "
#define Z4 " 00000000 "
#define Z8 " 0000000000000000 "

struct GoldenCase {
  std::string name;
  std::string default_golden;  // notation of tl_test::Bytes
  std::string full_golden;
  std::function<std::string(uint32_t*)> write_default;
  std::function<std::string(uint32_t*)> write_full;
  // Reads the bytes into a new struct and compares it with the expected one
  // (default or fully set); writing it again must give the same bytes.
  std::function<testing::AssertionResult(const std::string&, bool full)>
      read_back;
};

template <typename T>
testing::AssertionResult ReadBack(const std::string& bytes,
                                  const T& expected) {
  T got;
  uint32_t remaining = 99;
  uint32_t n = tl_test::Deserialize(bytes, got, &remaining);
  if (n != bytes.size()) {
    return testing::AssertionFailure()
           << "read reported " << n << " bytes of " << bytes.size();
  }
  if (remaining != 0) {
    return testing::AssertionFailure() << remaining << " bytes left unread";
  }
  if (!(got == expected)) {
    return testing::AssertionFailure() << "read gave " << got << ", expected "
                                       << expected;
  }
  std::string again = tl_test::Serialize(got);
  if (again != bytes) {
    return testing::AssertionFailure() << "rewritten as " << Hex(again);
  }
  return testing::AssertionSuccess();
}

template <typename T>
GoldenCase Case(std::string name, std::function<void(T&)> fill,
                std::string default_golden, std::string full_golden) {
  GoldenCase c;
  c.name = std::move(name);
  c.default_golden = std::move(default_golden);
  c.full_golden = std::move(full_golden);
  c.write_default = [](uint32_t* n) { return tl_test::Serialize(T(), n); };
  c.write_full = [fill](uint32_t* n) {
    T value;
    fill(value);
    return tl_test::Serialize(value, n);
  };
  c.read_back = [fill](const std::string& bytes, bool full) {
    T expected;
    if (full) fill(expected);
    return ReadBack(bytes, expected);
  };
  return c;
}

std::vector<GoldenCase> AllCases() {
  std::vector<GoldenCase> cases;

  // ---- Decoding messages ----

  cases.push_back(Case<CodewordSignal>(
      "CodewordSignal",
      [](CodewordSignal& s) {
        s.__set_sender("dec");
        s.__set_syncState(DecodingConfidence::High);
        s.__set_meanVolume(0x0102);
        s.__set_meanSignalStrength(-2);
        s.__set_currentVolume(3);
        s.__set_currentSignalStrength(4);
        s.__set_sigConfidence(DecodingConfidence::Medium);
        s.__set_msgConfidence(DecodingConfidence::Low);
        s.__set_bitSlicePosSig(9);
        s.__set_bitSlicePosMsg(10);
        s.__set_nFecErrors(11);
        s.__set_msgSignalStrength95pc(12);
        s.__set_msgVolume(13);
        s.__set_msg(0x0102030405060708LL);
        s.__set_msgScheme(15);
        s.__set_sigScheme(-16);
        s.__set_engineRef("trig");
        s.__set_offset(18);
        s.__set_codewordDuration(1000);
        s.__set_steadyTimeStamp(20);
        s.__set_systemTimeStamp(1700000000000LL);
      },
      "0b0001" Z4 "080002" Z4 "060003" Z2 "060004" Z2 "060005" Z2
      "060006" Z2 "080007" Z4 "080008" Z4 "060009" Z2 "06000a" Z2
      "06000b" Z2 "06000c" Z2 "06000d" Z2 "0a000e" Z8 "08000f" Z4
      "080010" Z4 "0b0011" Z4 "0a0012" Z8 "0a0013" Z8 "0a0014" Z8
      "0a0015" Z8 "00",
      "0b0001 00000003 'dec'"
      "080002 00000004"
      "060003 0102"
      "060004 fffe"
      "060005 0003"
      "060006 0004"
      "080007 00000003"
      "080008 00000002"
      "060009 0009"
      "06000a 000a"
      "06000b 000b"
      "06000c 000c"
      "06000d 000d"
      "0a000e 0102030405060708"
      "08000f 0000000f"
      "080010 fffffff0"
      "0b0011 00000004 'trig'"
      "0a0012 0000000000000012"
      "0a0013 00000000000003e8"
      "0a0014 0000000000000014"
      "0a0015 0000018bcfe56800"
      "00"));

  cases.push_back(Case<PartialCodewordSignal>(
      "PartialCodewordSignal",
      [](PartialCodewordSignal& s) {
        s.__set_encoderID(1);
        s.__set_timeShift(-2);
        s.__set_startTime(3);
        s.__set_stopTime(4);
        s.__set_startTimeFinal(true);
        s.__set_stopTimeFinal(true);
        s.__set_encodingScheme(7);
        s.__set_metricInit(8);
        s.__set_metricSum(9);
        s.__set_metricNMerge(10);
        s.__set_nCodewords(11);
        s.__set_pluginName("pl");
        s.__set_firstCodeword(13);
        s.__set_timeSeqStart(14);
        s.__set_systemTimeStamp(15);
        s.__set_steadyTimeStamp(16);
        s.__set_codewordDuration(17);
        s.__set_engineRef("e");
      },
      "080001" Z4 "0a0002" Z8 "0a0003" Z8 "0a0004" Z8 "020005 00"
      "020006 00" "080007" Z4 "080008" Z4 "080009" Z4 "08000a" Z4
      "08000b" Z4 "0b000c" Z4 "0a000d" Z8 "0a000e" Z8 "0a000f" Z8
      "0a0010" Z8 "0a0011" Z8 "0b0012" Z4 "00",
      "080001 00000001"
      "0a0002 fffffffffffffffe"
      "0a0003 0000000000000003"
      "0a0004 0000000000000004"
      "020005 01"
      "020006 01"
      "080007 00000007"
      "080008 00000008"
      "080009 00000009"
      "08000a 0000000a"
      "08000b 0000000b"
      "0b000c 00000002 'pl'"
      "0a000d 000000000000000d"
      "0a000e 000000000000000e"
      "0a000f 000000000000000f"
      "0a0010 0000000000000010"
      "0a0011 0000000000000011"
      "0b0012 00000001 'e'"
      "00"));

  cases.push_back(Case<AudioSignal>(
      "AudioSignal",
      [](AudioSignal& s) {
        s.__set_audioLevel(0x0102);
        s.__set_firstInvalidSample(-1);
        s.__set_lastInvalidSample(0x0102030405060708LL);
        s.__set_numberInvalidSamples(0x01020304);
        s.__set_repeatedBuffer(true);
        s.__set_systemTimeStamp(1700000000000LL);
      },
      "060001" Z2 "0a0002" Z8 "0a0003" Z8 "080004" Z4 "020005 00"
      "0a0006" Z8 "00",
      "060001 0102"
      "0a0002 ffffffffffffffff"
      "0a0003 0102030405060708"
      "080004 01020304"
      "020005 01"
      "0a0006 0000018bcfe56800"
      "00"));

  cases.push_back(Case<AMSignal>(
      "AMSignal",
      [](AMSignal& s) {
        s.__set_amId("am1");
        s.__set_dbEntryName("db");
        s.__set_timeStamp(3);
        s.__set_offset(4);
        s.__set_duration(5);
        s.__set_ber({1.5, -2.25});
      },
      "0b0001" Z4 "0b0002" Z4 "0a0003" Z8 "0a0004" Z8 "0a0005" Z8
      "0f0006 04 00000000" "00",
      "0b0001 00000003 'am1'"
      "0b0002 00000002 'db'"
      "0a0003 0000000000000003"
      "0a0004 0000000000000004"
      "0a0005 0000000000000005"
      "0f0006 04 00000002 3ff8000000000000 c002000000000000"
      "00"));

  cases.push_back(Case<PowerDetectorMsg>(
      "PowerDetectorMsg",
      [](PowerDetectorMsg& s) {
        s.__set_powerDetectorMsgStatus(PowerDetectorMsgStatus::PowerDetector_On);
      },
      "080001" Z4 "00",
      "080001 00000002 00"));

  cases.push_back(Case<RecorderEvent>(
      "RecorderEvent",
      [](RecorderEvent& s) {
        s.__set_eventType(RecorderEventType::Destroyed);
        s.__set_message("m");
        s.__set_instance(0x7fffffffffffffffLL);
      },
      "080001" Z4 "0b0002" Z4 "0a0003" Z8 "00",
      "080001 00000003"
      "0b0002 00000001 'm'"
      "0a0003 7fffffffffffffff"
      "00"));

  cases.push_back(Case<ProcessorStatusSignal>(
      "ProcessorStatusSignal",
      [](ProcessorStatusSignal& s) {
        s.__set_statusDescription("idle");
        s.__set_statusStrings({"a", "bc"});
        s.__set_status(ProcessorStatus::NoUpdate);
      },
      "0b0001" Z4 "0f0002 0b 00000000" "080003" Z4 "00",
      "0b0001 00000004 'idle'"
      "0f0002 0b 00000002 00000001 'a' 00000002 'bc'"
      "080003 00000003"
      "00"));

  // ---- Control, configuration and status messages ----

  cases.push_back(Case<InitData>(
      "InitData",
      [](InitData& s) {
        s.__set_sampleRates(0x1234);
        s.__set_deviceId(7);
        s.__set_filePath("/f");
        s.__set_libraryPath("/l");
        s.__set_externalFilePath("/e");
        s.__set_packageName("p");
        s.__set_udId("u");
        s.__set_processorPlugins({5, -1});  // written in ascending order
        s.__set_audioProcessorPlugins({9});
      },
      "00",  // every field optional and unset: the stop byte alone
      "080003 00001234"
      "080004 00000007"
      "0b0005 00000002 '/f'"
      "0b0006 00000002 '/l'"
      "0b0007 00000002 '/e'"
      "0b0008 00000001 'p'"
      "0b0009 00000001 'u'"
      "0e000a 0a 00000002 ffffffffffffffff 0000000000000005"
      "0e000b 0a 00000001 0000000000000009"
      "00"));

  cases.push_back(Case<InstructionSignal>(
      "InstructionSignal",
      [](InstructionSignal& s) {
        s.__set_instruction(SdkInstruction::SdkInstruction_prepareData);
        s.__set_shouldRecordToFile(true);
      },
      "080001" Z4 "00",
      "080001 00000002 020002 01 00"));

  cases.push_back(Case<ConfigParam>(
      "ConfigParam",
      [](ConfigParam& s) {
        s.__set_type(ConfigParamType::ConfigParam_String);
        s.__set_boolValue(true);
        s.__set_intValue(-5);
        s.__set_doubleValue(0.5);
        s.__set_longlongValue(0x100000000LL);
        s.__set_stringValue("s");
      },
      "080001" Z4 "00",  // the required type is always written
      "080001 00000004"
      "020002 01"
      "080003 fffffffb"
      "040004 3fe0000000000000"
      "0a0005 0000000100000000"
      "0b0006 00000001 's'"
      "00"));

  cases.push_back(Case<ConfigurationMapSignal>(
      "ConfigurationMapSignal",
      [](ConfigurationMapSignal& s) {
        ConfigParam i;
        i.__set_type(ConfigParamType::ConfigParam_Int);
        i.__set_intValue(7);
        ConfigParam t;
        t.__set_type(ConfigParamType::ConfigParam_String);
        t.__set_stringValue("x");
        s.__set_config({{"b", i}, {"a", t}});  // written in key order
        s.__set_target(ConfigTarget::Target_Platform);
      },
      "0d0001 0b 0c 00000000" "080002" Z4 "00",
      "0d0001 0b 0c 00000002"
      "  00000001 'a' 080001 00000004 0b0006 00000001 'x' 00"
      "  00000001 'b' 080001 00000001 080003 00000007 00"
      "080002 00000001"
      "00"));

  cases.push_back(Case<SDKStatusSignal>(
      "SDKStatusSignal",
      [](SDKStatusSignal& s) {
        s.__set_status(SDKStatus::AudioSupportUpdate);
        s.__set_sampleRate(0x10000);
      },
      "080001" Z4 "00",
      "080001 00000004 080002 00010000 00"));

  cases.push_back(Case<FailureSignal>(
      "FailureSignal",
      [](FailureSignal& s) { s.__set_descriptionString("fail"); },
      "0b0001" Z4 "00",
      "0b0001 00000004 'fail' 00"));

  cases.push_back(Case<LogSignal>(
      "LogSignal",
      [](LogSignal& s) {
        s.__set_logType(LogType::Assert);
        s.__set_message("hi");
        s.__set_sender("s1");
      },
      "080001" Z4 "0b0002" Z4 "0b0003" Z4 "00",
      "080001 00000005"
      "0b0002 00000002 'hi'"
      "0b0003 00000002 's1'"
      "00"));

  cases.push_back(Case<NTPInfoSignal>(
      "NTPInfoSignal",
      [](NTPInfoSignal& s) {
        s.__set_inElapsedRealTime(1);
        s.__set_inTransmitTimestamp(0x0102030405060708LL);
        s.__set_inRoundTripDelay(3);
        s.__set_inDrift(-4);
        s.__set_upTimeMillis(5);
        s.__set_rawNTP(std::string("\x00\xff\x10", 3));
      },
      // id 6 is unused: never on the wire
      "0a0001" Z8 "0a0002" Z8 "0a0003" Z8 "0a0004" Z8 "0a0005" Z8
      "0b0007" Z4 "00",
      "0a0001 0000000000000001"
      "0a0002 0102030405060708"
      "0a0003 0000000000000003"
      "0a0004 fffffffffffffffc"
      "0a0005 0000000000000005"
      "0b0007 00000003 00ff10"
      "00"));

  cases.push_back(Case<GPSInfoSignal>(
      "GPSInfoSignal",
      [](GPSInfoSignal& s) {
        s.__set_longitude(-2.25);
        s.__set_latitude(51.5);
      },
      "040001" Z8 "040002" Z8 "00",
      "040001 c002000000000000 040002 4049c00000000000 00"));

  cases.push_back(Case<GSMInfoSignal>(
      "GSMInfoSignal",
      [](GSMInfoSignal& s) {
        s.__set_countryCode("234");
        s.__set_network("15");
        s.__set_LAC(4294967297LL);
        s.__set_CId(0x12345678);
      },
      "0b0001" Z4 "0b0002" Z4 "0a0003" Z8 "0a0004" Z8 "00",
      "0b0001 00000003 '234'"
      "0b0002 00000002 '15'"
      "0a0003 0000000100000001"
      "0a0004 0000000012345678"
      "00"));

  cases.push_back(Case<BackgroundData>(
      "BackgroundData",
      [](BackgroundData& s) {
        s.__set_backgroundType(BackgroundDataType::SDKAnalytics);
        s.__set_status(BackgroundDataStatus::Complete);
      },
      "080001" Z4 "080002" Z4 "00",
      "080001 00000000 080002 00000001 00"));

  // ---- Content and asset messages ----

#define ASSET_INFO_FROM_2 \
  "0b0002" Z4 "080003" Z4 "080004" Z4 "0a0005" Z8 "0a0006" Z8 "0b0007" Z4 \
  "0b0008" Z4 "00"

  cases.push_back(Case<AssetInfo>(
      "AssetInfo",
      [](AssetInfo& s) {
        s.__set_assetID("A1");
        s.__set_assetTitle("T");
        s.__set_schemaVersion(2);
        s.__set_version(3);
        s.__set_validFrom(1000);
        s.__set_validTo(2000);
        s.__set_assetDescription("D");
        s.__set_assetFolderPath("/a");
      },
      "0b0001" Z4 ASSET_INFO_FROM_2,
      "0b0001 00000002 'A1'"
      "0b0002 00000001 'T'"
      "080003 00000002"
      "080004 00000003"
      "0a0005 00000000000003e8"
      "0a0006 00000000000007d0"
      "0b0007 00000001 'D'"
      "0b0008 00000002 '/a'"
      "00"));

  cases.push_back(Case<AssetInfoList>(
      "AssetInfoList",
      [](AssetInfoList& s) {
        AssetInfo x;
        x.__set_assetID("x");
        s.__set_assetsInfoList({x, AssetInfo()});
      },
      "0f0001 0c 00000000 00",
      "0f0001 0c 00000002"
      "  0b0001 00000001 'x'" ASSET_INFO_FROM_2
      "  0b0001" Z4 ASSET_INFO_FROM_2
      "00"));

#define ASSET_ACTION_FROM_2                                                  \
  "0b0002" Z4 "080003" Z4 "0b0004" Z4 "0b0005" Z4 "0b0006" Z4 "0a0007" Z8   \
  "0b0008" Z4 "0b0009" Z4 "0b000a" Z4 "0a000b" Z8 "0a000c" Z8 "0b000d" Z4   \
  "02000e 00" "00"

  cases.push_back(Case<AssetAction>(
      "AssetAction",
      [](AssetAction& s) {
        s.__set_actionID("a");
        s.__set_assetID("b");
        s.__set_engine(EngineType::SCHEDULE);
        s.__set_scheme("s");
        s.__set_trigger("123");
        s.__set_entryPoint("i.html");
        s.__set_secondsDelay(7);
        s.__set_notificationText("nt");
        s.__set_notificationTitle("ti");
        s.__set_notificationID("schedule_engine_asset_b_action_a");
        s.__set_timeStamp(11);
        s.__set_scheduleEngineActionTimestamp(12);
        s.__set_json("{}");
        s.__set_completed(true);
      },
      "0b0001" Z4 ASSET_ACTION_FROM_2,
      "0b0001 00000001 'a'"
      "0b0002 00000001 'b'"
      "080003 00000003"
      "0b0004 00000001 's'"
      "0b0005 00000003 '123'"
      "0b0006 00000006 'i.html'"
      "0a0007 0000000000000007"
      "0b0008 00000002 'nt'"
      "0b0009 00000002 'ti'"
      "0b000a 00000020 'schedule_engine_asset_b_action_a'"
      "0a000b 000000000000000b"
      "0a000c 000000000000000c"
      "0b000d 00000002 '{}'"
      "02000e 01"
      "00"));

  cases.push_back(Case<AssetActionList>(
      "AssetActionList",
      [](AssetActionList& s) {
        AssetAction a;
        a.__set_actionID("a");
        s.__set_assetActionMap({{"c", {}}, {"b", {a}}});
      },
      "0d0001 0b 0f 00000000 00",
      "0d0001 0b 0f 00000002"
      "  00000001 'b' 0c 00000001"
      "    0b0001 00000001 'a'" ASSET_ACTION_FROM_2
      "  00000001 'c' 0c 00000000"
      "00"));

  cases.push_back(Case<ContentSignal>(
      "ContentSignal",
      [](ContentSignal& s) {
        s.__set_bundleId("b");
        s.__set_actionId("a");
        s.__set_timestamp(3);
        s.__set_emitKey("k");
        s.__set_emitValue("{\"v\":1}");
        s.__set_timeInTrack(6);
      },
      "0b0001" Z4 "0b0002" Z4 "0a0003" Z8 "0b0004" Z4 "0b0005" Z4
      "0a0006" Z8 "00",
      "0b0001 00000001 'b'"
      "0b0002 00000001 'a'"
      "0a0003 0000000000000003"
      "0b0004 00000001 'k'"
      "0b0005 00000007 '{\"v\":1}'"
      "0a0006 0000000000000006"
      "00"));

  cases.push_back(Case<DownloadStatusSignal>(
      "DownloadStatusSignal",
      [](DownloadStatusSignal& s) {
        s.__set_downloadStatusType(DownloadStatusSignalType::failed);
        s.__set_assetId("id");
        s.__set_filename("f.zip");
      },
      "080001" Z4 "0b0002" Z4 "0b0003" Z4 "00",
      "080001 00000003"
      "0b0002 00000002 'id'"
      "0b0003 00000005 'f.zip'"
      "00"));

  cases.push_back(Case<AssetMessage>(
      "AssetMessage",
      [](AssetMessage& s) {
        s.__set_assetId("a");
        s.__set_messageJson("{}");
      },
      "0b0001" Z4 "0b0002" Z4 "00",
      "0b0001 00000001 'a' 0b0002 00000002 '{}' 00"));

  cases.push_back(Case<JavascriptMessage>(
      "JavascriptMessage",
      [](JavascriptMessage& s) {
        s.__set_messageType(JavascriptMessageType::StoreResponse);
        s.__set_bundleId("b");
        s.__set_messageContent("c");
        s.__set_key("k");
      },
      "080001" Z4 "0b0002" Z4 "0b0003" Z4 "0b0004" Z4 "00",
      "080001 00000002"
      "0b0002 00000001 'b'"
      "0b0003 00000001 'c'"
      "0b0004 00000001 'k'"
      "00"));

  cases.push_back(Case<NotificationData>(
      "NotificationData",
      [](NotificationData& s) {
        s.__set_notificationId("n");
        s.__set_type("t");
        s.__set_url("u");
        s.__set_value("v");
      },
      "0b0001" Z4 "0b0002" Z4 "0b0003" Z4 "0b0004" Z4 "00",
      "0b0001 00000001 'n'"
      "0b0002 00000001 't'"
      "0b0003 00000001 'u'"
      "0b0004 00000001 'v'"
      "00"));

  cases.push_back(Case<StringRequest>(
      "StringRequest",
      [](StringRequest& s) {
        s.__set_messageType(MessageType::Response);
        s.__set_contentType(ContentType::CachedActions);
        s.__set_response("http://x");
      },
      // a request still carries the empty response
      "080001" Z4 "080002" Z4 "0b0003" Z4 "00",
      "080001 00000001"
      "080002 00000001"
      "0b0003 00000008 'http://x'"
      "00"));

  cases.push_back(Case<AMDBSignal>(
      "AMDBSignal",
      [](AMDBSignal& s) {
        s.__set_action(AMDBAction::RemoveComplete);
        s.__set_filepaths({"b", "a"});  // a list keeps its order
        s.__set_preference(AMDBPreference::Move);
        s.__set_errorCode(-1);
        s.__set_errorDescription("e");
      },
      "080001" Z4 "0f0002 0b 00000000" "080003" Z4 "080004" Z4 "0b0005" Z4
      "00",
      "080001 00000006"
      "0f0002 0b 00000002 00000001 'b' 00000001 'a'"
      "080003 00000001"
      "080004 ffffffff"
      "0b0005 00000001 'e'"
      "00"));

  // ---- Engine, synchronisation, prepared-file and signing messages ----

  cases.push_back(Case<EventData>(
      "EventData",
      [](EventData& s) {
        s.__set_mediaStreamId(1234);
        s.__set_mediaStreamAMId("m");
        s.__set_syncTimeoutSecs(-1);
        s.__set_eventJson("{}");
        s.__set_engineType(EngineType::EVENT2);
      },
      "0a0001" Z8 "0b0002" Z4 "0a0003" Z8 "0b0004" Z4 "080005" Z4 "00",
      "0a0001 00000000000004d2"
      "0b0002 00000001 'm'"
      "0a0003 ffffffffffffffff"
      "0b0004 00000002 '{}'"
      "080005 00000002"
      "00"));

  cases.push_back(Case<SyncEngineSignal>(
      "SyncEngineSignal",
      [](SyncEngineSignal& s) {
        s.__set_mediaStreamId(1);
        s.__set_mediaStreamAMId("am");
        s.__set_eventId("ev");
        s.__set_signalType(SignalType::amevent);
        s.__set_engineType(EngineType::HEARTBEAT);
        s.__set_eventType(EventType::tick);
        s.__set_originalUpTime(7);
        s.__set_millisecondsInMediaStream(8);
        s.__set_millisecondsSinceEpochInMediaStream(9);
        s.__set_millisecondsSinceEpochDeviceTime(10);
      },
      "0a0001" Z8 "0b0002" Z4 "0b0003" Z4 "080004" Z4 "080005" Z4
      "080006" Z4 "0a0007" Z8 "0a0008" Z8 "0a0009" Z8 "0a000a" Z8 "00",
      "0a0001 0000000000000001"
      "0b0002 00000002 'am'"
      "0b0003 00000002 'ev'"
      "080004 00000001"
      "080005 00000004"
      "080006 00000003"
      "0a0007 0000000000000007"
      "0a0008 0000000000000008"
      "0a0009 0000000000000009"
      "0a000a 000000000000000a"
      "00"));

  cases.push_back(Case<CheckedFilePreparedEventSignal>(
      "CheckedFilePreparedEventSignal",
      [](CheckedFilePreparedEventSignal& s) {
        s.__set_mPathsToPreparedFilesWithChecks(
            {{"/p", std::string("\x00\x01", 2)}, {"/a", ""}});
      },
      "0d0001 0b 0b 00000000 00",
      "0d0001 0b 0b 00000002"
      "  00000002 '/a' 00000000"
      "  00000002 '/p' 00000002 0001"
      "00"));

  cases.push_back(Case<SignDataRequest>(
      "SignDataRequest",
      [](SignDataRequest& s) {
        s.__set_dataId("request_0000000001");
        s.__set_data(std::string("\x00\x01\x00", 3));
      },
      "0b0001" Z4 "0b0002" Z4 "00",
      "0b0001 00000012 'request_0000000001'"
      "0b0002 00000003 000100"
      "00"));

  cases.push_back(Case<SignedData>(
      "SignedData",
      [](SignedData& s) {
        s.__set_dataId("r");
        s.__set_data(std::string("\xff", 1));
        s.__set_dataMd5("d41d8cd98f00b204e9800998ecf8427e");
      },
      "0b0001" Z4 "0b0002" Z4 "0b0003" Z4 "00",
      "0b0001 00000001 'r'"
      "0b0002 00000001 ff"
      "0b0003 00000020 'd41d8cd98f00b204e9800998ecf8427e'"
      "00"));

  return cases;
}

class SchemaGoldenTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(SchemaGoldenTest, DefaultConstructedWritesGoldenBytes) {
  const GoldenCase& c = GetParam();
  uint32_t reported = 0;
  std::string written = c.write_default(&reported);
  EXPECT_EQ(Hex(written), Hex(Bytes(c.default_golden)));
  EXPECT_EQ(reported, written.size());
}

TEST_P(SchemaGoldenTest, FullySetWritesGoldenBytes) {
  const GoldenCase& c = GetParam();
  uint32_t reported = 0;
  std::string written = c.write_full(&reported);
  EXPECT_EQ(Hex(written), Hex(Bytes(c.full_golden)));
  EXPECT_EQ(reported, written.size());
}

TEST_P(SchemaGoldenTest, DefaultGoldenBytesReadBack) {
  const GoldenCase& c = GetParam();
  EXPECT_TRUE(c.read_back(Bytes(c.default_golden), /*full=*/false));
}

TEST_P(SchemaGoldenTest, FullGoldenBytesReadBack) {
  const GoldenCase& c = GetParam();
  EXPECT_TRUE(c.read_back(Bytes(c.full_golden), /*full=*/true));
}

INSTANTIATE_TEST_SUITE_P(
    AllStructs, SchemaGoldenTest, testing::ValuesIn(AllCases()),
    [](const testing::TestParamInfo<GoldenCase>& info) {
      return info.param.name;
    });

TEST(SchemaGoldenTableTest, CoversAll34StructsOnce) {
  std::set<std::string> names;
  for (const GoldenCase& c : AllCases()) names.insert(c.name);
  EXPECT_EQ(names.size(), 34u);
  EXPECT_EQ(AllCases().size(), 34u);
}

}  // namespace
}  // namespace tembrolexinsdk
