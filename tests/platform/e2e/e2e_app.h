// What the end-to-end scenarios share: the app's folders in a temporary
// folder, generator audio carrying given words of the test scheme, the app's
// own code-word processor that sends every word of that scheme to TRIGGER,
// and delegates that record what reaches them and on which thread.
#ifndef TL_TESTS_PLATFORM_E2E_E2E_APP_H_
#define TL_TESTS_PLATFORM_E2E_E2E_APP_H_

#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/base_audio_processor.h"
#include "core/decoder/decoder_library.h"
#include "core/decoder/vorselt_decoder.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/engines/tl_trigger_engine.h"
#include "platform/net/reachability.h"
#include "platform/runtime/dispatch.h"
#include "platform/runtime/local_notifications.h"
#include "platform/runtime/notification_center.h"
#include "platform/runtime/platform_environment.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tltest {

inline std::string testScheme() { return std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg"; }

// The app's folders below `dir`.
inline tembrolexinplatform::PlatformEnvironment installEnvironment(const TempDir& dir) {
  tembrolexinplatform::PlatformEnvironment env;
  env.documentsFolder = dir.file("Documents");
  env.keyStoreFolder = dir.file("keys");
  env.userDefaultsFile = dir.file("defaults.json");
  env.bundleIdentifier = "com.example.e2e";
  tembrolexinplatform::PlatformEnvironment::install(env);
  return env;
}

// The process-wide content engine's options for a scenario: its main queue
// is `dispatcher`'s, the network always reachable, no page host, and
// `documents` the app's documents folder.
inline void shareContentEngineOptions(tembrolexinplatform::Dispatcher& dispatcher,
                                      tembrolexinplatform::NotificationCenter& notes,
                                      const std::string& documents) {
  using namespace tembrolexinplatform;
  TLContentEngine::Options options;
  options.dispatcher = &dispatcher;
  options.notifications = std::make_shared<InProcessNotificationCenter>(dispatcher, nullptr);
  options.notificationCenter = &notes;
  options.reachability =
      Reachability::withSource(std::make_unique<FakeReachabilitySource>(kFlagReachable), notes);
  options.webViewHost = [] { return nullptr; };
  options.documentsFolder = documents;
  TLContentEngine::setSharedOptions(options);
}

// 16 kHz audio of the test scheme: `words` after two seconds of noise, then
// two seconds of noise, at 10 dB SNR.
inline std::vector<int16_t> wordAudio(const std::vector<int64_t>& words) {
  const std::string scheme = testScheme();
  tembrolexinsdk::VorselTContext* ctx = tembrolexinsdk::TembrolexinVorselT_Init(scheme.c_str());
  if (ctx == nullptr) return {};
  GeneratorOptions gen;
  gen.seed = 3;
  gen.leadIn = 16000 * 2;
  gen.tail = 16000 * 2;
  GeneratedSignal signal =
      generateSignal(*tembrolexinsdk::getEchoModParameters(ctx->library, 0), words, gen);
  tembrolexinsdk::TembrolexinVorselT_Close(ctx);
  addNoise(&signal.samples, 16000, 10.0, NoiseKind::kWhite, 9, 100, 7900);
  return signal.samples;
}

// The app's processor: every word of the test scheme goes to TRIGGER (or to
// `engine`).
inline std::vector<tembrolexinplatform::TLPlugin> triggerPlugin(const char* engine = "TRIGGER") {
  auto processor = std::make_unique<tembrolexinsdk::BaseAudioProcessor>(
      "tembrolexin_Example", tembrolexinsdk::SampleRate_16000, false,
      std::chrono::milliseconds(250));
  processor->setDecoderDescriptors({std::make_shared<tembrolexinsdk::EchoDecoderDescriptor>(
      testScheme(), std::vector<tembrolexinsdk::CodewordRange>{{0, INT64_MAX, engine}},
      false)});
  std::vector<tembrolexinplatform::TLPlugin> plugins(1);
  plugins[0].audioProcessor = std::move(processor);
  return plugins;
}

// The decoder delegate: "initialised", "started", "stopped", "failed:<text>".
class AppDelegate : public tembrolexinplatform::TLDecoderDelegate {
 public:
  explicit AppDelegate(Record& r) : r_(r) {}
  void initialisationDidComplete() override { r_.add("initialised"); }
  void startedListening() override { r_.add("started"); }
  void stoppedListening() override { r_.add("stopped"); }
  void failedWithError(const std::string& d) override { r_.add("failed:" + d); }
  void confidenceChangedTo(int64_t) override {}

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

// The TRIGGER delegate: "word:<n>@test" when called on the thread that made
// it, "word:<n>@library" on any other.
class WordDelegate : public tembrolexinplatform::TLCodewordReceivedDelegate {
 public:
  explicit WordDelegate(Record& r) : r_(r) {}
  void codewordReceived(int64_t codeword, tembrolexinplatform::TLDate) override {
    r_.add("word:" + std::to_string(codeword) +
           (std::this_thread::get_id() == creator_ ? "@test" : "@library"));
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
  const std::thread::id creator_ = std::this_thread::get_id();
};

class NoRecorderEvents : public tembrolexinplatform::TLRecorderListener {
 public:
  void recorderInitialised(tembrolexinplatform::Recorder&) override {}
  void startedRecording(tembrolexinplatform::Recorder&) override {}
  void stoppedRecording(tembrolexinplatform::Recorder&) override {}
};

// Feeds `samples` in blocks of 1024; the recorder holds the caller while the
// decoder is busy. False when a block was refused.
inline bool feedAll(tembrolexinplatform::Recorder& recorder, const std::vector<int16_t>& samples) {
  for (std::size_t at = 0; at < samples.size(); at += 1024) {
    const int32_t n = static_cast<int32_t>(std::min<std::size_t>(1024, samples.size() - at));
    if (recorder.provideSamples(samples.data() + at, n) != 0) return false;
  }
  return true;
}

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_E2E_E2E_APP_H_
