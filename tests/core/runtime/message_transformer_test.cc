#include "core/runtime/message_transformer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/message_factory.h"
#include "tests/core/runtime/log_capture_util.h"

namespace tembrolexinsdk {
namespace {

using ::testing::ElementsAre;

template <typename T>
std::unique_ptr<T> readBack(const std::unique_ptr<ThriftParams>& params) {
  if (!params) return nullptr;
  return ThriftParamsFactory::readThriftParams<T>(*params);
}

CodewordEventParams codeword(int32_t sync, int32_t sig, int32_t msgConf) {
  return CodewordEventParams(sync, -3, 4, -5, 6, sig, msgConf, 7, -8, 9, 10, -11, 0x123456789ALL,
                             0x01000002, 3, 123456789012LL, 1796515200123LL, "EVENT2", 17, 4096,
                             987654321LL);
}

TEST(MessageTransformerTest, CodewordBecomesCodewordSignalFieldByField) {
  const CodewordEventParams event = codeword(-1, 3, 7);
  auto params =
      MessageTransformer::transform("Decoder", static_cast<const IProcessorEventParams*>(&event));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->getMsgType(), 9);
  auto s = readBack<CodewordSignal>(params);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->sender, "Decoder");
  EXPECT_EQ(s->syncState, DecodingConfidence::Unspecified);
  EXPECT_EQ(s->sigConfidence, DecodingConfidence::High);
  EXPECT_EQ(s->msgConfidence, DecodingConfidence::Invalid);
  EXPECT_EQ(s->meanVolume, -3);
  EXPECT_EQ(s->meanSignalStrength, 4);
  EXPECT_EQ(s->currentVolume, -5);
  EXPECT_EQ(s->currentSignalStrength, 6);
  EXPECT_EQ(s->bitSlicePosSig, 7);
  EXPECT_EQ(s->bitSlicePosMsg, -8);
  EXPECT_EQ(s->nFecErrors, 9);
  EXPECT_EQ(s->msgSignalStrength95pc, 10);
  EXPECT_EQ(s->msgVolume, -11);
  EXPECT_EQ(s->msg, 0x123456789ALL);
  EXPECT_EQ(s->msgScheme, 0x01000002);
  EXPECT_EQ(s->sigScheme, 3);
  EXPECT_EQ(s->engineRef, "EVENT2");
  EXPECT_EQ(s->offset, 17);
  EXPECT_EQ(s->codewordDuration, 4096);
  EXPECT_EQ(s->steadyTimeStamp, 123456789012LL);
  EXPECT_EQ(s->systemTimeStamp, 1796515200123LL);
}

struct ConfidenceCase {
  int32_t level;
  DecodingConfidence::type expected;
};

class ConfidenceTest : public ::testing::TestWithParam<ConfidenceCase> {};

TEST_P(ConfidenceTest, MapsLevelToDecodingConfidence) {
  const ConfidenceCase c = GetParam();
  EXPECT_EQ(MessageTransformer::convertConfidence(c.level), c.expected);
  const CodewordEventParams event = codeword(c.level, c.level, c.level);
  auto s = readBack<CodewordSignal>(MessageTransformer::transform("p", &event));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->syncState, c.expected);
  EXPECT_EQ(s->sigConfidence, c.expected);
  EXPECT_EQ(s->msgConfidence, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfidenceTest,
                         ::testing::Values(ConfidenceCase{-1, DecodingConfidence::Unspecified},
                                           ConfidenceCase{0, DecodingConfidence::Invalid},
                                           ConfidenceCase{1, DecodingConfidence::Low},
                                           ConfidenceCase{2, DecodingConfidence::Medium},
                                           ConfidenceCase{3, DecodingConfidence::High},
                                           ConfidenceCase{4, DecodingConfidence::Invalid},
                                           ConfidenceCase{-2, DecodingConfidence::Invalid},
                                           ConfidenceCase{INT_MIN, DecodingConfidence::Invalid},
                                           ConfidenceCase{INT_MAX, DecodingConfidence::Invalid}));

