#include "core/runtime/database_recovery.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/runtime/i_named_object.h"
#include "core/runtime/store_files.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/child_process.h"
#include "tests/support/damaged_store.h"
#include "tests/support/hang_guard.h"
#include "tests/support/pipe_release.h"
#include "tests/support/temp_dir.h"

namespace {
// The name whose taking by rename(2) ends the process at once, the rename
// done; null for none. Set in a child process only.
const char* endOnceRenamedTo = nullptr;

// Two starts of one store in two processes, taking turns: each stops at the
// renames of its start that set the store aside and put the carried copy in
// its place, hands the turn to the other over a socket pair, and goes on at
// the other's word: that it stopped at such a rename itself ('T'), waits for
// the store's lock ('L'), or has finished ('F'). Once the other waits or has
// finished, nothing stops again. Every wait for a word is bounded (2 s).
struct TurnTaking {
  int toOther = -1;  // this start's end of a socket pair
  std::string store;
  bool otherStill = false;  // the other waits at the lock or has finished
  bool lockTold = false;
  bool unanswered = false;  // a wait for the other's word ran out

  // A word for another that has gone is lost, not a signal that ends this one.
  void say(char word) const { ::send(toOther, &word, 1, MSG_NOSIGNAL); }
  // The other's next word, or 0 when none came in time.
  char hear() const {
    pollfd ready{toOther, POLLIN, 0};
    char word = 0;
    if (::poll(&ready, 1, 2000) != 1 || ::read(toOther, &word, 1) != 1) return 0;
    return word;
  }
  void atRename(const char* to) {
    if (otherStill || (to != store + ".damaged" && to != store)) return;
    say('T');
    const char word = hear();
    otherStill = word != 'T';
    unanswered = unanswered || word == 0;
  }
  void atLockTaken() {
    if (lockTold) return;
    lockTold = true;
    say('L');
  }
};
TurnTaking* turns = nullptr;
}  // namespace

// The test program's rename(2), which takes the C library's place for the
// library's calls too (the store's set-aside is a plain rename(2), out of
// SQLite's table of system calls); it renames as the C library does.
extern "C" int rename(const char* from, const char* to) noexcept {
  static const auto real =
      reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
  if (turns != nullptr) turns->atRename(to);
  const int result = real(from, to);
  if (result == 0 && endOnceRenamedTo != nullptr && std::strcmp(to, endOnceRenamedTo) == 0) {
    ::_exit(0);
  }
  return result;
}

// The same for renameat2(2), which puts a carried copy in the store's place.
extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to,
                         unsigned int flags) noexcept {
  static const auto real = reinterpret_cast<int (*)(int, const char*, int, const char*, unsigned)>(
      ::dlsym(RTLD_NEXT, "renameat2"));
  if (turns != nullptr) turns->atRename(to);
  return real(fromDir, from, toDir, to, flags);
}

// And for flock(2): a start that finds the store's lock held tells the other.
extern "C" int flock(int fd, int operation) noexcept {
  static const auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
  const int result = real(fd, operation);
  if (result != 0 && errno == EWOULDBLOCK && turns != nullptr) {
    const int error = errno;
    turns->atLockTaken();
    errno = error;
  }
  return result;
}

namespace {

using tembrolexinsdk::INamedObject;
using tembrolexinsdk::DB::Database;
using tembrolexinsdk::DB::OpenError;
using tembrolexinsdk::DB::openSettingDamageAside;
using tltest::hundredDigits;
using tltest::writeWriteVersion3Store;

class Opener : public INamedObject {
 public:
  const std::string& GetName() const override { return name_; }

 private:
  const std::string name_ = "Opener";
};

// Files beside the store, by the suffix after its path: "" is the store,
// ".damaged-wal" its kept copy's log. "<before>" stands for what lay at the
// store's path before it was opened.
using Files = std::map<std::string, std::string>;

struct RecoveryCase {
  const char* name;
  void (*damage)(const std::string& path);
  Files beside;        // written before the opening
  int code;            // of the first opening's failure; 0 for damage that
                       // only the check finds, or a link to nothing
  const char* reason;  // likewise; for code 0, what the Warning names
  // What the Warning says after "Store <path> is damaged (<reason>, code
  // <n>); ", with "<path>" for the store's path; "" for no Warning. The
  // store opens when it says the file is set aside.
  const char* warning;
  Files after;
};

void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

// A journal whose header is zeroed holds nothing to roll back: SQLite leaves
// it alone (one that is hot or unreadable it plays back or deletes itself).
const std::string kIdleJournal("\0journal", 8);

const char* const kSetAside = "it is set aside as <path>.damaged and a new, empty store is made";
const char* const kSetAsideAsTwo =
    "it is set aside as <path>.damaged.2 and a new, empty store is made";

class DatabaseRecoveryTest : public ::testing::TestWithParam<RecoveryCase> {
 protected:
  std::string replaced(std::string text) const {
    for (size_t at; (at = text.find("<path>")) != std::string::npos;) text.replace(at, 6, path_);
    return text;
  }

