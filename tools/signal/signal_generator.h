// Test signal generator: renders 16-bit audio that carries code words the
// way the decoder listens for them, by inverting its matched filter.
//
// For each symbol position p and band b the code is an echo pair added to a
// host signal h_b: y = Σ_b (h_b + Σ_p m_bp / 2 · (h_b delayed by A_p − h_b
// delayed by B_p)), with the delays of matchedFilterEchoDelays (scaled from
// band samples to channel samples). The modulation m_bp over one symbol is
// one full sine cycle, −sin over the first half and +sin over the second,
// times ±1 for the channel bit, the band's sign and the depth; position p's
// symbol grid starts align(p) phase steps before the word grid. Frame f,
// band b, position p of a word carries channel bit f·B·P + b·P + place(p)
// (place from position order 0); bits past the codec's R·C are padding (0).
// Two-band schemes split the host into complementary halves first.
//
// Everything is computed in double precision and saturated to 16 bits at the
// end. The generator never links into the library. Not thread-safe for one
// options object; separate calls are independent.
#ifndef TL_TOOLS_SIGNAL_SIGNAL_GENERATOR_H_
#define TL_TOOLS_SIGNAL_SIGNAL_GENERATOR_H_

#include <cstdint>
#include <vector>

#include "core/decoder/scheme_config.h"
#include "tools/signal/signal_impairments.h"

namespace tltest {

enum class HostKind { kWhite, kPink, kGiven };

struct GeneratorOptions {
  double depth = 0.3;             // echo depth (amplitude of m)
  HostKind host = HostKind::kWhite;
  double hostRms = 3000.0;        // level of a noise host
  uint32_t seed = 1;
  // kGiven: the host at the channel rate, entry i under output sample i,
  // repeated periodically (also before sample 0, where the echoes reach).
  std::vector<int16_t> hostSamples;
  // Two-band schemes: width in Hz of a gap cut out of the host around the
  // band edge (a quarter of the channel rate) before the split, so that the
  // decoder's short band filters see little of the other band's echoes.
  double bandEdgeGapHz = 0.0;
  int64_t leadIn = 0;             // channel samples of host before word 0
  int64_t tail = 0;               // channel samples of host after the last
  // 0: the scheme's channel rate; else 44100 or 48000 (resampled in double).
  int32_t outputRateHz = 0;
};

// Where a code word sits in the rendered audio (output samples, inclusive).
struct WordTruth {
  int64_t value;  // -1 for words rendered from channel bits (renderBits)
  int64_t firstSample;
  int64_t lastSample;
};

struct GeneratedSignal {
  std::vector<int16_t> samples;
  int32_t rateHz = 0;
  std::vector<WordTruth> words;
  // Channel bits per word in assembly order (F·B·P each, padding included).
  std::vector<std::vector<uint8_t>> bits;
  // Channel samples per symbol and per phase step, and the number of bands.
  int64_t symbolSamples = 0;
  int64_t stepSamples = 0;
  int32_t bands = 1;
};

// Geometry of a scheme as the generator renders it (band-rate values).
struct SchemeGeometry {
  int32_t channelRate = 0;   // rate code
  int32_t bandRate = 0;      // rate code of every band
  int32_t bands = 1;         // B
  int32_t positions = 0;     // P
  int32_t phases = 0;        // N
  int32_t framesPerWord = 0; // F
  int32_t symbol = 0;        // samples(S) at the band rate
  int32_t step = 0;          // symbol / N
  std::vector<int32_t> aDelay, bDelay;  // band samples
  std::vector<int32_t> align;           // phase steps
  std::vector<int32_t> place;           // place of each position (order 0)
  std::vector<int32_t> signs;           // per band
};

// Null-safe: an empty geometry (positions 0) for a record it cannot render.
SchemeGeometry schemeGeometry(const tembrolexinsdk::SchemeConfig& config);

// The R·C channel bits of `value` from the codec's encode path, padded with
// 0 to F·B·P. Empty when the codec cannot be built.
std::vector<uint8_t> channelBitsFor(const tembrolexinsdk::SchemeConfig& config,
                                    int64_t value);

// Renders words given as channel bits (assembly order, F·B·P per word).
GeneratedSignal renderBits(const tembrolexinsdk::SchemeConfig& config,
                           const std::vector<std::vector<uint8_t>>& wordBits,
                           const GeneratorOptions& options);

// Encodes the values and renders them back to back.
GeneratedSignal generateSignal(const tembrolexinsdk::SchemeConfig& config,
                               const std::vector<int64_t>& values,
                               const GeneratorOptions& options);

// The modulation of one symbol at time t (band samples from the symbol's
// start, 0 <= t < symbol): −sin(2π t / symbol) · (bit ? 1 : −1) · sign · depth.
double symbolEnvelope(double t, int32_t symbol, int bit, int32_t sign,
                      double depth);

}  // namespace tltest

#endif  // TL_TOOLS_SIGNAL_SIGNAL_GENERATOR_H_
