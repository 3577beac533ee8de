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
#include <exception>
#include <optional>
#include <tuple>

#include "core/runtime/json_text.h"

namespace tembrolexinsdk {

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
    parsed = parseJsonText(line, record, false);
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
  const auto foreign = [](std::string reason) {
    return RecordFileCheck{RecordFileCheck::kForeign, std::move(reason)};
  };
  const auto broken = [](std::string reason) {
    return RecordFileCheck{RecordFileCheck::kBroken, std::move(reason)};
  };
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!isRecordFileName(name)) return foreign("not a record file name");
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return foreign("not found");
  if (S_ISLNK(st.st_mode)) return foreign("a symbolic link");
  if (!S_ISREG(st.st_mode)) return foreign("not a regular file");
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return foreign("cannot be read");
  std::string text;
  RecordFileCheck problem;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    problem = foreign("not a regular file");
  } else if (st.st_uid != ::geteuid()) {
    problem = foreign("owned by another user");
  } else if (st.st_size == 0) {
    problem = broken("empty");
  } else if (st.st_size > kMaxUploadBytes) {
    problem = broken(std::to_string(st.st_size) + " bytes, more than a record file holds");
  } else {
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got != text.size()) problem = foreign("cannot be read");
  }
  ::close(fd);
  if (problem.verdict != RecordFileCheck::kSendable) return problem;
  // The whole lines, up to the first that is cut off or not a record. Only
  // the last line can lack its newline; it is whole when it reads as a record.
  std::size_t lines = 0;
  std::size_t end = 0;  // of the whole lines
  bool newlineMissing = false;
  std::string damage;
  while (end < text.size()) {
    const std::size_t newline = text.find('\n', end);
    const bool ended = newline != std::string::npos;
    const std::size_t stop = ended ? newline : text.size();
    const std::optional<std::string> id = recordId(text.substr(end, stop - end));
    if (!id) {
      damage = ended ? "line " + std::to_string(lines + 1) + " is not a record"
                     : "its last line is cut off";
      break;
    }
    if (lines == 0 && *id != "HEADER") return broken("it does not begin with a header");
    ++lines;
    end = ended ? newline + 1 : stop;
    newlineMissing = !ended;
  }
  if (lines == 0) return broken(damage);  // no header: nothing worth sending
  if (damage.empty() && !newlineMissing) return RecordFileCheck{};
  RecordFileCheck cut;
  cut.verdict = RecordFileCheck::kCutBack;
  cut.fileBytes = static_cast<int64_t>(text.size());
  cut.keptBytes = static_cast<int64_t>(end);
  cut.keptLines = lines;
  if (damage.empty()) {
    cut.reason = "its last line ends without a newline";
    cut.addNewline = true;
  } else {
    cut.reason = std::move(damage);
    const auto rest = text.begin() + static_cast<std::ptrdiff_t>(end);
    cut.droppedLines = static_cast<std::size_t>(std::count(rest, text.end(), '\n')) +
                       (text.back() != '\n' ? 1 : 0);
  }
  return cut;
}

int cutBackRecordFile(const std::string& path, const RecordFileCheck& check) {
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
