// tl_gen: writes a WAV recording that carries code words, rendered by the
// test signal generator for one scheme of a decoder configuration.
//
//   tl_gen [options] CONFIG OUT.wav WORD...
//   tl_gen [options] --timed START_MS|now COUNT --id ID CONFIG OUT.wav
//
// WORDs are decimal or 0x-hexadecimal values that fit the scheme's code
// word. With --timed the message generator predicts the COUNT words that a
// transmitter with the given id sends from START_MS (milliseconds since
// 1970), one after another; "now" takes the COUNT words sent just before
// the present moment, as a recording made just now carries them (so a
// decoder run afterwards finds them in the past, where its date rules look
// for them). Heartbeat words are counted by a period whose counters fit
// them (the configuration's, else a shorter one, said on standard error).
// Every option value is checked; a bad one is named in the error.
// Prints each word with the sample range it occupies. Exit status: 0 done,
// 1 usage (a bad option or value), 2 error (configuration, output file).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "core/decoder/message_generator.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"
#include "tools/signal/signal_stream.h"
#include "tools/signal/wav_file.h"

namespace {

using tembrolexinsdk::DecoderLibraryContext;

constexpr char kUsage[] =
    "usage: tl_gen [options] CONFIG OUT.wav WORD...\n"
    "       tl_gen [options] --timed START_MS|now COUNT --id ID CONFIG OUT.wav\n"
    "  WORD            a code word of the scheme, decimal or 0x-hexadecimal\n"
    "  --timed START COUNT  the COUNT words that transmitter ID sends from START_MS\n"
    "                  (ms since 1970); \"now\": the COUNT words sent just before now\n"
    "  --id ID         the transmitter's id (station) for --timed\n"
    "options:\n"
    "  --scheme I      the configuration's scheme to render (default 0)\n"
    "  --depth D       echo depth, above 0 and at most 1 (default 0.3)\n"
    "  --snr DB        add white noise at this in-band SNR, -100 to 200 dB (default none)\n"
    "  --seed N        noise seed, 0 to 4294967295 (default 1)\n"
    "  --lead-in S     seconds of host before the words, 0 to 3600 (default 1)\n"
    "  --tail S        seconds of host after the words, 0 to 3600 (default 1)\n"
    "  --rate HZ       render at 44100 or 48000 Hz (or the scheme's own rate)\n"
    "  --channels N    write N identical channels, 1 to 8 (default 1)\n"
    "  -h, --help      this text\n";

// Longest --timed run, and the time range the message generator accepts.
constexpr int64_t kMaxTimedCount = 10000;
// With "now", the last word's end lies at least this far before the
// present, so that a decode that follows at once sees every word as past.
constexpr int64_t kNowMarginMs = 2000;

int usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

// "tl_gen: OPTION VALUE: reason", exit status 1.
int badValue(const std::string& option, const std::string& value, const std::string& reason) {
  std::fprintf(stderr, "tl_gen: %s %s: %s\n", option.c_str(), value.c_str(), reason.c_str());
  return 1;
}

// A non-negative decimal or 0x-hexadecimal integer, the whole text.
bool parseWord(const std::string& text, uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.c_str() + (hex ? 2 : 0);
  const char* end = text.c_str() + text.size();
  if (begin == end) return false;
  uint64_t parsed = 0;
  const auto result = std::from_chars(begin, end, parsed, hex ? 16 : 10);
  if (result.ec != std::errc() || result.ptr != end) return false;
  *value = parsed;
  return true;
}

// What the id of a timed word is called and how many bits it has, by the
// message algorithm; 0 bits when the algorithm predicts no words.
struct IdField {
  const char* name;
  int bits;
};
IdField idField(int32_t algorithm) {
  switch (algorithm) {
    case tembrolexinsdk::kMsgAlgoVorselTv:
      return {"station", 19};
    case tembrolexinsdk::kMsgAlgoHeartbeat:
      return {"station", 11};
    default:
      return {"id", 0};
  }
}

// The heartbeat period kind a transmitter of words of `durationMs` counts
// by: the configuration's own kind when a whole period of it fits its
// counter range, else the longest kind that does (a year holds 1680000
// counters, a month 180000, a week 40000, a day 197152), each starting at
// its range's first counter as the receiver expects. 0 when none fits.
int32_t fittingHeartbeatCycle(int32_t configured, int64_t durationMs,
                              const tembrolexinsdk::MessageParams* params) {
  using namespace tembrolexinsdk;
  struct Range {
    int32_t kind;
    int64_t first;
    int64_t counters;
    int64_t longestMs;
  };
  constexpr int64_t kDayMs = 86400000;
  static constexpr Range kRanges[] = {
      {kPeriodYear, 0, kHeartbeatMonthCounter, 366 * kDayMs},
      {kPeriodMonth, kHeartbeatMonthCounter, kHeartbeatWeekCounter - kHeartbeatMonthCounter,
       31 * kDayMs},
      {kPeriodWeek, kHeartbeatWeekCounter, kHeartbeatDayCounter - kHeartbeatWeekCounter,
       7 * kDayMs},
      {kPeriodDay, kHeartbeatDayCounter, (int64_t{1} << 21) - kHeartbeatDayCounter, kDayMs},
  };
  if (params == nullptr || durationMs <= 0) return 0;
  const auto fits = [&](const Range& r) {
    return params->counterBase[r.kind] == r.first &&
           (r.longestMs + durationMs - 1) / durationMs <= r.counters;
  };
  for (const Range& r : kRanges) {
    if (r.kind == configured && fits(r)) return r.kind;
  }
  for (const Range& r : kRanges) {
    if (fits(r)) return r.kind;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t schemeIndex = 0, seed = 1, timedCount = 0, id = -1, outputRate = 0, channels = 1;
  int64_t timedStart = 0;
  bool timed = false, timedNow = false;
  std::string idText, rateText;
  double depth = 0.3, snr = 0, leadIn = 1.0, tail = 1.0;
  bool noise = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const bool isOption = a.size() > 1 && a[0] == '-' && a != "--";
    if (!isOption) {
      args.push_back(a);
      continue;
    }
    if (a == "--timed") {
      if (i + 2 >= argc) {
        std::fprintf(stderr, "tl_gen: --timed needs START_MS|now and COUNT\n");
        return 1;
      }
      timed = true;
      const std::string start = argv[++i];
      if (start == "now") {
        timedNow = true;
      } else if (!tltest::parseIntInRange(start.c_str(), -tembrolexinsdk::kMaxTimeMs,
                                          tembrolexinsdk::kMaxTimeMs, &timedStart)) {
        return badValue("--timed", start, "not a time in milliseconds since 1970, nor \"now\"");
      }
      const std::string count = argv[++i];
      if (!tltest::parseIntInRange(count.c_str(), 1, kMaxTimedCount, &timedCount)) {
        return badValue("--timed " + start, count,
                        "the count of words lies from 1 to " + std::to_string(kMaxTimedCount));
      }
      continue;
    }
    const bool known = a == "--scheme" || a == "--seed" || a == "--id" || a == "--depth" ||
                       a == "--snr" || a == "--lead-in" || a == "--tail" || a == "--rate" ||
                       a == "--channels";
    if (!known) {
      std::fprintf(stderr, "tl_gen: unknown option %s\n", a.c_str());
      return usage();
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tl_gen: %s needs a value\n", a.c_str());
      return 1;
    }
    const char* v = argv[++i];
    if (a == "--scheme") {
      if (!tltest::parseIntInRange(v, 0, 255, &schemeIndex)) {
        return badValue(a, v, "not a scheme index (0 to 255)");
      }
    } else if (a == "--seed") {
      if (!tltest::parseIntInRange(v, 0, 0xFFFFFFFFll, &seed)) {
        return badValue(a, v, "the seed lies from 0 to 4294967295");
      }
    } else if (a == "--id") {
      // Its range depends on the scheme: checked once the scheme is known.
      if (!tltest::parseIntInRange(v, 0, INT32_MAX, &id)) {
        return badValue(a, v, "not an id (a whole number from 0)");
      }
      idText = v;
    } else if (a == "--depth") {
      if (!tltest::parseDoubleInRange(v, 0, 1, &depth) || depth <= 0) {
        return badValue(a, v, "the echo depth lies above 0 and at most 1");
      }
    } else if (a == "--snr") {
      if (!tltest::parseDoubleInRange(v, -100, 200, &snr)) {
        return badValue(a, v, "not a signal-to-noise ratio from -100 to 200 dB");
      }
      noise = true;
    } else if (a == "--lead-in" || a == "--tail") {
      double seconds = 0;
      if (!tltest::parseDoubleInRange(v, 0, 3600, &seconds)) {
        return badValue(a, v, "not a number of seconds from 0 to 3600");
      }
      (a == "--tail" ? tail : leadIn) = seconds;
    } else if (a == "--rate") {
      // 44.1 and 48 kHz, or the scheme's own rate: checked with the scheme.
      if (!tltest::parseIntInRange(v, 1, 1000000, &outputRate)) {
        return badValue(a, v, "not a sample rate in Hz");
      }
      rateText = v;
    } else if (a == "--channels") {
      if (!tltest::parseIntInRange(v, 1, 8, &channels)) {
        return badValue(a, v, "the channel count lies from 1 to 8");
      }
    }
  }
  if (timed ? args.size() != 2 : args.size() < 3) return usage();
  if (timed && id < 0) {
    std::fprintf(stderr, "tl_gen: --timed needs --id\n");
    return 1;
  }
  if (!timed && id >= 0) {
    std::fprintf(stderr, "tl_gen: --id goes with --timed\n");
    return 1;
  }

  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      tembrolexinsdk::Tembrolexin_Init2(args[0].c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  if (!ctx) {
    std::fprintf(stderr, "tl_gen: configuration refused: %s\n",
                 tembrolexinsdk::Tembrolexin_GetErrorMsg());
    return 2;
  }
  const int32_t schemes = tembrolexinsdk::Tembrolexin_NEncodingSchemes(ctx.get());
  if (schemeIndex >= schemes) {
    return badValue("--scheme", std::to_string(schemeIndex),
                    "the configuration has " + std::to_string(schemes) + " scheme(s)");
  }
  const int32_t index = static_cast<int32_t>(schemeIndex);
  const tembrolexinsdk::SchemeConfig& cfg = *tembrolexinsdk::getEchoModParameters(ctx.get(), index);
  const int32_t rateHz = tembrolexinsdk::rateCodeToHertz(cfg.rateCode);
  if (outputRate == rateHz) {
    outputRate = 0;  // the scheme's own rate: no conversion
  } else if (outputRate != 0 && outputRate != 44100 && outputRate != 48000) {
    return badValue("--rate", rateText,
                    "renders at 44100 or 48000 Hz or at the scheme's own " +
                        std::to_string(rateHz) + " Hz");
  }

  std::vector<int64_t> words;
  if (timed) {
    tembrolexinsdk::MessageGeneratorState state;
    tembrolexinsdk::msgGeneratorInit(&state, tembrolexinsdk::getSchemeMessageParams(ctx.get(), index),
                                     &cfg);
    const IdField field = idField(state.algorithm);
    if (field.bits == 0) {
      std::fprintf(stderr, "tl_gen: --timed: this scheme's transmitters send no timed words\n");
      return 2;
    }
    const int64_t maxId = (int64_t{1} << field.bits) - 1;
    if (id > maxId) {
      return badValue("--id", idText,
                      std::string(field.name) + " ids of this scheme lie from 0 to " +
                          std::to_string(maxId) + " (" + std::to_string(field.bits) + " bits)");
    }
    state.id = static_cast<int32_t>(id);
    const int64_t duration = tembrolexinsdk::generatorCodewordDurationMs(&state);
    if (state.algorithm == tembrolexinsdk::kMsgAlgoHeartbeat) {
      // Counters past their range would be read as another period's.
      const int32_t cycle = fittingHeartbeatCycle(state.cycleKind, duration, state.messageParams);
      if (cycle == 0) {
        std::fprintf(stderr,
                     "tl_gen: --timed: no heartbeat period's counters fit words of %" PRId64
                     " ms with this configuration's counter bases\n",
                     duration);
        return 2;
      }
      if (cycle != state.cycleKind) {
        std::fprintf(stderr,
                     "tl_gen: heartbeat words of %" PRId64
                     " ms overflow the counters of period kind %d: counted by period kind %d\n",
                     duration, state.cycleKind, cycle);
        tembrolexinsdk::setToHeartBeat(&state, cycle);
      }
    }
    if (timedNow) {
      const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
      // The word under this moment starts at most one duration earlier, and
      // the last of COUNT words then ends kNowMarginMs or more before now.
      timedStart = nowMs - (timedCount + 1) * duration - kNowMarginMs;
    }
    int64_t t = timedStart;
    for (int64_t k = 0; k < timedCount; ++k) {
      int64_t at = t;
      int64_t word = tembrolexinsdk::getContinuousCodeWordMs(&state, &at);
      int64_t periodEnd = 0;
      if (word < 0 && tembrolexinsdk::getPeriodBounds(&state, t, nullptr, &periodEnd) &&
          periodEnd > t && periodEnd < tembrolexinsdk::kMaxTimeMs) {
        // A word that would run past its period's end is not sent: the
        // transmitter goes on with the next period's first word.
        at = periodEnd;
        word = tembrolexinsdk::getContinuousCodeWordMs(&state, &at);
      }
      if (word < 0) {
        std::fprintf(stderr, "tl_gen: the message generator predicts no word at %" PRId64 " ms\n",
                     t);
        return 2;
      }
      words.push_back(word);
      t = at + duration;
    }
  } else {
    const int payloadBits = cfg.codec.infoSymbols * cfg.codec.bitsPerSymbol;
    const uint64_t maxWord =
        payloadBits >= 63 ? uint64_t{INT64_MAX} : (uint64_t{1} << payloadBits) - 1;
    for (size_t i = 2; i < args.size(); ++i) {
      uint64_t v = 0;
      if (!parseWord(args[i], &v)) {
        std::fprintf(stderr, "tl_gen: %s: not a code word (decimal or 0x-hexadecimal)\n",
                     args[i].c_str());
        return 1;
      }
      if (v > maxWord) {
        std::fprintf(stderr,
                     "tl_gen: %s: does not fit this scheme's %d-bit code words (0 to %" PRIu64
                     ")\n",
                     args[i].c_str(), payloadBits, maxWord);
        return 1;
      }
      words.push_back(static_cast<int64_t>(v));
    }
  }

  tltest::GeneratorOptions options;
  options.depth = depth;
  options.seed = static_cast<uint32_t>(seed);
  options.leadIn = static_cast<int64_t>(leadIn * rateHz);
  options.tail = static_cast<int64_t>(tail * rateHz);
  options.outputRateHz = static_cast<int32_t>(outputRate);
  tltest::SignalStream stream(cfg, words, options);
  if (!stream.valid()) {
    std::fprintf(stderr, "tl_gen: the generator cannot render this scheme\n");
    return 2;
  }
  if (!tltest::writeWav(args[1], stream, static_cast<int32_t>(channels), noise, snr,
                        static_cast<uint32_t>(seed) + 1)) {
    std::fprintf(stderr, "tl_gen: cannot write %s\n", args[1].c_str());
    return 2;
  }
  for (const tltest::WordTruth& word : stream.words()) {
    std::printf("%9.3f s  0x%010" PRIx64 "  samples %" PRId64 "..%" PRId64 "\n",
                static_cast<double>(word.lastSample + 1) / stream.rateHz(), word.value,
                word.firstSample, word.lastSample);
  }
  return 0;
}
