// The notification centre lets an observer that is removed end with no lock
// of its own held: what the app's observer captured may log (and the app's
// log delegate post), post, or remove another observer as it ends. Each
// test ends the process, failing, if its thread hangs.

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/runtime/notification_center.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/line_hook.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

constexpr const char* kOther = "other";

// What an app's observer captures: runs `onEnd` as it ends.
struct EndsWith {
  explicit EndsWith(std::function<void()> onEnd) : onEnd(std::move(onEnd)) {}
  ~EndsWith() { onEnd(); }
  std::function<void()> onEnd;
};

struct Row {
  const char* name;
  // What the removed observer's capture does as it ends, with the token of
  // an observer of kOther that counts its calls.
  std::function<void(NotificationCenter&, NotificationCenter::Token other)> asItEnds;
  // The calls that observer has had once one more kOther is posted.
  int otherCalls;
};

const Row kRows[] = {
    {"LogsAndTheLogDelegatePosts",
     [](NotificationCenter&, NotificationCenter::Token) {
       TLLogger::infoInMethod("app", __LINE__, "observer gone");
     },
     2},
    {"Posts",
     [](NotificationCenter& center, NotificationCenter::Token) {
       center.postNotification({kOther, {}, {}});
     },
     2},
    {"RemovesAnotherObserver",
     [](NotificationCenter& center, NotificationCenter::Token other) {
       center.removeObserver(other);
     },
     0},
};

class RemovedObserverTest : public testing::TestWithParam<Row> {};

TEST_P(RemovedObserverTest, EndsWithNoLockOfTheCentreHeld) {
  const Row& row = GetParam();
  tltest::HangGuard guard(std::string("a removed observer that, as it ends: ") + row.name);
  NotificationCenter center;
  int otherCalls = 0;
  const NotificationCenter::Token other =
      center.addObserver(kOther, [&](const Notification&) { ++otherCalls; });
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line == "observer gone") center.postNotification({kOther, {}, {}});
  }));
  auto captured =
      std::make_shared<EndsWith>([&center, other, &row] { row.asItEnds(center, other); });
  const NotificationCenter::Token removed =
      center.addObserver("mine", [captured = std::move(captured)](const Notification&) {});

  center.removeObserver(removed);
  TLLogger::sharedLogger().unsetDelegate();
  center.postNotification({kOther, {}, {}});
  EXPECT_EQ(otherCalls, row.otherCalls);
}

INSTANTIATE_TEST_SUITE_P(AsItEnds, RemovedObserverTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tembrolexinplatform
