// Feeding beside a processor that does not keep up: an app feeds 48 kHz audio
// through the app-fed recorder, in calls of one capture buffer (6144
// frames), to a decoder with one healthy code-word processor (T2 at 16 kHz)
// and, in the second run of each pair, a second processor that never
// finishes its buffers:
//
//   dropping  a code-word processor whose one decoder needs another rate, so
//             that it drops every buffer (as one waiting for decoders or
//             candidate stations does);
//   hung      a processor that finishes its first buffer and then nothing
//             (its worker is stuck): its controller waits one stall limit
//             and then drops its buffers.
//
// Counters: "alone_xRealtime" and "beside_xRealtime" are seconds of audio per
// second of wall time spent feeding (the feeder is held at the healthy
// processor's pace), without and with the second processor, in the same
// run; "ratio" is the second over the first (target at least 0.8). Four
// hours of audio per run. A hung processor costs one stall limit (500 ms of
// wall time) near the start, whatever the run's length, so the ratio over a
// run depends on how long the run takes: "hour_ratio" is the ratio over the
// first hour alone, "steady_ratio" compares the pace after the first minute,
// and "first_minute_extra_s" is the wall time the first minute took beside
// the second processor beyond its time alone (the stall limit, for a hung
// one).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_data.h"
#include "bench/core_on_bus.h"
#include "bench/t2_recording.h"
#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/control/audio_decoder.h"
#include "core/control/sdk_private.h"
#include "core/runtime/logger.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"

namespace {

using namespace tembrolexinsdk;

using tlbench::dataFile;

constexpr size_t kFrames = 6144;
constexpr int kMinutes = 240;

// Finishes its first buffer, then nothing.
class HungProcessor : public IAudioProcessor {
 public:
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const override { return name_; }
  void Initialise(IProcessorListener* listener, int, const NTPInfo*) override {
    listener_ = listener;
  }
  void Configure(const ConfigurationParameters*, const NTPInfo*) override {}
  void SetFilePath(const std::string&) override {}
  void SetDeviceId(int) override {}
  void ProcessBuffer(const short*, int, std::chrono::steady_clock::time_point) override {
    if (given_++ == 0) {
      const ProcessingCompleteParams done;
      listener_->onProcessorEvent(this, &done);
    }
  }
  void Start() override {}
  void Stop() override {}
  IProcessorEventParams* PrepareData(const NTPInfo*) override { return nullptr; }
  SampleRate GetPreferredSampleRate() override { return SampleRate_16000; }

 private:
  const std::string name_ = "tembrolexin_Hung";
  IProcessorListener* listener_ = nullptr;
  int given_ = 0;
};

std::unique_ptr<IAudioProcessor> codewordProcessor(const std::string& name, const char* scheme) {
  auto processor = std::make_unique<BaseAudioProcessor>(name, SampleRate_16000, false,
                                                        std::chrono::milliseconds(250));
  processor->setDecoderDescriptors({std::make_shared<const EchoDecoderDescriptor>(
      dataFile(scheme), std::vector<CodewordRange>{{0, INT64_MAX, "CONTENT"}}, false)});
  return processor;
}

class StatusCounter : public IMessengerListener {
 public:
  void onReceive(const std::string&, const ThriftParams& params) override {
    auto status = ThriftParamsFactory::readThriftParams<SDKStatusSignal>(params);
    if (status && status->status == SDKStatus::StartListening) listening.store(true);
  }
  std::atomic<bool> listening{false};
};

struct FeedTimes {  // seconds of wall time
  double firstMinute = 0;
  double firstHour = 0;  // including the first minute
  double rest = 0;       // after the first minute
};

// Wall time to feed kMinutes of the minute to a decoder running the healthy
// processor and, unless `second` is empty, a second one.
FeedTimes feedSeconds(const std::vector<int16_t>& minute, const std::string& second) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tl_stall_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  Messenger bus;
  StatusCounter statuses;
  bus.registerListener(37, &statuses);
  AudioDecoderEnvironment env;
  env.loadAudioPlugins = [second](const std::string&, const std::vector<std::string>&) {
    std::vector<std::unique_ptr<IAudioProcessor>> out;
    out.push_back(codewordProcessor("tembrolexin_EchoMod", "scheme_t2_vtw.cfg"));
    if (second == "dropping") {
      // An 8 kHz scheme in a 16 kHz processor: never built.
      out.push_back(codewordProcessor("tembrolexin_Dropping", "scheme_t1_vt.cfg"));
    } else if (second == "hung") {
      out.push_back(std::make_unique<HungProcessor>());
    }
    return out;
  };
  auto decoder = std::make_unique<AudioDecoder>(&bus, env);
  auto bridge = std::make_unique<SDKPrivate>(&bus, decoder.get());
  auto owned = std::make_unique<CustomRecorder>(48000, &bus);
  CustomRecorder* recorder = owned.get();
  decoder->useCustomRecorder(std::move(owned));
  tlbench::startDecodingOnBus(bus, folder.string(), statuses.listening);

