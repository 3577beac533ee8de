// tl_gen: writes a WAV recording that carries code words, rendered by the
// test signal generator for one scheme of a decoder configuration.
//
//   tl_gen [options] CONFIG OUT.wav WORD...
//   tl_gen [options] --timed START_MS COUNT --id ID CONFIG OUT.wav
//
// WORDs are decimal or 0x-hexadecimal values. With --timed the message
// generator predicts the COUNT words that a transmitter with the given id
// sends from START_MS (milliseconds since 1970, or "now"), one after
// another. Options: --scheme INDEX (default 0), --depth D (echo depth, 0.3),
// --snr DB (adds white noise at that in-band SNR), --seed N, --lead-in S and
// --tail S (seconds of host before and after the words), --rate HZ (render at
// 44100 or 48000 Hz instead of the scheme's rate). Prints each word
// with the sample range it occupies. Exit status: 0 done, 1 usage, 2 error.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/decoder_library.h"
#include "core/decoder/message_generator.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace {

using tembrolexinsdk::DecoderLibraryContext;

int usage() {
  std::fprintf(stderr,
               "usage: tl_gen [--scheme I] [--depth D] [--snr DB] [--seed N] [--lead-in S]\n"
               "              [--tail S] [--rate 44100|48000] CONFIG OUT.wav WORD...\n"
               "       tl_gen [options] --timed START_MS|now COUNT --id ID CONFIG OUT.wav\n");
  return 1;
}

bool parseInt64(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

void put16(std::ofstream& out, uint16_t v) {
  const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
  out.write(b, 2);
}
void put32(std::ofstream& out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v & 0xFFFF));
  put16(out, static_cast<uint16_t>(v >> 16));
}

