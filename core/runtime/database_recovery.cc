#include "core/runtime/database_recovery.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/store_files.h"

namespace tembrolexinsdk {
namespace DB {

namespace {

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
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
tembrolexin::Mutex& recoveryMutex() {
  static auto* mutex = new tembrolexin::Mutex();
  return *mutex;
}

// The files (by their mutex) that an opening of this run has checked, and
// the lock over that record. Never destroyed, as above.
std::set<const tembrolexin::Mutex*>& checkedFiles() {
  static auto* files = new std::set<const tembrolexin::Mutex*>();
  return *files;
}
tembrolexin::Mutex& checkedFilesMutex() {
  static auto* mutex = new tembrolexin::Mutex();
  return *mutex;
}

bool wasChecked(const tembrolexin::Mutex* file) {
  std::lock_guard guard(checkedFilesMutex());
  return checkedFiles().count(file) > 0;
}

// Records the file as checked; true when it was not yet.
bool markChecked(const tembrolexin::Mutex* file) {
  std::lock_guard guard(checkedFilesMutex());
  return checkedFiles().insert(file).second;
}

// Carries the rows of `kept` into a new file at `path` and clears the
// record of the carry: once the copy holds its name, or failed for another
// reason than a crash, nothing is to be done again. Returns how the
// Warning ends.
std::string carryInto(const std::string& path, const std::string& kept) {
  std::int64_t rows = 0;
  const std::string failed = Database::carryRows(kept, path, &rows);
  storefiles::removeCarryDue(path);
  if (!failed.empty()) {
    return " and a new, empty store is made; carrying its rows over failed: " + failed;
  }
  return " and a new store is made with the " + std::to_string(rows) +
         (rows == 1 ? " row" : " rows") + " it still reads";
}

// Opens the new store at `path` once its damaged file is out of the way,
// and tells of it with a Warning that says what became of the file
// (`fate`: "it is set aside as <kept>") and ends with `made`. `held` is the
// hold of the store's lock across processes (or the attempt at it).
std::unique_ptr<Database> openNewStore(Database::FileLock& lock,
                                       std::optional<storefiles::StoreLock>& held,
                                       const std::string& path, const std::string& tableName,
                                       const INamedObject* sender, const std::string& damage,
                                       const std::string& fate, const std::string& made) {
  std::unique_ptr<Database> store;
  try {
    if (Database::getDatabaseFileMutex(path) == lock.mutex()) {
      store = std::make_unique<Database>(lock, Database::StoreLockHeld{}, path, tableName);
    } else {
      // A link was moved aside: the path leads to a file of another lock now.
      // Its mutex is not taken while the hold lasts, so the hold ends first;
      // the opening then holds the lock shared, as any opening does.
      held.reset();
      lock.unlock();
      store = std::make_unique<Database>(path, tableName);
    }
  } catch (const OpenError& e) {
    // The opening's own text first, as a caller that knows it expects.
    throw OpenError(std::string(e.what()) + "; store " + path + " is damaged (" + damage + "); " +
                        fate + ", but a new store could not be made: " + e.reason(),
                    e.code(), e.reason());
  }
  // Only once the new store is open: a store that could not be made is told
  // by the failure above, not by a Warning that says it is made.
  logWithLogger<LogLevel::Warning>(sender, "Store " + path + " is damaged (" + damage + "); ", fate,
                                   made);
  return store;
}

std::atomic<OpeningSeam>& openingSeam() {
  static std::atomic<OpeningSeam> seam{nullptr};
  return seam;
}

void atStep(OpeningStep step, storefiles::StoreLock::Mode mode) {
  if (const OpeningSeam seam = openingSeam().load()) seam(step, mode);
}

OpenError busy(const std::string& reason) {
  return OpenError("Database did not open properly. ErrorCode: " + std::to_string(SQLITE_BUSY),
                   SQLITE_BUSY, reason);
}

// Tells what was moved out of the lock file's way or done to it, and, once
// in the run, that the lock cannot be had (the start goes on without it);
// throws OpenError code 5 while another process keeps it.
void tellStoreLock(const std::string& path, const storefiles::StoreLock& held,
                   const INamedObject* sender) {
  if (held.moved()) {
    logWithLogger<LogLevel::Warning>(sender, "Store " + path + ": ", held.moved()->text());
  }
  if (!held.mended().empty()) {
    logWithLogger<LogLevel::Warning>(sender, "Store " + path + ": ", held.mended());
  }
  switch (held.state()) {
    case storefiles::StoreLock::State::kHeld:
    case storefiles::StoreLock::State::kNoFolder:
      break;
    case storefiles::StoreLock::State::kBusy:
      throw busy(held.busyText());
    case storefiles::StoreLock::State::kUnavailable:
      if (storefiles::firstLockFailure(held.file())) {
        logWithLogger<LogLevel::Warning>(
            sender, "Store " + path + ": locking " + held.file() + " failed: " + held.failed(),
            "; it is opened without it");
      }
      break;
  }
}

// The start's first look, under the store's lock held shared, so that the
// starts of several processes check a sound store side by side: opens the
// store when nothing is to be mended, else returns null having changed
// nothing but what stood in SQLite's way. A carry record, a mark, a link to
// nothing, damage the check finds and an opening that finds the file
// damaged are left to openMending.
std::unique_ptr<Database> openIfSound(Database::FileLock& lock, const std::string& path,
                                      const std::string& tableName, const INamedObject* sender) {
  const storefiles::StoreLock held(path, storefiles::StoreLock::Mode::kShared);
  tellStoreLock(path, held, sender);
  atStep(OpeningStep::kCheck, storefiles::StoreLock::Mode::kShared);
  std::string target;
  if (storefiles::readCarryDue(path) || storefiles::hasMark(path) ||
      isLinkToNothing(path, &target)) {
    return nullptr;
  }
  if (!wasChecked(lock.mutex())) {
    if (!Database::findDamage(lock, path).empty() || !Database::findVersionDamage(path).empty()) {
      return nullptr;
    }
    markChecked(lock.mutex());
  }
  try {
    return std::make_unique<Database>(lock, Database::StoreLockHeld{}, path, tableName);
  } catch (const OpenError& e) {
    if (!e.damaged()) throw;
    return nullptr;
  }
}

// Looks at the store again under its lock held exclusively, and sets it
// aside, carries its rows or resumes a carry as the top of
// database_recovery.h says.
std::unique_ptr<Database> openMending(Database::FileLock& lock, const std::string& path,
                                      const std::string& tableName, const INamedObject* sender) {
  // Another process's start neither checks, sets aside nor carries the file
  // meanwhile, nor makes a new one at its name. Where the lock cannot be had
  // the start goes on without it; while another process keeps it, this one
  // does nothing.
  std::optional<storefiles::StoreLock> held;
  held.emplace(path, storefiles::StoreLock::Mode::kExclusive);
  tellStoreLock(path, *held, sender);
  atStep(OpeningStep::kCheck, storefiles::StoreLock::Mode::kExclusive);
  // A carry's record is looked at under its own lock, which the start that
  // wrote it holds until the carry is over: a carry under way in a process
  // that could not have the store's lock is never taken for one a crash cut
  // short.
  std::optional<storefiles::CarryRecordHold> record;
  if (storefiles::readCarryDue(path)) {
    record.emplace(path, storefiles::CarryRecordHold::Use::kResume);
    if (record->state() == storefiles::CarryRecordHold::State::kBusy) {
      throw busy(record->busyText());
    }
  }
  // An earlier start ended after it set the file aside and before the copy
  // of its rows took the file's name: the rows are carried again, and what
  // that start's copy left is removed first.
  if (const auto due = storefiles::readCarryDue(path)) {
    if (!due->kept.empty() && !exists(path)) {
      markChecked(lock.mutex());
      atStep(OpeningStep::kMend, storefiles::StoreLock::Mode::kExclusive);
      const std::string damage =
          (due->damage.empty() ? "" : due->damage + ", ") +
          "found by an earlier start that ended before its rows were carried over";
      // Only a regular file is read: SQLite's opening of a pipe would wait
      // for ever, and with the record left, so would every later start. A
      // link there is the store's own, moved aside as a link, and counts by
      // what it leads to. What lies there is left alone.
      const std::string lies = storefiles::notARegularFile(due->kept);
      if (lies.empty()) {
        return openNewStore(lock, held, path, tableName, sender, damage,
                            "it is set aside as " + due->kept, carryInto(path, due->kept));
      }
      storefiles::removeCarryDue(path);
      return openNewStore(lock, held, path, tableName, sender, damage,
                          "the kept copy " + due->kept + " named by its carry record is " + lies +
                              ", so nothing is carried",
                          " and a new, empty store is made");
    }
    // The file was never set aside, or the copy had taken its name.
    storefiles::removeCarryDue(path);
  }
  record.reset();
  std::string damage;                // what the Warning names between parentheses
  std::optional<OpenError> failure;  // the opening's, when it found the damage
  bool carry = false;                // whether SQLite still reads the damaged file
  std::string target;
  const bool linkToNothing = isLinkToNothing(path, &target);
  if (linkToNothing) {
    // "..., which leads to no file", or why it cannot be followed.
    damage = storefiles::notARegularFile(path);
  } else {
    const bool first = markChecked(lock.mutex());
    if (const auto marked = storefiles::readMark(path)) {
      if (exists(path)) {
        damage = marked->empty() ? "met by an earlier read or write"
                                 : *marked + ", met by an earlier read or write";
      } else {
        storefiles::removeMark(path);  // it named a file that is gone
      }
    }
    if (damage.empty() && first) {
      damage = Database::findDamage(lock, path);
      if (damage.empty()) {
        damage = Database::findVersionDamage(path);
        carry = !damage.empty();
      }
    }
  }
  if (damage.empty()) {
    try {
      return std::make_unique<Database>(lock, Database::StoreLockHeld{}, path, tableName);
    } catch (const OpenError& e) {
      if (!e.damaged()) throw;
      failure.emplace(e);
      damage = e.reason() + ", code " + std::to_string(e.code());
    }
  }
  atStep(OpeningStep::kMend, storefiles::StoreLock::Mode::kExclusive);
  const std::string what = "Store " + path + " is damaged (" + damage + "); ";
  // Rows to be carried are first recorded as due, with the name the file
  // goes to, so that a start after a crash that comes before the copy takes
  // the file's name carries them again instead of starting empty. The
  // record is held from before the set-aside until it is removed. Without
  // the record (a full disk) the carry goes on as it would have.
  std::string recorded;  // what the record met, for the Warning
  std::function<void(const std::string&)> recordCarry;
  if (carry) {
    record.emplace(path, storefiles::CarryRecordHold::Use::kMake);
    if (record->state() == storefiles::CarryRecordHold::State::kBusy) {
      throw busy(record->busyText());
    }
    // A start of another process that could not have the store's lock may
    // have carried the rows while this one waited for the record: the file
    // at the path is then that start's copy, which is opened as it is.
    if (exists(path) && Database::findVersionDamage(path).empty()) {
      if (record->state() == storefiles::CarryRecordHold::State::kHeld) {
        storefiles::removeCarryDue(path);
      }
      return std::make_unique<Database>(lock, Database::StoreLockHeld{}, path, tableName);
    }
    if (record->moved()) recorded += "; " + record->moved()->text();
    recordCarry = [&](const std::string& to) {
      const std::string failed = record->write(to, damage);
      if (!failed.empty()) recorded += "; recording the carry failed: " + failed;
    };
  }
  std::string kept;
  // Another store's connection would go on writing into the kept copy.
  const std::string stays =
      Database::openStores(lock) > 0
          ? "another store of this run has it open, so it is set aside at the next start"
          : storefiles::setAside(path, &kept, recordCarry);
  if (!stays.empty()) {
    // The record this start holds is its own; another's is left alone.
    if (record && record->state() == storefiles::CarryRecordHold::State::kHeld) {
      storefiles::removeCarryDue(path);
    }
    // The file was moved since it was checked: a start of another process
    // that went on without the lock set it aside. No empty store is made
    // where a copy of its rows may be going.
    if (!exists(path) && !linkToNothing) {
      logWithLogger<LogLevel::Warning>(sender, what, stays);
      throw busy("another process is checking or mending the store; " + stays);
    }
    logWithLogger<LogLevel::Warning>(sender, what, stays);
    if (failure) throw *failure;
    // Nothing is written through the link.
    if (linkToNothing) {
      throw OpenError(
          "Database did not open properly. ErrorCode: " + std::to_string(SQLITE_CANTOPEN),
          SQLITE_CANTOPEN, damage);
    }
    // The opening decides: a file that is no database fails it, one damaged
    // past its first page opens, and the store serves what it can read.
    return std::make_unique<Database>(lock, Database::StoreLockHeld{}, path, tableName);
  }
  std::string made = " and a new, empty store is made";
  if (carry) made = carryInto(path, kept);
  return openNewStore(lock, held, path, tableName, sender, damage, "it is set aside as " + kept,
                      made + recorded);
}

}  // namespace

void setOpeningSeam(OpeningSeam seam) { openingSeam().store(seam); }

std::unique_ptr<Database> openSettingDamageAside(const std::string& path,
                                                 const std::string& tableName,
                                                 const INamedObject* sender) {
  // Checked in this run, no link to nothing and no mark: no more than an
  // opening.
  std::string target;
  if (wasChecked(Database::getDatabaseFileMutex(path)) && !isLinkToNothing(path, &target) &&
      !storefiles::hasMark(path)) {
    try {
      return std::make_unique<Database>(path, tableName);
    } catch (const OpenError& e) {
      if (!e.damaged()) throw;
    }
  }
  // One check or recovery at a time. Another thread may have set the file
  // aside since the attempt above, so it is tried once more under the lock.
  std::lock_guard recovering(recoveryMutex());
  // The check, the opening, the decision, the renames and the new store under
  // one hold of the file's lock: no store of this run opens the file, or sets
  // it aside, in between.
  Database::FileLock lock = Database::lockFileAt(path);
  if (auto store = openIfSound(lock, path, tableName, sender)) return store;
  return openMending(lock, path, tableName, sender);
}

}  // namespace DB
}  // namespace tembrolexinsdk
