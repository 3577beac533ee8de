#include "tools/signal/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>

namespace tltest {

namespace {

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Random access to a recording's bytes: `n` bytes at `at`, false when they
// are not all there.
using Peek = std::function<bool(uint64_t at, uint8_t* out, std::size_t n)>;

struct WavLayout {
  int32_t rateHz = 0;
  int32_t channels = 0;
  uint64_t dataOffset = 0;
  uint64_t dataBytes = 0;  // as far as the file goes
  uint64_t claimed = 0;    // the data chunk's size when it runs past the file's end
};

// The size a streaming writer leaves in a data chunk it cannot go back to:
// the samples run to the end of the file.
constexpr uint64_t kSizeUnknown = 0xFFFFFFFF;

// Whether a chunk header (four printable ASCII characters and a size) fits at
// `at` of a file of `size` bytes.
bool chunkAt(const Peek& peek, uint64_t size, uint64_t at) {
  uint8_t id[4];
  if (at + 8 > size || !peek(at, id, 4)) return false;
  for (uint8_t c : id) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

// Whether a whole chunk (a header as chunkAt, a size within the file) starts
// at `at`.
bool wholeChunkAt(const Peek& peek, uint64_t size, uint64_t at) {
  uint8_t header[8];
  return chunkAt(peek, size, at) && peek(at, header, 8) && at + 8 + le32(header + 4) <= size;
}

// Walks the chunks of a RIFF/WAVE file of `size` bytes to its 16-bit PCM
// data.
bool findWavLayout(uint64_t size, const Peek& peek, WavLayout* layout, std::string* error) {
  uint8_t head[12];
  if (size < 12 || !peek(0, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    *error = "not a WAV file (no RIFF/WAVE header)";
    return false;
  }
  uint64_t at = 12;
  int32_t channels = 0, bits = 0, format = 0;
  bool haveFormat = false;
  while (at + 8 <= size) {
    uint8_t header[8];
    if (!peek(at, header, 8)) break;
    const uint32_t chunkSize = le32(header + 4);
    const uint64_t available = size - (at + 8);
    if (std::memcmp(header, "fmt ", 4) == 0) {
      uint8_t body[26] = {};
      if (chunkSize < 16 || available < 16 ||
          !peek(at + 8, body, static_cast<std::size_t>(std::min<uint64_t>(26, available)))) {
        *error = "bad WAV header: short fmt chunk";
        return false;
      }
      format = le16(body);
      channels = le16(body + 2);
      layout->rateHz = static_cast<int32_t>(le32(body + 4));
      bits = le16(body + 14);
      if (format == 0xFFFE && chunkSize >= 26 && available >= 26) format = le16(body + 24);
      haveFormat = true;
    } else if (std::memcmp(header, "data", 4) == 0) {
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
      layout->channels = channels;
      layout->dataOffset = at + 8;
      if (chunkSize == 0 && available > 0 && !wholeChunkAt(peek, size, at + 8)) {
        // Samples after an empty last chunk: a streaming writer's 0, as
        // kSizeUnknown.
        layout->dataBytes = available;
      } else {
        layout->dataBytes = std::min<uint64_t>(chunkSize, available);
        if (chunkSize > available && chunkSize != kSizeUnknown) layout->claimed = chunkSize;
      }
      return true;
    }
    const uint64_t end = at + 8 + chunkSize;
    at = end + (chunkSize & 1);
    if ((chunkSize & 1) != 0 && !chunkAt(peek, size, at) && chunkAt(peek, size, end)) {
      at = end;  // pad byte left out
    }
  }
  *error = haveFormat ? "bad WAV file: no data chunk" : "bad WAV header: no fmt chunk";
  return false;
}

// Mixes `frames` frames of `channels` little-endian 16-bit samples to one.
void mixFrames(const uint8_t* bytes, std::size_t frames, int32_t channels, int16_t* out) {
  for (std::size_t i = 0; i < frames; ++i) {
    int32_t sum = 0;
    for (int32_t c = 0; c < channels; ++c) {
      sum += static_cast<int16_t>(le16(bytes + 2 * (i * static_cast<std::size_t>(channels) + c)));
    }
    out[i] = static_cast<int16_t>(sum / channels);
  }
}

// Reads `n` bytes at `at`; the count read (short at the end of the file), or
// -1 (as size_t) on an error.
std::size_t readFully(int fd, uint64_t at, uint8_t* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return static_cast<std::size_t>(-1);
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace

bool readRegularFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  // Non-blocking, so that a named pipe is refused instead of waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = path + " is not a regular file";
    return false;
  }
  bytes->clear();
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->insert(bytes->end(), buffer, buffer + n);
  }
  ::close(fd);
  return true;
}

bool parseWav(const std::vector<uint8_t>& b, Audio* audio, std::string* error) {
  const Peek peek = [&b](uint64_t at, uint8_t* out, std::size_t n) {
    if (at > b.size() || n > b.size() - at) return false;
    std::memcpy(out, b.data() + at, n);
    return true;
  };
  WavLayout layout;
  if (!findWavLayout(b.size(), peek, &layout, error)) return false;
  audio->rateHz = layout.rateHz;
  const size_t channels = static_cast<size_t>(layout.channels);
  const size_t frames = static_cast<size_t>(layout.dataBytes / (2 * channels));
  audio->samples.resize(frames);
  mixFrames(b.data() + layout.dataOffset, frames, layout.channels, audio->samples.data());
  return true;
}

SampleStream::~SampleStream() {
  if (fd_ >= 0) ::close(fd_);
}

bool SampleStream::openFile(const std::string& path, std::string* error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_ = path;
  position_ = 0;
  error_.clear();
  warning_.clear();
  // Non-blocking, so that a named pipe is refused instead of waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = path + " is not a regular file";
    return false;
  }
  fd_ = fd;
  dataOffset_ = 0;
  dataBytes_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool SampleStream::openWav(const std::string& path, std::string* error) {
  if (!openFile(path, error)) return false;
  const int fd = fd_;
  const Peek peek = [fd](uint64_t at, uint8_t* out, std::size_t n) {
    return readFully(fd, at, out, n) == n;
  };
  WavLayout layout;
  std::string reason;
  if (!findWavLayout(dataBytes_, peek, &layout, &reason)) {
    *error = path + ": " + reason;
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  rateHz_ = layout.rateHz;
  channels_ = layout.channels;
  dataOffset_ = layout.dataOffset;
  dataBytes_ = layout.dataBytes - layout.dataBytes % frameBytes();
  if (layout.claimed != 0) {
    warning_ = path + " is cut off: " + std::to_string(layout.claimed - layout.dataBytes) +
               " bytes of its data chunk are missing (it claims " + std::to_string(layout.claimed) +
               ", the file holds " + std::to_string(layout.dataBytes) + "); what is there is read";
  }
  return true;
}

bool SampleStream::openRaw(const std::string& path, int32_t rateHz, std::string* error) {
  if (!openFile(path, error)) return false;
  rateHz_ = rateHz;
  channels_ = 1;
  dataBytes_ &= ~uint64_t{1};  // an odd last byte is no sample
  return true;
}

std::size_t SampleStream::read(int16_t* out, std::size_t frames) {
  if (fd_ < 0 || out == nullptr) return 0;
  const uint64_t left = (dataBytes_ - position_) / frameBytes();
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(frames, left));
  if (n == 0) return 0;
  const std::size_t bytes = n * static_cast<std::size_t>(frameBytes());
  if (scratch_.size() < bytes) scratch_.resize(bytes);
  const std::size_t got = readFully(fd_, dataOffset_ + position_, scratch_.data(), bytes);
  if (got < bytes) {
    // A file that shrank or fails ends here.
    error_ = got == static_cast<std::size_t>(-1)
                 ? "cannot read " + path_ + ": " + std::strerror(errno)
                 : path_ + " ended before its data";
    position_ = dataBytes_;
    return 0;
  }
  position_ += bytes;
  mixFrames(scratch_.data(), n, channels_, out);
  return n;
}

bool parseIntInRange(const char* text, int64_t min, int64_t max, int64_t* value) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  int64_t parsed = 0;
  const auto result = std::from_chars(text, end, parsed);
  if (result.ec != std::errc() || result.ptr != end || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool parseDoubleInRange(const char* text, double min, double max, double* value) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  double parsed = 0;
  const auto result = std::from_chars(text, end, parsed);
  if (result.ec != std::errc() || result.ptr != end || !std::isfinite(parsed) || parsed < min ||
      parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

}  // namespace tltest
