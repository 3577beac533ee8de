// The whole core on a real bus: the platform's messages in, generated audio
// carrying code words through a recorder, the decoder, a controller and a
// code-word processor, and the messages an app would receive out.
#include <gtest/gtest.h>

#include <fstream>
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
#include "tests/core/control/decoder_fakes.h"
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

  void startOnTheBus(const std::string& audioSupport) {
    initOnTheBus();
    InstructionSignal start;
    start.instruction = SdkInstruction::SdkInstruction_start;
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(start));
    ASSERT_TRUE(tap_->await(37, 3));
    EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{audioSupport, "0", "1"}));
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
    // Initialised on the fallback recorder's 16 kHz; the swap sets audio up
    // again at the app's rate and leaves starting to the app.
    initOnTheBus();
    ASSERT_TRUE(tap_->await(37, 2));
    EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"4:16", "0"}));
    EXPECT_TRUE(decoder_->useCustomRecorder(std::move(owned)));
    EXPECT_FALSE(decoder_->isListening());
    InstructionSignal start;
    start.instruction = SdkInstruction::SdkInstruction_start;
    bus_->send("Platform", ThriftParamsFactory::createThriftParams(start));
    ASSERT_TRUE(tap_->await(37, 4));
    EXPECT_EQ(tap_->statuses(), (std::vector<std::string>{"4:16", "0", "4:512", "1"}));
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
  startOnTheBus("4:16382");  // a raw file plays at any rate
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
  // Started only once the processor decodes, so that it drops nothing.
  initOnTheBus();
  ASSERT_TRUE(tap_->await(37, 2));
  for (size_t seen = 1;; ++seen) {
    ASSERT_TRUE(tap_->await(23, seen));
    auto status =
        ThriftParamsFactory::readThriftParams<ProcessorStatusSignal>(*tap_->of(23)[seen - 1].params);
    if (status->status == ProcessorStatus::Idle) break;
  }
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

}  // namespace
}  // namespace tltest
