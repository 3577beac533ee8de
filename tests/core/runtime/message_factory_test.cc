#include "core/runtime/message_factory.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TTransportException.h>

#include "core/runtime/configuration_parameter.h"

namespace tembrolexinsdk {
namespace {

using ::apache::thrift::protocol::TProtocolException;
using ::apache::thrift::transport::TTransportException;

using Bytes = std::vector<signed char>;

// Bytes from hex text; blanks are ignored ("0b 0001 00000003 616263").
Bytes Hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<signed char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

ThriftParams Payload(int type, const Bytes& bytes) {
  return ThriftParams(type, bytes.size(), bytes.data());
}

// Rewrites a struct encoded by the binary protocol so that every scalar
// holds a non-zero value: bool 1, i16 0x0102, i32 1 (valid for every enum),
// i64 0x0102030405060708, double 1.5, string "xy". Containers keep their
// (empty) contents. Used to round-trip every struct with values that differ
// from the defaults without writing a filler for each struct.
class Bumper {
 public:
  explicit Bumper(const Bytes& in) : in_(in) {}
  Bytes Run() {
    Struct();
    EXPECT_EQ(pos_, in_.size()) << "walker out of step with the encoding";
    return out_;
  }

 private:
  uint8_t Byte() { return static_cast<uint8_t>(in_.at(pos_++)); }
  int32_t I32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return static_cast<int32_t>(v);
  }
  void Copy(size_t n) {
    for (size_t i = 0; i < n; ++i) out_.push_back(static_cast<signed char>(Byte()));
  }
  void Emit(const std::string& hex) {
    Bytes b = Hex(hex);
    out_.insert(out_.end(), b.begin(), b.end());
  }
  void Struct() {
    while (true) {
      uint8_t type = Byte();
      out_.push_back(static_cast<signed char>(type));
      if (type == 0) return;
      Copy(2);  // field id
      Value(type);
    }
  }
  void Value(uint8_t type) {
    switch (type) {
      case 2: pos_ += 1; Emit("01"); break;
      case 4: pos_ += 8; Emit("3ff8000000000000"); break;
      case 6: pos_ += 2; Emit("0102"); break;
      case 8: pos_ += 4; Emit("00000001"); break;
      case 10: pos_ += 8; Emit("0102030405060708"); break;
      case 11: pos_ += 4 + I32Peek(); Emit("00000002 7879"); break;
      case 12: Struct(); break;
      case 13: {
        uint8_t k = Byte(), v = Byte();
        int32_t n = I32();
        out_.push_back(static_cast<signed char>(k));
        out_.push_back(static_cast<signed char>(v));
        AppendI32(n);
        for (int32_t i = 0; i < n; ++i) {
          Value(k);
          Value(v);
        }
        break;
      }
      case 14:
      case 15: {
        uint8_t e = Byte();
        int32_t n = I32();
        out_.push_back(static_cast<signed char>(e));
        AppendI32(n);
        for (int32_t i = 0; i < n; ++i) Value(e);
        break;
      }
      default: ADD_FAILURE() << "unexpected wire type " << int(type);
    }
  }
  size_t I32Peek() {
    size_t save = pos_;
    int32_t n = I32();
    pos_ = save;
    return static_cast<size_t>(n);
  }
  void AppendI32(int32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<signed char>(n >> shift));
  }

  const Bytes& in_;
  size_t pos_ = 0;
  Bytes out_;
};

template <typename T>
class EveryMessageTest : public testing::Test {};

using MessageTypes = testing::Types<
    EventData, ContentSignal, DownloadStatusSignal, PartialCodewordSignal, PowerDetectorMsg,
    LogSignal, CodewordSignal, AudioSignal, AMSignal, BackgroundData, SignDataRequest,
    SignedData, AssetMessage, AssetInfo, AssetInfoList, AssetAction, AssetActionList,
    StringRequest, AMDBSignal, ProcessorStatusSignal, RecorderEvent, JavascriptMessage,
    SyncEngineSignal, CheckedFilePreparedEventSignal, ConfigurationMapSignal, FailureSignal,
    GPSInfoSignal, GSMInfoSignal, NTPInfoSignal, InitData, InstructionSignal, SDKStatusSignal>;
