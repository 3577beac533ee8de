// Turning a gzip file into its plain content beside it, and back.
//
// unzip_file("a.txt.gz") writes "a.txt"; zip_file("a.txt", level) writes
// "a.txt.gz". The output is first written to a new hidden file in the same
// folder (a name FileInfo::isHiddenOrTemporary recognises) and renamed into
// place only when the whole stream was converted, so a failure never leaves
// a partial output under the real name and never destroys an earlier file of
// that name. The input file is never changed.
//
// Failures throw: std::invalid_argument ("Could not open " + path) when a file
// cannot be opened or the input is not a regular file (a named pipe fails at
// once rather than waiting for a writer), gzip::FileError (a std::runtime_error
// with the zerr() text) when the system fails to read the input or write the
// output (a full disk, a quota, a file size limit, an I/O error: nothing the
// input's bytes are to blame for), std::runtime_error with the zerr() text for
// input that is not a whole gzip stream, gzip::LimitExceeded when unzipping
// passes its UnzipLimits. The functions keep no state and may run on any
// thread.
#ifndef TL_CORE_RUNTIME_GZIP_FILE_H_
#define TL_CORE_RUNTIME_GZIP_FILE_H_

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

namespace tembrolexin {
namespace gzip {

// Bounds of one unzip: the unpacked size, and a request to give up, asked
// between chunks (every 16 KiB of input or output), so that a small file
// that inflates without end neither fills the disk nor holds its thread.
struct UnzipLimits {
  uint64_t maxBytes = std::numeric_limits<uint64_t>::max();
  std::function<bool()> stop;  // empty: never
};

// Thrown by unzip_file when the output would pass UnzipLimits::maxBytes
// ("Unpacked size exceeds <maxBytes> bytes", tooLarge() true) or stop
// answered true ("Unpacking was stopped"); nothing is left behind.
class LimitExceeded : public std::runtime_error {
 public:
  LimitExceeded(const std::string& what, bool tooLarge)
      : std::runtime_error(what), tooLarge_(tooLarge) {}
  bool tooLarge() const { return tooLarge_; }

 private:
  bool tooLarge_;
};

// A read or write the system refused. what() is the zerr() text; path() is
// the file that failed and reason() the system's words for errorNumber().
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& what, std::string path, int errorNumber);
  const std::string& path() const { return path_; }
  int errorNumber() const { return errorNumber_; }
  std::string reason() const;

 private:
  std::string path_;
  int errorNumber_;
};

// inf() results besides zlib's: the output reached the size limit, or the
// stop request answered true.
constexpr int kSizeLimit = -100;
constexpr int kStopped = -101;

// Decompresses the first gzip member of `path`, which must end in ".gz", into
// `path` less ".gz"; returns that path. A path that does not end in ".gz"
// throws std::invalid_argument before any file is opened.
std::string unzip_file(const std::string& path);
std::string unzip_file(const std::string& path, const UnzipLimits& limits);
// Compresses `path` into `path` + ".gz" at zlib `level` (-1 for the default,
// 0 to 9); returns that path. Any other level fails with
// "Invalid compression level.".
std::string zip_file(const std::string& path, int level);

// Streams one gzip member from `source` into `dest`. Returns Z_OK (0) when
// the whole member was decompressed, Z_DATA_ERROR for corrupt, truncated or
// empty input, Z_MEM_ERROR, or Z_ERRNO for a read or write failure. Input
// after the first member is not used.
int inf(FILE* source, FILE* dest);
// The same within `limits`: kSizeLimit or kStopped when they are reached,
// after at most maxBytes bytes were written.
int inf(FILE* source, FILE* dest, const UnzipLimits& limits);
// Compresses all of `source` into `dest` as one gzip member. Returns Z_OK,
// Z_STREAM_ERROR for an invalid level, or Z_ERRNO.
int def(FILE* source, FILE* dest, int level);
// The message for a failure code of inf/def; both streams still open (their
// error flags tell a read failure from a write failure). "" for other codes.
std::string zerr(int code, FILE* source, FILE* dest);
// Clears the stream's input and allocation fields and initialises it for
// gzip decompression; returns zlib's result. The caller ends it with
// inflateEnd.
int initStream(z_stream& stream);

}  // namespace gzip
}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_GZIP_FILE_H_