  using Seconds = std::chrono::duration<double>;
  const auto began = std::chrono::steady_clock::now();
  auto firstDone = began;
  auto hourDone = began;
  for (int m = 0; m < kMinutes; ++m) {
    for (size_t at = 0; at + kFrames <= minute.size(); at += kFrames) {
      recorder->provideSamples(minute.data() + at, static_cast<int>(kFrames));
    }
    if (m == 0) firstDone = std::chrono::steady_clock::now();
    if (m == 59) hourDone = std::chrono::steady_clock::now();
  }
  const FeedTimes times{Seconds(firstDone - began).count(), Seconds(hourDone - began).count(),
                        Seconds(std::chrono::steady_clock::now() - firstDone).count()};
  bridge.reset();
  decoder.reset();
  bus.unregisterListener(37, &statuses);
  std::filesystem::remove_all(folder);
  return times;
}

void BM_FeedBeside(benchmark::State& state, const char* second) {
  const std::vector<int16_t>& minute = tlbench::t2MinuteAt48k();
  const double audio = static_cast<double>(minute.size() / kFrames * kFrames) / 48000.0 * kMinutes;
  FeedTimes alone;
  FeedTimes beside;
  for (auto _ : state) {
    // Alternating, so that the load of a shared machine weighs on both.
    const FeedTimes a = feedSeconds(minute, "");
    const FeedTimes b = feedSeconds(minute, second);
    alone.firstMinute += a.firstMinute;
    alone.firstHour += a.firstHour;
    alone.rest += a.rest;
    beside.firstMinute += b.firstMinute;
    beside.firstHour += b.firstHour;
    beside.rest += b.rest;
  }
  const double runs = static_cast<double>(state.iterations());
  const double aloneAll = alone.firstMinute + alone.rest;
  const double besideAll = beside.firstMinute + beside.rest;
  state.counters["alone_xRealtime"] = audio * runs / aloneAll;
  state.counters["beside_xRealtime"] = audio * runs / besideAll;
  state.counters["ratio"] = aloneAll / besideAll;
  state.counters["hour_ratio"] = alone.firstHour / beside.firstHour;
  state.counters["steady_ratio"] = alone.rest / beside.rest;
  state.counters["first_minute_extra_s"] = (beside.firstMinute - alone.firstMinute) / runs;
}

}  // namespace

int main(int argc, char** argv) {
  // Log lines travel on the process-wide bus, not the benchmark's.
  Logger::getInstance()->registerMessenger(getMessenger());
  for (const char* second : {"dropping", "hung"}) {
    benchmark::RegisterBenchmark((std::string("FeedBeside/") + second).c_str(), BM_FeedBeside,
                                 second)
        ->Unit(benchmark::kSecond)
        ->UseRealTime()
        ->Iterations(2);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