  tltest::TempDir dir_;
  const std::string path_ = dir_.file("audiodecoder.db");
  Opener opener_;
};

TEST_P(DatabaseRecoveryTest, SetsADamagedFileAsideAndOpensAnew) {
  const RecoveryCase& c = GetParam();
  c.damage(path_);
  for (const auto& [suffix, text] : c.beside) tltest::writeFile(path_ + suffix, text);
  const std::string before = tltest::whatLiesAt(path_);
  const std::string target = tltest::whatLiesAt(path_ + ".target");

  const bool opens = std::string(c.warning).find("a new, empty store is made") != std::string::npos;
  tltest::LogCapture log;
  std::unique_ptr<Database> store;
  try {
    store = openSettingDamageAside(path_, "audiodecoder", &opener_);
    EXPECT_TRUE(opens);
  } catch (const OpenError& e) {
    EXPECT_FALSE(opens) << e.what();
    EXPECT_EQ(e.code(), c.code);
    EXPECT_EQ(e.reason(), c.reason);
  }
  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.sender, "Opener");
    EXPECT_EQ(line.level, 3) << line.message;
    warnings.push_back(line.message);
  }
  if (*c.warning == '\0') {
    EXPECT_TRUE(warnings.empty());
  } else {
    const std::string damage =
        c.code == 0 ? replaced(c.reason) : c.reason + (", code " + std::to_string(c.code));
    EXPECT_EQ(warnings, std::vector<std::string>{"Store " + path_ + " is damaged (" + damage +
                                                 "); " + replaced(c.warning)});
  }
  for (const auto& [suffix, expected] : c.after) {
    EXPECT_EQ(tltest::whatLiesAt(path_ + suffix),
              expected == "<before>" ? before : replaced(expected))
        << suffix;
  }
  // A link's target is never touched.
  EXPECT_EQ(tltest::whatLiesAt(path_ + ".target"), target);
  if (store) {
    EXPECT_TRUE(store->insert<std::string>("k", "v"));
    store.reset();
    EXPECT_EQ(tltest::whatLiesAt(path_).substr(0, 16), std::string("SQLite format 3\0", 16));
    // The next opening finds a sound file.
    EXPECT_EQ(openSettingDamageAside(path_, "audiodecoder", &opener_)->select<std::string>("k"),
              "v");
    EXPECT_EQ(log.lines().size(), warnings.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, DatabaseRecoveryTest,
    ::testing::Values(RecoveryCase{"GarbageWithItsJournal",
                                   tltest::writeGarbageStore,
                                   {{"-journal", kIdleJournal}},
                                   26,
                                   "file is not a database",
                                   kSetAside,
                                   {{".damaged", "<before>"},
                                    {".damaged-journal", kIdleJournal},
                                    {"-journal", "none"}}},
                      // SQLite's first opening plays back a journal or log
                      // that it finds (here there is nothing it can read in
                      // them) and removes them, and the log's "-shm" with it.
                      RecoveryCase{"GarbageWithAJournalAndALog",
                                   tltest::writeGarbageStore,
                                   {{"-journal", "journal"}, {"-wal", "wal"}, {"-shm", "shm"}},
                                   26,
                                   "file is not a database",
                                   kSetAside,
                                   {{".damaged", "<before>"},
                                    {".damaged-journal", "none"},
                                    {".damaged-wal", "none"},
                                    {".damaged-shm", "none"}}},
                      // The earlier copy's log has no counterpart now: it goes.
                      RecoveryCase{"CutFileReplacesTheEarlierCopy",
                                   tltest::writeCutStore,
                                   {{"-shm", "shm"},
                                    {".damaged", "earlier"},
                                    {".damaged-wal", "earlier wal"},
                                    {".damaged-shm", "earlier shm"}},
                                   11,
                                   "database disk image is malformed",
                                   kSetAside,
                                   {{".damaged", "<before>"},
                                    {".damaged-wal", "none"},
                                    {".damaged-shm", "shm"},
                                    {"-shm", "none"}}},
                      RecoveryCase{"LinkIsMovedAsALink",
                                   tltest::linkToGarbageStore,
                                   {},
                                   26,
                                   "file is not a database",
                                   kSetAside,
                                   {{".damaged", "link to <path>.target"}}},
                      RecoveryCase{"DamagedPageAfterTheFirst",
                                   tltest::writeDamagedPageStore,
                                   {},
                                   0,
                                   "quick_check: Page 3: btreeInitPage() returns error code 11",
                                   kSetAside,
                                   {{".damaged", "<before>"}}},
                      // Nothing is made at the target.
                      RecoveryCase{"LinkToNothingIsMovedAsALink",
                                   tltest::linkToNothing,
                                   {},
                                   0,
                                   "a link to <path>.target, which leads to no file",
                                   kSetAside,
                                   {{".damaged", "link to <path>.target"}}},
                      // 41 links to a file of noise at "<path>.target":
                      // past the system's bound, and the Warning says so.
                      RecoveryCase{"LinkChainTooLongIsMovedAsALink",
                                   [](const std::string& path) {
                                     tltest::writeGarbageStore(path + ".target");
                                     for (int n = 40; n >= 0; --n) {
                                       std::filesystem::create_symlink(
                                           n == 40 ? path + ".target"
                                                   : path + ".l" + std::to_string(n + 1),
                                           n == 0 ? path : path + ".l" + std::to_string(n));
                                     }
                                   },
                                   {},
                                   0,
                                   "a link to <path>.l1, which cannot be followed (Too many "
                                   "levels of symbolic links)",
                                   kSetAside,
                                   {{".damaged", "link to <path>.l1"}}},
                      // A folder cannot be replaced: the copy and its
                      // journal take the first number free for all four
                      // names, and nothing kept is touched.
                      RecoveryCase{"KeptNameTakenByAFolder",
                                   tltest::writeGarbageStore,
                                   {{"-journal", kIdleJournal},
                                    {".damaged/x", "x"},
                                    {".damaged.1-shm", "earlier shm"}},
                                   26,
                                   "file is not a database",
                                   kSetAsideAsTwo,
                                   {{".damaged", "folder"},
                                    {".damaged.1", "none"},
                                    {".damaged.1-shm", "earlier shm"},
                                    {".damaged.2", "<before>"},
                                    {".damaged.2-journal", kIdleJournal},
                                    {"-journal", "none"}}},
                      RecoveryCase{"FolderIsNotDamage",
                                   tltest::makeFolderInPlace,
                                   {},
                                   14,
                                   "unable to open database file (Is a directory)",
                                   "",
                                   {{"", "folder"}, {".damaged", "none"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// What is no regular file at a name where SQLite keeps a store's journal
// would hang the start (a pipe), or fail every start or write: it is moved
// to a name of its own before the opening, and the store keeps its rows.
struct ObstacleCase {
  const char* name;
  void (*place)(const std::string& companion);
  const char* kind;
  const char* lies;  // what then lies at its new name; "<at>" is its old name
};

void PrintTo(const ObstacleCase& c, std::ostream* os) { *os << c.name; }

// Opens the store at `path` as an Opener would; null, and the test fails,
// when the opening waits on one of `pipes` (by default its "-journal").
std::unique_ptr<Database> openDespitePipes(const std::string& path,
                                           std::vector<std::string> pipes = {}) {
  if (pipes.empty()) pipes.push_back(path + "-journal");
  Opener opener;
  std::unique_ptr<Database> store;
  EXPECT_TRUE(tltest::returnsDespitePipes(
      [&] { store = openSettingDamageAside(path, "audiodecoder", &opener); }, pipes));
  return store;
}

const ObstacleCase kJournalObstacles[] = {
    {"PipeAtTheJournal", [](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); },
     "a named pipe", "special file"},
    {"FolderAtTheJournal", [](const std::string& at) { tltest::writeFile(at + "/x", "x"); },
     "a folder", "folder"},
    {"LinkToNothingAtTheJournal",
     [](const std::string& at) { std::filesystem::create_symlink(at + ".target", at); }, "a link",
     "link to <at>.target"},
};

// What lies at the new name of the case's entry, once at `at`.
std::string liesAt(const ObstacleCase& c, const std::string& at) {
  std::string lies = c.lies;
  if (const size_t pos = lies.find("<at>"); pos != std::string::npos) lies.replace(pos, 4, at);
  return lies;
}

class DatabaseObstacleTest : public ::testing::TestWithParam<ObstacleCase> {};

TEST_P(DatabaseObstacleTest, IsMovedAsideAndTheStoreOpens) {
  const ObstacleCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  Database(path, "audiodecoder").insert<std::string>("k", "v");
  // Nothing kept is replaced by the move.
  tltest::writeFile(path + "-journal.obstacle", "earlier");
  c.place(path + "-journal");

  tltest::LogCapture log;
  std::unique_ptr<Database> store = openDespitePipes(path);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->select<std::string>("k"), "v");
  EXPECT_TRUE(store->insert<std::string>("k2", "v2"));
  store.reset();
  EXPECT_EQ(tltest::whatLiesAt(path + "-journal"), "none");
  EXPECT_EQ(tltest::whatLiesAt(path + "-journal.obstacle"), "earlier");
  // The first free name: the bare one is taken.
  const std::string movedTo = path + "-journal.obstacle-2";
  EXPECT_EQ(tltest::whatLiesAt(movedTo), liesAt(c, path + "-journal"));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].sender, "Database");
  EXPECT_EQ(lines[0].message, "Store " + path + ": " + c.kind + " at " + path +
                                  "-journal is in the way; it is moved to " + movedTo);
}

INSTANTIATE_TEST_SUITE_P(Entries, DatabaseObstacleTest, ::testing::ValuesIn(kJournalObstacles),
                         [](const auto& info) { return std::string(info.param.name); });

// With every name it could go to taken, an entry in the way stays: SQLite
// must not meet it, so the opening fails with code 14, naming the entry and
// why, and leaves the entry and the store as they were.
TEST(DatabaseObstacleStaysTest, EntryThatCannotBeMovedFailsTheOpeningWithCode14) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  Database(path, "audiodecoder").insert<std::string>("k", "v");
  const std::string journal = path + "-journal";
  tltest::writeFile(journal + ".obstacle", "");
  for (int n = 2; n <= 1000; ++n) tltest::writeFile(journal + ".obstacle-" + std::to_string(n), "");
  tltest::writeFile(journal + "/x", "x");
  const std::string before = tltest::readFile(path);

  tltest::LogCapture log;
  Opener opener;
  const std::string text = "a folder at " + journal + " is in the way; moving it to " + journal +
                           ".obstacle-1000 failed: File exists";
  try {
    openSettingDamageAside(path, "audiodecoder", &opener);
    FAIL() << "opened";
  } catch (const OpenError& e) {
    EXPECT_STREQ(e.what(), "Database did not open properly. ErrorCode: 14");
    EXPECT_EQ(e.code(), 14);
    EXPECT_EQ(e.reason(), text);
  }
  EXPECT_EQ(tltest::whatLiesAt(journal + "/x"), "x");
  EXPECT_EQ(tltest::whatLiesAt(journal + ".obstacle-1000"), "");
  EXPECT_TRUE(tltest::readFile(path) == before);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines().back().message, "Store " + path + ": " + text);
}