TYPED_TEST_SUITE(EveryMessageTest, MessageTypes);

TYPED_TEST(EveryMessageTest, RoundTripsWithItsTypeId) {
  const int id = kMessageTypeId<TypeParam>;
  std::unique_ptr<ThriftParams> plain = ThriftParamsFactory::createThriftParams(TypeParam());
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->getMsgType(), id);
  EXPECT_EQ(plain->GetParamsDescription(), "Msg type: " + std::to_string(id));
  std::unique_ptr<TypeParam> back = ThriftParamsFactory::readThriftParams<TypeParam>(*plain);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(ThriftParamsFactory::createThriftParams(*back)->getData(), plain->getData());

  // The same with every scalar set to a non-zero value.
  Bytes bumped = Bumper(plain->getData()).Run();
  ThriftParams payload = Payload(id, bumped);
  std::unique_ptr<TypeParam> filled = ThriftParamsFactory::readThriftParams<TypeParam>(payload);
  ASSERT_NE(filled, nullptr);
  EXPECT_EQ(ThriftParamsFactory::createThriftParams(*filled)->getData(), bumped);
  if (bumped != plain->getData()) {
    EXPECT_FALSE(*filled == TypeParam());
  }
}

TYPED_TEST(EveryMessageTest, AnyOtherTypeIdGivesNull) {
  const int id = kMessageTypeId<TypeParam>;
  Bytes bytes = ThriftParamsFactory::createThriftParams(TypeParam())->getData();
  for (int other : {id - 1, id + 1, 0, -id, 12}) {
    if (other == id) continue;
    EXPECT_EQ(ThriftParamsFactory::readThriftParams<TypeParam>(Payload(other, bytes)), nullptr)
        << "type id " << other;
  }
}

TEST(MessageFactoryTest, EmptyInitDataIsOneStopByte) {
  auto params = ThriftParamsFactory::createThriftParams(InitData());
  EXPECT_EQ(params->getMsgType(), 35);
  EXPECT_EQ(params->getData(), Hex("00"));
}

TEST(MessageFactoryTest, SetFieldsAreWrittenByHand) {
  InitData init;
  init.__set_deviceId(-2);
  init.__set_processorPlugins({3, 1});
  EXPECT_EQ(ThriftParamsFactory::createThriftParams(init)->getData(),
            Hex("08 0004 fffffffe"
                "0e 000a 0a 00000002 0000000000000001 0000000000000003"
                "00"));
}

TEST(MessageFactoryTest, LongLogTextPassesTheInitialBuffer) {
  LogSignal log;
  log.__set_logType(LogType::Warning);
  log.__set_message(std::string(3000, 'm'));
  log.__set_sender("S");
  auto params = ThriftParamsFactory::createThriftParams(log);
  EXPECT_EQ(params->getMsgType(), 8);
  Bytes expected = Concat({Hex("08 0001 00000003  0b 0002 00000bb8"), Bytes(3000, 'm'),
                           Hex("0b 0003 00000001 53  00")});
  EXPECT_EQ(params->getData(), expected);
  auto back = ThriftParamsFactory::readThriftParams<LogSignal>(*params);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->message, std::string(3000, 'm'));
  EXPECT_EQ(back->sender, "S");
  EXPECT_EQ(back->logType, LogType::Warning);
}

TEST(MessageFactoryTest, WrongTypeLeavesThePayloadAlone) {
  InstructionSignal instruction;
  instruction.__set_instruction(SdkInstruction::SdkInstruction_stop);
  auto params = ThriftParamsFactory::createThriftParams(instruction);
  ASSERT_EQ(params->getMsgType(), 36);
  Bytes before = params->getData();
  EXPECT_EQ(ThriftParamsFactory::readThriftParams<InitData>(*params), nullptr);
  EXPECT_EQ(params->getData(), before);
  EXPECT_EQ(params->getMsgType(), 36);
}

TEST(MessageFactoryTest, EmptyBytesEndTheData) {
  ThriftParams empty(35, 0, nullptr);
  try {
    ThriftParamsFactory::readThriftParams<InitData>(empty);
    FAIL() << "no exception";
  } catch (const TTransportException& e) {
    EXPECT_EQ(e.getType(), TTransportException::END_OF_FILE);
  }
}

TEST(MessageFactoryTest, BytesAfterTheStopByteAreIgnored) {
  auto read = ThriftParamsFactory::readThriftParams<FailureSignal>(
      Payload(31, Hex("0b 0001 00000002 6f6b 00  ffffffff 0b")));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->descriptionString, "ok");
}

TEST(MessageFactoryTest, NotificationDataIsReadableThoughNeverSent) {
  auto read = ThriftParamsFactory::readThriftParams<NotificationData>(Payload(12, Hex("00")));
  EXPECT_NE(read, nullptr);
  EXPECT_EQ(ThriftParamsFactory::readThriftParams<NotificationData>(Payload(13, Hex("00"))),
            nullptr);
}

TEST(MessageFactoryTest, MissingRequiredConfigParamTypeFails) {
  // config = {"k": ConfigParam{intValue 5}} without field 1 (type).
  Bytes bytes = Hex("0d 0001 0b 0c 00000001  00000001 6b  08 0003 00000005 00  00");
  try {
    ThriftParamsFactory::readThriftParams<ConfigurationMapSignal>(Payload(30, bytes));
    FAIL() << "no exception";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
  }
}

// Corrupt payloads that announce far more data than they hold. Each must fail
// with a protocol or transport error before anything large is allocated
// (under AddressSanitizer a multi-gigabyte request would abort the test).
struct HostileCase {
  const char* name;
  int type;
  std::string hex;
  TProtocolException::TProtocolExceptionType expected;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name << ": " << c.hex; }

class HostilePayloadTest : public testing::TestWithParam<HostileCase> {};

template <typename T>
void ReadAs(const ThriftParams& params) {
  ThriftParamsFactory::readThriftParams<T>(params);
}

TEST_P(HostilePayloadTest, FailsFastWithAProtocolError) {
  ThriftParams params = Payload(GetParam().type, Hex(GetParam().hex));
  try {
    switch (GetParam().type) {
      case 18: ReadAs<AssetInfoList>(params); break;
      case 20: ReadAs<AssetActionList>(params); break;
      case 23: ReadAs<ProcessorStatusSignal>(params); break;
      case 30: ReadAs<ConfigurationMapSignal>(params); break;
      case 31: ReadAs<FailureSignal>(params); break;
      case 35: ReadAs<InitData>(params); break;
      case 11: ReadAs<AMSignal>(params); break;
      default: FAIL() << "no reader for type " << GetParam().type;
    }
    FAIL() << "no exception";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), GetParam().expected) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, HostilePayloadTest,
    testing::Values(
        // 17 bytes announcing 2^31-1 AssetInfo structs (an empty struct is
        // the cheapest element, so Thrift's own byte check lets it through).
        HostileCase{"StructListMaxCount", 18, "0f 0001 0c 7fffffff 00000000 00000000 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"StructListJustTooLong", 18, "0f 0001 0c 00000010 00 00 00 00 00 00 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"StructListNegative", 18, "0f 0001 0c 80000000 00",
                    TProtocolException::NEGATIVE_SIZE},
        HostileCase{"StringMaxLength", 31, "0b 0001 7fffffff 61 62 63 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"StringListMaxCount", 23, "0f 0002 0b 7fffffff 00000000 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"StringInListMaxLength", 23, "0f 0002 0b 00000001 7fffffff 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"DoubleListMaxCount", 11, "0f 0006 04 7fffffff 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"MapMaxCount", 30, "0d 0001 0b 0c 7fffffff 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"NestedListMaxCount", 20,
                    "0d 0001 0b 0f 00000001 00000001 6b 0c 7fffffff 00 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"SetMaxCount", 35, "0e 000a 0a 7fffffff 00",
                    TProtocolException::SIZE_LIMIT},
        HostileCase{"SkippedUnknownListMaxCount", 31, "0f 0063 0c 7fffffff 00",
                    TProtocolException::SIZE_LIMIT}),
    [](const testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

TEST(MessageFactoryTest, HonestLengthsUpToThePayloadSizeAreRead) {
  // A list whose count equals the number of remaining bytes is legal.
  auto read = ThriftParamsFactory::readThriftParams<AMSignal>(
      Payload(11, Hex("0f 0006 04 00000001 3ff8000000000000 00")));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->ber, std::vector<double>{1.5});
}

// Lists of N empty structs: one byte each in the payload, hundreds of bytes
// each in memory. Reading must fail instead of allocating ~N * 336 bytes.
struct EmptyStructsCase {
  const char* name;
  int type;
  std::string head;  // the bytes before the N empty structs
  std::string tail;  // the bytes after them
};

class EmptyStructsTest : public testing::TestWithParam<EmptyStructsCase> {};

TEST_P(EmptyStructsTest, CostTooMuchMemoryToRead) {
  constexpr int kCount = 50000;  // 50 KB of payload
  char count[9];
  std::snprintf(count, sizeof count, "%08x", kCount);
  const ThriftParams params = Payload(
      GetParam().type, Concat({Hex(GetParam().head + count), Bytes(kCount, 0), Hex(GetParam().tail)}));
  try {
    if (GetParam().type == 18) {
      ReadAs<AssetInfoList>(params);
    } else {
      ReadAs<AssetActionList>(params);
    }
    FAIL() << "no exception";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::SIZE_LIMIT) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, EmptyStructsTest,
    testing::Values(EmptyStructsCase{"AssetInfoList", 18, "0f 0001 0c", "00"},
                    EmptyStructsCase{"AssetActionListInAMap", 20,
                                     "0d 0001 0b 0f 00000001 00000000 0c", "00"}),
    [](const testing::TestParamInfo<EmptyStructsCase>& info) { return info.param.name; });

// The densest honest containers the schema has: default actions and
// configuration entries with one flag each still read back whole.
TEST(MessageFactoryTest, LargeHonestContainersAreRead) {
  AssetActionList actions;
  actions.assetActionMap["bundle"] = std::vector<AssetAction>(3000);
  auto params = ThriftParamsFactory::createThriftParams(actions);
  auto readActions = ThriftParamsFactory::readThriftParams<AssetActionList>(*params);
  ASSERT_NE(readActions, nullptr);
  EXPECT_EQ(readActions->assetActionMap["bundle"].size(), 3000u);

  ConfigurationMapSignal config;
  for (int i = 0; i < 3000; ++i) {
    ConfigParam flag;
    flag.__set_type(ConfigParamType::ConfigParam_Bool);
    flag.__set_boolValue(true);
    config.config[std::to_string(i)] = flag;
  }
  params = ThriftParamsFactory::createThriftParams(config);
  auto readConfig = ThriftParamsFactory::readThriftParams<ConfigurationMapSignal>(*params);
  ASSERT_NE(readConfig, nullptr);
  EXPECT_EQ(readConfig->config.size(), 3000u);
}

