#include "core/runtime/database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/error_text.h"
#include "core/runtime/logger.h"
#include "core/runtime/store_files.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {
namespace DB {

// Never destroyed, like every name below that threads may use at exit.
const std::string& Database::name = *new std::string("Database");

std::map<std::string, std::unique_ptr<tembrolexin::Mutex>>& Database::databaseFileMutexs() {
  static auto* mutexes = new std::map<std::string, std::unique_ptr<tembrolexin::Mutex>>();
  return *mutexes;
}

tembrolexin::Mutex& Database::mapMutex() {
  static auto* mutex = new tembrolexin::Mutex();
  return *mutex;
}

namespace {

// How many stores are open on each file, by the file's mutex; guarded by
// mapMutex(), which is taken while the file's mutex is held.
std::map<const tembrolexin::Mutex*, int>& openCounts() {
  static auto* counts = new std::map<const tembrolexin::Mutex*, int>();
  return *counts;
}

void countOpen(const tembrolexin::Mutex* fileMutex, int change) {
  std::lock_guard guard(Database::mapMutex());
  auto& counts = openCounts();
  const int now = (counts[fileMutex] += change);
  if (now == 0) counts.erase(fileMutex);
}

int openCount(const tembrolexin::Mutex* fileMutex) {
  std::lock_guard guard(Database::mapMutex());
  const auto it = openCounts().find(fileMutex);
  return it == openCounts().end() ? 0 : it->second;
}

// SQLite's message for the connection's last failure, with the system's text
// of the system call that failed, if one did.
std::string reasonOf(sqlite3* db, int code) {
  if (db == nullptr) return sqlite3_errstr(code);
  std::string reason = sqlite3_errmsg(db);
  const int error = sqlite3_system_errno(db);
  if (error != 0) reason += " (" + tembrolexin::errorText(error) + ")";
  return reason;
}

// Whether `path` names something SQLite must not open: a named pipe (whose
// opening for reading waits for a writer), a socket or a device.
bool isSpecialFile(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

// Whether a regular file lies at `path`, also through a link.
bool isRegularFile(const std::string& path) {
  struct stat info;
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

bool isDamage(int code) { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }

// A header whose schema format number (bytes 44 to 47) no SQLite writes:
// the file is damaged, though SQLite answers with its generic code 1.
bool isUnsupportedFormat(sqlite3* db, int code) {
  return (code & 0xff) == SQLITE_ERROR && db != nullptr &&
         std::strcmp(sqlite3_errmsg(db), "unsupported file format") == 0;
}

// The first line of a quick_check report that says what is wrong (the report
// opens with "*** in database main ***"), cut to 300 bytes and made fit for a
// log line, whatever bytes the names in it hold.
std::string firstFinding(const std::string& report) {
  constexpr size_t kMaxBytes = 300;
  std::string line;
  for (size_t start = 0; start < report.size();) {
    size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    line = report.substr(start, end - start);
    if (!line.empty() && line.rfind("*** in database ", 0) != 0) break;
    start = end + 1;
  }
  if (line.size() > kMaxBytes) line.resize(kMaxBytes);
  return StringChecker::escapeBytes(line);
}

// How long a statement waits for another connection or process to release
// the file before it fails with SQLITE_BUSY.
constexpr int kBusyTimeoutMs = 5000;

// The file's identity in the mutex table: its resolved path, or, while it
// does not exist yet, its resolved folder followed by its name. Two spellings
// of one file ("a/x.db", "a/./x.db", a link to the folder) share one key.
std::string fileIdentity(const std::string& path) {
  if (path.find('\0') != std::string::npos) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || ::realpath(folder.c_str(), resolved) == nullptr) return path;
  std::string identity = resolved;
  if (identity.back() != '/') identity += '/';
  return identity + name;
}

// `name` with every backquote doubled: one name between backquotes in a
// statement, whatever it holds.
std::string doubledBackquotes(const std::string& name) {
  std::string doubled;
  for (char c : name) {
    doubled += c;
    if (c == '`') doubled += '`';
  }
  return doubled;
}

// `path` as an SQLite URI filename: "file:" and the path with every byte but
// letters, digits and "/-._~" percent-encoded, so that no "?", "#" or "%" in
// a folder's name is read as part of the URI.
std::string uriOf(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // "file:///a" for "/a": an empty authority, so "//a" stays a path too.
  std::string uri = path.rfind('/', 0) == 0 ? "file://" : "file:";
  for (const unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
        c == '-' || c == '.' || c == '_' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xf];
    }
  }
  return uri;
}

// Logs a Warning for each entry of the store at `path` that was in the way;
// returns the first that could not be moved, or "".
std::string tellMoved(const std::string& path, const std::vector<storefiles::MovedEntry>& moves) {
  std::string stays;
  for (const auto& moved : moves) {
    const LogParams line(LogLevel::Warning, "Store " + path + ": " + moved.text());
    Logger::getInstance()->Log(Database::name, &line);
    if (!moved.failed.empty() && stays.empty()) stays = moved.text();
  }
  return stays;
}

// Moves what is no regular file at the names where SQLite keeps the file's
// journal, log and shared memory out of its way, with a Warning for each
// (SQLite looks for them beside the file a link leads to). Returns what
// could not be moved ("" when nothing stays in the way); the file must then
// not be opened.
std::string clearCompanionNames(const std::string& path) {
  return tellMoved(path, storefiles::moveObstaclesAside(fileIdentity(path)));
}

// Tells with a Warning what was moved out of the way of the store's lock
// file or done to it, and, once in the run, that the lock cannot be had
// (the store goes on without it).
void tellStoreLock(const std::string& path, const storefiles::StoreLock& held) {
  if (held.moved()) tellMoved(path, {*held.moved()});
  if (!held.mended().empty()) {
    const LogParams line(LogLevel::Warning, "Store " + path + ": " + held.mended());
    Logger::getInstance()->Log(Database::name, &line);
  }
  if (held.state() == storefiles::StoreLock::State::kUnavailable &&
      storefiles::firstLockFailure(held.file())) {
    const LogParams line(LogLevel::Warning, "Store " + path + ": locking " + held.file() +
                                                " failed: " + held.failed() +
                                                "; it is opened without it");
    Logger::getInstance()->Log(Database::name, &line);
  }
}

// Whether `path` names a file of its own, whose opening other processes may
// share: SQLite keeps "" and ":memory:" in memory.
bool isFileName(const std::string& path) { return !path.empty() && path != ":memory:"; }

// Finalizes a prepared statement when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    code_ = db == nullptr ? SQLITE_MISUSE
                          : sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()),
                                               &stmt_, nullptr);
    if (code_ != SQLITE_OK) {
      sqlite3_finalize(stmt_);
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  // SQLite's result of preparing the statement.
  int code() const { return code_; }

  // Text and blob parameters are bound with their byte length and copied by
  // SQLite, so embedded zero bytes survive and the caller's buffer may go.
  bool bindText(int index, const std::string& text) {
    return sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8) == SQLITE_OK;
  }
  bool bindBlob(int index, const std::string& bytes) {
    // A null data pointer would bind NULL, which the NOT NULL column refuses;
    // std::string::data() is never null, so an empty value is an empty blob.
    return sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT) ==
           SQLITE_OK;
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int code_ = SQLITE_OK;
};

