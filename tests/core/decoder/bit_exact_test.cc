// Guards the integer arithmetic of the front end, the matched filter and the
// Viterbi decoder against straightforward per-sample models written from
// their rules: plain loops over the whole history, no rings to wrap, no
// skipped taps. The library's versions are free to reorder and vectorise the
// work, but every output value must come out the same, bit for bit, for
// generated code audio and for random full-scale input, in every shared test
// configuration.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/decoder/circular_buffer.h"
#include "core/decoder/convolutional_code.h"
#include "core/decoder/front_end.h"
#include "core/decoder/matched_filter.h"
#include "core/decoder/scheme_config.h"
#include "core/decoder/scheme_config_reader.h"
#include "tools/signal/signal_generator.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

// ---------------------------------------------------------------------------
// Reference models.

int64_t clampTo(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// Samples before the first are 0.
template <typename T>
T historyAt(const std::vector<T>& h, int64_t index) {
  return index >= 0 && index < static_cast<int64_t>(h.size()) ? h[index] : T{0};
}

// Fixed-length window: push drops and returns the oldest; back(0) is the newest.
template <typename T>
struct Window {
  std::vector<T> v;
  size_t head = 0;  // next slot to write (the oldest)
  explicit Window(size_t n) : v(n, T{0}) {}
  T push(T x) {
    const T old = v[head];
    v[head] = x;
    head = (head + 1) % v.size();
    return old;
  }
  T back(size_t k) const { return v[(head + v.size() - 1 - k) % v.size()]; }
  size_t size() const { return v.size(); }
};

struct RefLevelMeter {
  int64_t window, left, sum = 0;
  std::vector<int16_t> history;  // every level so far
  size_t slots;
  int16_t current = 0, levelSum = 0;
  RefLevelMeter(int32_t rate, int32_t messageMs)
      : window(rate * 1000), left(rate * 1000), slots(messageMs / 1000) {}
  void run(const int16_t* s, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
      sum += static_cast<int64_t>(s[i]) * s[i];
      if (--left > 0) continue;
      const float mean = static_cast<float>(static_cast<int32_t>(sum / window));
      const int32_t level = mean > 0.0f ? static_cast<int32_t>(10.0f * std::log10(mean)) : 0;
      const int16_t oldest =
          history.size() >= slots ? history[history.size() - slots] : int16_t{0};
      history.push_back(static_cast<int16_t>(level));
      levelSum = static_cast<int16_t>(levelSum + level - oldest);
      current = static_cast<int16_t>(current + (level >> 2) - (current >> 2));
      sum = 0;
      left = window;
    }
  }
};

struct RefPreFilter {
  std::vector<int32_t> c;
  std::vector<int16_t> x;
  RefPreFilter(int32_t rate, int32_t longFilter) {
    if (rate == 16 && longFilter != 0) {
      c = {1, 1, -1, -2, -1, 1, 1};
    } else {
      c = {1, -2, 1};
    }
  }
  void run(int16_t* s, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
      x.push_back(s[i]);
      const int64_t now = static_cast<int64_t>(x.size()) - 1;
      int32_t sum = 0;
      for (size_t k = 0; k < c.size(); ++k) sum += c[k] * historyAt(x, now - static_cast<int64_t>(k));
      s[i] = static_cast<int16_t>(sum >> 2);
    }
  }
};

struct RefBandSplit {
  std::vector<int16_t> low, high, x;
  RefBandSplit(const int16_t* lo, const int16_t* hi, int32_t taps)
      : low(lo, lo + taps), high(hi, hi + taps) {}
  void run(int16_t* s, int32_t n) {
    int32_t i = 0;
    for (; i + 1 < n; i += 2) {
      x.push_back(s[i]);
      x.push_back(s[i + 1]);
      const int64_t now = static_cast<int64_t>(x.size()) - 1;
      int32_t lo = 0, hi = 0;
      for (size_t k = 0; k < low.size(); ++k) {
        const int32_t v = historyAt(x, now - static_cast<int64_t>(k));
        lo += low[k] * v;
        hi += high[k] * v;
      }
      s[i] = static_cast<int16_t>(lo >> 8);
      s[i + 1] = static_cast<int16_t>(hi >> 8);
    }
    if (i < n) x.push_back(s[i]);
  }
};

