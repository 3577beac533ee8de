#include "core/control/audio_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/audio_session.h"
#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/audio/delayed_executor.h"
#include "core/audio/file_capture_source.h"
#include "core/audio/ios_audio_recorder.h"
#include "core/control/builtin_plugins.h"
#include "core/control/configuration_filter.h"
#include "core/control/processor_handles.h"
#include "core/control/sdk_private.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/logger.h"
#include "core/runtime/messenger.h"
#include "tests/core/audio/fake_decoder_core.h"
#include "tests/core/control/decoder_fakes.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/damaged_store.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"

namespace tltest {
namespace {

constexpr int kMarkerType = 99;

// What follows the failure that reset the decoder, as a later start hears it,
// while the named generic processors are loaded.
std::string cannotInitialiseAgain(const std::string& names) {
  return "; the decoder cannot initialise again in this process while a generic processor is "
         "loaded (" +
         names + "); start the process again once the cause is mended";
}

// The decoding core of "tembrolexin_Held": scheme configurations named
// "held..." are refused once the test opens the gate; every other is the
// fake core's.
CodewordProcessor::Gate& heldGate() {
  static CodewordProcessor::Gate gate;
  return gate;
}
const DecoderFunctions& heldFunctions() {
  static const DecoderFunctions functions = [] {
    DecoderFunctions f = MakeFakeFunctions();
    f.init = [](const char* config) -> VorselTContext* {
      if (std::string(config).rfind("held", 0) != 0) return FakeInit(config, false);
      std::unique_lock<std::mutex> lock(heldGate().mutex);
      heldGate().cv.wait(lock, [] { return heldGate().open; });
      Tembrolexin_SetErrorMsg("no such scheme");
      return nullptr;
    };
    return f;
  }();
  return functions;
}

// Records the decoder's start and stop marks and how often it initialised.
class MarkListener : public IAudioDecoderListener {
 public:
  void onInitialisationComplete() override { ++initialised; }
  void onProcessorEvent(std::string, const IProcessorEventParams* params) override {
    if (const auto* mark = StartStopDecodingMsg::Cast(params)) {
      std::lock_guard<std::mutex> lock(mutex);
      marks.push_back(mark->getState());
    }
  }
  std::vector<int> seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return marks;
  }
  std::atomic<int> initialised{0};
  std::mutex mutex;
  std::vector<int> marks;
};

class AudioDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Log lines travel on the process-wide bus, never on the test's own.
    Logger::getInstance()->registerMessenger(getMessenger());
    builtinplugins::registerAll();  // every engine type, whatever runs first
  }
  void TearDown() override {
    heldGate().set(true);  // a held build ends, so that its worker can
    bridge_.reset();
    if (decoder_) decoder_->unRegisterDecoderListener(&marks_);
    decoder_.reset();
    tap_.reset();
    bus_.reset();
  }

  AudioDecoderEnvironment environment() {
    AudioDecoderEnvironment env;
    env.loadAudioPlugins = [this](const std::string&, const std::vector<std::string>& names) {
      pluginNames_ = names;
      std::vector<std::unique_ptr<IAudioProcessor>> out;
      if (heldProcessor_) {
        auto held = std::make_unique<BaseAudioProcessor>("tembrolexin_Held", SampleRate_8000, false,
                                                         std::chrono::milliseconds(250),
                                                         Clock::real(), heldFunctions());
        held->setDecoderDescriptors({std::make_shared<const EchoDecoderDescriptor>(
            "ok", std::vector<CodewordRange>{}, false)});
        out.push_back(std::move(held));
      }
      for (const std::string& name : processors_) {
        ProcessorSetup setup;
        setup.name = name;
        setup.log = &log_;
        setup.throwOn = throwOn_;
        if (ntpConsumers_) {
          out.push_back(std::make_unique<NtpProcessor>(setup, false));
        } else {
          out.push_back(std::make_unique<CodewordProcessor>(setup, &gate_));
        }
      }
      return out;
    };
    // The platform's generic processors ("libCacheEngine.so"), counted.
    env.loadProcessorPlugins = [this,
                                load = AudioDecoderEnvironment::platform().loadProcessorPlugins](
                                   const std::string& path, const std::vector<std::string>& names) {
      auto made = load(path, names);
      genericMade_ += static_cast<int>(made.size());
      return made;
    };
    env.createPlatformRecorder = [this] {
      auto recorder = std::make_unique<FakeRecorder>(log_);
      recorder->ratesFailure = ratesFailure_;
      recorder->micBusy = micBusy_;
      recorder->feedOnStart = feedOnStart_;
      recorder_ = recorder.get();
      return recorder;
    };
    env.knowsPlugin = knowsPlugin_;
    env.sampleCheckTiming = TimingMode::kManual;
    if (heldProcessor_) env.clock = &clock_;
    return env;
  }

  void make() {
    bus_ = std::make_unique<Messenger>();
    tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{37, 31, 9, 10, 23, kMarkerType});
    decoder_ = std::make_unique<AudioDecoder>(bus_.get(), environment());
    decoder_->registerDecoderListener(&marks_);
    bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  }

  // The held code-word processor alone, its gate closed.
  void makeWithHeldProcessor() {
    FakeCore::get().reset();
    FakeCore::get().templates["ok"] = FakeDecoder();
    heldGate().set(false);
    heldProcessor_ = true;
    processors_ = {};
    make();
  }

  template <typename T>
  void send(const T& message) {
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(message));
  }
  // Returns once the bus has delivered everything sent before.
  void flush() {
    const size_t before = tap_->of(kMarkerType).size();
    bus_->send("Test", std::make_unique<ThriftParams>(kMarkerType, 0, nullptr));
    ASSERT_TRUE(tap_->await(kMarkerType, before + 1));
  }

  // The text of the i-th failure on the bus.
  std::string failureText(size_t i) {
    return ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31).at(i).params)
        ->descriptionString;
  }

  InitData init() {
    InitData data;
    data.__set_sampleRates(SampleRate_8000 | SampleRate_16000);
    data.__set_deviceId(7);
    data.__set_filePath(dir_.path());
    data.__set_externalFilePath(dir_.path());
    data.__set_packageName("app.pkg");
    data.__set_udId("dev-1");
    return data;
  }
  static ConfigurationMapSignal configuration(const std::map<std::string, std::string>& values,
                                              ConfigTarget::type target = ConfigTarget::Target_Cpp) {
    ConfigurationMapSignal signal;
    for (const auto& [key, value] : values) {
      ConfigParam param;
      param.type = ConfigParamType::ConfigParam_String;
      param.__set_stringValue(value);
      signal.config[key] = param;
    }
    signal.target = target;
    return signal;
  }
  static InstructionSignal instruction(SdkInstruction::type which) {
    InstructionSignal signal;
    signal.instruction = which;
    return signal;
  }

  TempDir dir_;
  CallLog log_;
  std::vector<std::string> processors_ = {"tembrolexin_EchoMod"};
  std::set<std::string> throwOn_;
  bool ntpConsumers_ = false;
  CodewordProcessor::Gate gate_;
  std::vector<std::string> pluginNames_;
  FakeRecorder* recorder_ = nullptr;
  std::string ratesFailure_;
  std::atomic<int> genericMade_{0};
  bool micBusy_ = false;  // of the platform recorder made next
  short feedOnStart_ = 0;  // likewise
  std::function<bool(const std::string&)> knowsPlugin_;
  MarkListener marks_;
  // A code-word processor whose build of the app's descriptors waits for
  // heldGate(), on clock_.
  bool heldProcessor_ = false;
  FakeClock clock_;
  std::unique_ptr<Messenger> bus_;
  std::unique_ptr<BusTap> tap_;
  std::unique_ptr<AudioDecoder> decoder_;
  std::unique_ptr<SDKPrivate> bridge_;
};

