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
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/runtime/checked_mutex.h"
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
  MovedEntry entry = moveToFreeName(at, [&at](int n) {
    std::string name = at + ".obstacle";
    if (n > 1) name += '-' + std::to_string(n);
    return name;
  });
  // Another process's start, checking the store beside this one, moved it
  // first, and tells of it.
  if (!entry.failed.empty() && entryKind(at).empty()) return;
  moved->push_back(std::move(entry));
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

// The text of a carry record: the kept copy by its name alone (the folder
// may be reached by another path at the next start), and the damage.
std::string recordText(const std::string& kept, const std::string& damage) {
  return kept.substr(folderOf(kept).size()) + "\n" + damage + "\n";
}

// Gives the lock file `file`, which this user may not open, back its
// owner's read and write when it is a regular file of this user's own.
// Returns what was done, for a Warning, or "" when nothing was.
std::string giveBackReadAndWrite(const std::string& file) {
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    return std::string();
  }
  const mode_t before = info.st_mode & 07777;
  const mode_t after = before | S_IRUSR | S_IWUSR;
  // Not through a link that took the file's place since.
  if (before == after || ::fchmodat(AT_FDCWD, file.c_str(), after, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::string();
  }
  char modes[48];
  std::snprintf(modes, sizeof modes, "its mode %04o is now %04o", static_cast<unsigned>(before),
                static_cast<unsigned>(after));
  return file + " could not be opened (" + tembrolexin::errorText(EACCES) + "); " + modes;
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

std::string busyText(const std::string& file, std::chrono::milliseconds waited) {
  return "another process is checking or mending the store; " + file + " was still locked after " +
         std::to_string(waited.count()) + " ms";
}

bool firstLockFailure(const std::string& file) {
  // Never destroyed: a thread may open a store while the process exits.
  static auto* mutex = new tembrolexin::Mutex();
  static auto* told = new std::set<std::string>();
  std::lock_guard guard(*mutex);
  return told->insert(file).second;
}

FlockHold::FlockHold(FlockHold&& other) noexcept
    : fd_(std::move(other.fd_)), owner_(std::exchange(other.owner_, 0)) {}

FlockHold& FlockHold::operator=(FlockHold&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::move(other.fd_);
    owner_ = std::exchange(other.owner_, 0);
  }
  return *this;
}

int FlockHold::take(tembrolexin::Fd fd, int operation, std::chrono::milliseconds wait) {
  release();
  fd_ = std::move(fd);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd_.get(), operation | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) return error;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return EWOULDBLOCK;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  owner_ = ::getpid();
  return 0;
}

void FlockHold::release() {
  // In a child forked during the hold, the description is the parent's too.
  if (owner_ != 0 && owner_ == ::getpid()) ::flock(fd_.get(), LOCK_UN);
  owner_ = 0;
  fd_ = tembrolexin::Fd();
}

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
  const auto open = [this] {
    return tembrolexin::Fd(
        ::open(file_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  };
  tembrolexin::Fd fd = open();
  if (!fd.valid() && errno == EACCES) {
    // Left without it for good otherwise, and so without the lock.
    mended_ = giveBackReadAndWrite(file_);
    if (!mended_.empty()) fd = open();
    if (!fd.valid() && mended_.empty()) errno = EACCES;
  }
  if (!fd.valid()) {
    // Without its folder there is no store, and no opening makes one.
    if (errno == ENOENT || errno == ENOTDIR) state_ = State::kNoFolder;
    failed_ = tembrolexin::errorText(errno);
    return;
  }
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    failed_ = "not a regular file";
    return;
  }
  waited_ = lockWait();
  const int error = hold_.take(std::move(fd), mode == Mode::kShared ? LOCK_SH : LOCK_EX, waited_);
  if (error == 0) {
    state_ = State::kHeld;
    return;
  }
  hold_.release();
  if (error == EWOULDBLOCK) {
    state_ = State::kBusy;
  } else {
    failed_ = tembrolexin::errorText(error);
  }
}

std::string StoreLock::busyText() const { return storefiles::busyText(file_, waited_); }

CarryRecordHold::CarryRecordHold(const std::string& path, Use use) : file_(carryDuePath(path)) {
  // A folder, a link or a pipe there would fail the record's write.
  if (use == Use::kMake && !entryKind(file_).empty()) {
    moved_ = moveToFreeName(file_, [this](int n) { return file_ + "." + std::to_string(n); });
    if (!moved_->failed.empty()) {
      if (!entryKind(file_).empty()) {
        failed_ = moved_->failed;
        return;
      }
      moved_.reset();
    }
  }
  waited_ = lockWait();
  const auto deadline = std::chrono::steady_clock::now() + waited_;
  for (;;) {
    // Not through a link, and never waiting on a pipe that took its place.
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    tembrolexin::Fd fd;
    if (use == Use::kMake) {
      fd = tembrolexin::Fd(::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | kFlags, 0644));
      if (!fd.valid() && errno == EEXIST) {
        fd = tembrolexin::Fd(::open(file_.c_str(), O_WRONLY | kFlags));
      }
    } else {
      fd = tembrolexin::Fd(::open(file_.c_str(), O_RDONLY | kFlags));
    }
    struct stat opened;
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      // What is no regular file is no record (readCarryDue).
      if (use == Use::kResume && (!fd.valid() ? errno == ENOENT || errno == ELOOP : true)) {
        state_ = State::kGone;
      } else {
        failed_ = fd.valid() ? "not a regular file" : tembrolexin::errorText(errno);
      }
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    const int error = hold_.take(
        std::move(fd), LOCK_EX,
        std::chrono::duration_cast<std::chrono::milliseconds>(std::max(deadline - now, {})));
    if (error == EWOULDBLOCK) {
      hold_.release();
      state_ = State::kBusy;
      return;
    }
    if (error != 0) {
      hold_.release();
      failed_ = tembrolexin::errorText(error);
      return;
    }
    // The process this one waited for removed the record, or put another in
    // its place: only the one at the name counts.
    struct stat atName;
    if (::lstat(file_.c_str(), &atName) == 0 && atName.st_dev == opened.st_dev &&
        atName.st_ino == opened.st_ino) {
      state_ = State::kHeld;
      return;
    }
    hold_.release();
    if (use == Use::kResume && !exists(file_)) {
      state_ = State::kGone;
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      state_ = State::kBusy;
      return;
    }
  }
}

std::string CarryRecordHold::busyText() const { return storefiles::busyText(file_, waited_); }

std::string CarryRecordHold::write(const std::string& kept, const std::string& damage) const {
  if (state_ != State::kHeld) return failed_.empty() ? "it is not held" : failed_;
  const int fd = hold_.fd();
  if (::ftruncate(fd, 0) != 0 || !tembrolexin::fileio::writeAll(fd, recordText(kept, damage))) {
    return tembrolexin::errorText(errno);
  }
  if (const int error = syncFd(fd); error != 0) return tembrolexin::errorText(error);
  syncFolderOf(file_);
  return std::string();
}

}  // namespace storefiles
}  // namespace DB
}  // namespace tembrolexinsdk
