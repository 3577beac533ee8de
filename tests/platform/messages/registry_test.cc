// The type id table both ways, and the platform classes against the core's
// structs: the same bytes in both directions.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <thrift/Thrift.h>
#include <thrift/protocol/TProtocolException.h>

#include "platform/messages/message_envelope.h"
#include "schema/tembrolexin_types.h"
#include "tests/schema/wire.h"

namespace tembrolexinplatform {
namespace {

namespace core = ::tembrolexinsdk;
using ::apache::thrift::protocol::TProtocolException;
using ::apache::thrift::protocol::TType;
using tl_test::Bytes;
using tl_test::Hex;

TEST(RegistryTest, EveryIdMapsToItsStructAndBack) {
  const std::vector<std::pair<int32_t, std::string>> table = {
      {1, "EventData"},          {4, "ContentSignal"},
      {5, "DownloadStatusSignal"}, {6, "PartialCodewordSignal"},
      {7, "PowerDetectorMsg"},   {8, "LogSignal"},
      {9, "CodewordSignal"},     {10, "AudioSignal"},
      {11, "AMSignal"},          {12, "NotificationData"},
      {13, "BackgroundData"},    {14, "SignDataRequest"},
      {15, "SignedData"},        {16, "AssetMessage"},
      {17, "AssetInfo"},         {18, "AssetInfoList"},
      {19, "AssetAction"},       {20, "AssetActionList"},
      {21, "StringRequest"},     {22, "AMDBSignal"},
      {23, "ProcessorStatusSignal"}, {25, "RecorderEvent"},
      {26, "JavascriptMessage"}, {28, "SyncEngineSignal"},
      {29, "CheckedFilePreparedEventSignal"}, {30, "ConfigurationMapSignal"},
      {31, "FailureSignal"},     {32, "GPSInfoSignal"},
      {33, "GSMInfoSignal"},     {34, "NTPInfoSignal"},
      {35, "InitData"},          {36, "InstructionSignal"},
      {37, "SDKStatusSignal"}};
  std::vector<int32_t> ids;
  for (const auto& [id, name] : table) {
    SCOPED_TRACE(name);
    ids.push_back(id);
    EXPECT_EQ(messageNameForTypeId(id), name);
    auto msg = newMessageForTypeId(id);
    ASSERT_TRUE(msg);
    EXPECT_EQ(messageTypeIdOf(*msg), id);
    auto envelope = MessageEnvelope::wrapAny(*msg);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->msgType(), id);
    EXPECT_EQ(envelope->data(), std::string(1, '\0'));
    EXPECT_TRUE(envelope->newMessageOfType(id));
  }
  EXPECT_EQ(allMessageTypeIds(), ids);
  static_assert(kMessageTypeId<CodewordSignal> == 9 && kMessageTypeId<SDKStatusSignal> == 37);
  static_assert(!HasMessageTypeId<ConfigParam>);
}

TEST(RegistryTest, UnusedAndOutsideIdsNameNothing) {
  for (int32_t id : {2, 3, 24, 27, 0, -1, 38, 1 << 20}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(newMessageForTypeId(id), nullptr);
    EXPECT_TRUE(messageNameForTypeId(id).empty());
    EXPECT_EQ(MessageEnvelope(id, Bytes("00")).newMessageOfType(id), nullptr);
  }
}

TEST(RegistryTest, ObjectsWithoutAnIdCannotBeWrapped) {
  EXPECT_FALSE(messageTypeIdOf(ConfigParam()));
  EXPECT_FALSE(MessageEnvelope::wrapAny(ConfigParam()));
  EXPECT_FALSE(messageTypeIdOf(core::CodewordSignal()));  // the core's struct, not ours
}

// Gives every value in a struct's bytes a new, non-zero value derived from
// its field id, and an empty container of plain elements one element, so a
// default core struct (which writes every field) becomes a fully set one.
// Containers of structs stay as they are: their element structs are messages
// of their own and go through this test by themselves.
class Perturber {
 public:
  explicit Perturber(const std::string& bytes) : in_(bytes) {}
  std::string run() {
    structure(0);
    return out_.Written();
  }

 private:
  static bool plain(TType t) { return t != apache::thrift::protocol::T_STRUCT && t != apache::thrift::protocol::T_LIST &&
                                      t != apache::thrift::protocol::T_SET && t != apache::thrift::protocol::T_MAP; }
  void structure(int16_t seed) {
    std::string name;
    TType type;
    int16_t id;
    in().readStructBegin(name);
    out().writeStructBegin("");
    while (true) {
      in().readFieldBegin(name, type, id);
      if (type == apache::thrift::protocol::T_STOP) break;
      out().writeFieldBegin("", type, id);
      value(type, static_cast<int16_t>(seed * 32 + id));
      in().readFieldEnd();
      out().writeFieldEnd();
    }
    in().readStructEnd();
    out().writeFieldStop();
    out().writeStructEnd();
  }
  void fresh(TType type, int16_t seed) {
    switch (type) {
      case apache::thrift::protocol::T_BOOL: out().writeBool(true); break;
      case apache::thrift::protocol::T_I16: out().writeI16(static_cast<int16_t>(seed * 3 + 1)); break;
      case apache::thrift::protocol::T_I32: out().writeI32(100000 + seed); break;
      case apache::thrift::protocol::T_I64: out().writeI64((int64_t{1} << 40) + seed); break;
      case apache::thrift::protocol::T_DOUBLE: out().writeDouble(seed + 0.25); break;
      case apache::thrift::protocol::T_STRING: out().writeBinary(std::string("v\0", 2) + std::to_string(seed)); break;
      default: FAIL() << "not a plain type " << type;
    }
  }
  void value(TType type, int16_t seed) {
    uint32_t n = 0;
    TType k, v;
    std::string skipped;
    switch (type) {
      case apache::thrift::protocol::T_STRUCT: structure(seed); return;
      case apache::thrift::protocol::T_LIST:
      case apache::thrift::protocol::T_SET:
        if (type == apache::thrift::protocol::T_LIST) in().readListBegin(v, n); else in().readSetBegin(v, n);
        if (n == 0 && plain(v)) {
          out().writeListBegin(v, 1);  // list and set headers are the same bytes
          fresh(v, seed);
        } else {
          out().writeListBegin(v, n);
          for (uint32_t i = 0; i < n; ++i) value(v, seed);
        }
        return;
      case apache::thrift::protocol::T_MAP:
        in().readMapBegin(k, v, n);
        if (n == 0 && plain(k) && plain(v)) {
          out().writeMapBegin(k, v, 1);
          fresh(k, seed);
          fresh(v, static_cast<int16_t>(seed + 1));
        } else {
          out().writeMapBegin(k, v, n);
          for (uint32_t i = 0; i < n; ++i) {
            value(k, seed);
            value(v, seed);
          }
        }
        return;
      default:
        apache::thrift::protocol::skip(in(), type);
        fresh(type, seed);
    }
  }
  apache::thrift::protocol::TProtocol& in() { return *in_.protocol; }
  apache::thrift::protocol::TProtocol& out() { return *out_.protocol; }
  tl_test::Wire in_;
  tl_test::Wire out_;
};

// The core writes optional fields only when flagged; flag them all.
template <typename T>
void flagCoreOptionals(T&) {}
void flagCoreOptionals(core::InitData& m) {
  m.__isset.sampleRates = m.__isset.deviceId = m.__isset.filePath = m.__isset.libraryPath = true;
  m.__isset.externalFilePath = m.__isset.packageName = m.__isset.udId = true;
  m.__isset.processorPlugins = m.__isset.audioProcessorPlugins = true;
}
void flagCoreOptionals(core::InstructionSignal& m) { m.__isset.shouldRecordToFile = true; }
void flagCoreOptionals(core::SDKStatusSignal& m) { m.__isset.sampleRate = true; }

// A default struct, with one default element in the containers of structs so
// that their elements are filled too.
template <typename T>
T coreBase() { return T(); }
template <>
core::AssetInfoList coreBase() {
  core::AssetInfoList m;
  m.assetsInfoList.resize(1);
  return m;
}
template <>
core::AssetActionList coreBase() {
  core::AssetActionList m;
  m.assetActionMap[""].resize(1);
  return m;
}

struct CrossCase {
  std::string name;
  std::function<void()> check;
};
void PrintTo(const CrossCase& c, std::ostream* os) { *os << c.name; }

// Fully set bytes P from the core: core(P) and platform(P) both write P again,
// and each reads what the other wrote back into the same bytes.
template <typename Core, typename Platform>
void CheckCrossing(Core base) {
  flagCoreOptionals(base);
  const std::string defaults = tl_test::Serialize(base);
  const std::string full = Perturber(defaults).run();
  ASSERT_NE(Hex(full), Hex(defaults));

  Core core_read;
  tl_test::Deserialize(full, core_read);
  const std::string by_core = tl_test::Serialize(core_read);
  EXPECT_EQ(Hex(by_core), Hex(full));

  auto platform_read = MessageEnvelope(kMessageTypeId<Platform>, by_core).newMessageOfType<Platform>();
  ASSERT_TRUE(platform_read);
  const std::string by_platform = serializeMessage(*platform_read);
  EXPECT_EQ(Hex(by_platform), Hex(full));

  Core core_again;
  tl_test::Deserialize(by_platform, core_again);
  EXPECT_EQ(core_again, core_read);
  EXPECT_EQ(Hex(tl_test::Serialize(core_again)), Hex(full));
}

class CrossLayerTest : public testing::TestWithParam<CrossCase> {};

TEST_P(CrossLayerTest, FullySetMessageKeepsItsBytes) { GetParam().check(); }

std::vector<CrossCase> AllCrossCases() {
  std::vector<CrossCase> out;
#define TL_CROSS_CASE(Struct, Id) \
  out.push_back({#Struct, [] { CheckCrossing<core::Struct, Struct>(coreBase<core::Struct>()); }});
  TL_PLATFORM_MESSAGE_TYPES(TL_CROSS_CASE)
#undef TL_CROSS_CASE
  out.push_back({"ConfigurationMapSignalWithEveryParamField", [] {
                   core::ConfigParam param;
                   param.__isset.boolValue = param.__isset.intValue = param.__isset.doubleValue = true;
                   param.__isset.longlongValue = param.__isset.stringValue = true;
                   core::ConfigurationMapSignal map;
                   map.config["k"] = param;
                   CheckCrossing<core::ConfigurationMapSignal, ConfigurationMapSignal>(map);
                 }});
  return out;
}

INSTANTIATE_TEST_SUITE_P(EveryMessage, CrossLayerTest, testing::ValuesIn(AllCrossCases()),
                         [](const testing::TestParamInfo<CrossCase>& info) { return info.param.name; });

TEST(ConfigParamTest, WithoutTypeIsRefusedByTheCoreAndByValidation) {
  ConfigParam untyped;
  untyped.__set_intValue(7);
  ConfigurationMapSignal map;
  map.__set_config({{"k", untyped}});
  const std::string bytes = serializeMessage(map);

  core::ConfigurationMapSignal core_map;
  try {
    tl_test::Deserialize(bytes, core_map);
    ADD_FAILURE() << "the core read a ConfigParam without type";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
  }

  try {
    validateConfigParam(untyped);
    ADD_FAILURE() << "validation passed";
  } catch (const TProtocolException& e) {
    EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
    EXPECT_STREQ(e.what(), "Required field 'type' is not set.");
  }
  untyped.__set_type(1);
  EXPECT_NO_THROW(validateConfigParam(untyped));
}

}  // namespace
}  // namespace tembrolexinplatform
