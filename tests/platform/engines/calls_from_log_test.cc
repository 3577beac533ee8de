// What the app's log delegate does on a line the library logs while it works
// for an engine or holds an object of the app's: it calls the same object
// again. On a line of an engine's own
// call into its decoder, that call must neither wait for the call under way
// on its own thread nor jump ahead of it; on a line logged as the engine is
// made, or as an app's object it let go of ends, the engine is whole and
// free. Each test ends the process, failing, if its thread hangs.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/analytics_engine.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/net/network_manager.h"
#include "platform/runtime/local_notifications.h"
#include "platform/runtime/url_opener.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/line_hook.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

// Records every line; on the first line holding `trigger`, runs `action`.
class ReentrantLog : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string&, const TLLogParams& params) override {
    lines.push_back(params.message);
    if (action && !trigger.empty() && params.message.find(trigger) != std::string::npos) {
      std::function<void()> once = std::move(action);
      action = nullptr;
      once();
    }
  }
  // The index of the first line after `from` holding `text`, or -1.
  int find(const std::string& text, int from = -1) const {
    for (int i = from + 1; i < static_cast<int>(lines.size()); ++i) {
      if (lines[i].find(text) != std::string::npos) return i;
    }
    return -1;
  }
  std::string trigger;
  std::function<void()> action;
  std::vector<std::string> lines;
};

struct Row {
  const char* name;
  TLEngineType type;
  // Given before the engine connects, so it runs inside connectEngineDelegate.
  bool beforeConnecting;
  std::function<void(TLEngine&)> prepare;
  std::function<void(TLEngine&)> operation;
  const char* trigger;
  std::function<void(TLEngine&)> reentry;
  // What the re-entering call logs once its item leaves, after the line.
  const char* afterwards;
};

TLAnalyticsEngine& analytics(TLEngine& e) { return dynamic_cast<TLAnalyticsEngine&>(e); }

const Row kRows[] = {
    {"AnalyticsSetNTPServers", TLEngineType::kAnalytics, false, nullptr,
     [](TLEngine& e) { analytics(e).setNTPServers({"127.0.0.1"}); }, "Setting custom NTPServers",
     [](TLEngine& e) { analytics(e).updateNTP(); }, "Requested NTP from server: 127.0.0.1"},
    {"AnalyticsUpdateNTPWithServersSet", TLEngineType::kAnalytics, false,
     [](TLEngine& e) { analytics(e).setNTPServers({"127.0.0.1"}); },
     [](TLEngine& e) { analytics(e).updateNTP(); }, "Requested NTP from server: 127.0.0.1",
     [](TLEngine& e) { analytics(e).setNTPServers({"127.0.0.1", "127.0.0.2"}); },
     "Setting custom NTPServers"},
    {"AnalyticsSetNTPServersGivenBeforeConnecting", TLEngineType::kAnalytics, true, nullptr,
     [](TLEngine& e) { analytics(e).setNTPServers({"127.0.0.1"}); }, "Setting custom NTPServers",
     [](TLEngine& e) { analytics(e).updateNTP(); }, "Requested NTP from server: 127.0.0.1"},
};

class EngineItemsFromLogTest : public testing::TestWithParam<Row> {
 protected:
  EngineItemsFromLogTest() { dispatcher_.mainQueue()->bindToCurrentThread(); }
  ~EngineItemsFromLogTest() override {
    TLLogger::sharedLogger().unsetDelegate();
    if (engine_) {
      engine_->setDelegate(nullptr);
      engine_->setMessenger(nullptr);
      engine_->setDecoder({});
    }
  }

  Dispatcher dispatcher_{Dispatcher::Options{&tembrolexinsdk::Clock::real(), TimerMode::kManual, 1,
                                             false}};
  std::shared_ptr<TLEngine> engine_;
};

TEST_P(EngineItemsFromLogTest, TheLogDelegateMayCallTheSameEngineOnTheItemsLine) {
  const Row& row = GetParam();
  tltest::HangGuard guard(std::string("the log delegate calling the engine: ") + row.name);
  tembrolexinsdk::Messenger bus;
  TLDecoder::Options options;
  options.bus = &bus;
  options.coreBridge = {};
  options.dispatcher = &dispatcher_;
  options.ntpPort = 1;  // nothing answers; the request is sent all the same
  std::shared_ptr<TLDecoder> decoder = TLDecoder::create(options);
  engine_ = TLEngine::getEngineOfType(row.type);
  ASSERT_NE(engine_, nullptr);
  engine_->setDecoder({});

  auto log = std::make_shared<ReentrantLog>();
  TLLogger::sharedLogger().setDelegate(log);
  if (!row.beforeConnecting) {
    ASSERT_EQ(decoder->connectEngineDelegate(nullptr, row.type), engine_);
  }
  if (row.prepare) row.prepare(*engine_);
  log->lines.clear();
  log->trigger = row.trigger;
  log->action = [&] { row.reentry(*engine_); };
  row.operation(*engine_);
  if (row.beforeConnecting) {
    ASSERT_EQ(decoder->connectEngineDelegate(nullptr, row.type), engine_);
  }

  // The line came, the call made from it returned, and its item left after
  // the one under way.
  const int line = log->find(row.trigger);
  ASSERT_GE(line, 0);
  EXPECT_EQ(log->action, nullptr);
  EXPECT_GT(log->find(row.afterwards, line), line);
  TLLogger::sharedLogger().unsetDelegate();
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineItemsFromLogTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

// The app's engine delegate, which logs as it ends.
class LogsAsItEnds : public TLEngineDelegate {
 public:
  ~LogsAsItEnds() override { TLLogger::infoInMethod("app", __LINE__, "app delegate gone"); }
};

class DelegateLetGoTest : public testing::TestWithParam<TLEngineType> {};

TEST_P(DelegateLetGoTest, TheLogDelegateMayReadTheEngineOnTheLastLineOfTheDelegateLetGo) {
  tltest::HangGuard guard("reading the engine as its delegate ends");
  const std::shared_ptr<TLEngine> engine = TLEngine::getEngineOfType(GetParam());
  ASSERT_NE(engine, nullptr);
  engine->setDelegate(std::make_shared<LogsAsItEnds>());
  bool read = false;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line == "app delegate gone") read = engine->delegate() == nullptr;
  }));
  engine->setDelegate(nullptr);
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_TRUE(read);
}

INSTANTIATE_TEST_SUITE_P(Engines, DelegateLetGoTest,
                         testing::Values(TLEngineType::kTrigger, TLEngineType::kEvent,
                                         TLEngineType::kEvent2, TLEngineType::kHeartbeat,
                                         TLEngineType::kContent, TLEngineType::kAnalytics,
                                         TLEngineType::kPlugin, TLEngineType::kAudioMatch),
                         [](const testing::TestParamInfo<TLEngineType>& info) {
                           return TLEngine::protocolOfType(info.param);
                         });

// A log sink of the app's, which logs as it ends.
class SinkLogsAsItEnds : public TLLoggerDelegate {
 public:
  ~SinkLogsAsItEnds() override { TLLogger::infoInMethod("app", __LINE__, "app sink gone"); }
  void logfromSender(const std::string&, const TLLogParams&) override {}
};

TEST(LogSinkLetGoTest, ItsLastLineReachesTheSinkThatReplacedIt) {
  tltest::HangGuard guard("replacing a log sink that logs as it ends");
  std::vector<std::string> heard;
  TLLogger::sharedLogger().setDelegate(std::make_shared<SinkLogsAsItEnds>());
  TLLogger::sharedLogger().setDelegate(
      std::make_shared<LineHook>([&](const std::string& line) { heard.push_back(line); }));
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(heard, std::vector<std::string>{"app sink gone"});
}

// Shared engines made on first use log as they are made; the log delegate
// asks there for the engine being made. (In a process that made it before,
// the line never comes and the row holds trivially.)
struct SharedRow {
  const char* name;
  const char* line;
  std::function<std::shared_ptr<TLEngine>()> get;
};

class SharedEngineMadeTest : public testing::TestWithParam<SharedRow> {};

TEST_P(SharedEngineMadeTest, TheLogDelegateMayAskForTheEngineBeingMade) {
  const SharedRow& row = GetParam();
  tltest::HangGuard guard(std::string("asking for the engine being made: ") + row.name);
  bool asked = false;
  std::shared_ptr<TLEngine> fromLine;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (asked || line.find(row.line) == std::string::npos) return;
    asked = true;
    fromLine = row.get();
  }));
  const std::shared_ptr<TLEngine> engine = row.get();
  TLLogger::sharedLogger().unsetDelegate();
  if (asked) {
    EXPECT_EQ(fromLine, engine);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SharedEngineMadeTest,
    testing::Values(SharedRow{"Analytics", "Starting shared analyticsEngine",
                              [] { return TLAnalyticsEngine::sharedEngine(); }},
                    SharedRow{"Content", "Reachability Flag Status",
                              [] { return TLContentEngine::sharedEngine(); }}),
    [](const testing::TestParamInfo<SharedRow>& info) { return std::string(info.param.name); });

// The app's objects that the library holds through a setter, each logging
// as it ends: the log delegate reads the setting on that line.
class OpenerLogsAsItEnds : public URLOpener {
 public:
  ~OpenerLogsAsItEnds() override { TLLogger::infoInMethod("app", __LINE__, "app object gone"); }
  bool canOpenURL(const std::string&) override { return false; }
  bool openURL(const std::string&) override { return false; }
};
class StatusLogsAsItEnds : public TLUploadStatusDelegate {
 public:
  ~StatusLogsAsItEnds() override { TLLogger::infoInMethod("app", __LINE__, "app object gone"); }
};
class CentreLogsAsItEnds : public LocalNotificationCenter {
 public:
  ~CentreLogsAsItEnds() override { TLLogger::infoInMethod("app", __LINE__, "app object gone"); }
  void addNotificationRequest(const LocalNotificationRequest&, AddCompletion) override {}
  void getPendingNotificationRequests(PendingCompletion) override {}
  void removePendingNotificationRequests(const std::vector<std::string>&) override {}
};

struct SetterRow {
  const char* name;
  // Sets an object that logs as it ends, arms `onLine` to read the setting,
  // then sets none.
  std::function<void(std::function<void()>& onLine)> run;
};

class SetterLetGoTest : public testing::TestWithParam<SetterRow> {};

TEST_P(SetterLetGoTest, TheLogDelegateMayReadTheSettingOnTheLastLineOfWhatItHeld) {
  tltest::HangGuard guard(std::string("reading a setting as its object ends: ") + GetParam().name);
  bool read = false;
  std::function<void()> onLine;
  TLLogger::sharedLogger().setDelegate(std::make_shared<LineHook>([&](const std::string& line) {
    if (line != "app object gone" || !onLine) return;
    onLine();
    read = true;
  }));
  GetParam().run(onLine);
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_TRUE(read);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SetterLetGoTest,
    testing::Values(
        SetterRow{"UrlOpener",
                  [](std::function<void()>& onLine) {
                    URLOpener::setShared(std::make_shared<OpenerLogsAsItEnds>());
                    onLine = [] { URLOpener::shared(); };
                    URLOpener::setShared(nullptr);
                  }},
        SetterRow{"UploadStatusDelegate",
                  [](std::function<void()>& onLine) {
                    const auto manager = TLNetworkManager::create({});
                    manager->setUploadStatusDelegate(std::make_shared<StatusLogsAsItEnds>());
                    onLine = [manager] { manager->getRequestState(); };
                    manager->setUploadStatusDelegate(nullptr);
                  }},
        SetterRow{"NotificationCentre",
                  [](std::function<void()>& onLine) {
                    LocalNotificationCenter::setCurrent(std::make_shared<CentreLogsAsItEnds>());
                    onLine = [] { LocalNotificationCenter::current(); };
                    LocalNotificationCenter::setCurrent(nullptr);
                  }}),
    [](const testing::TestParamInfo<SetterRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinplatform
