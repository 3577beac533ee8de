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
// music-like host; the decode rate with a synthesised speech host (espeak-ng)
// at two echo depths; and wrong words by confidence grade and corrected
// symbols, per word sent and per hour of unmarked audio. A wrong word is a
// decoded word that was not sent; one "vouched for" is graded 1, 2 or 4
// with at most one corrected symbol.
// TL_BENCH_WORDS (default 100) sets the words per cell and
// TL_BENCH_NOISE_MINUTES (default 60) the length of the unmarked runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_data.h"
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

// The mixed-rate configuration (an 8 kHz VT scheme on the decimated copy of
// a 16 kHz input that also carries a CS4 scheme) joins the impairment and
// unmarked runs, whose wrong words are counted by grade.
const Config kMixed = {"Mixed", "scheme_mixed_8k_16k.cfg"};

int32_t envCount(const char* name, int32_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::max(1, std::atoi(text)) : fallback;
}

using tlbench::dataFile;

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
  int64_t wrongByGrade[5] = {};   // msgConfidence 0 .. 4
  int64_t wrongByErrors[3] = {};  // 0, 1, 2 or more corrected symbols
  int64_t vouched = 0;            // grade 1, 2 or 4 with at most one corrected symbol
  void add(const Result& o) {
    right += o.right;
    wrong += o.wrong;
    for (int g = 0; g < 5; ++g) wrongByGrade[g] += o.wrongByGrade[g];
    for (int e = 0; e < 3; ++e) wrongByErrors[e] += o.wrongByErrors[e];
    vouched += o.vouched;
  }
};

// Wrong words of the impairment runs (per word sent) and of the unmarked
// runs (per kind of host), by configuration, for the grade table.
struct GradeTally {
  Result sent;
  int64_t wordsSent = 0;
  Result unmarked[3];
  double hours = 0;
};
std::map<std::string, GradeTally>& gradeTallies() {
  static std::map<std::string, GradeTally> tallies;
  return tallies;
}

// Decodes a stream in blocks of 1024; counts decoded words that were sent
// (each once) and words that were not, these by grade and corrections.
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
        const int32_t grade = std::clamp(d.msgConfidence, 0, 4);
        ++r.wrongByGrade[grade];
        ++r.wrongByErrors[std::min<int32_t>(d.nFecErrors, 2)];
        if (grade != 0 && grade != 3 && d.nFecErrors <= 1) ++r.vouched;
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

// Words sent through one context: the stream at the context's input rate and
// the words of every scheme. The mixed configuration carries VT words
// rendered at 8 kHz and resampled, as the host of 16 kHz CS4 words.
struct Marked {
  std::vector<int16_t> samples;
  std::vector<int64_t> sent;
  int32_t rate = 0;
};

Marked markedStream(const Config& c, int32_t words, uint32_t seed, double depth) {
  ContextPtr probe = open(c.file);
  Marked m;
  m.rate = Tembrolexin_FsIn(probe.get());
  const SchemeConfig& first = *getEchoModParameters(probe.get(), 0);
  tltest::GeneratorOptions options;
  options.seed = seed;
  options.depth = depth;
  options.leadIn = 3000;
  options.tail = 8000;
  std::vector<int64_t> sent;
  for (int32_t i = 0; i < words; ++i) sent.push_back(wordFor(first.scheme, i));
  tltest::GeneratedSignal signal = tltest::generateSignal(first, sent, options);
  m.sent = sent;
  if (Tembrolexin_NEncodingSchemes(probe.get()) == 1) {
    m.samples = std::move(signal.samples);
    return m;
  }
  const SchemeConfig& second = *getEchoModParameters(probe.get(), 1);
  tltest::GeneratorOptions high = options;
  high.host = tltest::HostKind::kGiven;
  high.hostSamples = tltest::resample16(signal.samples, signal.rateHz, m.rate);
  tltest::GeneratorOptions bare = high;
  bare.leadIn = bare.tail = 0;
  const int64_t perWord = static_cast<int64_t>(
      tltest::generateSignal(second, {wordFor(second.scheme, 0)}, bare).samples.size());
  const int64_t hostLength = static_cast<int64_t>(high.hostSamples.size());
  const int64_t count = std::max<int64_t>(1, (hostLength - high.leadIn) / perWord - 1);
  std::vector<int64_t> more;
  for (int64_t i = 0; i < count; ++i) more.push_back(wordFor(second.scheme, static_cast<int32_t>(i)));
  high.tail = std::max<int64_t>(0, hostLength - high.leadIn - count * perWord);  // as long as the host
  tltest::GeneratedSignal both = tltest::generateSignal(second, more, high);
  m.samples = std::move(both.samples);
  m.sent.insert(m.sent.end(), more.begin(), more.end());
  return m;
}

// Words at depth 0.3 and 20 dB SNR as they are, clipped to 4000 (the host
// is at 3000 RMS), with dropouts of 50 to 4000 samples, and played 100 ppm
// fast and slow.
void impairmentTable(int32_t words) {
  const char* names[] = {"clean", "clipped", "dropouts", "+100 ppm", "-100 ppm"};
  std::printf("\nWord decode rate and wrong words per word sent under impairments "
              "(depth 0.3, 20 dB SNR, %d words)\n", words);
  std::printf("%-5s", "");
  for (const char* n : names) std::printf(" %11s", n);
  std::printf("\n");
  std::vector<Config> configs(std::begin(kQualityConfigs), std::end(kQualityConfigs));
  configs.push_back(kMixed);
  for (const Config& c : configs) {
    std::printf("%-5s", c.name);
    Marked marked = markedStream(c, words, 37, 0.3);
    const int32_t rate = marked.rate;
    tltest::addNoise(&marked.samples, rate, 20, tltest::NoiseKind::kWhite, 43, 100,
                     rate / 2 - 100);
    const std::vector<int16_t>& clean = marked.samples;
    const std::vector<int64_t>& sent = marked.sent;
    const size_t n = clean.size();
    GradeTally& tally = gradeTallies()[c.name];
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
      tally.sent.add(r);
      tally.wordsSent += static_cast<int64_t>(sent.size());
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
  std::printf("%-5s %12s %12s %12s\n", "", "white", "pink", "music-like");
  std::vector<Config> configs(std::begin(kQualityConfigs), std::end(kQualityConfigs));
  configs.push_back(kMixed);
  for (const Config& c : configs) {
    std::printf("%-5s", c.name);
    GradeTally& tally = gradeTallies()[c.name];
    tally.hours = minutes / 60.0;
    for (int kind = 0; kind < 3; ++kind) {
      ContextPtr ctx = open(c.file);
      const int32_t rate = Tembrolexin_FsIn(ctx.get());
      Result all;
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
        all.add(decodeAndCount(ctx.get(), chunk, {}));
      }
      tally.unmarked[kind] = all;
      std::printf(" %12.1f", 60.0 * all.wrong / minutes);
    }
    std::printf("\n");
  }
}

// Wrong words of the impairment and unmarked runs by confidence grade and
// by corrected symbols. Per word sent: percent of the words sent; unmarked:
// words per hour. "vouched" counts grades 1, 2 and 4 with at most one
// corrected symbol: the words the decoder vouches for.
void gradeTable() {
  std::printf("\nWrong words by grade (g1..g4) and corrected symbols (e0, e1, e2+)\n");
  std::printf("%-5s %-14s %6s %6s %6s %6s %6s %6s %6s %8s\n", "", "", "g1", "g2", "g3", "g4",
              "e0", "e1", "e2+", "vouched");
  auto row = [](const char* name, const char* what, const Result& r, double scale) {
    std::printf("%-5s %-14s", name, what);
    for (int g = 1; g < 5; ++g) std::printf(" %6.2f", r.wrongByGrade[g] * scale);
    for (int e = 0; e < 3; ++e) std::printf(" %6.2f", r.wrongByErrors[e] * scale);
    std::printf(" %8.2f\n", r.vouched * scale);
  };
  const char* kinds[] = {"/h white", "/h pink", "/h music-like"};
  for (auto& [name, t] : gradeTallies()) {
    if (t.wordsSent > 0) row(name.c_str(), "% of sent", t.sent, 100.0 / t.wordsSent);
    if (t.hours > 0) {
      for (int k = 0; k < 3; ++k) row(name.c_str(), kinds[k], t.unmarked[k], 1.0 / t.hours);
    }
  }
}

// Speech synthesised by espeak-ng (its WAV on stdout, 22050 Hz), resampled
// to `rate` and scaled to 3000 RMS; empty when espeak-ng is missing.
std::vector<int16_t> speech(int32_t rate) {
  static const char* kText =
      "The evening news begins with the weather. Heavy rain is expected in the north "
      "tomorrow, with strong winds along the coast. In the south it will stay dry and "
      "mild, and the sun should come out in the afternoon. Now to sport. The home team "
      "won their third match in a row last night, after a goal in the final minute. "
      "Their coach said that the players had worked hard all week, and that the fans "
      "had carried them through the second half. Next, a look at the markets, where "
      "prices rose slowly for most of the day before falling back at the close.";
  const std::string command =
      std::string("espeak-ng --stdout -s 165 \"") + kText + "\" 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  if (pclose(pipe) != 0 || bytes.size() < 44) return {};
  // The samples follow the "data" chunk's header; espeak-ng writing to a
  // pipe may leave its size unset, so everything after it is taken.
  size_t at = 12;
  while (at + 8 <= bytes.size() && std::memcmp(&bytes[at], "data", 4) != 0) {
    const uint32_t size = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 |
                          static_cast<uint32_t>(bytes[at + 7]) << 24;
    at += 8 + size + (size & 1);
  }
  if (at + 8 > bytes.size()) return {};
  std::vector<int16_t> voice((bytes.size() - at - 8) / 2);
  std::memcpy(voice.data(), &bytes[at + 8], voice.size() * 2);
  std::vector<int16_t> out = tltest::resample16(voice, 22050, rate);
  double power = 0;
  for (int16_t v : out) power += static_cast<double>(v) * v;
  const double scale = out.empty() || power == 0 ? 0 : 3000.0 / std::sqrt(power / out.size());
  for (int16_t& v : out) v = tltest::saturate16(v * scale);
  return out;
}

// Words carried by speech at depths 0.3 and 0.5, with white noise 30 dB
// below the speech in band (a quiet room): an echo rides on the host's own
// energy, so the pauses between phrases cost words.
void speechTable(int32_t words) {
  const double depths[] = {0.3, 0.5};
  if (speech(8000).empty()) {
    std::printf("\nSpeech host: espeak-ng not found, table skipped\n");
    return;
  }
  std::printf("\nWord decode rate and wrong words per word sent with a speech host "
              "(espeak-ng, 30 dB SNR, %d words)\n", words);
  std::printf("%-5s", "");
  for (double d : depths) std::printf(" %11.1f", d);
  std::printf("\n");
  for (const Config& c : kQualityConfigs) {
    std::printf("%-5s", c.name);
    for (double depth : depths) {
      ContextPtr ctx = open(c.file);
      const SchemeConfig& cfg = *getEchoModParameters(ctx.get(), 0);
      const int32_t rate = Tembrolexin_FsIn(ctx.get());
      std::vector<int64_t> sent;
      for (int32_t i = 0; i < words; ++i) sent.push_back(wordFor(cfg.scheme, i));
      tltest::GeneratorOptions options;
      options.seed = 53;
      options.depth = depth;
      options.host = tltest::HostKind::kGiven;
      options.hostSamples = speech(rate);
      options.leadIn = 3000;
      options.tail = 8000;
      tltest::GeneratedSignal signal = tltest::generateSignal(cfg, sent, options);
      tltest::addNoise(&signal.samples, rate, 30, tltest::NoiseKind::kWhite, 59, 100,
                       rate / 2 - 100);
      const Result r = decodeAndCount(ctx.get(), signal.samples, sent);
      std::printf("  %3.0f%% %4.1f%%", 100.0 * r.right / sent.size(),
                  100.0 * r.wrong / sent.size());
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
    speechTable(words);
    impairmentTable(words);
    unmarkedTable();
    gradeTable();
  }
  return 0;
}
