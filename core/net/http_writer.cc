#include "core/net/http_writer.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "core/net/http_exception.h"

namespace tembrolexinsdk {
namespace Http {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kWriterName = *new std::string("HttpWriter");
constexpr char kDisposition[] = "Content-Disposition:";
constexpr char kFileNameMark[] = "filename=\"";

}  // namespace

std::size_t AbstractWriter::performOutput(char* data, std::size_t size, std::size_t count,
                                          void* userdata) {
  auto* writer = static_cast<AbstractWriter*>(userdata);
  if (data == nullptr || writer == nullptr) return 0;
  const std::size_t bytes = size * count;
  if (writer->discardsBody()) return bytes;
  if (!writer->admitBody(bytes)) return 0;
  if (!writer->isReady()) return 0;
  std::iostream& stream = writer->stream();
  stream.write(data, static_cast<std::streamsize>(bytes));
  if (stream.fail() || stream.bad()) return 0;
  return bytes;
}

bool AbstractWriter::admitBody(std::size_t bytes) {
  if (maxBodyBytes_ > 0 && (bytes > maxBodyBytes_ || bodyBytes_ > maxBodyBytes_ - bytes)) {
    limitReached_ = true;
    return false;
  }
  bodyBytes_ += bytes;
  return true;
}

std::size_t AbstractWriter::performInput(char* buffer, std::size_t size, std::size_t count,
                                         void* userdata) {
  auto* writer = static_cast<AbstractWriter*>(userdata);
  // A file writer closes its file after each transfer; isReady reopens it
  // so the same upload can be performed again.
  if (buffer == nullptr || writer == nullptr || !writer->isReady()) return 0;
  std::iostream& stream = writer->stream();
  stream.read(buffer, static_cast<std::streamsize>(size * count));
  return static_cast<std::size_t>(stream.gcount());
}

std::size_t AbstractWriter::processHeader(char* line, std::size_t size, std::size_t count,
                                          void* userdata) {
  const std::size_t bytes = size * count;
  auto* writer = static_cast<AbstractWriter*>(userdata);
  if (line == nullptr || writer == nullptr || bytes < 20) return bytes;
  const std::string text(line, bytes);
  if (text.find(kDisposition) == std::string::npos) return bytes;
  const auto mark = text.find(kFileNameMark);
  if (mark == std::string::npos) return bytes;
  const std::size_t start = mark + std::strlen(kFileNameMark);
  if (start >= text.size()) return bytes;
  const auto end = text.find('"', start);
  if (end == std::string::npos || end == start) return bytes;
  writer->setFileName(text.substr(start, end - start));
  return bytes;
}

// ---- memory ----------------------------------------------------------------

Writer<std::stringstream>::Writer(DoneFunction onDone, ErrorFunction onError)
    : onDone_(std::move(onDone)), onError_(std::move(onError)) {
  setMaxBodyBytes(kDefaultMemoryBodyBytes);
}

const std::string& Writer<std::stringstream>::GetName() const { return kWriterName; }

void Writer<std::stringstream>::finished(int curlCode, long httpCode) {
  const bool failed = stream_.fail() || stream_.bad();
  std::string body = failed ? std::string() : stream_.str();
  stream_.str(std::string());
  stream_.clear();
  resetBodyCount();
  if (curlCode != 0) {
    onError_(curlCode);
  } else if (failed) {
    onError_(kStreamFailed);
  } else {
    onDone_(body, httpCode);
  }
}

// ---- file ------------------------------------------------------------------

Writer<std::fstream>::Writer(std::string path, std::ios::openmode mode, DoneFunction onDone,
                             ErrorFunction onError, int keepFileName)
    : path_(std::move(path)),
      onDone_(std::move(onDone)),
      onError_(std::move(onError)),
      mode_(mode),
      keepFileName_(keepFileName) {
  file_.open(path_, mode_);
  if (!file_.is_open()) throw Exception(this, "Writer", "Could not open filestream " + path_);
}

const std::string& Writer<std::fstream>::GetName() const { return kWriterName; }

void Writer<std::fstream>::reopen() {
  file_.clear();
  file_.open(path_, mode_);
  if (!file_.is_open()) file_.setstate(std::ios::failbit);
}

bool Writer<std::fstream>::isReady() {
  if (file_.is_open()) return true;
  reopen();
  return file_.is_open();
}

void Writer<std::fstream>::finished(int curlCode, long httpCode) {
  bool failed = file_.fail() || file_.bad();
  if (file_.is_open()) {
    // Writes to an input-only file never happen; flush matters for output.
    file_.flush();
    file_.close();
  }
  // An upload reads to the end of the file, which sets the fail bit with
  // eof; that is not a failure. For a download, a failed write or close is.
  const bool output = (mode_ & std::ios::out) != 0;
  failed = output && (failed || file_.fail() || file_.bad());
  file_.clear();
  resetBodyCount();
  if (curlCode != 0) {
    onError_(curlCode);
  } else if (failed) {
    onError_(kStreamFailed);
  } else {
    onDone_(path_, httpCode);
  }
}

void Writer<std::fstream>::setFileName(const std::string& name) {
  if (keepFileName_ == 1 || name == path_) return;
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
    return;
  }
  if (file_.is_open()) file_.close();
  const auto slash = path_.find_last_of("/\\");
  // A bare file name stays in the current folder rather than moving to "/".
  const std::string newPath =
      slash == std::string::npos ? name : path_.substr(0, slash) + "/" + name;
  if (newPath == path_) return;
  std::remove(path_.c_str());
  path_ = newPath;
  reopen();
}

}  // namespace Http
}  // namespace tembrolexinsdk
