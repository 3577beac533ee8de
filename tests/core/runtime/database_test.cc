#include "core/runtime/database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/damaged_store.h"
#include "tests/support/temp_dir.h"

namespace {

using tembrolexinsdk::INamedObject;
using tembrolexinsdk::DB::Database;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// Reads one row's Value bytes straight from the file, bypassing the store.
std::string rawValue(const std::string& path, const std::string& table, const std::string& key) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string quoted;
  for (char c : table) quoted += (c == '"') ? std::string("\"\"") : std::string(1, c);
  const std::string sql = "SELECT Value FROM \"" + quoted + "\" WHERE Key=?";
  sqlite3_stmt* stmt = nullptr;
  std::string out = "<no row>";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      EXPECT_EQ(sqlite3_column_type(stmt, 0), SQLITE_BLOB);
      const void* p = sqlite3_column_blob(stmt, 0);
      out.assign(p ? static_cast<const char*>(p) : "",
                 static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return out;
}

class DatabaseTest : public ::testing::Test {
 protected:
  tltest::TempDir dir_;
  std::string path_ = dir_.file("audiodecoder.db");
};

TEST_F(DatabaseTest, CreatesTheFileAndReopeningKeepsTheRows) {
  ASSERT_FALSE(std::filesystem::exists(path_));
  {
    Database store(path_, "audiodecoder");
    EXPECT_TRUE(std::filesystem::exists(path_));
    EXPECT_TRUE(store.insert<std::string>("deviceId", "abc-123"));
    EXPECT_TRUE(store.insert("optedIn", true));
  }
  Database again(path_, "audiodecoder");
  EXPECT_EQ(again.select<std::string>("deviceId"), "abc-123");
  EXPECT_TRUE(again.select<bool>("optedIn"));
  EXPECT_THAT(again.listKeys(), UnorderedElementsAre("deviceId", "optedIn"));
  // Another table in the same file is separate.
  Database other(path_, "other");
  EXPECT_THAT(other.listKeys(), IsEmpty());
}

TEST_F(DatabaseTest, DuplicateInsertIsRefusedAndKeepsTheValue) {
  Database store(path_, "t");
  ASSERT_TRUE(store.insert<std::string>("k", "first"));
  EXPECT_FALSE(store.insert<std::string>("k", "second"));
  EXPECT_FALSE(store.insert("k", true));
  EXPECT_EQ(store.select<std::string>("k"), "first");
  // Replacing is remove, then insert.
  EXPECT_TRUE(store.remove("k"));
  EXPECT_TRUE(store.insert<std::string>("k", "second"));
  EXPECT_EQ(store.select<std::string>("k"), "second");
  EXPECT_THAT(store.listKeys(), ElementsAre("k"));
}

TEST_F(DatabaseTest, MissingKeysGiveDefaults) {
  Database store(path_, "t");
  EXPECT_EQ(store.select<std::string>("missing"), "");
  EXPECT_FALSE(store.select<bool>("missing"));
  EXPECT_FALSE(store.exists("missing"));
  EXPECT_THAT(store.listKeys(), IsEmpty());
}

TEST_F(DatabaseTest, RemoveAndExists) {
  Database store(path_, "t");
  EXPECT_TRUE(store.remove("never-there"));
  EXPECT_FALSE(store.exists("never-there"));
  ASSERT_TRUE(store.insert<std::string>("k", ""));
  EXPECT_TRUE(store.exists("k"));  // an empty value is still a row
  EXPECT_EQ(store.select<std::string>("k"), "");
  EXPECT_TRUE(store.remove("k"));
  EXPECT_FALSE(store.exists("k"));
  EXPECT_TRUE(store.remove("k"));
}

TEST_F(DatabaseTest, BoolsAreStoredAsOneCharacter) {
  {
    Database store(path_, "flags");
    ASSERT_TRUE(store.insert("yes", true));
    ASSERT_TRUE(store.insert("no", false));
  }
  EXPECT_EQ(rawValue(path_, "flags", "yes"), "1");
  EXPECT_EQ(rawValue(path_, "flags", "no"), "0");
  Database store(path_, "flags");
  EXPECT_TRUE(store.select<bool>("yes"));
  EXPECT_FALSE(store.select<bool>("no"));
  EXPECT_EQ(store.select<std::string>("yes"), "1");
}

struct BoolReading {
  const char* stored;
  bool expected;
};

class DatabaseBoolReadingTest : public DatabaseTest,
                                public ::testing::WithParamInterface<BoolReading> {};

// A stored text reads as a bool by its integer value.
TEST_P(DatabaseBoolReadingTest, ReadsTheTextAsAnInteger) {
  Database store(path_, "t");
  ASSERT_TRUE(store.insert<std::string>("k", GetParam().stored));
  EXPECT_EQ(store.select<bool>("k"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, DatabaseBoolReadingTest,
                         ::testing::Values(BoolReading{"1", true}, BoolReading{"0", false},
                                           BoolReading{"42", true}, BoolReading{"-1", true},
                                           BoolReading{"", false}, BoolReading{"true", false},
                                           BoolReading{"7up", true}));

// A value and what it is. GoogleTest prints each parameter of every case as
// each test process starts; the description stands in for the value, which
// printed whole (a megabyte, byte by byte) would cost every process of this
// executable far more than the test itself.
struct StoredValue {
  const char* what;
  std::string value;
};

void PrintTo(const StoredValue& v, std::ostream* os) { *os << v.what; }

class DatabaseValueTest : public DatabaseTest, public ::testing::WithParamInterface<StoredValue> {};

// Values come back whole: zero bytes, high bytes, empty, large.
TEST_P(DatabaseValueTest, ValueRoundTripsByteForByte) {
  const std::string& value = GetParam().value;
  {
    Database store(path_, "t");
    ASSERT_TRUE(store.insert<std::string>("key", value));
    EXPECT_EQ(store.select<std::string>("key"), value);
  }
  EXPECT_EQ(rawValue(path_, "t", "key"), value);
  Database store(path_, "t");
  EXPECT_EQ(store.select<std::string>("key"), value);
}

std::string allBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

INSTANTIATE_TEST_SUITE_P(Values, DatabaseValueTest,
                         ::testing::Values(StoredValue{"empty", std::string()},
                                           StoredValue{"text", std::string("plain text")},
                                           StoredValue{"inner zero", std::string("a\0b", 3)},
                                           StoredValue{"one zero", std::string("\0", 1)},
                                           StoredValue{"trailing zero",
                                                       std::string("ends with zero\0", 15)},
                                           StoredValue{"every byte", allBytes()},
                                           StoredValue{"1 MiB", std::string(1 << 20, 'x')}));

TEST_F(DatabaseTest, KeysWithZeroBytesAreKeptWhole) {
  Database store(path_, "t");
  const std::string key("a\0b", 3);
  ASSERT_TRUE(store.insert<std::string>(key, "v1"));
  ASSERT_TRUE(store.insert<std::string>("a", "v2"));
  EXPECT_EQ(store.select<std::string>(key), "v1");
  EXPECT_EQ(store.select<std::string>("a"), "v2");
  EXPECT_THAT(store.listKeys(), UnorderedElementsAre(key, "a"));
  EXPECT_TRUE(store.remove(key));
  EXPECT_THAT(store.listKeys(), ElementsAre("a"));
}

class DatabaseTableNameTest : public DatabaseTest,
                              public ::testing::WithParamInterface<std::string> {};

// Bundle ids become table names: quotes and backquotes must neither break
// the statements nor reach other tables.
TEST_P(DatabaseTableNameTest, EveryOperationWorks) {
  const std::string table = GetParam();
  Database victim(path_, "victim");
  ASSERT_TRUE(victim.insert<std::string>("keep", "me"));

  {
    Database store(path_, table);
    EXPECT_TRUE(store.insert<std::string>("k", "v"));
    EXPECT_TRUE(store.exists("k"));
    EXPECT_EQ(store.select<std::string>("k"), "v");
    EXPECT_THAT(store.listKeys(), ElementsAre("k"));
    EXPECT_TRUE(store.remove("k"));
    EXPECT_FALSE(store.exists("k"));
    EXPECT_TRUE(store.insert<std::string>("k2", "v2"));
  }
  Database reopened(path_, table);
  EXPECT_EQ(reopened.select<std::string>("k2"), "v2");
  EXPECT_EQ(victim.select<std::string>("keep"), "me");
  EXPECT_THAT(victim.listKeys(), ElementsAre("keep"));
  EXPECT_EQ(rawValue(path_, table, "k2"), "v2");
}

INSTANTIATE_TEST_SUITE_P(Names, DatabaseTableNameTest,
                         ::testing::Values("audiodecoder", "com.example.bundle-1", "a`b", "`", "``",
                                           "it's", "\"quoted\"", "with space",
                                           "victim`;DROP TABLE `victim",
                                           "t` (`Key` TEXT);DROP TABLE `victim`;--",
                                           "\xc3\xa9t\xc3\xa9"));

TEST_F(DatabaseTest, CreationStatementText) {
  Database plain(path_, "audiodecoder");
  EXPECT_EQ(plain.generateTableCreationSQL(),
            "CREATE TABLE IF NOT EXISTS `audiodecoder` (`Key` TEXT NOT NULL UNIQUE,`Value` BLOB "
            "NOT NULL,PRIMARY KEY(`Key`));");
  Database quoted(path_, "a`b");
  EXPECT_EQ(quoted.generateTableCreationSQL(),
            "CREATE TABLE IF NOT EXISTS `a``b` (`Key` TEXT NOT NULL UNIQUE,`Value` BLOB NOT "
            "NULL,PRIMARY KEY(`Key`));");
}

TEST_F(DatabaseTest, FolderThatDoesNotExistFailsWithCantOpen) {
  const std::string bad = dir_.file("no/such/folder/BundleData.db");
  try {
    Database store(bad, "t");
    FAIL() << "constructed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Database did not open properly. ErrorCode: 14");
  }
  // The file's mutex was released.
  tembrolexin::Mutex* m = Database::getDatabaseFileMutex(bad);
  ASSERT_TRUE(m->try_lock());
  m->unlock();
}

TEST_F(DatabaseTest, PathWithAZeroByteIsNotOpened) {
  try {
    Database store(path_ + std::string("\0.other", 7), "t");
    FAIL() << "constructed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Database did not open properly. ErrorCode: 14");
  }
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(DatabaseTest, FileThatIsNotADatabaseFailsTableCreation) {
  std::ofstream(path_) << std::string(4096, 'z');
  try {
    Database store(path_, "t");
    FAIL() << "constructed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Create table failed. Error code: 26");
  }
  tembrolexin::Mutex* m = Database::getDatabaseFileMutex(path_);
  ASSERT_TRUE(m->try_lock());
  m->unlock();
}

// SQLite's code 1 is damage only for "unsupported file format" (below).
TEST_F(DatabaseTest, TableNameWithZeroByteFailsTableCreation) {
  try {
    Database store(path_, std::string("a\0b", 3));
    FAIL() << "constructed";
  } catch (const tembrolexinsdk::DB::OpenError& e) {
    EXPECT_STREQ(e.what(), "Create table failed. Error code: 1");
    EXPECT_FALSE(e.damaged());
  }
}

// What the opener of a store needs to decide: SQLite's code, its reason, and
// whether the file is damaged; the text stays the constructor's.
struct OpenFailure {
  const char* name;
  void (*make)(const std::string& path);
  const char* text;
  int code;
  const char* reason;
  bool damaged;
};

void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.name; }