// A recorder that delivers as it starts (a file read as fast as it is
// decoded) finds the processors already started: its first buffer is decoded.
TEST_F(AudioDecoderTest, BufferDeliveredAsRecordingStartsIsDecoded) {
  feedOnStart_ = 4242;
  make();
  send(configuration({}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(9, 1));
  EXPECT_EQ(ThriftParamsFactory::readThriftParams<CodewordSignal>(*tap_->of(9)[0].params)->msg,
            4242);
}

TEST_F(AudioDecoderTest, RunsFromInitDataToCodewordsAndStopOnTheBus) {
  make();
  send(configuration({{"tembrolexin_EchoMod_option", "a"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(37, 3));
  // The platform recorder is set up (its rates reported) as decoding starts.
  EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"0", "4:18", "1"}));
  EXPECT_EQ(pluginNames_, (std::vector<std::string>{"libEchoModPlugin.so", "libVorselTPlugin.so",
                                                    "libVorselTWPlugin.so"}));
  EXPECT_EQ(decoder_->engineNames(), (std::vector<std::string>{"CONTENT", "EVENT2", "HEARTBEAT", "SDKANALYTICS"}));
  ASSERT_TRUE(log_.await("Configure:tembrolexin_EchoMod_option=a"));
  ASSERT_TRUE(log_.await("Start"));

  // One second of 8 kHz audio at amplitude 100 (40 dB): the level moves a
  // quarter of the way, to 10, in the buffer that completes the second.
  const size_t frames = recorder_->frames();
  ASSERT_GT(frames, 0u);
  const size_t buffers = (8000 + frames - 1) / frames;
  for (size_t i = 0; i + 1 < buffers; ++i) recorder_->feed(100);
  recorder_->feed(100);
  recorder_->feed(4242);
  ASSERT_TRUE(tap_->await(10, buffers + 1));
  ASSERT_TRUE(tap_->await(9, 1));
  auto audio = tap_->of(10);
  ASSERT_EQ(audio.size(), buffers + 1);
  auto before = ThriftParamsFactory::readThriftParams<AudioSignal>(*audio[buffers - 2].params);
  auto last = ThriftParamsFactory::readThriftParams<AudioSignal>(*audio[buffers - 1].params);
  EXPECT_EQ(audio[0].sender, "AudioDecoder");
  EXPECT_EQ(before->audioLevel, 0);
  EXPECT_EQ(last->audioLevel, 10);
  EXPECT_EQ(last->systemTimeStamp, 1796515200123LL);
  auto words = tap_->of(9);
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0].sender, "tembrolexin_EchoMod");
  EXPECT_EQ(ThriftParamsFactory::readThriftParams<CodewordSignal>(*words[0].params)->msg, 4242);

  send(instruction(SdkInstruction::SdkInstruction_stop));
  ASSERT_TRUE(tap_->await(37, 4));
  EXPECT_EQ(tap_->statuses().back(), "2");
  flush();
  EXPECT_EQ(marks_.seen(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(log_.count("stopRecording"), 1);
}

// Every permutation of the setters (and the configuration map) initialises
// exactly once, inside the call that completes the picture.
class SetterOrderTest : public AudioDecoderTest, public ::testing::WithParamInterface<int> {};

TEST_P(SetterOrderTest, InitialisesExactlyOnce) {
  make();
  std::vector<std::function<bool()>> steps = {
      [&] { return decoder_->setAvailableSampleRates(SampleRate_8000); },
      [&] { return decoder_->setFilePath(dir_.path()); },
      [&] { return decoder_->setIdentity("app.pkg", "dev-1"); },
      [&] { return decoder_->setDeviceId(3); },
      [&] {
        ConfigurationMap map;
        decoder_->configure(&map);
        return decoder_->isInitialised();
      },
  };
  std::vector<int> order = {0, 1, 2, 3, 4};
  for (int i = 0; i < GetParam(); ++i) std::next_permutation(order.begin(), order.end());
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(steps[order[i]](), i + 1 == order.size()) << "step " << i;
  }
  EXPECT_TRUE(decoder_->setExternalFilePath(dir_.path()));
  EXPECT_EQ(marks_.initialised.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Permutations, SetterOrderTest, ::testing::Values(0, 7, 31, 64, 119),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Permutation" + std::to_string(info.param);
                         });

TEST_F(AudioDecoderTest, CachedMapsApplyInArrivalOrderAndAnEarlyStartWaits) {
  processors_ = {"tembrolexin_EchoMod", "tembrolexin_VorselT"};
  make();
  send(instruction(SdkInstruction::SdkInstruction_start));
  send(configuration({{"tembrolexin_EchoMod_a", "1"}, {"*_meta_enabled", "x"}}));
  send(configuration({{"tembrolexin_EchoMod_a", "2"}, {"tembrolexin_VorselT_b", "3"}}));
  send(init());
  ASSERT_TRUE(tap_->await(37, 3));
  EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"4:18", "0", "1"}));
  ASSERT_TRUE(log_.await("Configure:tembrolexin_EchoMod_a=2"));
  ASSERT_TRUE(log_.await("Configure:tembrolexin_VorselT_b=3"));
  const auto entries = log_.entries();
  const auto first = std::find(entries.begin(), entries.end(), "Configure:tembrolexin_EchoMod_a=1");
  const auto second = std::find(entries.begin(), entries.end(), "Configure:tembrolexin_EchoMod_a=2");
  EXPECT_LT(first, second);
  // Processor versions went out as status messages.
  ASSERT_TRUE(tap_->await(23, 2));
  EXPECT_EQ(tap_->of(23)[0].sender, "tembrolexin_EchoMod");
}

