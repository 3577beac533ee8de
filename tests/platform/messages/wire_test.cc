// Wire form of the platform's message classes. Golden bytes are written out by
// hand from the binary protocol's rules (see tests/schema/golden_bytes_test.cc
// for the notation): field header = type code + big-endian i16 id; bool 02,
// double 04, i16 06, i32 08, i64 0a, string/binary 0b, struct 0c, map 0d,
// set 0e, list 0f; stop 00. In this layer a field is written only when set.

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/messages/message_envelope.h"
#include "tests/schema/wire.h"

namespace tembrolexinplatform {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

struct GoldenCase {
  std::string name;
  std::string golden;
  std::function<std::string()> write;
  // Reads the golden bytes, compares with the written object, writes again.
  std::function<testing::AssertionResult(const std::string&)> read_back;
};
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

template <typename T>
GoldenCase Case(std::string name, std::function<void(T&)> fill, std::string golden) {
  GoldenCase c{std::move(name), std::move(golden), nullptr, nullptr};
  c.write = [fill] {
    T msg;
    fill(msg);
    return serializeMessage(msg);
  };
  c.read_back = [fill](const std::string& bytes) -> testing::AssertionResult {
    T expected;
    fill(expected);
    T got;
    if (!parseMessage(bytes, got)) return testing::AssertionFailure() << "did not parse";
    if (!(got == expected)) return testing::AssertionFailure() << "read " << got << " expected " << expected;
    std::string again = serializeMessage(got);
    if (again != bytes) return testing::AssertionFailure() << "rewritten as " << Hex(again);
    return testing::AssertionSuccess();
  };
  return c;
}

class GoldenTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenTest, WritesExactlyAndReadsBack) {
  const GoldenCase& c = GetParam();
  const std::string golden = Bytes(c.golden);
  EXPECT_EQ(Hex(c.write()), Hex(golden));
  EXPECT_TRUE(c.read_back(golden));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, GoldenTest,
    testing::Values(
        Case<CodewordSignal>("EmptyIsTheStopByteAlone", [](CodewordSignal&) {}, "00"),
        Case<ConfigParam>("EmptyConfigParamToo", [](ConfigParam&) {}, "00"),
        Case<SDKStatusSignal>("StatusWithoutSampleRate",
                              [](SDKStatusSignal& m) { m.__set_status(1); },
                              "08 0001 00000001 00"),
        Case<InitData>("InitDataWithOnlyUdId", [](InitData& m) { m.__set_udId("abc"); },
                       "0b 0009 00000003 'abc' 00"),
        Case<InitData>("InitDataPluginSet",
                       [](InitData& m) { m.__set_processorPlugins({2, 1}); },
                       "0e 000a 0a 00000002 0000000000000001 0000000000000002 00"),
        Case<InstructionSignal>("InstructionStartWithoutRecording",
                                [](InstructionSignal& m) {
                                  m.__set_instruction(0);
                                  m.__set_shouldRecordToFile(false);
                                },
                                "08 0001 00000000 02 0002 00 00"),
        Case<CodewordSignal>(
            "CodewordAllFieldsInIdOrder",
            [](CodewordSignal& m) {
              m.__set_sender("s");
              m.__set_syncState(3);
              m.__set_meanVolume(4);
              m.__set_meanSignalStrength(5);
              m.__set_currentVolume(6);
              m.__set_currentSignalStrength(7);
              m.__set_sigConfidence(9);  // outside the table: kept as is
              m.__set_msgConfidence(4);
              m.__set_bitSlicePosSig(10);
              m.__set_bitSlicePosMsg(11);
              m.__set_nFecErrors(12);
              m.__set_msgSignalStrength95pc(-1);
              m.__set_msgVolume(13);
              m.__set_msg(-2);
              m.__set_msgScheme(15);
              m.__set_sigScheme(16);
              m.__set_engineRef("T");
              m.__set_offset(18);
              m.__set_codewordDuration(19);
              m.__set_steadyTimeStamp(20);
              m.__set_systemTimeStamp(0x0102030405060708);
            },
            "0b 0001 00000001 's' | 08 0002 00000003 | 06 0003 0004 | 06 0004 0005 |"
            "06 0005 0006 | 06 0006 0007 | 08 0007 00000009 | 08 0008 00000004 |"
            "06 0009 000a | 06 000a 000b | 06 000b 000c | 06 000c ffff | 06 000d 000d |"
            "0a 000e fffffffffffffffe | 08 000f 0000000f | 08 0010 00000010 |"
            "0b 0011 00000001 'T' | 0a 0012 0000000000000012 | 0a 0013 0000000000000013 |"
            "0a 0014 0000000000000014 | 0a 0015 0102030405060708 | 00"),
        Case<EventData>("EventDataKeyedByAudioMatchId",
                        [](EventData& m) {
                          m.__set_mediaStreamId(-1);
                          m.__set_mediaStreamAMId("am");
                          m.__set_syncTimeoutSecs(30);
                          m.__set_eventJson("[]");
                          m.__set_engineType(2);
                        },
                        "0a 0001 ffffffffffffffff | 0b 0002 00000002 'am' |"
                        "0a 0003 000000000000001e | 0b 0004 00000002 '[]' | 08 0005 00000002 | 00"),
        Case<SyncEngineSignal>("EngineTypeOutsideTheTable",
                               [](SyncEngineSignal& m) { m.__set_engineType(0); },
                               "08 0005 00000000 00"),
        Case<AMSignal>("EmptyBerList", [](AMSignal& m) { m.__set_ber({}); },
                       "0f 0006 04 00000000 00"),
        Case<AMSignal>("OneBer", [](AMSignal& m) { m.__set_ber({0.5}); },
                       "0f 0006 04 00000001 3fe0000000000000 00"),
        Case<GPSInfoSignal>("Position",
                            [](GPSInfoSignal& m) {
                              m.__set_longitude(1.0);
                              m.__set_latitude(-2.0);
                            },
                            "04 0001 3ff0000000000000 | 04 0002 c000000000000000 | 00"),
        Case<GSMInfoSignal>("CellIdsAbove32Bits",
                            [](GSMInfoSignal& m) {
                              m.__set_LAC(0x80000000LL);
                              m.__set_CId(0x100000000LL);
                            },
                            "0a 0003 0000000080000000 | 0a 0004 0000000100000000 | 00"),
        Case<NTPInfoSignal>("RawNtpBytes",
                            [](NTPInfoSignal& m) { m.__set_rawNTP(std::string("\xe3\x00", 2)); },
                            "0b 0007 00000002 e300 00"),
        Case<ConfigurationMapSignal>(
            "ConfigMapWithIntAndString",
            [](ConfigurationMapSignal& m) {
              ConfigParam p;
              p.__set_type(1);
              p.__set_intValue(7);
              p.__set_stringValue("x");
              m.__set_config({{"k", p}});
              m.__set_target(0);
            },
            "0d 0001 0b 0c 00000001 | 00000001 'k' | 08 0001 00000001 | 08 0003 00000007 |"
            "0b 0006 00000001 'x' | 00 | 08 0002 00000000 | 00"),
        Case<ConfigParam>("ConfigParamWithoutType",
                          [](ConfigParam& m) { m.__set_boolValue(true); }, "02 0002 01 00"),
        Case<AssetInfoList>("InfoListWithOnePartlySetElement",
                            [](AssetInfoList& m) {
                              AssetInfo info;
                              info.__set_assetID("a");
                              info.__set_version(2);
                              m.__set_assetsInfoList({info});
                            },
                            "0f 0001 0c 00000001 | 0b 0001 00000001 'a' | 08 0004 00000002 | 00 | 00"),
        Case<AssetActionList>("ActionMapWithEmptyList",
                              [](AssetActionList& m) { m.__set_assetActionMap({{"b", {}}}); },
                              "0d 0001 0b 0f 00000001 | 00000001 'b' | 0c 00000000 | 00"),
        Case<SignedData>("EmptySignature",
                         [](SignedData& m) {
                           m.__set_dataId("i");
                           m.__set_data("");
                         },
                         "0b 0001 00000001 'i' | 0b 0002 00000000 | 00"),
        Case<CheckedFilePreparedEventSignal>(
            "CheckDataKeepsZeroBytes",
            [](CheckedFilePreparedEventSignal& m) {
              m.__set_mPathsToPreparedFilesWithChecks({{"p", std::string("\0\x01\0", 3)}});
            },
            "0d 0001 0b 0b 00000001 | 00000001 'p' | 00000003 000100 | 00"),
        Case<StringRequest>("RequestWithoutResponse",
                            [](StringRequest& m) {
                              m.__set_messageType(0);
                              m.__set_contentType(1);
                            },
                            "08 0001 00000000 | 08 0002 00000001 | 00")),
    [](const testing::TestParamInfo<GoldenCase>& info) { return info.param.name; });