struct RefMatchedFilter {
  struct Position {
    int64_t aDelay, bDelay, align;
    int64_t acc = 0, absAcc = 0, energy = 0;
    Window<int32_t> values, absValues;
    Window<int16_t> corr;
    std::vector<int8_t> soft;  // every soft symbol so far
    Position(size_t valueSlots, size_t halfN) : values(valueSlots), absValues(halfN), corr(halfN) {}
  };
  int32_t form, n, frames, shift, stepLength, countdown, sign;
  std::vector<int16_t> x;
  std::vector<int16_t> pulse;
  std::vector<Position> pos;

  RefMatchedFilter(const SchemeConfig& c, int32_t rate, int32_t band) {
    form = c.unitForm;
    n = c.phaseCount;
    frames = schemeFramesPerCodeword(&c);
    shift = rate < 9 ? 10 : 11;
    sign = schemeBandSign(&c, band);
    const int32_t symbol = quarterMsToSamples(c.symbolDuration, rate);
    stepLength = symbol / n;
    countdown = stepLength;
    const int32_t h = symbol / 2;
    const int32_t step = form == 0 ? 1 : symbol / n;
    for (int32_t t = form == 0 ? 0 : step / 2; t < h; t += step) {
      const float s = std::sin(static_cast<float>(t) * 3.14159f / static_cast<float>(h));
      pulse.push_back(static_cast<int16_t>(std::floor(s * 128.0f + 0.5f)));
    }
    const int32_t p = c.positionCount;
    const int64_t d = quarterMsToSamples(c.comparisonDelay, rate);
    const int64_t length = d + quarterMsToSamples(c.positionLags[p - 1], rate);
    for (int32_t i = 0; i < p; ++i) {
      pos.emplace_back(form == 0 ? h : n / 2, n / 2);
      Position& q = pos.back();
      q.aDelay = length - quarterMsToSamples(c.positionLags[i], rate);
      q.bDelay = q.aDelay - d;
      q.align = static_cast<int64_t>(quarterMsToSamples(c.positionAlignments[p - 1 - i], rate)) *
                n / symbol;
    }
  }

  void emit(Position& q) {
    const int32_t v = static_cast<int32_t>(clampTo(q.acc, INT32_MIN, INT32_MAX));
    const int32_t old = q.values.push(v);
    if (form == 2) {
      const int32_t w = static_cast<int32_t>(clampTo(q.absAcc, INT32_MIN, INT32_MAX));
      q.energy += w;
      q.energy -= q.absValues.push(w);
    } else {
      q.energy += std::abs(static_cast<int64_t>(v));
      q.energy -= std::abs(static_cast<int64_t>(old));
    }
    q.acc = 0;
    q.absAcc = 0;
  }

  int32_t run(int16_t* frame, int32_t length, int32_t band, int32_t bands) {
    int32_t steps = 0;
    for (int32_t j = band; j < length; j += bands) {
      const int32_t s = frame[j];
      x.push_back(static_cast<int16_t>(s));
      const int64_t now = static_cast<int64_t>(x.size()) - 1;
      --countdown;
      for (Position& q : pos) {
        const int32_t a = historyAt(x, now - q.aDelay);
        const int32_t b = historyAt(x, now - q.bDelay);
        const int32_t d = a / 2 - b / 2;
        const int32_t p = (d * s + (1 << (shift - 1))) >> shift;
        q.acc += p;
        q.absAcc += std::abs(p);
        if (form == 0) emit(q);
      }
      if (countdown > 0) continue;
      int64_t frameValue = 0;
      for (Position& q : pos) {
        if (form != 0) emit(q);
        int64_t c = 0;
        const size_t terms = std::min(q.values.size(), pulse.size());
        for (size_t k = 0; k < terms; ++k) c += static_cast<int64_t>(q.values.back(k)) * pulse[k];
        const int64_t r64 = q.energy == 0 ? c : (c + q.energy / 2) / q.energy;
        const int16_t r = static_cast<int16_t>(clampTo(r64, -32768, 32767));
        int32_t d = r - q.corr.push(r);
        if (sign < 0) d = -d;
        if (form == 1) d /= 2;
        d = static_cast<int32_t>(clampTo(d, -128, 127));
        const int64_t window = q.align + static_cast<int64_t>(n) * frames;
        const int8_t leaving = historyAt(q.soft, static_cast<int64_t>(q.soft.size()) - window);
        q.soft.push_back(static_cast<int8_t>(d));
        frameValue -= std::abs(static_cast<int32_t>(leaving));
      }
      frame[band + steps * bands] = static_cast<int16_t>(clampTo(frameValue, -32768, 32767));
      ++steps;
      countdown = stepLength;
    }
    return steps;
  }
};

