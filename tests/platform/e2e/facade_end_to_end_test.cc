// An app's whole road through TLDecoder over the real core: start-up,
// delegates, an app processor handed over by handle, generator audio fed
// through the custom recorder, the code words at the engine their range
// names, the confidence rule, the recorder's events on the main queue, and a
// signing request of the core answered by the platform signer.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "core/audio/base_audio_processor.h"
#include "core/decoder/decoder_library.h"
#include "core/decoder/vorselt_decoder.h"
#include "core/net/data_signer.h"
#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/runtime/platform_environment.h"
#include "tests/platform/api/facade_probe.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

using tltest::Record;

template <int kId>
using TestEngine = tltest::RecordingEngine<kId>;

class RecorderEvents : public TLRecorderListener {
 public:
  explicit RecorderEvents(Record& r) : r_(r) {}
  void recorderInitialised(Recorder&) override { r_.add("recorder:initialised"); }
  void startedRecording(Recorder&) override { r_.add("recorder:started"); }
  void stoppedRecording(Recorder&) override { r_.add("recorder:stopped"); }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

// Recording stand-ins in place of the built-in TRIGGER and ANALYTICS engines,
// registered before main, so before any class look-up.
const bool kStandInsRegistered =
    TLEngine::registerEngineClass(
        {TLEngineType::kTrigger, "TRIGGER", [] { return TestEngine<0>::sharedEngine(); }}) &&
    TLEngine::registerEngineClass(
        {TLEngineType::kAnalytics, "ANALYTICS", [] { return TestEngine<1>::sharedEngine(); }});

TEST(FacadeEndToEnd, GeneratorAudioThroughTheCustomRecorderReachesTheEngine) {
  const std::string scheme = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
  tltest::TempDir dir;
  PlatformEnvironment env;
  env.documentsFolder = dir.file("Documents");
  env.keyStoreFolder = dir.file("keys");
  env.userDefaultsFile = dir.file("defaults.json");
  env.bundleIdentifier = "com.example.e2e";
  PlatformEnvironment::install(env);
  ASSERT_TRUE(kStandInsRegistered);
  auto trigger = TestEngine<0>::sharedEngine();
  auto analytics = TestEngine<1>::sharedEngine();

  Dispatcher dispatcher(Dispatcher::Options{});
  dispatcher.mainQueue()->bindToCurrentThread();
  auto pumpUntil = [&](Record& r, const std::string& text) {
    return dispatcher.mainQueue()->runUntil([&] { return r.contains(text); }, 30s);
  };

  tembrolexinsdk::Messenger* bus = tembrolexinsdk::getMessenger();
  tltest::BusProbe startUp(*bus, {30, 35});
  TLDecoder::Options options;
  options.dispatcher = &dispatcher;
  auto decoder = TLDecoder::create(options);
  auto first = startUp.waitFor(2);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0].type, 35);  // InitData, then the empty map
  EXPECT_EQ(first[1].type, 30);

  // The app's code-word processor, by handle.
  auto processor = std::make_unique<tembrolexinsdk::BaseAudioProcessor>(
      "tembrolexin_Example", tembrolexinsdk::SampleRate_16000, false, 250ms);
  processor->setDecoderDescriptors({std::make_shared<tembrolexinsdk::EchoDecoderDescriptor>(
      scheme, std::vector<tembrolexinsdk::CodewordRange>{{4000, 4999, "TRIGGER"}}, false)});
  std::vector<TLPlugin> plugins(1);
  plugins[0].audioProcessor = std::move(processor);
  decoder->initWithPlugins(std::move(plugins));

  // The core initialises on the platform's recorder; the app's recorder
  // replaces it there, and the core sets audio up again for it.
  Record app, recorderEvents;
  ASSERT_NE(decoder->connectEngineDelegate(nullptr, TLEngineType::kTrigger), nullptr);
  ASSERT_NE(decoder->connectEngineDelegate(nullptr, TLEngineType::kAnalytics), nullptr);
  decoder->addDelegate(std::make_shared<tltest::RecordingDecoderDelegate>(app));
  ASSERT_TRUE(app.waitForText("initialised"));  // on the global queue, not here
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<RecorderEvents>(recorderEvents), 16000);
  ASSERT_NE(recorder, nullptr);
  ASSERT_TRUE(pumpUntil(recorderEvents, "recorder:initialised"));
  decoder->startDecoding();
  ASSERT_TRUE(app.waitForText("started"));
  EXPECT_TRUE(decoder->isListening());
  // The processor drops audio until its decoders are built; it reports a
  // status once they are.
  ASSERT_TRUE(analytics->record.waitForPrefix("status:tembrolexin_Example:"));

  // Two words after two seconds of noise, at 10 dB SNR, fed in blocks of
  // 64 ms as fast as the recorder takes them: it holds the caller while
  // every buffer is still queued, so nothing is lost.
  tembrolexinsdk::VorselTContext* ctx = tembrolexinsdk::TembrolexinVorselT_Init(scheme.c_str());
  ASSERT_NE(ctx, nullptr);
  tltest::GeneratorOptions gen;
  gen.seed = 3;
  gen.leadIn = 16000 * 2;
  gen.tail = 16000 * 2;
  tltest::GeneratedSignal signal =
      tltest::generateSignal(*tembrolexinsdk::getEchoModParameters(ctx->library, 0), {4242, 4243}, gen);
  tembrolexinsdk::TembrolexinVorselT_Close(ctx);
  tltest::addNoise(&signal.samples, 16000, 10.0, tltest::NoiseKind::kWhite, 9, 100, 7900);
  for (std::size_t at = 0; at < signal.samples.size(); at += 1024) {
    const int32_t n = static_cast<int32_t>(std::min<std::size_t>(1024, signal.samples.size() - at));
    ASSERT_EQ(recorder->provideSamples(signal.samples.data() + at, n), 0) << at;
  }
  ASSERT_TRUE(trigger->record.waitForText("codeword:tembrolexin_Example:4243"));
  EXPECT_TRUE(trigger->record.waitForText("codeword:tembrolexin_Example:4242"));
  // The decoder's confidence moved from 1 for the app.
  bool moved = false;
  for (const std::string& t : app.texts()) moved |= t.rfind("confidence:", 0) == 0;
  EXPECT_TRUE(moved);
  EXPECT_NE(decoder->currentConfidence(), 1);

  // A signing request of the core, answered with the stored pair.
  tembrolexinsdk::security::DataSigner coreSigner(bus);
  std::promise<std::string> signature;
  coreSigner.signData("payload", [&](const tembrolexinsdk::security::Signature& s) {
    signature.set_value(s.signatureText);
  });
  auto got = signature.get_future();
  ASSERT_EQ(got.wait_for(30s), std::future_status::ready);
  const std::string text = got.get();
  EXPECT_EQ(text.size(), 88u);
  std::string raw(text.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(raw.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  raw.resize(static_cast<std::size_t>(n) - 2);  // "==" padding of 64 bytes
  SecurityKeys stored(env.keyStoreFolder);
  ASSERT_TRUE(stored.loadKeysFromKeychain());
  EXPECT_TRUE(stored.verifySignature("payload", raw));

  decoder->stopDecoding();
  ASSERT_TRUE(app.waitForText("stopped"));
  EXPECT_FALSE(decoder->isListening());
  EXPECT_EQ(app.texts().front(), "initialised");
}

}  // namespace
}  // namespace tembrolexinplatform
