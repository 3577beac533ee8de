// Hash, text form and keyed archive of the message classes, on chosen
// classes with values worked out by hand from the rules in
// platform/messages/message_frame.h. In the hash derivations M is the mark
// of a set field, 2654435761 (0x9e3779b1), and all arithmetic wraps at 2^64.

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <unordered_set>

#include <gtest/gtest.h>
#include <json/json.h>

#include "platform/messages/message_frame.h"

namespace tembrolexinplatform {
namespace {

// The archive as compact JSON text (JsonCpp sorts the keys).
std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

Json::Value Parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
  return root;
}

// One message, its text form, hash and archive, as derived by hand.
struct GoldenCase {
  std::string name;
  std::function<std::string()> text;
  std::function<uint64_t()> hash;
  std::function<std::string()> archive;
  std::string golden_text;
  uint64_t golden_hash;
  std::string golden_archive;
};
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
GoldenCase Case(std::string name, std::function<void(T&)> fill, std::string text, uint64_t hash,
                std::string archive) {
  auto make = [fill] {
    T msg;
    fill(msg);
    return msg;
  };
  return GoldenCase{std::move(name),
                    [make] { return messageDescription(make()); },
                    [make] { return messageHash(make()); },
                    [make] { return Compact(archiveMessage(make())); },
                    std::move(text),
                    hash,
                    std::move(archive)};
}

class GoldenFrameTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenFrameTest, TextForm) { EXPECT_EQ(GetParam().text(), GetParam().golden_text); }
TEST_P(GoldenFrameTest, Hash) { EXPECT_EQ(GetParam().hash(), GetParam().golden_hash); }
TEST_P(GoldenFrameTest, Archive) { EXPECT_EQ(GetParam().archive(), GetParam().golden_archive); }

INSTANTIATE_TEST_SUITE_P(
    Messages, GoldenFrameTest,
    testing::Values(
        // Nothing set: 17*31 = 527, 527*31 = 16337.
        Case<SDKStatusSignal>(
            "PlainStatus", [](SDKStatusSignal&) {}, "SDKStatusSignal(status:0,sampleRate:0)",
            16337u, "{}"),
        // 17*31 ^ M = 527 ^ 0x9e3779b1 = 0x9e377bbe = 2654436286;
        // *31 = 82287524866, ^1 (the value) = 82287524867;
        // sampleRate unset: *31 = 2550913270877.
        Case<SDKStatusSignal>(
            "StatusOnly", [](SDKStatusSignal& m) { m.__set_status(1); },
            "SDKStatusSignal(status:1,sampleRate:0)", 2550913270877u, R"({"status":1})"),
        // "ab" hashes as 97*31 + 98 = 3105; 82287524866 ^ 3105 = 82287521827.
        Case<FailureSignal>(
            "String", [](FailureSignal& m) { m.__set_descriptionString("ab"); },
            R"(FailureSignal(descriptionString:"ab"))", 82287521827u,
            R"({"descriptionString":"ab"})"),
        // longitude 2.0 hashes as the integer 2: 82287524866 ^ 2 = 82287524864;
        // latitude 0.5 as its bits 0x3fe0000000000000:
        // (82287524864*31 ^ M)*31 ^ 0x3fe0000000000000 = 4602757832036497519.
        Case<GPSInfoSignal>(
            "Doubles",
            [](GPSInfoSignal& m) {
              m.__set_longitude(2.0);
              m.__set_latitude(0.5);
            },
            "GPSInfoSignal(longitude:2.000000,latitude:0.500000)", 4602757832036497519u,
            R"({"latitude":0.5,"longitude":2.0})"),
        // shouldRecordToFile true hashes as 1: (527*31 ^ M)*31 ^ 1 = 82287101345.
        Case<InstructionSignal>(
            "Bool", [](InstructionSignal& m) { m.__set_shouldRecordToFile(true); },
            "InstructionSignal(instruction:0,shouldRecordToFile:1)", 82287101345u,
            R"({"shouldRecordToFile":true})"),
        // audioLevel -1 hashes as 2^64 - 1: 82287524866 ^ (2^64 - 1), then five
        // unset fields: *31^5 = 16090922098875953699.
        Case<AudioSignal>(
            "NegativeI16", [](AudioSignal& m) { m.__set_audioLevel(-1); },
            "AudioSignal(audioLevel:-1,firstInvalidSample:0,lastInvalidSample:0,"
            "numberInvalidSamples:0,repeatedBuffer:0,systemTimeStamp:0)",
            16090922098875953699u, R"({"audioLevel":-1})"),
        // ber [1.0, 2.0]: list hash (1*31 + 1)*31 + 2 = 994; five unset
        // fields: 17*31^5 = 486695567; (486695567*31 ^ M)*31 ^ 994 = 414771857090.
        Case<AMSignal>(
            "ListOfDoubles",
            [](AMSignal& m) {
              m.__set_ber({1.0, 2.0});
            },
            R"(AMSignal(amId:"",dbEntryName:"",timeStamp:0,offset:0,duration:0,)"
            "ber:[1.000000,2.000000])",
            414771857090u, R"({"ber":[1.0,2.0]})"),
        // {1, -1}: set hash 1 + (2^64 - 1) wraps to 0; seven unset fields
        // (ids 3 to 9): 17*31^7, then (h*31 ^ M)*31 ^ 0, then *31 for id 11
        // = 13931330006744736.
        Case<InitData>(
            "SetWrapsAround",
            [](InitData& m) {
              m.__set_processorPlugins({1, -1});
            },
            R"(InitData(sampleRates:0,deviceId:0,filePath:"",libraryPath:"",)"
            R"(externalFilePath:"",packageName:"",udId:"",processorPlugins:{-1,1},)"
            "audioProcessorPlugins:{})",
            13931330006744736u, R"({"processorPlugins":[-1,1]})"),
        // {"p": 01}: 'p' = 112, the byte 1; 112 ^ 1 = 113;
        // 82287524866 ^ 113 = 82287524979.
        Case<CheckedFilePreparedEventSignal>(
            "MapOfBinary",
            [](CheckedFilePreparedEventSignal& m) {
              m.__set_mPathsToPreparedFilesWithChecks({{"p", std::string("\x01", 1)}});
            },
            R"(CheckedFilePreparedEventSignal(mPathsToPreparedFilesWithChecks:{"p":"<01>"}))",
            82287524979u, R"({"mPathsToPreparedFilesWithChecks":{"p":"AQ=="}})"),
        // The element: 17*31^3 = 506447, (506447*31 ^ M)*31 ^ 2, *31^4
        // = 76297228851350754. The list: 1*31 + that = 76297228851350785.
        // The message: 82287524866 ^ 76297228851350785 = 76297310065127683.
        Case<AssetInfoList>(
            "NestedMessage",
            [](AssetInfoList& m) {
              AssetInfo info;
              info.__set_version(2);
              m.__set_assetsInfoList({info});
            },
            R"(AssetInfoList(assetsInfoList:[AssetInfo(assetID:"",assetTitle:"",schemaVersion:0,)"
            R"(version:2,validFrom:0,validTo:0,assetDescription:"",assetFolderPath:"")]))",
            76297310065127683u, R"({"assetsInfoList":[{"version":2}]})"),
        // Nothing set: 17*31^21 mod 2^64.
        Case<CodewordSignal>(
            "PlainCodewordAllFieldsInIdOrder", [](CodewordSignal&) {},
            R"(CodewordSignal(sender:"",syncState:0,meanVolume:0,)"
            "meanSignalStrength:0,currentVolume:0,currentSignalStrength:0,"
            "sigConfidence:0,msgConfidence:0,bitSlicePosSig:0,bitSlicePosMsg:0,"
            "nFecErrors:0,msgSignalStrength95pc:0,msgVolume:0,msg:0,msgScheme:0,"
            R"(sigScheme:0,engineRef:"",offset:0,codewordDuration:0,)"
            "steadyTimeStamp:0,systemTimeStamp:0)",
            18432689394241594511u, "{}")),
    [](const testing::TestParamInfo<GoldenCase>& info) { return info.param.name; });

struct TextCase {
  std::string name;
  std::function<std::string()> text;
  std::string golden;
};
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
TextCase Text(std::string name, std::function<void(T&)> fill, std::string golden) {
  return TextCase{std::move(name),
                  [fill] {
                    T msg;
                    fill(msg);
                    return messageDescription(msg);
                  },
                  std::move(golden)};
}

class TextFormTest : public testing::TestWithParam<TextCase> {};