// Tail-biting Viterbi decoding, state by state: the predecessors of new
// state s are s >> 1 and (s >> 1) + 2^(K-2), reached by the register
// (old << 1) | (s & 1).
int refViterbi(const ConvolutionalCodeParams& p, int m, const std::vector<uint8_t>& soft,
               std::vector<uint8_t>* out) {
  const int g = p.generatorCount, k = p.constraintLength;
  const int symbols = static_cast<int>(soft.size()) / g / m;
  out->assign(symbols > 0 ? symbols : 0, 0);
  if (symbols < 1) return 0;
  const int steps = symbols * m;
  const int warmUp = p.wrapLength + k - 1;
  const int total = steps + p.wrapLength + warmUp;
  const int states = 1 << (k - 1), half = 1 << (k - 2);
  std::vector<int> metric(states, 0), next(states);
  std::vector<std::vector<uint8_t>> decisions;
  for (int t = 0; t < total; ++t) {
    const int at = ((t - warmUp) % steps + steps) % steps;
    auto branch = [&](uint32_t reg) {
      int sum = 0;
      for (int j = 0; j < g; ++j) {
        const uint8_t s = soft[static_cast<size_t>(at) * g + j];
        sum += convSoftMetric((std::popcount(p.generators[j] & reg) & 1) ? 255 - s : s);
      }
      return sum;
    };
    std::vector<uint8_t> dec(states);
    for (int s = 0; s < states; ++s) {
      const int lower = s >> 1, upper = lower + half;
      const int fromLower = metric[lower] + branch((static_cast<uint32_t>(lower) << 1) | (s & 1));
      const int fromUpper = metric[upper] + branch((static_cast<uint32_t>(upper) << 1) | (s & 1));
      dec[s] = fromUpper > fromLower;
      next[s] = dec[s] ? fromUpper : fromLower;
    }
    metric.swap(next);
    if (t >= warmUp) decisions.push_back(dec);
  }
  int state = 0;
  for (int s = 1; s < states; ++s) {
    if (metric[s] > metric[state]) state = s;
  }
  for (int t = steps + p.wrapLength - 1; t >= 0; --t) {
    if (t < steps) (*out)[t / m] |= static_cast<uint8_t>((state & 1) << (m - 1 - t % m));
    state = (state >> 1) + (decisions[t][state] ? half : 0);
  }
  return symbols;
}

// ---------------------------------------------------------------------------
// Inputs.

std::vector<int16_t> fullScaleNoise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> any(-32768, 32767);
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    // Stretches of the extremes, so that the largest products occur.
    const size_t stretch = i / 500 % 4;
    if (stretch == 1) {
      v[i] = (i & 1) ? int16_t{32767} : int16_t{-32768};
    } else if (stretch == 2) {
      v[i] = (i / 7 & 1) ? int16_t{-32768} : int16_t{32767};
    } else {
      v[i] = static_cast<int16_t>(any(rng));
    }
  }
  return v;
}

