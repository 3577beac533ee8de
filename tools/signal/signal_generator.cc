#include "tools/signal/signal_generator.h"

#include <algorithm>
#include <cmath>

#include "core/decoder/codeword_codec.h"
#include "core/decoder/matched_filter.h"

namespace tltest {
namespace {

constexpr double kPi = 3.14159265358979323846;

using tembrolexinsdk::SchemeConfig;

// Band rate of a two-band channel: half the channel rate.
int32_t twoBandRate(int32_t channelRate) {
  switch (channelRate) {
    case 16: return 8;
    case 32: return 16;
    case 44: return 22;
    default: return 0;
  }
}

std::vector<double> makeHost(const GeneratorOptions& options, size_t count,
                             int64_t pre) {
  std::vector<double> h(count, 0.0);
  if (options.host == HostKind::kGiven) {
    // Entry `pre` is output sample 0; the given host repeats in both
    // directions, so the echoes of the first samples come from its end.
    const int64_t size = static_cast<int64_t>(options.hostSamples.size());
    if (size > 0) {
      for (size_t i = 0; i < count; ++i) {
        int64_t j = (static_cast<int64_t>(i) - pre) % size;
        if (j < 0) j += size;
        h[i] = options.hostSamples[static_cast<size_t>(j)];
      }
    }
    return h;
  }
  h = makeNoise(options.host == HostKind::kPink ? NoiseKind::kPink : NoiseKind::kWhite,
                count, options.seed);
  for (double& v : h) v *= options.hostRms;
  return h;
}

}  // namespace

double symbolEnvelope(double t, int32_t symbol, int bit, int32_t sign,
                      double depth) {
  if (symbol <= 0) return 0.0;
  return -std::sin(2.0 * kPi * t / symbol) * (bit ? 1.0 : -1.0) * sign * depth;
}

SchemeGeometry schemeGeometry(const SchemeConfig& config) {
  SchemeGeometry g;
  const int32_t bands = tembrolexinsdk::schemeBandCount(&config);
  const int32_t bandRate = bands == 2 ? twoBandRate(config.rateCode) : config.rateCode;
  if ((bands != 1 && bands != 2) || bandRate <= 0 || config.positionCount < 1 ||
      config.phaseCount < 1) {
    return g;
  }
  g.channelRate = config.rateCode;
  g.bandRate = bandRate;
  g.bands = bands;
  g.phases = config.phaseCount;
  g.framesPerWord = tembrolexinsdk::schemeFramesPerCodeword(&config);
  g.symbol = tembrolexinsdk::quarterMsToSamples(config.symbolDuration, bandRate);
  g.step = g.symbol / g.phases;
  for (int32_t p = 0; p < config.positionCount; ++p) {
    int32_t a = 0, b = 0;
    if (!tembrolexinsdk::matchedFilterEchoDelays(&config, bandRate, p, &a, &b)) {
      return SchemeGeometry{};
    }
    g.aDelay.push_back(a);
    g.bDelay.push_back(b);
    g.align.push_back(tembrolexinsdk::matchedFilterAlignSteps(&config, bandRate, p));
    g.place.push_back(config.positionOrders != nullptr ? config.positionOrders[p] : p);
  }
  for (int32_t b = 0; b < bands; ++b) {
    g.signs.push_back(tembrolexinsdk::schemeBandSign(&config, b));
  }
  g.positions = config.positionCount;
  return g;
}

std::vector<uint8_t> channelBitsFor(const SchemeConfig& config, int64_t value) {
  const SchemeGeometry g = schemeGeometry(config);
  tembrolexinsdk::CodewordCodec* codec =
      tembrolexinsdk::createCodewordCodec(&config.codec, 1);
  if (codec == nullptr || g.positions == 0) {
    tembrolexinsdk::deleteCodewordCodec(codec);
    return {};
  }
  const int32_t count = tembrolexinsdk::codewordChannelBitCount(&config.codec);
  const size_t slots = static_cast<size_t>(g.framesPerWord) * g.bands * g.positions;
  std::vector<uint8_t> bits(std::max(slots, static_cast<size_t>(count)), 0);
  const int32_t written =
      tembrolexinsdk::encodeCodeword(codec, static_cast<uint64_t>(value), bits.data());
  tembrolexinsdk::deleteCodewordCodec(codec);
  if (written != count) return {};
  bits.resize(slots);  // R·C never exceeds F·B·P
  return bits;
}

GeneratedSignal renderBits(const SchemeConfig& config,
                           const std::vector<std::vector<uint8_t>>& wordBits,
                           const GeneratorOptions& options) {
  GeneratedSignal out;
  const SchemeGeometry g = schemeGeometry(config);
  if (g.positions == 0 || g.symbol < 1) return out;
  const int64_t bandsC = g.bands;
  const int64_t symbolC = g.symbol * bandsC;
  const int64_t wordC = symbolC * g.framesPerWord;
  const int64_t frames = static_cast<int64_t>(wordBits.size()) * g.framesPerWord;
  const int64_t lead = std::max<int64_t>(0, options.leadIn);
  const int64_t total = lead + static_cast<int64_t>(wordBits.size()) * wordC +
                        std::max<int64_t>(0, options.tail);
  const int32_t channelHz = tembrolexinsdk::rateCodeToHertz(config.rateCode);

  // The host starts early enough that every echo of the first sample is host.
  int64_t maxDelay = 0;
  for (int32_t p = 0; p < g.positions; ++p) maxDelay = std::max<int64_t>(maxDelay, g.aDelay[p]);
  const int64_t pre = maxDelay * bandsC;
  std::vector<double> host = makeHost(options, static_cast<size_t>(pre + total), pre);
  std::vector<std::vector<double>> bandHost(g.bands);
  if (g.bands == 1) {
    bandHost[0] = std::move(host);
  } else {
    if (options.bandEdgeGapHz > 0.0) {
      // Remove edge − gap/2 .. edge + gap/2: keep the part below and above.
      const double half = options.bandEdgeGapHz / 2.0 / channelHz;
      std::vector<double> below, rest, gap, above;
      splitComplementary(host, 0.25 - half, &below, &rest);
      splitComplementary(rest, 0.25 + half, &gap, &above);
      for (size_t i = 0; i < host.size(); ++i) host[i] = below[i] + above[i];
    }
    splitComplementary(host, 0.25, &bandHost[0], &bandHost[1]);
  }

  std::vector<double> y(static_cast<size_t>(total), 0.0);
  const int64_t positionsPerFrame = static_cast<int64_t>(g.bands) * g.positions;
  for (int64_t i = 0; i < total; ++i) {
    const int64_t at = i + pre;
    double v = 0.0;
    for (int32_t b = 0; b < g.bands; ++b) {
      const std::vector<double>& hb = bandHost[b];
      v += hb[at];
      // Continuous time in band samples from the start of word 0.
      const double tau = static_cast<double>(i - lead) / bandsC;
      for (int32_t p = 0; p < g.positions; ++p) {
        const double u = tau + static_cast<double>(g.align[p]) * g.step;
        const int64_t k = static_cast<int64_t>(std::floor(u / g.symbol));
        if (k < 0 || k >= frames) continue;
        const std::vector<uint8_t>& bits = wordBits[k / g.framesPerWord];
        const int64_t index = (k % g.framesPerWord) * positionsPerFrame +
                              static_cast<int64_t>(b) * g.positions + g.place[p];
        const int bit = index < static_cast<int64_t>(bits.size()) ? bits[index] : 0;
        const double m = symbolEnvelope(u - static_cast<double>(k) * g.symbol, g.symbol,
                                        bit, g.signs[b], options.depth);
        v += m / 2.0 *
             (hb[at - bandsC * g.aDelay[p]] - hb[at - bandsC * g.bDelay[p]]);
      }
    }
    y[i] = v;
  }

  double ratio = 1.0;
  out.rateHz = channelHz;
  if (options.outputRateHz > 0 && options.outputRateHz != channelHz) {
    y = resample(y, channelHz, options.outputRateHz);
    ratio = static_cast<double>(options.outputRateHz) / channelHz;
    out.rateHz = options.outputRateHz;
  }
  out.samples.resize(y.size());
  for (size_t i = 0; i < y.size(); ++i) out.samples[i] = saturate16(y[i]);

  for (size_t w = 0; w < wordBits.size(); ++w) {
    const int64_t first = lead + static_cast<int64_t>(w) * wordC;
    const int64_t last = first + wordC - 1;
    WordTruth t;
    t.value = -1;
    t.firstSample = static_cast<int64_t>(std::llround(first * ratio));
    // A resampled stream ends at its last input instant: the truth stays
    // inside the samples.
    t.lastSample = std::min<int64_t>(
        static_cast<int64_t>(std::llround((last + 1) * ratio)) - 1,
        static_cast<int64_t>(out.samples.size()) - 1);
    out.words.push_back(t);
  }
  out.bits = wordBits;
  out.symbolSamples = symbolC;
  out.stepSamples = static_cast<int64_t>(g.step) * bandsC;
  out.bands = g.bands;
  return out;
}

GeneratedSignal generateSignal(const SchemeConfig& config,
                               const std::vector<int64_t>& values,
                               const GeneratorOptions& options) {
  std::vector<std::vector<uint8_t>> bits;
  for (int64_t v : values) {
    bits.push_back(channelBitsFor(config, v));
    if (bits.back().empty()) return GeneratedSignal{};
  }
  GeneratedSignal out = renderBits(config, bits, options);
  for (size_t w = 0; w < out.words.size() && w < values.size(); ++w) {
    out.words[w].value = values[w];
  }
  return out;
}

}  // namespace tltest
