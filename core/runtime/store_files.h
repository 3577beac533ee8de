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
// processes apart: one checks, sets aside and carries a store at a time, and
// no opening makes a new file at the store's name meanwhile. It is an empty
// regular file that stays; only the advisory lock on it counts.
//
// Used by Database and by its opener (database_recovery.h). The caller holds
// the store file's lock (Database::lockFileAt); nothing here locks but
// StoreLock, and that only across processes. Never throws but
// std::bad_alloc.
#ifndef TL_CORE_RUNTIME_STORE_FILES_H_
#define TL_CORE_RUNTIME_STORE_FILES_H_

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
// Records beside `path`, before its file is set aside as `kept`, that the
// rows of `kept` are to be carried into a new file at `path`, and why the
// file is set aside; the record is synced to the disk with its folder. An
// entry in the record's place that is no regular file is first moved to the
// first free "<path>.carry-due.<n>" (n from 1; a link as a link), and
// `*moved` then tells of it. Returns "" when the record was written, else
// the system's reason.
std::string writeCarryDue(const std::string& path, const std::string& kept,
                          const std::string& damage, std::optional<MovedEntry>* moved);
// The record beside `path`, or nothing when there is none.
std::optional<CarryDue> readCarryDue(const std::string& path);
void removeCarryDue(const std::string& path);

// How long a StoreLock waits for another process at most: 10 s unless set
// (tests shorten it). Any thread.
std::chrono::milliseconds lockWait();
void setLockWait(std::chrono::milliseconds wait);

// A hold of the advisory lock (flock(2): one per open file description, so
// closing another descriptor of the file never drops it) on the lock file
// "<path>.lock" beside a store, across processes. Exclusive while a start
// checks the store, sets it aside and carries its rows; shared while an
// opening may make the store at its name. Taken after the process's own
// locks (the opener's, the file's), never before them, and waited for at
// most lockWait(): it is tried, then tried again after a pause that grows
// from 1 to 50 ms.
//
// The lock file is opened with O_NOFOLLOW | O_NONBLOCK and made when
// missing; only a regular file is locked. What else lies at its name (a
// folder, a link, a named pipe) is first moved to the first free
// "<path>.lock.<n>" (n from 1; a link as a link), and moved() then tells of
// it, so that it never holds a start.
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
  // "another process is checking or mending the store; <file> was still
  // locked after <lockWait()> ms": the reason an opening gives when the
  // wait ran out.
  std::string busyText() const;

 private:
  std::string file_;
  State state_ = State::kUnavailable;
  std::string failed_;
  std::optional<MovedEntry> moved_;
  std::chrono::milliseconds waited_{0};  // the bound of the wait
  tembrolexin::Fd fd_;
};

}  // namespace storefiles
}  // namespace DB
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_STORE_FILES_H_