// An audio processor's failure that ends its controller resets the decoder,
// and the next map initialises it again; with a generic processor loaded the
// maps go to that processor instead, so a start hears why nothing will.
class ProcessorFailureTest : public AudioDecoderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProcessorFailureTest, ReportsAndResetsToUninitialised) {
  const bool generic = GetParam();
  throwOn_ = {"Start"};
  make();
  send(configuration({{"x", "1"}}));
  if (generic)
    send(configuration({{"AudioDecoder_plugins", "libEchoModPlugin.so, libCacheEngine.so"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 1));
  auto failure = ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31)[0].params);
  EXPECT_EQ(failure->descriptionString, "Start failed");
  EXPECT_EQ(tap_->of(31)[0].sender, "TembrolexinSDK");
  // The reset follows on the decoder's control thread, after the report.
  ASSERT_TRUE(log_.await("recorder~"));
  decoder_->waitForControlTasks();
  EXPECT_FALSE(decoder_->isInitialised());
  EXPECT_FALSE(decoder_->isListening());
  ASSERT_TRUE(tap_->await(37, 4));
  EXPECT_EQ(tap_->statuses().back(), "2");
  // The next configuration map initialises again, with a new recorder.
  send(configuration({{"x", "2"}}));
  flush();
  EXPECT_EQ(decoder_->isInitialised(), !generic);
  if (!generic) return;
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 2));
  EXPECT_EQ(failureText(1), "Start failed" + cannotInitialiseAgain("\"libCacheEngine.so\""));
}

INSTANTIATE_TEST_SUITE_P(Loaded, ProcessorFailureTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "WithAGenericProcessor" : "AudioProcessorsOnly";
                         });

TEST_F(AudioDecoderTest, InterruptionsPauseAndResumeOnTheControlThread) {
  make();
  // An end before initialisation only keeps the start for later.
  decoder_->audioSessionCallback(IAudioRecorderListener::InterruptionEnded);
  decoder_->waitForControlTasks();
  send(configuration({{"x", "1"}}));
  send(init());
  ASSERT_TRUE(tap_->await(37, 3));
  EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"4:18", "0", "1"}));
  decoder_->audioSessionCallback(IAudioRecorderListener::InterruptionBegan);
  decoder_->waitForControlTasks();
  EXPECT_FALSE(decoder_->isListening());
  EXPECT_EQ(log_.count("stopRecording"), 0);  // the recorder is not told
  decoder_->audioSessionCallback(IAudioRecorderListener::InterruptionEnded);
  decoder_->waitForControlTasks();
  EXPECT_TRUE(decoder_->isListening());
  ASSERT_TRUE(tap_->await(37, 5));
  EXPECT_EQ(tap_->statuses()[3], "2");
  EXPECT_EQ(tap_->statuses()[4], "1");
  flush();
  EXPECT_EQ(marks_.seen(), (std::vector<int>{0, 1, 0}));
}

// Network time for every audio controller: a missing or empty packet is a
// failed request; a short one is padded, never read past its end.
TEST_F(AudioDecoderTest, NetworkTimeReachesTheControllers) {
  ntpConsumers_ = true;
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  flush();
  NTPInfoSignal empty;
  send(empty);
  NTPInfoSignal shortPacket;
  shortPacket.__set_rawNTP(std::string("\x01\x02", 2));
  shortPacket.__set_upTimeMillis(5);
  send(shortPacket);
  ASSERT_TRUE(log_.await("updateNTP"));
  EXPECT_EQ(log_.count("updateNTP"), 1);
}

TEST_F(AudioDecoderTest, MissingMicrophoneOnlyStopsTheRecorder) {
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  flush();
  micBusy_ = true;  // the platform recorder is made as decoding starts
  decoder_->startDecoding(false);
  EXPECT_TRUE(decoder_->isInitialised());
  EXPECT_FALSE(decoder_->isListening());
  EXPECT_EQ(log_.count("stopRecording"), 1);
  recorder_->micBusy = false;
  recorder_->refuse = true;
  decoder_->startDecoding(false);
  flush();
  EXPECT_FALSE(decoder_->isInitialised());
  auto failure = ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31).at(0).params);
  EXPECT_EQ(failure->descriptionString,
            "NoMicPermissionException user didn't allow microphone permissions");
}

// Priority events from an engine reach the code-word processors as
// configuration, by way of the decoder's control thread.
TEST_F(AudioDecoderTest, PriorityEventsBecomeConfiguration) {
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  flush();
  const EventEngine2Priority priority("[1,2]");
  std::thread engineThread([&] { decoder_->onProcessorEvent(nullptr, &priority); });
  engineThread.join();
  decoder_->waitForControlTasks();
  EXPECT_TRUE(log_.await("Configure:tembrolexin_EchoMod_EventEngineSequences=[1,2]"));
}

