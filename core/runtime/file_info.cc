#include "core/runtime/file_info.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexin {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void wipe(std::string& bytes) {
  if (!bytes.empty()) ::explicit_bzero(bytes.data(), bytes.size());
}

// The rest of readRegularFile, on the descriptor opened for it.
fileio::ReadResult readOpened(int fd, size_t maxBytes, std::string& text, int& error) {
  using fileio::ReadResult;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = errno;
    return ReadResult::kFailed;
  }
  if (!S_ISREG(st.st_mode)) return ReadResult::kNotRegular;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > maxBytes) return ReadResult::kTooLarge;
  // Room for the size the file tells and one byte more, so that its end is
  // seen without growing; a file that tells none starts with a page.
  constexpr uint64_t kFirstBytes = 4096;
  constexpr uint64_t kMostFirstBytes = uint64_t{64} << 20;
  std::string buffer(
      static_cast<size_t>(std::min(std::max(size + 1, kFirstBytes), kMostFirstBytes)), '\0');
  size_t got = 0;
  for (;;) {
    if (got == buffer.size()) {
      const size_t grown = got > maxBytes / 2 ? maxBytes : got * 2;
      std::string bigger(std::max(grown, got + 1), '\0');
      std::memcpy(bigger.data(), buffer.data(), got);
      wipe(buffer);
      buffer.swap(bigger);
    }
    const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      wipe(buffer);
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got > maxBytes) {
      wipe(buffer);
      return ReadResult::kTooLarge;
    }
  }
  buffer.resize(got);  // shrinking keeps the storage: nothing is copied
  text.swap(buffer);
  return ReadResult::kRead;
}

// The folder holding `relative` below `folder`, opened without following a
// link on any component, and the file's own name; an invalid Fd when a
// component is a link, not a folder, or "..".
Fd openParentBelow(const std::string& folder, const std::string& relative, std::string& leaf) {
  if (!fileio::isUsablePath(folder) || !fileio::isUsablePath(relative) || folder.empty()) {
    errno = EINVAL;
    return Fd();
  }
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string segment = relative.substr(start, end - start);
    if (segment == "..") {
      errno = EINVAL;
      return Fd();
    }
    if (!segment.empty() && segment != ".") segments.push_back(segment);
    start = end + 1;
  }
  if (segments.empty()) {
    errno = EINVAL;
    return Fd();
  }
  Fd at(::open(folder.c_str(), kFolderFlags));
  for (size_t i = 0; at.valid() && i + 1 < segments.size(); ++i) {
    at = Fd(::openat(at.get(), segments[i].c_str(), kFolderFlags));
  }
  leaf = segments.back();
  return at;
}

}  // namespace

namespace fileio {

bool readContentsBelow(const std::string& folder, const std::string& relative, std::string& text) {
  std::string leaf;
  const Fd parent = openParentBelow(folder, relative, leaf);
  if (!parent.valid()) return false;
  const Fd file(::openat(parent.get(), leaf.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  int error = 0;
  text.clear();
  return file.valid() && readOpened(file.get(), kNoBound, text, error) == ReadResult::kRead;
}

ReadResult readRegularFile(const std::string& path, size_t maxBytes, std::string& text,
                           int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  why = 0;
  text.clear();
  if (!isUsablePath(path)) {
    why = EINVAL;
    return ReadResult::kFailed;
  }
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return ReadResult::kMissing;
    why = errno;
    // A socket cannot be opened at all; it is no file either.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      why = 0;
      return ReadResult::kNotRegular;
    }
    return ReadResult::kFailed;
  }
  return readOpened(fd.get(), maxBytes, text, why);
}

int syncFd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    return errno == EINVAL ? 0 : errno;
  }
  return 0;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // no progress: would loop for ever
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool replaceContentsBelow(const std::string& folder, const std::string& relative,
                          const std::string& text, int* error) {
  int ignored = 0;
  int& why = error != nullptr ? *error : ignored;
  why = 0;
  std::string leaf;
  const Fd parent = openParentBelow(folder, relative, leaf);
  if (!parent.valid()) {
    why = errno;
    return false;
  }
  struct stat st;
  const bool existed = ::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (existed && !S_ISREG(st.st_mode)) return false;
  static std::atomic<unsigned> counter{0};
  std::string prefix = ".";
  prefix.append(leaf, 0, 200).append(".tmp").append(runToken()).append("_");
  std::string temp;
  Fd file;
  for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
    temp = prefix + std::to_string(counter.fetch_add(1));
    file = Fd(::openat(parent.get(), temp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid() && errno != EEXIST) {
      why = errno;
      return false;
    }
  }
  if (!file.valid()) {
    why = EEXIST;
    return false;
  }
  // Each step's errno is kept before the next call can change it. The bytes
  // reach the disk before the rename, so that a crash leaves the old page or
  // the new one, never an empty file under the page's name.
  bool ok = fileio::writeAll(file.get(), text);
  if (ok && existed) ok = ::fchmod(file.get(), st.st_mode & 07777) == 0;
  if (ok) ok = ::fsync(file.get()) == 0;
  if (!ok) why = errno;
  if (!file.close() && ok) {
    why = errno;
    ok = false;
  }
  // The rename replaces the name itself: had a link taken the page's place
  // since the check, the link would go, never its target.
  if (ok && ::renameat(parent.get(), temp.c_str(), parent.get(), leaf.c_str()) != 0) {
    why = errno;
    ok = false;
  }
  if (!ok) ::unlinkat(parent.get(), temp.c_str(), 0);
  return ok;
}