bool writeWav(const std::string& path, const std::vector<int16_t>& samples, int32_t rateHz) {
  std::ofstream out(path, std::ios::binary);
  if (!out) return false;
  const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
  out.write("RIFF", 4);
  put32(out, 36 + dataBytes);
  out.write("WAVEfmt ", 8);
  put32(out, 16);
  put16(out, 1);  // PCM
  put16(out, 1);  // mono
  put32(out, static_cast<uint32_t>(rateHz));
  put32(out, static_cast<uint32_t>(rateHz) * 2);
  put16(out, 2);
  put16(out, 16);
  out.write("data", 4);
  put32(out, dataBytes);
  for (int16_t s : samples) put16(out, static_cast<uint16_t>(s));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  int64_t schemeIndex = 0, seed = 1, timedCount = 0, id = -1;
  int64_t timedStart = -1;
  int64_t outputRate = 0;
  bool timed = false;
  double depth = 0.3, snr = 1000, leadIn = 1.0, tail = 1.0;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--scheme" && hasValue) {
      if (!parseInt64(argv[++i], &schemeIndex)) return usage();
    } else if (a == "--seed" && hasValue) {
      if (!parseInt64(argv[++i], &seed)) return usage();
    } else if (a == "--id" && hasValue) {
      if (!parseInt64(argv[++i], &id)) return usage();
    } else if (a == "--depth" && hasValue) {
      depth = std::atof(argv[++i]);
    } else if (a == "--snr" && hasValue) {
      snr = std::atof(argv[++i]);
    } else if (a == "--lead-in" && hasValue) {
      leadIn = std::atof(argv[++i]);
    } else if (a == "--rate" && hasValue) {
      if (!parseInt64(argv[++i], &outputRate) || (outputRate != 44100 && outputRate != 48000)) {
        return usage();
      }
    } else if (a == "--tail" && hasValue) {
      tail = std::atof(argv[++i]);
    } else if (a == "--timed" && i + 2 < argc) {
      timed = true;
      const std::string start = argv[++i];
      if (start == "now") {
        timedStart = static_cast<int64_t>(std::time(nullptr)) * 1000;
      } else if (!parseInt64(start, &timedStart)) {
        return usage();
      }
      if (!parseInt64(argv[++i], &timedCount) || timedCount < 1 || timedCount > 10000) {
        return usage();
      }
    } else if (!a.empty() && a[0] == '-' && a.size() > 1 && a != "--") {
      std::fprintf(stderr, "tl_gen: unknown option %s\n", a.c_str());
      return usage();
    } else {
      args.push_back(a);
    }
  }
  if (args.size() < 2 || (!timed && args.size() < 3) || (timed && args.size() != 2) ||
      leadIn < 0 || tail < 0 || leadIn > 3600 || tail > 3600) {
    return usage();
  }

  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      tembrolexinsdk::Tembrolexin_Init2(args[0].c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  if (!ctx) {
    std::fprintf(stderr, "tl_gen: configuration refused: %s\n",
                 tembrolexinsdk::Tembrolexin_GetErrorMsg());
    return 2;
  }
  if (schemeIndex < 0 || schemeIndex >= tembrolexinsdk::Tembrolexin_NEncodingSchemes(ctx.get())) {
    std::fprintf(stderr, "tl_gen: the configuration has no scheme %" PRId64 "\n", schemeIndex);
    return 2;
  }
  const int32_t index = static_cast<int32_t>(schemeIndex);
  const tembrolexinsdk::SchemeConfig& cfg = *tembrolexinsdk::getEchoModParameters(ctx.get(), index);

  std::vector<int64_t> words;
  if (timed) {
    if (id < 0) {
      std::fprintf(stderr, "tl_gen: --timed needs --id\n");
      return 1;
    }
    tembrolexinsdk::MessageGeneratorState state;
    tembrolexinsdk::msgGeneratorInit(&state, tembrolexinsdk::getSchemeMessageParams(ctx.get(), index),
                                     &cfg);
    state.id = static_cast<int32_t>(id);
    const int64_t duration = tembrolexinsdk::generatorCodewordDurationMs(&state);
    int64_t t = timedStart;
    for (int64_t k = 0; k < timedCount; ++k) {
      int64_t at = t;
      const int64_t word = tembrolexinsdk::getContinuousCodeWordMs(&state, &at);
      if (word < 0) {
        std::fprintf(stderr, "tl_gen: the message generator predicts no word at %" PRId64 " ms\n",
                     t);
        return 2;
      }
      words.push_back(word);
      t = at + duration;
    }
  } else {
    for (size_t i = 2; i < args.size(); ++i) {
      int64_t v = 0;
      if (!parseInt64(args[i], &v) || v < 0) {
        std::fprintf(stderr, "tl_gen: not a code word: %s\n", args[i].c_str());
        return 1;
      }
      words.push_back(v);
    }
  }

  const int32_t rateHz = tembrolexinsdk::rateCodeToHertz(cfg.rateCode);
  tltest::GeneratorOptions options;
  options.depth = depth;
  options.seed = static_cast<uint32_t>(seed);
  options.leadIn = static_cast<int64_t>(leadIn * rateHz);
  options.tail = static_cast<int64_t>(tail * rateHz);
  options.outputRateHz = static_cast<int32_t>(outputRate);
  tltest::GeneratedSignal signal = tltest::generateSignal(cfg, words, options);
  if (signal.samples.empty()) {
    std::fprintf(stderr, "tl_gen: the generator cannot render this scheme\n");
    return 2;
  }
  if (snr < 999) {
    tltest::addNoise(&signal.samples, signal.rateHz, snr, tltest::NoiseKind::kWhite,
                     static_cast<uint32_t>(seed) + 1, 100, signal.rateHz / 2 - 100);
  }
  if (!writeWav(args[1], signal.samples, signal.rateHz)) {
    std::fprintf(stderr, "tl_gen: cannot write %s\n", args[1].c_str());
    return 2;
  }
  for (size_t i = 0; i < signal.words.size(); ++i) {
    std::printf("%9.3f s  0x%010" PRIx64 "  samples %" PRId64 "..%" PRId64 "\n",
                static_cast<double>(signal.words[i].lastSample + 1) / signal.rateHz,
                signal.words[i].value, signal.words[i].firstSample, signal.words[i].lastSample);
  }
  return 0;
}
