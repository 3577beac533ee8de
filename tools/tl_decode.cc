// tl_decode: decodes the code words in a recording.
//
//   tl_decode [--json] [--raw RATE] [--block N] CONFIG FILE
//
// CONFIG is a decoder configuration (an XML text or one or more file names,
// as Tembrolexin_Init2 takes them). FILE is a 16-bit PCM WAV file (several
// channels are mixed to one), or with --raw headerless 16-bit little-endian
// mono samples at RATE Hz. A recording at another rate than the
// configuration's is converted with the Resampler when it converts that pair
// (for example 44.1 kHz or 48 kHz to 8 kHz or 16 kHz). Prints one
// line per decoded code word (one JSON object per line with --json): the
// time in the file at which the word ended, the scheme, the value, what the
// value means, the corrected symbols, the two confidences and the signal
// strength. Exit status: 0 done, 1 usage, 2 a file or configuration error.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/resampler.h"
#include "core/decoder/decoder_library.h"

namespace {

using tembrolexinsdk::DecoderLibraryContext;
using tembrolexinsdk::EncodingSchemeInfo;
using tembrolexinsdk::PerformanceData;

struct Audio {
  std::vector<int16_t> samples;
  int32_t rateHz = 0;
};

// Converts the whole recording from `from` to `to` as a capture stream is
// converted: in buffers of 6144 frames (128 ms at 48 kHz) through one
// Resampler, whose filter history runs on from buffer to buffer.
std::vector<int16_t> convertRate(const std::vector<int16_t>& in, tembrolexinsdk::SampleRate from,
                                 tembrolexinsdk::SampleRate to) {
  constexpr size_t kFrames = 6144;
  tembrolexinsdk::Resampler resampler(from, to);
  std::vector<int16_t> out;
  out.reserve(in.size() / 2);
  std::vector<short> buffer(kFrames * 3);  // room for interpolation by 3
  for (size_t at = 0; at < in.size(); at += kFrames) {
    const size_t n = std::min(kFrames, in.size() - at);
    std::copy(in.begin() + at, in.begin() + at + n, buffer.begin());
    const unsigned short produced =
        resampler.ResampleBufferInPlace(buffer.data(), static_cast<unsigned short>(n));
    out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
  }
  return out;
}

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool readFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// A RIFF/WAVE file with 16-bit PCM; several channels are mixed to one.
bool parseWav(const std::vector<uint8_t>& b, Audio* audio, std::string* error) {
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
      std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
    *error = "not a WAV file (no RIFF/WAVE header)";
    return false;
  }
  size_t at = 12;
  int32_t channels = 0, bits = 0, format = 0;
  bool haveFormat = false;
  while (at + 8 <= b.size()) {
    const uint32_t size = le32(&b[at + 4]);
    const uint8_t* body = &b[at + 8];
    const size_t available = b.size() - (at + 8);
    if (std::memcmp(&b[at], "fmt ", 4) == 0) {
      if (size < 16 || available < 16) {
        *error = "bad WAV header: short fmt chunk";
        return false;
      }
      format = le16(body);
      channels = le16(body + 2);
      audio->rateHz = static_cast<int32_t>(le32(body + 4));
      bits = le16(body + 14);
      if (format == 0xFFFE && size >= 26 && available >= 26) format = le16(body + 24);
      haveFormat = true;
    } else if (std::memcmp(&b[at], "data", 4) == 0) {
      if (!haveFormat) {
        *error = "bad WAV header: data before fmt";
        return false;
      }
      if (format != 1 || bits != 16 || channels < 1) {
        *error = "unsupported WAV format: need 16-bit PCM (format " + std::to_string(format) +
                 ", " + std::to_string(bits) + " bits, " + std::to_string(channels) +
                 " channels)";
        return false;
      }
      const size_t bytes = std::min<size_t>(size, available);  // tolerate a cut file
      const size_t frames = bytes / (2 * static_cast<size_t>(channels));
      audio->samples.resize(frames);
      for (size_t i = 0; i < frames; ++i) {
        int32_t sum = 0;
        for (int32_t c = 0; c < channels; ++c) {
          sum += static_cast<int16_t>(le16(body + 2 * (i * channels + c)));
        }
        audio->samples[i] = static_cast<int16_t>(sum / channels);
      }
      return true;
    }
    at += 8 + static_cast<size_t>(size) + (size & 1);
  }
  *error = haveFormat ? "bad WAV file: no data chunk" : "bad WAV header: no fmt chunk";
  return false;
}

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

