// The whole core on its bus: an app feeds 48 kHz audio through the app-fed
// recorder in 10 ms calls; the decoder hands each capture buffer to the
// controller of one code-word processor with two 16 kHz schemes (T2 and T4),
// and the processor's words leave as CodewordSignals.
//
// Counters: "xRealtime" is seconds of audio per second of process CPU time
// (every thread of the core counted; target at least 800);
// "words_per_run" the code words that reached the bus per minute of audio.
// CoreHours feeds four hours of audio once and reports the resident memory
// after 10 minutes and after 1, 2 and 4 hours ("rss_mb_10min", "rss_mb_1h",
// "rss_mb_2h", "rss_mb_4h"; "growth_mb" from 10 minutes to 4 hours, and
// "heap_growth_mb" the same for the heap in use: the core must not grow
// once it has settled).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
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

double heapMb() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks) / 1048576.0;
}

double residentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Counts what reaches the bus.
class Counter : public IMessengerListener {
 public:
  void onReceive(const std::string&, const ThriftParams& params) override {
    if (params.getMsgType() == 10) {
      std::lock_guard<std::mutex> lock(mutex);
      ++buffers;
      if (buffers >= awaited) delivered.notify_all();
    } else if (params.getMsgType() == 9) {
      auto word = ThriftParamsFactory::readThriftParams<CodewordSignal>(params);
      if (word && word->msg >= 0) words.fetch_add(1);
    } else if (params.getMsgType() == 37) {
      auto status = ThriftParamsFactory::readThriftParams<SDKStatusSignal>(params);
      if (status && status->status == SDKStatus::StartListening) listening.store(true);
    }
  }
  // Waits (without spinning, which would count as the core's CPU time)
  // until `count` capture buffers have reached the bus.
  void awaitBuffers(uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    awaited = count;
    delivered.wait(lock, [&] { return buffers >= count; });
  }
  std::mutex mutex;
  std::condition_variable delivered;
  uint64_t buffers = 0;  // guarded by mutex
  uint64_t awaited = 0;  // guarded by mutex
  std::atomic<uint64_t> words{0};
  std::atomic<bool> listening{false};
};

// The core, set up and started on a bus of its own.
class Core {
 public:
  Core() : folder_(std::filesystem::temp_directory_path() /
                   ("tl_core_bench_" + std::to_string(getpid()))) {
    std::filesystem::create_directories(folder_);
    for (int type : {9, 10, 37}) bus_.registerListener(type, &counter_);
    AudioDecoderEnvironment env;
    env.loadAudioPlugins = [](const std::string&, const std::vector<std::string>&) {
      auto processor = std::make_unique<BaseAudioProcessor>(
          "tembrolexin_EchoMod", SampleRate_16000, false, std::chrono::milliseconds(250));
      const std::vector<CodewordRange> all{{0, INT64_MAX, "CONTENT"}};
      processor->setDecoderDescriptors(
          {std::make_shared<const EchoDecoderDescriptor>(dataFile("scheme_t2_vtw.cfg"), all, false),
           std::make_shared<const EchoDecoderDescriptor>(dataFile("scheme_t4_cs4.cfg"), all,
                                                         false)});
      std::vector<std::unique_ptr<IAudioProcessor>> out;
      out.push_back(std::move(processor));
      return out;
    };
    decoder_ = std::make_unique<AudioDecoder>(&bus_, env);
    bridge_ = std::make_unique<SDKPrivate>(&bus_, decoder_.get());
    auto recorder = std::make_unique<CustomRecorder>(48000, &bus_);
    recorder_ = recorder.get();
    decoder_->useCustomRecorder(std::move(recorder));

    tlbench::startDecodingOnBus(bus_, folder_.string(), counter_.listening);
  }
  ~Core() {
    bridge_.reset();
    decoder_.reset();
    for (int type : {9, 10, 37}) bus_.unregisterListener(type, &counter_);
    std::filesystem::remove_all(folder_);
  }

  // Feeds the samples in 10 ms calls and waits until every capture buffer
  // has reached the bus.
  void feed(const std::vector<int16_t>& samples) {
    for (size_t at = 0; at < samples.size(); at += 480) {
      const int n = static_cast<int>(std::min<size_t>(480, samples.size() - at));
      recorder_->provideSamples(samples.data() + at, n);
      fed_ += n;
    }
    counter_.awaitBuffers(fed_ / 6144);
  }
  uint64_t words() const { return counter_.words.load(); }

 private:
  std::filesystem::path folder_;
  Messenger bus_;
  Counter counter_;
  std::unique_ptr<AudioDecoder> decoder_;
  std::unique_ptr<SDKPrivate> bridge_;
  CustomRecorder* recorder_ = nullptr;
  uint64_t fed_ = 0;
};

void BM_CoreOnTheBus(benchmark::State& state) {
  const std::vector<int16_t>& minute = tlbench::t2MinuteAt48k();
  Core core;
  core.feed(minute);  // warm-up
  const uint64_t before = core.words();
  for (auto _ : state) core.feed(minute);
  const double audio = 60.0 * static_cast<double>(state.iterations());
  state.counters["xRealtime"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
  state.counters["words_per_run"] = static_cast<double>(core.words() - before) /
                                    static_cast<double>(state.iterations());
}

void BM_CoreHours(benchmark::State& state) {
  const std::vector<int16_t>& minute = tlbench::t2MinuteAt48k();
  for (auto _ : state) {
    Core core;
    int fed = 0;
    const auto feedUntil = [&](int minutes) {
      for (; fed < minutes; ++fed) core.feed(minute);
      return residentMb();
    };
    const double at10 = feedUntil(10);
    const double heap10 = heapMb();
    state.counters["rss_mb_10min"] = at10;
    state.counters["rss_mb_1h"] = feedUntil(60);
    state.counters["rss_mb_2h"] = feedUntil(120);
    const double at240 = feedUntil(240);
    state.counters["rss_mb_4h"] = at240;
    state.counters["growth_mb"] = at240 - at10;
    state.counters["heap_growth_mb"] = heapMb() - heap10;
    state.counters["words"] = static_cast<double>(core.words());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Log lines travel on the process-wide bus, not the benchmark's.
  Logger::getInstance()->registerMessenger(getMessenger());
  benchmark::RegisterBenchmark("CoreOnTheBus/48k-T2+T4", BM_CoreOnTheBus)
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime()
      ->MinTime(2.0);
  benchmark::RegisterBenchmark("CoreHours/48k-T2+T4", BM_CoreHours)
      ->Unit(benchmark::kSecond)
      ->MeasureProcessCPUTime()
      ->Iterations(1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