// A write in a transaction that takes the file's write lock before it
// reads anything. A plain statement would take a read lock first and then
// ask for the write lock, and SQLite refuses that at once, without waiting,
// when another connection that waits for the file holds a read lock too.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db) {
    code_ = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
  }
  ~WriteTransaction() {
    if (open()) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  // SQLite's result of the last step: beginning, or committing.
  int code() const { return code_; }
  bool open() const { return code_ == SQLITE_OK && !committed_; }
  bool commit() {
    code_ = sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr);
    committed_ = code_ == SQLITE_OK;
    return committed_;
  }

 private:
  sqlite3* db_;
  int code_;
  bool committed_ = false;
};

// A column's bytes, whole, whatever zero bytes they hold.
std::string columnBytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return std::string();
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

// Adds the number of rows in the tables of the connection's main database
// to `*rows` (virtual tables, whose module may be missing, and SQLite's own
// tables left out); returns SQLite's result.
int countRows(sqlite3* db, std::int64_t* rows) {
  std::vector<std::string> tables;
  {
    Statement list(db,
                   "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE "
                   "'sqlite\\_%' ESCAPE '\\' AND sql NOT LIKE 'CREATE VIRTUAL %';");
    if (!list.ok()) return list.code();
    int rc;
    while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
      tables.push_back(columnBytes(list.get(), 0));
    }
    if (rc != SQLITE_DONE) return rc;
  }
  for (const std::string& table : tables) {
    Statement count(db, "SELECT count(*) FROM `" + doubledBackquotes(table) + "`;");
    const int rc = count.ok() ? sqlite3_step(count.get()) : count.code();
    if (rc != SQLITE_ROW) return rc;
    *rows += sqlite3_column_int64(count.get(), 0);
  }
  return SQLITE_OK;
}

