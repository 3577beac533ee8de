#include "tools/signal/signal_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numeric>

#include "core/decoder/vector_clones.h"
#include "tools/signal/signal_impairments.h"

namespace tltest {
namespace {

// Channel samples rendered per step, and the half width of the two-band
// split's low-pass (as splitComplementary).
constexpr int64_t kChunk = 16384;
constexpr int64_t kSplitHalf = 48;
// The resampler's half width in input samples (as resample's default).
constexpr int kHalfWidth = 32;

// Four doubles side by side; GCC splits them where the target has no such
// registers.
typedef double Double4 __attribute__((vector_size(32)));

// out[i] = Σ_k h[k]·x[i + taps − 1 − k], summed over k in order for every
// output (as bandPower and splitComplementary sum), 32 outputs at a time in
// registers.
TL_VECTOR_CLONES void firFilter(const double* h, size_t taps, const double* x, size_t count,
                                double* out) {
  constexpr size_t kLanes = 4, kGroups = 8;
  size_t i = 0;
  for (; i + kLanes * kGroups <= count; i += kLanes * kGroups) {
    Double4 a[kGroups] = {};
    for (size_t k = 0; k < taps; ++k) {
      const Double4 hk = {h[k], h[k], h[k], h[k]};
      const double* xk = x + i + (taps - 1 - k);
      for (size_t m = 0; m < kGroups; ++m) {
        Double4 v;
        std::memcpy(&v, xk + m * kLanes, sizeof v);
        a[m] += hk * v;
      }
    }
    std::memcpy(out + i, a, sizeof a);
  }
  for (; i < count; ++i) {
    double a = 0.0;
    for (size_t k = 0; k < taps; ++k) a += h[k] * x[i + (taps - 1 - k)];
    out[i] = a;
  }
}

}  // namespace

SignalStream::SignalStream(const tembrolexinsdk::SchemeConfig& config,
                           const std::vector<int64_t>& values, const GeneratorOptions& options)
    : options_(options), rng_(options.seed) {
  if (options.host == HostKind::kPink || options.bandEdgeGapHz > 0.0) return;
  for (int64_t v : values) {
    bits_.push_back(channelBitsFor(config, v));
    if (bits_.back().empty()) return;
  }
  g_ = schemeGeometry(config);
  if (g_.positions == 0 || g_.symbol < 1) return;
  // As renderBits.
  bandsC_ = g_.bands;
  const int64_t wordC = g_.symbol * bandsC_ * g_.framesPerWord;
  frames_ = static_cast<int64_t>(bits_.size()) * g_.framesPerWord;
  lead_ = std::max<int64_t>(0, options.leadIn);
  total_ = lead_ + static_cast<int64_t>(bits_.size()) * wordC + std::max<int64_t>(0, options.tail);
  channelHz_ = tembrolexinsdk::rateCodeToHertz(config.rateCode);
  int64_t maxDelay = 0;
  for (int32_t p = 0; p < g_.positions; ++p) maxDelay = std::max<int64_t>(maxDelay, g_.aDelay[p]);
  pre_ = maxDelay * bandsC_;
  hostTotal_ = pre_ + total_;
  if (g_.bands == 2) lowPass_ = lowPass(0.25, static_cast<int>(kSplitHalf));

  outRate_ = channelHz_;
  outCount_ = total_;
  double ratio = 1.0;
  if (options.outputRateHz > 0 && options.outputRateHz != channelHz_ && total_ > 0) {
    resampling_ = true;
    outRate_ = options.outputRateHz;
    ratio = static_cast<double>(options.outputRateHz) / channelHz_;
    buildResamplerTable();
  }
  for (size_t w = 0; w < bits_.size(); ++w) {
    const int64_t first = lead_ + static_cast<int64_t>(w) * wordC;
    const int64_t last = first + wordC - 1;
    WordTruth t;
    t.value = values[w];
    t.firstSample = static_cast<int64_t>(std::llround(first * ratio));
    t.lastSample = std::min<int64_t>(static_cast<int64_t>(std::llround((last + 1) * ratio)) - 1,
                                     outCount_ - 1);
    words_.push_back(t);
  }
  valid_ = true;
}

void SignalStream::buildResamplerTable() {
  const double inRate = channelHz_, outRate = outRate_;
  // As resample.
  step_ = inRate / outRate;
  fc_ = 0.5 * 0.95 * std::min(1.0, outRate / inRate);
  span_ = kHalfWidth / std::min(1.0, outRate / inRate);
  outCount_ = static_cast<int64_t>(
                  std::floor(static_cast<double>(static_cast<size_t>(total_ - 1)) / step_ + 1e-9)) +
              1;
  const int64_t g = std::gcd(int64_t{channelHz_}, int64_t{outRate_});
  ratioL_ = outRate_ / g;
  ratioM_ = channelHz_ / g;
  // j - q reaches from ceil(-span) - 1 to floor(1 + span) + 1: one more on
  // each side than the exact phases need, for outputs whose computed time
  // rounds across an integer.
  tapLow_ = static_cast<int64_t>(std::ceil(-span_)) - 1;
  const int64_t tapHigh = static_cast<int64_t>(std::floor(1.0 + span_)) + 1;
  taps_ = tapHigh - tapLow_ + 1;
  weights_.assign(static_cast<size_t>(ratioL_ * taps_), 0.0);
  usualFirst_.resize(static_cast<size_t>(ratioL_));
  usualLast_.resize(static_cast<size_t>(ratioL_));
  usualNorm_.resize(static_cast<size_t>(ratioL_));
  for (int64_t r = 0; r < ratioL_; ++r) {
    const double frac = static_cast<double>(r) / static_cast<double>(ratioL_);
    for (int64_t o = tapLow_; o <= tapHigh; ++o) {
      weights_[static_cast<size_t>(r * taps_ + o - tapLow_)] =
          resampleWeight(frac - static_cast<double>(o), fc_, span_);
    }
    const int64_t first = static_cast<int64_t>(std::ceil(frac - span_));
    const int64_t last = static_cast<int64_t>(std::floor(frac + span_));
    double norm = 0.0;
    for (int64_t o = first; o <= last; ++o)
      norm += weights_[static_cast<size_t>(r * taps_ + o - tapLow_)];
    usualFirst_[static_cast<size_t>(r)] = first;
    usualLast_[static_cast<size_t>(r)] = last;
    usualNorm_[static_cast<size_t>(r)] = norm;
  }
}

double SignalStream::hostAt(int64_t a) {
  if (a < 0 || a >= hostTotal_) return 0.0;
  if (options_.host == HostKind::kGiven) {
    // As makeHost: entry pre is output sample 0, repeated both ways.
    const int64_t size = static_cast<int64_t>(options_.hostSamples.size());
    if (size == 0) return 0.0;
    int64_t j = (a - pre_) % size;
    if (j < 0) j += size;
    return options_.hostSamples[static_cast<size_t>(j)];
  }
  // White noise in order: keep what a later chunk may still reach.
  while (hostGenerated_ <= a) {
    host_.push_back(gauss_(rng_) * options_.hostRms);
    ++hostGenerated_;
  }
  return host_[static_cast<size_t>(a - hostBase_)];
}

void SignalStream::renderChunk(int64_t c0, int64_t c1) {
  // Band samples for host indices [c0, c1 + pre): the echoes of channel
  // sample i reach back to host index i.
  const int64_t a0 = c0, a1 = c1 + pre_;
  const size_t width = static_cast<size_t>(a1 - a0);
  const int64_t reach = g_.bands == 2 ? kSplitHalf : 0;
  hostWindow_.resize(width + 2 * static_cast<size_t>(reach));
  for (size_t m = 0; m < hostWindow_.size(); ++m) {
    hostWindow_[m] = hostAt(a0 - reach + static_cast<int64_t>(m));
  }
  if (g_.bands == 1) {
    bands_[0].assign(hostWindow_.begin(), hostWindow_.end());
  } else {
    // splitComplementary: low = Σ_k h[k]·x[a + half − k] (x is 0 outside
    // the host), high = x − low; summed in k order for every sample.
    std::vector<double>& low = bands_[0];
    std::vector<double>& high = bands_[1];
    low.resize(width);
    firFilter(lowPass_.data(), lowPass_.size(), hostWindow_.data(), width, low.data());
    high.resize(width);
    for (size_t i = 0; i < width; ++i)
      high[i] = hostWindow_[i + static_cast<size_t>(reach)] - low[i];
  }
  // Host older than the next chunk's window is never read again.
  const int64_t keep = std::max<int64_t>(hostBase_, c1 - reach);
  if (keep - hostBase_ > kChunk && options_.host != HostKind::kGiven) {
    host_.erase(host_.begin(), host_.begin() + static_cast<std::ptrdiff_t>(keep - hostBase_));
    hostBase_ = keep;
  }

  // As renderBits, expression for expression.
  const int64_t positionsPerFrame = static_cast<int64_t>(g_.bands) * g_.positions;
  for (int64_t i = c0; i < c1; ++i) {
    const int64_t at = i + pre_ - a0;
    double v = 0.0;
    for (int32_t b = 0; b < g_.bands; ++b) {
      const double* hb = bands_[b].data() + (g_.bands == 2 ? 0 : reach);
      v += hb[at];
      const double tau = static_cast<double>(i - lead_) / bandsC_;
      for (int32_t p = 0; p < g_.positions; ++p) {
        const double u = tau + static_cast<double>(g_.align[p]) * g_.step;
        const int64_t k = static_cast<int64_t>(std::floor(u / g_.symbol));
        if (k < 0 || k >= frames_) continue;
        const std::vector<uint8_t>& bits = bits_[static_cast<size_t>(k / g_.framesPerWord)];
        const int64_t index = (k % g_.framesPerWord) * positionsPerFrame +
                              static_cast<int64_t>(b) * g_.positions + g_.place[p];
        const int bit = index < static_cast<int64_t>(bits.size()) ? bits[index] : 0;
        const double m = symbolEnvelope(u - static_cast<double>(k) * g_.symbol, g_.symbol, bit,
                                        g_.signs[b], options_.depth);
        v += m / 2.0 * (hb[at - bandsC_ * g_.aDelay[p]] - hb[at - bandsC_ * g_.bDelay[p]]);
      }
    }
    y_.push_back(v);
  }
}

void SignalStream::renderChannel(int64_t end) {
  end = std::min(end, total_);
  while (yBase_ + static_cast<int64_t>(y_.size()) < end) {
    const int64_t c0 = yBase_ + static_cast<int64_t>(y_.size());
    renderChunk(c0, std::min(total_, c0 + kChunk));
  }
}

double SignalStream::resampled(int64_t k) {
  // As resample: the taps are those of the computed time t, the weights
  // those of the exact phase.
  const double t = static_cast<double>(static_cast<size_t>(k)) * step_;
  const int64_t first = static_cast<int64_t>(std::ceil(t - span_));
  const int64_t last = static_cast<int64_t>(std::floor(t + span_));
  const int64_t q = k * ratioM_ / ratioL_;
  const int64_t r = k * ratioM_ % ratioL_;
  const double* w = weights_.data() + (r * taps_ - tapLow_);  // w[j - q]
  double norm = usualNorm_[static_cast<size_t>(r)];
  if (first - q != usualFirst_[static_cast<size_t>(r)] ||
      last - q != usualLast_[static_cast<size_t>(r)]) {
    norm = 0.0;
    for (int64_t j = first; j <= last; ++j) norm += w[j - q];
  }
  const int64_t from = std::max<int64_t>(first, 0);
  const int64_t to = std::min<int64_t>(last, total_ - 1);
  renderChannel(to + 1);
  // Four sums side by side: the weights already differ from resample's by
  // rounding, and one chain of dependent additions would set the pace.
  const double* wj = w + (from - q);
  const double* yj = y_.data() + (from - yBase_);
  const int64_t n = to - from + 1;
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  int64_t j = 0;
  for (; j + 4 <= n; j += 4) {
    s0 += wj[j] * yj[j];
    s1 += wj[j + 1] * yj[j + 1];
    s2 += wj[j + 2] * yj[j + 2];
    s3 += wj[j + 3] * yj[j + 3];
  }
  for (; j < n; ++j) s0 += wj[j] * yj[j];
  const double s = (s0 + s1) + (s2 + s3);
  return norm != 0.0 ? s / norm : 0.0;
}

std::size_t SignalStream::read(int16_t* out, std::size_t count) {
  if (!valid_) return 0;
  const std::size_t n = static_cast<std::size_t>(
      std::min<int64_t>(static_cast<int64_t>(count), outCount_ - outNext_));
  for (std::size_t i = 0; i < n; ++i, ++outNext_) {
    if (resampling_) {
      out[i] = saturate16(resampled(outNext_));
    } else {
      renderChannel(outNext_ + 1);
      out[i] = saturate16(y_[static_cast<size_t>(outNext_ - yBase_)]);
    }
  }
  // Channel samples before the next output's first tap are done with.
  const int64_t next =
      resampling_ ? static_cast<int64_t>(std::ceil(
                        static_cast<double>(static_cast<size_t>(outNext_)) * step_ - span_)) -
                        1
                  : outNext_;
  if (next - yBase_ > kChunk) {
    y_.erase(y_.begin(), y_.begin() + static_cast<std::ptrdiff_t>(next - yBase_));
    yBase_ = next;
  }
  return n;
}

BandPowerMeter::BandPowerMeter(double rateHz, double lowHz, double highHz) {
  // As bandPower.
  const int half = 96;
  const std::vector<double> hi = lowPass(highHz / rateHz, half);
  const std::vector<double> lo = lowPass(lowHz / rateHz, half);
  band_.resize(hi.size());
  for (size_t k = 0; k < hi.size(); ++k) band_[k] = hi[k] - (lowHz > 0 ? lo[k] : 0.0);
}

void BandPowerMeter::add(const int16_t* x, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) x_.push_back(x[i]);
  if (x_.size() >= 4096 + band_.size()) filterPending();
}