// An app-fed recorder's caller waits while every buffer is still queued;
// nothing it fed is overwritten before the processor has copied it.
TEST_F(AudioDecoderTest, AppFedRecorderWaitsForBuffersInUse) {
  make();
  auto owned = std::make_unique<FakeRecorder>(log_, SampleRate_8000);
  FakeRecorder* custom = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  send(configuration({{"x", "1"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(log_.await("Start"));
  gate_.set(false);
  std::atomic<int> fed{0};
  std::thread feeder([&] {
    for (short v = 1; v <= 12; ++v) {
      custom->feed(v);
      fed.store(v);
    }
  });
  // The processor holds buffer 1; buffers 2 to 5 wait; feeding 5 needs the
  // buffer 1 sits in.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LE(fed.load(), 4);
  EXPECT_FALSE(decoder_->isBufferFree(0));
  gate_.set(true);
  feeder.join();
  for (int v = 1; v <= 12; ++v) {
    EXPECT_TRUE(log_.await("ProcessBuffer:" + std::to_string(custom->frames()) + ":" +
                           std::to_string(v)))
        << v;
  }
  EXPECT_EQ(decoder_->droppedBuffers(), 0u);
}

// Shutting down while the app feeds its recorder: the controllers taken
// away still read the buffers queued to them as they end, so the app's
// next buffer is filled only once it is free, never under a reader.
TEST_F(AudioDecoderTest, ShutdownWhileTheAppFeedsNeverRefillsABufferStillQueued) {
  make();
  auto owned = std::make_unique<CustomRecorder>(8000, bus_.get());
  CustomRecorder* custom = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  send(configuration({{"x", "1"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(log_.await("Start"));
  const std::size_t frames = custom->getMaximumBufferSize() / AudioDecoder::kCaptureBuffers;
  ASSERT_GT(frames, 0u);
  gate_.set(false);
  std::atomic<int> fed{0};
  std::thread feeder([&] {
    for (short v = 1; v <= 12; ++v) {
      const std::vector<short> block(frames, v);
      custom->provideSamples(block.data(), static_cast<int>(block.size()));
      fed.store(v);
    }
  });
  // Every buffer is queued behind the held first one.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (fed.load() < 4 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(fed.load(), 4);
  std::thread closer([&] { decoder_->shutdown(); });
  while (decoder_->isInitialised() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_FALSE(decoder_->isInitialised());  // the controllers are taken away, still ending
  gate_.set(true);
  closer.join();
  feeder.join();
  // What the processor read is what was fed into each buffer, in order.
  const std::string prefix = "ProcessBuffer:" + std::to_string(frames) + ":";
  std::vector<int> seen;
  for (const std::string& line : log_.entries()) {
    if (line.rfind(prefix, 0) == 0) seen.push_back(std::stoi(line.substr(prefix.size())));
  }
  ASSERT_FALSE(seen.empty());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int>(i) + 1);
}

TEST_F(AudioDecoderTest, CustomRecorderOnARunningDecoderKeepsControllersAndDoesNotRestart) {
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(37, 3));
  ASSERT_TRUE(log_.await("Start"));
  EXPECT_EQ(decoder_->chosenSampleRate(), SampleRate_8000);
  processors_.clear();  // a reload would show as no processor at all
  auto custom = std::make_unique<FakeRecorder>(log_, SampleRate_16000);
  EXPECT_TRUE(decoder_->useCustomRecorder(std::move(custom)));
  EXPECT_TRUE(decoder_->isInitialised());
  EXPECT_FALSE(decoder_->isListening());
  EXPECT_EQ(decoder_->chosenSampleRate(), SampleRate_16000);
  EXPECT_EQ(log_.count("recorder~"), 1);
  EXPECT_EQ(log_.count("Start"), 1);
  ASSERT_TRUE(log_.await("Stop"));
  ASSERT_TRUE(tap_->await(37, 5));
  EXPECT_EQ(tap_->statuses()[3], "2");
  EXPECT_EQ(tap_->statuses()[4], "4:16");
}

TEST_F(AudioDecoderTest, ShutdownStopsOnceKeepsTheAppFedRecorderAndRefusesLaterWork) {
  make();
  auto owned = std::make_unique<FakeRecorder>(log_, SampleRate_8000);
  FakeRecorder* custom = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  send(configuration({{"x", "1"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(log_.await("Start"));
  ASSERT_TRUE(tap_->await(37, 3));

  decoder_->shutdown();
  EXPECT_TRUE(decoder_->isShutDown());
  EXPECT_FALSE(decoder_->isListening());
  EXPECT_FALSE(decoder_->isInitialised());
  // Stopped as by the app: the marks, the recorder's stop, status 2.
  EXPECT_EQ(marks_.seen(), (std::vector<int>{0, 1, 2}));
  EXPECT_GE(log_.count("stopRecording"), 1);
  ASSERT_TRUE(tap_->await(37, 4));
  EXPECT_EQ(tap_->statuses().back(), "2");
  // The app's recorder is kept, so a thread feeding it still finds it; what
  // it brings goes nowhere.
  EXPECT_EQ(log_.count("recorder~"), 0);
  custom->feed(4242);
  decoder_->shutdown();  // again: nothing more happens
  EXPECT_EQ(marks_.seen(), (std::vector<int>{0, 1, 2}));

  // Later work is refused; a recorder handed over now is kept, not installed.
  EXPECT_FALSE(decoder_->setDeviceId(8));
  EXPECT_FALSE(decoder_->useCustomRecorder(std::make_unique<FakeRecorder>(log_)));
  send(configuration({{"x", "2"}}));
  send(instruction(SdkInstruction::SdkInstruction_start));
  decoder_->startDecoding(false);
  flush();
  EXPECT_FALSE(decoder_->isInitialised());
  EXPECT_EQ(log_.count("Start"), 1);
  EXPECT_EQ(log_.count("ProcessBuffer:" + std::to_string(custom->frames()) + ":4242"), 0);
  EXPECT_EQ(log_.count("recorder~"), 0);
  EXPECT_EQ(tap_->of(37).size(), 4u);
}

// A cause that stays (a capture device that is not there) fails every
// initialisation that a configuration map brings; the bus carries the
// failure once, and the decoder never reports listening. Each start hears it.
TEST_F(AudioDecoderTest, AFailureThatRepeatsIsReportedOnceUntilTheDecoderInitialises) {
  ratesFailure_ = "Cannot open ALSA capture device hw:97: No such file or directory";
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  send(configuration({{"x", "2"}}));
  send(configuration({{"x", "3"}}));
  ASSERT_TRUE(tap_->await(31, 1));
  // What handling the messages above sent is queued before the second marker.
  flush();
  flush();
  ASSERT_EQ(tap_->of(31).size(), 1u);
  auto failure = ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31)[0].params);
  EXPECT_EQ(failure->descriptionString, ratesFailure_);
  for (const std::string& status : tap_->statuses()) EXPECT_NE(status, "1");
  EXPECT_FALSE(decoder_->isListening());

  // Once the device is back the decoder initialises; a later failure of the
  // same kind is news again.
  ratesFailure_.clear();
  send(configuration({{"x", "4"}}));
  flush();
  ASSERT_TRUE(decoder_->isInitialised());
  ratesFailure_ = "Cannot open ALSA capture device hw:97: No such file or directory";
  decoder_->useCustomRecorder(nullptr);  // back to a (failing) platform recorder
  send(instruction(SdkInstruction::SdkInstruction_start));  // which is made now
  EXPECT_TRUE(tap_->await(31, 2));
  flush();
  flush();
  EXPECT_EQ(tap_->of(31).size(), 2u);
  // That failure took the configurations with it: a start with nothing new to
  // initialise with hears it again rather than nothing.
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 3));
  EXPECT_EQ(ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31)[2].params)
                ->descriptionString,
            ratesFailure_);
}

// With the bundle cache loaded, a capture source that fails resets the
// decoder for the rest of the process: the cache's controller survives the
// reset and takes every later configuration, so none is cached to initialise
// with. The first start hears the failure as it is; a start after the cause
// is gone and the app configured again hears why it still fails.
TEST_F(AudioDecoderTest, AfterAResetWithTheBundleCacheLoadedLaterStartsHearWhyItLasts) {
  const std::string path = dir_.file("capture.raw");
  bus_ = std::make_unique<Messenger>();
  tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{31, kMarkerType});
  AudioDecoderEnvironment env = AudioDecoderEnvironment::platform();
  env.createPlatformRecorder = [this, path] {
    return std::make_unique<IOSAudioRecorder>(
        std::make_unique<FileCaptureSource>(path, FileCaptureSource::Options{}, clock_),
        std::make_shared<LocalAudioSession>(), std::make_unique<ManualDelayedExecutor>(), clock_);
  };
  env.sampleCheckTiming = TimingMode::kManual;
  decoder_ = std::make_unique<AudioDecoder>(bus_.get(), env);
  bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  send(configuration({{"AudioDecoder_plugins", "libVorselTWPlugin.so, libCacheEngine.so"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 1));
  const std::string first =
      "Cannot read audio file " + path + ": it does not open (No such file or directory)";
  EXPECT_EQ(failureText(0), first);

  std::ofstream(path, std::ios::binary) << std::string(3200, '\0');
  send(configuration({{"x", "1"}}));
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 2));
  EXPECT_EQ(failureText(1), first + cannotInitialiseAgain("\"libCacheEngine.so\""));
  EXPECT_FALSE(decoder_->isInitialised());
}

// A start before the initialisation, whose capture device then does not
// open, keeps the maps for the next try; the generic processors outlive the
// reset, and the start that tries again does not load a second of each.
TEST_F(AudioDecoderTest, AnInitialisationTriedAgainLoadsTheGenericProcessorsOnce) {
  ratesFailure_ = "Cannot open ALSA capture device hw:97: No such file or directory";
  make();
  send(configuration({{"AudioDecoder_plugins", "libEchoModPlugin.so, libCacheEngine.so"}}));
  send(instruction(SdkInstruction::SdkInstruction_start));
  send(init());
  ASSERT_TRUE(tap_->await(31, 1));
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 2));
  EXPECT_EQ(genericMade_.load(), 1);
}

// "audiodecoder.db" damaged in the app's folder: the decoder sets it aside
// and both the start after the damage and the next one listen. A folder in
// its place is no damage: every start fails, naming the path and the reason.
struct DamagedStoreCase {
  const char* name;
  void (*damage)(const std::string& path);
  int code;            // 0: damage the check finds, or a link to nothing
  const char* reason;  // for code 0, what the Warning names ("<path>" replaced)
  bool listens;
};

void PrintTo(const DamagedStoreCase& c, std::ostream* os) { *os << c.name; }

class DamagedStoreTest : public AudioDecoderTest,
                         public ::testing::WithParamInterface<DamagedStoreCase> {};

TEST_P(DamagedStoreTest, StartAfterTheDamageAndTheNextOne) {
  const DamagedStoreCase& c = GetParam();
  const std::string path = dir_.file("audiodecoder.db");
  c.damage(path);
  const std::string before = whatLiesAt(path);
  const std::string target = whatLiesAt(path + ".target");
  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE("start " + std::to_string(start));
    if (start == 2) TearDown();  // the app ends; a new one starts in the folder
    LogCapture log;
    make();
    send(configuration({{"x", "1"}}));
    send(init());
    send(instruction(SdkInstruction::SdkInstruction_start));
    ASSERT_TRUE(c.listens ? tap_->await(37, 3) : tap_->await(31, 1));
    flush();
    const auto damaged = log.matching("is damaged");
    if (c.listens) {
      EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"0", "4:18", "1"}));
      ASSERT_EQ(damaged.size(), start == 1 ? 1u : 0u);
      if (start == 1) {
        EXPECT_EQ(damaged[0].sender, "AudioDecoder");
        EXPECT_EQ(damaged[0].level, 3);
        std::string damage = c.reason;
        if (c.code != 0) damage += ", code " + std::to_string(c.code);
        if (const size_t at = damage.find("<path>"); at != std::string::npos) {
          damage.replace(at, 6, path);
        }
        EXPECT_EQ(damaged[0].message, "Store " + path + " is damaged (" + damage +
                                          "); it is set aside as " + path +
                                          ".damaged and a new, empty store is made");
      }
      EXPECT_EQ(whatLiesAt(path + ".damaged"), before);
      EXPECT_EQ(whatLiesAt(path).substr(0, 16), std::string("SQLite format 3\0", 16));
    } else {
      auto failure = ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31)[0].params);
      EXPECT_EQ(failure->descriptionString,
                "Database did not open properly. ErrorCode: " + std::to_string(c.code) + " (" +
                    path + ": " + c.reason + ")");
      for (const std::string& status : tap_->statuses()) EXPECT_NE(status, "1");
      EXPECT_TRUE(damaged.empty());
      EXPECT_EQ(whatLiesAt(path), before);
    }
    EXPECT_EQ(whatLiesAt(path + ".target"), target);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedStoreTest,
    ::testing::Values(
        DamagedStoreCase{"Garbage", writeGarbageStore, 26, "file is not a database", true},
        DamagedStoreCase{"CutFile", writeCutStore, 11, "database disk image is malformed", true},
        DamagedStoreCase{"FlippedBytes", writeFlippedStore, 11, "database disk image is malformed",
                         true},
        DamagedStoreCase{"LinkToGarbage", linkToGarbageStore, 26, "file is not a database", true},
        DamagedStoreCase{"DamagedPageAfterTheFirst", writeDamagedPageStore, 0,
                         "quick_check: Page 3: btreeInitPage() returns error code 11", true},
        // A schema format number that no SQLite writes: SQLite's code 1.
        DamagedStoreCase{"SchemaFormat5", [](const std::string& p) { writeSchemaFormatStore(p, 5); },
                         1, "unsupported file format", true},
        DamagedStoreCase{"SchemaFormat255",
                         [](const std::string& p) { writeSchemaFormatStore(p, 255); }, 1,
                         "unsupported file format", true},
        DamagedStoreCase{"SchemaFormatAllOnes",
                         [](const std::string& p) { writeSchemaFormatStore(p, 0xFFFFFFFFu); }, 1,
                         "unsupported file format", true},
        DamagedStoreCase{"LinkToNothing", linkToNothing, 0,
                         "a link to <path>.target, which leads to no file", true},
        DamagedStoreCase{"Folder", makeFolderInPlace, 14,
                         "unable to open database file (Is a directory)", false}),
    [](const auto& info) { return std::string(info.param.name); });

