// The whole core on a real bus: the platform's messages in, generated audio
// carrying code words through a recorder, the decoder, a controller and a
// code-word processor, and the messages an app would receive out.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <functional>
#include <thread>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/audio/audio_session.h"
#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/audio/delayed_executor.h"
#include "core/audio/file_capture_source.h"
#include "core/audio/ios_audio_recorder.h"
#include "core/control/audio_decoder.h"
#include "core/control/sdk_private.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/logger.h"
#include "core/runtime/messenger.h"
#include "core/decoder/vorselt_decoder.h"
#include "tests/core/control/decoder_fakes.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tltest {
namespace {

const std::string kScheme = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";

// Station 4242, counters 700.. as the code-word layout puts them: the low
// 19 bits of the station above the low 21 bits of the counter.
int64_t word(int counter) { return (4242LL << 21) | counter; }

// Three words at `rateHz` under white noise at 10 dB SNR, with a second of
// host before and after.
std::vector<int16_t> generatedAudio(int rateHz, const std::string& scheme = kScheme,
                                    const std::vector<int64_t>& words = {word(700), word(701),
                                                                         word(702)}) {
  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      Tembrolexin_Init2(scheme.c_str(), 1), Tembrolexin_Close);
  GeneratorOptions options;
  options.outputRateHz = rateHz == 44100 || rateHz == 48000 ? rateHz : 0;  // else the scheme's
  options.leadIn = 16000;
  options.tail = 16000;
  GeneratedSignal signal = generateSignal(*getEchoModParameters(ctx.get(), 0), words, options);
  addNoise(&signal.samples, signal.rateHz, 10, NoiseKind::kWhite, 3, 100, signal.rateHz / 2 - 100);
  return signal.samples;
}

class CoreEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { Logger::getInstance()->registerMessenger(getMessenger()); }
  void TearDown() override {
    bridge_.reset();
    decoder_.reset();
    tap_.reset();
    bus_.reset();
  }

  void make(std::function<std::unique_ptr<IAudioRecorder>()> platformRecorder = nullptr) {
    bus_ = std::make_unique<Messenger>();
    tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{37, 31, 9, 10, 23});
    AudioDecoderEnvironment env;
    // One code-word processor running the test scheme, reporting every word
    // to the content engine.
    env.loadAudioPlugins = [](const std::string&, const std::vector<std::string>&) {
      auto processor = std::make_unique<BaseAudioProcessor>(
          "tembrolexin_EchoMod", SampleRate_16000, false, std::chrono::milliseconds(250));
      processor->setDecoderDescriptors({std::make_shared<const EchoDecoderDescriptor>(
          kScheme, std::vector<CodewordRange>{{0, INT64_MAX, "CONTENT"}}, false)});
      std::vector<std::unique_ptr<IAudioProcessor>> out;
      out.push_back(std::move(processor));
      return out;
    };
    env.createPlatformRecorder = std::move(platformRecorder);
    env.sampleCheckTiming = TimingMode::kManual;
    decoder_ = std::make_unique<AudioDecoder>(bus_.get(), env);
    bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  }

  // The rates of an app-fed recorder are reported as it is set up, before
  // initialisation completes; a platform recorder's as decoding starts.
  void startOnTheBus(const std::string& audioSupport, bool platformRecorder = false) {
    initOnTheBus();
    InstructionSignal start;
    start.instruction = SdkInstruction::SdkInstruction_start;
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(start));
    ASSERT_TRUE(tap_->await(37, 3));
    EXPECT_EQ(tap_->statuses(), platformRecorder
                                    ? (std::vector<std::string>{"0", audioSupport, "1"})
                                    : (std::vector<std::string>{audioSupport, "0", "1"}));
  }

  void initOnTheBus() {
    ConfigurationMapSignal config;
    config.target = ConfigTarget::Target_Cpp;
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(config));
    InitData init;
    init.__set_sampleRates(SampleRate_48000 | SampleRate_16000);
    init.__set_deviceId(7);
    init.__set_filePath(dir_.path());
    init.__set_packageName("app.pkg");
    init.__set_udId("dev-1");
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(init));
  }

  // Waits until the processor has reported Idle (it decodes from then on;
  // before, it drops audio) and that it was started.
  bool awaitProcessorReady() {
    for (size_t seen = 1; tap_->await(23, seen); ++seen) {
      bool idle = false;
      bool started = false;
      for (const auto& m : tap_->of(23)) {
        auto status = ThriftParamsFactory::readThriftParams<ProcessorStatusSignal>(*m.params);
        idle = idle || status->status == ProcessorStatus::Idle;
        started = started || status->statusDescription.rfind("Started", 0) == 0;
      }
      if (idle && started) return true;
    }
    return false;
  }

  // Polls `condition` every millisecond, for at most 10 s.
  static bool until(const std::function<bool()>& condition) {
    for (int i = 0; i < 10000; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
  }

  // The code words (not the quality reports) that reached the bus, waiting
  // up to 10 s for `count` of them.
  std::set<int64_t> words(size_t count) {
    std::set<int64_t> found;
    for (size_t seen = 1; tap_->await(9, seen); ++seen) {
      const BusTap::Message m = tap_->of(9)[seen - 1];
      EXPECT_EQ(m.sender, "tembrolexin_EchoMod");
      const int64_t msg = ThriftParamsFactory::readThriftParams<CodewordSignal>(*m.params)->msg;
      if (msg >= 0) found.insert(msg);  // negative: a quality report without a word
      if (found.size() >= count) break;
    }
    return found;
  }

  TempDir dir_;
  FakeClock clock_;  // outlives the decoder, whose recorder reads it
  CallLog calls_;    // outlives the decoder, whose test processors write it
  std::unique_ptr<Messenger> bus_;
  std::unique_ptr<BusTap> tap_;
  std::unique_ptr<AudioDecoder> decoder_;
  std::unique_ptr<SDKPrivate> bridge_;
};

// The app's recorder installed before the decoder initialises, or on an
// initialised decoder (which swaps recorders and sets audio up again).
class AppFedAudio : public CoreEndToEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AppFedAudio, BecomesCodewordSignals) {
  const bool afterInitialisation = GetParam();
  // Without an app recorder the decoder would fall back on this one.
  make([] { return std::make_unique<CustomRecorder>(16000); });
  auto owned = std::make_unique<CustomRecorder>(48000, bus_.get());
  CustomRecorder* recorder = owned.get();
  if (afterInitialisation) {
    // Initialised without a recorder: the fallback is made only as decoding
    // starts, so the app's recorder installed first is the only one set up.
    initOnTheBus();
    ASSERT_TRUE(tap_->await(37, 1));
    EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"0"}));
    EXPECT_TRUE(decoder_->useCustomRecorder(std::move(owned)));
    EXPECT_FALSE(decoder_->isListening());
    InstructionSignal start;
    start.instruction = SdkInstruction::SdkInstruction_start;
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(start));
    ASSERT_TRUE(tap_->await(37, 3));
    EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"0", "4:512", "1"}));
  } else {
    decoder_->useCustomRecorder(std::move(owned));
    startOnTheBus("4:512");  // the recorder's one rate
  }
  ASSERT_TRUE(awaitProcessorReady());

  const std::vector<int16_t> audio = generatedAudio(48000);
  for (size_t at = 0; at < audio.size(); at += 4800) {
    const int n = static_cast<int>(std::min<size_t>(4800, audio.size() - at));
    ASSERT_EQ(recorder->provideSamples(audio.data() + at, n), 0);
  }
  // 6144 frames per buffer at 48 kHz.
  ASSERT_TRUE(tap_->await(10, audio.size() / 6144));
  EXPECT_EQ(words(3), (std::set<int64_t>{word(700), word(701), word(702)}));
  EXPECT_TRUE(tap_->of(31).empty());
  EXPECT_EQ(decoder_->droppedBuffers(), 0u);

  const size_t stopped = tap_->statuses().size() + 1;
  InstructionSignal stop;
  stop.instruction = SdkInstruction::SdkInstruction_stop;
  bus_->send("Platform", ThriftParamsFactory::createThriftParams(stop));
  ASSERT_TRUE(tap_->await(37, stopped));
  EXPECT_EQ(tap_->statuses().back(), "2");
}

INSTANTIATE_TEST_SUITE_P(Recorder, AppFedAudio, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "InstalledAfterInitialisation"
                                             : "InstalledBeforeInitialisation";
                         });