std::vector<int16_t> generatorAudio(const SchemeConfig& c, int64_t maxSamples, uint32_t seed) {
  const tltest::SchemeGeometry geometry = tltest::schemeGeometry(c);
  std::mt19937 rng(seed);
  std::vector<uint8_t> bits(static_cast<size_t>(geometry.framesPerWord) * geometry.bands *
                            geometry.positions);
  for (uint8_t& b : bits) b = static_cast<uint8_t>(rng() & 1);
  tltest::GeneratorOptions options;
  options.seed = seed;
  options.depth = 0.5;
  options.leadIn = 1000;
  std::vector<int16_t> s = tltest::renderBits(c, {bits}, options).samples;
  if (static_cast<int64_t>(s.size()) > maxSamples) s.resize(static_cast<size_t>(maxSamples));
  return s;
}

// ---------------------------------------------------------------------------
// Configurations.

struct LoadedList {
  SchemeConfig* list = nullptr;
  MessageParams* params = nullptr;
  ~LoadedList() {
    freeSchemeConfigList(list);
    freeMessageParams(params);
  }
};

std::vector<std::string> configFiles() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(TL_TEST_DATA_DIR)) {
    if (e.path().extension() == ".cfg") names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct MatchedFilterDeleter {
  void operator()(MatchedFilter* f) const { matchedFilterFree(f); }
};
struct LevelMeterDeleter {
  void operator()(LevelMeter* m) const { levelMeterFree(m); }
};
struct PreFilterDeleter {
  void operator()(PreFilter* f) const { preFilterFree(f); }
};

struct BandPair {
  BandFilter low, high;
  BandPair(const BandRateEntry* lowTable, const BandRateEntry* highTable) {
    bandFilterInit(&low, lowTable);
    bandFilterInit(&high, highTable);
    bandFilterSetOwnsDelayLine(&high, 0);
  }
  ~BandPair() {
    bandFilterClear(&low);
    bandFilterClear(&high);
  }
};

// Compares every slot of every position's soft-symbol window.
void expectSameSoftSymbols(const MatchedFilter* f, const RefMatchedFilter& ref,
                           const std::string& where) {
  for (int32_t i = 0; i < f->positionCount; ++i) {
    const RefMatchedFilter::Position& q = ref.pos[i];
    ASSERT_EQ(f->energy[i], q.energy) << where << " position " << i;
    const CircularBuffer* ring = &f->softSymbols[i];
    const int64_t newest = static_cast<int64_t>(q.soft.size()) - 1;
    for (int32_t back = 0; back < ring->count; ++back) {
      ASSERT_EQ(CircularBufferCharAt(ring, back), historyAt(q.soft, newest - back))
          << where << " position " << i << " back " << back;
    }
  }
}

// Runs `audio` through level meter, pre-filter, band splitter (two bands)
// and one matched filter per band, in blocks of random length, next to the
// reference models, comparing every block's output.
void runChain(const SchemeConfig& c, const std::vector<int16_t>& audio, uint32_t seed,
              const std::string& where) {
  const int32_t rate = c.rateCode;
  const int32_t bands = schemeBandCount(&c);
  const int32_t messageMs = schemeFramesPerCodeword(&c) * c.symbolDuration / 4;
  std::unique_ptr<LevelMeter, LevelMeterDeleter> meter(
      levelMeterCreate(rate, messageMs < 1000 ? 1000 : messageMs));
  ASSERT_NE(meter, nullptr);
  RefLevelMeter refMeter(rate, messageMs < 1000 ? 1000 : messageMs);
  std::unique_ptr<PreFilter, PreFilterDeleter> pre(preFilterCreate(rate, c.longPreFilter));
  ASSERT_NE(pre, nullptr);
  RefPreFilter refPre(rate, c.longPreFilter);

  int32_t taps = 0;
  const int16_t* lowTable = bandLowPassTable(rate, &taps);
  const int16_t* highTable = bandHighPassTable(rate, &taps);
  const BandRateEntry lowList[] = {{rate, lowTable, taps}, {0, nullptr, 0}};
  const BandRateEntry highList[] = {{rate, highTable, taps}, {0, nullptr, 0}};
  BandPair split(lowList, highList);
  std::unique_ptr<RefBandSplit> refSplit;
  if (bands == 2) {
    ASSERT_NE(lowTable, nullptr);
    ASSERT_GE(bandFilterSetRate(&split.low, rate, 2), 0);
    ASSERT_GE(bandFilterSetRate(&split.high, rate, 2), 0);
    refSplit = std::make_unique<RefBandSplit>(lowTable, highTable, taps);
  }

  std::vector<std::unique_ptr<MatchedFilter, MatchedFilterDeleter>> filters;
  std::vector<RefMatchedFilter> refs;
  for (int32_t b = 0; b < bands; ++b) {
    filters.emplace_back(matchedFilterCreate(&c, schemeBandRate(&c, b)));
    ASSERT_NE(filters.back(), nullptr) << where;
    refs.emplace_back(c, schemeBandRate(&c, b), b);
  }

  std::mt19937 rng(seed);
  std::vector<int16_t> mine, theirs;
  size_t at = 0;
  int32_t block = 0;
  while (at < audio.size()) {
    size_t n = 1 + rng() % (block % 5 == 0 ? 8 : 1500);
    if (bands == 2) n = (n + 1) & ~size_t{1};
    n = std::min(n, audio.size() - at);
    if (bands == 2 && (n & 1)) break;
    mine.assign(audio.begin() + at, audio.begin() + at + n);
    theirs = mine;
    const std::string here = where + " block " + std::to_string(block) + " at " + std::to_string(at);
    const int32_t count = static_cast<int32_t>(n);
    levelMeterProcess(meter.get(), mine.data(), count);
    refMeter.run(theirs.data(), count);
    preFilterProcess(pre.get(), mine.data(), count);
    refPre.run(theirs.data(), count);
    ASSERT_EQ(mine, theirs) << here << " (pre-filter)";
    if (bands == 2) {
      bandSplit(&split.low, &split.high, mine.data(), count);
      refSplit->run(theirs.data(), count);
      ASSERT_EQ(mine, theirs) << here << " (band split)";
    }
    for (int32_t b = 0; b < bands; ++b) {
      const int32_t steps = matchedFilterProcess(filters[b].get(), mine.data(), count, b, bands);
      ASSERT_EQ(steps, refs[b].run(theirs.data(), count, b, bands)) << here;
    }
    ASSERT_EQ(mine, theirs) << here << " (matched filter)";
    if (block % 16 == 0) {
      for (int32_t b = 0; b < bands; ++b) expectSameSoftSymbols(filters[b].get(), refs[b], here);
    }
    at += n;
    ++block;
  }
  for (int32_t b = 0; b < bands; ++b) expectSameSoftSymbols(filters[b].get(), refs[b], where);
  // The comparison means something only if the symbols moved.
  int64_t nonZero = 0;
  for (const RefMatchedFilter& r : refs) {
    for (const RefMatchedFilter::Position& q : r.pos) {
      nonZero += std::count_if(q.soft.begin(), q.soft.end(), [](int8_t v) { return v != 0; });
    }
  }
  EXPECT_GT(nonZero, 100) << where;
  EXPECT_EQ(meter->currentLevel, refMeter.current) << where;
  EXPECT_EQ(meter->levelSum, refMeter.levelSum) << where;
}

class BitExact : public ::testing::TestWithParam<std::string> {};

TEST_P(BitExact, FrontEndAndMatchedFilterMatchTheReferenceInEveryForm) {
  LoadedList loaded;
  const std::string path = std::string(TL_TEST_DATA_DIR) + "/" + GetParam();
  loaded.list = readSchemeConfig(path.c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << path;
  uint32_t seed = 11;
  for (SchemeConfig* c = loaded.list; c != nullptr; c = c->next) {
    const int32_t rate = c->rateCode;
    // About three seconds of a code word, then two of full-scale noise.
    const std::vector<int16_t> code = generatorAudio(*c, 3 * 1000 * rate, seed);
    const std::vector<int16_t> noise = fullScaleNoise(2 * 1000 * rate, seed + 1);
    const int32_t savedForm = c->unitForm;
    for (int32_t form = 0; form <= 2; ++form) {
      c->unitForm = form;
      const std::string where = GetParam() + " scheme " + std::to_string(c->scheme) +
                                " form " + std::to_string(form);
      runChain(*c, code, seed + 2, where + " generator audio");
      runChain(*c, noise, seed + 3, where + " full-scale noise");
    }
    c->unitForm = savedForm;
    seed += 10;
  }
}

INSTANTIATE_TEST_SUITE_P(TestData, BitExact, ::testing::ValuesIn(configFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.find('.'));
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST_P(BitExact, ViterbiMatchesTheReferenceOnRandomSoftInput) {
  LoadedList loaded;
  const std::string path = std::string(TL_TEST_DATA_DIR) + "/" + GetParam();
  loaded.list = readSchemeConfig(path.c_str(), &loaded.params);
  ASSERT_NE(loaded.list, nullptr) << path;
  std::mt19937 rng(23);
  for (SchemeConfig* c = loaded.list; c != nullptr; c = c->next) {
    const ConvolutionalCodeParams& p = c->codec.conv;
    // The codec sizes its decoder for the longest inner block, in symbols
    // of the outer code's width (bits, for the binary code).
    const ConvCodewordSize size{c->codec.bitsPerSymbol, c->codec.codeSymbols};
    ConvolutionalCodec codec;
    ASSERT_EQ(convInit(&codec, &p, &size, 1), 1) << GetParam();
    const int m = size.symbolBits, g = p.generatorCount;
    for (int trial = 0; trial < 60; ++trial) {
      const int symbols = 1 + trial % size.codeSymbols;
      std::vector<uint8_t> soft(static_cast<size_t>(symbols) * m * g + trial % g);
      const int kind = trial % 4;
      for (uint8_t& s : soft) {
        if (kind == 0) {
          s = static_cast<uint8_t>(rng());
        } else if (kind == 1) {
          s = (rng() & 1) ? 255 : 0;  // confident values, many equal metrics
        } else if (kind == 2) {
          s = static_cast<uint8_t>(126 + rng() % 5);  // all metrics 0: ties everywhere
        } else {
          s = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : (rng() & 1) * 255);
        }
      }
      std::vector<uint8_t> expected;
      const int want = refViterbi(p, m, soft, &expected);
      std::vector<uint8_t> got(size.codeSymbols + 1, 0xA5);
      ASSERT_EQ(viterbiDecode(&codec, got.data(), soft.data(), static_cast<int>(soft.size())),
                want)
          << GetParam() << " trial " << trial;
      EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + want), expected)
          << GetParam() << " trial " << trial;
      EXPECT_EQ(got[want], 0xA5) << "wrote past the symbols, trial " << trial;
    }
    convClose(&codec);
  }
}

