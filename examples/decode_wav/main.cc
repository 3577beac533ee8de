// decode_wav: an app that embeds the library. It feeds a 16-bit PCM WAV
// file (any rate the library knows, mono or several channels) to the
// decoder through a custom recorder and prints every code word that reaches
// its TRIGGER delegate, one line each:
//
//   codeword 8896118784 engine TRIGGER
//
// Usage: decode_wav CONFIG FILE [DATA_FOLDER]
//
// CONFIG is a scheme configuration. The decoder runs its built-in code-word
// plug-ins; the app only tells them, through the configuration, to run
// CONFIG and to send what they decode to TRIGGER. Each plug-in runs at its
// own rate (VorselTW at 16 kHz, VorselT and EchoMod at 8 kHz) the schemes of
// its family, and the decoder converts the recorder's rate to it. DATA_FOLDER
// (default: a new folder under /tmp) holds the app's documents, keys and
// user defaults.
//
// Exit status: 0 when the file was decoded (whether or not it carried
// words), 1 when it could not be decoded at all (unreadable file, a rate the
// recorder cannot take, no plug-in that runs CONFIG, the decoder failing to
// start), 2 usage.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "core/audio/audio_file_reader.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/analytics_engine.h"
#include "platform/engines/tl_trigger_engine.h"
#include "platform/runtime/platform_environment.h"

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

namespace {

constexpr char kUsage[] =
    "usage: decode_wav CONFIG FILE [DATA_FOLDER]\n"
    "  CONFIG       scheme configuration the built-in plug-ins run\n"
    "  FILE         16-bit PCM WAV file, any supported rate, mono or more channels\n"
    "  DATA_FOLDER  the app's documents, keys and defaults (default: new under /tmp)\n"
    "prints \"codeword VALUE engine TRIGGER\" for each word the TRIGGER delegate gets\n";

std::mutex outputMutex;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The JSON text of one descriptor list: `config` decoded, every word sent to
// TRIGGER, and (for the VorselT plug-ins, which hand candidate stations only
// to decoders with such a range) to ANALYTICS too.
std::string descriptorsFor(const std::string& config, bool withAnalytics) {
  Json::Value ranges(Json::arrayValue);
  for (const char* engine : {"TRIGGER", "ANALYTICS"}) {
    if (!withAnalytics && std::strcmp(engine, "ANALYTICS") == 0) break;
    Json::Value range;
    range["low"] = 0;
    range["high"] = Json::Int64{9223372036854775807};
    range["engine"] = engine;
    ranges.append(range);
  }
  Json::Value descriptor;
  descriptor["config"] = config;  // any path: the writer escapes what JSON needs
  descriptor["ranges"] = ranges;
  Json::Value list(Json::arrayValue);
  list.append(descriptor);
  // The path's bytes as they are: the default writer would re-encode those
  // that are not UTF-8 (a Latin-1 folder name) into another path.
  Json::StreamWriterBuilder writer;
  writer["emitUTF8"] = true;
  return Json::writeString(writer, list);
}

struct State {
  std::atomic<bool> initialised{false};
  std::atomic<bool> listening{false};
  std::atomic<bool> stopped{false};
  std::atomic<bool> failed{false};
  std::atomic<bool> decoding{false};  // a plug-in reported on the audio
  std::atomic<int> words{0};
};

class PrintingDelegate : public TLDecoderDelegate {
 public:
  explicit PrintingDelegate(State& s) : s_(s) {}
  void initialisationDidComplete() override { s_.initialised = true; }
  void startedListening() override { s_.listening = true; }
  void stoppedListening() override { s_.stopped = true; }
  void failedWithError(const std::string& description) override {
    say("failed " + description);
    s_.failed = true;
  }
  void confidenceChangedTo(int64_t) override {}

 private:
  State& s_;
};

// The TRIGGER engine's delegate: each code word routed to "TRIGGER".
class PrintingCodewords : public TLCodewordReceivedDelegate {
 public:
  explicit PrintingCodewords(State& s) : s_(s) {}
  void codewordReceived(int64_t codeword, TLDate) override {
    ++s_.words;
    say("codeword " + std::to_string(codeword) + " engine TRIGGER");
  }

 private:
  State& s_;
};

// The ANALYTICS engine's delegate, here only to hear that the file is being
// decoded: a plug-in that decodes audio reports the signal's quality
// ("CONFIDENCE") with nearly every buffer.
class DecodingWatch : public TLAnalyticsEngineDelegate {
 public:
  explicit DecodingWatch(State& s) : s_(s) {}
  void processorWithNameRaisedEvent(const std::string&,
                                    std::shared_ptr<const TLProcessorEventParams> event) override {
    auto report = std::dynamic_pointer_cast<const TLCodewordEventParams>(event);
    if (report && report->engineRef() == "CONFIDENCE") s_.decoding = true;
  }
  void processorWithNameChangedStatus(const std::string&,
                                      std::shared_ptr<const TLGenericStatusParams>) override {}
  void levelMeasured(int16_t) override {}
  void audioSupport(int32_t) override {}
  int32_t currentNetworkConnectionType() override { return 0; }

 private:
  State& s_;
};

class RecorderEvents : public TLRecorderListener {
 public:
  void recorderInitialised(Recorder&) override {}
  void startedRecording(Recorder&) override {}
  void stoppedRecording(Recorder&) override {}
};

// Runs the main queue, where the engines call their delegates, until `done`
// or the time is up. `done` is asked at least every 20 ms, since the decoder
// delegate is called on another queue.
bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    Dispatcher::shared().mainQueue()->runUntil(done, 20ms);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3 || argc > 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string config = std::filesystem::absolute(argv[1]).string();
  const std::string wavFile = argv[2];
  std::string dataFolder;
  if (argc > 3) {
    dataFolder = argv[3];
  } else {
    char pattern[] = "/tmp/decode_wav.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      std::fprintf(stderr, "decode_wav: cannot make a data folder under /tmp\n");
      return 1;
    }
    dataFolder = pattern;
  }

  std::unique_ptr<tembrolexinsdk::AudioFileReader> reader;
  try {
    reader = std::make_unique<tembrolexinsdk::AudioFileReader>(wavFile);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "decode_wav: %s\n", e.what());
    return 1;
  }
  if (!reader->isWav()) {
    std::fprintf(stderr, "decode_wav: %s is not a WAV file\n", wavFile.c_str());
    return 1;
  }

  // The app's folders, then the main queue on this thread: the engines call
  // their delegates there, so main pumps it while it waits.
  PlatformEnvironment env;
  env.documentsFolder = dataFolder + "/Documents";
  env.keyStoreFolder = dataFolder + "/keys";
  env.userDefaultsFile = dataFolder + "/defaults.json";
  env.bundleIdentifier = "com.example.decodewav";
  PlatformEnvironment::install(env);
  Dispatcher::shared().mainQueue()->bindToCurrentThread();

  State state;
  auto decoder = TLDecoder::sharedDecoder();
  // Before anything starts the decoder: the built-in plug-ins run CONFIG and
  // send every word to TRIGGER. The VorselT ones wait for candidate
  // stations; an empty list lets them decode whole words of any station.
  decoder->configure({
      {"tembrolexin_VorselTW_DecoderDescriptors", descriptorsFor(config, true)},
      {"tembrolexin_VorselTW_CandidateStations", std::string("[]")},
      {"tembrolexin_VorselT_DecoderDescriptors", descriptorsFor(config, true)},
      {"tembrolexin_VorselT_CandidateStations", std::string("[]")},
      {"tembrolexin_EchoMod_DecoderDescriptors", descriptorsFor(config, false)},
  });
  decoder->connectEngineDelegate(std::make_shared<PrintingCodewords>(state), TLEngineType::kTrigger);
  decoder->connectEngineDelegate(std::make_shared<DecodingWatch>(state),
                                 TLEngineType::kAnalytics);
  decoder->addDelegate(std::make_shared<PrintingDelegate>(state));
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<RecorderEvents>(), reader->rateHz());
  if (!recorder) {
    std::fprintf(stderr, "decode_wav: the recorder cannot take %d Hz\n", reader->rateHz());
    return 1;
  }
  decoder->startDecoding();

  // Feeds samples; the recorder holds this thread while the decoder is busy,
  // so the file goes at the decoder's pace and nothing is lost. Between
  // calls the main queue runs, so the delegates are heard.
  const int32_t chunk = 1024;
  auto feed = [&](const int16_t* samples, int32_t count) {
    for (int tries = 0; tries < 5000; ++tries) {
      if (recorder->provideSamples(samples, count) == 0) return true;
      Dispatcher::shared().mainQueue()->drain();
      ::usleep(1000);
    }
    return false;
  };
  // Silence until the decoder listens: audio that comes before is not
  // decoded. The plug-ins have their configuration by then.
  std::vector<int16_t> block(chunk, 0);
  for (auto end = std::chrono::steady_clock::now() + 30s; !state.listening;) {
    if (state.failed || std::chrono::steady_clock::now() >= end || !feed(block.data(), chunk)) {
      std::fprintf(stderr, "decode_wav: the decoder did not start\n");
      return 1;
    }
    runMainUntil([&] { return state.listening.load(); }, 20ms);
  }
  // The plug-ins build their decoders as listening starts and drop audio
  // until they have them; fed at the decoder's pace, the file's first words
  // could come before. Half a second of silence, at the pace it plays,
  // gives them that time.
  const auto chunkTime = std::chrono::milliseconds(1000 * chunk / reader->rateHz());
  for (int fed = 0; fed < reader->rateHz() / 2; fed += chunk) {
    feed(block.data(), chunk);
    runMainUntil([] { return false; }, chunkTime);
  }
  for (std::size_t n; (n = reader->read(block.data(), block.size())) > 0;) {
    if (!feed(block.data(), static_cast<int32_t>(n))) {
      std::fprintf(stderr, "decode_wav: samples refused\n");
      return 1;
    }
    Dispatcher::shared().mainQueue()->drain();
  }
  // Two seconds of silence, so that the last word is complete and decoded.
  std::fill(block.begin(), block.end(), 0);
  for (int i = 0, blocks = 2 * reader->rateHz() / chunk + 1; i < blocks; ++i) {
    feed(block.data(), chunk);
    Dispatcher::shared().mainQueue()->drain();
  }
  runMainUntil([] { return false; }, 1s);  // the last words reach the delegate
  decoder->stopDecoding();
  runMainUntil([&] { return state.stopped.load(); }, 10s);
  runMainUntil([] { return false; }, 200ms);  // what stopping sends the delegates
  if (!state.decoding) {
    std::fprintf(stderr, "decode_wav: nothing decoded %s: no built-in plug-in runs %s\n",
                 wavFile.c_str(), config.c_str());
    return 1;
  }
  say("done: " + std::to_string(state.words.load()) + " code word(s)");
  return 0;
}
