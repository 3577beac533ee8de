// An app that returns from main at a chosen moment of its decoder's life,
// for the exit test (exit_test.cc), which runs it as a child process:
//
//   platform_e2e_exit_app MOMENT MODE DATA_FOLDER
//
// MOMENT: created (decoder made, delegates added), started (right after
// startDecoding), listening (startedListening heard), decoding (the first
// word heard, the rest of the audio still being fed), stopping (right after
// stopDecoding), stopped (stoppedListening heard), shutdown (stopped, then
// TLDecoder::shutdown()), calling (app threads connect and disconnect
// engines, add delegates and stop decoding without pause, and go on while
// main returns), exit-in-word (the TRIGGER delegate calls exit(kExitStatus)
// from inside the first word's call, which the bus thread waits for),
// shutdown-in-word (the TRIGGER delegate calls TLDecoder::shutdown() from
// inside the first word's call; main returns once it has returned); and
// three exits while main runs TLDecoder::shutdown() itself: from the first
// word's call, which main's shutdown began while the call ran
// (exit-in-word-in-shutdown), from stoppedListening, which that shutdown
// delivers (exit-in-stopped-in-shutdown), and from the log delegate on a
// line of the core's that the shutdown causes (exit-in-log-in-shutdown).
// Timed moments: the words, a track and a sync word, go to the EVENT engine,
// whose timing thread then fires a timed event every quarter second; main
// shuts down at the first one and checks that no timing thread runs or starts
// afterwards (event-synced-shutdown), or the EVENT delegate exits inside it
// (exit-in-timed-event); or, the track's one event far ahead, main shuts down
// and the log delegate exits on the timing thread's line as the shutdown
// stops it (exit-in-timing-log-in-shutdown). And exits from the EVENT
// delegate while main runs TLDecoder::shutdown(), which main began while the
// call ran: track detected (exit-in-track-in-shutdown), synchronised
// (exit-in-synced-in-shutdown), sequence ended, the track's sequence being
// empty (exit-in-ended-in-shutdown), and interrupted by a word of no track
// (exit-in-interrupted-in-shutdown).
// MODE: own (the main queue left to the library's thread) or bound (bound to
// main's thread, pumped while main waits, and never again once it returns).
//
// It prints "word N" for each word its TRIGGER delegate hears, "exit" just
// before its delegate calls exit(), and "return" just before returning 0;
// the parent checks the exit status and the analytics record files left in
// DATA_FOLDER.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/engines/tl_event_engine.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/e2e/e2e_app.h"

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

namespace {

constexpr int kExitStatus = 42;

std::mutex gOut;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(gOut);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The decoder delegate. Like every delegate, it keeps what it uses: the
// library holds it, and may still call it while main's locals are going.
class App : public TLDecoderDelegate {
 public:
  void initialisationDidComplete() override {}
  void startedListening() override { started = true; }
  void stoppedListening() override {
    stopped = true;
    if (exitWhenStopped) {
      say("exit");
      std::exit(kExitStatus);
    }
  }
  void failedWithError(const std::string& d) override { say("failed " + d); }
  void confidenceChangedTo(int64_t) override {}
  std::atomic<bool> started{false};
  std::atomic<bool> stopped{false};
  bool exitWhenStopped = false;
};

class Words : public TLCodewordReceivedDelegate {
 public:
  explicit Words(std::string moment) : moment_(std::move(moment)) {}
  void codewordReceived(int64_t codeword, TLDate) override {
    say("word " + std::to_string(codeword));
    if (++heard != 1) return;
    if (moment_ == "exit-in-word") {
      say("exit");
      std::exit(kExitStatus);
    }
    if (moment_ == "shutdown-in-word") {
      TLDecoder::shutdown();
      say("shutdown returned");
      shutdownReturned = true;
    }
    if (moment_ == "exit-in-word-in-shutdown") {
      inCall = true;
      while (!TLDecoder::isShutDown()) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(5ms);
      say("exit");
      std::exit(kExitStatus);
    }
  }
  std::atomic<bool> inCall{false};
  std::atomic<int> heard{0};
  std::atomic<bool> shutdownReturned{false};

 private:
  const std::string moment_;
};

// The app's log delegate: calls exit(kExitStatus) on the line `exitOn`, and
// notes a line that begins with `watch`.
class ExitOnLine : public TLLoggerDelegate {
 public:
  explicit ExitOnLine(std::string exitOn, std::string watch = {})
      : exitOn_(std::move(exitOn)), watch_(std::move(watch)) {}
  void logfromSender(const std::string&, const TLLogParams& params) override {
    if (!watch_.empty() && params.message.rfind(watch_, 0) == 0) watched = true;
    if (params.message != exitOn_) return;
    say("exit");
    std::exit(kExitStatus);
  }
  std::atomic<bool> watched{false};

