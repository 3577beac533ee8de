// tl_decode: decodes the code words in a recording.
//
//   tl_decode [--json] [--raw RATE] [--block N] CONFIG FILE
//
// CONFIG is a decoder configuration (an XML text or one or more file names,
// as Tembrolexin_Init2 takes them). FILE is a 16-bit PCM WAV file (several
// channels are mixed to one), or with --raw headerless 16-bit little-endian
// mono samples at RATE Hz. A WAV file cut off (its data chunk claims more
// than the file holds) is decoded as far as it goes, with a warning on
// standard error naming the bytes missing. A recording at another rate than
// the configuration's is converted with the Resampler when it converts that
// pair (for example 44.1 kHz or 48 kHz to 8 kHz or 16 kHz). Prints one
// line per decoded code word (one JSON object per line with --json): the
// time in the file at which the word ended, the scheme, the value, what the
// value means, the corrected symbols, the two confidences and the signal
// strength. The recording is read, converted and decoded block by block, so
// memory stays the same whatever its length. Exit status: 0 done, 1 usage,
// 2 a file or configuration error.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/resampler.h"
#include "core/decoder/decoder_library.h"
#include "tools/signal/wav_file.h"

namespace {

using tembrolexinsdk::DecoderLibraryContext;
using tembrolexinsdk::EncodingSchemeInfo;
using tembrolexinsdk::PerformanceData;

// Rates and block sizes the command line accepts.
constexpr int64_t kMaxRawRateHz = 1000000;
constexpr int64_t kMaxBlock = 1 << 20;

// Converts a capture stream as the recorder path does: in buffers of
// kConvertFrames frames (128 ms at 48 kHz) through one Resampler, whose
// filter history runs on from buffer to buffer.
constexpr size_t kConvertFrames = 6144;

std::string jsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

constexpr char kUsage[] =
    "usage: tl_decode [--json] [--raw RATE] [--block N] CONFIG FILE\n"
    "  CONFIG  decoder configuration file(s) (quote a list) or XML text\n"
    "  FILE    16-bit PCM WAV, or headerless 16-bit samples with --raw RATE;\n"
    "          44.1 kHz, 48 kHz, ... are converted to the configuration's rate\n"
    "  --json  one JSON object per word instead of one line\n"
    "  --block N  samples per decoding call (default 1024)\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  int32_t rawRate = 0;
  int32_t block = 1024;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--raw" && i + 1 < argc) {
      int64_t value = 0;
      if (!tltest::parseIntInRange(argv[++i], 1, kMaxRawRateHz, &value)) {
        std::fprintf(stderr, "tl_decode: --raw needs a rate of 1 to %" PRId64 " Hz\n",
                     kMaxRawRateHz);
        return usage();
      }
      rawRate = static_cast<int32_t>(value);
    } else if (a == "--block" && i + 1 < argc) {
      int64_t value = 0;
      if (!tltest::parseIntInRange(argv[++i], 1, kMaxBlock, &value)) {
        std::fprintf(stderr, "tl_decode: --block needs 1 to %" PRId64 " samples\n", kMaxBlock);
        return usage();
      }
      block = static_cast<int32_t>(value);
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
      std::fprintf(stderr, "tl_decode: unknown option %s\n", a.c_str());
      return usage();
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2) return usage();

  tltest::SampleStream input;
  std::string error;
  if (!(rawRate > 0 ? input.openRaw(args[1], rawRate, &error) : input.openWav(args[1], &error))) {
    std::fprintf(stderr, "tl_decode: %s\n", error.c_str());
    return 2;
  }
  if (!input.warning().empty())
    std::fprintf(stderr, "tl_decode: warning: %s\n", input.warning().c_str());

  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      tembrolexinsdk::Tembrolexin_Init2(args[0].c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  if (!ctx) {
    std::fprintf(stderr, "tl_decode: configuration refused: %s\n",
                 tembrolexinsdk::Tembrolexin_GetErrorMsg());
    return 2;
  }
  const int32_t rate = tembrolexinsdk::Tembrolexin_FsIn(ctx.get());
  std::unique_ptr<tembrolexinsdk::Resampler> resampler;
  if (input.rateHz() != rate) {
    const auto from = tembrolexinsdk::SampleRateFromHz(input.rateHz());
    const auto to = tembrolexinsdk::SampleRateFromHz(rate);
    if (from == tembrolexinsdk::SampleRate_NotAvailable ||
        to == tembrolexinsdk::SampleRate_NotAvailable ||
        !tembrolexinsdk::Resampler::CanConvertSampleRate(from, to)) {
      std::fprintf(stderr,
                   "tl_decode: unsupported sample rate %d Hz: the configuration needs %d Hz, "
                   "and %d Hz cannot be converted to it\n",
                   input.rateHz(), rate, input.rateHz());
      return 2;
    }
    resampler = std::make_unique<tembrolexinsdk::Resampler>(from, to);
  }

  const int32_t schemes = tembrolexinsdk::Tembrolexin_NEncodingSchemes(ctx.get());
  std::vector<EncodingSchemeInfo> infos(schemes);
  for (int32_t i = 0; i < schemes; ++i) {
    tembrolexinsdk::Tembrolexin_GetSchemeInfo(ctx.get(), i, &infos[i]);
  }
  std::vector<PerformanceData> records(schemes);
  int64_t consumed = 0;
  int64_t words = 0;
  // Decodes `n` samples of the configuration's rate.
  auto decode = [&](int16_t* samples, int32_t n) {
    tembrolexinsdk::Tembrolexin_ProcessData(ctx.get(), samples, n, records.data());
    consumed += n;
    for (int32_t i = 0; i < schemes; ++i) {
      const PerformanceData& r = records[i];
      if (r.msg < 0 || r.nFecErrors < 0) continue;
      ++words;
      const double seconds = static_cast<double>(consumed - r.cwSampleNo) / rate;
      char meaning[160];
      tembrolexinsdk::Tembrolexin_interpretCodewordStr(ctx.get(), i, r.msg, meaning,
                                                       sizeof meaning);
      const EncodingSchemeInfo& info = infos[i];
      if (json) {
        std::printf(
            "{\"time\":%.3f,\"scheme\":%d,\"schemeName\":\"%s\",\"index\":%d,\"value\":%" PRId64
            ",\"hex\":\"0x%" PRIx64 "\",\"interpretation\":\"%s\",\"fecErrors\":%d,"
            "\"msgConfidence\":%d,\"sigConfidence\":%d,\"strength95\":%d,"
            "\"signalStrength\":%d,\"syncState\":%d}\n",
            seconds, info.scheme, jsonEscape(info.shortName ? info.shortName : "").c_str(), i,
            r.msg, r.msg, jsonEscape(meaning).c_str(), r.nFecErrors, r.msgConfidence,
            r.sigConfidence, r.msgSignalStrength95pc, r.meanSignalStrength, r.syncState);
      } else {
        std::printf("%9.3f s  %-4s (%2d)  0x%010" PRIx64 "  %-44s fec %d  conf msg %d sig %d  "
                    "strength %d\n",
                    seconds, info.shortName ? info.shortName : "?", info.scheme, r.msg, meaning,
                    r.nFecErrors, r.msgConfidence, r.sigConfidence, r.msgSignalStrength95pc);
      }
    }
  };

  // Read in buffers of kConvertFrames, converted when needed, and decoded in
  // blocks of `block` samples as they fill: the same blocks as if the whole
  // converted recording were cut up at once.
  std::vector<int16_t> buffer(kConvertFrames * 3);  // room for interpolation by 3
  std::vector<int16_t> pending;
  pending.reserve(static_cast<size_t>(block) + buffer.size());
  size_t pendingStart = 0;
  for (;;) {
    const size_t n = input.read(buffer.data(), kConvertFrames);
    if (n == 0) break;
    size_t produced = n;
    if (resampler) {
      produced = resampler->ResampleBufferInPlace(buffer.data(), static_cast<unsigned short>(n));
    }
    pending.insert(pending.end(), buffer.begin(), buffer.begin() + produced);
    while (pending.size() - pendingStart >= static_cast<size_t>(block)) {
      decode(pending.data() + pendingStart, block);
      pendingStart += static_cast<size_t>(block);
    }
    pending.erase(pending.begin(), pending.begin() + pendingStart);
    pendingStart = 0;
  }
  if (!pending.empty()) decode(pending.data(), static_cast<int32_t>(pending.size()));
  if (!input.error().empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "tl_decode: %s\n", input.error().c_str());
    return 2;
  }
  std::fflush(stdout);
  if (!json) {
    std::fprintf(stderr, "tl_decode: %" PRId64 " word(s) in %.1f s of audio\n", words,
                 static_cast<double>(consumed) / rate);
  }
  return 0;
}
