#include "core/analytics/record_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <tuple>

#include "core/runtime/file_info.h"
#include "core/runtime/json_text.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {

namespace fileio = tembrolexin::fileio;
using tembrolexin::Fd;

namespace {

bool isNamePart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// The file-size limit of the process in bytes; -1 for none.
int64_t fileSizeLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<int64_t>(limit.rlim_cur);
}

// The "id" of a record line: a JSON object whose "id" is a text.
std::optional<std::string> recordId(const std::string& line) {
  Json::Value record;
  bool parsed = false;
  try {
    parsed = parseWholeJsonText(line, record, false);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed || !record.isObject() || !record["id"].isString()) return std::nullopt;
  return record["id"].asString();
}

}  // namespace

RecordFile::RecordFile(WriteCall write) : write_(std::move(write)) {
  if (!write_) write_ = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); };
}

RecordFile::~RecordFile() { close(); }

int RecordFile::create(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  fd_ = fd;
  size_ = 0;
  return 0;
}

int RecordFile::append(const std::string& text) {
  if (fd_ < 0) return EBADF;
  const int64_t limit = fileSizeLimit();
  if (limit >= 0 && size_ + static_cast<int64_t>(text.size()) > limit) return EFBIG;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write_(fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n == 0 ? EIO : errno;
    // Nothing of a line that is not whole may stay: the file ends after its
    // last complete line again.
    if (done > 0 && (::ftruncate(fd_, size_) != 0 || ::lseek(fd_, size_, SEEK_SET) != size_)) {
      // The cut failed too: nothing more can go into this file safely.
      ::close(fd_);
      fd_ = -1;
    }
    return error;
  }
  size_ += static_cast<int64_t>(text.size());
  return 0;
}

int RecordFile::close() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  return result;
}

