// Capture-path benchmark: recordings at a recorder's rate (48 kHz, 44.1 kHz)
// converted with the Resampler, in capture buffers of 6144 frames, to a
// scheme's rate, alone and followed by decoding; and the decoding core's own
// 16 kHz -> 8 kHz converter (the one that feeds 8 kHz schemes from 16 kHz
// audio), in buffers of 2048 frames.
//
// Counters: "ms_per_audio_s" is CPU milliseconds per second of audio (the
// converters' target: at most 0.1 ms per second of 48 kHz audio to 8 kHz
// and to 16 kHz, and per second of 16 kHz audio to 8 kHz); "xRealtime" is
// seconds of audio per CPU second (decoding one scheme from a 48 kHz
// recording, conversion included: at least 2500). Single thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "core/audio/resampler.h"
#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "core/decoder/rate_conversion.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace {

using namespace tembrolexinsdk;

constexpr size_t kFrames = 6144;

using tlbench::dataFile;

struct ContextDeleter {
  void operator()(DecoderLibraryContext* c) const { Tembrolexin_Close(c); }
};
using ContextPtr = std::unique_ptr<DecoderLibraryContext, ContextDeleter>;

ContextPtr open(const char* file) {
  ContextPtr ctx(Tembrolexin_Init2(dataFile(file).c_str(), 1));
  if (!ctx) {
    std::fprintf(stderr, "capture_bench: %s: %s\n", file, Tembrolexin_GetErrorMsg());
    std::exit(2);
  }
  return ctx;
}

struct Case {
  const char* name;
  const char* config;
  SampleRate capture;
};

const Case kCases[] = {
    {"T1/48k", "scheme_t1_vt.cfg", SampleRate_48000},
    {"T1/44.1k", "scheme_t1_vt.cfg", SampleRate_44100},
    {"T2/48k", "scheme_t2_vtw.cfg", SampleRate_48000},
    {"T2/44.1k", "scheme_t2_vtw.cfg", SampleRate_44100},
    {"T3/48k", "scheme_t3_ch8.cfg", SampleRate_48000},
    {"T4/48k", "scheme_t4_cs4.cfg", SampleRate_48000},
};

// About a minute of words at the capture rate, under 20 dB of white noise.
std::vector<int16_t> recording(DecoderLibraryContext* ctx, SampleRate capture) {
  const SchemeConfig& cfg = *getEchoModParameters(ctx, 0);
  tltest::GeneratorOptions options;
  options.seed = 4;
  options.outputRateHz = Resampler::ConvertSampleRateToHzInt(capture);
  const tltest::GeneratedSignal one =
      tltest::generateSignal(cfg, {createVorselTvCodeWord(54321, 1000)}, options);
  const size_t count = std::max<size_t>(1, 60 * options.outputRateHz / one.samples.size());
  std::vector<int64_t> words;
  for (size_t i = 0; i < count; ++i) {
    words.push_back(createVorselTvCodeWord(54321, 1000 + static_cast<int32_t>(i)));
  }
  tltest::GeneratedSignal signal = tltest::generateSignal(cfg, words, options);
  tltest::addNoise(&signal.samples, signal.rateHz, 20, tltest::NoiseKind::kWhite, 5, 100,
                   signal.rateHz / 2 - 100);
  return signal.samples;
}

// Converts (and with `decode`, decodes) the recording once, buffer by buffer.
void runOnce(const std::vector<int16_t>& samples, Resampler& resampler, std::vector<short>& buffer,
             DecoderLibraryContext* ctx, std::vector<PerformanceData>& records) {
  for (size_t at = 0; at + kFrames <= samples.size(); at += kFrames) {
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), kFrames, buffer.begin());
    const unsigned short n = resampler.ResampleBufferInPlace(buffer.data(), kFrames);
    if (ctx != nullptr) {
      benchmark::DoNotOptimize(Tembrolexin_ProcessData(ctx, buffer.data(), n, records.data()));
    } else {
      benchmark::DoNotOptimize(buffer.data());
    }
  }
}

void BM_Capture(benchmark::State& state, const Case* c, bool decode) {
  ContextPtr probe = open(c->config);
  const auto target = SampleRateFromHz(Tembrolexin_FsIn(probe.get()));
  const std::vector<int16_t> samples = recording(probe.get(), c->capture);
  const double audioSeconds =
      static_cast<double>(samples.size() / kFrames * kFrames) /
      Resampler::ConvertSampleRateToHzInt(c->capture);
  std::vector<short> buffer(kFrames);
  for (auto _ : state) {
    state.PauseTiming();
    Resampler resampler(c->capture, target);
    ContextPtr ctx = decode ? open(c->config) : nullptr;
    std::vector<PerformanceData> records(decode ? Tembrolexin_NEncodingSchemes(ctx.get()) : 0);
    state.ResumeTiming();
    runOnce(samples, resampler, buffer, ctx.get(), records);
    state.PauseTiming();
    ctx.reset();
    state.ResumeTiming();
  }
  const double audio = audioSeconds * static_cast<double>(state.iterations());
  state.counters["xRealtime"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
  state.counters["ms_per_audio_s"] = benchmark::Counter(
      audio / 1000.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The decoding core's 16 kHz -> 8 kHz converter over a minute of 16 kHz
// audio, in the 2048-frame buffers a 16 kHz processor gets.
void BM_CoreConverter(benchmark::State& state) {
  constexpr size_t kCoreFrames = 2048;
  ContextPtr probe = open("scheme_t2_vtw.cfg");
  const std::vector<int16_t> samples = recording(probe.get(), SampleRate_16000);
  const size_t used = samples.size() / kCoreFrames * kCoreFrames;
  int32_t taps = 0;
  const int16_t* table = getFilterCoefficients(16, 8, &taps);
  const int32_t ratio = 2;
  std::vector<int16_t> buffer(kCoreFrames);
  for (auto _ : state) {
    state.PauseTiming();
    ResamplingFilter* filter = resamplingFilterInit(1, 1, &ratio, table, taps);
    state.ResumeTiming();
    for (size_t at = 0; at < used; at += kCoreFrames) {
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), kCoreFrames, buffer.begin());
      benchmark::DoNotOptimize(
          resamplingFilterProcess(filter, buffer.data(), static_cast<int32_t>(kCoreFrames)));
    }
    state.PauseTiming();
    resamplingFilterClose(filter);
    state.ResumeTiming();
  }
  const double audio = static_cast<double>(used) / 16000.0 * static_cast<double>(state.iterations());
  state.counters["ms_per_audio_s"] = benchmark::Counter(
      audio / 1000.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv) {
  // Conversion alone: each capture rate to the schemes' rates.
  for (const Case& c : kCases) {
    if (c.config != kCases[0].config && c.config != kCases[2].config) continue;
    const std::string name = std::string("Resample/") +
                             Resampler::ConvertSampleRateToString(c.capture) + "-to-" +
                             (c.config == kCases[0].config ? "8kHz" : "16kHz");
    benchmark::RegisterBenchmark(name.c_str(), BM_Capture, &c, false)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime();
  }
  benchmark::RegisterBenchmark("Resample/core-16kHz-to-8kHz", BM_CoreConverter)
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime();
  for (const Case& c : kCases) {
    benchmark::RegisterBenchmark((std::string("CaptureDecode/") + c.name).c_str(), BM_Capture, &c,
                                 true)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