void BandPowerMeter::add(const double* x, std::size_t count) {
  x_.insert(x_.end(), x, x + count);
  if (x_.size() >= 4096 + band_.size()) filterPending();
}

double BandPowerMeter::power() {
  filterPending();
  return n_ ? sum_ / static_cast<double>(n_) : 0.0;
}

void BandPowerMeter::filterPending() {
  // Output i (the sample at x_[i + half]) is one bandPower counts once
  // x[i + 2·half] is there: every output whose taps all lie in the samples.
  const size_t taps = band_.size();
  if (x_.size() < taps) return;
  const size_t outputs = x_.size() - taps + 1;
  constexpr size_t kPiece = 512;
  acc_.resize(kPiece);
  for (size_t at = 0; at < outputs; at += kPiece) {
    const size_t count = std::min(kPiece, outputs - at);
    firFilter(band_.data(), taps, x_.data() + at, count, acc_.data());
    for (size_t i = 0; i < count; ++i) sum_ += acc_[i] * acc_[i];
  }
  n_ += outputs;
  x_.erase(x_.begin(), x_.begin() + static_cast<std::ptrdiff_t>(outputs));
}

namespace {

void put16(std::ofstream& out, uint16_t v) {
  const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
  out.write(b, 2);
}
void put32(std::ofstream& out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v & 0xFFFF));
  put16(out, static_cast<uint16_t>(v >> 16));
}