bool isRecordFileName(const std::string& name) {
  // Never destroyed: threads still running at exit may use them.
  static const std::string& kPrefix = *new std::string("sdk_");
  static const std::string& kSuffix = *new std::string(".json");
  if (name.size() > 255 || name.size() <= kPrefix.size() + kSuffix.size()) return false;
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  if (name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
  return std::all_of(name.begin(), name.end(), isNamePart);
}

std::string recordFileNamePart(const std::string& text) {
  if (text.empty()) return "_";
  std::string out = text;
  for (char& c : out) {
    if (!isNamePart(c)) c = '_';
  }
  return out;
}

RecordFileCheck checkRecordFile(const std::string& path) {
  const auto verdict = [](RecordFileCheck::Verdict verdict, std::string reason) {
    RecordFileCheck check;
    check.verdict = verdict;
    check.reason = std::move(reason);
    return check;
  };
  const auto foreign = [&](std::string reason) {
    return verdict(RecordFileCheck::kForeign, std::move(reason));
  };
  const auto broken = [&](std::string reason) {
    return verdict(RecordFileCheck::kBroken, std::move(reason));
  };
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!isRecordFileName(name)) return foreign("not a record file name");
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return foreign("not found");
  if (S_ISLNK(st.st_mode)) return foreign("a symbolic link");
  if (!S_ISREG(st.st_mode)) return foreign("not a regular file");
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return foreign("cannot be read");
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return foreign("not a regular file");
  if (st.st_uid != ::geteuid()) return foreign("owned by another user");
  if (st.st_size == 0) return broken("empty");

  // The file is read once, a block at a time, line by line. Only the line
  // being read is held, and of it no more than a record can be long: a
  // longer line is no record. Every line that reads as a record is kept, in
  // its place; the others are dropped. A hole (a sparse stretch) reads as
  // zero bytes, which no record holds, so it is skipped, not read.
  RecordFileCheck result;
  result.fileBytes = static_cast<int64_t>(st.st_size);
  const int64_t fileBytes = result.fileBytes;
  std::string line;
  int64_t lineStart = 0;
  bool lineSpoilt = false;  // too long, or with a hole in it
  std::size_t lineNumber = 0;
  std::string damage;  // the first
  bool tooMuch = false;
  // Judges the line from lineStart to `end` (its newline included when
  // `ended`); false when the file is found broken (`result` says why).
  const auto judge = [&](int64_t end, bool ended) {
    ++lineNumber;
    const std::optional<std::string> id =
        lineSpoilt ? std::nullopt : recordId(ended ? line.substr(0, line.size() - 1) : line);
    if (lineNumber == 1 && !id) {
      result = broken(ended ? "line 1 is not a record" : "its last line is cut off");
      return false;
    }
    if (lineNumber == 1 && *id != "HEADER") {
      result = broken("it does not begin with a header");
      return false;
    }
    if (id) {
      // The limit applies to what is sent, whatever damage came with it;
      // past it, the records are only counted.
      if (result.keptBytes + (end - lineStart) + (ended ? 0 : 1) > kMaxUploadBytes) {
        result.kept.clear();
        result.kept.shrink_to_fit();
        tooMuch = true;
      } else if (!tooMuch && !result.kept.empty() && result.kept.back().second == lineStart) {
        result.kept.back().second = end;
      } else if (!tooMuch) {
        result.kept.emplace_back(lineStart, end);
      }
      ++result.keptLines;
      result.keptBytes += end - lineStart;
      result.addNewline = !ended;
    } else {
      ++result.droppedLines;
      if (damage.empty()) {
        damage = ended ? "line " + std::to_string(lineNumber) + " is not a record"
                       : "its last line is cut off";
      }
    }
    line.clear();
    lineStart = end;
    lineSpoilt = false;
    return true;
  };
  const auto take = [&](const char* data, std::size_t size) {
    if (lineSpoilt) return;
    if (line.size() + size > static_cast<std::size_t>(kMaxRecordBytes) + 1) {
      lineSpoilt = true;
      line.clear();
      line.shrink_to_fit();
      return;
    }
    line.append(data, size);
  };
  std::vector<char> block(64 * 1024);
  int64_t at = 0;
  while (at < fileBytes) {
    if (lineSpoilt && lineNumber == 0) return broken("line 1 is not a record");
    const off_t data = ::lseek(fd.get(), static_cast<off_t>(at), SEEK_DATA);
    if (data > at || (data < 0 && errno == ENXIO)) {
      lineSpoilt = true;
      at = data < 0 ? fileBytes : std::min<int64_t>(data, fileBytes);
      continue;
    }
    const std::size_t want = static_cast<std::size_t>(
        std::min<int64_t>(static_cast<int64_t>(block.size()), fileBytes - at));
    const ssize_t n = ::pread(fd.get(), block.data(), want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return foreign("cannot be read");
    const char* from = block.data();
    const char* const got = block.data() + n;
    while (from < got) {
      const char* newline = static_cast<const char*>(std::memchr(from, '\n', got - from));
      const char* stop = newline == nullptr ? got : newline + 1;
      take(from, static_cast<std::size_t>(stop - from));
      if (newline != nullptr && !judge(at + (stop - block.data()), true)) return result;
      from = stop;
    }
    at += n;
  }
  if (lineStart < fileBytes && !judge(fileBytes, false)) return result;
  if (tooMuch) {
    return broken(std::to_string(result.keptBytes) +
                  " bytes of records, more than a record file holds");
  }
  if (result.droppedLines == 0 && !result.addNewline) return RecordFileCheck{};
  // The header is kept, so the first kept stretch begins the file: one
  // stretch is the file cut back; more need a new file made of them.
  result.verdict = result.kept.size() == 1 ? RecordFileCheck::kCutBack : RecordFileCheck::kRewrite;
  result.reason = damage.empty() ? "its last line ends without a newline" : damage;
  return result;
}

namespace {

// The kept stretches of `from` copied into `to`, then the missing newline;
// 0, or the errno of the failure.
int copyKept(int from, int to, const RecordFileCheck& check) {
  std::vector<char> block(64 * 1024);
  for (const auto& [begin, end] : check.kept) {
    for (int64_t at = begin; at < end;) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(block.size()), end - at));
      const ssize_t n = ::pread(from, block.data(), want, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n == 0 ? ESTALE : errno;
      if (!fileio::writeAll(to, std::string_view(block.data(), static_cast<std::size_t>(n)))) {
        return errno;
      }
      at += n;
    }
  }
  return !check.addNewline || fileio::writeAll(to, "\n") ? 0 : errno;
}