TEST_P(TextFormTest, ReadsAsDerived) { EXPECT_EQ(GetParam().text(), GetParam().golden); }

INSTANTIATE_TEST_SUITE_P(
    Values, TextFormTest,
    testing::Values(
        Text<SDKStatusSignal>(
            "StatusWithSampleRate",
            [](SDKStatusSignal& m) {
              m.__set_status(4);
              m.__set_sampleRate(44100);
            },
            "SDKStatusSignal(status:4,sampleRate:44100)"),
        // An unset number keeps its stored value, and the text shows it.
        Text<SDKStatusSignal>(
            "UnsetNumberShowsItsStoredValue",
            [](SDKStatusSignal& m) {
              m.__set_sampleRate(8000);
              m.__isset.sampleRate = false;
            },
            "SDKStatusSignal(status:0,sampleRate:8000)"),
        Text<GPSInfoSignal>(
            "DoublesWithSixDecimals",
            [](GPSInfoSignal& m) {
              m.__set_longitude(-0.0000004);
              m.__set_latitude(1e20);
            },
            "GPSInfoSignal(longitude:-0.000000,latitude:100000000000000000000.000000)"),
        Text<GPSInfoSignal>(
            "NotANumberAndInfinity",
            [](GPSInfoSignal& m) {
              m.__set_longitude(std::numeric_limits<double>::quiet_NaN());
              m.__set_latitude(-std::numeric_limits<double>::infinity());
            },
            "GPSInfoSignal(longitude:nan,latitude:-inf)"),
        Text<GSMInfoSignal>(
            "I64Extremes",
            [](GSMInfoSignal& m) {
              m.__set_countryCode("262");
              m.__set_LAC(std::numeric_limits<int64_t>::min());
              m.__set_CId(std::numeric_limits<int64_t>::max());
            },
            R"(GSMInfoSignal(countryCode:"262",network:"",)"
            "LAC:-9223372036854775808,CId:9223372036854775807)"),
        // Strings go between quotes as they are, quotes inside included.
        Text<LogSignal>(
            "StringsAsTheyAre",
            [](LogSignal& m) {
              m.__set_logType(3);
              m.__set_message("say \"hi\", then: go");
            },
            R"(LogSignal(logType:3,message:"say "hi", then: go",sender:""))"),
        Text<NTPInfoSignal>(
            "BinaryInGroupsOfFourBytes",
            [](NTPInfoSignal& m) {
              m.__set_inDrift(-5);
              m.__set_rawNTP(std::string("\xe3\x00\x01\x02\x03\xff\x10\x20\x30", 9));
            },
            "NTPInfoSignal(inElapsedRealTime:0,inTransmitTimestamp:0,"
            "inRoundTripDelay:0,inDrift:-5,upTimeMillis:0,"
            R"(rawNTP:"<e3000102 03ff1020 30>"))"),
        Text<SignedData>(
            "EmptyBinary", [](SignedData& m) { m.__set_data(""); },
            R"(SignedData(dataId:"",data:"<>",dataMd5:""))"),
        Text<ProcessorStatusSignal>(
            "ListOfStrings",
            [](ProcessorStatusSignal& m) {
              m.__set_statusStrings({"b", "a"});
              m.__set_status(1);
            },
            R"(ProcessorStatusSignal(statusDescription:"",)"
            R"(statusStrings:["b","a"],status:1))"),
        Text<ConfigurationMapSignal>(
            "MapOfMessagesByKey",
            [](ConfigurationMapSignal& m) {
              ConfigParam seven;
              seven.__set_type(1);
              seven.__set_intValue(7);
              ConfigParam text;
              text.__set_type(4);
              text.__set_stringValue("x");
              m.__set_config({{"z", seven}, {"a", text}});
            },
            R"(ConfigurationMapSignal(config:{"a":ConfigParam(type:4,boolValue:0,intValue:0,)"
            R"(doubleValue:0.000000,longlongValue:0,stringValue:"x"),)"
            R"("z":ConfigParam(type:1,boolValue:0,intValue:7,doubleValue:0.000000,)"
            R"(longlongValue:0,stringValue:"")},target:0))"),
        Text<AssetActionList>(
            "MapOfListsOfMessages",
            [](AssetActionList& m) {
              AssetAction action;
              action.__set_actionID("x");
              action.__set_engine(2);
              action.__set_completed(true);
              m.__set_assetActionMap({{"b", {action}}, {"e", {}}});
            },
            R"(AssetActionList(assetActionMap:{"b":[AssetAction(actionID:"x",assetID:"",)"
            R"(engine:2,scheme:"",trigger:"",entryPoint:"",secondsDelay:0,)"
            R"(notificationText:"",notificationTitle:"",notificationID:"",timeStamp:0,)"
            R"(scheduleEngineActionTimestamp:0,json:"",completed:1)],"e":[]}))")),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

struct ArchiveCase {
  std::string name;
  std::function<std::string()> archive;
  std::string golden;
};
void PrintTo(const ArchiveCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
ArchiveCase Archive(std::string name, std::function<void(T&)> fill, std::string golden) {
  return ArchiveCase{std::move(name),
                     [fill] {
                       T msg;
                       fill(msg);
                       return Compact(archiveMessage(msg));
                     },
                     std::move(golden)};
}

class ArchiveFormTest : public testing::TestWithParam<ArchiveCase> {};

TEST_P(ArchiveFormTest, HoldsOnlySetFieldsByName) {
  EXPECT_EQ(GetParam().archive(), GetParam().golden);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ArchiveFormTest,
    testing::Values(Archive<SDKStatusSignal>(
                        "UnsetFieldHasNoKey",
                        [](SDKStatusSignal& m) {
                          m.__set_status(2);
                          m.__set_sampleRate(8000);
                          m.__isset.sampleRate = false;
                        },
                        R"({"status":2})"),
                    // e3 00 -> 111000 110000 0000.. -> '4' 'w' 'A' '='.
                    Archive<NTPInfoSignal>(
                        "BinaryAsBase64",
                        [](NTPInfoSignal& m) {
                          m.__set_rawNTP(std::string("\xe3\x00", 2));
                          m.__set_upTimeMillis(0);
                        },
                        R"({"rawNTP":"4wA=","upTimeMillis":0})"),
                    Archive<GSMInfoSignal>(
                        "NamesAsTheSchemaSpellsThem",
                        [](GSMInfoSignal& m) {
                          m.__set_LAC(std::numeric_limits<int64_t>::max());
                          m.__set_CId(std::numeric_limits<int64_t>::min());
                        },
                        R"({"CId":-9223372036854775808,"LAC":9223372036854775807})"),
                    Archive<GPSInfoSignal>(
                        "NonFiniteDoublesAsText",
                        [](GPSInfoSignal& m) {
                          m.__set_longitude(std::numeric_limits<double>::infinity());
                          m.__set_latitude(std::numeric_limits<double>::quiet_NaN());
                        },
                        R"({"latitude":"NaN","longitude":"Infinity"})"),
                    Archive<ConfigurationMapSignal>(
                        "MapOfMessages",
                        [](ConfigurationMapSignal& m) {
                          ConfigParam seven;
                          seven.__set_type(1);
                          seven.__set_intValue(7);
                          m.__set_config({{"k", seven}});
                          m.__set_target(0);
                        },
                        R"({"config":{"k":{"intValue":7,"type":1}},"target":0})"),
                    Archive<AssetActionList>(
                        "MapOfListsOfMessages",
                        [](AssetActionList& m) {
                          AssetAction action;
                          action.__set_actionID("x");
                          action.__set_completed(false);
                          m.__set_assetActionMap({{"b", {action}}, {"e", {}}});
                        },
                        R"({"assetActionMap":{"b":[{"actionID":"x","completed":false}],"e":[]}})"),
                    Archive<AMDBSignal>(
                        "EmptyStringIsKept", [](AMDBSignal& m) { m.__set_errorDescription(""); },
                        R"({"errorDescription":""})")),
    [](const testing::TestParamInfo<ArchiveCase>& info) { return info.param.name; });

// Archives that another writer could have made, and what they read as.
TEST(UnarchiveTest, PresentKeysSetTheirFlags) {
  auto gsm = unarchiveMessage<GSMInfoSignal>(
      Parse(R"({"LAC": 0, "network": "n", "unknown": [1, 2], "CId": 4294967296})"));
  ASSERT_TRUE(gsm);
  GSMInfoSignal expected;
  expected.__set_LAC(0);
  expected.__set_network("n");
  expected.__set_CId(4294967296);
  EXPECT_EQ(*gsm, expected);
  EXPECT_FALSE(gsm->__isset.countryCode);
}

TEST(UnarchiveTest, NullObjectValuesAreSetAndEmpty) {
  auto status = unarchiveMessage<ProcessorStatusSignal>(
      Parse(R"({"statusDescription": null, "statusStrings": null})"));
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->__isset.statusDescription);
  EXPECT_TRUE(status->__isset.statusStrings);
  EXPECT_TRUE(status->statusStrings.empty());
  EXPECT_FALSE(status->__isset.status);
  auto list = unarchiveMessage<AssetInfoList>(Parse(R"({"assetsInfoList": [null, {}]})"));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->assetsInfoList.size(), 2u);
  EXPECT_EQ(list->assetsInfoList[0], AssetInfo());
}

