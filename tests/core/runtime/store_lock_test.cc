// The store's lock across processes as starts meet it: forks made while it
// is held, starts that check one store side by side, a lock file that this
// user may not open, and the starts that cannot have the lock at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
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
using Mode = StoreLock::Mode;

struct Opener : INamedObject {
  const std::string& GetName() const override { return name; }
  const std::string name = "Opener";
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
    const StoreLock held(path, Mode::kExclusive);
    return std::string(held.state() == StoreLock::State::kHeld ? "held" : "busy");
  });
}

// What `body` returns in a child that acts as another user when the test
// runs as root, whom no mode stops; with `warnings`, then the Warnings it
// logged.
std::string asChildUser(bool warnings, const std::function<std::string()>& body) {
  if (warnings && !tltest::ChildLog::beforeFork()) return "lines still on their way at the fork";
  return tltest::inChild([&] {
    std::optional<tltest::ChildLog> log;
    if (warnings) log.emplace();
    if (std::string failed = tltest::actAsOtherUser(); !failed.empty()) return failed;
    const std::string seen = body();
    return log ? seen + "\n" + log->warnings() : seen;
  });
}

// A folder of the test's own and the store's path in it; the folder's mode,
// the lock's wait and the opening seam are set back at the end.
class InFolder : public ::testing::Test {
 protected:
  ~InFolder() override {
    ::chmod(dir.path().c_str(), 0755);
    setLockWait(std::chrono::seconds(10));
    setOpeningSeam(nullptr);
  }
  tltest::TempDir dir;
  const std::string path = dir.file("audiodecoder.db");
};

template <typename Case>
class InFolderWith : public InFolder, public ::testing::WithParamInterface<Case> {};

constexpr auto kByName = [](const auto& info) { return std::string(info.param.name); };

struct ForkCase {
  const char* name;
  bool damaged;  // a store whose write version is 3, whose rows are carried
  OpeningStep step;
  Mode mode;
};

void PrintTo(const ForkCase& c, std::ostream* os) { *os << c.name; }

// The case at whose step the test's seam forks, and the child it forked,
// which lives until it is killed.
const ForkCase* forkAt = nullptr;
pid_t forked = -1;

class StoreLockForkTest : public InFolderWith<ForkCase> {};

// A process forks a child (no exec) inside a start's held step; the child
// lives on. The hold ends with the step all the same: the parent's next
// opening, and another process's start, have the lock at once.
TEST_P(StoreLockForkTest, AChildForkedInsideTheHeldStepKeepsNoLock) {
  if (GetParam().damaged) {
    tltest::writeWriteVersion3Store(path, 3);
  } else {
    Database store(path, "audiodecoder");
    for (const char* key : {"a", "b", "c"}) store.insert<std::string>(key, "v");
  }
  forkAt = &GetParam();
  forked = -1;
  setOpeningSeam([](OpeningStep step, Mode mode) {
    if (forked >= 0 || step != forkAt->step || mode != forkAt->mode) return;
    if ((forked = ::fork()) == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) ::pause();
    }
  });
  EXPECT_EQ(rowsOfAStart(path), "3");
  ASSERT_GT(forked, 0);
  setLockWait(std::chrono::milliseconds(50));
  EXPECT_NO_THROW(EXPECT_EQ(Database(path, "audiodecoder").listKeys().size(), 3u));
  EXPECT_EQ(lockOfAnotherProcess(path), "held");
  ::kill(forked, SIGKILL);
  ASSERT_EQ(::waitpid(forked, nullptr, 0), forked);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StoreLockForkTest,
    ::testing::Values(ForkCase{"CheckOfASoundStore", false, OpeningStep::kCheck, Mode::kShared},
                      ForkCase{"CarryOfADamagedStore", true, OpeningStep::kMend, Mode::kExclusive}),
    kByName);

// A child that ends its copy of a hold (as it would leaving the held step
// on its way out) leaves the parent's hold as it is.
TEST_F(StoreLockForkTest, AChildThatEndsItsCopyOfTheHoldLeavesTheParentsHold) {
  std::optional<StoreLock> held(std::in_place, path, Mode::kExclusive);
  ASSERT_EQ(held->state(), StoreLock::State::kHeld);
  tltest::inChild([&] {
    held.reset();
    return std::string();
  });
  EXPECT_EQ(lockOfAnotherProcess(path), "busy");
  held.reset();
  EXPECT_EQ(lockOfAnotherProcess(path), "held");
}

std::string stepsSeen;  // of the parent's start, as "<step> <mode>; "

using StoreLockSideBySideTest = InFolder;

// Two processes start on one sound store at once: while the first is held
// (stopped) inside its check, the second checks the store and opens it.
TEST_F(StoreLockSideBySideTest, ASecondStartChecksWhileTheFirstIsHeldInItsCheck) {
  {
    Database store(path, "audiodecoder");
    for (int i = 0; i < 50; ++i) store.insert<std::string>("flag" + std::to_string(i), "1");
  }
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    setOpeningSeam([](OpeningStep step, Mode) {
      if (step == OpeningStep::kCheck) ::raise(SIGSTOP);
    });
    tltest::writeFile(dir.file("first saw"), rowsOfAStart(path));
    ::_exit(0);
  }
  // Made after the fork, whose child has no thread but its own.
  const tltest::HangGuard guard("two starts checking one store", std::chrono::seconds(20));
  int status = 0;
  ASSERT_EQ(::waitpid(first, &status, WUNTRACED), first);
  ASSERT_TRUE(WIFSTOPPED(status));
  setLockWait(std::chrono::milliseconds(100));
  stepsSeen.clear();
  setOpeningSeam([](OpeningStep step, Mode mode) {
    stepsSeen += step == OpeningStep::kCheck ? "check " : "mend ";
    stepsSeen += mode == Mode::kShared ? "shared; " : "exclusive; ";
  });
  EXPECT_EQ(rowsOfAStart(path), "50");
  ::kill(first, SIGCONT);  // the first goes on
  ASSERT_EQ(::waitpid(first, nullptr, 0), first);
  EXPECT_EQ(stepsSeen, "check shared; ");
  EXPECT_EQ(tltest::readFile(dir.file("first saw")), "50");
}