// Replaces the file at `path` by a new one made of its kept stretches: the
// new file is written beside it under a temporary name, synced, and renamed
// over it, and the folder is synced, so that a crash or a power cut at any
// moment leaves the old file or the new one, whole.
int rewriteRecordFile(const std::string& path, const RecordFileCheck& check) {
  const Fd from(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!from.valid()) return errno;
  struct stat st {};
  if (::fstat(from.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (st.st_size != check.fileBytes) return ESTALE;
  const int64_t limit = fileSizeLimit();
  if (limit >= 0 && check.keptBytes + (check.addNewline ? 1 : 0) > limit) return EFBIG;
  const std::size_t slash = path.rfind('/');
  const std::string folderPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const Fd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return errno;
  std::string temp;
  Fd to(fileio::createTempBeside(path, temp));
  if (!to.valid()) return errno;
  // The old file's permissions before any record goes in.
  int error = ::fchmod(to.get(), st.st_mode & 07777) == 0 ? 0 : errno;
  if (error == 0) error = copyKept(from.get(), to.get(), check);
  if (error == 0 && ::fsync(to.get()) != 0) error = errno;
  if (!to.close() && error == 0) error = errno;
  // Written to while it was copied: what was checked is not what is there.
  if (error == 0 && (::fstat(from.get(), &st) != 0 || st.st_size != check.fileBytes)) {
    error = ESTALE;
  }
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return error;
  }
  // The new name on the disk too. Should this fail, a power cut may bring
  // back the old file, which is then checked again: nothing is lost.
  ::fsync(folder.get());
  return 0;
}

}  // namespace

int repairRecordFile(const std::string& path, const RecordFileCheck& check) {
  if (check.verdict == RecordFileCheck::kRewrite) return rewriteRecordFile(path, check);
  if (check.verdict != RecordFileCheck::kCutBack) return EINVAL;
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
  } else if (st.st_size != check.fileBytes) {
    error = ESTALE;  // written to since it was read: what was checked is not what is there
  } else if (check.keptBytes < check.fileBytes && ::ftruncate(fd, check.keptBytes) != 0) {
    error = errno;
  } else if (const int64_t limit = fileSizeLimit();
             check.addNewline && (limit < 0 || check.keptBytes < limit)) {
    // Left out when it cannot be written (a full disk, the file-size limit):
    // the file still ends after whole records.
    ssize_t n;
    do {
      n = ::pwrite(fd, "\n", 1, check.keptBytes);
    } while (n < 0 && errno == EINTR);
  }
  ::close(fd);
  return error;
}

void removeEarlierTemporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    if (fileio::classifyTemporaryName(entry->d_name) == fileio::TemporaryName::kEarlierRun) {
      leftovers.emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : leftovers) {
    const std::string path = folder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
  }
}

std::vector<std::string> pendingRecordFiles(const std::string& folder) {
  struct Entry {
    timespec mtime;
    std::string name;
  };
  std::vector<Entry> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return {};
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!isRecordFileName(name)) continue;
    struct stat st {};
    if (::lstat((folder + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    entries.push_back({st.st_mtim, name});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.mtime.tv_sec, a.mtime.tv_nsec, a.name) <
           std::tie(b.mtime.tv_sec, b.mtime.tv_nsec, b.name);
  });
  std::vector<std::string> paths;
  paths.reserve(entries.size());
  for (const Entry& e : entries) paths.push_back(folder + "/" + e.name);
  return paths;
}

std::string printableName(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace tembrolexinsdk