// An "audiodecoder.db" that SQLite opens read-only (a write version of 3 in
// its header) would refuse every completion flag at every start: the start
// sets it aside and carries its flags into the new store.
TEST_F(AudioDecoderTest, StoreThatOpensReadOnlyIsCarriedIntoANewStore) {
  const std::string path = dir_.file("audiodecoder.db");
  ASSERT_TRUE(DB::Database(path, "audiodecoder").insert("b1_a1", true));
  setHeaderVersions(path, 3, 1);
  const std::string before = readFile(path);
  LogCapture log;
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(37, 3));
  flush();
  DB::Database store(path, "audiodecoder");
  EXPECT_TRUE(store.select<bool>("b1_a1"));
  EXPECT_TRUE(store.insert("b1_a2", true));
  EXPECT_TRUE(readFile(path + ".damaged") == before);
  const auto damaged = log.matching("is damaged");
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(damaged[0].message,
            "Store " + path + " is damaged (header: write version 3, read version 1); it is set " +
                "aside as " + path + ".damaged and a new store is made with the 1 row it still " +
                "reads");
}

// An initialisation that fails (a folder where the store goes) is logged, and
// tried again by every map, setter and recorder, unheard; each start tries
// it too and hears it. Once the folder is gone the next start initialises
// with every map sent and the app-fed recorder, and decodes.
TEST_F(AudioDecoderTest, EachStartAfterAFailedInitialisationIsAnsweredAndTriesAgain) {
  const std::string path = dir_.file("audiodecoder.db");
  makeFolderInPlace(path);
  LogCapture log;
  make();
  send(configuration({{"tembrolexin_EchoMod_a", "1"}}));
  send(init());
  send(configuration({{"tembrolexin_EchoMod_b", "2"}}));
  flush();
  auto owned = std::make_unique<FakeRecorder>(log_, SampleRate_8000);
  FakeRecorder* fed = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  flush();
  flush();
  EXPECT_TRUE(tap_->of(31).empty());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 1));
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 2));
  for (const auto& message : tap_->of(31)) {
    EXPECT_EQ(ThriftParamsFactory::readThriftParams<FailureSignal>(*message.params)
                  ->descriptionString,
              "Database did not open properly. ErrorCode: 14 (" + path +
                  ": unable to open database file (Is a directory))");
  }
  EXPECT_TRUE(tap_->statuses().empty());
  EXPECT_EQ(log.matching("AudioDecoder failure: Database").size(), 1u);

  std::filesystem::remove(path);
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(37, 3));
  EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"4:2", "0", "1"}));
  // The controller's settings so far, after each map.
  EXPECT_TRUE(log_.await("Configure:tembrolexin_EchoMod_a=1"));
  EXPECT_TRUE(log_.await("Configure:tembrolexin_EchoMod_a=1,tembrolexin_EchoMod_b=2"));
  EXPECT_EQ(log_.count("recorder~"), 0);
  fed->feed(4242);
  EXPECT_TRUE(tap_->await(9, 1));
  EXPECT_EQ(tap_->of(31).size(), 2u);
}

