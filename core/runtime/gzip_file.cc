#include "core/runtime/gzip_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"

namespace tembrolexin {
namespace gzip {

namespace {

constexpr size_t kChunk = 16384;
// 15 bits of window (32 KB) plus 16: the gzip wrapper, and only that.
constexpr int kWindowBits = 31;
constexpr int kMemLevel = 8;

using Converter = std::function<int(FILE* source, FILE* dest, int level)>;

// Opens `input`, converts it into a new file beside `output` and renames that
// file to `output` on success. On failure the new file is deleted and any
// earlier file at `output` stays as it was.
std::string convertFile(const std::string& input, const std::string& output,
                        const Converter& convert, int level, uint64_t maxBytes = 0) {
  // Non-blocking and checked for its type, so that a named pipe (or a
  // folder or device) fails at once instead of waiting for a writer.
  const int in = fileio::isUsablePath(input) ? ::open(input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                             : -1;
  struct stat inStat;
  FILE* source = in >= 0 && ::fstat(in, &inStat) == 0 && S_ISREG(inStat.st_mode)
                     ? ::fdopen(in, "r")
                     : nullptr;
  if (source == nullptr) {
    if (in >= 0) ::close(in);
    throw std::invalid_argument("Could not open " + input);
  }

  std::string tempPath;
  const int fd = fileio::isUsablePath(output) ? fileio::createTempBeside(output, tempPath) : -1;
  FILE* dest = fd >= 0 ? ::fdopen(fd, "w+") : nullptr;
  if (dest == nullptr) {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(tempPath.c_str());
    }
    std::fclose(source);
    throw std::invalid_argument("Could not open " + output);
  }
  // An existing output keeps its permission bits, as if it had been rewritten.
  struct stat st;
  if (::stat(output.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    ::fchmod(fd, st.st_mode & 07777);
  }

  errno = 0;
  int rc = convert(source, dest, level);
  if (rc == Z_OK && std::fflush(dest) != 0) rc = Z_ERRNO;
  int error = rc == Z_ERRNO ? errno : 0;
  const bool inputFailed = rc == Z_ERRNO && std::ferror(source);
  std::string message = rc == Z_OK ? std::string() : zerr(rc, source, dest);
  std::fclose(source);
  // A file system may report a failed write only when the file is closed.
  if (std::fclose(dest) != 0 && rc == Z_OK) {
    rc = Z_ERRNO;
    error = errno;
    message = "Error reading output file.";
  }
  if (rc != Z_OK) {
    ::unlink(tempPath.c_str());
    if (rc == Z_ERRNO) throw FileError(message, inputFailed ? input : output, error);
    if (rc == kSizeLimit) {
      throw LimitExceeded("Unpacked size exceeds " + std::to_string(maxBytes) + " bytes", true);
    }
    if (rc == kStopped) throw LimitExceeded("Unpacking was stopped", false);
    throw std::runtime_error(message);
  }
  if (std::rename(tempPath.c_str(), output.c_str()) != 0) {
    ::unlink(tempPath.c_str());
    throw std::invalid_argument("Could not open " + output);
  }
  return output;
}

// Writes `size` bytes; false on a short write or the stream's error flag.
bool writeOut(const unsigned char* data, size_t size, FILE* dest) {
  return std::fwrite(data, 1, size, dest) == size && !std::ferror(dest);
}

}  // namespace

FileError::FileError(const std::string& what, std::string path, int errorNumber)
    : std::runtime_error(what), path_(std::move(path)), errorNumber_(errorNumber) {}

std::string FileError::reason() const {
  return errorNumber_ != 0 ? tembrolexin::errorText(errorNumber_) : "unknown error";
}

std::string unzip_file(const std::string& path) { return unzip_file(path, UnzipLimits()); }

std::string unzip_file(const std::string& path, const UnzipLimits& limits) {
  // Cutting three characters off any other name would name a different file,
  // possibly one the caller did not mean to overwrite.
  const std::string kSuffix = ".gz";
  if (path.size() <= kSuffix.size() ||
      path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0 ||
      FileInfo(path).filename() == kSuffix) {
    throw std::invalid_argument("Not a .gz file name: " + path);
  }
  return convertFile(
      path, path.substr(0, path.size() - kSuffix.size()),
      [&limits](FILE* source, FILE* dest, int) { return inf(source, dest, limits); }, 0,
      limits.maxBytes);
}

std::string zip_file(const std::string& path, int level) {
  return convertFile(path, path + ".gz", def, level);
}

int inf(FILE* source, FILE* dest) { return inf(source, dest, UnzipLimits()); }

int inf(FILE* source, FILE* dest, const UnzipLimits& limits) {
  uint64_t written = 0;
  z_stream stream{};
  int ret = inflateInit2(&stream, kWindowBits);
  if (ret != Z_OK) return ret;
  std::vector<unsigned char> in(kChunk);
  std::vector<unsigned char> out(kChunk);

  do {
    stream.avail_in = static_cast<uInt>(std::fread(in.data(), 1, kChunk, source));
    if (std::ferror(source)) {
      inflateEnd(&stream);
      return Z_ERRNO;
    }
    if (stream.avail_in == 0) break;  // input ended before the member did
    stream.next_in = in.data();
    do {
      stream.avail_out = static_cast<uInt>(kChunk);
      stream.next_out = out.data();
      ret = inflate(&stream, Z_NO_FLUSH);
      switch (ret) {
        case Z_NEED_DICT:
          ret = Z_DATA_ERROR;
          [[fallthrough]];
        case Z_DATA_ERROR:
        case Z_MEM_ERROR:
        case Z_STREAM_ERROR:
          inflateEnd(&stream);
          return ret;
        default:
          break;
      }
      const size_t have = kChunk - stream.avail_out;
      if (have > limits.maxBytes - written) {
        inflateEnd(&stream);
        return kSizeLimit;
      }
      if (limits.stop && limits.stop()) {
        inflateEnd(&stream);
        return kStopped;
      }
      if (!writeOut(out.data(), have, dest)) {
        inflateEnd(&stream);
        return Z_ERRNO;
      }
      written += have;
    } while (stream.avail_out == 0 && ret != Z_STREAM_END);
  } while (ret != Z_STREAM_END);

  inflateEnd(&stream);
  return ret == Z_STREAM_END ? Z_OK : Z_DATA_ERROR;
}

int def(FILE* source, FILE* dest, int level) {
  z_stream stream{};
  int ret = deflateInit2(&stream, level, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
  if (ret != Z_OK) return ret;
  std::vector<unsigned char> in(kChunk);
  std::vector<unsigned char> out(kChunk);

  int flush = Z_NO_FLUSH;
  do {
    stream.avail_in = static_cast<uInt>(std::fread(in.data(), 1, kChunk, source));
    if (std::ferror(source)) {
      deflateEnd(&stream);
      return Z_ERRNO;
    }
    flush = std::feof(source) ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = in.data();
    do {
      stream.avail_out = static_cast<uInt>(kChunk);
      stream.next_out = out.data();
      ret = deflate(&stream, flush);
      if (ret == Z_STREAM_ERROR) {
        deflateEnd(&stream);
        return ret;
      }
      const size_t have = kChunk - stream.avail_out;
      if (!writeOut(out.data(), have, dest)) {
        deflateEnd(&stream);
        return Z_ERRNO;
      }
    } while (stream.avail_out == 0);
  } while (flush != Z_FINISH);

  deflateEnd(&stream);
  return Z_OK;
}

std::string zerr(int code, FILE* source, FILE* /*dest*/) {
  switch (code) {
    case Z_VERSION_ERROR:
      return "Zlib version mismatch!";
    case Z_MEM_ERROR:
      return "Out of memory.";
    case Z_DATA_ERROR:
      return "Invalid or incomplete deflate data.";
    case Z_STREAM_ERROR:
      return "Invalid compression level.";
    case Z_ERRNO:
      return source != nullptr && std::ferror(source) ? "Error reading input file."
                                                      : "Error reading output file.";
    default:
      return std::string();
  }
}

int initStream(z_stream& stream) {
  stream.next_in = Z_NULL;
  stream.avail_in = 0;
  stream.zalloc = Z_NULL;
  stream.zfree = Z_NULL;
  stream.opaque = Z_NULL;
  return inflateInit2(&stream, kWindowBits);
}

}  // namespace gzip
}  // namespace tembrolexin