// A file that another store of this process has open stays where it is (the
// other connection would write on into the kept copy) until that one closes.
TEST(DatabaseRecoveryHeldTest, WaitsUntilNoOtherStoreHasTheFileOpen) {
  tltest::TempDir dir;
  const std::string path = dir.file("BundleData.db");
  Opener opener;
  auto b1 = std::make_unique<Database>(path, "b1");
  std::string bytes = tltest::readFile(path);
  bytes.replace(0, 16, "no database here");
  tltest::writeFile(path, bytes);

  tltest::LogCapture log;
  try {
    openSettingDamageAside(path, "b2", &opener);
    FAIL() << "opened";
  } catch (const OpenError& e) {
    EXPECT_STREQ(e.what(), "Create table failed. Error code: 26");
  }
  EXPECT_EQ(tltest::whatLiesAt(path), bytes);
  b1.reset();
  EXPECT_TRUE(openSettingDamageAside(path, "b2", &opener)->listKeys().empty());
  EXPECT_EQ(tltest::whatLiesAt(path + ".damaged"), bytes);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  const std::string damaged = "Store " + path + " is damaged (file is not a database, code 26); ";
  EXPECT_EQ(
      lines[0].message,
      damaged + "another store of this run has it open, so it is set aside at the next start");
  EXPECT_EQ(lines[1].message,
            damaged + "it is set aside as " + path + ".damaged and a new, empty store is made");
}

