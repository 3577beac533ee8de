// Decoder benchmark.
//
// Speed (Google Benchmark): for each test configuration, CPU time per second
// of audio through Tembrolexin_ProcessData in blocks of 1024 samples; the
// counter "xRealtime" is seconds of audio per CPU second (the real-time
// factor). Run with --benchmark_repetitions=5 for medians.
//
// Quality (plain tables after the speed runs, skipped with --speed-only):
// word decode rate and wrong words per word sent versus SNR, versus echo
// depth and under clipping, dropouts and a clock error of +-100 ppm, and
// words decoded per hour of unmarked white noise, pink noise and a
// music-like host. A wrong word is a decoded word that was not sent.
// TL_BENCH_WORDS (default 100) sets the words per cell and
// TL_BENCH_NOISE_MINUTES (default 60) the length of the unmarked runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/decoder_library.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace {

using namespace tembrolexinsdk;

struct Config {
  const char* name;
  const char* file;
};

const Config kConfigs[] = {
    {"T1", "scheme_t1_vt.cfg"},  {"T2", "scheme_t2_vtw.cfg"}, {"T3", "scheme_t3_ch8.cfg"},
    {"T4", "scheme_t4_cs4.cfg"}, {"T5", "scheme_t5_vc.cfg"},
};

// The quality tables also cover the punctured T5 variant.
const Config kQualityConfigs[] = {
    {"T1", "scheme_t1_vt.cfg"},  {"T2", "scheme_t2_vtw.cfg"}, {"T3", "scheme_t3_ch8.cfg"},
    {"T4", "scheme_t4_cs4.cfg"}, {"T5", "scheme_t5_vc.cfg"},  {"T5p", "scheme_t5_vc_punctured.cfg"},
};

int32_t envCount(const char* name, int32_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::max(1, std::atoi(text)) : fallback;
}

// The shared test configurations: $TL_TEST_DATA, else tests/data beside
// this source file.
std::string dataFile(const char* name) {
  if (const char* dir = std::getenv("TL_TEST_DATA")) return std::string(dir) + "/" + name;
  const std::string self = __FILE__;
  const size_t cut = self.rfind("/bench/");
  const std::string root = cut == std::string::npos ? "." : self.substr(0, cut);
  return root + "/tests/data/" + name;
}

struct ContextDeleter {
  void operator()(DecoderLibraryContext* c) const { Tembrolexin_Close(c); }
};
using ContextPtr = std::unique_ptr<DecoderLibraryContext, ContextDeleter>;

ContextPtr open(const char* file) {
  ContextPtr ctx(Tembrolexin_Init2(dataFile(file).c_str(), 1));
  if (!ctx) {
    std::fprintf(stderr, "decoder_bench: %s: %s\n", file, Tembrolexin_GetErrorMsg());
    std::exit(2);
  }
  return ctx;
}

int64_t wordFor(int32_t scheme, int32_t i) {
  switch (scheme) {
    case kSchemeVorselT:
    case kSchemeVorselTW:
      return createVorselTvCodeWord(54321, 1000 + i);
    case kSchemeConsumerH8:
      return createEventEngine2CodeWord(777, i);
    case kSchemeConsumerS4:
      return createHeartBeat2CodeWord(999, 1900000 + i);
    case kSchemeVorselC:
      return (int64_t{1} << 20) | (int64_t{321} << 10) | ((100 + i / 2) % 1024);
    default:
      return 0x123400 + i;
  }
}

struct Result {
  int64_t right = 0;
  int64_t wrong = 0;
};