class DatabaseOpenFailureTest : public DatabaseTest,
                                public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(DatabaseOpenFailureTest, ThrowsTheCodeAndSQLitesReason) {
  const OpenFailure& c = GetParam();
  c.make(path_);
  const std::string before = tltest::whatLiesAt(path_);
  try {
    Database store(path_, "audiodecoder");
    FAIL() << "constructed";
  } catch (const tembrolexinsdk::DB::OpenError& e) {
    const std::invalid_argument& asBefore = e;
    EXPECT_STREQ(asBefore.what(), c.text);
    EXPECT_EQ(e.code(), c.code);
    EXPECT_EQ(e.reason(), c.reason);
    EXPECT_EQ(e.damaged(), c.damaged);
  }
  EXPECT_EQ(tltest::whatLiesAt(path_), before);  // read, never written
}

INSTANTIATE_TEST_SUITE_P(
    Files, DatabaseOpenFailureTest,
    ::testing::Values(
        OpenFailure{"Garbage", tltest::writeGarbageStore, "Create table failed. Error code: 26", 26,
                    "file is not a database", true},
        // A schema format number in the header that no SQLite writes.
        OpenFailure{"UnsupportedFileFormat",
                    [](const std::string& path) { tltest::writeSchemaFormatStore(path, 5); },
                    "Create table failed. Error code: 1", 1, "unsupported file format", true},
        // Opened for reading, a pipe without a writer would block for ever.
        OpenFailure{"NamedPipe",
                    [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0444), 0); },
                    "Database did not open properly. ErrorCode: 14", 14, "not a regular file",
                    false},
        OpenFailure{"LinkToAPipe",
                    [](const std::string& path) {
                      ASSERT_EQ(::mkfifo((path + ".pipe").c_str(), 0444), 0);
                      std::filesystem::create_symlink(path + ".pipe", path);
                    },
                    "Database did not open properly. ErrorCode: 14", 14, "not a regular file",
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DatabaseStaticTest, ReturnCodeSuccess) {
  const std::vector<std::pair<int, bool>> cases = {{SQLITE_OK, true},    {SQLITE_DONE, true},
                                                   {SQLITE_ROW, false},  {SQLITE_ERROR, false},
                                                   {SQLITE_BUSY, false}, {SQLITE_CONSTRAINT, false},
                                                   {SQLITE_FULL, false}, {SQLITE_LOCKED, false}};
  for (const auto& [code, expected] : cases) {
    EXPECT_EQ(Database::returnCodeSuccess(code), expected) << code;
  }
}

