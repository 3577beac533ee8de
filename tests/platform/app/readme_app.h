// What the README's app scenarios share: the app's folders in a temporary
// folder, the main queue on the test's thread, a record of what the app
// hears, and starting to decode as the README says (silence fed until the
// decoder listens).
#ifndef TL_TESTS_PLATFORM_APP_README_APP_H_
#define TL_TESTS_PLATFORM_APP_README_APP_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/api/tl_decoder.h"
#include "platform/runtime/platform_environment.h"
#include "tests/support/temp_dir.h"

namespace tltest {

// What the app hears, in order; texts of the main queue's calls end in
// "@main". Copies share one record: a delegate keeps a copy, so a
// notification the process-wide decoder delivers after the test body has
// returned still writes to live memory.
class Heard {
 public:
  void add(std::string text, bool withThread = true) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    s_->texts.push_back(std::move(text) + (withThread ? where() : ""));
  }
  void word(int64_t codeword) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    s_->words.insert(codeword);
    s_->texts.push_back("codeword:" + std::to_string(codeword) + where());
  }
  bool has(const std::string& text) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return std::find(s_->texts.begin(), s_->texts.end(), text) != s_->texts.end();
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return s_->texts;
  }
  std::set<int64_t> words() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return s_->words;
  }

 private:
  struct State {
    const std::thread::id main = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<std::string> texts;
    std::set<int64_t> words;
  };
  std::string where() const { return std::this_thread::get_id() == s_->main ? "@main" : "@other"; }
  std::shared_ptr<State> s_ = std::make_shared<State>();
};

// The decoder delegate, heard on a queue of the library's, whichever.
class App : public tembrolexinplatform::TLDecoderDelegate {
 public:
  explicit App(Heard heard) : heard_(std::move(heard)) {}
  void initialisationDidComplete() override {}
  void startedListening() override { heard_.add("listening", false); }
  void stoppedListening() override { heard_.add("stopped", false); }
  void failedWithError(const std::string& d) override { heard_.add("failed:" + d, false); }
  void confidenceChangedTo(int64_t) override {}

 private:
  Heard heard_;  // a copy: shares the test's record and keeps it alive
};

class NoRecorderEvents : public tembrolexinplatform::TLRecorderListener {
 public:
  void recorderInitialised(tembrolexinplatform::Recorder&) override {}
  void startedRecording(tembrolexinplatform::Recorder&) override {}
  void stoppedRecording(tembrolexinplatform::Recorder&) override {}
};

// The app's folders under `dir` (documents in "Documents"), and the main
// queue bound to the calling thread.
inline tembrolexinplatform::PlatformEnvironment installApp(const TempDir& dir,
                                                           const std::string& bundle) {
  tembrolexinplatform::PlatformEnvironment env;
  env.documentsFolder = dir.file("Documents");
  env.keyStoreFolder = dir.file("keys");
  env.userDefaultsFile = dir.file("defaults.json");
  env.bundleIdentifier = bundle;
  tembrolexinplatform::PlatformEnvironment::install(env);
  tembrolexinplatform::Dispatcher::shared().mainQueue()->bindToCurrentThread();
  return env;
}

// Runs the main queue until `done`, asked at least every 20 ms (the decoder
// delegate is called on another queue), for up to 30 s.
inline bool runMain(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    tembrolexinplatform::Dispatcher::shared().mainQueue()->runUntil(
        done, std::chrono::milliseconds(20));
  }
  return true;
}

// Hands `n` samples to the recorder, then runs what the main queue holds.
inline bool feed(tembrolexinplatform::Recorder& recorder, const int16_t* samples, int32_t n) {
  const bool taken = recorder.provideSamples(samples, n) == 0;
  tembrolexinplatform::Dispatcher::shared().mainQueue()->drain();
  return taken;
}

// startDecoding, then silence until the decoder listens (up to 30 s). The
// recorder refuses samples until the core has set it up.
inline bool startAndListen(tembrolexinplatform::TLDecoder& decoder,
                           tembrolexinplatform::Recorder& recorder, Heard& heard) {
  heard.add("starting", false);
  decoder.startDecoding();
  const std::vector<int16_t> silence(4800, 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto listening = [&] {
    const std::vector<std::string> texts = heard.texts();
    const auto start = std::find(texts.rbegin(), texts.rend(), "starting");
    return std::find(texts.rbegin(), start, "listening") != start;
  };
  while (!listening()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    feed(recorder, silence.data(), 4800);
    tembrolexinplatform::Dispatcher::shared().mainQueue()->runUntil(
        listening, std::chrono::milliseconds(10));
  }
  return true;
}

// stopDecoding, then waits until the decoder has stopped (up to 30 s).
inline bool stopAndWait(tembrolexinplatform::TLDecoder& decoder, Heard& heard) {
  heard.add("stopping", false);
  decoder.stopDecoding();
  return runMain([&] {
    const std::vector<std::string> texts = heard.texts();
    const auto stop = std::find(texts.rbegin(), texts.rend(), "stopping");
    return std::find(texts.rbegin(), stop, "stopped") != stop;
  });
}

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_APP_README_APP_H_
