// The bridge's commands as the core receives them, and the status listener's
// dispatch.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/sdk_private_objcpp.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/schema/wire.h"

namespace tembrolexinplatform {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

// --- The bridge's commands as the core receives them --------------------

class NullDecoder : public TLDecoderCallbacks {
 public:
  void notifyInitialisationComplete() override {}
  void notifyStartListening() override {}
  void notifyStopListening() override {}
  void notifyFailed(const FailureParams&) override {}
  void updateNTP() override {}
  void handleAudioSupport(int32_t) override {}
  void audioDecoderAudioSignal(const AudioSignal&) override {}
  void audioProcessorWithNameRaisedEvent(const std::string&,
                                         std::shared_ptr<const TLProcessorEventParams>) override {}
  void audioProcessorWithNameRaisedStatus(const std::string&,
                                          std::shared_ptr<const TLGenericStatusParams>) override {}
};

// Core log lines as the app's sink sees them: "<sender>/<level>/<text>".
class LineSink : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string& sender, const TLLogParams& p) override {
    record.add(sender + "/" + std::to_string(p.level) + "/" + p.message);
  }
  tltest::Record record;
};

TEST(BridgeLoggerTest, TheSharedLoggerHearsTheCoreThroughTheLatestBridgeOnly) {
  auto sink = std::make_shared<LineSink>();
  TLLogger::sharedLogger().setDelegate(sink);
  NullDecoder decoder;
  tembrolexinsdk::Messenger busA;
  {
    SDKPrivateObjcpp first(decoder, &busA, {});
    EXPECT_EQ(TLLogger::sharedLogger().messenger(), first.sharedMessenger());
    EXPECT_EQ(first.getMessenger().receiverCount(8), 1u);
    {
      tembrolexinsdk::Messenger busB;
      SDKPrivateObjcpp second(decoder, &busB, {});
      EXPECT_EQ(first.getMessenger().receiverCount(8), 0u);
      EXPECT_EQ(second.getMessenger().receiverCount(8), 1u);
      LogSignal line;
      line.__set_logType(4);
      line.__set_message("disk full");
      line.__set_sender("AudioDecoder");
      const std::string bytes = serializeMessage(line);
      busB.send("AudioDecoder", std::make_unique<tembrolexinsdk::ThriftParams>(
                                    8, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data())));
      EXPECT_EQ(sink->record.waitFor(1), (std::vector<std::string>{"AudioDecoder/4/disk full"}));
    }
    // The second bridge took the logger back as it went.
    EXPECT_EQ(TLLogger::sharedLogger().messenger(), nullptr);
  }
  TLLogger::sharedLogger().unsetDelegate();
}

struct CommandCase {
  std::string name;
  std::function<void(SDKPrivateObjcpp&)> command;
  int type;
  std::string golden;
};

class BridgeCommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(BridgeCommandTest, SendsOneMessageUnderTheBridgeName) {
  tembrolexinsdk::Messenger bus;
  tltest::BusProbe probe(bus, {30, 32, 33, 34, 35, 36});
  NullDecoder decoder;
  SDKPrivateObjcpp bridge(decoder, &bus, {});
  GetParam().command(bridge);
  const auto got = probe.waitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].sender, "SDKPrivateObjcpp");
  EXPECT_EQ(got[0].type, GetParam().type);
  EXPECT_EQ(Hex(got[0].bytes), Hex(Bytes(GetParam().golden)));
}

const NTPResult kNtp("ab", 1, 2, 3, 4, 5, 6.0, "host");

