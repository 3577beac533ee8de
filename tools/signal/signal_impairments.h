// Signal helpers for decoder tests: a double-precision windowed-sinc
// resampler and impairment stages (noise at a given SNR, clipping, dropouts,
// sample-rate offset, DC offset, time offset) plus a block feeder that splits
// a stream into the block sizes a recorder would deliver.
//
// Every stage is a plain function over a vector of 16-bit samples; results
// are saturated to 16 bits, never wrapped. Random stages take a seed and are
// reproducible. Not thread-safe across shared vectors; otherwise reentrant.
#ifndef TL_TOOLS_SIGNAL_SIGNAL_IMPAIRMENTS_H_
#define TL_TOOLS_SIGNAL_SIGNAL_IMPAIRMENTS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tltest {

// Rounds to the nearest integer and saturates to -32768 .. 32767.
int16_t saturate16(double v);

// Resamples `in` from inRate to outRate (any positive rates, e.g. 16000 ->
// 44100, or 8000 -> 8000.4 for a clock offset) with a Blackman-windowed sinc
// of `halfWidth` input samples on each side, cut off at 0.95 of the lower
// Nyquist limit. Output sample k is the input's band-limited value at time
// k * inRate / outRate (input samples); the output has
// floor((in.size() - 1) * outRate / inRate) + 1 samples.
std::vector<double> resample(const std::vector<double>& in, double inRate,
                             double outRate, int halfWidth = 32);
// The weight of input sample j for output time t in resample: d = t - j,
// fc the cut-off as a fraction of the input rate, span the half width in
// input samples.
double resampleWeight(double d, double fc, double span);
// Windowed-sinc low-pass with cut-off fc (fraction of the rate), 2·half + 1
// taps and a gain of 1 at 0 Hz.
std::vector<double> lowPass(double fc, int half);
std::vector<int16_t> resample16(const std::vector<int16_t>& in, double inRate,
                                double outRate, int halfWidth = 32);

// Zero-phase low-pass of `x` (windowed sinc, cut off at cutoff / rate) and
// the complementary high band x - low: low + high == x exactly.
void splitComplementary(const std::vector<double>& x, double cutoffFraction,
                        std::vector<double>* low, std::vector<double>* high);

// Seeded noise of unit variance: white Gaussian or pink (-3 dB/octave).
enum class NoiseKind { kWhite, kPink };
std::vector<double> makeNoise(NoiseKind kind, std::size_t count, uint32_t seed);

// Mean power of `x` inside lowHz .. highHz at `rateHz` (zero-phase band-pass
// FIR, edges excluded from the average).
double bandPower(const std::vector<double>& x, double rateHz, double lowHz,
                 double highHz);

// Adds noise so that the in-band SNR (signal power / noise power, both
// measured in lowHz .. highHz) is snrDb. Returns the noise scale used.
double addNoise(std::vector<int16_t>* x, double rateHz, double snrDb,
                NoiseKind kind, uint32_t seed, double lowHz, double highHz);

// Clamps every sample to -level .. level.
void clip(std::vector<int16_t>* x, int16_t level);

// Zeroes `length` samples at each start (clipped to the stream).
struct Dropout {
  std::size_t start;
  std::size_t length;
};
void dropouts(std::vector<int16_t>* x, const std::vector<Dropout>& gaps);

// A clock error of `ppm` parts per million: the stream is played back as if
// sampled at rate * (1 + ppm / 1e6); positive ppm makes it longer.
std::vector<int16_t> sampleRateOffset(const std::vector<int16_t>& x, double ppm);

// Adds a constant, saturating.
void dcOffset(std::vector<int16_t>* x, int32_t offset);

// Positive: `samples` zeros before the stream; negative: the first -samples
// samples are dropped.
std::vector<int16_t> timeOffset(const std::vector<int16_t>& x, int64_t samples);

// Block sizes that add up to `total`.
enum class BlockMode {
  kFixed,   // all `size`, the last one shorter
  kRandom,  // uniform in 1 .. size; with size = one symbol's samples, the
            // blocks never exceed a symbol
};
std::vector<int32_t> blockSizes(std::size_t total, BlockMode mode, int32_t size,
                                uint32_t seed = 1);

}  // namespace tltest

#endif  // TL_TOOLS_SIGNAL_SIGNAL_IMPAIRMENTS_H_
