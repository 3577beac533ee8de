// In the test builds, a thread that holds a library lock where the library
// calls into the app (a line handed to the log's sink, the app-call gate's
// entry) ends the process, naming the place and where the lock was made;
// lines held until the lock is released pass. Built without the check, the
// cases are skipped.

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <shared_mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/app_call_gate.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

struct Lines : TLLoggerDelegate {
  void logfromSender(const std::string&, const TLLogParams& p) override {
    texts.push_back(p.message);
  }
  std::vector<std::string> texts;
};

// Calls into the app through `gate`: a line to an app's sink, or a call.
void logALine(AppCallGate& gate) {
  TLLogger logger(gate);
  logger.setDelegate(std::make_shared<Lines>());
  logger.logFromSender("s", {2, "x"});
}
void enterTheGate(AppCallGate& gate) { gate.run([] {}); }

struct HeldCase {
  const char* name;
  const char* where;
  std::function<void(AppCallGate&)> run;  // holds a lock as it calls the app
};

void PrintTo(const HeldCase& c, std::ostream* os) { *os << c.name; }

class LockCheckDeathTest : public testing::TestWithParam<HeldCase> {
 protected:
  void SetUp() override {
    if (!tembrolexin::lockcheck::kEnabled) GTEST_SKIP() << "built without the lock check";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

TEST_P(LockCheckDeathTest, AbortsNamingThePlaceAndTheLock) {
  AppCallGate gate;
  EXPECT_DEATH(GetParam().run(gate),
               std::string("Library lock held while calling into the app \\(") + GetParam().where +
                   "\\):\n  mutex made in .* \\(.*lock_check_test.cc:[0-9]+\\)");
}

INSTANTIATE_TEST_SUITE_P(
    Held, LockCheckDeathTest,
    testing::Values(
        HeldCase{"MutexAtALine", "TLLogger::deliver",
                 [](AppCallGate& gate) {
                   tembrolexin::Mutex m;
                   std::lock_guard lock(m);
                   logALine(gate);
                 }},
        HeldCase{"SharedMutexReadAtTheGate", "AppCallGate::Call",
                 [](AppCallGate& gate) {
                   tembrolexin::SharedMutex m;
                   std::shared_lock lock(m);
                   enterTheGate(gate);
                 }},
        // Taken twice, let go once: still held.
        HeldCase{"RecursiveMutexStillHeldAtTheGate", "AppCallGate::Call",
                 [](AppCallGate& gate) {
                   tembrolexin::RecursiveMutex m;
                   std::lock_guard outer(m);
                   { std::lock_guard inner(m); }
                   enterTheGate(gate);
                 }},
        // A wait lets the mutex go and takes it again.
        HeldCase{"MutexTakenBackAfterAWait", "TLLogger::deliver",
                 [](AppCallGate& gate) {
                   tembrolexin::Mutex m;
                   tembrolexin::CondVar cv;
                   std::unique_lock lock(m);
                   cv.wait_for(lock, 1ms);
                   logALine(gate);
                 }}),
    [](const testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.name); });

TEST(LockCheckTest, LinesHeldUntilTheLockIsReleasedReachTheSink) {
  AppCallGate gate;
  TLLogger logger(gate);
  auto lines = std::make_shared<Lines>();
  logger.setDelegate(lines);
  tembrolexin::Mutex m;
  {
    TLLogger::HeldLines held;
    std::lock_guard lock(m);
    logger.logFromSender("s", {2, "under the lock"});
  }
  std::unique_lock lock(m);
  lock.unlock();
  EXPECT_TRUE(gate.run([] {}));
  EXPECT_EQ(lines->texts, std::vector<std::string>{"under the lock"});
}

}  // namespace
}  // namespace tembrolexinplatform
