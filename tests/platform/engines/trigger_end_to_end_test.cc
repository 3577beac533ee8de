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

#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_trigger_engine.h"
#include "tests/platform/engines/trigger_core_fixture.h"

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

TEST(TriggerEndToEndTest, CodeWordInAudioReachesTheTriggerDelegateOnTheMainQueue) {
  tltest::TempDir docs;
  tltest::ScopedPlatformEnvironment environment(docs);
  tltest::TriggerCore core;
  const tltest::GeneratedSignal signal = core.oneWord(4242);
  ASSERT_FALSE(signal.samples.empty());

  Dispatcher dispatcher({&tembrolexinsdk::Clock::real(), TimerMode::kManual, 2, false});
  dispatcher.mainQueue()->bindToCurrentThread();
  auto engine = TLTriggerEngine::sharedEngine();
  engine->setDispatcher(&dispatcher);
  auto app = std::make_shared<App>();
  {
    std::shared_ptr<TLDecoder> decoder = TLDecoder::create(core.options());
    ASSERT_TRUE(core.useCustomRecorder());
    ASSERT_EQ(decoder->connectEngineDelegate(app, TLEngineType::kTrigger), engine);
    decoder->addDelegate(app);
    ASSERT_TRUE(app->has("initialised", 30s));
    decoder->startDecoding();
    ASSERT_TRUE(app->has("started", 30s));

    ASSERT_TRUE(core.feed(signal.samples));
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
}

}  // namespace
}  // namespace tembrolexinplatform