INSTANTIATE_TEST_SUITE_P(
    Commands, BridgeCommandTest,
    testing::Values(
        CommandCase{"InitDataWithOnlyDeviceId",
                    [](SDKPrivateObjcpp& b) { b.initialise(InitDataBuilder().setDeviceId(-1).build()); },
                    35, "08 0004 ffffffff 00"},
        CommandCase{"InitDataPluginSetsCollapseDuplicates",
                    [](SDKPrivateObjcpp& b) {
                      b.initialise(InitDataBuilder()
                                       .setProcessorPlugins({3, 3, 1})
                                       .setAudioProcessorPlugins({})
                                       .build());
                    },
                    35,
                    "0e 000a 0a 00000002 0000000000000001 0000000000000003"
                    "0e 000b 0a 00000000 00"},
        CommandCase{"StartWithoutRecording", [](SDKPrivateObjcpp& b) { b.startAndRecordToFile(false); },
                    36, "08 0001 00000000 02 0002 00 00"},
        CommandCase{"StartRecording", [](SDKPrivateObjcpp& b) { b.startAndRecordToFile(true); }, 36,
                    "08 0001 00000000 02 0002 01 00"},
        CommandCase{"StopLeavesRecordingUnset", [](SDKPrivateObjcpp& b) { b.stop(); }, 36,
                    "08 0001 00000001 00"},
        CommandCase{"PrepareDataLeavesRecordingUnset", [](SDKPrivateObjcpp& b) { b.prepareData(); },
                    36, "08 0001 00000002 00"},
        CommandCase{"EmptyConfiguration", [](SDKPrivateObjcpp& b) { b.configureWithMap({}); }, 30,
                    "0d 0001 0b 0c 00000000 08 0002 00000000 00"},
        CommandCase{"GpsPosition", [](SDKPrivateObjcpp& b) { b.updateGPSInfo(1.5, -2.0); }, 32,
                    "04 0001 3ff8000000000000 04 0002 c000000000000000 00"},
        CommandCase{"GsmCell", [](SDKPrivateObjcpp& b) { b.updateGSMInfo("262", "01", 5, 7); }, 33,
                    "0b 0001 00000003 '262' 0b 0002 00000002 '01'"
                    "0a 0003 0000000000000005 0a 0004 0000000000000007 00"},
        CommandCase{"NetworkTimeResult", [](SDKPrivateObjcpp& b) { b.updateNTP(&kNtp); }, 34,
                    "0a 0001 0000000000000001 0a 0002 0000000000000003 0a 0003 0000000000000002"
                    "0a 0004 0000000000000004 0a 0005 0000000000000005 0b 0007 00000002 'ab' 00"},
        CommandCase{"NoNetworkTimeIsAnEmptySignal", [](SDKPrivateObjcpp& b) { b.updateNTP(nullptr); },
                    34, "00"}),
    [](const testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

// --- The status listener ---------------------------------------------------

class RecordingDecoder : public TLDecoderCallbacks {
 public:
  void notifyInitialisationComplete() override { calls.push_back("initialised"); }
  void notifyStartListening() override { calls.push_back("started"); }
  void notifyStopListening() override { calls.push_back("stopped"); }
  void notifyFailed(const FailureParams& f) override { calls.push_back("failed:" + f.description()); }
  void updateNTP() override { calls.push_back("ntp"); }
  void handleAudioSupport(int32_t rate) override {
    calls.push_back("support:" + std::to_string(rate));
  }
  void audioDecoderAudioSignal(const AudioSignal& s) override {
    calls.push_back("audio:" + std::to_string(s.audioLevel));
  }
  void audioProcessorWithNameRaisedEvent(const std::string& name,
                                         std::shared_ptr<const TLProcessorEventParams> e) override {
    if (auto cw = std::dynamic_pointer_cast<const TLCodewordEventParams>(e)) {
      calls.push_back("codeword:" + name + ":" + std::to_string(cw->msg()) + ":" +
                      cw->engineRef().value_or("-") + ":" + std::to_string(cw->syncState()));
    } else if (auto env = std::dynamic_pointer_cast<const TLThriftParams>(e)) {
      calls.push_back("envelope:" + name + ":" + std::to_string(env->msgType()));
    }
  }
  void audioProcessorWithNameRaisedStatus(const std::string& name,
                                          std::shared_ptr<const TLGenericStatusParams> s) override {
    const bool idle = std::dynamic_pointer_cast<const TLAudioProcessorIdleStatusParams>(s) != nullptr;
    calls.push_back(std::string(idle ? "idle:" : "status:") + name + ":" + s->statusDescription());
  }
  std::vector<std::string> calls;
};

struct ListenerCase {
  std::string name;
  std::function<MessageEnvelope()> message;
  std::vector<std::string> calls;
};

// The envelope of a T filled by `fill`.
template <typename T>
std::function<MessageEnvelope()> msg(std::function<void(T&)> fill = {}) {
  return [fill] {
    T m;
    if (fill) fill(m);
    return MessageEnvelope::wrap(m);
  };
}
auto status(int32_t s) {
  return msg<SDKStatusSignal>([s](SDKStatusSignal& m) { m.__set_status(s); });
}

class StatusListenerTest : public testing::TestWithParam<ListenerCase> {};

TEST_P(StatusListenerTest, TellsTheFacade) {
  tembrolexinsdk::Messenger bus;
  Messenger messenger(&bus);
  RecordingDecoder decoder;
  SDKListenerPrivate listener(messenger, decoder);
  messenger.receiveThriftMessage(TLThriftParams(GetParam().message()), "Q");
  EXPECT_EQ(decoder.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StatusListenerTest,
    testing::Values(
        ListenerCase{"Initialised", status(0), {"initialised"}},
        ListenerCase{"NetworkTime", status(3), {"ntp"}},
        ListenerCase{"AudioSupport",
                     msg<SDKStatusSignal>([](auto& m) { m.__set_status(4), m.__set_sampleRate(16382); }),
                     {"support:16382"}},
        ListenerCase{"AudioSupportWithoutRate", status(4), {}},
        ListenerCase{"UnknownStatus", status(5), {}},
        ListenerCase{"Failure", msg<FailureSignal>([](auto& m) { m.__set_descriptionString("boom"); }),
                     {"failed:boom"}},
        ListenerCase{"CodewordNamesItsDecodingProcessor",
                     msg<CodewordSignal>([](auto& m) {
                       m.__set_sender("P"), m.__set_msg(4242), m.__set_engineRef("TRIGGER");
                       m.__set_syncState(3);
                     }),
                     {"codeword:P:4242:TRIGGER:3"}},
        ListenerCase{"AudioReport", msg<AudioSignal>([](auto& m) { m.__set_audioLevel(-12); }),
                     {"audio:-12"}},
        ListenerCase{"ListeningProcessorStatus",
                     msg<ProcessorStatusSignal>([](auto& m) {
                       m.__set_status(1), m.__set_statusDescription("Listening");
                     }),
                     {"status:Q:Listening"}},
        ListenerCase{"IdleProcessorStatus",
                     msg<ProcessorStatusSignal>([](auto& m) {
                       m.__set_status(0), m.__set_statusDescription("Idle");
                     }),
                     {"idle:Q:Idle"}},
        ListenerCase{"ConfigurationMapPassesAsEnvelope", msg<ConfigurationMapSignal>(),
                     {"envelope:Q:30"}},
        ListenerCase{"UnregisteredTypeIsDropped", msg<NotificationData>(), {}},
        ListenerCase{"CorruptStatusIsIgnored",
                     [] { return MessageEnvelope(37, Bytes("08 0001 00")); }, {}}),
    [](const testing::TestParamInfo<ListenerCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
