#include "core/runtime/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace tembrolexin {

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

namespace fileio {

int createTempBeside(const std::string& path, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  // Room for the ending within the usual 255-byte limit of a file name.
  constexpr size_t kNameBytesKept = 200;
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string prefix =
      path.substr(0, nameStart) + "." + path.substr(nameStart, kNameBytesKept) + ".tmp";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate =
        prefix + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
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
  // Non-blocking only matters for a named pipe, which then counts as missing
  // instead of waiting for a writer.
  const int fd =
      fileio::isUsablePath(path_) ? ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    std::printf("Missing file - %s\r\n", path_.c_str());
    std::fflush(stdout);
    return result;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    result.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return result;
}

bool FileInfo::replaceContents(std::string text) const {
  const auto writeInPlace = [&]() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = writeAll(fd, text.data(), text.size());
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
  bool ok = writeAll(fd, text.data(), text.size());
  if (ok && existed) ok = ::fchmod(fd, st.st_mode & 07777) == 0;
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