// Decodes a stream in blocks of 1024; counts decoded words that were sent
// (each once) and words that were not.
Result decodeAndCount(DecoderLibraryContext* ctx, std::vector<int16_t>& stream,
                      const std::vector<int64_t>& sent) {
  const int32_t schemes = Tembrolexin_NEncodingSchemes(ctx);
  std::vector<PerformanceData> records(schemes);
  std::vector<bool> seen(sent.size(), false);
  Result r;
  for (size_t at = 0; at < stream.size(); at += 1024) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(1024, stream.size() - at));
    Tembrolexin_ProcessData(ctx, stream.data() + at, n, records.data());
    for (const PerformanceData& d : records) {
      if (d.msg < 0 || d.nFecErrors < 0) continue;
      bool matched = false;
      for (size_t i = 0; i < sent.size(); ++i) {
        if (!seen[i] && sent[i] == d.msg) {
          seen[i] = matched = true;
          break;
        }
      }
      if (matched) {
        ++r.right;
      } else {
        ++r.wrong;
      }
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// Speed.

void BM_Decode(benchmark::State& state, const Config* config) {
  ContextPtr probe = open(config->file);
  const SchemeConfig& cfg = *getEchoModParameters(probe.get(), 0);
  tltest::GeneratorOptions options;
  options.seed = 4;
  std::vector<int64_t> words;
  const int32_t rate = Tembrolexin_FsIn(probe.get());
  // About a minute of audio with words throughout.
  const tltest::GeneratedSignal one = tltest::generateSignal(cfg, {wordFor(cfg.scheme, 0)}, options);
  const int32_t count = std::max<int32_t>(1, static_cast<int32_t>(60.0 * rate / one.samples.size()));
  for (int32_t i = 0; i < count; ++i) words.push_back(wordFor(cfg.scheme, i));
  const tltest::GeneratedSignal signal = tltest::generateSignal(cfg, words, options);
  const double audioSeconds = static_cast<double>(signal.samples.size()) / rate;
  std::vector<int16_t> stream;
  for (auto _ : state) {
    state.PauseTiming();
    ContextPtr ctx = open(config->file);
    stream = signal.samples;
    std::vector<PerformanceData> records(Tembrolexin_NEncodingSchemes(ctx.get()));
    state.ResumeTiming();
    for (size_t at = 0; at < stream.size(); at += 1024) {
      const int32_t n = static_cast<int32_t>(std::min<size_t>(1024, stream.size() - at));
      benchmark::DoNotOptimize(
          Tembrolexin_ProcessData(ctx.get(), stream.data() + at, n, records.data()));
    }
    state.PauseTiming();
    ctx.reset();
    state.ResumeTiming();
  }
  state.counters["xRealtime"] =
      benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["audio_s"] = audioSeconds;
}

// ---------------------------------------------------------------------------
// Quality tables.

void snrTable(int32_t words) {
  const double snrs[] = {40, 20, 10, 5, 3, 0, -3};
  std::printf("\nWord decode rate and wrong words per word sent versus SNR (depth 0.3, "
              "white noise, %d words)\n", words);
  std::printf("%-4s", "");
  for (double s : snrs) std::printf(" %9.0f dB", s);
  std::printf("\n");
  for (const Config& c : kQualityConfigs) {
    std::printf("%-4s", c.name);
    for (double snr : snrs) {
      ContextPtr ctx = open(c.file);
      const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
      std::vector<int64_t> sent;
      for (int32_t i = 0; i < words; ++i) sent.push_back(wordFor(cfg.scheme, i));
      tltest::GeneratorOptions options;
      options.seed = 17;
      options.leadIn = 3000;
      options.tail = 8000;
      tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
      const int32_t rate = Tembrolexin_FsIn(ctx.get());
      tltest::addNoise(&signal.samples, rate, snr, tltest::NoiseKind::kWhite, 23, 100,
                       rate / 2 - 100);
      const Result r = decodeAndCount(ctx.get(), signal.samples, sent);
      std::printf("  %3.0f%% %4.1f%%", 100.0 * r.right / sent.size(),
                  100.0 * r.wrong / sent.size());
    }
    std::printf("\n");
  }
}

void depthTable(int32_t words) {
  const double depths[] = {0.3, 0.2, 0.1, 0.05, 0.03};
  std::printf("\nWord decode rate and wrong words per word sent versus echo depth "
              "(20 dB SNR, %d words)\n", words);
  std::printf("%-4s", "");
  for (double d : depths) std::printf(" %11.2f", d);
  std::printf("\n");
  for (const Config& c : kQualityConfigs) {
    std::printf("%-4s", c.name);
    for (double depth : depths) {
      ContextPtr ctx = open(c.file);
      const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
      std::vector<int64_t> sent;
      for (int32_t i = 0; i < words; ++i) sent.push_back(wordFor(cfg.scheme, i));
      tltest::GeneratorOptions options;
      options.seed = 19;
      options.depth = depth;
      options.leadIn = 3000;
      options.tail = 8000;
      tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
      const int32_t rate = Tembrolexin_FsIn(ctx.get());
      tltest::addNoise(&signal.samples, rate, 20, tltest::NoiseKind::kWhite, 29, 100,
                       rate / 2 - 100);
      const Result r = decodeAndCount(ctx.get(), signal.samples, sent);
      std::printf("  %3.0f%% %4.1f%%", 100.0 * r.right / sent.size(),
                  100.0 * r.wrong / sent.size());
    }
    std::printf("\n");
  }
}

// Words at depth 0.3 and 20 dB SNR as they are, clipped to 4000 (the host
// is at 3000 RMS), with dropouts of 50 to 4000 samples, and played 100 ppm
// fast and slow.
void impairmentTable(int32_t words) {
  const char* names[] = {"clean", "clipped", "dropouts", "+100 ppm", "-100 ppm"};
  std::printf("\nWord decode rate and wrong words per word sent under impairments "
              "(depth 0.3, 20 dB SNR, %d words)\n", words);
  std::printf("%-4s", "");
  for (const char* n : names) std::printf(" %11s", n);
  std::printf("\n");
  for (const Config& c : kQualityConfigs) {
    std::printf("%-4s", c.name);
    ContextPtr probe = open(c.file);
    const SchemeConfig& cfg = *getEchoModParameters(probe.get(), 0);
    const int32_t rate = Tembrolexin_FsIn(probe.get());
    std::vector<int64_t> sent;
    for (int32_t i = 0; i < words; ++i) sent.push_back(wordFor(cfg.scheme, i));
    tltest::GeneratorOptions options;
    options.seed = 37;
    options.leadIn = 3000;
    options.tail = 8000;
    tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
    tltest::addNoise(&signal.samples, rate, 20, tltest::NoiseKind::kWhite, 43, 100,
                     rate / 2 - 100);
    const std::vector<int16_t>& clean = signal.samples;
    const size_t n = clean.size();
    for (int v = 0; v < 5; ++v) {
      std::vector<int16_t> stream;
      switch (v) {
        case 0:
          stream = clean;
          break;
        case 1:
          stream = clean;
          tltest::clip(&stream, 4000);
          break;
        case 2:
          stream = clean;
          tltest::dropouts(&stream, {{n / 7, 400}, {n / 3, 4000}, {n / 2, 50}, {n * 4 / 5, 1500}});
          break;
        default:
          stream = tltest::sampleRateOffset(clean, v == 3 ? 100 : -100);
          break;
      }
      ContextPtr ctx = open(c.file);
      const Result r = decodeAndCount(ctx.get(), stream, sent);
      std::printf("  %3.0f%% %4.1f%%", 100.0 * r.right / sent.size(),
                  100.0 * r.wrong / sent.size());
    }
    std::printf("\n");
  }
}

// A music-like host: a few harmonic notes that change every half second,
// with decaying envelopes and a little noise.
std::vector<int16_t> musicLike(size_t n, int32_t rate, uint32_t seed) {
  std::vector<int16_t> out(n);
  const double notes[] = {220.0, 246.9, 261.6, 293.7, 329.6, 349.2, 392.0, 440.0};
  uint32_t x = seed;
  auto next = [&x]() {
    x = x * 1664525u + 1013904223u;
    return x >> 8;
  };
  const size_t noteLength = static_cast<size_t>(rate / 2);
  double f1 = 220, f2 = 330;
  const std::vector<double> hiss = tltest::makeNoise(tltest::NoiseKind::kPink, n, seed + 1);
  for (size_t i = 0; i < n; ++i) {
    if (i % noteLength == 0) {
      f1 = notes[next() % 8];
      f2 = notes[next() % 8] * 1.5;
    }
    const double t = static_cast<double>(i) / rate;
    const double env = std::exp(-3.0 * static_cast<double>(i % noteLength) / rate);
    double v = 0;
    for (int h = 1; h <= 4; ++h) {
      v += std::sin(2 * M_PI * f1 * h * t) / h + 0.6 * std::sin(2 * M_PI * f2 * h * t) / h;
    }
    out[i] = tltest::saturate16(4000 * env * v + 150 * hiss[i]);
  }
  return out;
}

void unmarkedTable() {
  const int32_t minutes = envCount("TL_BENCH_NOISE_MINUTES", 60);
  std::printf("\nWords decoded per hour of unmarked audio (%d minute(s) each)\n", minutes);
  std::printf("%-4s %12s %12s %12s\n", "", "white", "pink", "music-like");
  for (const Config& c : kQualityConfigs) {
    std::printf("%-4s", c.name);
    for (int kind = 0; kind < 3; ++kind) {
      ContextPtr ctx = open(c.file);
      const int32_t rate = Tembrolexin_FsIn(ctx.get());
      int64_t words = 0;
      for (int32_t m = 0; m < minutes; ++m) {
        std::vector<int16_t> chunk;
        const size_t n = static_cast<size_t>(rate) * 60;
        if (kind == 2) {
          chunk = musicLike(n, rate, 1000 + m);
        } else {
          const std::vector<double> noise = tltest::makeNoise(
              kind == 0 ? tltest::NoiseKind::kWhite : tltest::NoiseKind::kPink, n, 500 + m);
          chunk.resize(n);
          for (size_t i = 0; i < n; ++i) chunk[i] = tltest::saturate16(3000 * noise[i]);
        }
        words += decodeAndCount(ctx.get(), chunk, {}).wrong;
      }
      std::printf(" %12.1f", 60.0 * words / minutes);
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool speedOnly = false;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--speed-only") == 0) {
      speedOnly = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  for (const Config& c : kConfigs) {
    benchmark::RegisterBenchmark((std::string("Decode/") + c.name).c_str(), BM_Decode, &c)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime();
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!speedOnly) {
    const int32_t words = envCount("TL_BENCH_WORDS", 100);
    snrTable(words);
    depthTable(words);
    impairmentTable(words);
    unmarkedTable();
  }
  return 0;
}
