// The files beside a key-value store's file: the copy a damaged file is kept
// as, SQLite's companions that go with it, the mark that asks the next
// opening to set the file aside, and what stands in SQLite's way at a
// companion's name.
//
// SQLite keeps a store's journal, log and shared memory at "<path>-journal",
// "<path>-wal" and "<path>-shm". Anything but a regular file there stops
// every start: a named pipe at "-journal" beside a store makes SQLite's
// check for a journal to play back wait for ever, a folder fails every
// opening, a link to nothing every write. Such an entry is moved to a name
// of its own before each opening ("<path>-journal.obstacle", or the first
// free of "...obstacle-2", "...obstacle-3", ...), never opened and never
// followed; a regular file stays for SQLite to play back.
//
// Rows carried out of a damaged file into a new one (Database::carryRows)
// are written as "<path>.carry", which takes the name "<path>" only once it
// is whole; anything left at "<path>.carry" is a copy that was cut short.
// The record "<path>.carry-due", written and synced before the file is set
// aside, names the kept copy the rows come from, so that a start after a
// crash carries them again; like the mark, only a regular file counts, and
// it is never written through a link.
//
// A mark ("<path>.damage-found") is left when a read or write of a store met
// damage that could not be dealt with at once (another store of the run had
// the file open). SQLite's check at the next start may pass such a file (a
// key index that points at a row that is not there), so the mark is what
// tells the opener. It holds the damage as a line of text; only a regular
// file counts as a mark, and it is never written through a link.
//
// The lock file "<path>.lock" (StoreLock) keeps the starts of several
// processes apart: checks of a sound store run side by side, one start at a
// time sets a store aside or carries its rows, and no opening makes a new
// file at the store's name meanwhile. It is an empty regular file that
// stays; only the advisory lock on it counts. A carry's record is locked
// too (CarryRecordHold), for the starts that cannot have the lock file.
//
// Used by Database and by its opener (database_recovery.h). The caller holds
// the store file's lock (Database::lockFileAt); nothing here locks but
// StoreLock and CarryRecordHold, across processes, and firstLockFailure,
// briefly. Never throws but std::bad_alloc.
#ifndef TL_CORE_RUNTIME_STORE_FILES_H_
#define TL_CORE_RUNTIME_STORE_FILES_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {
namespace DB {
namespace storefiles {

// "<path>.damaged".
std::string damagedCopyPath(const std::string& path);
// "<path>.damage-found".
std::string markPath(const std::string& path);
// "<path>.carry": the copy that rows carried into a new file at `path` are
// written to before it takes that name.
std::string carryCopyPath(const std::string& path);
// "<path>.carry-due": the record that rows are to be carried into a new
// file at `path`.
std::string carryDuePath(const std::string& path);
// "<path>.lock": the file whose advisory lock StoreLock takes.
std::string lockPath(const std::string& path);

// An entry that was in the way, and where it went.
struct MovedEntry {
  std::string kind;  // "a folder", "a link", "a named pipe", "a socket", "a device"
  std::string from;
  std::string to;      // where it went, or was to go
  std::string failed;  // "" when it was moved, else the system's reason

  // "<kind> at <from> is in the way; it is moved to <to>", or "...; moving
  // it to <to> failed: <reason>".
  std::string text() const;
};

// Moves the file at `path` (a link as a link) and those of its "-journal",
// "-wal" and "-shm" that are regular files to "<path>.damaged",
// "<path>.damaged-journal" and so on, replacing an earlier kept copy and
// removing its companions that the new one lacks, and removes the mark.
// Where a folder holds one of those four names, that copy cannot be
// replaced and stays: the file and its companions go to the first
// "<path>.damaged.<n>" (n from 1) at none of whose four names anything
// lies. Sets `*kept` to the name the file went to. Returns "" when the file
// was moved, else what failed ("moving <from> to <to> failed: <system's
// reason>").
// `beforeMove`, when given, is called with each name the file is about to
// be moved to, before the move.
std::string setAside(const std::string& path, std::string* kept,
                     const std::function<void(const std::string& to)>& beforeMove = nullptr);

// What lies at `path`, for a Warning, when it is no regular file once links
// are followed (as a store's opening looks at its file): "gone" ("out of
// reach (<system's reason>)" when it cannot be looked at), "a folder", "a
// named pipe", "a socket", "a device", or "a link to <target>, which leads
// to <one of those, or no file>" ("..., which cannot be followed (<system's
// reason>)" when following it fails for another reason than a missing
// file: too many links, no permission); "" for a regular file or a link
// that leads to one.
std::string notARegularFile(const std::string& path);

// Makes the names a copy is written under ready for it: removes what an
// earlier copy that was cut short left at `copy` and its "-journal" (regular
// files; nothing else writes files by those names), and moves what is no
// regular file at `copy` or at its "-journal", "-wal" and "-shm" to a name
// of its own as moveObstaclesAside does ("<copy>.obstacle", ...). Returns
// what was moved, or failed to be.
std::vector<MovedEntry> clearCopyNames(const std::string& copy);
// Syncs the file at `copy` to the disk, renames it to `to` unless anything
// lies there, and syncs the folder, so that `to` appears whole or not at
// all. Returns "" when it took the name, else what failed ("moving <copy>
// to <to> failed: <system's reason>").
std::string putCopyInPlace(const std::string& copy, const std::string& to);

// Moves every entry at `path`'s companion names that is no regular file
// (see the top of this file) and returns what was moved, or failed to be.
// `path` must hold no zero byte.
std::vector<MovedEntry> moveObstaclesAside(const std::string& path);

// Leaves the mark beside `path`, holding `damage`. An entry at the mark's
// name that is no regular file is first moved to the first free
// "<path>.damage-found.<n>" (n from 1; a link as a link), and `*moved` then
// tells of it. Returns "" when the mark was written, else the system's
// reason.
std::string writeMark(const std::string& path, const std::string& damage,
                      std::optional<MovedEntry>* moved);
// Whether a mark lies beside `path`.
bool hasMark(const std::string& path);
// The damage the mark beside `path` names (its first line, at most 300
// bytes, made fit for a log line; "" when it holds none), or nothing when
// there is no mark.
std::optional<std::string> readMark(const std::string& path);
void removeMark(const std::string& path);

// The record of a carry that is due.
struct CarryDue {
  // The kept copy the rows come from ("<path>.damaged" or
  // "<path>.damaged.<n>"); "" when the record names no such copy.
  std::string kept;
  // The damage the file was set aside for, as readMark gives it.
  std::string damage;
};
// The record beside `path`, or nothing when there is none.
std::optional<CarryDue> readCarryDue(const std::string& path);
void removeCarryDue(const std::string& path);

// How long a StoreLock or a CarryRecordHold waits for another process at
// most: 10 s unless set (tests shorten it). Any thread.
std::chrono::milliseconds lockWait();
void setLockWait(std::chrono::milliseconds wait);

// "another process is checking or mending the store; <file> was still
// locked after <waited> ms": the reason an opening gives when its wait for
// the lock on `file` ran out.
std::string busyText(const std::string& file, std::chrono::milliseconds waited);

// Whether a Warning that the lock file `file` cannot be locked is the first
// of the run, and records it: a store in a read-only folder is opened again
// and again, and tells of it once. Any thread.
bool firstLockFailure(const std::string& file);

// A hold of the advisory lock (flock(2)) on one open file description,
// ended by the process that took it. flock belongs to the description, which
// a child forked meanwhile shares: were the hold ended by closing the
// descriptor, the child's copy would keep it for as long as the child lives.
// So the process that took the lock releases it explicitly (LOCK_UN) when
// the hold ends, and a forked child's end of its copy of the hold only
// closes its descriptor, leaving the parent's hold as it is.
//
// Ownership: owns the descriptor it was given. Thread safety: none.
class FlockHold {
 public:
  FlockHold() = default;
  ~FlockHold() { release(); }
  FlockHold(FlockHold&& other) noexcept;
  FlockHold& operator=(FlockHold&& other) noexcept;

  // Takes the lock on `fd` (LOCK_SH or LOCK_EX as `operation`): tried, then
  // tried again after a pause that grows from 1 to 50 ms until `wait` has
  // passed. Keeps `fd` whatever the outcome. Returns 0 when it holds the
  // lock, EWOULDBLOCK when another description held it all along, else the
  // system's errno.
  int take(tembrolexin::Fd fd, int operation, std::chrono::milliseconds wait);
  // Ends the hold (LOCK_UN in the process that took it) and closes the
  // descriptor.
  void release();

  bool held() const { return owner_ != 0; }
  int fd() const { return fd_.get(); }

 private:
  tembrolexin::Fd fd_;
  pid_t owner_ = 0;  // the process that holds the lock; 0 while none
};

// A hold of the advisory lock on the lock file "<path>.lock" beside a
// store, across processes. Exclusive while a start sets aside or carries
// the store (and checks it again first); shared while a start checks a
// store that it then finds sound, and while an opening may make the store
// at its name, so that checks of several processes run side by side. Taken
// after the process's own locks (the opener's, the file's), never before
// them, and waited for at most lockWait(). Released explicitly by the
// process that took it when the hold ends (FlockHold), so a child forked
// meanwhile never keeps it.
//
// The lock file is opened with O_NOFOLLOW | O_NONBLOCK and made when
// missing; only a regular file is locked. What else lies at its name (a
// folder, a link, a named pipe) is first moved to the first free
// "<path>.lock.<n>" (n from 1; a link as a link), and moved() then tells of
// it, so that it never holds a start. A lock file of this user's own that
// it may not open (mode 000) gets back its owner's read and write, and
// mended() tells of it; one of another user's that this user may not open,
// like a folder where the file cannot be made (read-only), leaves the lock
// unavailable.
//
// Two holds in one process conflict as they would in two, so a thread that
// holds the lock exclusively must not take it again (Database's openings
// under the opener's hold take none).
//
// Ownership: owns the lock file's descriptor; the hold ends when it is
// destroyed. Thread safety: none; one thread uses a StoreLock.
class StoreLock {
 public:
  enum class Mode { kShared, kExclusive };
  enum class State {
    kHeld,         // the lock is held
    kBusy,         // another process held it for all of lockWait()
    kUnavailable,  // the lock file could not be made or locked: failed()
    kNoFolder,     // the store's folder is missing: nothing can be made there
  };

  StoreLock(const std::string& path, Mode mode);
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  State state() const { return state_; }
  // The lock file's path.
  const std::string& file() const { return file_; }
  // kUnavailable: the system's reason ("Read-only file system"), or what
  // was in the way and could not be moved (MovedEntry::text()).
  const std::string& failed() const { return failed_; }
  // What was in the lock file's place and moved aside, if anything was.
  const std::optional<MovedEntry>& moved() const { return moved_; }
  // "<file> could not be opened (Permission denied); its mode 0000 is now
  // 0600" when the lock file's mode was mended, else "".
  const std::string& mended() const { return mended_; }
  // busyText(file(), lockWait()): the reason an opening gives when the wait
  // ran out.
  std::string busyText() const;

 private:
  std::string file_;
  State state_ = State::kUnavailable;
  std::string failed_;
  std::optional<MovedEntry> moved_;
  std::string mended_;
  std::chrono::milliseconds waited_{0};  // the bound of the wait
  FlockHold hold_;
};

// A hold of the advisory lock on the carry record "<path>.carry-due",
// exclusive: the start that records a carry holds it from before the store
// is set aside, and a start that resumes a carry (or removes a record that
// is done with) holds it first, each until the record is removed. A start
// that could not take the store's lock (StoreLock::kUnavailable: another
// user's lock file, a read-only folder) then never takes a carry that
// another process has under way for one that a crash cut short, whose
// process holds nothing any more. Waited for at most lockWait(); released
// as a FlockHold is.
//
// Ownership: owns the record's descriptor. Thread safety: none.
class CarryRecordHold {
 public:
  enum class Use {
    // Makes the record's file when missing (empty) and holds it. An entry
    // in its place that is no regular file is first moved to the first free
    // "<path>.carry-due.<n>" (n from 1; a link as a link).
    kMake,
    kResume,  // holds the record that lies there
  };
  enum class State {
    kHeld,
    kBusy,         // another process held it for all of lockWait()
    kGone,         // kResume: no record lies there (any more)
    kUnavailable,  // it could not be made, opened or locked: failed()
  };

  CarryRecordHold(const std::string& path, Use use);
  CarryRecordHold(const CarryRecordHold&) = delete;
  CarryRecordHold& operator=(const CarryRecordHold&) = delete;

  State state() const { return state_; }
  const std::string& file() const { return file_; }
  const std::string& failed() const { return failed_; }
  // kMake: what was in the record's place and moved aside, if anything was.
  const std::optional<MovedEntry>& moved() const { return moved_; }
  std::string busyText() const;

  // Writes into the held file the record that the rows of `kept` (the
  // name the store's file is set aside as) are to be carried into a new
  // file at the store's path, and why the file is set aside (`damage`); the
  // record is synced to the disk with its folder. Returns "" or the
  // system's reason.
  std::string write(const std::string& kept, const std::string& damage) const;

 private:
  std::string file_;
  State state_ = State::kUnavailable;
  std::string failed_;
  std::optional<MovedEntry> moved_;
  std::chrono::milliseconds waited_{0};  // the bound of the wait
  FlockHold hold_;
};

}  // namespace storefiles
}  // namespace DB
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_STORE_FILES_H_