// Parameter sets beyond the test configurations: the smallest and largest
// constraint lengths (one and many decision words per step) and more outputs.
struct ViterbiCase {
  int32_t k, wrap, g;
  std::vector<uint32_t> generators;
  int32_t m, n;
};

class ViterbiBitExact : public ::testing::TestWithParam<ViterbiCase> {};

TEST_P(ViterbiBitExact, MatchesTheReference) {
  const ViterbiCase& vc = GetParam();
  ConvolutionalCodeParams p{};
  p.constraintLength = vc.k;
  p.wrapLength = vc.wrap;
  p.generatorCount = vc.g;
  for (int32_t j = 0; j < vc.g; ++j) p.generators[j] = vc.generators[j];
  const ConvCodewordSize size{vc.m, vc.n};
  ConvolutionalCodec codec;
  ASSERT_EQ(convInit(&codec, &p, &size, 1), 1);
  std::mt19937 rng(vc.k * 100 + vc.g);
  for (int trial = 0; trial < 12; ++trial) {
    const int symbols = 1 + trial % vc.n;
    std::vector<uint8_t> soft(static_cast<size_t>(symbols) * vc.m * vc.g);
    for (uint8_t& s : soft) s = trial % 3 == 2 ? static_cast<uint8_t>(128) : static_cast<uint8_t>(rng());
    std::vector<uint8_t> expected;
    const int want = refViterbi(p, vc.m, soft, &expected);
    std::vector<uint8_t> got(vc.n, 0);
    ASSERT_EQ(viterbiDecode(&codec, got.data(), soft.data(), static_cast<int>(soft.size())), want);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + want), expected) << "trial " << trial;
  }
  convClose(&codec);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ViterbiBitExact,
    ::testing::Values(ViterbiCase{2, 3, 2, {0x3, 0x3}, 4, 6},         // two states
                      ViterbiCase{3, 4, 3, {0x7, 0x5, 0x7}, 3, 8},    // G = 3
                      ViterbiCase{6, 10, 2, {0x2F, 0x35}, 8, 4},      // one full word
                      ViterbiCase{9, 12, 2, {0x1AF, 0x11D}, 2, 10},   // eight words
                      ViterbiCase{16, 2, 1, {0x8001}, 1, 20},         // 2^15 states
                      ViterbiCase{7, 2, 5, {0x79, 0x5B, 0x65, 0x4F, 0x41}, 2, 6}),
    [](const ::testing::TestParamInfo<ViterbiCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"k", p.k}, {"g", p.g}, {"wrap", p.wrap}});
    });