// No plug-in key and no processor of the app's: the built-in plug-ins decode.
// The event-track plug-in's default decoder hears track 5 at offsets 10..12
// (0x3e000000 | 5 << 11 | offset) and reports them without any configuration.
TEST_F(CoreEndToEndTest, BuiltInPluginsDecodeWithoutConfiguration) {
  bus_ = std::make_unique<Messenger>();
  tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{37, 31, 9, 10, 23});
  AudioDecoderEnvironment env = AudioDecoderEnvironment::platform();
  env.createPlatformRecorder = nullptr;
  env.sampleCheckTiming = TimingMode::kManual;
  decoder_ = std::make_unique<AudioDecoder>(bus_.get(), env);
  bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  auto owned = std::make_unique<CustomRecorder>(48000, bus_.get());
  CustomRecorder* recorder = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  startOnTheBus("4:512");

  const std::vector<int64_t> sent = {0x3e00280a, 0x3e00280b, 0x3e00280c};
  const std::vector<int16_t> audio =
      generatedAudio(48000, std::string(TL_TEST_DATA_DIR) + "/scheme_t3_ch8.cfg", sent);
  for (size_t at = 0; at < audio.size(); at += 4800) {
    const int n = static_cast<int>(std::min<size_t>(4800, audio.size() - at));
    ASSERT_EQ(recorder->provideSamples(audio.data() + at, n), 0);
  }
  std::set<int64_t> found;
  for (size_t seen = 1; found.size() < sent.size() && tap_->await(9, seen); ++seen) {
    const BusTap::Message m = tap_->of(9)[seen - 1];
    const int64_t msg = ThriftParamsFactory::readThriftParams<CodewordSignal>(*m.params)->msg;
    if (msg < 0) continue;
    found.insert(msg);
    EXPECT_EQ(m.sender, "tembrolexin_EchoMod");
  }
  EXPECT_EQ(found, std::set<int64_t>(sent.begin(), sent.end()));
}

// The platform recorder playing a raw file paced by a clock that the test
// moves on in steps of 16 ms.
TEST_F(CoreEndToEndTest, FileSourceThroughThePlatformRecorder) {
  const std::vector<int16_t> audio = generatedAudio(16000);
  const std::string path = dir_.path() + "/capture.raw";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(audio.data()),
              static_cast<std::streamsize>(audio.size() * 2));
  }
  FakeClock& clock = clock_;
  make([&] {
    return std::make_unique<IOSAudioRecorder>(
        std::make_unique<FileCaptureSource>(path, FileCaptureSource::Options{}, clock),
        std::make_shared<LocalAudioSession>(), std::make_unique<ManualDelayedExecutor>(), clock);
  });
  startOnTheBus("4:16382", /*platformRecorder=*/true);  // a raw file plays at any rate
  ASSERT_EQ(decoder_->chosenSampleRate(), SampleRate_16000);
  ASSERT_TRUE(awaitProcessorReady());
  for (size_t played = 0; played < audio.size() + 16000; played += 256) {
    const uint64_t waits = clock.waitCount();
    clock.advance(std::chrono::microseconds(16000));
    ASSERT_TRUE(clock.awaitWaits(waits + 1));
  }
  EXPECT_EQ(decoder_->droppedBuffers(), 0u);
  EXPECT_EQ(words(3), (std::set<int64_t>{word(700), word(701), word(702)}));
}

// A raw file played as fast as it is decoded (TL_AUDIO_SOURCE=file+fast: and
// file+loop+fast:): the recorder holds the source while the decoder has no
// room, so no block is lost and every word is found; a looping source still
// stops.
class FastFileSource : public CoreEndToEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FastFileSource, LosesNoBlockAndFindsEveryWord) {
  const bool loop = GetParam();
  const std::vector<int16_t> audio = generatedAudio(16000);
  const std::string path = dir_.path() + "/capture.raw";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(audio.data()),
              static_cast<std::streamsize>(audio.size() * 2));
  }
  FakeClock& clock = clock_;  // paces only the silence after the recording
  IOSAudioRecorder* recorder = nullptr;
  make([&] {
    auto made = std::make_unique<IOSAudioRecorder>(
        std::make_unique<FileCaptureSource>(path, FileCaptureSource::Options{false, loop}, clock),
        std::make_shared<LocalAudioSession>(), std::make_unique<ManualDelayedExecutor>(), clock);
    recorder = made.get();
    return made;
  });
  // Without the audio reports, which come by the thousand here.
  tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{37, 31, 9, 23});
  // The recorder is set up as decoding starts, and the start waits until the
  // processor has built its decoders: it drops nothing.
  initOnTheBus();
  ASSERT_TRUE(tap_->await(37, 1));
  InstructionSignal start;
  start.instruction = SdkInstruction::SdkInstruction_start;
  bus_->send("Platform", ThriftParamsFactory::createThriftParams(start));

  EXPECT_EQ(words(3), (std::set<int64_t>{word(700), word(701), word(702)}));
  ASSERT_NE(recorder, nullptr);
  EXPECT_EQ(recorder->droppedBlocks(), 0u);
  EXPECT_TRUE(tap_->of(31).empty());

  const size_t stopped = tap_->statuses().size() + 1;
  InstructionSignal stop;
  stop.instruction = SdkInstruction::SdkInstruction_stop;
  bus_->send("Platform", ThriftParamsFactory::createThriftParams(stop));
  ASSERT_TRUE(tap_->await(37, stopped));
  EXPECT_EQ(tap_->statuses().back(), "2");
  EXPECT_EQ(recorder->droppedBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Source, FastFileSource, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "LoopingFast" : "Fast";
                         });