TEST(UnarchiveTest, DoublesFromNumbersAndTheirNames) {
  auto am =
      unarchiveMessage<AMSignal>(Parse(R"({"ber": [3, 0.25, "NaN", "Infinity", "-Infinity"]})"));
  ASSERT_TRUE(am);
  ASSERT_EQ(am->ber.size(), 5u);
  EXPECT_EQ(am->ber[0], 3.0);
  EXPECT_EQ(am->ber[1], 0.25);
  EXPECT_TRUE(std::isnan(am->ber[2]));
  EXPECT_EQ(am->ber[3], std::numeric_limits<double>::infinity());
  EXPECT_EQ(am->ber[4], -std::numeric_limits<double>::infinity());
}

TEST(UnarchiveTest, RepeatedSetElementsCollapse) {
  auto init = unarchiveMessage<InitData>(Parse(R"({"audioProcessorPlugins": [5, 5, -1]})"));
  ASSERT_TRUE(init);
  EXPECT_EQ(init->audioProcessorPlugins, (std::set<int64_t>{-1, 5}));
}

TEST(UnarchiveTest, BinaryAndStringsKeepZeroBytes) {
  SignedData signed_data;
  signed_data.__set_dataId(std::string("a\0b", 3));
  signed_data.__set_data(std::string("\0\xff\0", 3));
  auto back = unarchiveMessage<SignedData>(archiveMessage(signed_data));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->dataId, std::string("a\0b", 3));
  EXPECT_EQ(back->data, std::string("\0\xff\0", 3));
  EXPECT_EQ(archiveMessage(signed_data)["data"].asString(), "AP8A");
}