TEST(MessageTransformerTest, AudioMatchBecomesAMSignal) {
  const AMEvent event("entry", "item-7", 1000, 250, 3000, {0.5, 0.125});
  auto params =
      MessageTransformer::transform("ignored", static_cast<const IProcessorEventParams*>(&event));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->getMsgType(), 11);
  auto s = readBack<AMSignal>(params);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->amId, "item-7");
  EXPECT_EQ(s->dbEntryName, "entry");
  EXPECT_EQ(s->timeStamp, 1000);
  EXPECT_EQ(s->offset, 250);
  EXPECT_EQ(s->duration, 3000);
  EXPECT_THAT(s->ber, ElementsAre(0.5, 0.125));
}

TEST(MessageTransformerTest, SerialisedMessagePassesAsCopy) {
  const signed char bytes[] = {0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
  const ThriftParams reported(22, sizeof(bytes), bytes);
  auto params =
      MessageTransformer::transform("p", static_cast<const IProcessorEventParams*>(&reported));
  ASSERT_NE(params, nullptr);
  EXPECT_NE(params.get(), &reported);
  EXPECT_EQ(params->getMsgType(), 22);
  EXPECT_EQ(params->getData(), std::vector<signed char>(bytes, bytes + sizeof(bytes)));
  EXPECT_EQ(reported.getData().size(), sizeof(bytes));
}

TEST(MessageTransformerTest, CheckedFilesKeepFirstListingOfAPath) {
  CheckedFilePreparedEventParams event;
  event.AddCheckedFilePath("/a", {0x00, 0xFF, 0x41});
  event.AddCheckedFilePath("/b", {});
  event.AddCheckedFilePath("/a", {0x02});
  auto params =
      MessageTransformer::transform("p", static_cast<const IProcessorEventParams*>(&event));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->getMsgType(), 29);
  auto s = readBack<CheckedFilePreparedEventSignal>(params);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->mPathsToPreparedFilesWithChecks.size(), 2u);
  EXPECT_EQ(s->mPathsToPreparedFilesWithChecks.at("/a"), std::string("\x00\xFF\x41", 3));
  EXPECT_EQ(s->mPathsToPreparedFilesWithChecks.at("/b"), "");

  const CheckedFilePreparedEventParams empty;
  auto e = readBack<CheckedFilePreparedEventSignal>(MessageTransformer::transform("p", &empty));
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->mPathsToPreparedFilesWithChecks.empty());
}

TEST(MessageTransformerTest, ConfigurationMapGoesToPlatformWithEveryKind) {
  ConfigurationMap map;
  const ConfigurationParameter<bool> b(true);
  const ConfigurationParameter<int> i(5);
  const ConfigurationParameter<double> d(0.25);
  const ConfigurationParameter<long long> ll(1LL << 40);
  const ConfigurationParameter<std::string> s(std::string("x\0y", 3));
  const OtherKindConfigurationParameter o("a float: 2.5");
  map.set("b", &b);
  map.set("i", &i);
  map.set("d", &d);
  map.set("ll", &ll);
  map.set("s", &s);
  map.set("o", &o);
  auto params = MessageTransformer::transform("p", static_cast<const IProcessorEventParams*>(&map));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->getMsgType(), 30);
  auto sig = readBack<ConfigurationMapSignal>(params);
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(sig->target, ConfigTarget::Target_Platform);
  ASSERT_EQ(sig->config.size(), 6u);

  struct Expect {
    const char* key;
    ConfigParamType::type type;
    int setField;  // 0 bool, 1 int, 2 double, 3 long long, 4 string
  };
  for (const Expect& e : {Expect{"b", ConfigParamType::ConfigParam_Bool, 0},
                          Expect{"i", ConfigParamType::ConfigParam_Int, 1},
                          Expect{"d", ConfigParamType::ConfigParam_Double, 2},
                          Expect{"ll", ConfigParamType::ConfigParam_LongLong, 3},
                          Expect{"s", ConfigParamType::ConfigParam_String, 4},
                          Expect{"o", ConfigParamType::ConfigParam_OtherKind, 4}}) {
    const ConfigParam& p = sig->config.at(e.key);
    EXPECT_EQ(p.type, e.type) << e.key;
    EXPECT_EQ(p.__isset.boolValue, e.setField == 0) << e.key;
    EXPECT_EQ(p.__isset.intValue, e.setField == 1) << e.key;
    EXPECT_EQ(p.__isset.doubleValue, e.setField == 2) << e.key;
    EXPECT_EQ(p.__isset.longlongValue, e.setField == 3) << e.key;
    EXPECT_EQ(p.__isset.stringValue, e.setField == 4) << e.key;
  }
  EXPECT_TRUE(sig->config.at("b").boolValue);
  EXPECT_EQ(sig->config.at("i").intValue, 5);
  EXPECT_EQ(sig->config.at("d").doubleValue, 0.25);
  EXPECT_EQ(sig->config.at("ll").longlongValue, 1LL << 40);
  EXPECT_EQ(sig->config.at("s").stringValue, std::string("x\0y", 3));
  EXPECT_EQ(sig->config.at("o").stringValue, "a float: 2.5");
}