template <typename T>
T readValue(sqlite3_stmt* stmt);

template <>
std::string readValue<std::string>(sqlite3_stmt* stmt) {
  return columnBytes(stmt, 1);
}

template <>
bool readValue<bool>(sqlite3_stmt* stmt) {
  return sqlite3_column_int64(stmt, 1) != 0;
}

// Opens the file at `path` and creates the table that `creation` makes, as
// a store's constructor does; throws OpenError. Unless `storeLockHeld`, it
// holds the store's lock across processes shared meanwhile.
sqlite3* openConnection(const std::string& path, const std::string& creation, bool storeLockHeld) {
  const auto openFailed = [](int code, const std::string& reason) {
    return OpenError("Database did not open properly. ErrorCode: " + std::to_string(code), code,
                     reason);
  };
  // A zero byte would cut the path short and open a different file.
  if (path.find('\0') != std::string::npos) {
    throw openFailed(SQLITE_CANTOPEN, "the path holds a zero byte");
  }
  // Not while another process's opener sets the file aside or carries its
  // rows: SQLite would make a new, empty file at its name in their way.
  std::optional<storefiles::StoreLock> shared;
  if (!storeLockHeld && isFileName(path)) {
    shared.emplace(path, storefiles::StoreLock::Mode::kShared);
    tellStoreLock(path, *shared);
    if (shared->state() == storefiles::StoreLock::State::kBusy) {
      throw openFailed(SQLITE_BUSY, shared->busyText());
    }
  }
  if (isSpecialFile(path)) throw openFailed(SQLITE_CANTOPEN, "not a regular file");
  // SQLite would wait for ever on a pipe there, or fail on a folder.
  if (const std::string stays = clearCompanionNames(path); !stays.empty()) {
    throw openFailed(SQLITE_CANTOPEN, stays);
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  if (rc != SQLITE_OK) {
    const std::string reason = reasonOf(db, rc);
    sqlite3_close(db);
    throw openFailed(rc & 0xff, reason);
  }
  // Other processes (and stores in this process that reach the file by a
  // path the mutex table cannot resolve) hold the file only briefly: wait for
  // them instead of failing at once.
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // SQLite reads the file first here, so a file that is no database fails
  // here, not above.
  rc = sqlite3_exec(db, creation.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = reasonOf(db, rc);
    const bool damaged = isDamage(rc & 0xff) || isUnsupportedFormat(db, rc);
    sqlite3_close(db);
    throw OpenError("Create table failed. Error code: " + std::to_string(rc), rc & 0xff, reason,
                    damaged);
  }
  return db;
}

}  // namespace

OpenError::OpenError(const std::string& text, int code, const std::string& reason)
    : OpenError(text, code, reason, isDamage(code)) {}

OpenError::OpenError(const std::string& text, int code, const std::string& reason, bool damaged)
    : std::invalid_argument(text),
      code_(code),
      damaged_(damaged),
      reason_(std::make_shared<const std::string>(reason)) {}

Database::Database(std::string databaseFilePath, std::string tableName)
    : tableName_(std::move(tableName)), databaseFilePath_(std::move(databaseFilePath)) {
  fileMutex_ = getDatabaseFileMutex(databaseFilePath_);
  std::lock_guard guard(*fileMutex_);
  // Every backquote of the table name is doubled, so the text is one
  // statement whatever the name holds.
  db_ = openConnection(databaseFilePath_, generateTableCreationSQL(), false);
  countOpen(fileMutex_, 1);
}

Database::Database(const FileLock& lock, std::string databaseFilePath, std::string tableName)
    : tableName_(std::move(tableName)), databaseFilePath_(std::move(databaseFilePath)) {
  if (!lock.owns_lock()) throw std::logic_error("Database:: opening needs a held lock");
  fileMutex_ = lock.mutex();
  db_ = openConnection(databaseFilePath_, generateTableCreationSQL(), false);
  countOpen(fileMutex_, 1);
}

Database::Database(const FileLock& lock, StoreLockHeld, std::string databaseFilePath,
                   std::string tableName)
    : tableName_(std::move(tableName)), databaseFilePath_(std::move(databaseFilePath)) {
  if (!lock.owns_lock()) throw std::logic_error("Database:: opening needs a held lock");
  fileMutex_ = lock.mutex();
  db_ = openConnection(databaseFilePath_, generateTableCreationSQL(), true);
  countOpen(fileMutex_, 1);
}

Database::~Database() {
  std::lock_guard guard(*fileMutex_);
  sqlite3_close(db_);
  countOpen(fileMutex_, -1);
}

const std::string& Database::GetName() const { return name; }

bool Database::returnCodeSuccess(int code) { return code == SQLITE_OK || code == SQLITE_DONE; }

tembrolexin::Mutex* Database::getDatabaseFileMutex(const std::string& path) {
  const std::string identity = fileIdentity(path);
  std::lock_guard guard(mapMutex());
  auto& entry = databaseFileMutexs()[identity];
  if (!entry) entry = std::make_unique<tembrolexin::Mutex>();
  return entry.get();
}

Database::FileLock Database::lockFileAt(const std::string& path) {
  return FileLock(*getDatabaseFileMutex(path));
}

int Database::openStores(const FileLock& lock) {
  if (!lock.owns_lock()) throw std::logic_error("Database:: openStores needs a held lock");
  return openCount(lock.mutex());
}

std::string Database::findDamage(const FileLock& lock, const std::string& path) {
  if (!lock.owns_lock() || lock.mutex() != getDatabaseFileMutex(path)) {
    throw std::logic_error("Database:: findDamage needs the lock of " + path);
  }
  if (!isRegularFile(path) || !clearCompanionNames(path).empty()) return std::string();
  // Read and write, as a store opens it, so that a hot journal is played
  // back before the check as it would be before the store's first read.
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return std::string();
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  std::string found;
  {
    // One finding is enough; the check stops there.
    Statement stmt(db, "PRAGMA quick_check(1);");
    rc = stmt.ok() ? sqlite3_step(stmt.get()) : stmt.code();
    if (rc == SQLITE_ROW) {
      const std::string report = columnBytes(stmt.get(), 0);
      if (report != "ok") found = "quick_check: " + firstFinding(report);
    } else if (isDamage(rc & 0xff) || isUnsupportedFormat(db, rc)) {
      found = reasonOf(db, rc) + ", code " + std::to_string(rc & 0xff);
    }
  }
  sqlite3_close(db);
  return found;
}

std::string Database::findVersionDamage(const std::string& path) {
  if (!isRegularFile(path)) return std::string();
  // Not blocking on a pipe that took the file's place since.
  tembrolexin::Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  unsigned char header[100];
  if (!fd.valid() ||
      ::pread(fd.get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
      std::memcmp(header, "SQLite format 3", 16) != 0) {  // 16 bytes with the zero byte
    return std::string();
  }
  const int write = header[18];
  const int read = header[19];
  const auto known = [](int version) { return version == 1 || version == 2; };
  if (known(write) && known(read)) return std::string();
  return "header: write version " + std::to_string(write) + ", read version " +
         std::to_string(read);
}

std::string Database::carryRows(const std::string& from, const std::string& to,
                                std::int64_t* rows) {
  *rows = 0;
  // SQLite would read "%00" as the end of the path.
  if (from.find('\0') != std::string::npos || to.find('\0') != std::string::npos) {
    return "the path holds a zero byte";
  }
  // What lies there is someone else's, and is left alone.
  struct stat info;
  if (::lstat(to.c_str(), &info) == 0) return "output file already exists";
  // A copy that a crash cuts short is no store: it is written at
  // "<to>.carry" and takes `to` only once it is whole.
  const std::string copy = storefiles::carryCopyPath(to);
  // What is in the way at the copy's own names is cleared first: SQLite
  // deletes a pipe or a link at the journal's name of a file it writes, and
  // fails on a folder there or at the copy's name. Then what lies beside
  // `to` (once a link, perhaps), where the new store opens.
  if (std::string stays = tellMoved(to, storefiles::clearCopyNames(copy)); !stays.empty()) {
    return stays;
  }
  if (std::string stays = clearCompanionNames(to); !stays.empty()) return stays;
  // Immutable: SQLite reads the file without locking it or playing back what
  // lies beside it, and makes no "-wal" and "-shm" beside it, as it would
  // for a read-only connection to a file whose read version is 2.
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2((uriOf(from) + "?immutable=1").c_str(), &db,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  std::string failed;
  if (rc == SQLITE_OK) {
    Statement vacuum(db, "VACUUM INTO ?;");
    rc = !vacuum.ok()
             ? vacuum.code()
             : (vacuum.bindText(1, uriOf(copy)) ? sqlite3_step(vacuum.get()) : SQLITE_NOMEM);
    if (rc == SQLITE_DONE) rc = countRows(db, rows);
    if (rc != SQLITE_OK) failed = reasonOf(db, rc);
  } else {
    failed = reasonOf(db, rc);
  }
  sqlite3_close(db);
  if (failed.empty()) failed = storefiles::putCopyInPlace(copy, to);
  if (!failed.empty()) {
    *rows = 0;
    // What the copy left; the caller makes a new store at `to`.
    for (const std::string& file : {copy, copy + "-journal"}) {
      if (::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(file.c_str());
    }
  }
  return failed;
}

std::string Database::statement(const char* before, const char* after) const {
  return before + doubledBackquotes(tableName_) + after;
}

std::string Database::generateTableCreationSQL() const {
  return statement("CREATE TABLE IF NOT EXISTS `",
                   "` (`Key` TEXT NOT NULL UNIQUE,`Value` BLOB NOT NULL,PRIMARY KEY(`Key`));");
}

Database::FileLock Database::lockFile() const { return FileLock(*fileMutex_); }

void Database::checkLock(const FileLock& lock) const {
  if (lock.mutex() != fileMutex_ || !lock.owns_lock()) {
    throw std::logic_error("Database:: the lock given does not hold the mutex of " +
                           databaseFilePath_);
  }
}

std::string Database::failure(const char* operation, int code) const {
  const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  const std::string text = std::string("Database:: ") + operation + " failed in table " +
                           tableName_ + " of " + databaseFilePath_ + ": " + reason + " (" +
                           std::to_string(code) + ")";
  const LogParams line(LogLevel::Error, text);
  Logger::getInstance()->Log(name, &line);
  if (isDamage(code & 0xff) && damageMet_.empty()) {
    damageMet_ = reason + ", code " + std::to_string(code & 0xff);
  }
  return text;
}

// ---- damage met by an operation ----------------------------------------------------------

// Settles the damage an operation met once the operation is over: declared
// first in it, it runs after the operation's statements are finalized and
// its transaction rolled back, also when the operation throws.
class Database::DamageGuard {
 public:
  explicit DamageGuard(const Database& store) : store_(store) {}
  ~DamageGuard() { store_.settleDamage(); }
  DamageGuard(const DamageGuard&) = delete;
  DamageGuard& operator=(const DamageGuard&) = delete;

 private:
  const Database& store_;
};

int Database::connect(bool storeLockHeld) const {
  if (db_ != nullptr) return SQLITE_OK;
  try {
    db_ = openConnection(databaseFilePath_, generateTableCreationSQL(), storeLockHeld);
    return SQLITE_OK;
  } catch (const OpenError& e) {
    if (e.damaged() && damageMet_.empty()) {
      damageMet_ = e.reason() + ", code " + std::to_string(e.code());
    }
    return e.code();
  }
}

void Database::settleDamage() const noexcept {
  if (damageMet_.empty()) return;
  try {
    const std::string damage = std::move(damageMet_);
    damageMet_.clear();
    const std::string& path = databaseFilePath_;
    const auto warn = [&](const std::string& how) {
      const LogParams line(LogLevel::Warning,
                           "Store " + path + " is damaged (" + damage + "); " + how);
      Logger::getInstance()->Log(name, &line);
    };
    // Only the mutex table's lock and the store's lock across processes are
    // taken under the file's, as an opening does; nothing here waits for the
    // opener's process-wide lock.
    std::string stays;
    struct stat info;
    if (openCount(fileMutex_) > 1) {
      // Another store's connection would go on writing into the kept copy.
      stays = "another store of this run has it open, so it is set aside at the next start";
    } else if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      // A new file at the path would be a file of another lock than this
      // store's, which is that of the link's target.
      stays = "it is reached through a link, so it is set aside at the next start";
    } else {
      // Not in the way of another process's opener, which may be setting it
      // aside or carrying its rows right now.
      const storefiles::StoreLock held(path, storefiles::StoreLock::Mode::kExclusive);
      tellStoreLock(path, held);
      if (held.state() == storefiles::StoreLock::State::kBusy) {
        stays = "another process is checking or mending it, so it is set aside at the next start";
      } else {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        std::string kept;
        stays = storefiles::setAside(path, &kept);
        if (stays.empty()) {
          try {
            db_ = openConnection(path, generateTableCreationSQL(), true);
          } catch (const OpenError& e) {
            warn("it is set aside as " + kept +
                 ", but a new store could not be made: " + e.reason());
            return;
          }
          markLeft_ = false;
          warn("it is set aside as " + kept + " and a new, empty store is made");
          return;
        }
        // It could not be moved: the store goes on with it as it is.
        connect(true);
        damageMet_.clear();
      }
    }
    if (markLeft_) return;
    markLeft_ = true;
    std::optional<storefiles::MovedEntry> moved;
    const std::string failed = storefiles::writeMark(path, damage, &moved);
    if (moved) stays += "; " + moved->text();
    warn(failed.empty() ? stays : stays + "; marking it for the next start failed: " + failed);
  } catch (...) {
    // No memory for the texts: the damage is met again by a later operation.
  }
}

// ---- operations under a held lock -------------------------------------------------------

template <typename T>
bool Database::insertLocked(const std::string& key, const T& value) {
  const DamageGuard settle(*this);
  if (const int rc = connect(); rc != SQLITE_OK) {
    failure("insert", rc);
    return false;
  }
  std::ostringstream text;
  text << value;
  WriteTransaction transaction(db_);
  if (!transaction.open()) {
    failure("insert", transaction.code());
    return false;
  }
  int rc;
  {
    Statement stmt(db_, statement("INSERT INTO `", "` (Key, Value) VALUES (?,?);"));
    if (!stmt.ok()) {
      failure("insert", stmt.code());
      return false;
    }
    if (!stmt.bindText(1, key) || !stmt.bindBlob(2, text.str())) {
      failure("insert", SQLITE_NOMEM);
      return false;
    }
    rc = sqlite3_step(stmt.get());
  }
  // A key already present is an answer, not a failure.
  if ((rc & 0xff) == SQLITE_CONSTRAINT) return false;
  if (rc == SQLITE_DONE && !transaction.commit()) rc = transaction.code();
  if (rc != SQLITE_DONE) failure("insert", rc);
  return returnCodeSuccess(rc);
}

template <typename T>
T Database::selectLocked(const std::string& key) {
  const DamageGuard settle(*this);
  if (const int rc = connect(); rc != SQLITE_OK) throw std::runtime_error(failure("select", rc));
  T value{};
  int rows = 0;
  {
    Statement stmt(db_, statement("SELECT * FROM `", "` WHERE `Key`=?;"));
    if (!stmt.ok()) throw std::runtime_error(failure("select", stmt.code()));
    if (!stmt.bindText(1, key)) throw std::runtime_error(failure("select", SQLITE_NOMEM));
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      value = readValue<T>(stmt.get());
      ++rows;
    }
    if (rc != SQLITE_DONE) throw std::runtime_error(failure("select", rc));
  }
  if (rows >= 2) throw std::runtime_error("Database:: More than one value found for key" + key);
  return rows == 0 ? T{} : value;
}

bool Database::removeLocked(const std::string& key) {
  const DamageGuard settle(*this);
  if (const int rc = connect(); rc != SQLITE_OK) {
    failure("remove", rc);
    return false;
  }
  WriteTransaction transaction(db_);
  if (!transaction.open()) {
    failure("remove", transaction.code());
    return false;
  }
  int rc;
  {
    Statement stmt(db_, statement("DELETE FROM `", "` WHERE `Key`=?;"));
    if (!stmt.ok()) {
      failure("remove", stmt.code());
      return false;
    }
    if (!stmt.bindText(1, key)) {
      failure("remove", SQLITE_NOMEM);
      return false;
    }
    rc = sqlite3_step(stmt.get());
  }
  if (rc == SQLITE_DONE && !transaction.commit()) rc = transaction.code();
  if (rc != SQLITE_DONE) failure("remove", rc);
  return returnCodeSuccess(rc);
}

bool Database::existsLocked(const std::string& key) const {
  const DamageGuard settle(*this);
  if (const int rc = connect(); rc != SQLITE_OK) throw std::runtime_error(failure("exists", rc));
  Statement stmt(db_, statement("SELECT * FROM `", "` WHERE `Key`=?;"));
  if (!stmt.ok()) throw std::runtime_error(failure("exists", stmt.code()));
  if (!stmt.bindText(1, key)) throw std::runtime_error(failure("exists", SQLITE_NOMEM));
  const int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(failure("exists", rc));
  return rc == SQLITE_ROW;
}

std::vector<std::string> Database::listKeysLocked() const {
  const DamageGuard settle(*this);
  if (const int rc = connect(); rc != SQLITE_OK) {
    throw std::runtime_error(failure("listKeys", rc));
  }
  std::vector<std::string> keys;
  Statement stmt(db_, statement("SELECT * FROM `", "`;"));
  if (!stmt.ok()) throw std::runtime_error(failure("listKeys", stmt.code()));
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) keys.push_back(columnBytes(stmt.get(), 0));
  if (rc != SQLITE_DONE) throw std::runtime_error(failure("listKeys", rc));
  return keys;
}

// ---- public operations --------------------------------------------------------------------

template <typename T>
bool Database::insert(const std::string& key, const T& value) {
  std::lock_guard guard(*fileMutex_);
  return insertLocked(key, value);
}

template <typename T>
T Database::select(const std::string& key) {
  std::lock_guard guard(*fileMutex_);
  return selectLocked<T>(key);
}

bool Database::remove(const std::string& key) {
  std::lock_guard guard(*fileMutex_);
  return removeLocked(key);
}

bool Database::exists(const std::string& key) const {
  std::lock_guard guard(*fileMutex_);
  return existsLocked(key);
}

std::vector<std::string> Database::listKeys() const {
  std::lock_guard guard(*fileMutex_);
  return listKeysLocked();
}

template <typename T>
bool Database::insert(const FileLock& lock, const std::string& key, const T& value) {
  checkLock(lock);
  return insertLocked(key, value);
}

template <typename T>
T Database::select(const FileLock& lock, const std::string& key) {
  checkLock(lock);
  return selectLocked<T>(key);
}

bool Database::remove(const FileLock& lock, const std::string& key) {
  checkLock(lock);
  return removeLocked(key);
}

bool Database::exists(const FileLock& lock, const std::string& key) const {
  checkLock(lock);
  return existsLocked(key);
}

std::vector<std::string> Database::listKeys(const FileLock& lock) const {
  checkLock(lock);
  return listKeysLocked();
}

template bool Database::insert<std::string>(const std::string&, const std::string&);
template bool Database::insert<bool>(const std::string&, const bool&);
template std::string Database::select<std::string>(const std::string&);
template bool Database::select<bool>(const std::string&);
template bool Database::insert<std::string>(const FileLock&, const std::string&,
                                            const std::string&);
template bool Database::insert<bool>(const FileLock&, const std::string&, const bool&);
template std::string Database::select<std::string>(const FileLock&, const std::string&);
template bool Database::select<bool>(const FileLock&, const std::string&);

}  // namespace DB
}  // namespace tembrolexinsdk
