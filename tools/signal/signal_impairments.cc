#include "tools/signal/signal_impairments.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tltest {
namespace {

constexpr double kPi = 3.14159265358979323846;

double sinc(double x) {
  if (std::fabs(x) < 1e-12) return 1.0;
  return std::sin(kPi * x) / (kPi * x);
}

// Blackman window over -1 .. 1 (0 outside).
double blackman(double r) {
  if (r <= -1.0 || r >= 1.0) return 0.0;
  const double t = kPi * (r + 1.0);  // 0 .. 2π
  return 0.42 - 0.5 * std::cos(t) + 0.08 * std::cos(2.0 * t);
}

// Zero-phase FIR: y[n] = Σ h[k] x[n − k + half], h of 2·half + 1 taps, the
// sum over the taps whose sample lies inside x, in the order of k. The tap
// range is worked out once per output sample rather than tested per tap:
// the same sums, bit for bit, at a fraction of the cost under the
// sanitizers, where the test signals of every decoding test are made.
std::vector<double> filterZeroPhase(const std::vector<double>& x,
                                    const std::vector<double>& h) {
  const int64_t taps = static_cast<int64_t>(h.size());
  const int64_t half = taps / 2;
  const int64_t n = static_cast<int64_t>(x.size());
  std::vector<double> y(x.size(), 0.0);
  const double* taps0 = h.data();
  const double* x0 = x.data();
  for (int64_t i = 0; i < n; ++i) {
    // 0 <= i + half - k < n.
    const int64_t first = std::max<int64_t>(0, i + half - (n - 1));
    const int64_t last = std::min<int64_t>(taps - 1, i + half);
    double s = 0.0;
    for (int64_t k = first; k <= last; ++k) s += taps0[k] * x0[i + half - k];
    y[i] = s;
  }
  return y;
}

}  // namespace

std::vector<double> lowPass(double fc, int half) {
  std::vector<double> h(2 * half + 1);
  double sum = 0.0;
  for (int k = -half; k <= half; ++k) {
    h[k + half] = 2.0 * fc * sinc(2.0 * fc * k) * blackman(static_cast<double>(k) / (half + 1));
    sum += h[k + half];
  }
  for (double& v : h) v /= sum;
  return h;
}

double resampleWeight(double d, double fc, double span) {
  return 2.0 * fc * sinc(2.0 * fc * d) * blackman(d / (span + 1.0));
}

int16_t saturate16(double v) {
  if (!(v == v)) return 0;
  const double r = std::floor(v + 0.5);
  if (r >= 32767.0) return 32767;
  if (r <= -32768.0) return -32768;
  return static_cast<int16_t>(r);
}

std::vector<double> resample(const std::vector<double>& in, double inRate,
                             double outRate, int halfWidth) {
  std::vector<double> out;
  if (in.empty() || inRate <= 0 || outRate <= 0) return out;
  const double step = inRate / outRate;  // input samples per output sample
  // Cut-off as a fraction of the input rate.
  const double fc = 0.5 * 0.95 * std::min(1.0, outRate / inRate);
  const double span = halfWidth / std::min(1.0, outRate / inRate);
  const size_t count =
      static_cast<size_t>(std::floor((in.size() - 1) / step + 1e-9)) + 1;
  out.resize(count);
  const int64_t n = static_cast<int64_t>(in.size());
  for (size_t k = 0; k < count; ++k) {
    const double t = k * step;
    const int64_t first = static_cast<int64_t>(std::ceil(t - span));
    const int64_t last = static_cast<int64_t>(std::floor(t + span));
    double s = 0.0, norm = 0.0;
    for (int64_t j = first; j <= last; ++j) {
      const double w = resampleWeight(t - j, fc, span);
      norm += w;
      if (j >= 0 && j < n) s += w * in[j];
    }
    out[k] = norm != 0.0 ? s / norm : 0.0;
  }
  return out;
}

std::vector<int16_t> resample16(const std::vector<int16_t>& in, double inRate,
                                double outRate, int halfWidth) {
  std::vector<double> x(in.begin(), in.end());
  std::vector<double> y = resample(x, inRate, outRate, halfWidth);
  std::vector<int16_t> out(y.size());
  for (size_t i = 0; i < y.size(); ++i) out[i] = saturate16(y[i]);
  return out;
}

void splitComplementary(const std::vector<double>& x, double cutoffFraction,
                        std::vector<double>* low, std::vector<double>* high) {
  *low = filterZeroPhase(x, lowPass(cutoffFraction, 48));
  high->resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) (*high)[i] = x[i] - (*low)[i];
}