TEST_F(AudioDecoderTest, PluginAndEngineNamesThatMatchNothingAreLoggedByName) {
  tltest::LogCapture log;
  knowsPlugin_ = [](const std::string& name) { return name == "libEchoModPlugin.so"; };
  make();
  send(configuration({{AudioDecoder::kPluginsKey, "libEchoModPlugin.so, libEchoModPlugn.so"},
                      {AudioDecoder::kEnginesKey,
                       R"([{"type": "CONTENT"}, {"type": "TRIGER"}, {"type": "CONTENT"},
                           {"url": "x"}])"}}));
  send(init());
  flush();
  ASSERT_TRUE(decoder_->isInitialised());
  EXPECT_EQ(decoder_->engineNames(), std::vector<std::string>{"CONTENT"});
  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    if (line.level == 3 && line.sender == "AudioDecoder") warnings.push_back(line.message);
  }
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "Engine \"TRIGER\" of AudioDecoder_engines matches no engine type; it is not "
                "created",
                "Engine \"CONTENT\" is listed twice in AudioDecoder_engines; the second entry is "
                "skipped",
                "An entry of AudioDecoder_engines has no \"type\" text; it is skipped: "
                "{\"url\":\"x\"}",
                "Plug-in \"libEchoModPlugn.so\" of AudioDecoder_plugins matches no plug-in of "
                "this library; it does not run"}));
}

TEST_F(AudioDecoderTest, StartWithRecordingWritesTheCaptureFile) {
  make();
  send(configuration({{"x", "1"}}));
  send(init());
  flush();
  decoder_->startDecoding(true);
  decoder_->startDecoding(false);  // sticky; no second file
  recorder_->feed(3);
  decoder_->stopDecoding();
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    if (e.path().extension() == ".raw") files.push_back(e.path());
  }
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().substr(0, 18), "AudioSamples_8kHz_");
  EXPECT_EQ(std::filesystem::file_size(files[0]), recorder_->frames() * 2);
}

struct BridgeCase {
  std::string name;
  std::function<void(InitData&)> change;
  bool initialises;
};

class BridgeInitTest : public AudioDecoderTest,
                       public ::testing::WithParamInterface<BridgeCase> {};

TEST_P(BridgeInitTest, InitDataFields) {
  make();
  send(configuration({{"x", "1"}}));
  InitData data = init();
  GetParam().change(data);
  send(data);
  flush();
  EXPECT_EQ(decoder_->isInitialised(), GetParam().initialises);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BridgeInitTest,
    ::testing::Values(
        BridgeCase{"Complete", [](InitData&) {}, true},
        BridgeCase{"PackageNameWithoutUdid", [](InitData& d) { d.__isset.udId = false; }, false},
        BridgeCase{"NoDeviceId", [](InitData& d) { d.__isset.deviceId = false; }, false},
        BridgeCase{"NoRates", [](InitData& d) { d.__isset.sampleRates = false; }, false}),
    [](const ::testing::TestParamInfo<BridgeCase>& info) { return info.param.name; });