TEST(MessageFactoryTest, SeveralThreadsReadOnePayload) {
  ProcessorStatusSignal status;
  status.__set_statusDescription("busy");
  status.__set_statusStrings({"a", "bb", "ccc"});
  const auto params = ThriftParamsFactory::createThriftParams(status);
  std::atomic<int> good{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        auto read = ThriftParamsFactory::readThriftParams<ProcessorStatusSignal>(*params);
        if (read && *read == status) ++good;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(good.load(), 200);
}

ConfigParam Param(int type) {
  ConfigParam p;
  p.__set_type(static_cast<ConfigParamType::type>(type));
  return p;
}

TEST(ThriftConversionsTest, KnownKindsOnlyInKeyOrder) {
  ConfigurationMapSignal signal;
  ConfigParam first = Param(1);
  first.__set_intValue(5);
  ConfigParam third = Param(4);
  third.__set_stringValue("z");
  signal.config["first"] = first;
  signal.config["second"] = Param(9);
  signal.config["third"] = third;
  auto map = ThriftConversions::convert(signal);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->size(), 2u);
  EXPECT_EQ(map->GetValueAsString(), "(first : 5,third : z)");
  auto* asInt = dynamic_cast<const ConfigurationParameter<int>*>(map->at("first"));
  ASSERT_NE(asInt, nullptr);
  EXPECT_EQ(asInt->value, 5);
  EXPECT_NE(dynamic_cast<const ConfigurationParameter<std::string>*>(map->at("third")), nullptr);
}

TEST(ThriftConversionsTest, EveryKindAndUnsetValues) {
  ConfigurationMapSignal signal;
  signal.__set_target(ConfigTarget::Target_Platform);  // not looked at
  ConfigParam b = Param(0);
  b.__set_boolValue(true);
  ConfigParam d = Param(2);
  d.__set_doubleValue(0.25);
  ConfigParam l = Param(3);
  l.__set_longlongValue(-9000000000LL);
  ConfigParam unsetInt = Param(1);
  ConfigParam unsetString = Param(4);
  ConfigParam unflagged = Param(1);
  unflagged.intValue = 7;  // value present, is-set flag clear
  ConfigParam other = Param(5);
  other.__set_stringValue("a float: 2.5");
  signal.config = {{"b", b},         {"d", d},          {"l", l},          {"n", Param(-1)},
                   {"u", unsetInt}, {"v", unsetString}, {"w", unflagged}, {"x", Param(6)},
                   {"o", other}};
  auto map = ThriftConversions::convert(signal);
  EXPECT_EQ(map->GetValueAsString(),
            "(b : 1,d : 0.25,l : -9000000000,o : a float: 2.5,u : 0,v : ,w : 7)");
  // A value of another kind: no reader takes it, the rules name it.
  EXPECT_EQ(dynamic_cast<const ConfigurationParameter<std::string>*>(map->at("o")), nullptr);
  EXPECT_EQ(describeConfigurationValue(map->at("o")), "a float: 2.5");
  EXPECT_NE(dynamic_cast<const ConfigurationParameter<bool>*>(map->at("b")), nullptr);
  EXPECT_NE(dynamic_cast<const ConfigurationParameter<double>*>(map->at("d")), nullptr);
  EXPECT_NE(dynamic_cast<const ConfigurationParameter<long long>*>(map->at("l")), nullptr);
}

TEST(ThriftConversionsTest, EmptySignalGivesEmptyMap) {
  auto map = ThriftConversions::convert(ConfigurationMapSignal());
  ASSERT_NE(map, nullptr);
  EXPECT_TRUE(map->empty());
}

TEST(ThriftConversionsTest, ConfigurationSurvivesTheBus) {
  ConfigurationMapSignal signal;
  ConfigParam s = Param(4);
  s.__set_stringValue("on");
  signal.config["mode"] = s;
  auto params = ThriftParamsFactory::createThriftParams(signal);
  auto read = ThriftParamsFactory::readThriftParams<ConfigurationMapSignal>(*params);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(ThriftConversions::convert(*read)->GetValueAsString(), "(mode : on)");
}

}  // namespace
}  // namespace tembrolexinsdk
