// Streaming forms of the test signal generator and of the noise stage, for
// recordings of any length: memory stays the same whatever the length.
//
// SignalStream renders what generateSignal renders (white or given host,
// one or two bands, optional resampling to 44.1 or 48 kHz), block by block:
// the host, its band split, the echoes and the resampler each keep only the
// window of samples their next output reaches. Every channel sample is
// computed by the same expressions in the same order as generateSignal; the
// resampler's sinc weights come from a table per phase of the rate ratio
// instead of being recomputed per output, which moves results by rounding
// only (far below half a step of the 16-bit output).
//
// BandPowerMeter measures what bandPower measures over samples handed to it
// in pieces; NoiseStream yields makeNoise's white sequence piece by piece.
//
// Thread safety: none; one thread per object.
#ifndef TL_TOOLS_SIGNAL_SIGNAL_STREAM_H_
#define TL_TOOLS_SIGNAL_SIGNAL_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/decoder/scheme_config.h"
#include "tools/signal/signal_generator.h"

namespace tltest {

class SignalStream {
 public:
  // Invalid (valid() false, nothing to read) when generateSignal could not
  // render the values, or the options ask for what needs the whole host at
  // once (a pink host, a band-edge gap).
  SignalStream(const tembrolexinsdk::SchemeConfig& config, const std::vector<int64_t>& values,
               const GeneratorOptions& options);

  bool valid() const { return valid_; }
  int32_t rateHz() const { return outRate_; }
  // Output samples in all.
  int64_t size() const { return outCount_; }
  // As GeneratedSignal::words.
  const std::vector<WordTruth>& words() const { return words_; }

  // The next samples, at most `count`; 0 at the end.
  std::size_t read(int16_t* out, std::size_t count);

 private:
  double hostAt(int64_t a);         // host sample a (0 outside the host)
  void renderChannel(int64_t end);  // channel samples up to `end`
  void renderChunk(int64_t c0, int64_t c1);
  double resampled(int64_t k);  // output sample k before saturation
  void buildResamplerTable();

  bool valid_ = false;
  GeneratorOptions options_;
  SchemeGeometry g_;
  std::vector<std::vector<uint8_t>> bits_;
  std::vector<WordTruth> words_;
  int64_t bandsC_ = 1, lead_ = 0, total_ = 0, pre_ = 0, frames_ = 0, hostTotal_ = 0;
  int32_t channelHz_ = 0, outRate_ = 0;
  int64_t outCount_ = 0, outNext_ = 0;

  // Host samples [hostBase_, hostBase_ + host_.size()), generated in order.
  std::mt19937 rng_;
  std::normal_distribution<double> gauss_{0.0, 1.0};
  int64_t hostGenerated_ = 0;
  int64_t hostBase_ = 0;
  std::vector<double> host_;
  std::vector<double> lowPass_;  // two bands: the split's low-pass taps

  // Channel samples [yBase_, yBase_ + y_.size()).
  int64_t yBase_ = 0;
  std::vector<double> y_;
  std::vector<double> hostWindow_, bands_[2];  // scratch of one chunk

  // Resampler: input samples per output, the windowed sinc, and its weights
  // per phase r of the ratio L / M (output k lies at input k·M/L).
  bool resampling_ = false;
  double step_ = 1.0, fc_ = 0.5, span_ = 0.0;
  int64_t ratioL_ = 1, ratioM_ = 1, tapLow_ = 0, taps_ = 0;
  std::vector<double> weights_;                  // [r * taps_ + (j - q - tapLow_)]
  std::vector<int64_t> usualFirst_, usualLast_;  // j - q bounds per phase
  std::vector<double> usualNorm_;
};

class BandPowerMeter {
 public:
  BandPowerMeter(double rateHz, double lowHz, double highHz);
  void add(const int16_t* x, std::size_t count);
  void add(const double* x, std::size_t count);
  // bandPower of everything added, in order.
  double power();

 private:
  void filterPending();

  std::vector<double> band_;
  std::vector<double> x_;  // the samples the next outputs reach
  std::vector<double> acc_;
  double sum_ = 0.0;
  std::size_t n_ = 0;
};

// makeNoise(NoiseKind::kWhite, ..., seed), one sample at a time.
class NoiseStream {
 public:
  explicit NoiseStream(uint32_t seed) : rng_(seed) {}
  double next() { return gauss_(rng_); }

 private:
  std::mt19937 rng_;
  std::normal_distribution<double> gauss_{0.0, 1.0};
};

// Writes `stream` as a 16-bit PCM WAV file of `channels` equal channels,
// block by block. With noise, measures the signal's in-band power on the
// way and then adds white noise to the written samples in a second pass, as
// addNoise(samples, rate, snrDb, kWhite, noiseSeed, 100, rate / 2 - 100)
// would: the power of the whole recording sets the noise level. False when
// the file cannot be written or its data would not fit RIFF's sizes.
bool writeWav(const std::string& path, SignalStream& stream, int32_t channels, bool noise,
              double snrDb, uint32_t noiseSeed);

}  // namespace tltest

#endif  // TL_TOOLS_SIGNAL_SIGNAL_STREAM_H_