 private:
  const std::string exitOn_;
  const std::string watch_;
};

// The EVENT delegate: exits inside the first timed event, or, inside the
// event of type `exitInShutdownOn`, once main's shutdown has begun.
class TimedEvents : public TLEventEngineDelegate {
 public:
  TimedEvents(bool exitInEvent, int exitInShutdownOn)
      : exitInEvent_(exitInEvent), exitInShutdownOn_(exitInShutdownOn) {}
  void eventEngineDetectedTimedEvent(const std::optional<std::string>&, TLDate) override {
    if (heard++ == 0 && exitInEvent_) {
      say("exit");
      std::exit(kExitStatus);
    }
  }
  void eventEngineDetectedTrack(const std::optional<std::string>&, TLDate) override {
    exitInShutdown(kEventTrackDetected);
  }
  void eventEngineSynchronised(const std::optional<std::string>&, TLDate) override {
    exitInShutdown(kEventSynchronised);
  }
  void eventEngineSequenceEnded(const std::optional<std::string>&, TLDate) override {
    exitInShutdown(kEventSequenceEnded);
  }
  void eventEngineInterrupted(const std::optional<std::string>&, TLDate) override {
    exitInShutdown(kEventInterrupted);
  }
  std::atomic<int> heard{0};
  std::atomic<bool> inCall{false};

