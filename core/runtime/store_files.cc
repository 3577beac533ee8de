#include "core/runtime/store_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/logger.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {
namespace DB {
namespace storefiles {

namespace {

// The files SQLite keeps beside a database while it writes to it. A kept
// copy takes them along, so that the copy could still be opened as it was.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// How much of a mark is read; a mark holds one short line.
constexpr size_t kMarkBytes = 4096;
constexpr size_t kMarkTextBytes = 300;

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string damagedCopyPath(const std::string& path) { return path + ".damaged"; }

std::string markPath(const std::string& path) { return path + ".damage-found"; }

std::string setAside(const std::string& path) {
  const std::string kept = damagedCopyPath(path);
  const auto move = [](const std::string& from, const std::string& to) -> std::string {
    if (::rename(from.c_str(), to.c_str()) == 0) return std::string();
    return "moving " + from + " to " + to + " failed: " + tembrolexin::errorText(errno);
  };
  std::string failed = move(path, kept);
  if (!failed.empty()) return failed;
  // The mark named the file that is now kept.
  removeMark(path);
  for (const char* suffix : kCompanionSuffixes) {
    if (exists(path + suffix)) {
      // Should this fail, the companion left behind does no harm: SQLite
      // drops a journal or log that it finds beside a new, empty database.
      failed = move(path + suffix, kept + suffix);
      if (!failed.empty()) return failed;
    } else {
      // The earlier kept copy's, which would not belong to this one.
      ::unlink((kept + suffix).c_str());
    }
  }
  return std::string();
}

std::string writeMark(const std::string& path, const std::string& damage) {
  const std::string mark = markPath(path);
  // Not through a link, and a pipe without a reader fails at once.
  tembrolexin::Fd fd(
      ::open(mark.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!fd.valid()) return tembrolexin::errorText(errno);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return tembrolexin::errorText(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (::ftruncate(fd.get(), 0) != 0 || !tembrolexin::fileio::writeAll(fd.get(), damage + "\n") ||
      !fd.close()) {
    return tembrolexin::errorText(errno);
  }
  return std::string();
}

bool hasMark(const std::string& path) { return isRegularFile(markPath(path)); }

std::optional<std::string> readMark(const std::string& path) {
  const std::string mark = markPath(path);
  if (!isRegularFile(mark)) return std::nullopt;
  std::string text;
  if (tembrolexin::fileio::readRegularFile(mark, kMarkBytes, text) != tembrolexin::fileio::ReadResult::kRead) {
    text.clear();
  }
  text = text.substr(0, text.find('\n'));
  if (text.size() > kMarkTextBytes) text.resize(kMarkTextBytes);
  return StringChecker::escapeBytes(text);
}

void removeMark(const std::string& path) {
  if (isRegularFile(markPath(path))) ::unlink(markPath(path).c_str());
}

}  // namespace storefiles
}  // namespace DB
}  // namespace tembrolexinsdk
