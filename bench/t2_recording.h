// The recording the processor, core and stall benchmarks feed: 23 VTW words
// (station 54321) at 48 kHz under 20 dB of white noise, about 59 s long.
#ifndef TL_BENCH_T2_RECORDING_H_
#define TL_BENCH_T2_RECORDING_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_data.h"
#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tlbench {

inline std::vector<int16_t> t2RecordingAt48k() {
  using namespace tembrolexinsdk;
  DecoderLibraryContext* ctx = Tembrolexin_Init2(dataFile("scheme_t2_vtw.cfg").c_str(), 1);
  if (ctx == nullptr) {
    std::fprintf(stderr, "bench: %s\n", Tembrolexin_GetErrorMsg());
    std::exit(2);
  }
  tltest::GeneratorOptions options;
  options.seed = 4;
  options.outputRateHz = 48000;
  std::vector<int64_t> words;
  for (int i = 0; i < 23; ++i) words.push_back(createVorselTvCodeWord(54321, 1000 + i));
  tltest::GeneratedSignal signal =
      tltest::generateSignal(*getEchoModParameters(ctx, 0), words, options);
  Tembrolexin_Close(ctx);
  tltest::addNoise(&signal.samples, 48000, 20, tltest::NoiseKind::kWhite, 5, 100, 23900);
  return signal.samples;
}

// The same, padded with silence to a whole minute; generated once per
// process (every run of a benchmark asks for it again).
inline const std::vector<int16_t>& t2MinuteAt48k() {
  static const std::vector<int16_t> minute = [] {
    std::vector<int16_t> samples = t2RecordingAt48k();
    samples.resize(60 * 48000, 0);
    return samples;
  }();
  return minute;
}

}  // namespace tlbench

#endif  // TL_BENCH_T2_RECORDING_H_