// The check runs at a file's first opening in the run only: damage that
// comes later stays until the next start.
TEST(DatabaseRecoveryCheckTest, ChecksAFileAtItsFirstOpeningInTheRunOnly) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  Opener opener;
  tltest::writeDamagedPageStore(path);
  const std::string damaged = tltest::readFile(path);
  std::filesystem::remove(path);
  tltest::LogCapture log;
  openSettingDamageAside(path, "audiodecoder", &opener).reset();
  tltest::writeFile(path, damaged);
  EXPECT_TRUE(openSettingDamageAside(path, "audiodecoder", &opener)->insert<std::string>("k", "v"));
  EXPECT_EQ(tltest::whatLiesAt(path + ".damaged"), "none");
  EXPECT_TRUE(log.lines().empty());
}

// While it lives, every write of SQLite's in this process at `from` bytes
// into a file or further fails as on a full disk (ENOSPC, put in SQLite's
// table of system calls); no other thread may use SQLite meanwhile. Root,
// which tests may run as, ignores permissions, and a file size limit fails a
// write as an I/O error, not as a full disk.
class FullDisk {
 public:
  explicit FullDisk(off_t from = 0) {
    from_ = from;
    for (const char* call : kCalls) {
      EXPECT_EQ(vfs_->xSetSystemCall(vfs_, call, reinterpret_cast<sqlite3_syscall_ptr>(noSpace)),
                SQLITE_OK)
          << call;
    }
  }
  ~FullDisk() {
    for (const char* call : kCalls) vfs_->xSetSystemCall(vfs_, call, nullptr);
  }
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;

 private:
  static ssize_t noSpace(int fd, const void* data, size_t size, off_t offset) {
    if (offset < from_) return ::pwrite(fd, data, size, offset);
    errno = ENOSPC;
    return -1;
  }
  static inline off_t from_ = 0;
  static constexpr const char* kCalls[] = {"pwrite", "pwrite64"};
  sqlite3_vfs* const vfs_ = sqlite3_vfs_find(nullptr);
};

// A full disk when the new store is made: the failure keeps the opening's
// text first and says that the damaged file was set aside, and no Warning
// says that a new store is made.
TEST(DatabaseRecoveryFullDiskTest, FailureToMakeTheNewStoreSaysTheFileWasSetAside) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  Opener opener;
  tltest::writeGarbageStore(path);
  const std::string garbage = tltest::readFile(path);
  tltest::LogCapture log;
  std::string seen = "opened";
  {
    FullDisk full;
    try {
      openSettingDamageAside(path, "audiodecoder", &opener);
    } catch (const OpenError& e) {
      seen = std::string(e.what()) + " | " + std::to_string(e.code()) + " " + e.reason();
    }
  }
  EXPECT_EQ(seen, "Create table failed. Error code: 13; store " + path +
                      " is damaged (file is not a database, code 26); it is set aside as " + path +
                      ".damaged, but a new store could not be made: database or disk is full | "
                      "13 database or disk is full");
  EXPECT_EQ(tltest::whatLiesAt(path + ".damaged"), garbage);
  EXPECT_TRUE(log.matching("is damaged").empty());
}

// A header whose write or read version (bytes 18 and 19) is neither 1 nor
// 2; SQLite opens a write version above 2 read-only. The file is set aside
// as it is and the new store holds every row SQLite still reads of it, in
// every table; a disk that fills while they are copied leaves it empty.
struct HeaderCase {
  const char* name;
  const char* file;
  const char* table;
  const char* folder;  // below the test's folder
  unsigned char write;
  unsigned char read;
  off_t fullFrom;    // writes at this offset of a file and past it fail; 0: none
  const char* made;  // how the Warning ends
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class DatabaseHeaderVersionTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(DatabaseHeaderVersionTest, SetsTheFileAsideAndCarriesItsRows) {
  const HeaderCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file(c.folder) + "/" + c.file;
  std::filesystem::create_directory(dir.file(c.folder));
  const std::string page(9000, 'v');  // on pages of its own
  {
    Database store(path, c.table);
    ASSERT_TRUE(store.insert("flag1", true) && store.insert("page", page));
    ASSERT_TRUE(Database(path, "other").insert<std::string>("o", "p"));
  }
  tltest::setHeaderVersions(path, c.write, c.read);
  const std::string before = tltest::readFile(path);

  tltest::LogCapture log;
  Opener opener;
  std::unique_ptr<Database> store;
  {
    std::optional<FullDisk> full;
    if (c.fullFrom > 0) full.emplace(c.fullFrom);
    store = openSettingDamageAside(path, c.table, &opener);
  }
  const bool carried = c.fullFrom == 0;
  EXPECT_EQ(store->select<bool>("flag1"), carried);
  EXPECT_TRUE(store->select<std::string>("page") == (carried ? page : ""));
  EXPECT_TRUE(store->insert("flag2", true));
  EXPECT_EQ(Database(path, "other").select<std::string>("o"), carried ? "p" : "");
  EXPECT_EQ(tltest::readFile(path).substr(18, 2), std::string("\x01\x01"));
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == before);
  EXPECT_EQ(tltest::whatLiesAt(path + ".damaged-shm"), "none");
  // A failed copy is no crash: nothing is left to carry again.
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), "none");
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry"), "none");
  std::vector<std::string> lines;
  for (const auto& line : log.lines()) lines.push_back(line.message);
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Store " + path + " is damaged (header: write version " +
                       std::to_string(c.write) + ", read version " + std::to_string(c.read) +
                       "); it is set aside as " + path + ".damaged and " + c.made});
}

