#include "core/audio/audio_file_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "core/runtime/error_text.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"

namespace tembrolexinsdk {

namespace {

const FixedName kReaderName("AudioFileReader");

// The size a streaming writer leaves in a "data" chunk it cannot go back to:
// the samples run to the end of the file.
constexpr uint64_t kSizeUnknown = 0xFFFFFFFF;

uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

constexpr unsigned kMaxChannels = 64;

}  // namespace

AudioFileReader::AudioFileReader(const std::string& path, Accept accept) : path_(path) {
  // A folder opens as a stream on Linux and only its reads fail.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) fail("it is a folder");
  errno = 0;
  file_.open(path, std::ios::binary);
  if (!file_) {
    const int error = errno;
    fail(error != 0 ? std::string("it does not open (") + tembrolexin::errorText(error) + ")"
                    : std::string("it does not open"));
  }
  file_.seekg(0, std::ios::end);
  const std::streamoff end = file_.tellg();
  if (end < 0) fail("its size cannot be read");
  const uint64_t fileBytes = static_cast<uint64_t>(end);
  if (fileBytes == 0) fail("the file is empty");
  file_.seekg(0);
  unsigned char head[12] = {};
  const bool riff = fileBytes >= 12 && file_.read(reinterpret_cast<char*>(head), 12) &&
                    std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
  if (riff) {
    parseWav(fileBytes);
  } else if (accept == Accept::kWav) {
    fail("not a WAV file (it does not start with a RIFF \"WAVE\" header)");
  } else {
    dataOffset_ = 0;
    dataBytes_ = fileBytes & ~uint64_t{1};
  }
  file_.clear();
  rewind();
}

void AudioFileReader::fail(const std::string& reason) const {
  throw std::runtime_error("Cannot read audio file " + path_ + ": " + reason);
}

bool AudioFileReader::chunkAt(uint64_t at, uint64_t fileBytes) {
  unsigned char header[8];
  if (at + 8 > fileBytes) return false;
  file_.seekg(static_cast<std::streamoff>(at));
  if (!file_.read(reinterpret_cast<char*>(header), 8)) {
    file_.clear();
    return false;
  }
  const bool named =
      std::all_of(header, header + 4, [](unsigned char c) { return c >= 0x20 && c <= 0x7e; });
  return named && at + 8 + le32(header + 4) <= fileBytes;
}

void AudioFileReader::parseWav(uint64_t fileBytes) {
  wav_ = true;
  bool haveFormat = false;
  uint64_t pos = 12;
  while (pos + 8 <= fileBytes) {
    unsigned char chunk[8];
    file_.seekg(static_cast<std::streamoff>(pos));
    if (!file_.read(reinterpret_cast<char*>(chunk), 8)) break;
    const uint64_t size = le32(chunk + 4);
    const uint64_t body = pos + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || body + size > fileBytes) fail("broken \"fmt \" chunk");
      unsigned char f[40] = {};
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(size, sizeof f));
      if (!file_.read(reinterpret_cast<char*>(f), static_cast<std::streamsize>(want))) {
        fail("broken \"fmt \" chunk");
      }
      const unsigned format = le16(f);
      channels_ = le16(f + 2);
      const uint32_t rate = le32(f + 4);
      const unsigned align = le16(f + 12);
      const unsigned bits = le16(f + 14);
      const bool pcm = format == 1 || (format == 0xFFFE && size >= 26 && le16(f + 24) == 1);
      if (!pcm) fail("not PCM (format " + std::to_string(format) + ")");
      if (bits != 16) fail(std::to_string(bits) + "-bit samples, not 16-bit");
      if (channels_ == 0 || channels_ > kMaxChannels) {
        fail(std::to_string(channels_) + " channels");
      }
      if (rate == 0 || rate > 1000000) fail("sample rate " + std::to_string(rate));
      if (align != channels_ * 2) fail("block size " + std::to_string(align));
      rateHz_ = static_cast<int>(rate);
      frameBytes_ = channels_ * 2;
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) fail("\"data\" before \"fmt \"");
      dataOffset_ = body;
      const uint64_t there = fileBytes - body;
      if (size == 0 && there > 0 && !chunkAt(body, fileBytes)) {
        // Samples after an empty last chunk: a streaming writer's 0, as
        // kSizeUnknown.
        dataBytes_ = there;
      } else {
        dataBytes_ = std::min(size, there);
        if (size > there && size != kSizeUnknown) {
          // A recording cut off: what is there is read.
          logWithLogger<LogLevel::Warning>(
              &kReaderName, "Audio file ", StringChecker::escapeBytes(path_),
              " is cut off: ", size - there, " bytes of its \"data\" chunk are missing (it claims ",
              size, ", the file holds ", there, "); what is there is read");
        }
      }
      dataBytes_ -= dataBytes_ % frameBytes_;
      return;
    }
    pos = body + size + (size & 1);
  }
  fail(haveFormat ? "no \"data\" chunk" : "no \"fmt \" chunk");
}

std::size_t AudioFileReader::read(int16_t* out, std::size_t frames) {
  const uint64_t left = (dataBytes_ - position_) / frameBytes_;
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(frames, left));
  if (n == 0) return 0;
  const std::size_t bytes = n * frameBytes_;
  if (scratch_.size() < bytes) scratch_.resize(bytes);
  if (!file_.read(reinterpret_cast<char*>(scratch_.data()), static_cast<std::streamsize>(bytes))) {
    position_ = dataBytes_;  // a file that shrank or fails ends here
    file_.clear();
    return 0;
  }
  position_ += bytes;
  if (!wav_) {
    std::memcpy(out, scratch_.data(), bytes);
    return n;
  }
  const unsigned char* p = scratch_.data();
  for (std::size_t i = 0; i < n; ++i) {
    int32_t sum = 0;
    for (unsigned c = 0; c < channels_; ++c, p += 2) sum += static_cast<int16_t>(le16(p));
    out[i] = static_cast<int16_t>(sum / static_cast<int32_t>(channels_));
  }
  return n;
}

void AudioFileReader::rewind() {
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(dataOffset_));
  position_ = 0;
}

}  // namespace tembrolexinsdk
