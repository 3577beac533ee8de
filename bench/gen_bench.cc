// Test-signal generator benchmark: what tl_gen does for a recording of the
// given minutes (the README's scheme, words back to back, 48 kHz, white
// noise at 10 dB), streamed into a WAV file in /tmp.
//
// Counters: "s_per_hour" is CPU seconds per hour of 48 kHz audio (target:
// under 60 on one core); "peak_rss_mb" the process's peak resident memory,
// which stays the same whatever the length. Single thread.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "core/decoder/decoder_library.h"
#include "tools/signal/signal_stream.h"

namespace {

using namespace tembrolexinsdk;

void BM_GenerateMinutesAt48kHz(benchmark::State& state) {
  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      Tembrolexin_Init2(tlbench::dataFile("scheme_t2_vtw.cfg").c_str(), 1), Tembrolexin_Close);
  if (!ctx) {
    state.SkipWithError("configuration refused");
    return;
  }
  const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
  // Words of 2.56 s each, back to back, for the minutes asked.
  const std::vector<int64_t> words(static_cast<size_t>(state.range(0) * 60000 / 2560), 0x12345);
  tltest::GeneratorOptions options;
  options.outputRateHz = 48000;
  const std::string path = "/tmp/tl_gen_bench_" + std::to_string(::getpid()) + ".wav";
  int64_t samples = 0;
  for (auto _ : state) {
    tltest::SignalStream stream(cfg, words, options);
    if (!tltest::writeWav(path, stream, 1, true, 10.0, 2)) {
      state.SkipWithError("cannot write the recording");
      break;
    }
    samples += stream.size();
  }
  std::remove(path.c_str());
  const double hours = static_cast<double>(samples) / 48000.0 / 3600.0;
  state.counters["s_per_hour"] =
      benchmark::Counter(hours, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_GenerateMinutesAt48kHz)->Arg(5)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
