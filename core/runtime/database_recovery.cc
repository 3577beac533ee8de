#include "core/runtime/database_recovery.h"

#include <errno.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>

#include "core/runtime/error_text.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {
namespace DB {

namespace {

// The files SQLite keeps beside a database while it writes to it. A kept
// copy takes them along, so that the copy could still be opened as it was.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// Where a damaged file is kept.
std::string damagedCopyPath(const std::string& path) { return path + ".damaged"; }

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// Moves the file at `path` and its companions to "<path>.damaged". Returns ""
// when all were moved, else what failed.
std::string setAside(const std::string& path) {
  const std::string kept = damagedCopyPath(path);
  const auto move = [](const std::string& from, const std::string& to) -> std::string {
    if (::rename(from.c_str(), to.c_str()) == 0) return std::string();
    return "moving " + from + " to " + to + " failed: " + tembrolexin::errorText(errno);
  };
  std::string failed = move(path, kept);
  if (!failed.empty()) return failed;
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

// Whether `path` is a link that leads to no file (its target, or a folder on
// the way, is missing, or the links loop); `target` is then what the link
// names. SQLite would create the store at the target, outside the folder the
// caller chose.
bool isLinkToNothing(const std::string& path, std::string* target) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
  if (::stat(path.c_str(), &info) == 0 || (errno != ENOENT && errno != ELOOP)) return false;
  std::error_code error;
  *target = std::filesystem::read_symlink(path, error).string();
  return true;
}

// Held while a file is checked, and while a damaged file is set aside and
// opened anew. Never destroyed: a thread may open a store while the process
// exits.
std::mutex& recoveryMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// The files (by their mutex) that an opening of this run has checked, and
// the lock over that record. Never destroyed, as above.
std::set<const std::mutex*>& checkedFiles() {
  static auto* files = new std::set<const std::mutex*>();
  return *files;
}
std::mutex& checkedFilesMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

bool wasChecked(const std::mutex* file) {
  std::lock_guard<std::mutex> guard(checkedFilesMutex());
  return checkedFiles().count(file) > 0;
}

// Records the file as checked; true when it was not yet.
bool markChecked(const std::mutex* file) {
  std::lock_guard<std::mutex> guard(checkedFilesMutex());
  return checkedFiles().insert(file).second;
}

// Sets the damaged file whose lock is held aside, unless a store of this
// process has it open. Returns "" when it was set aside, else why not.
std::string setAsideUnlessOpen(const Database::FileLock& lock, const std::string& path) {
  // Another store's connection would go on writing into the kept copy.
  if (Database::openStores(lock) > 0) {
    return "another store of this run has it open, so it is set aside at the next start";
  }
  return setAside(path);
}

}  // namespace

std::unique_ptr<Database> openSettingDamageAside(const std::string& path,
                                                 const std::string& tableName,
                                                 const INamedObject* sender) {
  // Checked in this run and no link to nothing: no more than an opening.
  std::string target;
  if (wasChecked(Database::getDatabaseFileMutex(path)) && !isLinkToNothing(path, &target)) {
    try {
      return std::make_unique<Database>(path, tableName);
    } catch (const OpenError& e) {
      if (!e.damaged()) throw;
    }
  }
  // One check or recovery at a time. Another thread may have set the file
  // aside since the attempt above, so it is tried once more under the lock.
  std::lock_guard<std::mutex> recovering(recoveryMutex());
  std::string damage;                // what the Warning names between parentheses
  std::optional<OpenError> failure;  // the opening's, when it found the damage
  std::string stays;                 // why a damaged file stays where it is
  bool linkToNothing = false;
  {
    // The check, the decision and the renames under one hold of the file's
    // lock: no store of this run opens the file in between.
    Database::FileLock lock = Database::lockFileAt(path);
    linkToNothing = isLinkToNothing(path, &target);
    if (linkToNothing) {
      damage = "a link to " + target + ", which leads to no file";
    } else if (markChecked(lock.mutex())) {
      damage = Database::findDamage(lock, path);
    }
    if (!damage.empty()) stays = setAsideUnlessOpen(lock, path);
  }
  if (damage.empty()) {
    try {
      return std::make_unique<Database>(path, tableName);
    } catch (const OpenError& e) {
      if (!e.damaged()) throw;
      failure.emplace(e);
      damage = e.reason() + ", code " + std::to_string(e.code());
    }
    Database::FileLock lock = Database::lockFileAt(path);
    stays = setAsideUnlessOpen(lock, path);
  }
  const std::string what = "Store " + path + " is damaged (" + damage + "); ";
  if (!stays.empty()) {
    logWithLogger<LogLevel::Warning>(sender, what, stays);
    if (failure) throw *failure;
    // Nothing is written through the link.
    if (linkToNothing) {
      throw OpenError(
          "Database did not open properly. ErrorCode: " + std::to_string(SQLITE_CANTOPEN),
          SQLITE_CANTOPEN, "a link to " + target + ", which leads to no file");
    }
    // The opening decides: a file that is no database fails it, one damaged
    // past its first page opens, and the store serves what it can read.
    return std::make_unique<Database>(path, tableName);
  }
  std::unique_ptr<Database> store;
  try {
    store = std::make_unique<Database>(path, tableName);
  } catch (const OpenError& e) {
    // The opening's own text first, as a caller that knows it expects.
    throw OpenError(std::string(e.what()) + "; store " + path + " is damaged (" + damage +
                        "); it is set aside as " + damagedCopyPath(path) +
                        ", but a new store could not be made: " + e.reason(),
                    e.code(), e.reason());
  }
  logWithLogger<LogLevel::Warning>(sender, what, "it is set aside as ", damagedCopyPath(path),
                                   " and a new, empty store is made");
  return store;
}

}  // namespace DB
}  // namespace tembrolexinsdk