TEST_F(AudioDecoderTest, BridgeIgnoresPlatformMapsAndSurvivesUnknownInstructions) {
  make();
  send(configuration({{"x", "1"}}, ConfigTarget::Target_Platform));
  send(init());
  send(instruction(static_cast<SdkInstruction::type>(9)));
  flush();
  EXPECT_FALSE(decoder_->isInitialised());
  send(configuration({{"x", "1"}}));
  flush();
  EXPECT_TRUE(decoder_->isInitialised());
}

// The platform's plug-in loader: the three code-word plug-ins by default,
// and the engine list from the configuration.
TEST_F(AudioDecoderTest, DefaultPluginsAndConfiguredEngines) {
  bus_ = std::make_unique<Messenger>();
  tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{23, 37, kMarkerType});
  AudioDecoderEnvironment env = AudioDecoderEnvironment::platform();
  env.createPlatformRecorder = environment().createPlatformRecorder;
  env.sampleCheckTiming = TimingMode::kManual;
  decoder_ = std::make_unique<AudioDecoder>(bus_.get(), env);
  bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  send(configuration({{"AudioDecoder_engines", R"([{"type": "EVENT2"}, {"type": "NONE"}])"}}));
  send(init());
  ASSERT_TRUE(tap_->await(23, 3));
  std::vector<std::string> senders;
  for (const auto& m : tap_->of(23)) senders.push_back(m.sender);
  EXPECT_EQ(std::vector<std::string>(senders.begin(), senders.begin() + 3),
            (std::vector<std::string>{"tembrolexin_EchoMod", "tembrolexin_VorselT",
                                      "tembrolexin_VorselTW"}));
  EXPECT_EQ(decoder_->engineNames(), std::vector<std::string>{"EVENT2"});
  // The platform recorder is set up as decoding starts.
  EXPECT_EQ(decoder_->chosenSampleRate(), SampleRate_NotAvailable);
  send(instruction(SdkInstruction::SdkInstruction_start));
  flush();
  // 8 kHz and 16 kHz wanted, 8 kHz and 16 kHz offered: 16 kHz serves both.
  EXPECT_EQ(decoder_->chosenSampleRate(), SampleRate_16000);
}

TEST_F(AudioDecoderTest, AppProcessorsArriveByHandle) {
  processors_.clear();
  make();
  ProcessorSetup setup;
  setup.name = "appProcessor";
  setup.log = &log_;
  InitData data = init();
  const int64_t handle = processorhandles::parkAudio(std::make_unique<CodewordProcessor>(setup));
  data.__set_audioProcessorPlugins({handle, handle + 1000});
  send(configuration({{"AudioDecoder_plugins", ""}}));
  send(data);
  flush();
  EXPECT_TRUE(decoder_->isInitialised());
  EXPECT_TRUE(pluginNames_.empty());
  EXPECT_EQ(processorhandles::takeAudio(handle), nullptr);
  ASSERT_TRUE(tap_->await(23, 1));
  EXPECT_EQ(tap_->of(23)[0].sender, "appProcessor");
}

TEST(ProcessorHandlesTest, HandlesAreTakenOnceAndByKind) {
  CallLog log;
  ProcessorSetup setup;
  setup.log = &log;
  const int64_t audio = processorhandles::parkAudio(std::make_unique<CodewordProcessor>(setup));
  const int64_t generic = processorhandles::park(std::make_unique<GenericProcessor>(setup));
  EXPECT_NE(audio, generic);
  EXPECT_EQ(processorhandles::park(nullptr), 0);
  EXPECT_EQ(processorhandles::take(audio), nullptr);
  EXPECT_EQ(processorhandles::takeAudio(generic), nullptr);
  EXPECT_NE(processorhandles::takeAudio(audio), nullptr);
  EXPECT_EQ(processorhandles::takeAudio(audio), nullptr);
  EXPECT_NE(processorhandles::take(generic), nullptr);
}

struct FilterCase {
  std::string name;
  std::string receiver;
  std::vector<std::string> keys;
  std::vector<std::string> selected;
};

class ConfigurationFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ConfigurationFilterTest, SelectsKeysForTheName) {
  ConfigurationMap map;
  const ConfigurationParameter<int> one(1);
  for (const auto& key : GetParam().keys) map.set(key, &one);
  auto filtered = filterConfigMap(&map, GetParam().receiver);
  std::vector<std::string> keys;
  for (const auto& [key, value] : *filtered) keys.push_back(key);
  EXPECT_EQ(keys, GetParam().selected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConfigurationFilterTest,
    ::testing::Values(
        FilterCase{"PrefixNeighbourAndWildcard",
                   "EVENT2",
                   {"EVENT2_a", "EVENTS_b", "EVENT_c", "*_meta_enabled", "HEART_d"},
                   {"*_meta_enabled", "EVENT2_a", "EVENT_c"}},
        FilterCase{"PrefixNeedsNoUnderscore", "CONTENT", {"CONTENTS_x", "CONTENT"},
                   {"CONTENT", "CONTENTS_x"}},
        FilterCase{"OwnMetaKeyWins",
                   "tembrolexin_CacheProcessor",
                   {"tembrolexin_CacheProcessor_meta_enabled", "*_meta_enabled"},
                   {"tembrolexin_CacheProcessor_meta_enabled"}},
        FilterCase{"OthersGetTheWildcard",
                   "tembrolexin_EchoMod",
                   {"tembrolexin_CacheProcessor_meta_enabled", "*_meta_enabled"},
                   {"*_meta_enabled"}},
        FilterCase{"NeighbourUnderscoreJustBeforeTheNamesEnd",
                   "tembrolexin_DB",
                   {"tembrolexin_D_xyz", "tembrolexin_Dx_yz", "tembrolexin_DBX", "tembrolexin_x"},
                   {"tembrolexin_DBX", "tembrolexin_D_xyz"}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

// Teardown leaves nothing registered on the bus.
TEST(AudioDecoderLifeTest, DestructionLeavesTheBus) {
  Logger::getInstance()->registerMessenger(getMessenger());
  RecordingMessenger bus;
  {
    AudioDecoderEnvironment env;
    env.sampleCheckTiming = TimingMode::kManual;
    AudioDecoder decoder(&bus, env);
    SDKPrivate bridge(&bus, &decoder);
    EXPECT_EQ(bus.listeners(30).size(), 2u);
    EXPECT_EQ(bus.listeners(15).size(), 1u);
  }
  for (int type : {7, 14, 15, 30, 32, 33, 34, 35, 36}) EXPECT_TRUE(bus.listeners(type).empty());
  EXPECT_EQ(bus.stopCalls(), 1);
}

}  // namespace
}  // namespace tltest

namespace tltest {
namespace {

// Concurrent first callers all receive the one decoder, never null.
TEST(AudioDecoderInstanceTest, ConcurrentFirstCallersGetTheSameDecoder) {
  Logger::getInstance()->registerMessenger(getMessenger());
  std::vector<AudioDecoder*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = AudioDecoder::getInstance(); });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (AudioDecoder* d : seen) EXPECT_EQ(d, seen[0]);
  EXPECT_EQ(seen[0]->GetName(), "AudioDecoder");
}

// A start waits for the processor's answer to the app's descriptors (the
// control lock free) and is refused instead of listening when they are; a
// stop calls a waiting start off, and a later start hears the refusal.
TEST_F(AudioDecoderTest, StartWaitsForTheAnswerToTheAppsDescriptors) {
  tltest::LogCapture log;
  makeWithHeldProcessor();
  const std::string key = "tembrolexin_Held_DecoderDescriptors";
  const auto refusal = [&key](const std::string& config) {
    return "No decoder of \"" + key +
           "\" runs: the decoding core refused every scheme configuration (" + config +
           ": no such scheme)";
  };
  const auto failure = [this](size_t i) {
    return ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31).at(i).params)
        ->descriptionString;
  };
  send(configuration({{key, R"([{"config": "held"}])"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  flush();
  decoder_->waitForControlTasks();
  EXPECT_TRUE(tap_->of(31).empty());
  heldGate().set(true);
  ASSERT_TRUE(tap_->await(31, 1));
  EXPECT_EQ(failure(0), refusal("held"));

  heldGate().set(false);
  send(configuration({{key, R"([{"config": "held2"}])"}}));
  send(instruction(SdkInstruction::SdkInstruction_start));
  send(instruction(SdkInstruction::SdkInstruction_stop));
  flush();
  heldGate().set(true);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (log.matching(refusal("held2")).empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(log.matching(refusal("held2")).size(), 1u);  // the Error line only
  decoder_->waitForControlTasks();
  flush();
  EXPECT_EQ(tap_->of(31).size(), 1u);
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 2));
  EXPECT_EQ(failure(1), refusal("held2"));
  const std::vector<std::string> statuses = tap_->statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "1"), 0);  // never listening
}

// A value of the app's that is no descriptor list is refused as a whole,
// though the processor still runs its previous decoders: a start fails
// naming the key and what is wrong, and given while listening it ends
// listening.
TEST_F(AudioDecoderTest, AnUnreadableDescriptorValueIsRefusedAsAWhole) {
  makeWithHeldProcessor();
  const std::string key = "tembrolexin_Held_DecoderDescriptors";
  const std::string refusal =
      "No decoder of \"" + key + "\" runs: the value is not a list of decoder descriptors (";
  const auto failure = [this](size_t i) {
    return ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31).at(i).params)
        ->descriptionString;
  };
  send(configuration({{key, R"([{"config": 5}])"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(31, 1));
  EXPECT_EQ(failure(0), refusal + R"("config" of descriptor 1 is not a text))");
  decoder_->waitForControlTasks();
  flush();
  std::vector<std::string> statuses = tap_->statuses();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "1"), 0);

  send(configuration({{key, R"([{"config": "ok"}])"}}));
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(37, statuses.size() + 1));
  EXPECT_EQ(tap_->statuses().back(), "1");
  send(configuration({{key, R"([{"config": )"}}));
  ASSERT_TRUE(tap_->await(31, 2));
  EXPECT_EQ(failure(1),
            refusal + "not JSON: Syntax error: value, object or array expected. (byte 12))");
  ASSERT_TRUE(tap_->await(37, statuses.size() + 2));
  EXPECT_EQ(tap_->statuses().back(), "2");
  decoder_->waitForControlTasks();
  EXPECT_FALSE(decoder_->isListening());

  // A value of another kind than text, refused alike.
  send(configuration({{key, R"([{"config": "ok"}])"}}));
  send(instruction(SdkInstruction::SdkInstruction_start));
  ASSERT_TRUE(tap_->await(37, statuses.size() + 3));
  EXPECT_EQ(tap_->statuses().back(), "1");
  ConfigurationMapSignal number = configuration({});
  number.config[key].__set_type(ConfigParamType::ConfigParam_Int);
  number.config[key].__set_intValue(5);
  send(number);
  ASSERT_TRUE(tap_->await(31, 3));
  EXPECT_EQ(failure(2), refusal + "not a text but an integer: 5)");
  ASSERT_TRUE(tap_->await(37, statuses.size() + 4));
  EXPECT_EQ(tap_->statuses().back(), "2");
}

// A processor that never answers holds a start for 3 s, then it listens
// with what runs; a refusal that comes later ends listening with it.
TEST_F(AudioDecoderTest, StartWithoutAnAnswerListensAfterThreeSeconds) {
  makeWithHeldProcessor();
  send(configuration({{"tembrolexin_Held_DecoderDescriptors", R"([{"config": "held"}])"}}));
  send(init());
  send(instruction(SdkInstruction::SdkInstruction_start));
  flush();
  const auto deadline = clock_.steadyNow() + std::chrono::seconds(3);
  ASSERT_TRUE(clock_.awaitDeadline(deadline));
  clock_.advance(std::chrono::milliseconds(2999));
  ASSERT_TRUE(clock_.awaitDeadline(deadline));
  decoder_->waitForControlTasks();
  EXPECT_FALSE(decoder_->isListening());
  clock_.advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(tap_->await(37, 3));  // initialised, rates, listening
  EXPECT_EQ(tap_->statuses().back(), "1");
  heldGate().set(true);
  ASSERT_TRUE(tap_->await(31, 1));
  ASSERT_TRUE(tap_->await(37, 4));
  EXPECT_EQ(tap_->statuses().back(), "2");
}

}  // namespace
}  // namespace tltest