TEST_F(DatabaseTest, OneMutexPerFileWhateverItsSpelling) {
  std::filesystem::create_directory(dir_.file("sub"));
  std::filesystem::create_directory_symlink(dir_.path(), dir_.file("alias"));
  for (bool created : {false, true}) {
    if (created) Database store(path_, "t");
    tembrolexin::Mutex* m = Database::getDatabaseFileMutex(path_);
    EXPECT_EQ(Database::getDatabaseFileMutex(dir_.path() + "/./audiodecoder.db"), m) << created;
    EXPECT_EQ(Database::getDatabaseFileMutex(dir_.path() + "//audiodecoder.db"), m) << created;
    EXPECT_EQ(Database::getDatabaseFileMutex(dir_.file("sub/../audiodecoder.db")), m) << created;
    EXPECT_EQ(Database::getDatabaseFileMutex(dir_.file("alias/audiodecoder.db")), m) << created;
    EXPECT_NE(Database::getDatabaseFileMutex(dir_.file("Audiodecoder.db")), m) << created;
  }
}

TEST_F(DatabaseTest, NameIsDatabase) {
  Database store(path_, "t");
  const INamedObject& named = store;
  EXPECT_EQ(named.GetName(), "Database");
  EXPECT_EQ(Database::name, "Database");
}