// A code-word processor that counts the buffers it is given and finishes,
// around a BaseAudioProcessor that does the work.
class CountingProcessor : public IAudioProcessor,
                          public IProcessorListener,
                          public IAudioFlowListener {
 public:
  explicit CountingProcessor(std::unique_ptr<BaseAudioProcessor> inner)
      : inner_(std::move(inner)) {}
  const std::string& GetName() const override { return inner_->GetName(); }
  const std::string& GetVersion() const override { return inner_->GetVersion(); }
  void Initialise(IProcessorListener* listener, int hz, const NTPInfo* ntp) override {
    listener_ = listener;
    flow_ = dynamic_cast<IAudioFlowListener*>(listener);
    inner_->Initialise(this, hz, ntp);
  }
  void Configure(const ConfigurationParameters* c, const NTPInfo* ntp) override {
    inner_->Configure(c, ntp);
  }
  void SetFilePath(const std::string& path) override { inner_->SetFilePath(path); }
  void SetDeviceId(int id) override { inner_->SetDeviceId(id); }
  void ProcessBuffer(const short* samples, int count,
                     std::chrono::steady_clock::time_point t) override {
    given.fetch_add(1);
    inner_->ProcessBuffer(samples, count, t);
  }
  void Start() override { inner_->Start(); }
  void Stop() override { inner_->Stop(); }
  IProcessorEventParams* PrepareData(const NTPInfo* ntp) override {
    return inner_->PrepareData(ntp);
  }
  SampleRate GetPreferredSampleRate() override { return inner_->GetPreferredSampleRate(); }

  void onProcessorEvent(const INamedObject*, const IProcessorEventParams* params) override {
    listener_->onProcessorEvent(this, params);
    if (ProcessingCompleteParams::Cast(params) != nullptr) finished.fetch_add(1);
  }
  void onLogEvent(const INamedObject*, const LogParams* p) override {
    listener_->onLogEvent(this, p);
  }
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams* p) override {
    if (AudioProcessorIdleStatusParams::Cast(p) != nullptr) decoding.store(true);
    listener_->onProcessorStatusChanged(this, p);
  }
  void onFailed(const FailureParams& failure) override { listener_->onFailed(failure); }
  void onNTPRequired() override { listener_->onNTPRequired(); }
  security::IDataSigner* signer() const override { return listener_->signer(); }
  void onAudioDropped(const INamedObject*) override {
    flow_->onAudioDropped(this);
    finished.fetch_add(1);
  }
  void onProcessorEnded(const INamedObject*, const FailureParams& failure) override {
    flow_->onProcessorEnded(this, failure);
  }

  std::atomic<int> given{0};
  std::atomic<int> finished{0};
  std::atomic<bool> decoding{false};  // the inner processor has built its decoders

 private:
  std::unique_ptr<BaseAudioProcessor> inner_;
  IProcessorListener* listener_ = nullptr;
  IAudioFlowListener* flow_ = nullptr;
};

// Finishes its first buffer and then hangs: never another report, as a
// processor whose worker is stuck.
class StuckProcessor : public RecordingAudioProcessor<> {
 public:
  using RecordingAudioProcessor::RecordingAudioProcessor;
  void ProcessBuffer(const short*, int, std::chrono::steady_clock::time_point) override {
    if (given.fetch_add(1) == 0) {
      const ProcessingCompleteParams done;
      listener()->onProcessorEvent(this, &done);
    }
  }
  SampleRate GetPreferredSampleRate() override { return SampleRate_16000; }
  std::atomic<int> given{0};
};

