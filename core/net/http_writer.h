// Http writers: the sink (downloads) and source (uploads) of one transfer.
//
// An AbstractWriter hands libcurl a stream to write the response body into
// or read the request body from, may be told a file name announced by the
// server, and reports the end of the transfer through finished(). The three
// static functions are the libcurl write, read and header callbacks; their
// user pointer is the writer.
//
//   Writer<std::stringstream>: the body collects in memory; onDone(body,
//     status) or onError(code). Emptied after every transfer, so it can serve
//     the same request again.
//   Writer<std::fstream>: the body goes into (or comes from) a file opened
//     with the given mode; onDone(path, status) or onError(code). The file is
//     closed after every transfer and reopened (same mode) at the next write.
//     A writer whose mode has no std::ios::out only sources an upload: the
//     server's reply body is dropped.
//
// Error codes: libcurl's result code, or kStreamFailed when the transfer
// succeeded but the stream failed (a write into memory or a file that did
// not stick, or a file that could not be closed).
//
// Body limit: a writer takes at most maxBodyBytes() bytes of body per
// transfer (0: no limit); past it the write callback refuses the data and the
// transfer fails with kBodyTooLarge (libcurl's CURLE_FILESIZE_EXCEEDED). A
// memory writer has kDefaultMemoryBodyBytes unless told otherwise, so no
// server can fill the memory; a file writer has no limit unless given one.
//
// An HTTP error status is not an error here: it reaches onDone with the
// status. An empty onDone / onError throws std::bad_function_call when needed.
//
// Thread safety: a writer is used by one thread at a time (the thread that
// performs its transfer, which also runs the callbacks).
#ifndef TL_CORE_NET_HTTP_WRITER_H_
#define TL_CORE_NET_HTTP_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <ios>
#include <iostream>
#include <sstream>
#include <string>

#include "core/runtime/i_named_object.h"

namespace tembrolexinsdk {
namespace Http {

class AbstractWriter : public INamedObject {
 public:
  // onError code for a stream that failed while the transfer succeeded.
  static constexpr int kStreamFailed = -127;
  // onError code for a body past maxBodyBytes().
  static constexpr int kBodyTooLarge = 63;

  ~AbstractWriter() override = default;

  // Set before the transfer starts; 0 means no limit.
  void setMaxBodyBytes(std::uint64_t bytes) { maxBodyBytes_ = bytes; }
  std::uint64_t maxBodyBytes() const { return maxBodyBytes_; }
  // Whether the running (or just ended) transfer's body went past the limit.
  bool bodyLimitReached() const { return limitReached_; }

  virtual std::iostream& stream() = 0;
  // Called once per transfer when it has ended; httpCode is -1 unless
  // curlCode is 0.
  virtual void finished(int curlCode, long httpCode) = 0;
  // A file name announced by the server (Content-Disposition).
  virtual void setFileName(const std::string& /*name*/) {}
  // Whether data can be taken now.
  virtual bool isReady() { return true; }
  // Whether a response body is dropped instead of written into stream():
  // true for a writer that only sources an upload and has nowhere to put a
  // reply (a reply body is then no write error).
  virtual bool discardsBody() const { return false; }

  // libcurl callbacks; `userdata` is the AbstractWriter.
  static std::size_t performOutput(char* data, std::size_t size, std::size_t count,
                                   void* userdata);
  static std::size_t performInput(char* buffer, std::size_t size, std::size_t count,
                                  void* userdata);
  static std::size_t processHeader(char* line, std::size_t size, std::size_t count,
                                   void* userdata);

 protected:
  // finished() calls it: the next transfer counts its body from zero.
  void resetBodyCount() {
    bodyBytes_ = 0;
    limitReached_ = false;
  }

 private:
  // Counts `bytes` more of body; false (and the limit marked as reached)
  // when they do not fit.
  bool admitBody(std::size_t bytes);

  std::uint64_t maxBodyBytes_ = 0;
  std::uint64_t bodyBytes_ = 0;
  bool limitReached_ = false;
};

template <typename Stream>
class Writer;

template <>
class Writer<std::stringstream> : public AbstractWriter {
 public:
  using DoneFunction = std::function<void(const std::string& body, long httpCode)>;
  using ErrorFunction = std::function<void(int code)>;

  // The body limit of a memory writer unless set otherwise: lists and
  // replies are far smaller.
  static constexpr std::uint64_t kDefaultMemoryBodyBytes = 4 * 1024 * 1024;

  Writer(DoneFunction onDone, ErrorFunction onError);

  const std::string& GetName() const override;
  std::iostream& stream() override { return stream_; }
  void finished(int curlCode, long httpCode) override;

 private:
  std::stringstream stream_;
  DoneFunction onDone_;
  ErrorFunction onError_;
};

template <>
class Writer<std::fstream> : public AbstractWriter {
 public:
  using DoneFunction = std::function<void(const std::string& path, long httpCode)>;
  using ErrorFunction = std::function<void(int code)>;

  // Opens `path` with `mode`; throws Http::Exception ("Writer", "Could not
  // open filestream " + path) when it does not open. keepFileName 1 ignores
  // names announced by the server.
  Writer(std::string path, std::ios::openmode mode, DoneFunction onDone, ErrorFunction onError,
         int keepFileName);

  const std::string& GetName() const override;
  std::iostream& stream() override { return file_; }
  void finished(int curlCode, long httpCode) override;
  // Moves the download to `name` in the same folder. Names that are empty,
  // "." or "..", or hold '/', '\' or a NUL, could leave the folder and are
  // refused (ignored).
  void setFileName(const std::string& name) override;
  bool isReady() override;
  // True when the file is opened without std::ios::out (an upload source).
  bool discardsBody() const override { return (mode_ & std::ios::out) == 0; }

  const std::string& path() const { return path_; }

 private:
  void reopen();

  std::fstream file_;
  std::string path_;
  DoneFunction onDone_;
  ErrorFunction onError_;
  std::ios::openmode mode_;
  int keepFileName_;
};

}  // namespace Http
}  // namespace tembrolexinsdk

#endif  // TL_CORE_NET_HTTP_WRITER_H_