TEST_F(DatabaseTest, HeldLockRunsSeveralOperationsAcrossStoresOfOnePath) {
  Database a(path_, "one");
  Database b(path_, "two");
  {
    Database::FileLock lock = a.lockFile();
    ASSERT_TRUE(lock.owns_lock());
    EXPECT_EQ(lock.mutex(), Database::getDatabaseFileMutex(path_));
    EXPECT_FALSE(a.exists(lock, "k"));
    EXPECT_TRUE(a.insert<std::string>(lock, "k", "v"));
    EXPECT_FALSE(a.insert<std::string>(lock, "k", "w"));
    EXPECT_TRUE(b.insert(lock, "flag", true));
    EXPECT_EQ(a.select<std::string>(lock, "k"), "v");
    EXPECT_TRUE(b.select<bool>(lock, "flag"));
    EXPECT_THAT(b.listKeys(lock), ElementsAre("flag"));
    EXPECT_TRUE(b.remove(lock, "flag"));
    EXPECT_THAT(b.listKeys(lock), IsEmpty());
  }
  // Released: the self-locking operations run again.
  EXPECT_EQ(a.select<std::string>("k"), "v");
}

TEST_F(DatabaseTest, LockOfAnotherFileOrNotHeldIsRefused) {
  Database a(path_, "t");
  Database elsewhere(dir_.file("other.db"), "t");
  {
    Database::FileLock wrong = elsewhere.lockFile();
    EXPECT_THROW(a.insert<std::string>(wrong, "k", "v"), std::logic_error);
    EXPECT_THROW(a.select<std::string>(wrong, "k"), std::logic_error);
    EXPECT_THROW(a.remove(wrong, "k"), std::logic_error);
    EXPECT_THROW(a.exists(wrong, "k"), std::logic_error);
    EXPECT_THROW(a.listKeys(wrong), std::logic_error);
  }
  Database::FileLock released = a.lockFile();
  released.unlock();
  EXPECT_THROW(a.exists(released, "k"), std::logic_error);
  EXPECT_FALSE(a.exists("k"));
}