struct BadArchiveCase {
  std::string name;
  std::function<std::string(const Json::Value&)> unarchive;  // the error, or "" when read
  std::string archive;
  std::string error;
};
void PrintTo(const BadArchiveCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
std::function<std::string(const Json::Value&)> Unarchive() {
  return [](const Json::Value& archive) {
    std::string error;
    if (unarchiveMessage<T>(archive, &error)) return std::string();
    EXPECT_FALSE(error.empty());
    return error;
  };
}

class BadArchiveTest : public testing::TestWithParam<BadArchiveCase> {};

TEST_P(BadArchiveTest, IsRefusedWithThePathOfTheFault) {
  EXPECT_EQ(GetParam().unarchive(Parse(GetParam().archive)), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, BadArchiveTest,
    testing::Values(
        BadArchiveCase{"AnArray", Unarchive<SDKStatusSignal>(), "[]",
                       "the archive is not a JSON object"},
        BadArchiveCase{"Null", Unarchive<SDKStatusSignal>(), "null",
                       "the archive is not a JSON object"},
        BadArchiveCase{"NumberAsText", Unarchive<SDKStatusSignal>(), R"({"status": "4"})",
                       "status: expected a 32-bit integer"},
        BadArchiveCase{"I32TooLarge", Unarchive<SDKStatusSignal>(), R"({"sampleRate": 2147483648})",
                       "sampleRate: expected a 32-bit integer"},
        BadArchiveCase{"I32WithAFraction", Unarchive<SDKStatusSignal>(), R"({"status": 1.5})",
                       "status: expected a 32-bit integer"},
        BadArchiveCase{"I16TooLarge", Unarchive<AudioSignal>(), R"({"audioLevel": 32768})",
                       "audioLevel: expected a 16-bit integer"},
        BadArchiveCase{"I64TooLarge", Unarchive<GSMInfoSignal>(), R"({"LAC": 9223372036854775808})",
                       "LAC: expected a 64-bit integer"},
        BadArchiveCase{"BoolAsNumber", Unarchive<AudioSignal>(), R"({"repeatedBuffer": 1})",
                       "repeatedBuffer: expected true or false"},
        BadArchiveCase{"NullNumber", Unarchive<AudioSignal>(), R"({"systemTimeStamp": null})",
                       "systemTimeStamp: expected a 64-bit integer"},
        BadArchiveCase{"DoubleAsOtherText", Unarchive<GPSInfoSignal>(), R"({"latitude": "nan"})",
                       "latitude: expected a number"},
        BadArchiveCase{"StringAsNumber", Unarchive<FailureSignal>(), R"({"descriptionString": 5})",
                       "descriptionString: expected a string"},
        BadArchiveCase{"Base64WithoutPadding", Unarchive<NTPInfoSignal>(), R"({"rawNTP": "4wA"})",
                       "rawNTP: expected base64 text"},
        BadArchiveCase{"Base64WithStrayBits", Unarchive<NTPInfoSignal>(), R"({"rawNTP": "4wB="})",
                       "rawNTP: expected base64 text"},
        BadArchiveCase{"Base64WithOtherCharacters", Unarchive<NTPInfoSignal>(),
                       R"({"rawNTP": "4w-="})", "rawNTP: expected base64 text"},
        BadArchiveCase{"ListAsObject", Unarchive<AMSignal>(), R"({"ber": {}})",
                       "ber: expected an array"},
        BadArchiveCase{"ListElement", Unarchive<AMSignal>(), R"({"ber": [1, "x"]})",
                       "ber[1]: expected a number"},
        BadArchiveCase{"MapAsArray", Unarchive<ConfigurationMapSignal>(), R"({"config": []})",
                       "config: expected a JSON object"},
        BadArchiveCase{"FieldOfAMapValue", Unarchive<ConfigurationMapSignal>(),
                       R"({"config": {"k": {"type": 1, "intValue": 1.5}}})",
                       R"(config["k"].intValue: expected a 32-bit integer)"},
        BadArchiveCase{"ElementOfAListInAMap", Unarchive<AssetActionList>(),
                       R"({"assetActionMap": {"b": [{}, 7]}})",
                       R"(assetActionMap["b"][1]: expected a JSON object)"},
        BadArchiveCase{"BinaryInAMap", Unarchive<CheckedFilePreparedEventSignal>(),
                       R"({"mPathsToPreparedFilesWithChecks": {"p": "AQ="}})",
                       R"(mPathsToPreparedFilesWithChecks["p"]: expected base64 text)"},
        BadArchiveCase{"SetElement", Unarchive<InitData>(), R"({"processorPlugins": [1, true]})",
                       "processorPlugins[1]: expected a 64-bit integer"}),
    [](const testing::TestParamInfo<BadArchiveCase>& info) { return info.param.name; });

TEST(HashTest, EqualDoublesHashAlike) {
  GPSInfoSignal zero;
  zero.__set_longitude(0.0);
  GPSInfoSignal negative_zero;
  negative_zero.__set_longitude(-0.0);
  EXPECT_EQ(zero, negative_zero);
  EXPECT_EQ(messageHash(zero), messageHash(negative_zero));
}

TEST(HashTest, SetAndUnsetDifferEvenWithEqualStoredValues) {
  SDKStatusSignal set;
  set.__set_status(0);
  EXPECT_NE(set, SDKStatusSignal());
  EXPECT_NE(messageHash(set), messageHash(SDKStatusSignal()));
}

TEST(HashTest, MessagesAsKeysOfUnorderedSets) {
  std::unordered_set<ContentSignal> seen;
  ContentSignal a;
  a.__set_bundleId("b");
  a.__set_timestamp(5);
  ContentSignal same = a;
  same.__set_actionId("stale");
  same.__isset.actionId = false;  // only its stored value differs
  ContentSignal other = a;
  other.__set_timestamp(6);
  EXPECT_TRUE(seen.insert(a).second);
  EXPECT_FALSE(seen.insert(same).second);
  EXPECT_TRUE(seen.insert(other).second);
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace tembrolexinplatform
