// The README's road from audio to the app's TRIGGER delegate, taken as an
// app takes it: the shared decoder with the built-in plug-ins, the two
// configuration keys that send the VorselTW plug-in's words to TRIGGER and
// give it its candidate stations, a custom recorder fed a 48 kHz recording
// of three words of station 4242 in noise, and the delegate on the main
// queue, which this thread runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "platform/api/platform_environment.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_trigger_engine.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

// What the app hears, in order, each with the thread it was heard on.
class Heard {
 public:
  void add(std::string text, bool withThread = true) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(std::move(text) + (withThread ? where() : ""));
  }
  void word(int64_t codeword) {
    std::lock_guard<std::mutex> lock(mutex_);
    words_.insert(codeword);
    texts_.push_back("codeword:" + std::to_string(codeword) + where());
  }
  bool has(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  std::set<int64_t> words() {
    std::lock_guard<std::mutex> lock(mutex_);
    return words_;
  }

 private:
  std::string where() const { return std::this_thread::get_id() == main_ ? "@main" : "@other"; }
  const std::thread::id main_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::vector<std::string> texts_;
  std::set<int64_t> words_;
};

class App : public TLDecoderDelegate {
 public:
  explicit App(Heard& heard) : heard_(heard) {}
  void initialisationDidComplete() override {}
  // Heard on a queue of the library's, whichever.
  void startedListening() override { heard_.add("listening", false); }
  void stoppedListening() override { heard_.add("stopped", false); }
  void failedWithError(const std::string& d) override { heard_.add("failed:" + d, false); }
  void confidenceChangedTo(int64_t) override {}

 private:
  Heard& heard_;
};

class Trigger : public TLTriggerReceivedDelegate, public TLCodewordReceivedDelegate {
 public:
  explicit Trigger(Heard& heard) : heard_(heard) {}
  void triggerReceived(const TLTrigger& t) override {
    heard_.add("trigger:" + std::to_string(t.type()) + ":" + t.triggerId() + ":" + t.name() + ":" +
               std::to_string(t.offset()));
  }
  void codewordReceived(int64_t codeword, TLDate) override { heard_.word(codeword); }

 private:
  Heard& heard_;
};

class NoRecorderEvents : public TLRecorderListener {
 public:
  void recorderInitialised(Recorder&) override {}
  void startedRecording(Recorder&) override {}
  void stoppedRecording(Recorder&) override {}
};

TEST(ReadmeApp, WordsOfTheBuiltInVorselTWPluginReachTheTriggerDelegate) {
  const std::string scheme = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
  tltest::TempDir dir;
  PlatformEnvironment env;
  env.documentsFolder = dir.file("Documents");
  env.keyStoreFolder = dir.file("keys");
  env.userDefaultsFile = dir.file("defaults.json");
  env.bundleIdentifier = "com.example.readme";
  PlatformEnvironment::install(env);
  Dispatcher::shared().mainQueue()->bindToCurrentThread();
  // Runs the main queue until `done`, asked at least every 20 ms (the
  // decoder delegate is called on another queue), for up to 30 s.
  auto runMain = [](const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      Dispatcher::shared().mainQueue()->runUntil(done, 20ms);
    }
    return true;
  };

  // As the README shows it, before the decoder initialises: VorselTW words
  // (19-bit station, 21-bit counter) to TRIGGER, and to ANALYTICS, through
  // which the candidate stations reach the plug-in's decoder; then the
  // station it listens for.
  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure({
      {"tembrolexin_VorselTW_DecoderDescriptors",
       std::string(R"([{"config": ")" + scheme + R"(",
                        "ranges": [{"low": 0, "high": 1099511627775, "engine": "TRIGGER"},
                                   {"low": 0, "high": 1099511627775, "engine": "ANALYTICS"}]}])")},
      {"tembrolexin_VorselTW_CandidateStations", std::string(R"([{"id": 4242, "lag": 0}])")},
  });
  Heard heard;
  ASSERT_NE(decoder->connectEngineDelegate(std::make_shared<Trigger>(heard), TLEngineType::kTrigger),
            nullptr);
  decoder->addDelegate(std::make_shared<App>(heard));
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 48000);
  ASSERT_NE(recorder, nullptr);
  decoder->startDecoding();

  // Words 700..702 of station 4242 at 48 kHz, 10 dB SNR, a second of noise
  // before and after.
  std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                  void (*)(tembrolexinsdk::DecoderLibraryContext*)>
      ctx(tembrolexinsdk::Tembrolexin_Init2(scheme.c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  ASSERT_NE(ctx, nullptr);
  std::vector<int64_t> sent;
  for (int counter = 700; counter < 703; ++counter) {
    sent.push_back(tembrolexinsdk::createVorselTvCodeWord(4242, counter));
  }
  tltest::GeneratorOptions gen;
  gen.outputRateHz = 48000;
  gen.leadIn = gen.tail = 16000;
  tltest::GeneratedSignal signal =
      tltest::generateSignal(*tembrolexinsdk::getEchoModParameters(ctx.get(), 0), sent, gen);
  tltest::addNoise(&signal.samples, 48000, 10, tltest::NoiseKind::kWhite, 5, 100, 23900);
  ASSERT_EQ(signal.rateHz, 48000);

  auto feed = [&](const int16_t* samples, int32_t n) {
    const bool taken = recorder->provideSamples(samples, n) == 0;
    Dispatcher::shared().mainQueue()->drain();
    return taken;
  };
  // Silence until the decoder listens, then the recording: from then on
  // nothing is dropped.
  const std::vector<int16_t> silence(4800, 0);
  for (int i = 0; i < 3000 && !heard.has("listening"); ++i) {
    ASSERT_TRUE(feed(silence.data(), 4800));
    Dispatcher::shared().mainQueue()->runUntil([&] { return heard.has("listening"); }, 10ms);
  }
  ASSERT_TRUE(heard.has("listening")) << testing::PrintToString(heard.texts());
  for (std::size_t at = 0; at < signal.samples.size(); at += 4800) {
    const int32_t n = static_cast<int32_t>(std::min<std::size_t>(4800, signal.samples.size() - at));
    ASSERT_TRUE(feed(signal.samples.data() + at, n)) << at;
  }
  EXPECT_TRUE(runMain([&] { return heard.words().size() >= sent.size(); }))
      << testing::PrintToString(heard.texts());
  EXPECT_EQ(heard.words(), std::set<int64_t>(sent.begin(), sent.end()));
  // Each word: the trigger (type 0, the word in decimal, "codeword", the
  // scheme's 2560 ms per word), then the plain code word, both on the main
  // queue.
  const std::vector<std::string> texts = heard.texts();
  for (int64_t word : sent) {
    const std::string trigger = "trigger:0:" + std::to_string(word) + ":codeword:2560@main";
    const auto at = std::find(texts.begin(), texts.end(), trigger);
    ASSERT_NE(at, texts.end()) << trigger;
    ASSERT_NE(at + 1, texts.end());
    EXPECT_EQ(*(at + 1), "codeword:" + std::to_string(word) + "@main");
  }
  for (const std::string& t : texts) EXPECT_EQ(t.rfind("failed:", 0), std::string::npos) << t;

  decoder->stopDecoding();
  EXPECT_TRUE(runMain([&] { return heard.has("stopped"); }));
}

}  // namespace
}  // namespace tembrolexinplatform

// The process-wide decoder and its threads live until the process ends;
// ending it with the test's result, without static destructors, keeps those
// threads from meeting destroyed globals on the way out.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
  std::_Exit(result);
}