// ---- concurrency, instrumented through an SQLite VFS shim ----------------------------------
//
// The shim forwards to the default VFS and counts, for main database files,
// how many connections hold a lock (SHARED or stronger) at once. SQLite holds
// such a lock for the whole of each statement, so two operations overlapping
// on one file show up as two holders. Reads yield to widen any window.

struct ShimFile {
  sqlite3_file base;
  bool mainDb;
  int level;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

std::atomic<int> gHolders{0};
std::atomic<int> gMaxHolders{0};
sqlite3_vfs* gRealVfs = nullptr;

void noteLevel(ShimFile* f, int level) {
  if (!f->mainDb) return;
  const bool wasHeld = f->level > SQLITE_LOCK_NONE;
  const bool isHeld = level > SQLITE_LOCK_NONE;
  f->level = level;
  if (!wasHeld && isHeld) {
    const int now = ++gHolders;
    int seen = gMaxHolders.load();
    while (now > seen && !gMaxHolders.compare_exchange_weak(seen, now)) {
    }
  } else if (wasHeld && !isHeld) {
    --gHolders;
  }
}

ShimFile* shim(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f); }

int shimClose(sqlite3_file* f) {
  noteLevel(shim(f), SQLITE_LOCK_NONE);
  return shim(f)->real()->pMethods->xClose(shim(f)->real());
}
int shimRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
  std::this_thread::yield();
  return shim(f)->real()->pMethods->xRead(shim(f)->real(), b, n, o);
}
int shimWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
  return shim(f)->real()->pMethods->xWrite(shim(f)->real(), b, n, o);
}
int shimTruncate(sqlite3_file* f, sqlite3_int64 s) {
  return shim(f)->real()->pMethods->xTruncate(shim(f)->real(), s);
}
int shimSync(sqlite3_file* f, int flags) {
  return shim(f)->real()->pMethods->xSync(shim(f)->real(), flags);
}
int shimFileSize(sqlite3_file* f, sqlite3_int64* s) {
  return shim(f)->real()->pMethods->xFileSize(shim(f)->real(), s);
}
int shimLock(sqlite3_file* f, int level) {
  const int rc = shim(f)->real()->pMethods->xLock(shim(f)->real(), level);
  if (rc == SQLITE_OK) noteLevel(shim(f), level);
  return rc;
}
int shimUnlock(sqlite3_file* f, int level) {
  const int rc = shim(f)->real()->pMethods->xUnlock(shim(f)->real(), level);
  if (rc == SQLITE_OK) noteLevel(shim(f), level);
  return rc;
}
int shimCheckReserved(sqlite3_file* f, int* out) {
  return shim(f)->real()->pMethods->xCheckReservedLock(shim(f)->real(), out);
}
int shimFileControl(sqlite3_file* f, int op, void* arg) {
  return shim(f)->real()->pMethods->xFileControl(shim(f)->real(), op, arg);
}
int shimSectorSize(sqlite3_file* f) {
  return shim(f)->real()->pMethods->xSectorSize(shim(f)->real());
}
int shimDeviceCharacteristics(sqlite3_file* f) {
  return shim(f)->real()->pMethods->xDeviceCharacteristics(shim(f)->real());
}