// Values of every wire type under an id (9) that SDKStatusSignal does not
// know, nested containers and structs included.
struct UnknownCase {
  std::string name;
  std::string field;
};
void PrintTo(const UnknownCase& c, std::ostream* os) { *os << c.name; }

class UnknownFieldTest : public testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownFieldTest, IsConsumedAndTheFieldsAroundItRead) {
  const std::string bytes = Bytes("08 0001 00000001 |" + GetParam().field + "| 08 0002 0000ac44 | 00");
  auto msg = MessageEnvelope(37, bytes).newMessageOfType<SDKStatusSignal>();
  ASSERT_TRUE(msg);
  SDKStatusSignal expected;
  expected.__set_status(1);
  expected.__set_sampleRate(44100);
  EXPECT_EQ(*msg, expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, UnknownFieldTest,
    testing::Values(UnknownCase{"Bool", "02 0009 01"},
                    UnknownCase{"Double", "04 0009 4000000000000000"},
                    UnknownCase{"I16", "06 0009 0102"},
                    UnknownCase{"I64", "0a 0009 0000000000000001"},
                    UnknownCase{"String", "0b 0009 00000002 'zz'"},
                    UnknownCase{"StructWithList", "0c 0009 | 0f 0001 08 00000001 00000005 | 00"},
                    UnknownCase{"ListOfStructs", "0f 0009 0c 00000001 | 08 0001 00000007 | 00"},
                    UnknownCase{"MapOfMaps",
                                "0d 0009 0b 0d 00000001 | 00000001 'k' | 08 08 00000001 00000001 00000002"},
                    UnknownCase{"SetOfI16", "0e 0009 06 00000002 0001 0002"}),
    [](const testing::TestParamInfo<UnknownCase>& info) { return info.param.name; });

TEST(ReadTest, UnknownFieldInsideAListElementIsSkipped) {
  auto msg = MessageEnvelope(18, Bytes("0f 0001 0c 00000001 | 0a 0063 0000000000000001 |"
                                       "0b 0001 00000001 'a' | 00 | 00"))
                 .newMessageOfType<AssetInfoList>();
  ASSERT_TRUE(msg);
  ASSERT_EQ(msg->assetsInfoList.size(), 1u);
  AssetInfo expected;
  expected.__set_assetID("a");
  EXPECT_EQ(msg->assetsInfoList[0], expected);
}

TEST(ReadTest, KnownIdWithAnotherWireTypeIsSkippedAndStaysUnset) {
  auto status = MessageEnvelope(37, Bytes("0a 0001 0000000000000001 | 08 0002 00000005 | 00"))
                    .newMessageOfType<SDKStatusSignal>();
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->__isset.status);
  EXPECT_TRUE(status->__isset.sampleRate);
  EXPECT_EQ(status->sampleRate, 5);