// A lock file in a mode that does not let its user open it, taken by a
// child acting as another user when the test runs as root.
struct UnopenableCase {
  const char* name;
  mode_t mode;
  bool othersFile;   // the file is another user's than the start's
  const char* seen;  // "<state>; <mended()>; <failed()>", "<file>" for the file
  mode_t after;
};

void PrintTo(const UnopenableCase& c, std::ostream* os) { *os << c.name; }

class StoreLockUnopenableFileTest : public InFolderWith<UnopenableCase> {};

TEST_P(StoreLockUnopenableFileTest, OwnFileGetsItsModeBackAndAnothersStaysAsItIs) {
  const UnopenableCase& c = GetParam();
  if (c.othersFile && !tltest::runsAsRoot()) GTEST_SKIP() << "needs root to act as another user";
  const std::string file = path + ".lock";
  tltest::writeFile(file, "");
  ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
  tltest::giveToChildUser(dir.path());
  if (!c.othersFile) tltest::giveToChildUser(file);
  struct stat before, after;
  ASSERT_EQ(::lstat(file.c_str(), &before), 0);

  const std::string seen = asChildUser(false, [&] {
    const StoreLock held(path, Mode::kExclusive);
    const char* state = held.state() == StoreLock::State::kHeld          ? "held"
                        : held.state() == StoreLock::State::kUnavailable ? "unavailable"
                                                                         : "other";
    return std::string(state) + "; " + held.mended() + "; " + held.failed();
  });
  std::string expected = c.seen;
  if (const auto at = expected.find("<file>"); at != std::string::npos) {
    expected.replace(at, 6, file);
  }
  EXPECT_EQ(seen, expected);
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
    kByName);

// A start that cannot have the store's lock finds a carry record and no
// store: another process's start is carrying the rows right now (here the
// test holds the record's lock for it, its copy half written). The start
// leaves the carry alone and fails with code 5.
struct NoLockCase {
  const char* name;
  bool othersLockFile;  // else the folder is read-only
};

void PrintTo(const NoLockCase& c, std::ostream* os) { *os << c.name; }

class StoreLockUnavailableTest : public InFolderWith<NoLockCase> {};

TEST_P(StoreLockUnavailableTest, CarryUnderWayInAnotherProcessIsLeftAlone) {
  const bool othersLockFile = GetParam().othersLockFile;
  if (othersLockFile && !tltest::runsAsRoot()) GTEST_SKIP() << "needs root to act as another user";
  const std::string due = "audiodecoder.db.damaged\nheader: write version 3, read version 1\n";
  tltest::writeWriteVersion3Store(path + ".damaged", 3);
  tltest::writeFile(path + ".carry-due", due);
  tltest::writeFile(path + ".carry", "half a copy");
  for (const char* name : {"", ".damaged", ".carry-due", ".carry"}) {
    tltest::giveToChildUser(path + name);
  }
  tltest::giveToChildUser(dir.path());
  if (othersLockFile) tltest::writeFile(path + ".lock", "");
  const std::string unopenable = othersLockFile ? path + ".lock" : dir.path();
  ASSERT_EQ(::chmod(unopenable.c_str(), othersLockFile ? 0000 : 0555), 0);
  const std::string kept = tltest::readFile(path + ".damaged");
  const int record = ::open((path + ".carry-due").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(record, LOCK_EX), 0);

  setLockWait(std::chrono::milliseconds(50));
  const std::string seen = asChildUser(true, [&] { return rowsOfAStart(path); });
  ::close(record);

  EXPECT_EQ(seen, "code 5: another process is checking or mending the store; " + path +
                      ".carry-due was still locked after 50 ms\nOpener: Store " + path +
                      ": locking " + path +
                      ".lock failed: Permission denied; it is opened without it\n");
  EXPECT_EQ(tltest::whatLiesAt(path), "none");
  EXPECT_TRUE(tltest::readFile(path + ".damaged") == kept);
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry"), "half a copy");
  EXPECT_EQ(tltest::whatLiesAt(path + ".carry-due"), due);
}

INSTANTIATE_TEST_SUITE_P(Starts, StoreLockUnavailableTest,
                         ::testing::Values(NoLockCase{"AnotherUsersLockFile", true},
                                           NoLockCase{"ReadOnlyFolder", false}),
                         kByName);

// A start in a read-only folder opens its store, and opens it again as the
// bundle stores do: the Warning that it goes on without the lock comes once.
TEST_F(StoreLockUnavailableTest, ReadOnlyFoldersWarningComesOnceInTheRun) {
  Database(path, "audiodecoder").insert<std::string>("flag1", "1");
  // The opening made it; a start in a read-only folder finds none.
  ASSERT_EQ(::unlink((path + ".lock").c_str()), 0);
  tltest::giveToChildUser(path);
  tltest::giveToChildUser(dir.path());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);

  const std::string seen = asChildUser(true, [&] {
    std::string rows = rowsOfAStart(path);
    rows += ", " + std::to_string(Database(path, "audiodecoder").listKeys().size());
    return rows + ", " + rowsOfAStart(path);
  });
  EXPECT_EQ(seen, "1, 1, 1\nOpener: Store " + path + ": locking " + path +
                      ".lock failed: Permission denied; it is opened without it\n");
}

}  // namespace
