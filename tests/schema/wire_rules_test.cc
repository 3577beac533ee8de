// Write rules (optional versus default fields), read tolerance, the required
// ConfigParam.type, out-of-range enums, the nesting limit and protocol errors.
// Bytes are written out by hand; see golden_bytes_test.cc for the notation.

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <thrift/Thrift.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TTransportException.h>

#include "schema/tembrolexin_types.h"
#include "tests/schema/wire.h"

namespace tembrolexinsdk {
namespace {

using apache::thrift::protocol::TProtocolException;
using apache::thrift::transport::TTransportException;
using tl_test::Bytes;
using tl_test::Deserialize;
using tl_test::Hex;
using tl_test::Serialize;
using tl_test::Wire;

#define Z4 " 00000000 "
#define Z8 " 0000000000000000 "

// Reads an enum member's stored integer without loading it as the enum type,
// so out-of-range values are inspected without undefined behaviour.
template <typename E>
int32_t RawEnum(const E& e) {
  static_assert(sizeof(E) == sizeof(int32_t));
  int32_t v;
  std::memcpy(&v, &e, sizeof v);
  return v;
}

// Stores a raw integer into an enum member without forming an enum value.
template <typename E>
void SetRawEnum(E& e, int32_t v) {
  static_assert(sizeof(E) == sizeof(int32_t));
  std::memcpy(&e, &v, sizeof v);
}

// ---------------------------------------------------------------------------
// Which fields are written
// ---------------------------------------------------------------------------

struct WriteCase {
  std::string name;
  std::function<std::string()> write;
  std::string golden;
};

std::vector<WriteCase> WriteCases() {
  return {
      {"EmptyInitDataIsTheStopByteAlone",
       [] { return Serialize(InitData()); }, "00"},
      {"InitDataWritesOnlyTheFieldsSet",
       [] {
         InitData d;
         d.__set_sampleRates(0x40);
         d.__set_deviceId(12);
         return Serialize(d);
       },
       "080003 00000040 080004 0000000c 00"},
      {"InitDataMemberAssignedWithoutSetterIsNotWritten",
       [] {
         InitData d;
         d.deviceId = 12;
         d.udId = "u";
         return Serialize(d);
       },
       "00"},
      {"InstructionStopWithoutRecordFlagWritesField1Only",
       [] {
         InstructionSignal s;
         s.__set_instruction(SdkInstruction::SdkInstruction_stop);
         return Serialize(s);
       },
       "080001 00000001 00"},
      {"InstructionRecordFlagSetFalseIsWritten",
       [] {
         InstructionSignal s;
         s.__set_instruction(SdkInstruction::SdkInstruction_start);
         s.__set_shouldRecordToFile(false);
         return Serialize(s);
       },
       "080001 00000000 020002 00 00"},
      {"ConfigParamTypeOnlyWritesField1Only",
       [] {
         ConfigParam p;
         p.__set_type(ConfigParamType::ConfigParam_Double);
         return Serialize(p);
       },
       "080001 00000002 00"},
      {"ConfigParamBoolFalseIsWrittenAsZeroByte",
       [] {
         ConfigParam p;
         p.__set_boolValue(false);
         return Serialize(p);
       },
       "080001" Z4 "020002 00 00"},
      {"ConfigParamStringWritesFields1And6",
       [] {
         ConfigParam p;
         p.__set_type(ConfigParamType::ConfigParam_String);
         p.__set_stringValue("on");
         return Serialize(p);
       },
       "080001 00000004 0b0006 00000002 'on' 00"},
      {"SdkStatusStartListeningWritesField1Only",
       [] {
         SDKStatusSignal s;
         s.__set_status(SDKStatus::StartListening);
         return Serialize(s);
       },
       "080001 00000001 00"},
      {"SdkStatusAudioSupportUpdateWithSampleRate",
       [] {
         SDKStatusSignal s;
         s.__set_status(SDKStatus::AudioSupportUpdate);
         s.__set_sampleRate(6);
         return Serialize(s);
       },
       "080001 00000004 080002 00000006 00"},
      {"SdkStatusAudioSupportUpdateWithoutSampleRate",
       [] {
         SDKStatusSignal s;
         s.__set_status(SDKStatus::AudioSupportUpdate);
         return Serialize(s);
       },
       "080001 00000004 00"},
      {"ConfigurationMapEmptyAnnouncesStringToStruct",
       [] {
         ConfigurationMapSignal s;
         s.__set_target(ConfigTarget::Target_Cpp);
         return Serialize(s);
       },
       "0d0001 0b 0c 00000000 080002 00000000 00"},
      {"AssetActionListBundleWithNoActions",
       [] {
         AssetActionList s;
         s.__set_assetActionMap({{"b1", {}}});
         return Serialize(s);
       },
       "0d0001 0b 0f 00000001 00000002 'b1' 0c 00000000 00"},
      {"SyncEngineSignalForAudioMatchStream",
       [] {
         SyncEngineSignal s;
         s.__set_mediaStreamAMId("m");
         s.__set_signalType(SignalType::amevent);
         s.__set_engineType(EngineType::EVENT2);
         s.__set_eventType(EventType::sync);
         return Serialize(s);
       },
       "0a0001" Z8 "0b0002 00000001 'm' 0b0003" Z4 "080004 00000001"
       "080005 00000002 080006" Z4 "0a0007" Z8 "0a0008" Z8 "0a0009" Z8
       "0a000a" Z8 "00"},
  };
}

class WriteRulesTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteRulesTest, WritesExactly) {
  EXPECT_EQ(Hex(GetParam().write()), Hex(Bytes(GetParam().golden)));
}

INSTANTIATE_TEST_SUITE_P(
    Schema, WriteRulesTest, testing::ValuesIn(WriteCases()),
    [](const testing::TestParamInfo<WriteCase>& info) {
      return info.param.name;
    });

TEST(SetterTest, DefaultSetterAssignsOnlyOptionalSetterRaisesFlag) {
  CodewordSignal c;
  c.__set_meanVolume(3);
  EXPECT_EQ(c.meanVolume, 3);
  EXPECT_FALSE(c.__isset.meanVolume);

  InstructionSignal i;
  i.__set_shouldRecordToFile(false);
  EXPECT_FALSE(i.shouldRecordToFile);
  EXPECT_TRUE(i.__isset.shouldRecordToFile);

  ConfigParam p;
  p.__set_intValue(4);
  EXPECT_TRUE(p.__isset.intValue);
  EXPECT_FALSE(p.__isset.boolValue);
}

TEST(CopySwapTest, CopyAndSwapCarryFieldsAndFlags) {
  InitData a;
  a.__set_deviceId(5);
  InitData b;
  b.__set_udId("u");
  b.__set_processorPlugins({7});

  InitData copy(a);
  EXPECT_TRUE(copy.__isset.deviceId);
  EXPECT_EQ(copy.deviceId, 5);
  copy = b;
  EXPECT_FALSE(copy.__isset.deviceId);
  EXPECT_TRUE(copy.__isset.udId);

  swap(a, b);
  EXPECT_TRUE(a.__isset.udId);
  EXPECT_TRUE(a.__isset.processorPlugins);
  EXPECT_FALSE(a.__isset.deviceId);
  EXPECT_EQ(a.udId, "u");
  EXPECT_TRUE(b.__isset.deviceId);
  EXPECT_FALSE(b.__isset.udId);
  EXPECT_EQ(b.deviceId, 5);
  EXPECT_EQ(Hex(Serialize(b)), Hex(Bytes("080004 00000005 00")));
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

TEST(ReadTest, DefaultCodewordSignalRaisesEveryFlagOnRead) {
  std::string bytes = Serialize(CodewordSignal());
  CodewordSignal s;
  Deserialize(bytes, s);
  const auto& f = s.__isset;
  for (bool flag :
       {f.sender, f.syncState, f.meanVolume, f.meanSignalStrength,
        f.currentVolume, f.currentSignalStrength, f.sigConfidence,
        f.msgConfidence, f.bitSlicePosSig, f.bitSlicePosMsg, f.nFecErrors,
        f.msgSignalStrength95pc, f.msgVolume, f.msg, f.msgScheme,
        f.sigScheme, f.engineRef, f.offset, f.codewordDuration,
        f.steadyTimeStamp, f.systemTimeStamp}) {
    EXPECT_TRUE(flag);
  }
  EXPECT_EQ(s, CodewordSignal());
}

// Field 99 of every wire type, placed between LogSignal's own fields.
struct UnknownFieldCase {
  std::string name;
  std::string field;
};

class UnknownFieldTest : public testing::TestWithParam<UnknownFieldCase> {};

TEST_P(UnknownFieldTest, IsSkippedAndTheRestFilled) {
  std::string bytes = Bytes("080001 00000003" + GetParam().field +
                            "0b0002 00000002 'hi' 0b0003 00000001 's' 00");
  LogSignal s;
  uint32_t remaining = 99;
  uint32_t n = Deserialize(bytes, s, &remaining);
  EXPECT_EQ(n, bytes.size());
  EXPECT_EQ(remaining, 0u);
  EXPECT_EQ(RawEnum(s.logType), 3);
  EXPECT_EQ(s.message, "hi");
  EXPECT_EQ(s.sender, "s");
  // The unknown field is not carried forward.
  EXPECT_EQ(Hex(Serialize(s)),
            Hex(Bytes("080001 00000003 0b0002 00000002 'hi' "
                      "0b0003 00000001 's' 00")));
}

INSTANTIATE_TEST_SUITE_P(
    EveryWireType, UnknownFieldTest,
    testing::Values(
        UnknownFieldCase{"Bool", "020063 01"},
        UnknownFieldCase{"Byte", "030063 7f"},
        UnknownFieldCase{"I16", "060063 1234"},
        UnknownFieldCase{"I32", "080063 12345678"},
        UnknownFieldCase{"I64", "0a0063 0102030405060708"},
        UnknownFieldCase{"Double", "040063 3ff8000000000000"},
        UnknownFieldCase{"String", "0b0063 00000002 'zz'"},
        UnknownFieldCase{"Struct",
                         "0c0063 080001 00000005 0c0002 0b0001 00000001 'x' "
                         "00 00"},
        UnknownFieldCase{"List", "0f0063 08 00000002 00000001 00000002"},
        UnknownFieldCase{"Set", "0e0063 0b 00000001 00000001 'q'"},
        UnknownFieldCase{"Map",
                         "0d0063 0b 0c 00000001 00000001 'k' 020001 01 00"},
        UnknownFieldCase{"HighId", "08ffff 00000001"}),
    [](const testing::TestParamInfo<UnknownFieldCase>& info) {
      return info.param.name;
    });

TEST(ReadTest, KnownIdWithWrongWireTypeIsSkippedAndKeepsOldValue) {
  // meanVolume (i16) arrives as an i32: skipped, value and flag untouched.
  std::string bytes = Bytes("080003 00000007 060004 0009 00");
  CodewordSignal fresh;
  fresh.meanVolume = 42;
  Deserialize(bytes, fresh);
  EXPECT_EQ(fresh.meanVolume, 42);
  EXPECT_FALSE(fresh.__isset.meanVolume);
  EXPECT_EQ(fresh.meanSignalStrength, 9);
  EXPECT_TRUE(fresh.__isset.meanSignalStrength);

  CodewordSignal flagged;
  flagged.meanVolume = 42;
  flagged.__isset.meanVolume = true;
  Deserialize(bytes, flagged);
  EXPECT_EQ(flagged.meanVolume, 42);
  EXPECT_TRUE(flagged.__isset.meanVolume);
}

TEST(ReadTest, ContainerWithWrongWireTypeIsSkipped) {
  // config (a map) arrives as a list of strings.
  ConfigurationMapSignal s;
  ConfigParam keep;
  keep.__set_type(ConfigParamType::ConfigParam_Bool);
  s.config["keep"] = keep;
  Deserialize(Bytes("0f0001 0b 00000001 00000001 'x' 080002 00000001 00"), s);
  ASSERT_EQ(s.config.size(), 1u);
  EXPECT_EQ(s.config.count("keep"), 1u);
  EXPECT_FALSE(s.__isset.config);
  EXPECT_EQ(s.target, ConfigTarget::Target_Platform);
}

TEST(ReadTest, ReadingDoesNotResetFieldsOrFlags) {
  LogSignal s;
  s.message = "old";
  s.sender = "keep";
  s.__isset.sender = true;
  Deserialize(Bytes("0b0002 00000003 'new' 00"), s);
  EXPECT_EQ(s.message, "new");
  EXPECT_TRUE(s.__isset.message);
  EXPECT_EQ(s.sender, "keep");
  EXPECT_TRUE(s.__isset.sender);
  EXPECT_FALSE(s.__isset.logType);

  InitData d;
  d.__set_deviceId(3);
  Deserialize(Bytes("00"), d);
  EXPECT_TRUE(d.__isset.deviceId);
  EXPECT_EQ(d.deviceId, 3);
}

TEST(ReadTest, ArrivingContainerIsEmptiedFirst) {
  AMSignal am;
  am.ber = {9.0, 8.0, 7.0};
  Deserialize(Bytes("0f0006 04 00000001 3ff8000000000000 00"), am);
  EXPECT_EQ(am.ber, (std::vector<double>{1.5}));

  InitData d;
  d.__set_processorPlugins({1, 2});
  Deserialize(Bytes("0e000a 0a 00000001 0000000000000003 00"), d);
  EXPECT_EQ(d.processorPlugins, (std::set<int64_t>{3}));

  ConfigurationMapSignal c;
  c.config["old"] = ConfigParam();
  Deserialize(Bytes("0d0001 0b 0c 00000001 00000001 'k' 080001 00000001 00 "
                    "00"),
              c);
  ASSERT_EQ(c.config.size(), 1u);
  EXPECT_EQ(c.config.begin()->first, "k");
}

TEST(ReadTest, FieldArrivingTwiceKeepsTheLastValue) {
  LogSignal s;
  Deserialize(Bytes("0b0002 00000001 'a' 0b0002 00000001 'b' 00"), s);
  EXPECT_EQ(s.message, "b");
}

TEST(ReadTest, AnnouncedElementTypeIsNotCompared) {
  // A list of double announced with element type i32 is read as doubles.
  AMSignal am;
  Deserialize(Bytes("0f0006 08 00000001 3ff8000000000000 00"), am);
  EXPECT_EQ(am.ber, (std::vector<double>{1.5}));
}

TEST(ReadTest, RepeatedMapKeyIsReadOverTheEarlierEntry) {
  // The second "k" entry is read into the first one's ConfigParam, so fields
  // only the first carried (intValue) remain alongside the second's.
  ConfigurationMapSignal s;
  Deserialize(Bytes("0d0001 0b 0c 00000002"
                    "  00000001 'k' 080001 00000001 080003 00000001 00"
                    "  00000001 'k' 080001 00000000 020002 01 00"
                    "00"),
              s);
  ASSERT_EQ(s.config.size(), 1u);
  const ConfigParam& p = s.config.at("k");
  EXPECT_EQ(p.type, ConfigParamType::ConfigParam_Bool);
  EXPECT_TRUE(p.__isset.boolValue);
  EXPECT_TRUE(p.boolValue);
  EXPECT_TRUE(p.__isset.intValue);
  EXPECT_EQ(p.intValue, 1);

  CheckedFilePreparedEventSignal f;
  Deserialize(Bytes("0d0001 0b 0b 00000002 00000001 'p' 00000001 aa "
                    "00000001 'p' 00000002 0000 00"),
              f);
  ASSERT_EQ(f.mPathsToPreparedFilesWithChecks.size(), 1u);
  EXPECT_EQ(f.mPathsToPreparedFilesWithChecks.at("p"), std::string(2, '\0'));

  InitData d;
  Deserialize(Bytes("0e000b 0a 00000002 0000000000000004 0000000000000004 00"),
              d);
  EXPECT_EQ(d.audioProcessorPlugins, (std::set<int64_t>{4}));
}

TEST(ReadTest, AssetActionWithoutField14KeepsCompletedClear) {
  AssetAction a;
  Deserialize(Bytes("0b0001 00000001 'a' 00"), a);
  EXPECT_EQ(a.actionID, "a");
  EXPECT_FALSE(a.completed);
  EXPECT_FALSE(a.__isset.completed);
}

TEST(ReadTest, BinaryKeepsZeroBytes) {
  SignDataRequest r;
  r.__set_data(std::string("a\0\0b", 4));
  SignDataRequest back;
  Deserialize(Serialize(r), back);
  EXPECT_EQ(back.data, std::string("a\0\0b", 4));
}

// ---------------------------------------------------------------------------
// The required ConfigParam.type
// ---------------------------------------------------------------------------

TEST(RequiredFieldTest, MissingTypeFailsAfterConsumingTheStruct) {
  // The trailing ee byte is not part of the struct and must stay unread.
  Wire wire(Bytes("020002 01 080003 00000009 00 ee"));
  ConfigParam p;
  try {
    p.read(wire.protocol.get());
    FAIL() << "read of a ConfigParam without type succeeded";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
  }
  EXPECT_EQ(wire.Remaining(), 1u);
  EXPECT_TRUE(p.__isset.boolValue);
  EXPECT_TRUE(p.boolValue);
  EXPECT_EQ(p.intValue, 9);
}

TEST(RequiredFieldTest, TypeWithWrongWireTypeCountsAsMissing) {
  ConfigParam p;
  try {
    Deserialize(Bytes("0b0001 00000000 00"), p);
    FAIL() << "read succeeded";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
  }
}

TEST(RequiredFieldTest, MapEntryWithoutTypeFailsTheWholeMapAndStaysBehind) {
  ConfigurationMapSignal s;
  try {
    Deserialize(Bytes("0d0001 0b 0c 00000002"
                      "  00000001 'a' 080001 00000001 080003 00000002 00"
                      "  00000001 'b' 0b0006 00000001 'x' 00"
                      "080002 00000001 00"),
                s);
    FAIL() << "read succeeded";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
  }
  ASSERT_EQ(s.config.size(), 2u);
  EXPECT_EQ(s.config.at("a").intValue, 2);
  EXPECT_EQ(s.config.at("b").stringValue, "x");
  EXPECT_EQ(s.target, ConfigTarget::Target_Cpp);  // never reached
}

// ---------------------------------------------------------------------------
// Enum values outside the tables
// ---------------------------------------------------------------------------

struct EnumCase {
  std::string name;
  std::string bytes;
  // Reads the bytes, returns the stored raw enum value and the bytes that
  // writing the struct again gives.
  std::function<std::pair<int32_t, std::string>(const std::string&)> trip;
};

template <typename T, typename Member>
std::function<std::pair<int32_t, std::string>(const std::string&)> Trip(
    Member T::*member) {
  return [member](const std::string& bytes) {
    T s;
    Deserialize(bytes, s);
    return std::make_pair(RawEnum(s.*member), Serialize(s));
  };
}

class OutOfRangeEnumTest : public testing::TestWithParam<EnumCase> {};

TEST_P(OutOfRangeEnumTest, SurvivesReadAndWrite) {
  const EnumCase& c = GetParam();
  std::string bytes = Bytes(c.bytes);
  auto [raw, again] = c.trip(bytes);
  // The value is the big-endian i32 after the first field header.
  int32_t expected = static_cast<int32_t>(
      (static_cast<uint32_t>(static_cast<uint8_t>(bytes[3])) << 24) |
      (static_cast<uint32_t>(static_cast<uint8_t>(bytes[4])) << 16) |
      (static_cast<uint32_t>(static_cast<uint8_t>(bytes[5])) << 8) |
      static_cast<uint32_t>(static_cast<uint8_t>(bytes[6])));
  EXPECT_EQ(raw, expected);
  EXPECT_EQ(Hex(again), Hex(bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Schema, OutOfRangeEnumTest,
    testing::Values(
        EnumCase{"LogType77",
                 "080001 0000004d 0b0002" Z4 "0b0003" Z4 "00",
                 Trip<LogSignal>(&LogSignal::logType)},
        EnumCase{"LogTypeNegative",
                 "080001 ffffffff 0b0002" Z4 "0b0003" Z4 "00",
                 Trip<LogSignal>(&LogSignal::logType)},
        EnumCase{"PowerDetectorMax", "080001 7fffffff 00",
                 Trip<PowerDetectorMsg>(
                     &PowerDetectorMsg::powerDetectorMsgStatus)},
        EnumCase{"BackgroundTypeMin", "080001 80000000 080002" Z4 "00",
                 Trip<BackgroundData>(&BackgroundData::backgroundType)},
        EnumCase{"ConfigParamType9", "080001 00000009 00",
                 Trip<ConfigParam>(&ConfigParam::type)}),
    [](const testing::TestParamInfo<EnumCase>& info) {
      return info.param.name;
    });

TEST(OutOfRangeEnumTest, EngineTypeZeroAndUnknownWrite) {
  // EngineType names no value 0; a new struct holds 0 until set.
  EventData e;
  EXPECT_EQ(RawEnum(e.engineType), 0);
  SetRawEnum(e.engineType, 12345);
  std::string bytes = Serialize(e);
  EXPECT_EQ(Hex(bytes.substr(bytes.size() - 8)),
            Hex(Bytes("080005 00003039 00")));
}

// ---------------------------------------------------------------------------
// Nesting limit
// ---------------------------------------------------------------------------

AssetInfoList OneAssetInfo() {
  AssetInfoList list;
  list.__set_assetsInfoList({AssetInfo()});
  return list;
}

std::string OneAssetInfoBytes() {
  return Bytes("0f0001 0c 00000001 0b0001" Z4 "0b0002" Z4 "080003" Z4
               "080004" Z4 "0a0005" Z8 "0a0006" Z8 "0b0007" Z4 "0b0008" Z4
               "00 00");
}

TEST(DepthLimitTest, DefaultLimitIs64Levels) {
  Wire wire;
  EXPECT_EQ(wire.protocol->getRecursionLimit(), 64u);
}

TEST(DepthLimitTest, WriteFailsOnEnteringTheLevelBeyondTheLimit) {
  Wire wire;
  wire.protocol->setRecurisionLimit(1);
  try {
    OneAssetInfo().write(wire.protocol.get());
    FAIL() << "write succeeded";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::DEPTH_LIMIT);
  }
  // Nothing of the AssetInfo itself was written.
  EXPECT_EQ(Hex(wire.Written()), Hex(Bytes("0f0001 0c 00000001")));

  Wire empty;
  empty.protocol->setRecurisionLimit(1);
  AssetInfoList().write(empty.protocol.get());
  EXPECT_EQ(Hex(empty.Written()), Hex(Bytes("0f0001 0c 00000000 00")));

  // The list's level went back down as the exception passed it. The level
  // that failed keeps its count (the protocol raises before it checks), so a
  // protocol is not reused after a depth failure; with one spare level the
  // same protocol still writes an empty list.
  Wire again;
  again.protocol->setRecurisionLimit(1);
  EXPECT_THROW(OneAssetInfo().write(again.protocol.get()), TProtocolException);
  again.protocol->setRecurisionLimit(2);
  AssetInfoList().write(again.protocol.get());
  EXPECT_EQ(Hex(again.Written()),
            Hex(Bytes("0f0001 0c 00000001  0f0001 0c 00000000 00")));
}

TEST(DepthLimitTest, ReadFailsOnEnteringTheLevelBeyondTheLimit) {
  Wire wire(OneAssetInfoBytes());
  wire.protocol->setRecurisionLimit(1);
  AssetInfoList list;
  try {
    list.read(wire.protocol.get());
    FAIL() << "read succeeded";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::DEPTH_LIMIT);
  }

  Wire empty(Bytes("0f0001 0c 00000000 00"));
  empty.protocol->setRecurisionLimit(1);
  AssetInfoList ok;
  EXPECT_NO_THROW(ok.read(empty.protocol.get()));

  Wire two(OneAssetInfoBytes());
  two.protocol->setRecurisionLimit(2);
  AssetInfoList full;
  full.read(two.protocol.get());
  EXPECT_EQ(full, OneAssetInfo());
}

TEST(DepthLimitTest, ExactlyTheLimitPassesOneMoreFails) {
  // Stand in for 62 outer levels: the list and its element make 63 and 64.
  Wire at;
  for (int i = 0; i < 62; ++i) at.protocol->incrementOutputRecursionDepth();
  EXPECT_NO_THROW(OneAssetInfo().write(at.protocol.get()));

  Wire over;
  for (int i = 0; i < 63; ++i) over.protocol->incrementOutputRecursionDepth();
  EXPECT_THROW(OneAssetInfo().write(over.protocol.get()), TProtocolException);

  Wire in_at(OneAssetInfoBytes());
  for (int i = 0; i < 62; ++i) in_at.protocol->incrementInputRecursionDepth();
  AssetInfoList a;
  EXPECT_NO_THROW(a.read(in_at.protocol.get()));

  Wire in_over(OneAssetInfoBytes());
  for (int i = 0; i < 63; ++i) in_over.protocol->incrementInputRecursionDepth();
  AssetInfoList b;
  EXPECT_THROW(b.read(in_over.protocol.get()), TProtocolException);
}

TEST(DepthLimitTest, ActionListIsTwoLevelsDeep) {
  AssetActionList list;
  list.__set_assetActionMap({{"b", {AssetAction()}}});
  Wire one;
  one.protocol->setRecurisionLimit(1);
  EXPECT_THROW(list.write(one.protocol.get()), TProtocolException);
  Wire two;
  two.protocol->setRecurisionLimit(2);
  EXPECT_NO_THROW(list.write(two.protocol.get()));
}

// ---------------------------------------------------------------------------
// Transport and protocol errors pass through unchanged
// ---------------------------------------------------------------------------

TEST(ProtocolErrorTest, TruncatedInputThrowsTransportException) {
  for (const char* cut : {"080001 0000", "0b0001 00000005 'ab'", "0a00",
                          "080001 00000001"}) {
    LogSignal s;
    EXPECT_THROW(Deserialize(Bytes(cut), s), TTransportException) << cut;
  }
  LogSignal empty;
  EXPECT_THROW(Deserialize(std::string(), empty), TTransportException);
}

TEST(ProtocolErrorTest, NegativeSizesThrowProtocolException) {
  struct Bad {
    const char* bytes;
    std::function<void(const std::string&)> read;
  };
  const Bad cases[] = {
      {"0b0002 ffffffff 00",
       [](const std::string& b) { LogSignal s; Deserialize(b, s); }},
      {"0f0006 04 fffffffe 00",
       [](const std::string& b) { AMSignal s; Deserialize(b, s); }},
      {"0d0001 0b 0c 80000000 00",
       [](const std::string& b) { ConfigurationMapSignal s; Deserialize(b, s); }},
      {"0e000a 0a ffffffff 00",
       [](const std::string& b) { InitData s; Deserialize(b, s); }},
  };
  for (const Bad& c : cases) {
    try {
      c.read(Bytes(c.bytes));
      ADD_FAILURE() << c.bytes << " read without error";
    } catch (const TProtocolException& e) {
      EXPECT_EQ(e.getType(), TProtocolException::NEGATIVE_SIZE) << c.bytes;
    }
  }
}

}  // namespace
}  // namespace tembrolexinsdk