// One processor stuck beside a healthy one: feeding goes at the healthy
// one's pace. The stuck processor holds the app's feeding for one stall
// limit (on the test's clock), then its buffers are dropped and counted;
// the healthy one decodes every word.
TEST_F(CoreEndToEndTest, StuckProcessorBesideAHealthyOneHoldsNothing) {
  LogCapture logs;
  CountingProcessor* healthy = nullptr;
  StuckProcessor* stuck = nullptr;
  bus_ = std::make_unique<Messenger>();
  tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{37, 31, 9, 10, 23});
  AudioDecoderEnvironment env;
  env.loadAudioPlugins = [&](const std::string&, const std::vector<std::string>&) {
    auto inner = std::make_unique<BaseAudioProcessor>("tembrolexin_EchoMod", SampleRate_16000,
                                                      false, std::chrono::milliseconds(250));
    inner->setDecoderDescriptors({std::make_shared<const EchoDecoderDescriptor>(
        kScheme, std::vector<CodewordRange>{{0, INT64_MAX, "CONTENT"}}, false)});
    auto counting = std::make_unique<CountingProcessor>(std::move(inner));
    healthy = counting.get();
    ProcessorSetup setup;
    setup.name = "tembrolexin_Stuck";
    setup.log = &calls_;
    auto hanging = std::make_unique<StuckProcessor>(setup);
    stuck = hanging.get();
    std::vector<std::unique_ptr<IAudioProcessor>> out;
    out.push_back(std::move(counting));
    out.push_back(std::move(hanging));
    return out;
  };
  env.sampleCheckTiming = TimingMode::kManual;
  env.clock = &clock_;
  decoder_ = std::make_unique<AudioDecoder>(bus_.get(), env);
  bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  auto owned = std::make_unique<CustomRecorder>(48000, bus_.get());
  CustomRecorder* recorder = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  startOnTheBus("4:512");
  ASSERT_TRUE(awaitProcessorReady());
  ASSERT_TRUE(until([&] { return healthy->decoding.load(); }));

  // One capture buffer (6144 frames) per call. The stuck processor finishes
  // buffer 1 and holds 2 to 4; its controller waits with buffer 5, which
  // holds the capture buffer that buffer 10 needs: the call for buffer 9
  // waits until the controller gives up on the stuck processor.
  const std::vector<int16_t> audio = generatedAudio(48000);
  const size_t buffers = audio.size() / 6144;
  ASSERT_GT(buffers, 12u);
  std::atomic<size_t> calling{0};
  std::thread feeder([&] {
    for (size_t b = 0; b < buffers; ++b) {
      calling.store(b + 1);
      ASSERT_EQ(recorder->provideSamples(audio.data() + b * 6144, 6144), 0);
    }
  });
  // Move the clock over the stall limit once the stuck processor's
  // controller waits, the feeder is held in the call for buffer 9 and the
  // healthy processor has finished all it got (so that its own controller
  // cannot be waiting too).
  const bool held = until([&] {
    return decoder_->waitingForProcessor("tembrolexin_Stuck") && calling.load() == 9 &&
           healthy->given.load() == 9 && healthy->finished.load() == 9;
  });
  EXPECT_EQ(stuck->given.load(), 4);
  if (held) clock_.advance(AudioProcessorController::kDefaultStallLimit);
  feeder.join();
  ASSERT_TRUE(held);

  ASSERT_TRUE(tap_->await(10, buffers));
  EXPECT_EQ(words(3), (std::set<int64_t>{word(700), word(701), word(702)}));
  // The controllers hand on (or drop) the last buffers after the feeder has
  // returned.
  EXPECT_TRUE(until([&] { return healthy->given.load() == static_cast<int>(buffers); }));
  EXPECT_TRUE(until(
      [&] { return decoder_->processorDroppedBuffers("tembrolexin_Stuck") == buffers - 4; }));
  EXPECT_EQ(stuck->given.load(), 4);
  EXPECT_EQ(decoder_->processorDroppedBuffers("tembrolexin_EchoMod"), 0u);
  EXPECT_EQ(decoder_->droppedBuffers(), 0u);
  EXPECT_EQ(logs.matching("tembrolexin_Stuck has finished no buffer for 500 ms: its buffers are "
                          "dropped until it does")
                .size(),
            1u);
  EXPECT_TRUE(tap_->of(31).empty());
}

// The decoding core breaks inside the code-word processor's worker once
// armed. One flag for the whole test process: only this test arms it. The
// flushes of a decoding processor (pings, without samples) are counted.
std::atomic<bool> breakTheCore{false};
std::atomic<int> flushes{0};

int64_t breakingProcessData(VorselTContext* context, int16_t* samples, int32_t count,
                            PerformanceData* performance, int64_t timeMs, VorselTResult* results) {
  if (samples == nullptr) flushes.fetch_add(1);
  if (breakTheCore.load() && samples != nullptr && count > 0) {
    throw std::runtime_error("core broke");
  }
  return TembrolexinVorselT_ProcessData(context, samples, count, performance, timeMs, results);
}

const DecoderFunctions& breakingFunctions() {
  static const DecoderFunctions functions = [] {
    DecoderFunctions f;
    f.processData = breakingProcessData;
    return f;
  }();
  return functions;
}

// A processor whose worker dies gives a FailureSignal, and the decoder goes
// back to uninitialised; with the app's recorder installed again, the next
// configuration map sets it up and the next start decodes.
TEST_F(CoreEndToEndTest, DeadProcessorWorkerResetsTheDecoderForTheNextStart) {
  bus_ = std::make_unique<Messenger>();
  tap_ = std::make_unique<BusTap>(*bus_, std::vector<int>{37, 31, 9, 10, 23});
  AudioDecoderEnvironment env;
  env.loadAudioPlugins = [](const std::string&, const std::vector<std::string>&) {
    auto processor = std::make_unique<BaseAudioProcessor>(
        "tembrolexin_EchoMod", SampleRate_16000, false, std::chrono::milliseconds(250),
        Clock::real(), breakingFunctions());
    processor->setDecoderDescriptors({std::make_shared<const EchoDecoderDescriptor>(
        kScheme, std::vector<CodewordRange>{{0, INT64_MAX, "CONTENT"}}, false)});
    std::vector<std::unique_ptr<IAudioProcessor>> out;
    out.push_back(std::move(processor));
    return out;
  };
  env.sampleCheckTiming = TimingMode::kManual;
  decoder_ = std::make_unique<AudioDecoder>(bus_.get(), env);
  bridge_ = std::make_unique<SDKPrivate>(bus_.get(), decoder_.get());
  auto owned = std::make_unique<CustomRecorder>(48000, bus_.get());
  CustomRecorder* recorder = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  startOnTheBus("4:512");
  ASSERT_TRUE(awaitProcessorReady());
  // Pinging (device id 7) flushes the decoders as soon as they decode.
  ASSERT_TRUE(until([] { return flushes.load() > 0; }));

  breakTheCore.store(true);
  const std::vector<int16_t> audio = generatedAudio(48000);
  ASSERT_EQ(recorder->provideSamples(audio.data(), 6144), 0);
  ASSERT_TRUE(tap_->await(31, 1));
  auto failure = ThriftParamsFactory::readThriftParams<FailureSignal>(*tap_->of(31)[0].params);
  EXPECT_EQ(failure->descriptionString, "core broke");
  breakTheCore.store(false);
  ASSERT_TRUE(tap_->await(37, 4));
  EXPECT_EQ(tap_->statuses().back(), "2");  // stopped listening
  decoder_->waitForControlTasks();
  EXPECT_FALSE(decoder_->isInitialised());
  EXPECT_FALSE(decoder_->isListening());

  // The reset took the app's recorder with it: the app installs another.
  owned = std::make_unique<CustomRecorder>(48000, bus_.get());
  recorder = owned.get();
  decoder_->useCustomRecorder(std::move(owned));
  const int flushed = flushes.load();
  ConfigurationMapSignal config;
  config.target = ConfigTarget::Target_Cpp;
  bus_->send("Platform", ThriftParamsFactory::createThriftParams(config));
  InstructionSignal start;
  start.instruction = SdkInstruction::SdkInstruction_start;
  bus_->send("Platform", ThriftParamsFactory::createThriftParams(start));
  ASSERT_TRUE(tap_->await(37, 7));
  EXPECT_EQ(tap_->statuses(),
            (std::vector<std::string>{"4:512", "0", "1", "2", "4:512", "0", "1"}));
  EXPECT_TRUE(decoder_->isInitialised());
  ASSERT_TRUE(until([&] { return flushes.load() > flushed; }));  // the new one decodes
  for (size_t at = 0; at + 6144 <= audio.size(); at += 6144) {
    ASSERT_EQ(recorder->provideSamples(audio.data() + at, 6144), 0);
  }
  EXPECT_EQ(words(3), (std::set<int64_t>{word(700), word(701), word(702)}));
  EXPECT_EQ(tap_->of(31).size(), 1u);
}

}  // namespace
}  // namespace tltest