INSTANTIATE_TEST_SUITE_P(
    Headers, DatabaseHeaderVersionTest,
    ::testing::Values(
        HeaderCase{"PageStoreWriteVersion255WithTheLogsReadVersion", "BundleData.db", "b1", "TL",
                   255, 2, 0, "a new store is made with the 3 rows it still reads"},
        HeaderCase{"DecoderStoreReadVersion0InAFolderNamedLikeAnAddress", "audiodecoder.db",
                   "audiodecoder", "a%41?b=c#d'", 1, 0, 0,
                   "a new store is made with the 3 rows it still reads"},
        // The new store's three pages fit; the copy's do not.
        HeaderCase{"DiskFullWhileCopying", "audiodecoder.db", "audiodecoder", "TL", 3, 1, 3 * 4096,
                   "a new, empty store is made; carrying its rows over failed: database or disk "
                   "is full"}),
    [](const auto& info) { return std::string(info.param.name); });

// Something that is no regular file lies where the carried rows meet it:
// at a name they are copied under (SQLite would delete a pipe at the copy's
// journal, and a folder at the copy would fail it), or, when the store's
// name is a link to a store elsewhere, at the link's own companion name,
// where the new store goes. It is moved aside first and every row is
// carried; a link is kept as a link and its target is left alone.
struct CarryObstacleCase {
  const char* name;
  bool link;           // the store's name is a link to a store elsewhere
  const char* suffix;  // of the entry's name, after the store's path
  const ObstacleCase* entry;
};

void PrintTo(const CarryObstacleCase& c, std::ostream* os) { *os << c.name; }

class DatabaseCarryObstacleTest : public ::testing::TestWithParam<CarryObstacleCase> {};

TEST_P(DatabaseCarryObstacleTest, IsMovedAsideAndEveryRowIsCarried) {
  const CarryObstacleCase& c = GetParam();
  tltest::TempDir dir;
  std::filesystem::create_directory(dir.file("TL"));
  const std::string path = dir.file("TL/audiodecoder.db");
  const std::string target = c.link ? dir.file("elsewhere.db") : path;
  writeWriteVersion3Store(target, 200);
  const std::string before = tltest::readFile(target);
  if (c.link) std::filesystem::create_symlink(target, path);
  const std::string at = path + c.suffix;
  c.entry->place(at);

  tltest::LogCapture log;
  std::unique_ptr<Database> store = openDespitePipes(path, {at});
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->listKeys().size(), 200u);
  EXPECT_EQ(store->select<std::string>("flag200"), hundredDigits(200));
  EXPECT_EQ(tltest::whatLiesAt(at + ".obstacle"), liesAt(*c.entry, at));
  // Through the link, its target.
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == before);
  EXPECT_EQ(std::filesystem::is_symlink(path + ".damaged"), c.link);
  std::vector<std::string> lines;
  for (const auto& line : log.lines()) lines.push_back(line.sender + ": " + line.message);
  const std::string moved = "Database: Store " + path + ": " + c.entry->kind + " at " + at +
                            " is in the way; it is moved to " + at + ".obstacle";
  const std::string carried = "Opener: Store " + path +
                              " is damaged (header: write version 3, read version 1); it is set "
                              "aside as " +
                              path +
                              ".damaged and a new store is made with the 200 rows it still reads";
  EXPECT_EQ(lines, (std::vector<std::string>{moved, carried}));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, DatabaseCarryObstacleTest,
    ::testing::Values(
        CarryObstacleCase{"PipeBesideTheLink", true, "-journal", &kJournalObstacles[0]},
        CarryObstacleCase{"FolderBesideTheLink", true, "-journal", &kJournalObstacles[1]},
        CarryObstacleCase{"LinkToNothingBesideTheLink", true, "-journal", &kJournalObstacles[2]},
        CarryObstacleCase{"PipeAtTheCopysJournal", false, ".carry-journal", &kJournalObstacles[0]},
        CarryObstacleCase{"FolderAtTheCopy", false, ".carry", &kJournalObstacles[1]}),
    [](const auto& info) { return std::string(info.param.name); });

// A start that is killed while a damaged store's rows are carried over: the
// child process of the test ends itself (_exit) inside one of SQLite's
// system calls, or once the rename that sets the store aside took effect,
// and the next start carries every row again from the kept copy, which
// stays as it was.
struct KillCase {
  const char* name;
  const char* calls[2];  // SQLite's system calls that `end` takes the place of
  sqlite3_syscall_ptr end;
  const char* renamedTo;  // or: the suffix of the name whose rename ends it
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

// pwrite: ends the process once it has written a page past the fourth of a
// file, that is part of the copy.
ssize_t endAfterPartOfTheCopy(int fd, const void* data, size_t size, off_t offset) {
  const ssize_t written = ::pwrite(fd, data, size, offset);
  if (offset >= 4 * 4096) ::_exit(0);
  return written;
}

// open: ends the process as the kept copy is opened to be copied, after the
// file is set aside and before the copy is made.
int endAtTheKeptCopy(const char* name, int flags, int mode) {
  const std::string_view at(name);
  if (at.size() > 8 && at.substr(at.size() - 8) == ".damaged") ::_exit(0);
  return ::open(name, flags, mode);
}

class DatabaseCarryKillTest : public ::testing::TestWithParam<KillCase> {};

TEST_P(DatabaseCarryKillTest, NextStartCarriesEveryRow) {
  const KillCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  writeWriteVersion3Store(path, 2000);
  const std::string before = tltest::readFile(path);
  Opener opener;
  const std::string renamedTo = path + (c.renamedTo != nullptr ? c.renamedTo : "");
  const std::string seen = tltest::inChild([&] {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    for (const char* call : c.calls) {
      if (call != nullptr) vfs->xSetSystemCall(vfs, call, c.end);
    }
    if (c.renamedTo != nullptr) endOnceRenamedTo = renamedTo.c_str();
    openSettingDamageAside(path, "audiodecoder", &opener);
    return std::string("the start was not ended");
  });
  ASSERT_EQ(seen, "");

  tltest::LogCapture log;
  auto store = openSettingDamageAside(path, "audiodecoder", &opener);
  EXPECT_EQ(store->listKeys().size(), 2000u);
  EXPECT_EQ(store->select<std::string>("flag2000"), hundredDigits(2000));
  EXPECT_TRUE(store->insert("flag2001", true));
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == before);
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry"), "none");
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), "none");
  std::vector<std::string> lines;
  for (const auto& line : log.lines()) lines.push_back(line.message);
  EXPECT_EQ(lines,
            std::vector<std::string>{
                "Store " + path +
                " is damaged (header: write version 3, read version 1, found by an earlier "
                "start that ended before its rows were carried over); it is set aside as " +
                path + ".damaged and a new store is made with the 2000 rows it still reads"});
}