std::vector<double> makeNoise(NoiseKind kind, size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<double> x(count);
  if (kind == NoiseKind::kWhite) {
    for (double& v : x) v = gauss(rng);
    return x;
  }
  // Pink: Paul Kellet's three-pole approximation of a -3 dB/octave slope.
  double b0 = 0, b1 = 0, b2 = 0;
  for (double& v : x) {
    const double w = gauss(rng);
    b0 = 0.99765 * b0 + w * 0.0990460;
    b1 = 0.96300 * b1 + w * 0.2965164;
    b2 = 0.57000 * b2 + w * 1.0526913;
    v = b0 + b1 + b2 + w * 0.1848;
  }
  double power = 0.0;
  for (double v : x) power += v * v;
  const double scale = count ? 1.0 / std::sqrt(power / count) : 1.0;
  for (double& v : x) v *= scale;
  return x;
}

double bandPower(const std::vector<double>& x, double rateHz, double lowHz,
                 double highHz) {
  const int half = 96;
  std::vector<double> hi = lowPass(highHz / rateHz, half);
  std::vector<double> lo = lowPass(lowHz / rateHz, half);
  std::vector<double> band(hi.size());
  for (size_t k = 0; k < hi.size(); ++k) band[k] = hi[k] - (lowHz > 0 ? lo[k] : 0.0);
  std::vector<double> y = filterZeroPhase(x, band);
  double p = 0.0;
  size_t n = 0;
  for (size_t i = half; i + half < y.size(); ++i, ++n) p += y[i] * y[i];
  return n ? p / n : 0.0;
}

double addNoise(std::vector<int16_t>* x, double rateHz, double snrDb,
                NoiseKind kind, uint32_t seed, double lowHz, double highHz) {
  std::vector<double> s(x->begin(), x->end());
  std::vector<double> noise = makeNoise(kind, s.size(), seed);
  const double ps = bandPower(s, rateHz, lowHz, highHz);
  const double pn = bandPower(noise, rateHz, lowHz, highHz);
  if (pn <= 0.0) return 0.0;
  const double scale = std::sqrt(ps / (pn * std::pow(10.0, snrDb / 10.0)));
  for (size_t i = 0; i < s.size(); ++i) (*x)[i] = saturate16(s[i] + scale * noise[i]);
  return scale;
}

void clip(std::vector<int16_t>* x, int16_t level) {
  const int16_t hi = level < 0 ? static_cast<int16_t>(0) : level;
  const int16_t lo = static_cast<int16_t>(-hi);
  for (int16_t& v : *x) v = std::clamp(v, lo, hi);
}

void dropouts(std::vector<int16_t>* x, const std::vector<Dropout>& gaps) {
  for (const Dropout& g : gaps) {
    if (g.start >= x->size()) continue;
    const size_t end = std::min(x->size(), g.start + std::min(g.length, x->size()));
    std::fill(x->begin() + static_cast<std::ptrdiff_t>(g.start),
              x->begin() + static_cast<std::ptrdiff_t>(end), 0);
  }
}

std::vector<int16_t> sampleRateOffset(const std::vector<int16_t>& x, double ppm) {
  return resample16(x, 1.0, 1.0 + ppm * 1e-6);
}

void dcOffset(std::vector<int16_t>* x, int32_t offset) {
  for (int16_t& v : *x) v = saturate16(static_cast<double>(v) + offset);
}

std::vector<int16_t> timeOffset(const std::vector<int16_t>& x, int64_t samples) {
  if (samples >= 0) {
    std::vector<int16_t> out(static_cast<size_t>(samples), 0);
    out.insert(out.end(), x.begin(), x.end());
    return out;
  }
  const size_t drop = std::min(x.size(), static_cast<size_t>(-samples));
  return std::vector<int16_t>(x.begin() + static_cast<std::ptrdiff_t>(drop), x.end());
}

std::vector<int32_t> blockSizes(size_t total, BlockMode mode, int32_t size,
                                uint32_t seed) {
  std::vector<int32_t> sizes;
  if (size < 1) size = 1;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> pick(1, size);
  size_t done = 0;
  while (done < total) {
    int32_t n = mode == BlockMode::kFixed ? size : pick(rng);
    n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(n), total - done));
    sizes.push_back(n);
    done += static_cast<size_t>(n);
  }
  return sizes;
}

}  // namespace tltest