 private:
  void exitInShutdown(int type) {
    if (type != exitInShutdownOn_) return;
    inCall = true;
    while (!TLDecoder::isShutDown()) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(5ms);
    say("exit");
    std::exit(kExitStatus);
  }
  const bool exitInEvent_;
  const int exitInShutdownOn_;
};

// The EVENT delegate calls that exit while main's shutdown runs.
const std::map<std::string, int> kExitInEventInShutdown = {
    {"exit-in-track-in-shutdown", kEventTrackDetected},
    {"exit-in-synced-in-shutdown", kEventSynchronised},
    {"exit-in-ended-in-shutdown", kEventSequenceEnded},
    {"exit-in-interrupted-in-shutdown", kEventInterrupted},
};

constexpr int64_t kTrack = 4242;
constexpr int64_t kSync = 31744;
constexpr int64_t kNoTrack = 4243;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s MOMENT own|bound DATA_FOLDER\n", argv[0]);
    return 2;
  }
  const std::string moment = argv[1];
  const bool bound = std::strcmp(argv[2], "bound") == 0;
  const std::string data = argv[3];

  PlatformEnvironment env;
  env.documentsFolder = data + "/Documents";
  env.keyStoreFolder = data + "/keys";
  env.userDefaultsFile = data + "/defaults.json";
  env.bundleIdentifier = "com.example.exit";
  PlatformEnvironment::install(env);
  if (bound) Dispatcher::shared().mainQueue()->bindToCurrentThread();
  // Waits for `done`, pumping the main queue when it is bound here.
  auto waitFor = [&](const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < end) {
      if (bound) {
        Dispatcher::shared().mainQueue()->runUntil(done, 10ms);
      } else {
        std::this_thread::sleep_for(2ms);
      }
    }
    return done();
  };
  auto finish = [&] {
    say("return");
    return 0;
  };

  auto app = std::make_shared<App>();
  app->exitWhenStopped = moment == "exit-in-stopped-in-shutdown";
  if (moment == "exit-in-log-in-shutdown") {
    TLLogger::sharedLogger().setDelegate(std::make_shared<ExitOnLine>("AudioDecoder shut down"));
  }
  const bool exitOnTimingLine = moment == "exit-in-timing-log-in-shutdown";
  std::shared_ptr<ExitOnLine> timingLines;
  if (exitOnTimingLine) {
    // Only a thread already in its wait logs that line as the shutdown stops it.
    timingLines = std::make_shared<ExitOnLine>("Timing thread interrupted, stopping...",
                                               "Timing thread waiting for event at ");
    TLLogger::sharedLogger().setDelegate(timingLines);
  }
  auto words = std::make_shared<Words>(moment);
  const auto exitInEvent = kExitInEventInShutdown.find(moment);
  const bool exitInEventInShutdown = exitInEvent != kExitInEventInShutdown.end();
  const bool timed = moment == "event-synced-shutdown" || moment == "exit-in-timed-event" ||
                     exitOnTimingLine || exitInEventInShutdown;
  auto decoder = TLDecoder::sharedDecoder();
  decoder->initWithPlugins(tltest::triggerPlugin(timed ? "EVENT" : "TRIGGER"));
  decoder->connectEngineDelegate(words, TLEngineType::kTrigger);
  auto timedEvents = std::make_shared<TimedEvents>(
      moment == "exit-in-timed-event", exitInEventInShutdown ? exitInEvent->second : -1);
  std::shared_ptr<TLEventEngine> event;
  if (timed) {
    event = std::dynamic_pointer_cast<TLEventEngine>(
        decoder->connectEngineDelegate(timedEvents, TLEngineType::kEvent));
    std::string sequence = R"({"events": [)";
    for (int i = 0; i <= 400 && !exitOnTimingLine && !exitInEventInShutdown; ++i) {
      sequence += R"({"id": "e", "time": )" + std::to_string(i / 4.0) + "}, ";
    }
    // The sequence ends as soon as the track is synchronised when it is empty.
    sequence += moment == "exit-in-ended-in-shutdown" ? "]}" : R"({"id": "far", "time": 100000}]})";
    if (!event || !event->registerEventSequence(kTrack, sequence, 0)) return 10;
  }
  decoder->addDelegate(app);
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<tltest::NoRecorderEvents>(), 16000);
  if (!recorder) return 3;
  if (moment == "created") return finish();
  if (moment == "calling") {
    // Three app threads that never stop calling in; main returns once each
    // has gone round a few times, and the exit handlers run beside them.
    std::atomic<int> rounds[3] = {0, 0, 0};
    const std::vector<std::function<void()>> calls = {
        [decoder, words] {
          for (TLEngineType type : {TLEngineType::kTrigger, TLEngineType::kEvent,
                                    TLEngineType::kEvent2, TLEngineType::kContent}) {
            if (auto engine = decoder->connectEngineDelegate(words, type)) {
              decoder->disconnectEngineDelegate(engine);
            }
          }
        },
        [decoder] {
          auto other = std::make_shared<App>();
          decoder->addDelegate(other);
          decoder->removeDelegate(other);
        },
        [decoder] { decoder->stopDecoding(); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
      // `rounds` outlives main's return only as far as the threads read it
      // before then; afterwards they touch nothing of main's.
      std::thread([call = calls[i], counter = &rounds[i]] {
        for (int n = 0;; ++n) {
          call();
          if (n < 5) counter->fetch_add(1);
        }
      }).detach();
    }
    if (!waitFor([&] {
          for (const auto& r : rounds) {
            if (r.load() < 5) return false;
          }
          return true;
        })) {
      return 7;
    }
    return finish();
  }

  decoder->startDecoding();
  if (moment == "started") return finish();
  if (!waitFor([&] { return app->started.load(); })) return 4;
  if (moment == "listening") return finish();

  const std::vector<int16_t> audio =
      moment == "exit-in-interrupted-in-shutdown" ? tltest::wordAudio({kTrack, kSync, kNoTrack})
      : timed                                     ? tltest::wordAudio({kTrack, kSync})
                                                  : tltest::wordAudio({4242, 4243});
  if (moment == "exit-in-word-in-shutdown" || exitInEventInShutdown) {
    std::thread([recorder, audio] { tltest::feedAll(*recorder, audio); }).detach();
    if (!waitFor([&] { return words->inCall || timedEvents->inCall; })) return 5;
    TLDecoder::shutdown();
    waitFor([] { return false; });  // the delegate ends the process meanwhile
    return 8;
  }
  if (moment == "exit-in-stopped-in-shutdown" || moment == "exit-in-log-in-shutdown") {
    TLDecoder::shutdown();
    waitFor([] { return false; });  // a delegate ends the process meanwhile
    return 8;
  }
  if (moment == "decoding" || moment == "exit-in-word" || moment == "shutdown-in-word" || timed) {
    // Feed on another thread, so main can return (or pump the delegate
    // calls) while the audio still flows.
    std::thread([recorder, audio] { tltest::feedAll(*recorder, audio); }).detach();
    if (moment == "exit-in-word" || moment == "exit-in-timed-event") {
      waitFor([] { return false; });  // the delegate ends the process meanwhile
      return 8;
    }
    if (timed) {
      TimingEngine& timing = event->timingEngine();
      if (!waitFor([&] {
            return exitOnTimingLine ? timingLines->watched.load() : timedEvents->heard > 0;
          })) {
        return 11;
      }
      TLDecoder::shutdown();
      if (exitOnTimingLine) {
        waitFor([] { return false; });  // the log delegate ends the process meanwhile
        return 8;
      }
      // The shutdown joined the timing thread, and no anchor starts another.
      const bool joined = !timing.isTimingThreadRunning();
      timing.prepareWithEvents({TimedEventEngine{"late", 1e6, false}}, 0);
      timing.syncWithAnchor(SyncAnchor{0, 0});
      if (!joined || timing.isTimingThreadRunning()) {
        say(joined ? "timing thread started after shutdown" : "timing thread runs after shutdown");
        return 12;
      }
      return finish();
    }
    if (moment == "shutdown-in-word") {
      if (!waitFor([&] { return words->shutdownReturned.load(); })) return 9;
      return finish();
    }
    if (!waitFor([&] { return words->heard.load() > 0; })) return 5;
    return finish();
  }
  tltest::feedAll(*recorder, audio);
  if (!waitFor([&] { return words->heard.load() >= 2; })) return 5;
  decoder->stopDecoding();
  if (moment == "stopping") return finish();
  if (!waitFor([&] { return app->stopped.load(); })) return 6;
  if (moment == "stopped") return finish();
  TLDecoder::shutdown();
  return finish();
}
