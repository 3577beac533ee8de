// decode_wav: feeds a 16-bit PCM WAV file to the decoder through a custom
// recorder and prints every code word its delegates receive, one line each:
//
//   codeword 4242 engine TRIGGER
//
// Usage: decode_wav <scheme.cfg> <file.wav> [<data folder>]
// The app brings its own code-word processor: one that runs the decoding
// core with the given scheme configuration and sends every word to the
// TRIGGER engine, whose delegate prints it. The data folder (default: a new folder under /tmp) holds
// the app's documents, keys and user defaults.
#include <unistd.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/audio/audio_file_reader.h"
#include "core/audio/base_audio_processor.h"
#include "platform/api/platform_environment.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_trigger_engine.h"

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

namespace {

std::mutex outputMutex;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

struct State {
  std::atomic<bool> initialised{false};
  std::atomic<bool> listening{false};
  std::atomic<bool> stopped{false};
  std::atomic<bool> failed{false};
};

// Wakes the main thread so that it re-checks what it waits for.
void wakeMain() { Dispatcher::shared().mainQueue()->async([] {}); }

class PrintingDelegate : public TLDecoderDelegate {
 public:
  explicit PrintingDelegate(State& s) : s_(s) {}
  void initialisationDidComplete() override {
    say("initialised");
    s_.initialised = true;
    wakeMain();
  }
  void startedListening() override {
    say("listening");
    s_.listening = true;
    wakeMain();
  }
  void stoppedListening() override {
    say("stopped");
    s_.stopped = true;
    wakeMain();
  }
  void failedWithError(const std::string& description) override {
    say("failed " + description);
    s_.failed = true;
    wakeMain();
  }
  void confidenceChangedTo(int64_t confidence) override {
    say("confidence " + std::to_string(confidence));
  }

 private:
  State& s_;
};

// The trigger engine's delegate: each code word routed to "TRIGGER", on the
// main queue.
class PrintingCodewords : public TLCodewordReceivedDelegate {
 public:
  void codewordReceived(int64_t codeword, TLDate) override {
    say("codeword " + std::to_string(codeword) + " engine TRIGGER");
  }
};

class RecorderEvents : public TLRecorderListener {
 public:
  void recorderInitialised(Recorder&) override { say("recorder ready"); }
  void startedRecording(Recorder&) override {}
  void stoppedRecording(Recorder&) override {}
};

// Runs the main queue until `done` or the time is up.
bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    Dispatcher::shared().mainQueue()->runUntil(done, 50ms);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <scheme.cfg> <file.wav> [<data folder>]\n", argv[0]);
    return 2;
  }
  const std::string scheme = argv[1];
  const std::string wavFile = argv[2];
  std::string dataFolder;
  if (argc > 3) {
    dataFolder = argv[3];
  } else {
    char pattern[] = "/tmp/decode_wav.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    dataFolder = pattern;
  }

  std::unique_ptr<tembrolexinsdk::AudioFileReader> reader;
  try {
    reader = std::make_unique<tembrolexinsdk::AudioFileReader>(wavFile);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!reader->isWav()) {
    std::fprintf(stderr, "%s is not a WAV file\n", wavFile.c_str());
    return 1;
  }

  PlatformEnvironment env;
  env.documentsFolder = dataFolder + "/Documents";
  env.keyStoreFolder = dataFolder + "/keys";
  env.userDefaultsFile = dataFolder + "/defaults.json";
  env.bundleIdentifier = "com.example.decodewav";
  PlatformEnvironment::install(env);
  Dispatcher::shared().mainQueue()->bindToCurrentThread();

  const tembrolexinsdk::SampleRate rate = tembrolexinsdk::SampleRateFromHz(reader->rateHz());
  auto processor = std::make_unique<tembrolexinsdk::BaseAudioProcessor>(
      "tembrolexin_Example", rate, false, std::chrono::milliseconds(250));
  processor->setDecoderDescriptors({std::make_shared<tembrolexinsdk::EchoDecoderDescriptor>(
      scheme, std::vector<tembrolexinsdk::CodewordRange>{{0, INT64_MAX, "TRIGGER"}}, false)});

  State state;
  auto decoder = TLDecoder::sharedDecoder();
  std::vector<TLPlugin> plugins(1);
  plugins[0].audioProcessor = std::move(processor);
  decoder->initWithPlugins(std::move(plugins));
  decoder->addDelegate(std::make_shared<PrintingDelegate>(state));
  decoder->connectEngineDelegate(std::make_shared<PrintingCodewords>(), TLEngineType::kTrigger);
  auto recorder = decoder->useCustomRecorderWithListener(std::make_shared<RecorderEvents>(),
                                                         reader->rateHz());
  if (!recorder) {
    say("failed no recorder for " + std::to_string(reader->rateHz()) + " Hz");
    return 1;
  }
  decoder->startDecoding();
  if (!runMainUntil([&] { return state.listening || state.failed; }, 30s) || state.failed) {
    say("failed decoder did not start");
    return 1;
  }

  // Feed the file, then a second of silence so the last word completes. The
  // recorder refuses samples it cannot take yet; feed them again shortly
  // after.
  std::vector<int16_t> block(1024);
  auto feed = [&](const int16_t* samples, int32_t count) {
    for (int tries = 0; tries < 5000; ++tries) {
      if (recorder->provideSamples(samples, count) == 0) return true;
      Dispatcher::shared().mainQueue()->drain();
      ::usleep(1000);
    }
    return false;
  };
  for (std::size_t n; (n = reader->read(block.data(), block.size())) > 0;) {
    if (!feed(block.data(), static_cast<int32_t>(n))) {
      say("failed samples refused");
      return 1;
    }
    // Paced like a capture at four times real time: the decoder drops
    // audio that arrives before its decoders are ready.
    ::usleep(static_cast<useconds_t>(n * 250000 / static_cast<std::size_t>(reader->rateHz())));
    Dispatcher::shared().mainQueue()->drain();
  }
  std::fill(block.begin(), block.end(), 0);
  for (int i = 0, blocks = reader->rateHz() / 1024 + 1; i < blocks; ++i) {
    feed(block.data(), static_cast<int32_t>(block.size()));
  }
  runMainUntil([] { return false; }, 1s);  // let the last words reach the engine
  decoder->stopDecoding();
  runMainUntil([&] { return state.stopped.load(); }, 10s);
  runMainUntil([] { return false; }, 200ms);
  say("done");
  return 0;
}
