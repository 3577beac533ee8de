// What the end-to-end engine tests stand on: the platform environment in a
// temporary folder, generator audio carrying one code word, and the core on
// a private bus whose code-word processor sends every word to the TRIGGER
// engine, fed through a custom recorder.
#ifndef TL_TESTS_PLATFORM_ENGINES_TRIGGER_CORE_FIXTURE_H_
#define TL_TESTS_PLATFORM_ENGINES_TRIGGER_CORE_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/audio/echo_decoder_descriptor.h"
#include "core/control/audio_decoder.h"
#include "core/control/sdk_private.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/runtime/platform_environment.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"

namespace tltest {

// Installs an environment whose folders lie in `docs`; the previous one is
// back when this goes.
class ScopedPlatformEnvironment {
 public:
  explicit ScopedPlatformEnvironment(const TempDir& docs)
      : saved_(tembrolexinplatform::PlatformEnvironment::current()) {
    tembrolexinplatform::PlatformEnvironment env;
    env.documentsFolder = docs.path();
    env.bundleIdentifier = "com.example.app";
    env.appVersion = "1.0";
    env.userDefaultsFile = docs.file("defaults.json");
    env.keyStoreFolder = docs.file("keys");
    tembrolexinplatform::PlatformEnvironment::install(env);
  }
  ~ScopedPlatformEnvironment() { tembrolexinplatform::PlatformEnvironment::install(saved_); }
  ScopedPlatformEnvironment(const ScopedPlatformEnvironment&) = delete;
  ScopedPlatformEnvironment& operator=(const ScopedPlatformEnvironment&) = delete;

 private:
  const tembrolexinplatform::PlatformEnvironment saved_;
};

// The test scheme (VTW, 16 kHz) and an AudioDecoder with its bridge on a
// private bus, made when a TLDecoder built from options() starts.
class TriggerCore {
 public:
  TriggerCore() : config_(std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg") {
    env_.loadAudioPlugins = [config = config_](const std::string&,
                                               const std::vector<std::string>&) {
      using namespace tembrolexinsdk;
      auto made = std::make_unique<BaseAudioProcessor>("tembrolexin_EchoMod", SampleRate_16000,
                                                       false, std::chrono::milliseconds(1000));
      made->setDecoderDescriptors({std::make_shared<EchoDecoderDescriptor>(
          config, std::vector<CodewordRange>{{0, INT64_MAX, "TRIGGER"}}, false)});
      std::vector<std::unique_ptr<IAudioProcessor>> out;
      out.push_back(std::move(made));
      return out;
    };
    env_.sampleCheckTiming = tembrolexinsdk::TimingMode::kManual;
  }

  // `word` at 16 kHz with a second of host before and after.
  GeneratedSignal oneWord(int64_t word) const {
    std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                    void (*)(tembrolexinsdk::DecoderLibraryContext*)>
        ctx(tembrolexinsdk::Tembrolexin_Init2(config_.c_str(), 1),
            tembrolexinsdk::Tembrolexin_Close);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) return {};
    GeneratorOptions generator;
    generator.leadIn = generator.tail = 16000;
    return generateSignal(*tembrolexinsdk::getEchoModParameters(ctx.get(), 0), {word}, generator);
  }

  tembrolexinplatform::TLDecoder::Options options() {
    tembrolexinplatform::TLDecoder::Options options;
    options.bus = &bus_;
    options.coreBridge = [this](tembrolexinsdk::IMessenger* b) {
      auto made = std::make_shared<Core>(b, env_);
      core_ = made.get();
      return std::shared_ptr<void>(made);
    };
    return options;
  }

  // After the TLDecoder is made: the core listens to a custom recorder.
  ::testing::AssertionResult useCustomRecorder() {
    if (core_ == nullptr) return ::testing::AssertionFailure() << "no core was made";
    auto owned = std::make_unique<tembrolexinsdk::CustomRecorder>(16000, &bus_);
    recorder_ = owned.get();
    core_->decoder.useCustomRecorder(std::move(owned));
    return ::testing::AssertionSuccess();
  }

  // Hands `samples` to the recorder in chunks it accepts.
  ::testing::AssertionResult feed(const std::vector<int16_t>& samples) {
    const int chunk = static_cast<int>(recorder_->getMaximumBufferSize() / 2);
    if (chunk <= 0) return ::testing::AssertionFailure() << "recorder takes no samples";
    for (std::size_t at = 0; at < samples.size(); at += chunk) {
      const int n = static_cast<int>(std::min<std::size_t>(chunk, samples.size() - at));
      if (recorder_->provideSamples(samples.data() + at, n) != 0) {
        return ::testing::AssertionFailure() << "refused at sample " << at;
      }
    }
    return ::testing::AssertionSuccess();
  }

 private:
  struct Core {
    Core(tembrolexinsdk::IMessenger* bus, tembrolexinsdk::AudioDecoderEnvironment env)
        : decoder(bus, std::move(env)), bridge(bus, &decoder) {}
    tembrolexinsdk::AudioDecoder decoder;
    tembrolexinsdk::SDKPrivate bridge;
  };

  const std::string config_;
  tembrolexinsdk::AudioDecoderEnvironment env_ =
      tembrolexinsdk::AudioDecoderEnvironment::platform();
  tembrolexinsdk::Messenger bus_;
  Core* core_ = nullptr;  // owned by the TLDecoder
  tembrolexinsdk::CustomRecorder* recorder_ = nullptr;  // owned by the core
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_ENGINES_TRIGGER_CORE_FIXTURE_H_
