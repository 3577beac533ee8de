#include "core/runtime/store_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/logger.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {
namespace DB {
namespace storefiles {

namespace {

using tembrolexin::fileio::syncFd;

// The files SQLite keeps beside a database while it writes to it. A kept
// copy takes them along, so that the copy could still be opened as it was.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// How much of a mark or a carry record is read: a mark holds one short
// line, a record two (the kept copy's file name and the damage).
constexpr size_t kMarkBytes = 4096;
constexpr size_t kMarkTextBytes = 300;

// How long a StoreLock waits, in milliseconds.
std::atomic<std::int64_t> lockWaitMs{10000};

// How many numbered names ("<name>.damaged.<n>" and the like) are tried
// before giving up: each is taken only by what an earlier start kept.
constexpr int kNumberedNames = 1000;

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// What an entry of `mode` that is no regular file is, for a Warning.
const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a link";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

// What lies at `path` without following a link, for a Warning; "" for a
// regular file or nothing.
std::string entryKind(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return std::string();
  return kindOf(info.st_mode);
}

std::string moveFailed(const std::string& from, const std::string& to, int error) {
  return "moving " + from + " to " + to + " failed: " + tembrolexin::errorText(error);
}

// Renames `from` (a link as a link) to `to` unless something lies at `to`
// (errno EEXIST then): nothing kept there is replaced.
bool renameNoReplace(const std::string& from, const std::string& to) {
#if defined(__GLIBC__) && defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  // A file system that cannot refuse to replace: looked at first below.
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  if (exists(to)) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// Moves the entry at `from` to the first free of `name(1)`, `name(2)`, ...
// and tells of it.
template <typename Name>
MovedEntry moveToFreeName(const std::string& from, const Name& name) {
  MovedEntry moved{entryKind(from), from, name(1), std::string()};
  for (int n = 1; n <= kNumberedNames; ++n) {
    moved.to = name(n);
    if (renameNoReplace(from, moved.to)) return moved;
    if (errno != EEXIST) break;
  }
  moved.failed = tembrolexin::errorText(errno);
  return moved;
}

// The folder part of `path`, with its "/"; "" when it has none.
std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Syncs the folder that holds `path`, so that a name made or changed in it
// is on the disk too. Should this fail, a power cut may bring back the
// folder as it was.
void syncFolderOf(const std::string& path) {
  const std::string folder = folderOf(path);
  tembrolexin::Fd fd(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) syncFd(fd.get());
}

// Moves what is no regular file at `at` to the first free of
// "<at>.obstacle", "<at>.obstacle-2", ... and adds it to `*moved`.
void moveObstacleAside(const std::string& at, std::vector<MovedEntry>* moved) {
  if (entryKind(at).empty()) return;
  moved->push_back(moveToFreeName(at, [&at](int n) {
    std::string name = at + ".obstacle";
    if (n > 1) name += '-' + std::to_string(n);
    return name;
  }));
}

// Writes `text` into the regular file `file`, made when missing. An entry
// there that is no regular file is first moved to the first free
// "<file>.<n>" (n from 1; a link as a link), and `*moved` then tells of it.
// With `sync`, the file and its folder are synced to the disk. Returns ""
// or the system's reason.
std::string writeSmallFile(const std::string& file, const std::string& text, bool sync,
                           std::optional<MovedEntry>* moved) {
  // A folder, a link or a pipe there would fail every write.
  if (!entryKind(file).empty()) {
    *moved = moveToFreeName(file, [&file](int n) { return file + "." + std::to_string(n); });
    if (!(*moved)->failed.empty()) return (*moved)->failed;
  }
  // Not through a link, and a pipe without a reader fails at once.
  tembrolexin::Fd fd(
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!fd.valid()) return tembrolexin::errorText(errno);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return tembrolexin::errorText(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (::ftruncate(fd.get(), 0) != 0 || !tembrolexin::fileio::writeAll(fd.get(), text)) {
    return tembrolexin::errorText(errno);
  }
  if (sync) {
    if (const int error = syncFd(fd.get()); error != 0) return tembrolexin::errorText(error);
  }
  if (!fd.close()) return tembrolexin::errorText(errno);
  if (sync) syncFolderOf(file);
  return std::string();
}

// The first line of `text`, at most 300 bytes, made fit for a log line.
std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() > kMarkTextBytes) line.resize(kMarkTextBytes);
  return StringChecker::escapeBytes(line);
}

// The text of the small file at `file` ("" when it cannot be read), or
// nothing when no regular file lies there.
std::optional<std::string> readSmallFile(const std::string& file) {
  if (!isRegularFile(file)) return std::nullopt;
  std::string text;
  if (tembrolexin::fileio::readRegularFile(file, kMarkBytes, text) !=
      tembrolexin::fileio::ReadResult::kRead) {
    text.clear();
  }
  return text;
}

// Whether `name` is one setAside gives the file named `file`: "<file>.damaged"
// or "<file>.damaged.<n>".
bool isKeptName(const std::string& file, const std::string& name) {
  const std::string kept = file + ".damaged";
  if (name == kept) return true;
  if (name.size() <= kept.size() + 1 || name.compare(0, kept.size() + 1, kept + ".") != 0) {
    return false;
  }
  const std::string number = name.substr(kept.size() + 1);
  if (number.size() > 4 || number[0] == '0') return false;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoi(number) <= kNumberedNames;
}

}  // namespace

std::string MovedEntry::text() const {
  return kind + " at " + from + " is in the way; " +
         (failed.empty() ? "it is moved to " + to : "moving it to " + to + " failed: " + failed);
}

std::string damagedCopyPath(const std::string& path) { return path + ".damaged"; }

std::string markPath(const std::string& path) { return path + ".damage-found"; }

std::string carryCopyPath(const std::string& path) { return path + ".carry"; }

std::string carryDuePath(const std::string& path) { return path + ".carry-due"; }

std::string lockPath(const std::string& path) { return path + ".lock"; }

std::string notARegularFile(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? "gone" : "out of reach (" + tembrolexin::errorText(errno) + ")";
  }
  if (!S_ISLNK(info.st_mode)) return S_ISREG(info.st_mode) ? std::string() : kindOf(info.st_mode);
  const bool leads = ::stat(path.c_str(), &info) == 0;
  if (leads && S_ISREG(info.st_mode)) return std::string();
  const int followError = leads ? 0 : errno;
  std::error_code error;
  const std::string link = "a link to " + std::filesystem::read_symlink(path, error).string();
  // A chain too long to follow, or a folder on the way that may not be
  // searched, leads somewhere: the Warning says why it was not reached.
  if (!leads && followError != ENOENT) {
    return link + ", which cannot be followed (" + tembrolexin::errorText(followError) + ")";
  }
  return link + ", which leads to " + (leads ? kindOf(info.st_mode) : "no file");
}

std::string setAside(const std::string& path, std::string* kept,
                     const std::function<void(const std::string& to)>& beforeMove) {
  // What is no regular file at a companion's name is no companion; the
  // opening that follows moves it out of the way.
  constexpr size_t kCompanions = std::size(kCompanionSuffixes);
  bool along[kCompanions];
  for (size_t i = 0; i < kCompanions; ++i) along[i] = isRegularFile(path + kCompanionSuffixes[i]);
  // Whether any of the copy's four names at `base` is held by a folder, or
  // by anything at all.
  const auto anyAt = [](const std::string& base, bool (*holds)(const std::string&)) {
    if (holds(base)) return true;
    for (const char* suffix : kCompanionSuffixes) {
      if (holds(base + suffix)) return true;
    }
    return false;
  };
  *kept = damagedCopyPath(path);
  if (!anyAt(*kept, isFolder)) {
    // The earlier kept copy is replaced.
    if (beforeMove) beforeMove(*kept);
    if (::rename(path.c_str(), kept->c_str()) != 0) return moveFailed(path, *kept, errno);
  } else {
    // A folder cannot be replaced, and is not removed: the copy takes a
    // numbered name whose companions' names are free too.
    int error = EEXIST;
    for (int n = 1; n <= kNumberedNames; ++n) {
      *kept = damagedCopyPath(path) + "." + std::to_string(n);
      if (anyAt(*kept, exists)) continue;
      if (beforeMove) beforeMove(*kept);
      error = renameNoReplace(path, *kept) ? 0 : errno;
      if (error != EEXIST) break;
    }
    if (error != 0) return moveFailed(path, *kept, error);
  }
  // The mark named the file that is now kept.
  removeMark(path);
  for (size_t i = 0; i < kCompanions; ++i) {
    const std::string from = path + kCompanionSuffixes[i];
    const std::string to = *kept + kCompanionSuffixes[i];
    if (along[i]) {
      // Should this fail, the companion left behind does no harm: SQLite
      // drops a journal or log that it finds beside a new, empty database.
      if (::rename(from.c_str(), to.c_str()) != 0) return moveFailed(from, to, errno);
    } else {
      // The earlier kept copy's, which would not belong to this one.
      ::unlink(to.c_str());
    }
  }
  return std::string();
}

std::vector<MovedEntry> moveObstaclesAside(const std::string& path) {
  std::vector<MovedEntry> moved;
  for (const char* suffix : kCompanionSuffixes) moveObstacleAside(path + suffix, &moved);
  return moved;
}

std::vector<MovedEntry> clearCopyNames(const std::string& copy) {
  for (const std::string& leftover : {copy, copy + "-journal"}) {
    if (isRegularFile(leftover)) ::unlink(leftover.c_str());
  }
  std::vector<MovedEntry> moved;
  moveObstacleAside(copy, &moved);
  for (const char* suffix : kCompanionSuffixes) moveObstacleAside(copy + suffix, &moved);
  return moved;
}

std::string putCopyInPlace(const std::string& copy, const std::string& to) {
  {
    tembrolexin::Fd fd(::open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int error = fd.valid() ? syncFd(fd.get()) : errno;
    if (error != 0) return "syncing " + copy + " failed: " + tembrolexin::errorText(error);
  }
  if (!renameNoReplace(copy, to)) return moveFailed(copy, to, errno);
  syncFolderOf(to);
  return std::string();
}

std::string writeMark(const std::string& path, const std::string& damage,
                      std::optional<MovedEntry>* moved) {
  return writeSmallFile(markPath(path), damage + "\n", false, moved);
}

bool hasMark(const std::string& path) { return isRegularFile(markPath(path)); }

std::optional<std::string> readMark(const std::string& path) {
  const auto text = readSmallFile(markPath(path));
  if (!text) return std::nullopt;
  return firstLine(*text);
}

void removeMark(const std::string& path) {
  if (isRegularFile(markPath(path))) ::unlink(markPath(path).c_str());
}

std::string writeCarryDue(const std::string& path, const std::string& kept,
                          const std::string& damage, std::optional<MovedEntry>* moved) {
  // The kept copy by its name alone: the folder may be reached by another
  // path at the next start.
  return writeSmallFile(carryDuePath(path),
                        kept.substr(folderOf(kept).size()) + "\n" + damage + "\n", true, moved);
}

std::optional<CarryDue> readCarryDue(const std::string& path) {
  const auto text = readSmallFile(carryDuePath(path));
  if (!text) return std::nullopt;
  const size_t end = text->find('\n');
  const std::string name = text->substr(0, end);
  CarryDue due;
  // Any other name is none the opener gave: nothing is carried from it.
  if (isKeptName(path.substr(folderOf(path).size()), name)) due.kept = folderOf(path) + name;
  if (end != std::string::npos) due.damage = firstLine(text->substr(end + 1));
  return due;
}

void removeCarryDue(const std::string& path) {
  if (isRegularFile(carryDuePath(path))) ::unlink(carryDuePath(path).c_str());
}

std::chrono::milliseconds lockWait() { return std::chrono::milliseconds(lockWaitMs.load()); }

void setLockWait(std::chrono::milliseconds wait) { lockWaitMs.store(wait.count()); }

StoreLock::StoreLock(const std::string& path, Mode mode) : file_(lockPath(path)) {
  // A folder, a link or a pipe there would hold or fail every start.
  if (!entryKind(file_).empty()) {
    moved_ = moveToFreeName(file_, [this](int n) { return file_ + "." + std::to_string(n); });
    if (!moved_->failed.empty()) {
      if (!entryKind(file_).empty()) {
        failed_ = moved_->text();
        return;
      }
      moved_.reset();  // another start moved it first, and tells of it
    }
  }
  // Not through a link, and never waiting on a pipe that took its place.
  fd_ = tembrolexin::Fd(
      ::open(file_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!fd_.valid()) {
    // Without its folder there is no store, and no opening makes one.
    if (errno == ENOENT || errno == ENOTDIR) state_ = State::kNoFolder;
    failed_ = tembrolexin::errorText(errno);
    return;
  }
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    failed_ = "not a regular file";
    fd_ = tembrolexin::Fd();
    return;
  }
  const int operation = (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  waited_ = lockWait();
  const auto deadline = std::chrono::steady_clock::now() + waited_;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd_.get(), operation) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      failed_ = tembrolexin::errorText(errno);
      fd_ = tembrolexin::Fd();
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      state_ = State::kBusy;
      fd_ = tembrolexin::Fd();
      return;
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  state_ = State::kHeld;
}

std::string StoreLock::busyText() const {
  return "another process is checking or mending the store; " + file_ + " was still locked after " +
         std::to_string(waited_.count()) + " ms";
}

}  // namespace storefiles
}  // namespace DB
}  // namespace tembrolexinsdk
