// A code word from audio to the app's trigger delegate, through the whole
// system: generator audio fed to the core's decoder on a private bus, the
// code-word processor naming the TRIGGER engine, the facade routing the
// codeword to the built-in trigger engine, and the delegate called on the
// main queue (the test thread) with the trigger and then the plain code
// word.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/audio/echo_decoder_descriptor.h"
#include "core/control/audio_decoder.h"
#include "core/control/sdk_private.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/messenger.h"
#include "platform/api/platform_environment.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_trigger_engine.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

class App : public TLDecoderDelegate, public TLTriggerReceivedDelegate, public TLCodewordReceivedDelegate {
 public:
  void initialisationDidComplete() override { add("initialised"); }
  void startedListening() override { add("started"); }
  void stoppedListening() override {}
  void failedWithError(const std::string& d) override { add("failed:" + d); }
  void confidenceChangedTo(int64_t) override {}
  void triggerReceived(const TLTrigger& t) override {
    add("trigger:" + std::to_string(t.type()) + ":" + t.triggerId() + ":" + t.name() + where());
  }
  void codewordReceived(int64_t codeword, TLDate) override {
    add("codeword:" + std::to_string(codeword) + where());
  }
  // Waits up to `timeout` for `t`.
  bool has(const std::string& t, std::chrono::seconds timeout = 0s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return std::count(texts_.begin(), texts_.end(), t) > 0; });
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::string where() const { return std::this_thread::get_id() == mainThread_ ? "@main" : "@other"; }
  void add(std::string t) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(std::move(t));
    cv_.notify_all();
  }
  const std::thread::id mainThread_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> texts_;
};

struct Core {
  Core(tembrolexinsdk::IMessenger* bus, tembrolexinsdk::AudioDecoderEnvironment env)
      : decoder(bus, std::move(env)), bridge(bus, &decoder) {}
  tembrolexinsdk::AudioDecoder decoder;
  tembrolexinsdk::SDKPrivate bridge;
};

TEST(TriggerEndToEndTest, CodeWordInAudioReachesTheTriggerDelegateOnTheMainQueue) {
  tltest::TempDir docs;
  const PlatformEnvironment saved = PlatformEnvironment::current();
  PlatformEnvironment env;
  env.documentsFolder = docs.path();
  env.bundleIdentifier = "com.example.app";
  env.userDefaultsFile = docs.file("defaults.json");
  env.keyStoreFolder = docs.file("keys");
  PlatformEnvironment::install(env);

  // One code word at 16 kHz with a second of host before and after.
  const std::string config = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
  std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                  void (*)(tembrolexinsdk::DecoderLibraryContext*)>
      ctx(tembrolexinsdk::Tembrolexin_Init2(config.c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  ASSERT_NE(ctx, nullptr);
  tltest::GeneratorOptions generator;
  generator.leadIn = generator.tail = 16000;
  const tltest::GeneratedSignal signal =
      tltest::generateSignal(*tembrolexinsdk::getEchoModParameters(ctx.get(), 0), {4242}, generator);

  // The core on a private bus with a code-word processor whose words all
  // name the TRIGGER engine.
  tembrolexinsdk::AudioDecoderEnvironment coreEnv = tembrolexinsdk::AudioDecoderEnvironment::platform();
  coreEnv.loadAudioPlugins = [&](const std::string&, const std::vector<std::string>&) {
    auto made = std::make_unique<tembrolexinsdk::BaseAudioProcessor>(
        "tembrolexin_EchoMod", tembrolexinsdk::SampleRate_16000, false, 1000ms);
    made->setDecoderDescriptors({std::make_shared<tembrolexinsdk::EchoDecoderDescriptor>(
        config, std::vector<tembrolexinsdk::CodewordRange>{{0, INT64_MAX, "TRIGGER"}}, false)});
    std::vector<std::unique_ptr<tembrolexinsdk::IAudioProcessor>> out;
    out.push_back(std::move(made));
    return out;
  };
  coreEnv.sampleCheckTiming = tembrolexinsdk::TimingMode::kManual;
  tembrolexinsdk::Messenger bus;
  Core* core = nullptr;
  TLDecoder::Options options;
  options.bus = &bus;
  options.coreBridge = [&](tembrolexinsdk::IMessenger* b) {
    auto made = std::make_shared<Core>(b, coreEnv);
    core = made.get();
    return std::shared_ptr<void>(made);
  };

  Dispatcher dispatcher({&tembrolexinsdk::Clock::real(), TimerMode::kManual, 2, false});
  dispatcher.mainQueue()->bindToCurrentThread();
  auto engine = TLTriggerEngine::sharedEngine();
  engine->setDispatcher(&dispatcher);
  auto app = std::make_shared<App>();
  {
    std::shared_ptr<TLDecoder> decoder = TLDecoder::create(options);
    ASSERT_NE(core, nullptr);
    auto owned = std::make_unique<tembrolexinsdk::CustomRecorder>(16000, &bus);
    tembrolexinsdk::CustomRecorder* recorder = owned.get();
    core->decoder.useCustomRecorder(std::move(owned));
    ASSERT_EQ(decoder->connectEngineDelegate(app, TLEngineType::kTrigger), engine);
    decoder->addDelegate(app);
    ASSERT_TRUE(app->has("initialised", 30s));
    decoder->startDecoding();
    ASSERT_TRUE(app->has("started", 30s));

    const int chunk = static_cast<int>(recorder->getMaximumBufferSize() / 2);
    ASSERT_GT(chunk, 0);
    for (std::size_t at = 0; at < signal.samples.size(); at += chunk) {
      const int n = static_cast<int>(std::min<std::size_t>(chunk, signal.samples.size() - at));
      ASSERT_EQ(recorder->provideSamples(signal.samples.data() + at, n), 0);
    }
    // The bus thread waits for each call on the main queue, which only this
    // thread runs.
    EXPECT_TRUE(dispatcher.mainQueue()->runUntil([&] { return app->has("codeword:4242@main"); }, 30s));
    const std::vector<std::string> texts = app->texts();
    EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()),
              (std::vector<std::string>{"trigger:0:4242:codeword@main", "codeword:4242@main"}));

    decoder->stopDecoding();
    decoder->disconnectEngineDelegate(engine);
    engine->setMessenger(nullptr);
  }
  engine->setDispatcher(nullptr);
  PlatformEnvironment::install(saved);
}

}  // namespace
}  // namespace tembrolexinplatform