INSTANTIATE_TEST_SUITE_P(
    Moments, DatabaseCarryKillTest,
    ::testing::Values(KillCase{"AfterPartOfTheCopyIsWritten",
                               {"pwrite", "pwrite64"},
                               reinterpret_cast<sqlite3_syscall_ptr>(endAfterPartOfTheCopy),
                               nullptr},
                      KillCase{"AfterTheSetAsideBeforeTheCopy",
                               {"open", nullptr},
                               reinterpret_cast<sqlite3_syscall_ptr>(endAtTheKeptCopy),
                               nullptr},
                      // Before anything that follows the set-aside, so only
                      // a record written before it tells the next start.
                      KillCase{
                          "AsTheSetAsideTakesEffect", {nullptr, nullptr}, nullptr, ".damaged"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two processes start on one data folder at once while a damaged store's
// rows are to be carried: the second start comes in at the first's set-aside
// (TurnTaking), and each goes on at the other's word. Neither start loses a
// row, nor does a third that comes after them.
TEST(DatabaseTwoStartsTest, StartsOfTwoProcessesAtOnceCarryEveryRow) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  writeWriteVersion3Store(path, 200);
  int words[2], told[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, words), 0);
  ASSERT_EQ(::pipe(told), 0);
  Opener opener;
  const auto rowsOfAStart = [&] {
    try {
      const auto store = openSettingDamageAside(path, "audiodecoder", &opener);
      return std::to_string(store->listKeys().size());
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  };
  const pid_t second = ::fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    TurnTaking mine{words[1], path};
    // It starts once the first stops at its first rename.
    std::string seen = "never started";
    if (mine.hear() == 'T') {
      turns = &mine;
      seen = rowsOfAStart();
      turns = nullptr;
    }
    mine.say('F');
    if (mine.unanswered) seen += ", a wait ran out";
    const ssize_t sent = ::write(told[1], seen.data(), seen.size());
    ::_exit(sent == static_cast<ssize_t>(seen.size()) ? 0 : 1);
  }
  // Made after the fork, whose child has no thread but its own.
  const tltest::HangGuard guard("two starts of one store", std::chrono::seconds(20));
  for (int fd : {words[1], told[1]}) ::close(fd);
  TurnTaking mine{words[0], path};
  turns = &mine;
  const std::string firstSaw = rowsOfAStart();
  turns = nullptr;
  mine.say('F');
  std::string secondSaw;
  char buffer[256];
  for (ssize_t n; (n = ::read(told[0], buffer, sizeof buffer)) > 0;) secondSaw.append(buffer, n);
  int status = 0;
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  for (int fd : {words[0], told[0]}) ::close(fd);

  EXPECT_EQ(firstSaw, "200");
  EXPECT_EQ(secondSaw, "200");
  EXPECT_FALSE(mine.unanswered);
  EXPECT_EQ(tltest::inChild(rowsOfAStart), "200");
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), "none");
}

// While another process holds the store's lock (here the test, on an open
// file description of its own), an opening waits no longer than the bound
// and fails with code 5, having checked, moved and made nothing.
struct BusyCase {
  const char* name;
  bool damagedStore;  // a store whose write version is 3 lies at the path
  void (*open)(const std::string& path);
};

void PrintTo(const BusyCase& c, std::ostream* os) { *os << c.name; }

class DatabaseStoreLockBusyTest : public ::testing::TestWithParam<BusyCase> {};