constexpr std::size_t kBlock = 8192;  // samples rendered and written at a time

// The 44-byte header of a 16-bit PCM WAV file; false when the data would not
// fit RIFF's 32-bit sizes.
bool writeWavHeader(std::ofstream& out, uint64_t frames, int32_t rateHz, int32_t channels) {
  const uint64_t dataBytes = frames * 2 * static_cast<uint64_t>(channels);
  if (dataBytes > 0xFFFFFFFFull - 36) return false;
  const uint16_t align = static_cast<uint16_t>(2 * channels);
  out.write("RIFF", 4);
  put32(out, static_cast<uint32_t>(36 + dataBytes));
  out.write("WAVEfmt ", 8);
  put32(out, 16);
  put16(out, 1);  // PCM
  put16(out, static_cast<uint16_t>(channels));
  put32(out, static_cast<uint32_t>(rateHz));
  put32(out, static_cast<uint32_t>(rateHz) * align);
  put16(out, align);
  put16(out, 16);
  out.write("data", 4);
  put32(out, static_cast<uint32_t>(dataBytes));
  return static_cast<bool>(out);
}

// Little-endian frames of `channels` copies of each sample.
void packFrames(const int16_t* samples, std::size_t count, int32_t channels,
                std::vector<char>* bytes) {
  bytes->resize(count * 2 * static_cast<std::size_t>(channels));
  char* p = bytes->data();
  for (std::size_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    for (int32_t c = 0; c < channels; ++c) {
      *p++ = static_cast<char>(v & 0xFF);
      *p++ = static_cast<char>(v >> 8);
    }
  }
}

}  // namespace