const sqlite3_io_methods kShimMethods = {1,
                                         shimClose,
                                         shimRead,
                                         shimWrite,
                                         shimTruncate,
                                         shimSync,
                                         shimFileSize,
                                         shimLock,
                                         shimUnlock,
                                         shimCheckReserved,
                                         shimFileControl,
                                         shimSectorSize,
                                         shimDeviceCharacteristics,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr};

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  ShimFile* f = shim(file);
  f->base.pMethods = nullptr;
  f->mainDb = (flags & SQLITE_OPEN_MAIN_DB) != 0;
  f->level = SQLITE_LOCK_NONE;
  const int rc = gRealVfs->xOpen(gRealVfs, name, f->real(), flags, outFlags);
  if (rc == SQLITE_OK) f->base.pMethods = &kShimMethods;
  return rc;
}

class CountingVfs {
 public:
  CountingVfs() {
    gRealVfs = sqlite3_vfs_find(nullptr);
    vfs_ = *gRealVfs;
    vfs_.zName = "tl-counting";
    vfs_.szOsFile = static_cast<int>(sizeof(ShimFile)) + gRealVfs->szOsFile;
    vfs_.xOpen = shimOpen;
    vfs_.pNext = nullptr;
    gHolders = 0;
    gMaxHolders = 0;
    EXPECT_EQ(sqlite3_vfs_register(&vfs_, 1), SQLITE_OK);
  }
  ~CountingVfs() { sqlite3_vfs_unregister(&vfs_); }

 private:
  sqlite3_vfs vfs_;
};

// The instrument itself: two plain connections with overlapping statements
// are seen as two holders.
TEST_F(DatabaseTest, InstrumentSeesOverlappingConnections) {
  {
    Database seed(path_, "t");
    ASSERT_TRUE(seed.insert<std::string>("k", "v"));
  }
  CountingVfs vfs;
  sqlite3* a = nullptr;
  sqlite3* b = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &a), SQLITE_OK);
  ASSERT_EQ(sqlite3_open(path_.c_str(), &b), SQLITE_OK);
  sqlite3_stmt* sa = nullptr;
  sqlite3_stmt* sb = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(a, "SELECT * FROM t", -1, &sa, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_prepare_v2(b, "SELECT * FROM t", -1, &sb, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_step(sa), SQLITE_ROW);  // a holds its read lock mid-statement
  EXPECT_EQ(sqlite3_step(sb), SQLITE_ROW);
  EXPECT_EQ(gMaxHolders.load(), 2);
  sqlite3_finalize(sa);
  sqlite3_finalize(sb);
  sqlite3_close(a);
  sqlite3_close(b);
  EXPECT_EQ(gHolders.load(), 0);
}

// Two threads, each with its own store, on one file reached by one path or
// by two spellings of it.
class DatabaseSharedFileTest : public DatabaseTest,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(DatabaseSharedFileTest, TwoThreadsNeverOverlap) {
  CountingVfs vfs;
  constexpr int kRounds = 60;
  std::atomic<int> failures{0};
  auto worker = [&](const std::string& prefix, const std::string& path) {
    Database store(path, "shared");
    for (int i = 0; i < kRounds; ++i) {
      const std::string key = prefix + std::to_string(i);
      if (!store.insert<std::string>(key, "value" + std::to_string(i))) ++failures;
      if (store.select<std::string>(key) != "value" + std::to_string(i)) ++failures;
      if (!store.exists(key)) ++failures;
      store.listKeys();
      if (i % 2 == 0 && !store.remove(key)) ++failures;
    }
  };
  std::thread t1(worker, "a", path_);
  std::thread t2(worker, "b", dir_.path() + GetParam());
  t1.join();
  t2.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(gMaxHolders.load(), 1);
  EXPECT_EQ(gMaxHolders.load(), 1) << "two operations held the file at once";
  Database check(path_, "shared");
  EXPECT_EQ(check.listKeys().size(), static_cast<size_t>(kRounds));  // odd rounds of both
}

INSTANTIATE_TEST_SUITE_P(Spellings, DatabaseSharedFileTest,
                         ::testing::Values("/audiodecoder.db", "/./audiodecoder.db"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return info.index == 0 ? "SamePath" : "OtherSpelling";
                         });

// ---- other connections and processes ----------------------------------------------------

// Six processes insert 300 rows each into one file at the same time: every
// insert succeeds and every row is there afterwards.
TEST(DatabaseProcessTest, SixProcessesKeepEveryRow) {
  constexpr int kProcesses = 6;
  constexpr int kRows = 300;
  // In memory where possible: the test is about locking, not disk flushes.
  const tltest::TempDir dir("/dev/shm");
  const std::string path_ = dir.file("shared.db");
  { Database create(path_, "shared"); }
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The child: no test macros, no exit handlers; the exit code tells.
      ::close(go[1]);
      char byte;
      if (::read(go[0], &byte, 1) < 0) ::_exit(3);
      int failed = 0;
      try {
        Database store(path_, "shared");
        for (int i = 0; i < kRows; ++i) {
          if (!store.insert<std::string>(std::to_string(p) + "-" + std::to_string(i), "v")) {
            ++failed;
          }
        }
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(failed == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);  // end of file: every child starts now
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  Database check(path_, "shared");
  EXPECT_EQ(check.listKeys().size(), static_cast<size_t>(kProcesses * kRows));
}

// Runs `sql` on a plain connection of its own; true on success.
bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// While another connection holds the file exclusively (as a writer does
// while it commits), readers wait for it instead of reporting a present key
// as missing.
TEST_F(DatabaseTest, ReadersWaitForAnotherWriterAndSeeTheOldValue) {
  Database store(path_, "t");
  ASSERT_TRUE(store.insert<std::string>("k", "old"));
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &writer), SQLITE_OK);
  ASSERT_TRUE(exec(writer, "BEGIN EXCLUSIVE; DELETE FROM t;"));
  std::atomic<bool> reading{false};
  std::thread release([&] {
    while (!reading.load()) std::this_thread::yield();
    // Long enough for the reads below to meet the lock; they wait for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    exec(writer, "ROLLBACK;");
  });
  reading = true;
  EXPECT_EQ(store.select<std::string>("k"), "old");
  EXPECT_TRUE(store.exists("k"));
  EXPECT_THAT(store.listKeys(), ElementsAre("k"));
  release.join();
  sqlite3_close(writer);
}

// A failing statement is logged and reported, never taken for "not there".
TEST_F(DatabaseTest, FailuresAreLoggedAndReportedNotHidden) {
  Database store(path_, "t");
  ASSERT_TRUE(store.insert<std::string>("k", "v"));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_TRUE(exec(other, "DROP TABLE t;"));
  sqlite3_close(other);

  tltest::LogCapture log;
  EXPECT_THROW(store.select<std::string>("k"), std::runtime_error);
  EXPECT_THROW(store.select<bool>("k"), std::runtime_error);
  EXPECT_THROW(store.exists("k"), std::runtime_error);
  EXPECT_THROW(store.listKeys(), std::runtime_error);
  EXPECT_FALSE(store.insert<std::string>("k", "v"));
  EXPECT_FALSE(store.remove("k"));
  const auto lines = log.matching("Database:: ");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].message,
            "Database:: select failed in table t of " + path_ + ": no such table: t (1)");
  for (const auto& line : lines) {
    EXPECT_EQ(line.level, 4) << line.message;
    EXPECT_EQ(line.sender, "Database");
  }
  try {
    store.exists("k");
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Database:: exists failed in table t of " + path_ + ": no such table: t (1)");
  }
}

}  // namespace
