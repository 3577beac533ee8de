// Processor benchmark: a BaseAudioProcessor running two schemes (VTW and
// CS4 at 16 kHz) fed a 48 kHz recording in 10 ms buffers (or in capture
// buffers of 6144 frames, 128 ms, as the decoder's recorders deliver them),
// each converted with a Resampler on the feeding thread as a controller
// does, then handed to the processor's worker, decoded and reported.
//
// BM_Processor feeds as fast as the feeding thread can, so the queue grows
// and the worker never waits: the processor's own cost. BM_Processor/paced
// hands over a buffer only while fewer than three are unprocessed, as a
// controller does: every buffer then costs a thread wake-up on each side,
// and the queue stays as short as in an app.
//
// Counters: "xRealtime" is seconds of audio per CPU second of the whole
// process (both threads; target at least 500); "allocs_per_buffer" counts
// heap allocations per buffer in the second half of the recording (steady
// state). Only the paced run is bounded: fed without pause, the queue holds
// more buffers than the processor keeps for reuse.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "bench/t2_recording.h"
#include "core/audio/base_audio_processor.h"
#include "core/audio/resampler.h"
#include "core/runtime/processor_params.h"

// The replaced global operators pair malloc with free; GCC's inlining check
// cannot see that and warns about the standard containers' deletes.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<uint64_t> gAllocations{0};

}  // namespace

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace tembrolexinsdk;

using tlbench::dataFile;

// Counts the buffers the processor has finished.
class CountingListener : public IProcessorListener {
 public:
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams* p) override {
    if (ProcessingCompleteParams::Cast(p) == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    cond_.notify_all();
  }
  void onLogEvent(const INamedObject*, const LogParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_ = true;
    cond_.notify_all();
  }
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }

  void awaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return idle_; });
  }
  void awaitDone(uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return done_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  uint64_t done_ = 0;
  bool idle_ = false;
};

void BM_Processor(benchmark::State& state) {
  const bool paced = state.range(0) != 0;
  static const std::vector<int16_t> samples = tlbench::t2RecordingAt48k();
  const size_t frames = static_cast<size_t>(state.range(1));
  const size_t buffers = samples.size() / frames;
  const double audioSeconds = static_cast<double>(buffers * frames) / 48000;
  uint64_t steadyAllocations = 0;
  uint64_t steadyBuffers = 0;
  for (auto _ : state) {
    state.PauseTiming();
    CountingListener listener;
    auto processor = std::make_unique<BaseAudioProcessor>(
        "tembrolexin_DB", SampleRate_16000, false, std::chrono::milliseconds(250));
    processor->Initialise(&listener, 16000, nullptr);
    processor->setDecoderDescriptors(
        {std::make_shared<EchoDecoderDescriptor>(
             dataFile("scheme_t2_vtw.cfg"),
             std::vector<CodewordRange>{{0, (int64_t{1} << 40) - 1, "ANALYTICS"}}, false),
         std::make_shared<EchoDecoderDescriptor>(
             dataFile("scheme_t4_cs4.cfg"),
             std::vector<CodewordRange>{{0, 1340080127, "HEARTBEAT"}}, false)});
    listener.awaitIdle();
    Resampler resampler(SampleRate_48000, SampleRate_16000);
    // A controller's three rotating buffers.
    std::vector<std::vector<short>> ring(3, std::vector<short>(frames));
    state.ResumeTiming();
    const size_t warmUp = buffers / 2;
    uint64_t allocationsAtWarmUp = 0;
    for (size_t b = 0; b < buffers; ++b) {
      if (paced && b >= 3) listener.awaitDone(b - 2);
      if (b == warmUp) allocationsAtWarmUp = gAllocations.load();
      std::vector<short>& buffer = ring[b % 3];
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b * frames), frames,
                  buffer.begin());
      const unsigned short n = resampler.ResampleBufferInPlace(buffer.data(), frames);
      processor->ProcessBuffer(buffer.data(), n, std::chrono::steady_clock::now());
    }
    listener.awaitDone(buffers);
    steadyAllocations += gAllocations.load() - allocationsAtWarmUp;
    steadyBuffers += buffers - warmUp;
    state.PauseTiming();
    processor.reset();
    state.ResumeTiming();
  }
  state.counters["xRealtime"] = benchmark::Counter(
      audioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["allocs_per_buffer"] =
      steadyBuffers == 0 ? 0.0 : static_cast<double>(steadyAllocations) / steadyBuffers;
  state.counters["audio_s"] = audioSeconds;
}

BENCHMARK(BM_Processor)
    ->ArgNames({"paced", "frames"})
    ->Args({0, 480})
    ->Args({1, 480})
    ->Args({1, 6144})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
