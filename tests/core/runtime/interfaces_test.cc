#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/runtime/decoder_bindings.h"
#include "core/runtime/i_audio_recorder.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_engine.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_power_detector_status_consumer.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"

namespace tembrolexinsdk {
namespace {

// A minimal audio processor that overrides nothing optional.
class PlainAudioProcessor : public IAudioProcessor {
 public:
  PlainAudioProcessor() = default;
  explicit PlainAudioProcessor(const char* headerVersion) : IAudioProcessor(headerVersion) {}
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const override { return name_; }
  void Initialise(IProcessorListener*, int, const NTPInfo*) override {}
  void Configure(const ConfigurationParameters*, const NTPInfo*) override {}
  void SetFilePath(const std::string&) override {}
  void ProcessBuffer(const short*, int, std::chrono::steady_clock::time_point) override {}
  void Start() override {}
  void Stop() override {}
  IProcessorEventParams* PrepareData(const NTPInfo*) override { return nullptr; }

 private:
  std::string name_ = "plain";
};

class PlainListener : public IProcessorListener {
 public:
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onLogEvent(const INamedObject*, const LogParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }
};

// A controller-like listener that is also a provider; the provider base is not
// the first base, so the cast has to adjust the pointer.
class ProvidingListener : public PlainListener, public IThriftProvider {
 public:
  void registerListener(int, IThriftConsumer*) override {}
  void sendMessage(const std::string&, std::unique_ptr<ThriftParams>) override {}
};

TEST(DecoderBindingsTest, ExportsVersionTwoInBothForms) {
  EXPECT_STREQ(DecoderBindings::internalVersion, "2.0.0");
  EXPECT_STREQ(DecoderBindings::internalVersionShort, "2.0.0");
  EXPECT_STREQ(TL_DECODER_BINDINGS_HEADER_VERSION, DecoderBindings::internalVersion);
  EXPECT_STREQ(TL_DECODER_BINDINGS_HEADER_VERSION_SHORT, DecoderBindings::internalVersionShort);
}

TEST(ProcessorVersionCheckTest, MatchingHeadersConstruct) {
  EXPECT_NO_THROW(PlainAudioProcessor processor);
}

class ProcessorVersionMismatchTest : public testing::TestWithParam<const char*> {};

TEST_P(ProcessorVersionMismatchTest, ThrowsExactText) {
  try {
    PlainAudioProcessor processor(GetParam());
    FAIL() << "constructed with header version " << (GetParam() ? GetParam() : "(null)");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "The headers do not match the binary being used for the DecoderBindings "
                 "library.");
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, ProcessorVersionMismatchTest,
                         testing::Values("1.9.9", "2.0.0 ", "2.0", "2.0.00", "", nullptr));

TEST(AudioProcessorTest, PreferredSampleRateDefaultsTo8kHz) {
  PlainAudioProcessor processor;
  EXPECT_EQ(processor.GetPreferredSampleRate(), SampleRate_8000);
  EXPECT_EQ(static_cast<unsigned short>(processor.GetPreferredSampleRate()), 2);
}

TEST(ThriftUtilTest, CastToProvider) {
  PlainListener plain;
  ProvidingListener providing;
  EXPECT_EQ(ThriftUtil::castToProvider(nullptr), nullptr);
  EXPECT_EQ(ThriftUtil::castToProvider(&plain), nullptr);
  IProcessorListener* asListener = &providing;
  EXPECT_EQ(ThriftUtil::castToProvider(asListener), static_cast<IThriftProvider*>(&providing));
}

class MinimalEngine : public IEngine {
 public:
  const std::string& GetName() const override { return name_; }
  void setEngineParameters(const ConfigurationMap*) override {}
  const IProcessorEventParams* processEventParams(const IProcessorEventParams* p) override {
    return p;
  }
  void Configure(const ConfigurationParameters*) override {}

 private:
  std::string name_ = "MINIMAL";
};

TEST(InterfaceDefaultsTest, EngineAndConsumerDefaults) {
  MinimalEngine engine;
  EXPECT_TRUE(engine.isEnabled());
  EXPECT_FALSE(engine.isBusy());
  engine.setFilePath("/nowhere");
  engine.start();
  engine.stop();

  struct NtpOnly : INTPConsumer {
    void updateNTPInfo(const NTPInfo*) override {}
  } ntp;
  EXPECT_TRUE(ntp.isNTPRequired());

  IPowerDetectorStatusConsumer power;
  power.UpdatePowerDetectorStatus(PowerDetectorMsgStatus::PowerDetector_On);
  power.UpdatePowerDetectorStatus(static_cast<PowerDetectorStatus>(77));
}

TEST(AudioRecorderExceptionTest, IsAStdException) {
  struct Specific : IAudioRecorder::AudioRecorderException {};
  try {
    throw Specific();
  } catch (const std::exception& e) {
    EXPECT_NE(dynamic_cast<const IAudioRecorder::AudioRecorderException*>(&e), nullptr);
  }
}

}  // namespace
}  // namespace tembrolexinsdk
