#include "core/runtime/database_recovery.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

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

// Held while a damaged file is set aside and opened anew. Never destroyed: a
// thread may open a store while the process exits.
std::mutex& recoveryMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

}  // namespace

std::unique_ptr<Database> openSettingDamageAside(const std::string& path,
                                                 const std::string& tableName,
                                                 const INamedObject* sender) {
  try {
    return std::make_unique<Database>(path, tableName);
  } catch (const OpenError& e) {
    if (!e.damaged()) throw;
  }
  // One recovery at a time. Another thread may have set the file aside since
  // the attempt above, so it is tried once more under the lock.
  std::lock_guard<std::mutex> recovering(recoveryMutex());
  try {
    return std::make_unique<Database>(path, tableName);
  } catch (const OpenError& e) {
    if (!e.damaged()) throw;
    const std::string what = "Store " + path + " is damaged (" + e.reason() + ", code " +
                             std::to_string(e.code()) + "); ";
    std::string failed;
    {
      Database::FileLock lock = Database::lockFileAt(path);
      // Another store's connection would go on writing into the kept copy.
      if (Database::openStores(lock) > 0) {
        failed = "another store of this run has it open, so it is set aside at the next start";
      } else {
        failed = setAside(path);
      }
    }
    if (!failed.empty()) {
      logWithLogger<LogLevel::Warning>(sender, what, failed);
      throw;
    }
    logWithLogger<LogLevel::Warning>(sender, what, "it is set aside as ", damagedCopyPath(path),
                                     " and a new, empty store is made");
  }
  return std::make_unique<Database>(path, tableName);
}

}  // namespace DB
}  // namespace tembrolexinsdk