TEST_P(DatabaseStoreLockBusyTest, FailsWithCode5AndTouchesNothing) {
  const BusyCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  if (c.damagedStore) writeWriteVersion3Store(path, 3);
  const std::string before = tltest::whatLiesAt(path);
  {
    const int held = ::open((path + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    tembrolexinsdk::DB::storefiles::setLockWait(std::chrono::milliseconds(20));
    try {
      c.open(path);
      ADD_FAILURE() << "opened";
    } catch (const OpenError& e) {
      EXPECT_EQ(e.code(), 5);
      EXPECT_EQ(e.reason(), "another process is checking or mending the store; " + path +
                                ".lock was still locked after 20 ms");
    }
    tembrolexinsdk::DB::storefiles::setLockWait(std::chrono::seconds(10));
    ::close(held);
  }
  EXPECT_EQ(tltest::whatLiesAt(path), before);
  EXPECT_EQ(tltest::whatLiesAt(path + ".damaged"), "none");
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), "none");
  // Once it is released, the next start goes on as ever.
  Opener opener;
  EXPECT_EQ(openSettingDamageAside(path, "audiodecoder", &opener)->listKeys().size(),
            c.damagedStore ? 3u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Openings, DatabaseStoreLockBusyTest,
    ::testing::Values(BusyCase{"OpenerOfADamagedStore", true,
                               [](const std::string& path) {
                                 Opener opener;
                                 openSettingDamageAside(path, "audiodecoder", &opener);
                               }},
                      BusyCase{"OpeningThatWouldMakeTheStore", false,
                               [](const std::string& path) { Database(path, "audiodecoder"); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A record of a carry that is not to be resumed: the crash came after the
// copy took the store's name, or the record names no copy the opener
// keeps. It is removed; nothing is carried and nothing is logged.
struct StaleRecordCase {
  const char* name;
  bool store;          // a sound store with the row "k" lies at the path
  const char* record;  // "<dir>" stands for the test's folder
};

void PrintTo(const StaleRecordCase& c, std::ostream* os) { *os << c.name; }

class DatabaseStaleCarryRecordTest : public ::testing::TestWithParam<StaleRecordCase> {};

TEST_P(DatabaseStaleCarryRecordTest, IsRemovedAndNothingIsCarried) {
  const StaleRecordCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("TL/audiodecoder.db");
  std::filesystem::create_directory(dir.file("TL"));
  if (c.store) Database(path, "audiodecoder").insert<std::string>("k", "v");
  writeWriteVersion3Store(path + ".damaged", 3);
  writeWriteVersion3Store(dir.file("elsewhere.db"), 3);
  std::string record = c.record;
  if (const size_t at = record.find("<dir>"); at != std::string::npos) {
    record.replace(at, 5, dir.path());
  }
  tltest::writeFile(path + ".carry-due", record);

  tltest::LogCapture log;
  Opener opener;
  auto store = openSettingDamageAside(path, "audiodecoder", &opener);
  EXPECT_EQ(store->listKeys(),
            c.store ? std::vector<std::string>{"k"} : std::vector<std::string>{});
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), "none");
  EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Records, DatabaseStaleCarryRecordTest,
    ::testing::Values(StaleRecordCase{"BesideTheStore", true, "audiodecoder.db.damaged\nheader\n"},
                      StaleRecordCase{"NamingAFileElsewhere", false, "../elsewhere.db\nheader\n"},
                      StaleRecordCase{"NamingAPathElsewhere", false,
                                      "<dir>/elsewhere.db\nheader\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A record of a carry due while nothing lies at the store's name, whose
// kept copy is gone or no regular file: a pipe there, or one that a link
// there leads to, would hold every start for ever. Nothing is read from it,
// nothing at its name is touched, the record is removed and the new store
// starts empty.
struct UnreadableCopyCase {
  const char* name;
  void (*place)(const std::string& kept, const std::string& elsewhere);
  const char* lies;  // how the Warning names it; "<elsewhere>" as below
};

void PrintTo(const UnreadableCopyCase& c, std::ostream* os) { *os << c.name; }

class DatabaseUnreadableKeptCopyTest : public ::testing::TestWithParam<UnreadableCopyCase> {};

TEST_P(DatabaseUnreadableKeptCopyTest, NothingIsCarriedAndTheStoreOpens) {
  const UnreadableCopyCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  const std::string kept = path + ".damaged";
  const std::string elsewhere = dir.file("elsewhere.pipe");
  c.place(kept, elsewhere);
  const std::string before = tltest::whatLiesAt(kept);
  const std::string beforeElsewhere = tltest::whatLiesAt(elsewhere);
  tltest::writeFile(path + ".carry-due",
                    "audiodecoder.db.damaged\nheader: write version 3, read version 1\n");

  tltest::LogCapture log;
  std::unique_ptr<Database> store = openDespitePipes(path, {kept, elsewhere});
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->listKeys().empty());
  EXPECT_TRUE(store->insert<std::string>("k", "v"));
  EXPECT_EQ(tltest::whatLiesAt(kept), before);
  EXPECT_EQ(tltest::whatLiesAt(elsewhere), beforeElsewhere);
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), "none");
  std::string lies = c.lies;
  constexpr std::string_view kElsewhere = "<elsewhere>";
  if (const size_t at = lies.find(kElsewhere); at != std::string::npos) {
    lies.replace(at, kElsewhere.size(), elsewhere);
  }
  std::vector<std::string> lines;
  for (const auto& line : log.lines()) lines.push_back(line.message);
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Store " + path +
                       " is damaged (header: write version 3, read version 1, found by an "
                       "earlier start that ended before its rows were carried over); the kept "
                       "copy " +
                       kept + " named by its carry record is " + lies +
                       ", so nothing is carried and a new, empty store is made"});
}

INSTANTIATE_TEST_SUITE_P(
    Copies, DatabaseUnreadableKeptCopyTest,
    ::testing::Values(UnreadableCopyCase{"Gone", [](const std::string&, const std::string&) {},
                                         "gone"},
                      UnreadableCopyCase{"NamedPipe",
                                         [](const std::string& kept, const std::string&) {
                                           ASSERT_EQ(::mkfifo(kept.c_str(), 0600), 0);
                                         },
                                         "a named pipe"},
                      // Past the system's bound of 40 links, SQLite would
                      // follow it; the rows stay in the kept copy.
                      UnreadableCopyCase{"ChainOf41Links",
                                         [](const std::string& kept, const std::string& elsewhere) {
                                           writeWriteVersion3Store(elsewhere + ".40", 3);
                                           std::filesystem::create_symlink(elsewhere, kept);
                                           for (int n = 0; n < 40; ++n) {
                                             std::filesystem::create_symlink(
                                                 elsewhere + "." + std::to_string(n + 1),
                                                 n == 0 ? elsewhere
                                                        : elsewhere + "." + std::to_string(n));
                                           }
                                         },
                                         "a link to <elsewhere>, which cannot be followed (Too "
                                         "many levels of symbolic links)"},
                      UnreadableCopyCase{"LinkToANamedPipeElsewhere",
                                         [](const std::string& kept, const std::string& elsewhere) {
                                           ASSERT_EQ(::mkfifo(elsewhere.c_str(), 0600), 0);
                                           std::filesystem::create_symlink(elsewhere, kept);
                                         },
                                         "a link to <elsewhere>, which leads to a named pipe"}),
    [](const auto& info) { return std::string(info.param.name); });

// Damage that SQLite's check does not see (a key index entry that names a
// row that is not there) and that a read meets. The file is set aside at
// once when no other store has it open, else at the next start; either way
// the completion flag stores and reads again by then.
struct DamageMetCase {
  const char* name;
  const char* file;
  const char* table;
  bool heldByAnother;  // a store of another table has the file open
  bool folderAtMark;   // a folder lies at the mark's name
};

void PrintTo(const DamageMetCase& c, std::ostream* os) { *os << c.name; }

class DatabaseDamageMetTest : public ::testing::TestWithParam<DamageMetCase> {};

TEST_P(DatabaseDamageMetTest, SetsTheFileAsideByTheNextStart) {
  const DamageMetCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file(c.file);
  tltest::writeIndexWithoutItsRowStore(path, c.table);
  if (c.folderAtMark) tltest::writeFile(path + ".damage-found/x", "x");
  ASSERT_EQ(Database::findDamage(Database::lockFileAt(path), path), "");
  std::unique_ptr<Database> other;
  if (c.heldByAnother) other = std::make_unique<Database>(path, "other");
  const std::string before = tltest::readFile(path);
  const std::string damaged = "Store " + path + " is damaged (database disk image is malformed, ";
  const std::string setAside =
      "it is set aside as " + path + ".damaged and a new, empty store is made";

  tltest::LogCapture log;
  {
    Database store(path, c.table);
    EXPECT_TRUE(store.select<bool>("flag2"));
    // The read that meets the damage answers as before.
    EXPECT_THROW(store.select<bool>("flag3"), std::runtime_error);
    auto lock = store.lockFile();
    store.remove(lock, "flag3");
    EXPECT_EQ(store.insert(lock, "flag3", true), !c.heldByAnother);
    EXPECT_EQ(store.exists(lock, "flag2"), c.heldByAnother);
  }
  other.reset();
  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    if (line.level == 3) warnings.push_back(line.sender + ": " + line.message);
  }
  EXPECT_EQ(warnings, std::vector<std::string>{
                          "Database: " + damaged + "code 11); " +
                          (c.heldByAnother ? "another store of this run has it open, so it is "
                                             "set aside at the next start"
                                           : setAside) +
                          (c.folderAtMark ? "; a folder at " + path +
                                                ".damage-found is in the way; it is moved to " +
                                                path + ".damage-found.1"
                                          : "")});
  EXPECT_EQ(tltest::whatLiesAt(path + ".damage-found"),
            c.heldByAnother ? "database disk image is malformed, code 11\n" : "none");

  // The next start: its check passes the file.
  Opener opener;
  auto store = openSettingDamageAside(path, c.table, &opener);
  EXPECT_TRUE(tltest::whatLiesAt(path + ".damaged") == before);
  EXPECT_EQ(tltest::whatLiesAt(path + ".damage-found"), "none");
  EXPECT_EQ(tltest::whatLiesAt(path + ".damage-found.1/x"), c.folderAtMark ? "x" : "none");
  store->remove("flag3");
  EXPECT_TRUE(store->insert("flag3", true));
  EXPECT_TRUE(store->select<bool>("flag3"));
  EXPECT_EQ(log.matching("is damaged").size(), c.heldByAnother ? 2u : 1u);
  if (c.heldByAnother) {
    EXPECT_EQ(log.matching("is damaged").back().message,
              damaged + "code 11, met by an earlier read or write); " + setAside);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, DatabaseDamageMetTest,
                         ::testing::Values(DamageMetCase{"DecoderStoreAlone", "audiodecoder.db",
                                                         "audiodecoder", false, false},
                                           DamageMetCase{"PageStoreHeldByAnotherBundle",
                                                         "BundleData.db", "b1", true, false},
                                           DamageMetCase{"FolderAtTheMarkIsMovedAside",
                                                         "BundleData.db", "b1", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Where a read met damage and the new file cannot be made, the store says
// so and makes it at a later operation, once there is room.
TEST(DatabaseDamageMetTest, NewFileThatCannotBeMadeIsMadeByALaterOperation) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  tltest::writeIndexWithoutItsRowStore(path, "audiodecoder");
  Database store(path, "audiodecoder");
  tltest::LogCapture log;
  {
    FullDisk full;
    EXPECT_THROW(store.select<bool>("flag3"), std::runtime_error);
    EXPECT_FALSE(store.insert("flag3", true));
  }
  EXPECT_TRUE(store.insert("flag3", true));
  EXPECT_TRUE(store.select<bool>("flag3"));
  const auto damaged = log.matching("is damaged");
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(damaged[0].message, "Store " + path +
                                    " is damaged (database disk image is malformed, code 11); it "
                                    "is set aside as " +
                                    path +
                                    ".damaged, but a new store could not be made: database or "
                                    "disk is full");
}

// Threads that find one damaged file at once: it is set aside once, and
// every thread gets a store on the new file.
TEST(DatabaseRecoveryThreadsTest, ThreadsThatMeetOneDamagedFileSetItAsideOnce) {
  constexpr int kRounds = 10;
  constexpr int kThreads = 6;
  tltest::TempDir dir;
  Opener opener;
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = dir.file("BundleData" + std::to_string(round) + ".db");
    tltest::writeGarbageStore(path);
    tltest::LogCapture log;
    std::vector<std::unique_ptr<Database>> stores(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        try {
          stores[i] = openSettingDamageAside(path, "b" + std::to_string(i), &opener);
        } catch (const std::exception& e) {
          ADD_FAILURE() << "round " << round << ": " << e.what();
        }
      });
    }
    for (auto& t : threads) t.join();
    for (auto& store : stores) {
      ASSERT_TRUE(store);
      EXPECT_TRUE(store->insert<std::string>("k", "v"));
    }
    EXPECT_EQ(log.matching("is damaged").size(), 1u) << "round " << round;
  }
}

}  // namespace
