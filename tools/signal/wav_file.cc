#include "tools/signal/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace tltest {

namespace {

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Whether a chunk header (four printable ASCII characters and a size) fits at
// `at`.
bool chunkAt(const std::vector<uint8_t>& b, size_t at) {
  if (at + 8 > b.size()) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (b[at + i] < 0x20 || b[at + i] > 0x7e) return false;
  }
  return true;
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
    const size_t end = at + 8 + static_cast<size_t>(size);
    at = end + (size & 1);
    if ((size & 1) != 0 && !chunkAt(b, at) && chunkAt(b, end)) at = end;  // pad byte left out
  }
  *error = haveFormat ? "bad WAV file: no data chunk" : "bad WAV header: no fmt chunk";
  return false;
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

}  // namespace tltest