  // A ConfigParam whose type comes as a string is read here (the core would
  // refuse it): type unset, the rest kept.
  ConfigurationMapSignal map;
  ASSERT_TRUE(parseMessage(Bytes("0d 0001 0b 0c 00000001 | 00000001 'k' |"
                                 "0b 0001 00000001 'x' | 08 0003 00000007 | 00 | 00"),
                           map));
  ASSERT_EQ(map.config.count("k"), 1u);
  EXPECT_FALSE(map.config["k"].__isset.type);
  EXPECT_EQ(map.config["k"].intValue, 7);
}

struct BadBytesCase {
  std::string name;
  int32_t envelope_type;
  std::string bytes;
};
void PrintTo(const BadBytesCase& c, std::ostream* os) { *os << c.name; }

class BadBytesTest : public testing::TestWithParam<BadBytesCase> {};

TEST_P(BadBytesTest, GivesNoMessage) {
  MessageEnvelope envelope(GetParam().envelope_type, Bytes(GetParam().bytes));
  EXPECT_EQ(envelope.newMessageOfType<AMSignal>(), nullptr);
  EXPECT_EQ(envelope.newMessageOfType(11), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, BadBytesTest,
    testing::Values(BadBytesCase{"AnotherType", 37, "00"},
                    BadBytesCase{"NoBytes", 11, ""},
                    BadBytesCase{"EndsInsideAValue", 11, "0a 0003 0000"},
                    BadBytesCase{"NoStopByte", 11, "0a 0003 0000000000000001"},
                    BadBytesCase{"NegativeStringLength", 11, "0b 0001 ffffffff 00"},
                    BadBytesCase{"ListCountBeyondTheBytes", 11, "0f 0006 04 7fffffff 00"},
                    BadBytesCase{"StringLengthBeyondTheBytes", 11, "0b 0001 7fffffff 'ab' 00"}),
    [](const testing::TestParamInfo<BadBytesCase>& info) { return info.param.name; });

// A container announced with a negative count holds no element: the field is
// set and empty, and the fields after it are read.
struct NegativeCountCase {
  std::string name;
  int32_t type;
  std::string bytes;
  std::function<bool(const ::apache::thrift::TBase&)> holds;
};
void PrintTo(const NegativeCountCase& c, std::ostream* os) { *os << c.name; }

class NegativeCountTest : public testing::TestWithParam<NegativeCountCase> {};

TEST_P(NegativeCountTest, ReadsAsAnEmptyContainer) {
  auto msg = MessageEnvelope(GetParam().type, Bytes(GetParam().bytes)).newMessageOfType(GetParam().type);
  ASSERT_TRUE(msg);
  EXPECT_TRUE(GetParam().holds(*msg));
}

template <typename T>
std::function<bool(const ::apache::thrift::TBase&)> Holds(std::function<void(T&)> fill) {
  return [fill](const ::apache::thrift::TBase& got) {
    T expected;
    fill(expected);
    return dynamic_cast<const T&>(got) == expected;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Containers, NegativeCountTest,
    testing::Values(
        NegativeCountCase{"List", 11, "0f 0006 04 ffffffff 00",
                          Holds<AMSignal>([](AMSignal& m) { m.__set_ber({}); })},
        NegativeCountCase{"ListThenAField", 22, "0f 0002 0b 80000000 | 08 0004 00000007 | 00",
                          Holds<AMDBSignal>([](AMDBSignal& m) {
                            m.__set_filepaths({});
                            m.__set_errorCode(7);
                          })},
        NegativeCountCase{"Set", 35, "0e 000a 0a fffffffe 00",
                          Holds<InitData>([](InitData& m) { m.__set_processorPlugins({}); })},
        NegativeCountCase{"Map", 30, "0d 0001 0b 0c ffffffff | 08 0002 00000001 | 00",
                          Holds<ConfigurationMapSignal>([](ConfigurationMapSignal& m) {
                            m.__set_config({});
                            m.__set_target(1);
                          })},
        NegativeCountCase{"ListInsideAMapValue", 20, "0d 0001 0b 0f 00000001 | 00000001 'b' | 0c ffffffff | 00",
                          Holds<AssetActionList>([](AssetActionList& m) {
                            m.__set_assetActionMap({{"b", {}}});
                          })},
        NegativeCountCase{"InAnUnknownField", 37, "0f 0009 08 ffffffff | 08 0001 00000002 | 00",
                          Holds<SDKStatusSignal>([](SDKStatusSignal& m) { m.__set_status(2); })}),
    [](const testing::TestParamInfo<NegativeCountCase>& info) { return info.param.name; });

// 50 KB of empty AssetInfo structs would take ~8 MB as a list: refused.
TEST(ReadTest, ListOfManyEmptyStructsCostsTooMuchMemory) {
  std::string bytes = Bytes("0f 0001 0c 0000c350");
  bytes.append(50000, '\0');
  bytes.push_back('\0');
  AssetInfoList list;
  EXPECT_FALSE(parseMessage(bytes, list));
}

TEST(EqualityTest, StoredValuesOfUnsetFieldsAreIgnored) {
  CodewordSignal a;
  CodewordSignal b;
  a.__set_msg(42);
  b.__set_msg(42);
  a.__set_offset(1);
  a.__isset.offset = false;  // unset: the stored 1 stays but does not count
  EXPECT_EQ(a, b);
  EXPECT_EQ(serializeMessage(a), Bytes("0a 000e 000000000000002a 00"));
  b.__set_offset(0);
  EXPECT_NE(a, b);  // set versus unset differs even with equal stored values
}

TEST(EnvelopeTest, EachReadIsANewEqualObject) {
  SDKStatusSignal status;
  status.__set_status(4);
  MessageEnvelope envelope = MessageEnvelope::wrap(status);
  EXPECT_EQ(envelope.msgType(), 37);
  auto first = envelope.newMessageOfType<SDKStatusSignal>();
  auto second = envelope.newMessageOfType<SDKStatusSignal>();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(*first, status);
  EXPECT_FALSE(first->__isset.sampleRate);
}

}  // namespace
}  // namespace tembrolexinplatform
