// A small key-value table in an SQLite database file.
//
// Keys are texts; values are stored as the bytes of their text form (a string
// as its own bytes, a bool as "1" or "0"). Several stores, in several
// threads, may use one file: every operation on a file runs under one
// process-wide mutex for that file, found by its resolved path (so two
// spellings of one path share it). Other processes using the file are waited
// for (up to 5 s per statement) rather than failed at once.
//
// Opening: a path that names something other than a file or a folder (a
// named pipe, a socket, a device), also through a link, is refused before
// SQLite sees it, so a pipe without a writer never blocks the caller.
// Before each opening (also findDamage's, and that of a new file after a
// set-aside), what is no regular file at the names where SQLite keeps the
// file's journal, log and shared memory ("<path>-journal", "-wal", "-shm";
// beside the file a link leads to) is moved to a name of its own
// (store_files.h), never opened or followed, with a Warning:
//
//   "Store <path>: a named pipe at <path>-journal is in the way; it is moved
//    to <path>-journal.obstacle"
//
// One that cannot be moved fails the opening with code 14 and that text
// ("...; moving it to <to> failed: <reason>").
//
// Other processes: each opening (also that of a new file after a set-aside)
// holds the store's lock across processes ("<path>.lock", store_files.h)
// while it opens, after the file's mutex: shared, so that it never makes
// the file at its name while another process's opener sets it aside or
// carries it (which holds it exclusively). When that goes on for all of
// storefiles::lockWait(), the opening fails with code 5 and the reason
// "another process is checking or mending the store; <path>.lock was still
// locked after <n> ms", having made nothing. The process that took the lock
// releases it when the opening ends, so a child it forked meanwhile never
// keeps it. Where the lock file cannot be made or locked (a read-only
// folder, another user's file that this user may not open), a Warning says
// so once in the run, whichever opening of the file meets it first (the
// opener's or a plain one), and the opening goes on without it ("Store
// <path>: locking <path>.lock failed: <reason>; it is opened without it").
// What is no regular file at its name is moved aside first, with a Warning
// as above ("...; it is moved to <path>.lock.1"), and a lock file of this
// user's own that it may not open gets back its owner's read and write
// ("Store <path>: <path>.lock could not be opened (Permission denied); its
// mode 0000 is now 0600").
//
// Failures: a store never reports a failure as "not there". Every SQLite
// failure is logged at Error level ("Database:: <operation> failed in table
// <table> of <path>: <reason> (<code>)"); insert and remove then return
// false, and select, exists and listKeys throw std::runtime_error with that
// text.
//
// Damage met by an operation: SQLite's check at the first opening does not
// see every kind of damage (a key index that points at a row that is not
// there). An operation that fails because SQLite finds the file damaged
// (codes 11 and 26, extended codes included) answers as above; then, while
// no other store of this process has the file open and the path is no link,
// the file is set aside as "<path>.damaged" (or "<path>.damaged.<n>" where a
// folder holds that name; as the opener does, database_recovery.h) and the
// store goes on with a new, empty file at the path, so later operations use
// it. A Warning names the file and the damage:
//
//   "Store <path> is damaged (database disk image is malformed, code 11);
//    it is set aside as <path>.damaged and a new, empty store is made"
//
// Otherwise the file stays for this run, and a mark beside it
// ("<path>.damage-found", store_files.h) has the opener set it aside at the
// next start; the Warning then says why it stays ("...; another store of this
// run has it open, so it is set aside at the next start"), once per store,
// and what was moved out of the mark's way ("...; a folder at
// <path>.damage-found is in the way; it is moved to <path>.damage-found.1").
// The set-aside holds the store's lock across processes exclusively; while
// another process holds it past the wait, the file stays and the mark is
// left ("...; another process is checking or mending it, so it is set aside
// at the next start").
// When the new file cannot be made, the Warning ends "...; it is set aside as
// <path>.damaged, but a new store could not be made: <reason>", and each
// later operation tries to make it first (failing as above while it cannot).
//
// Ownership: a Database owns its SQLite connection. The per-path mutexes are
// owned by the process-wide table and live until the process ends.
//
// Thread safety: every public operation is safe to call from any thread; it
// locks the file's mutex for its whole run. The mutex is not recursive. A
// caller that wants several operations to run as one step takes the lock
// with lockFile() and calls the overloads that take the held lock:
//
//   auto lock = store.lockFile();
//   if (!store.exists(lock, key)) store.insert(lock, key, value);
//
// The lock also serves every other store opened on the same file; while
// it is held, the plain (self-locking) operations of those stores must not be
// called from the same thread, or that thread deadlocks. Under a file's lock
// a store takes no lock but the mutex table's (briefly, to count the stores
// open on the file) and, when it opens a file or sets one aside, the store's
// lock across processes (bounded; see "Other processes" above).
#ifndef TL_CORE_RUNTIME_DATABASE_H_
#define TL_CORE_RUNTIME_DATABASE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_named_object.h"

struct sqlite3;

namespace tembrolexinsdk {
namespace DB {

// What the constructor of Database throws: std::invalid_argument with its
// text ("Database did not open properly. ErrorCode: <n>" or "Create table
// failed. Error code: <n>"), plus SQLite's primary result code and its reason
// (SQLite's message, followed by the system's text of the failed system call
// between parentheses where there was one).
class OpenError : public std::invalid_argument {
 public:
  // Damaged when `code` is 11 or 26.
  OpenError(const std::string& text, int code, const std::string& reason);
  OpenError(const std::string& text, int code, const std::string& reason, bool damaged);

  // SQLite's primary result code (14 CANTOPEN, 26 NOTADB, ...).
  int code() const { return code_; }
  const std::string& reason() const { return *reason_; }
  // True when SQLite found the file damaged: it is no database (26), its
  // content is corrupt (11), or its header names a schema format that no
  // SQLite writes (1, "unsupported file format").
  bool damaged() const { return damaged_; }

 private:
  int code_;
  bool damaged_;
  std::shared_ptr<const std::string> reason_;  // shared: copies never throw
};

class Database : public INamedObject {
 public:
  // A held lock on a file's mutex, as returned by lockFile().
  using FileLock = std::unique_lock<tembrolexin::Mutex>;

  // Opens (creating when missing) the SQLite file at `databaseFilePath` and
  // creates the table `tableName` when it does not exist. Throws OpenError
  // (a std::invalid_argument) with "Database did not open properly.
  // ErrorCode: <n>" or "Create table failed. Error code: <n>".
  Database(std::string databaseFilePath, std::string tableName);
  // The same, for a caller that holds the file's lock (`lock`, from
  // lockFileAt(databaseFilePath)); the store uses that lock's mutex.
  Database(const FileLock& lock, std::string databaseFilePath, std::string tableName);
  // Says that the caller (the opener, database_recovery.h) holds the store's
  // lock across processes exclusively, or could not take it: the opening
  // below takes no shared hold, which would wait for the caller's own.
  struct StoreLockHeld {};
  Database(const FileLock& lock, StoreLockHeld, std::string databaseFilePath,
           std::string tableName);
  ~Database() override;

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // "Database".
  const std::string& GetName() const override;

  // Adds a row; false when the key is already present (the stored value is
  // kept) or the statement fails. Instantiated for std::string and bool.
  template <typename T>
  bool insert(const std::string& key, const T& value);
  // The stored value; "" / false for a missing key. Throws std::runtime_error
  // when the key has several rows or reading fails. Instantiated for
  // std::string and bool.
  template <typename T>
  T select(const std::string& key);
  // Deletes the key's row; true also when no row had that key, false when
  // the statement fails.
  bool remove(const std::string& key);
  // Throws std::runtime_error when reading fails.
  bool exists(const std::string& key) const;
  // Every key, in the order SQLite returns the rows. Throws
  // std::runtime_error when reading fails.
  std::vector<std::string> listKeys() const;

  // Locks this store's file mutex (shared by every store on the same path).
  FileLock lockFile() const;

  // The same operations for a caller that already holds the file's lock.
  // Throw std::logic_error when `lock` does not hold this store's file mutex.
  template <typename T>
  bool insert(const FileLock& lock, const std::string& key, const T& value);
  template <typename T>
  T select(const FileLock& lock, const std::string& key);
  bool remove(const FileLock& lock, const std::string& key);
  bool exists(const FileLock& lock, const std::string& key) const;
  std::vector<std::string> listKeys(const FileLock& lock) const;

  // True for SQLite's OK (0) and DONE (101).
  static bool returnCodeSuccess(int code);
  // The mutex of the file at `path` (keyed by its resolved path), created on
  // first use; never null.
  static tembrolexin::Mutex* getDatabaseFileMutex(const std::string& path);

  // The mutex of the file at `path`, locked.
  static FileLock lockFileAt(const std::string& path);
  // How many stores of this process are open on the file whose lock is
  // held; the answer holds while the lock is.
  static int openStores(const FileLock& lock);
  // Runs SQLite's quick_check (which reads the whole file) over the file at
  // `path`, whose lock is held, on a connection of its own that creates
  // nothing. Returns what it found wrong, as a damaged file's Warning names
  // it: SQLite's reason and code when reading fails as damage ("file is not
  // a database, code 26"; a schema format that no SQLite writes reads
  // "unsupported file format, code 1"), else "quick_check: " and the first
  // line of the check's report, cut to 300 bytes. Returns "" when the check
  // found the file sound, and when it could not look for another reason
  // than damage: no regular file at `path` (also through a link), another
  // process holding the file past the busy timeout, no memory. Throws
  // std::logic_error when `lock` does not hold the mutex of the file at
  // `path`.
  static std::string findDamage(const FileLock& lock, const std::string& path);
  // Reads the header of the SQLite file at `path` (through a link). Its file
  // format write and read versions (bytes 18 and 19) are 1 (rollback
  // journal) or 2 (WAL) in every file SQLite writes; with a write version
  // above 2 SQLite opens the file read-only, so every write fails. Returns
  // "header: write version <w>, read version <r>" when either is another
  // number, else "" (also when no regular file, or no SQLite header, lies at
  // `path`). Reads 100 bytes; the caller holds the file's lock.
  static std::string findVersionDamage(const std::string& path);
  // Copies what SQLite reads of the file at `from` (its tables with their
  // rows, indexes and the rest of its schema) into a new file at `to`
  // (SQLite's VACUUM INTO; the copy's header has versions 1). The copy is
  // written as "<to>.carry", synced to the disk, and renamed to `to`, and
  // the folder synced, so a crash never leaves a half-made copy at `to`.
  // Before it, what an earlier copy that was cut short left at "<to>.carry"
  // is removed, and what is no regular file at the companion names of
  // "<to>.carry" and of `to` is moved out of the way as before an opening
  // (store_files.h), with the same Warnings. `from` is read
  // as it is: nothing is written to it, nor made beside it, and a journal
  // or log beside it is not read (a store's first opening plays them back
  // first). Returns "" and sets `*rows` to the number of rows in its tables
  // (virtual ones left out). Otherwise returns why it failed: "output file
  // already exists" when anything lies at `to` (which is left alone), what
  // is in the way and could not be moved, SQLite's reason, or the failed
  // sync or rename, and the copy is removed. The caller sees to it that no
  // store of this process opens either file meanwhile.
  static std::string carryRows(const std::string& from, const std::string& to, std::int64_t* rows);

  // The CREATE TABLE statement for this store's table.
  std::string generateTableCreationSQL() const;

  static const std::string& name;
  // The per-file mutexes (by resolved path) and the lock over that table. Both are created on
  // first use and never destroyed, so a store used by a thread that outlives
  // static destruction at exit never locks a destroyed mutex.
  static std::map<std::string, std::unique_ptr<tembrolexin::Mutex>>& databaseFileMutexs();
  static tembrolexin::Mutex& mapMutex();

 private:
  void checkLock(const FileLock& lock) const;
  // Logs the failure of `operation` with SQLite's result `code` at Error
  // level and returns the line's text.
  std::string failure(const char* operation, int code) const;
  // `tableName` with every backquote doubled, between `before` and `after`.
  std::string statement(const char* before, const char* after) const;

  // Run under the file's lock. connect() makes the connection again when a
  // damaged file was set aside and the new one could not be made; it returns
  // SQLite's result. settleDamage() deals with damage that an operation met
  // (see the top of this file); it never throws.
  int connect(bool storeLockHeld = false) const;
  void settleDamage() const noexcept;
  class DamageGuard;

  template <typename T>
  bool insertLocked(const std::string& key, const T& value);
  template <typename T>
  T selectLocked(const std::string& key);
  bool removeLocked(const std::string& key);
  bool existsLocked(const std::string& key) const;
  std::vector<std::string> listKeysLocked() const;

  const std::string tableName_;
  const std::string databaseFilePath_;
  // Guarded by the file's mutex: the connection (null while a new file could
  // not be made), the damage the running operation met, and whether this
  // store has already left the mark for the next start.
  mutable sqlite3* db_ = nullptr;
  mutable std::string damageMet_;
  mutable bool markLeft_ = false;
  tembrolexin::Mutex* fileMutex_ = nullptr;
};

}  // namespace DB
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_DATABASE_H_