int usage() {
  std::fprintf(stderr,
               "usage: tl_decode [--json] [--raw RATE] [--block N] CONFIG FILE\n"
               "  CONFIG  decoder configuration file(s) (quote a list) or XML text\n"
               "  FILE    16-bit PCM WAV, or headerless 16-bit samples with --raw RATE;\n"
               "          44.1 kHz, 48 kHz, ... are converted to the configuration's rate\n");
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
      rawRate = std::atoi(argv[++i]);
      if (rawRate < 1) return usage();
    } else if (a == "--block" && i + 1 < argc) {
      block = std::atoi(argv[++i]);
      if (block < 1 || block > (1 << 20)) return usage();
    } else if (a == "-h" || a == "--help") {
      return usage();
    } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
      std::fprintf(stderr, "tl_decode: unknown option %s\n", a.c_str());
      return usage();
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2) return usage();

  std::vector<uint8_t> bytes;
  std::string error;
  if (!readFile(args[1], &bytes, &error)) {
    std::fprintf(stderr, "tl_decode: %s\n", error.c_str());
    return 2;
  }
  Audio audio;
  if (rawRate > 0) {
    audio.rateHz = rawRate;
    audio.samples.resize(bytes.size() / 2);
    for (size_t i = 0; i < audio.samples.size(); ++i) {
      audio.samples[i] = static_cast<int16_t>(le16(&bytes[2 * i]));
    }
  } else if (!parseWav(bytes, &audio, &error)) {
    std::fprintf(stderr, "tl_decode: %s: %s\n", args[1].c_str(), error.c_str());
    return 2;
  }

  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      tembrolexinsdk::Tembrolexin_Init2(args[0].c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  if (!ctx) {
    std::fprintf(stderr, "tl_decode: configuration refused: %s\n",
                 tembrolexinsdk::Tembrolexin_GetErrorMsg());
    return 2;
  }
  const int32_t rate = tembrolexinsdk::Tembrolexin_FsIn(ctx.get());
  if (audio.rateHz != rate) {
    const auto from = tembrolexinsdk::SampleRateFromHz(audio.rateHz);
    const auto to = tembrolexinsdk::SampleRateFromHz(rate);
    if (from == tembrolexinsdk::SampleRate_NotAvailable ||
        to == tembrolexinsdk::SampleRate_NotAvailable ||
        !tembrolexinsdk::Resampler::CanConvertSampleRate(from, to)) {
      std::fprintf(stderr,
                   "tl_decode: unsupported sample rate %d Hz: the configuration needs %d Hz, "
                   "and %d Hz cannot be converted to it\n",
                   audio.rateHz, rate, audio.rateHz);
      return 2;
    }
    audio.samples = convertRate(audio.samples, from, to);
    audio.rateHz = rate;
  }

  const int32_t schemes = tembrolexinsdk::Tembrolexin_NEncodingSchemes(ctx.get());
  std::vector<EncodingSchemeInfo> infos(schemes);
  for (int32_t i = 0; i < schemes; ++i) {
    tembrolexinsdk::Tembrolexin_GetSchemeInfo(ctx.get(), i, &infos[i]);
  }
  std::vector<PerformanceData> records(schemes);
  std::vector<int16_t> buffer;
  int64_t consumed = 0;
  int64_t words = 0;
  for (size_t at = 0; at < audio.samples.size(); at += block) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(block, audio.samples.size() - at));
    buffer.assign(audio.samples.begin() + at, audio.samples.begin() + at + n);
    tembrolexinsdk::Tembrolexin_ProcessData(ctx.get(), buffer.data(), n, records.data());
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
  }
  std::fflush(stdout);
  if (!json) {
    std::fprintf(stderr, "tl_decode: %" PRId64 " word(s) in %.1f s of audio\n", words,
                 static_cast<double>(audio.samples.size()) / rate);
  }
  return 0;
}