bool writeWav(const std::string& path, SignalStream& stream, int32_t channels, bool noise,
              double snrDb, uint32_t noiseSeed) {
  const int32_t rateHz = stream.rateHz();
  const double lowHz = 100, highHz = rateHz / 2 - 100;
  std::vector<int16_t> block(kBlock);
  std::vector<char> bytes;
  double scale = 0.0;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !writeWavHeader(out, static_cast<uint64_t>(stream.size()), rateHz, channels)) {
      return false;
    }
    BandPowerMeter signalPower(rateHz, lowHz, highHz);
    for (std::size_t n; (n = stream.read(block.data(), block.size())) > 0;) {
      if (noise) signalPower.add(block.data(), n);
      packFrames(block.data(), n, channels, &bytes);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (!out.flush()) return false;
    if (!noise) return true;
    BandPowerMeter noisePower(rateHz, lowHz, highHz);
    NoiseStream measured(noiseSeed);
    std::vector<double> piece(kBlock);
    for (int64_t left = stream.size(); left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(left, kBlock));
      for (std::size_t i = 0; i < n; ++i) piece[i] = measured.next();
      noisePower.add(piece.data(), n);
      left -= static_cast<int64_t>(n);
    }
    const double ps = signalPower.power(), pn = noisePower.power();
    if (pn <= 0.0) return true;
    scale = std::sqrt(ps / (pn * std::pow(10.0, snrDb / 10.0)));
  }
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  NoiseStream added(noiseSeed);
  const std::streamoff frameBytes = 2 * channels;
  std::streamoff at = 44;
  for (int64_t left = stream.size(); left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(left, kBlock));
    bytes.resize(n * static_cast<std::size_t>(frameBytes));
    file.seekg(at);
    if (!file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return false;
    for (std::size_t i = 0; i < n; ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + i * frameBytes;
      block[i] = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
      block[i] = saturate16(block[i] + scale * added.next());
    }
    packFrames(block.data(), n, channels, &bytes);
    file.seekp(at);
    if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return false;
    at += static_cast<std::streamoff>(bytes.size());
    left -= static_cast<int64_t>(n);
  }
  return static_cast<bool>(file.flush());
}

}  // namespace tltest