// ---------------------------------------------------------------------------
// Band splitter tables on their own: every rate's table, tables that are
// neither symmetric nor complementary, and odd counts.

struct SplitCase {
  const char* name;
  int32_t rate;                 // > 0: the built-in tables of that rate
  std::vector<int16_t> low, high;  // else these
};

class BandSplitBitExact : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BandSplitBitExact, MatchesTheReferenceForAnyBlockLength) {
  const SplitCase& sc = GetParam();
  const int16_t* low = sc.low.data();
  const int16_t* high = sc.high.data();
  int32_t taps = static_cast<int32_t>(sc.low.size());
  if (sc.rate > 0) {
    low = bandLowPassTable(sc.rate, &taps);
    high = bandHighPassTable(sc.rate, &taps);
  }
  const int32_t rate = sc.rate > 0 ? sc.rate : 16;
  const BandRateEntry lowList[] = {{rate, low, taps}, {0, nullptr, 0}};
  const BandRateEntry highList[] = {{rate, high, taps}, {0, nullptr, 0}};
  BandPair split(lowList, highList);
  ASSERT_EQ(bandFilterSetRate(&split.low, rate, 2), (taps - 1) / 2);
  ASSERT_EQ(bandFilterSetRate(&split.high, rate, 2), (taps - 1) / 2);
  RefBandSplit ref(low, high, taps);
  const std::vector<int16_t> input = fullScaleNoise(40000, 5);
  std::mt19937 rng(9);
  size_t at = 0;
  while (at < input.size()) {
    const size_t n = std::min<size_t>(rng() % 700, input.size() - at);  // odd and 0 too
    std::vector<int16_t> mine(input.begin() + at, input.begin() + at + n), theirs = mine;
    bandSplit(&split.low, &split.high, mine.data(), static_cast<int32_t>(n));
    ref.run(theirs.data(), static_cast<int32_t>(n));
    ASSERT_EQ(mine, theirs) << sc.name << " at " << at;
    at += n;
  }
}

std::vector<int16_t> halfBand27() {
  // Symmetric with the zero taps, but a high band that is not its complement.
  return {2, 0, -3, 0, 5, 0, -8, 0, 14, 0, -26, 0, 81, 128, 81, 0, -26, 0, 14, 0, -8, 0, 5, 0, -3, 0, 2};
}

INSTANTIATE_TEST_SUITE_P(
    Tables, BandSplitBitExact,
    ::testing::Values(
        SplitCase{"rate16", 16, {}, {}}, SplitCase{"rate32", 32, {}, {}},
        SplitCase{"rate44", 44, {}, {}}, SplitCase{"rate48", 48, {}, {}},
        SplitCase{"asymmetric", 0, {3, -7, 11, 40, 90, 40, -2, 0, 1}, {-3, 7, -11, -40, 166, -40, 2, 0, -1}},
        SplitCase{"notComplement", 0, halfBand27(), halfBand27()},
        SplitCase{"evenLength", 0, {10, -20, 100, 100, -20, 10}, {-10, 20, 156, -100, 20, -10}},
        SplitCase{"oneTap", 0, {256}, {0}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinsdk
