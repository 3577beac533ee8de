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

using Token = NotificationCenter::Token;
constexpr const char* kOther = "other";
void postOther(NotificationCenter& center) { center.postNotification({kOther, {}, {}}); }

struct Row {
  const char* name;
  // What the removed observer's capture does as it ends, with the token of
  // an observer of kOther that counts its calls.
  std::function<void(NotificationCenter&, Token other)> asItEnds;
  int otherCalls;  // that observer's calls once one more kOther is posted
};

const Row kRows[] = {
    {"LogsAndTheLogDelegatePosts",
     [](NotificationCenter&, Token) { TLLogger::infoInMethod("app", __LINE__, "observer gone"); },
     2},
    {"Posts", [](NotificationCenter& c, Token) { postOther(c); }, 2},
    {"RemovesAnotherObserver", [](NotificationCenter& c, Token other) { c.removeObserver(other); },
     0},
};

class RemovedObserverTest : public testing::TestWithParam<Row> {};

TEST_P(RemovedObserverTest, EndsWithNoLockOfTheCentreHeld) {
  const Row& row = GetParam();
  tltest::HangGuard guard(std::string("a removed observer that, as it ends: ") + row.name);
  NotificationCenter center;
  int otherCalls = 0;
  const Token other = center.addObserver(kOther, [&](const Notification&) { ++otherCalls; });
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line == "observer gone") postOther(center);
  }));
  // The observer's capture, whose deleter runs the row's action as it ends.
  std::shared_ptr<void> captured(nullptr, [&](void*) { row.asItEnds(center, other); });
  center.removeObserver(
      center.addObserver("mine", [captured = std::move(captured)](const Notification&) {}));
  TLLogger::sharedLogger().unsetDelegate();
  postOther(center);
  EXPECT_EQ(otherCalls, row.otherCalls);
}

INSTANTIATE_TEST_SUITE_P(AsItEnds, RemovedObserverTest, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinplatform
