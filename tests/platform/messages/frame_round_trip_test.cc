// Every message class through its keyed archive, its wire form and its
// equality and hash: fully set messages come back equal, each field alone is
// archived under its own name, and the stored values of unset fields never
// count.

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "platform/messages/message_envelope.h"
#include "platform/messages/message_frame.h"

namespace tembrolexinplatform {
namespace {

// A value of each kind that differs with `seed` (and, for every seed, from a
// new message's zero): negative numbers, values beyond 32 bits, and strings
// holding a quote, a zero byte and non-ASCII text.
template <typename K>
Storage<K> Sample(int seed);

template <typename M>
M Filled(int seed);

template <typename K>
struct Sampler;
template <>
struct Sampler<kind::Bool> {
  static bool make(int seed) { return seed % 2 == 1; }
};
template <>
struct Sampler<kind::I16> {
  static int16_t make(int seed) { return static_cast<int16_t>(-300 * seed - 7); }
};
template <>
struct Sampler<kind::I32> {
  static int32_t make(int seed) { return -70000 * seed - 1; }
};
template <>
struct Sampler<kind::I64> {
  static int64_t make(int seed) { return -0x100000003LL * seed; }
};
template <>
struct Sampler<kind::Double> {
  static double make(int seed) { return seed * 1.5 + 0.125; }
};
template <>
struct Sampler<kind::String> {
  static std::string make(int seed) {
    return "s" + std::to_string(seed) + std::string("\"\xc3\xa9\0z", 5);
  }
};
template <>
struct Sampler<kind::Binary> {
  static std::string make(int seed) { return std::string("\0\xff", 2) + static_cast<char>(seed); }
};
template <typename E>
struct Sampler<kind::List<E>> {
  static Storage<kind::List<E>> make(int seed) { return {Sample<E>(seed), Sample<E>(seed + 2)}; }
};
template <typename E>
struct Sampler<kind::Set<E>> {
  static Storage<kind::Set<E>> make(int seed) { return {Sample<E>(seed), Sample<E>(seed + 2)}; }
};
template <typename KK, typename VK>
struct Sampler<kind::Map<KK, VK>> {
  static Storage<kind::Map<KK, VK>> make(int seed) {
    return {{Sample<KK>(seed), Sample<VK>(seed)}, {Storage<KK>(), Sample<VK>(seed + 2)}};
  }
};
template <typename M>
struct Sampler<kind::Struct<M>> {
  static M make(int seed) { return Filled<M>(seed); }
};

template <typename K>
Storage<K> Sample(int seed) {
  return Sampler<K>::make(seed);
}

// Every field set, each to a value of its own.
template <typename M>
M Filled(int seed) {
  M msg;
  MessageFields<M>::forEachField(msg, [&](auto field, auto& value, bool, auto setFlag) {
    value = Sample<typename decltype(field)::Kind>(seed + field.id);
    setFlag(msg, true);
  });
  return msg;
}

// Calls f(field, value, setFlag) for the field at `index` (in id order).
template <typename M, typename F>
void AtField(M& msg, std::size_t index, F&& f) {
  std::size_t i = 0;
  MessageFields<M>::forEachField(msg, [&](auto field, auto& value, bool, auto setFlag) {
    if (i++ == index) f(field, value, setFlag);
  });
}

template <typename M>
std::string FieldName(std::size_t index) {
  M msg;
  std::string name;
  AtField(msg, index, [&](auto field, auto&, auto) { name = field.name; });
  return name;
}

std::string JsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, nullptr)) << text;
  return root;
}

template <typename T>
class FrameRoundTripTest : public testing::Test {};

// The classes of the schema, as its documentation lists them: 33 messages
// with a type id and ConfigParam.
using AllMessages =
    testing::Types<EventData, ContentSignal, DownloadStatusSignal, PartialCodewordSignal,
                   PowerDetectorMsg, LogSignal, CodewordSignal, AudioSignal, AMSignal,
                   NotificationData, BackgroundData, SignDataRequest, SignedData, AssetMessage,
                   AssetInfo, AssetInfoList, AssetAction, AssetActionList, StringRequest,
                   AMDBSignal, ProcessorStatusSignal, RecorderEvent, JavascriptMessage,
                   SyncEngineSignal, CheckedFilePreparedEventSignal, ConfigurationMapSignal,
                   FailureSignal, GPSInfoSignal, GSMInfoSignal, NTPInfoSignal, InitData,
                   InstructionSignal, SDKStatusSignal, ConfigParam>;

struct ClassNames {
  template <typename T>
  static std::string GetName(int) {
    return std::string(MessageFields<T>::kName);
  }
};
TYPED_TEST_SUITE(FrameRoundTripTest, AllMessages, ClassNames);

TYPED_TEST(FrameRoundTripTest, FullMessageComesBackEqual) {
  using T = TypeParam;
  const T full = Filled<T>(1);
  const Json::Value archive = archiveMessage(full);
  EXPECT_EQ(archive.size(), MessageFields<T>::kFieldCount);

  std::string error;
  std::optional<T> back = unarchiveMessage<T>(archive, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, full);
  EXPECT_EQ(messageHash(*back), messageHash(full));
  EXPECT_EQ(messageDescription(*back), messageDescription(full));

  // Written out as JSON text and read again: nothing lost either.
  std::optional<T> from_text = unarchiveMessage<T>(ParseJson(JsonText(archive)), &error);
  ASSERT_TRUE(from_text) << error;
  EXPECT_EQ(*from_text, full);

  T from_wire;
  ASSERT_TRUE(parseMessage(serializeMessage(full), from_wire));
  EXPECT_EQ(from_wire, full);
  EXPECT_EQ(messageHash(from_wire), messageHash(full));
}

TYPED_TEST(FrameRoundTripTest, NewMessage) {
  using T = TypeParam;
  const T plain;
  EXPECT_EQ(JsonText(archiveMessage(plain)), "{}");
  std::optional<T> back = unarchiveMessage<T>(Json::Value(Json::objectValue));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, plain);
  // Nothing set: 17, times 31 per field.
  uint64_t expected = 17;
  for (std::size_t i = 0; i < MessageFields<T>::kFieldCount; ++i) expected *= 31;
  EXPECT_EQ(messageHash(plain), expected);
  const std::string text = messageDescription(plain);
  EXPECT_EQ(text.rfind(std::string(MessageFields<T>::kName) + "(", 0), 0u) << text;
  EXPECT_EQ(text.back(), ')');
}

TYPED_TEST(FrameRoundTripTest, EachFieldAloneIsArchivedUnderItsName) {
  using T = TypeParam;
  const T full = Filled<T>(1);
  for (std::size_t i = 0; i < MessageFields<T>::kFieldCount; ++i) {
    const std::string name = FieldName<T>(i);
    SCOPED_TRACE(name);
    T one;
    AtField(one, i, [&](auto field, auto& value, auto setFlag) {
      value = Sample<typename decltype(field)::Kind>(1 + field.id);
      setFlag(one, true);
    });
    const Json::Value archive = archiveMessage(one);
    ASSERT_EQ(archive.getMemberNames(), std::vector<std::string>{name});
    std::optional<T> back = unarchiveMessage<T>(archive);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, one);
    EXPECT_NE(one, T());
    EXPECT_NE(messageHash(one), messageHash(T()));
    // The key of a field of `full` brings exactly that field over.
    Json::Value single(Json::objectValue);
    single[name] = archiveMessage(full)[name];
    EXPECT_EQ(unarchiveMessage<T>(single), one);
  }
}

TYPED_TEST(FrameRoundTripTest, StoredValuesOfUnsetFieldsDoNotCount) {
  using T = TypeParam;
  const T full = Filled<T>(1);
  for (std::size_t i = 0; i < MessageFields<T>::kFieldCount; ++i) {
    SCOPED_TRACE(FieldName<T>(i));
    T a = full;
    T b = full;
    AtField(a, i, [&](auto, auto&, auto setFlag) { setFlag(a, false); });
    AtField(b, i, [&](auto field, auto& value, auto setFlag) {
      value = Sample<typename decltype(field)::Kind>(50 + field.id);
      setFlag(b, false);
    });
    EXPECT_EQ(a, b);
    EXPECT_EQ(messageHash(a), messageHash(b));
    EXPECT_EQ(JsonText(archiveMessage(a)), JsonText(archiveMessage(b)));
    EXPECT_EQ(serializeMessage(a), serializeMessage(b));
    EXPECT_NE(a, full);
    EXPECT_NE(messageHash(a), messageHash(full));
    std::optional<T> back = unarchiveMessage<T>(archiveMessage(b));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, a);
  }
}

TEST(FrameClassesTest, TheGeneratedListHoldsTheSchemasClasses) {
  std::vector<std::string> generated;
#define TL_NAME(Class) generated.push_back(#Class);
  TL_PLATFORM_MESSAGE_CLASSES(TL_NAME)
#undef TL_NAME
  std::vector<std::string> documented = {"EventData",
                                         "ContentSignal",
                                         "DownloadStatusSignal",
                                         "PartialCodewordSignal",
                                         "PowerDetectorMsg",
                                         "LogSignal",
                                         "CodewordSignal",
                                         "AudioSignal",
                                         "AMSignal",
                                         "NotificationData",
                                         "BackgroundData",
                                         "SignDataRequest",
                                         "SignedData",
                                         "AssetMessage",
                                         "AssetInfo",
                                         "AssetInfoList",
                                         "AssetAction",
                                         "AssetActionList",
                                         "StringRequest",
                                         "AMDBSignal",
                                         "ProcessorStatusSignal",
                                         "RecorderEvent",
                                         "JavascriptMessage",
                                         "SyncEngineSignal",
                                         "CheckedFilePreparedEventSignal",
                                         "ConfigurationMapSignal",
                                         "FailureSignal",
                                         "GPSInfoSignal",
                                         "GSMInfoSignal",
                                         "NTPInfoSignal",
                                         "InitData",
                                         "InstructionSignal",
                                         "SDKStatusSignal",
                                         "ConfigParam"};
  std::sort(generated.begin(), generated.end());
  std::sort(documented.begin(), documented.end());
  EXPECT_EQ(generated, documented);
}

}  // namespace
}  // namespace tembrolexinplatform
