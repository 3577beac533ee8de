// The store's lock across processes as starts meet it: forks made while it
// is held, starts that check one store side by side, a lock file that this
// user may not open, and the starts that cannot have the lock at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "core/runtime/database.h"
#include "core/runtime/database_recovery.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/store_files.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/child_process.h"
#include "tests/support/damaged_store.h"
#include "tests/support/hang_guard.h"
#include "tests/support/temp_dir.h"

namespace {

using tembrolexinsdk::INamedObject;
using tembrolexinsdk::DB::Database;
using tembrolexinsdk::DB::OpenError;
using tembrolexinsdk::DB::OpeningStep;
using tembrolexinsdk::DB::openSettingDamageAside;
using tembrolexinsdk::DB::setOpeningSeam;
using tembrolexinsdk::DB::storefiles::setLockWait;
using tembrolexinsdk::DB::storefiles::StoreLock;

class Opener : public INamedObject {
 public:
  const std::string& GetName() const override { return name_; }

 private:
  const std::string name_ = "Opener";
};

// The number of rows a start's store of `path` holds, or why it failed.
std::string rowsOfAStart(const std::string& path) {
  Opener opener;
  try {
    return std::to_string(openSettingDamageAside(path, "audiodecoder", &opener)->listKeys().size());
  } catch (const OpenError& e) {
    return "code " + std::to_string(e.code()) + ": " + e.reason();
  }
}

// Whether another process gets the store's lock exclusively at once.
std::string lockOfAnotherProcess(const std::string& path) {
  return tltest::inChild([&] {
    setLockWait(std::chrono::milliseconds(0));
    const StoreLock held(path, StoreLock::Mode::kExclusive);
    return std::string(held.state() == StoreLock::State::kHeld ? "held" : "busy");
  });
}

// Sets the lock's wait for a test's length.
class LockWait {
 public:
  explicit LockWait(std::chrono::milliseconds wait) { setLockWait(wait); }
  ~LockWait() { setLockWait(std::chrono::seconds(10)); }
};

// ---- a child forked while the lock is held ----------------------------------------------

// The step at which the seam below forks, and the child it forked, which
// waits until its pipe is closed.
OpeningStep forkAt;
StoreLock::Mode forkMode;
pid_t forked = -1;
int childWaits[2] = {-1, -1};

void forkAtTheStep(OpeningStep step, StoreLock::Mode mode) {
  if (forked >= 0 || step != forkAt || mode != forkMode) return;
  forked = ::fork();
  if (forked == 0) {
    ::close(childWaits[1]);
    char byte;
    while (::read(childWaits[0], &byte, 1) != 0) {
    }
    ::_exit(0);
  }
}

struct ForkCase {
  const char* name;
  bool damaged;  // a store whose write version is 3, whose rows are carried
  OpeningStep step;
  StoreLock::Mode mode;
};

void PrintTo(const ForkCase& c, std::ostream* os) { *os << c.name; }

class StoreLockForkTest : public ::testing::TestWithParam<ForkCase> {};

// A process forks a child (no exec) inside a start's held step; the child
// lives on. The hold ends with the step all the same: the parent's next
// opening, and another process's start, have the lock at once.
TEST_P(StoreLockForkTest, AChildForkedInsideTheHeldStepKeepsNoLock) {
  const ForkCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  if (c.damaged) {
    tltest::writeWriteVersion3Store(path, 3);
  } else {
    Database store(path, "audiodecoder");
    for (const char* key : {"a", "b", "c"}) store.insert<std::string>(key, "v");
  }
  ASSERT_EQ(::pipe2(childWaits, O_CLOEXEC), 0);
  forkAt = c.step;
  forkMode = c.mode;
  forked = -1;
  setOpeningSeam(forkAtTheStep);
  const std::string firstSaw = rowsOfAStart(path);
  setOpeningSeam(nullptr);
  ASSERT_GT(forked, 0);
  std::string nextSaw;
  std::string anotherSaw;
  {
    const LockWait wait(std::chrono::milliseconds(50));
    try {
      nextSaw = std::to_string(Database(path, "audiodecoder").listKeys().size());
    } catch (const OpenError& e) {
      nextSaw = e.reason();
    }
    anotherSaw = lockOfAnotherProcess(path);
  }
  ::close(childWaits[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(forked, &status, 0), forked);
  ::close(childWaits[0]);

  EXPECT_EQ(firstSaw, "3");
  EXPECT_EQ(nextSaw, "3");
  EXPECT_EQ(anotherSaw, "held");
}

INSTANTIATE_TEST_SUITE_P(Steps, StoreLockForkTest,
                         ::testing::Values(ForkCase{"CheckOfASoundStore", false,
                                                    OpeningStep::kCheck, StoreLock::Mode::kShared},
                                           ForkCase{"CarryOfADamagedStore", true,
                                                    OpeningStep::kMend,
                                                    StoreLock::Mode::kExclusive}),
                         [](const auto& info) { return std::string(info.param.name); });

// A child that ends its copy of a hold (as it would leaving the held step
// on its way out) leaves the parent's hold as it is.
TEST(StoreLockForkTest, AChildThatEndsItsCopyOfTheHoldLeavesTheParentsHold) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  std::optional<StoreLock> held;
  held.emplace(path, StoreLock::Mode::kExclusive);
  ASSERT_EQ(held->state(), StoreLock::State::kHeld);
  const pid_t child = ::fork();
  if (child == 0) {
    held.reset();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(lockOfAnotherProcess(path), "busy");
  held.reset();
  EXPECT_EQ(lockOfAnotherProcess(path), "held");
}

// ---- checks side by side -----------------------------------------------------------------

// The child's seam stops at its check of the store, tells the parent ('C'),
// and goes on at the parent's word.
int toParent = -1;
int fromParent = -1;

void holdAtTheCheck(OpeningStep step, StoreLock::Mode) {
  if (step != OpeningStep::kCheck) return;
  const char stopped = 'C';
  if (::write(toParent, &stopped, 1) != 1) return;
  char word;
  (void)::read(fromParent, &word, 1);
}

// The steps of the parent's start, as "<step> <mode>; ".
std::string stepsSeen;

void recordTheSteps(OpeningStep step, StoreLock::Mode mode) {
  stepsSeen += step == OpeningStep::kCheck ? "check " : "mend ";
  stepsSeen += mode == StoreLock::Mode::kShared ? "shared; " : "exclusive; ";
}

// Two processes start on one sound store at once: while the first is held
// inside its check, the second checks the store and opens it.
TEST(StoreLockSideBySideTest, ASecondStartChecksWhileTheFirstIsHeldInItsCheck) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  {
    Database store(path, "audiodecoder");
    for (int i = 0; i < 50; ++i) store.insert<std::string>("flag" + std::to_string(i), "1");
  }
  int up[2], down[2];
  ASSERT_EQ(::pipe2(up, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(down, O_CLOEXEC), 0);
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    ::close(up[0]);
    ::close(down[1]);
    toParent = up[1];
    fromParent = down[0];
    setOpeningSeam(holdAtTheCheck);
    const std::string seen = rowsOfAStart(path);
    const ssize_t sent = ::write(up[1], seen.data(), seen.size());
    ::_exit(sent == static_cast<ssize_t>(seen.size()) ? 0 : 1);
  }
  // Made after the fork, whose child has no thread but its own.
  const tltest::HangGuard guard("two starts checking one store", std::chrono::seconds(20));
  ::close(up[1]);
  ::close(down[0]);
  char stopped = 0;
  ASSERT_EQ(::read(up[0], &stopped, 1), 1);
  ASSERT_EQ(stopped, 'C');

  std::string secondSaw;
  {
    const LockWait wait(std::chrono::milliseconds(100));
    stepsSeen.clear();
    setOpeningSeam(recordTheSteps);
    secondSaw = rowsOfAStart(path);
    setOpeningSeam(nullptr);
  }
  ::close(down[1]);  // the first goes on
  std::string firstSaw;
  char buffer[256];
  for (ssize_t n; (n = ::read(up[0], buffer, sizeof buffer)) > 0;) firstSaw.append(buffer, n);
  ::close(up[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(first, &status, 0), first);

  EXPECT_EQ(secondSaw, "50");
  EXPECT_EQ(stepsSeen, "check shared; ");
  EXPECT_EQ(firstSaw, "50");
}

// ---- lock files that cannot be opened, and no lock at all ------------------------------

// A lock file in a mode that does not let its user open it. The child that
// takes the lock acts as another user when the test runs as root, whom no
// mode stops.
struct UnopenableCase {
  const char* name;
  mode_t mode;
  bool othersFile;   // the file is another user's than the start's
  const char* seen;  // "<state>; <mended()>; <failed()>", "<file>" for the file
  mode_t after;
};

void PrintTo(const UnopenableCase& c, std::ostream* os) { *os << c.name; }

class StoreLockUnopenableFileTest : public ::testing::TestWithParam<UnopenableCase> {};

TEST_P(StoreLockUnopenableFileTest, OwnFileGetsItsModeBackAndAnothersStaysAsItIs) {
  const UnopenableCase& c = GetParam();
  if (c.othersFile && !tltest::runsAsRoot()) GTEST_SKIP() << "needs root to act as another user";
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  const std::string file = path + ".lock";
  tltest::writeFile(file, "");
  ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
  tltest::giveToChildUser(dir.path());
  if (!c.othersFile) tltest::giveToChildUser(file);
  struct stat before;
  ASSERT_EQ(::lstat(file.c_str(), &before), 0);

  const std::string seen = tltest::inChild([&] {
    if (std::string failed = tltest::actAsOtherUser(); !failed.empty()) return failed;
    const StoreLock held(path, StoreLock::Mode::kExclusive);
    const char* state = held.state() == StoreLock::State::kHeld          ? "held"
                        : held.state() == StoreLock::State::kUnavailable ? "unavailable"
                                                                         : "other";
    return std::string(state) + "; " + held.mended() + "; " + held.failed();
  });

  std::string expected = c.seen;
  if (const size_t at = expected.find("<file>"); at != std::string::npos) {
    expected.replace(at, 6, file);
  }
  EXPECT_EQ(seen, expected);
  struct stat after;
  ASSERT_EQ(::lstat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, StoreLockUnopenableFileTest,
    ::testing::Values(
        UnopenableCase{"OwnFileOfModeZero", 0000, false,
                       "held; <file> could not be opened (Permission denied); its mode 0000 is "
                       "now 0600; ",
                       0600},
        UnopenableCase{"OwnFileOnlyOthersMayRead", 0044, false,
                       "held; <file> could not be opened (Permission denied); its mode 0044 is "
                       "now 0644; ",
                       0644},
        UnopenableCase{"AnotherUsersFileOfModeZero", 0000, true, "unavailable; ; Permission denied",
                       0000}),
    [](const auto& info) { return std::string(info.param.name); });

// A start that cannot have the store's lock finds a carry record and no
// store: another process's start is carrying the rows right now (here the
// test holds the record's lock for it, its copy half written). The start
// leaves the carry alone and fails with code 5.
struct NoLockCase {
  const char* name;
  bool othersLockFile;  // else the folder is read-only
};

void PrintTo(const NoLockCase& c, std::ostream* os) { *os << c.name; }

class StoreLockUnavailableTest : public ::testing::TestWithParam<NoLockCase> {};

TEST_P(StoreLockUnavailableTest, CarryUnderWayInAnotherProcessIsLeftAlone) {
  const NoLockCase& c = GetParam();
  if (c.othersLockFile && !tltest::runsAsRoot()) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  tltest::writeWriteVersion3Store(path + ".damaged", 3);
  tltest::writeFile(path + ".carry-due",
                    "audiodecoder.db.damaged\nheader: write version 3, read version 1\n");
  tltest::writeFile(path + ".carry", "half a copy");
  for (const char* name : {"", ".damaged", ".carry-due", ".carry"}) {
    tltest::giveToChildUser(path + name);
  }
  tltest::giveToChildUser(dir.path());
  if (c.othersLockFile) {
    tltest::writeFile(path + ".lock", "");
    ASSERT_EQ(::chmod((path + ".lock").c_str(), 0000), 0);
  } else {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  }
  const std::string kept = tltest::readFile(path + ".damaged");
  const int record = ::open((path + ".carry-due").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(record, LOCK_EX), 0);
  ASSERT_TRUE(tltest::ChildLog::beforeFork());

  const std::string seen = tltest::inChild([&] {
    tltest::ChildLog log;
    if (std::string failed = tltest::actAsOtherUser(); !failed.empty()) return failed;
    setLockWait(std::chrono::milliseconds(50));
    const std::string rows = rowsOfAStart(path);
    return rows + "\n" + log.warnings();
  });
  ::close(record);
  ::chmod(dir.path().c_str(), 0755);

  EXPECT_EQ(seen, "code 5: another process is checking or mending the store; " + path +
                      ".carry-due was still locked after 50 ms\nOpener: Store " + path +
                      ": locking " + path +
                      ".lock failed: Permission denied; it is opened without it\n");
  EXPECT_EQ(tltest::whatLiesAt(path), "none");
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == kept);
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry"), "half a copy");
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"),
            "audiodecoder.db.damaged\nheader: write version 3, read version 1\n");
}

INSTANTIATE_TEST_SUITE_P(Starts, StoreLockUnavailableTest,
                         ::testing::Values(NoLockCase{"AnotherUsersLockFile", true},
                                           NoLockCase{"ReadOnlyFolder", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A start in a read-only folder opens its store, and opens it again as the
// bundle stores do: the Warning that it goes on without the lock comes once.
TEST(StoreLockUnavailableTest, ReadOnlyFoldersWarningComesOnceInTheRun) {
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
  {
    Database store(path, "audiodecoder");
    store.insert<std::string>("flag1", "1");
  }
  // The opening made it; a start in a read-only folder finds none.
  ASSERT_EQ(::unlink((path + ".lock").c_str()), 0);
  tltest::giveToChildUser(path);
  tltest::giveToChildUser(dir.path());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  ASSERT_TRUE(tltest::ChildLog::beforeFork());

  const std::string seen = tltest::inChild([&] {
    tltest::ChildLog log;
    if (std::string failed = tltest::actAsOtherUser(); !failed.empty()) return failed;
    std::string rows = rowsOfAStart(path);
    rows += ", " + std::to_string(Database(path, "audiodecoder").listKeys().size());
    rows += ", " + rowsOfAStart(path);
    return rows + "\n" + log.warnings();
  });
  ::chmod(dir.path().c_str(), 0755);

  EXPECT_EQ(seen, "1, 1, 1\nOpener: Store " + path + ": locking " + path +
                      ".lock failed: Permission denied; it is opened without it\n");
}

}  // namespace