TEST(MessageTransformerTest, ConfigurationMapWithNestedValueLogsAndKeepsEmptyEntry) {
  tltest::LogCapture log;
  ConfigurationMap inner;
  const ConfigurationParameter<int> one(1);
  inner.set("x", &one);
  ConfigurationMap map;
  map.set("nested", &inner);
  map.set("plain", &one);
  auto sig = readBack<ConfigurationMapSignal>(messagetransforms::transform(&map));
  ASSERT_NE(sig, nullptr);
  ASSERT_EQ(sig->config.size(), 2u);
  const ConfigParam& n = sig->config.at("nested");
  EXPECT_EQ(n.type, ConfigParamType::ConfigParam_Bool);
  EXPECT_FALSE(n.__isset.boolValue || n.__isset.intValue || n.__isset.doubleValue ||
               n.__isset.longlongValue || n.__isset.stringValue);
  EXPECT_EQ(sig->config.at("plain").intValue, 1);
  const auto lines = log.matching("Can't establish type of ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "Can't establish type of nested");
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].sender, "<Unknown object>");
}

TEST(MessageTransformerTest, EmptyConfigurationMap) {
  const ConfigurationMap map;
  auto sig = readBack<ConfigurationMapSignal>(messagetransforms::transform(&map));
  ASSERT_NE(sig, nullptr);
  EXPECT_TRUE(sig->config.empty());
  EXPECT_EQ(sig->target, ConfigTarget::Target_Platform);
}

TEST(MessageTransformerTest, KindsWithoutBusFormGiveNothing) {
  const FilePreparedEventParams files({"a"});
  const ProcessingCompleteParams complete;
  const EventEngine2Affirm eAffirm;
  const EventEngine2Priority ePriority("[]");
  const HeartbeatAffirm hAffirm;
  const HeartbeatPriority hPriority("{}");
  const StartStopDecodingMsg startStop(1);
  for (const IProcessorEventParams* p : std::vector<const IProcessorEventParams*>{
           &files, &complete, &eAffirm, &ePriority, &hAffirm, &hPriority, &startStop, nullptr}) {
    EXPECT_EQ(MessageTransformer::transform("p", p), nullptr)
        << (p ? p->GetParamsDescription() : "null");
  }
  FailureParams failure(std::string("f"));
  EXPECT_EQ(MessageTransformer::transform(&failure), nullptr);
  EXPECT_EQ(MessageTransformer::transform(static_cast<const IProcessorStatusParams*>(nullptr)),
            nullptr);
}

TEST(MessageTransformerTest, GenericStatusBecomesNoUpdate) {
  GenericStatusParams status({"a", "b"});
  auto params = MessageTransformer::transform(static_cast<const IProcessorStatusParams*>(&status));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->getMsgType(), 23);
  auto s = readBack<ProcessorStatusSignal>(params);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->status, ProcessorStatus::NoUpdate);
  EXPECT_EQ(s->statusDescription, "a\nb\n");
  EXPECT_THAT(s->statusStrings, ElementsAre("a", "b"));
}

TEST(MessageTransformerTest, IdleStatusBytes) {
  AudioProcessorIdleStatusParams idle("p");
  auto params = MessageTransformer::transform(static_cast<const IProcessorStatusParams*>(&idle));
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->getMsgType(), 23);
  // Field 1 string "p is Idle.\n" (11 bytes), field 2 empty list of strings,
  // field 3 i32 0 (Idle), stop.
  const std::vector<signed char> expected = {0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0B, 'p',  ' ',
                                             'i',  's',  ' ',  'I',  'd',  'l',  'e',  '.',  '\n',
                                             0x0F, 0x00, 0x02, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x08,
                                             0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(params->getData(), expected);
}

}  // namespace
}  // namespace tembrolexinsdk