int createTempBeside(const std::string& path, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  // Room for the ending within the usual 255-byte limit of a file name.
  constexpr size_t kNameBytesKept = 200;
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string prefix =
      path.substr(0, nameStart) + "." + path.substr(nameStart, kNameBytesKept) + ".tmp";
  const std::string token = runToken();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = prefix + token + "_" + std::to_string(counter.fetch_add(1));
    // 0666 less the process's umask, as for any newly created file.
    const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      tempPath = candidate;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

std::string runToken() {
  // Never destroyed: threads may make temporaries while the process exits.
  static tembrolexin::Mutex& mutex = *new tembrolexin::Mutex;
  static std::string& token = *new std::string;
  static pid_t drawnIn = 0;
  std::lock_guard lock(mutex);
  const pid_t self = ::getpid();
  if (token.empty() || drawnIn != self) {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
      // No entropy yet (early boot): the time to the nanosecond and the
      // process id still tell runs apart.
      bits = static_cast<uint64_t>(
                 std::chrono::system_clock::now().time_since_epoch().count()) ^
             (static_cast<uint64_t>(self) << 40) ^
             static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    token = text;
    drawnIn = self;
  }
  return token;
}

TemporaryName classifyTemporaryName(std::string_view name) {
  if (name.empty() || name.front() != '.') return TemporaryName::kNone;
  const size_t tmp = name.rfind(".tmp");
  if (tmp == std::string_view::npos || tmp == 0) return TemporaryName::kNone;
  const std::string_view rest = name.substr(tmp + 4);
  const size_t underscore = rest.find('_');
  if (underscore == std::string_view::npos) return TemporaryName::kNone;
  const std::string_view mark = rest.substr(0, underscore);
  const std::string_view counter = rest.substr(underscore + 1);
  if (mark.empty() || mark.find_first_not_of("0123456789abcdef") != std::string_view::npos ||
      counter.empty() || counter.find_first_not_of("0123456789") != std::string_view::npos) {
    return TemporaryName::kNone;
  }
  return mark == runToken() ? TemporaryName::kThisRun : TemporaryName::kEarlierRun;
}

}  // namespace fileio

bool FileInfo::exists() const {
  if (!fileio::isUsablePath(path_)) return false;
  // Non-blocking, so that a named pipe does not wait for a writer.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string FileInfo::addPath(std::string a, std::string b) {
  if (a.empty() || a.back() == '/') return a + b;
  return a + "/" + b;
}

size_t FileInfo::getFilenameIndex() const {
  const size_t pos = path_.find_last_of("/\\");
  return pos == std::string::npos ? 0 : pos + 1;
}

std::string FileInfo::path() const { return path_.substr(0, getFilenameIndex()); }

std::string FileInfo::filename() const { return path_.substr(getFilenameIndex()); }

std::string FileInfo::suffix() const {
  const size_t dot = path_.rfind('.');
  if (dot == std::string::npos || dot <= getFilenameIndex()) return std::string();
  return path_.substr(dot + 1);
}

std::string FileInfo::basename() const {
  const std::string name = filename();
  const size_t dot = name.find('.', 1);
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string FileInfo::longBasename() const {
  const size_t index = getFilenameIndex();
  const size_t dot = path_.rfind('.');
  if (dot == std::string::npos || dot <= index) return path_.substr(index);
  return path_.substr(index, dot - index);
}

std::string FileInfo::contents() const {
  std::string result;
  if (fileio::readRegularFile(path_, fileio::kNoBound, result) != fileio::ReadResult::kRead) {
    std::printf("Missing file - %s\r\n", path_.c_str());
    std::fflush(stdout);
  }
  return result;
}

bool FileInfo::replaceContents(std::string text) const {
  const auto writeInPlace = [&]() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = fileio::writeAll(fd, text);
    return (::close(fd) == 0) && written;
  };

  if (!fileio::isUsablePath(path_)) return false;
  struct stat st;
  const bool existed = ::lstat(path_.c_str(), &st) == 0;
  // A link (or anything else that is not a plain file) is written through in
  // place: renaming over it would replace the link itself.
  if (existed && !S_ISREG(st.st_mode)) return writeInPlace();
  // A file that may not be written stays as it is.
  if (existed && ::access(path_.c_str(), W_OK) != 0) return false;

  std::string tempPath;
  const int fd = fileio::createTempBeside(path_, tempPath);
  // A folder that lets us write the file but not create new ones.
  if (fd < 0) return writeInPlace();
  bool ok = fileio::writeAll(fd, text);
  if (ok && existed) ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  // On the disk before the rename: a crash leaves the old text or the new.
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(tempPath.c_str(), path_.c_str()) == 0;
  if (!ok) ::unlink(tempPath.c_str());
  return ok;
}

bool FileInfo::isHiddenOrTemporary(std::string_view pathOrName) {
  const size_t slash = pathOrName.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? pathOrName : pathOrName.substr(slash + 1);
  return !name.empty() && name.front() == '.';
}

int64_t FileInfo::lastModified() const {
  struct stat st;
  if (!fileio::isUsablePath(path_) || ::stat(path_.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtime);
}

}  // namespace tembrolexin
