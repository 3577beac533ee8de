// When an engine's setting reaches its decoder: once a decoder is connected,
// a call of the ANALYTICS engine has its item in the decoder when it
// returns, whatever another thread's item is doing there (here one held on
// a line it logs, by the app's log delegate), none is refused, and one that
// throws strands no one else's. While a connection sends what waited for
// it, calls go behind it and it sends them before it returns. Each test
// ends the process, failing, if its thread hangs.

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/analytics_engine.h"
#include "platform/runtime/tl_logger.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

constexpr int32_t kWarning = 3;
constexpr const char* kServersLine = "Setting custom NTPServers";

// The app's log delegate. Keeps every line; the thread that armed it is
// held on its first line `kServersLine` (inside the decoder's
// setNTPServers) until released, and the delegate then throws there when
// told to.
class HoldingLog : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string&, const TLLogParams& params) override {
    std::unique_lock lock(mutex_);
    lines_.push_back(params.message);
    if (params.level == kWarning) ++warnings_;
    if (std::this_thread::get_id() != holder_ || params.message != kServersLine) return;
    holder_ = {};
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    if (throwOnRelease_) throw std::runtime_error("the app's log delegate failed");
  }
  void armForThisThread(bool throwOnRelease) {
    std::lock_guard lock(mutex_);
    holder_ = std::this_thread::get_id();
    throwOnRelease_ = throwOnRelease;
  }
  void waitUntilHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  bool has(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  int warnings() const {
    std::lock_guard lock(mutex_);
    return warnings_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id holder_;
  bool throwOnRelease_ = false;
  bool held_ = false;
  bool released_ = false;
  std::vector<std::string> lines_;
  int warnings_ = 0;
};

struct QuietReceiver : NTPReceiver {
  void onNTPUpdate(const std::optional<NTPResult>&) override {}
};

struct World {
  std::shared_ptr<TLDecoder> decoder;
  TLAnalyticsEngine* analytics = nullptr;
  HoldingLog* log = nullptr;
  // Receivers given by the row, each to be registered with the decoder.
  std::vector<std::shared_ptr<NTPReceiver>> given;
};

// How many of `receivers` the decoder has.
std::size_t registeredOf(const World& w, const std::vector<std::shared_ptr<NTPReceiver>>& receivers) {
  const auto current = w.decoder->getCurrentNTPDelegates();
  return std::count_if(receivers.begin(), receivers.end(), [&](const auto& r) {
    return std::find(current.begin(), current.end(), r) != current.end();
  });
}

// Each of `threads` threads registers `each` new receivers, kept in w.given.
void registerFromThreads(World& w, int threads, int each) {
  std::vector<std::vector<std::shared_ptr<NTPReceiver>>> made(threads);
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&w, &mine = made[t], each] {
      for (int i = 0; i < each; ++i) {
        mine.push_back(std::make_shared<QuietReceiver>());
        w.analytics->registerNTPReceiver(mine.back());
      }
    });
  }
  for (std::thread& t : running) t.join();
  for (const auto& mine : made) w.given.insert(w.given.end(), mine.begin(), mine.end());
}

struct Row {
  const char* name;
  // Whether the held setNTPServers is one that waited for a decoder, held
  // as the connecting call sends it; else the engine is connected first.
  bool heldConnects;
  // Whether the log delegate throws on the held line once released.
  bool throwsOnRelease;
  // Runs on the test's thread while another thread's setNTPServers is held
  // inside the decoder.
  std::function<void(World&)> whileHeld;
  // Runs once the held call has returned or unwound; `threw` tells which.
  std::function<void(World&, bool threw)> afterwards;
};

const Row kRows[] = {
    {"AReceiverIsRegisteredWhenItsCallReturns", false, false,
     [](World& w) {
       const auto r = std::make_shared<QuietReceiver>();
       w.analytics->registerNTPReceiver(r);
       EXPECT_EQ(registeredOf(w, {r}), 1u);
     },
     nullptr},
    {"ARoundAfterSetNTPServersReturnsAsksTheNewServer", false, false,
     [](World& w) {
       w.analytics->setNTPServers({"127.0.0.9"});
       w.decoder->updateNTP();
       EXPECT_TRUE(w.log->has("Requested NTP from server: 127.0.0.9"));
     },
     nullptr},
    {"TwoThousandSettingsFromOtherThreadsAreAllAppliedAndNoneRefused", false, false,
     [](World& w) {
       registerFromThreads(w, 4, 500);
       EXPECT_EQ(registeredOf(w, w.given), 2000u);
       EXPECT_EQ(w.log->warnings(), 0);
     },
     nullptr},
    {"AThrowOnTheHeldLineLeavesEveryOtherThreadsItemApplied", false, true,
     [](World& w) { registerFromThreads(w, 5, 1); },
     [](World& w, bool threw) {
       EXPECT_TRUE(threw);
       EXPECT_EQ(registeredOf(w, w.given), 5u);
     }},
    // While a connection sends what waited, other calls go behind it: none
    // is refused, and the connecting call sends them all before it returns.
    {"TwoThousandSettingsGivenWhileAConnectionSendsAreAllSentByIt", true, false,
     [](World& w) { registerFromThreads(w, 4, 500); },
     [](World& w, bool) {
       EXPECT_EQ(registeredOf(w, w.given), 2000u);
       EXPECT_EQ(w.log->warnings(), 0);
     }},
    {"AThrowWhileAConnectionSendsLeavesTheItemsBehindItSent", true, true,
     [](World& w) { registerFromThreads(w, 3, 1); },
     [](World& w, bool threw) {
       EXPECT_TRUE(threw);
       EXPECT_EQ(registeredOf(w, w.given), 3u);
     }},
};

class HeldItemTest : public testing::TestWithParam<Row> {
 protected:
  HeldItemTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    TLDecoder::Options options;
    options.bus = &bus_;
    options.coreBridge = {};
    options.dispatcher = &dispatcher_;
    options.ntpPort = 1;  // nothing answers; the request is sent all the same
    world_.decoder = TLDecoder::create(options);
    engine_ = TLAnalyticsEngine::sharedEngine();
    engine_->setDecoder({});
    world_.analytics = engine_.get();
    world_.log = log_.get();
    TLLogger::sharedLogger().setDelegate(log_);
  }
  ~HeldItemTest() override {
    TLLogger::sharedLogger().unsetDelegate();
    engine_->setMessenger(nullptr);
    engine_->setDecoder({});
  }

  Dispatcher dispatcher_{Dispatcher::Options{&tembrolexinsdk::Clock::real(), TimerMode::kManual, 1,
                                             false}};
  tembrolexinsdk::Messenger bus_;
  std::shared_ptr<TLAnalyticsEngine> engine_;
  std::shared_ptr<HoldingLog> log_ = std::make_shared<HoldingLog>();
  World world_;
};

TEST_P(HeldItemTest, AnotherThreadsCallsAreInEffectWhenTheyReturn) {
  const Row& row = GetParam();
  tltest::HangGuard guard(std::string("settings beside a held item: ") + row.name);
  if (row.heldConnects) {
    engine_->setNTPServers({"127.0.0.1"});  // waits for a decoder
  } else {
    ASSERT_EQ(world_.decoder->connectEngineDelegate(nullptr, TLEngineType::kAnalytics), engine_);
  }

  bool threw = false;
  std::thread holder([&] {
    log_->armForThisThread(row.throwsOnRelease);
    try {
      if (row.heldConnects) {
        world_.decoder->connectEngineDelegate(nullptr, TLEngineType::kAnalytics);
      } else {
        engine_->setNTPServers({"127.0.0.1"});
      }
    } catch (const std::runtime_error&) {
      threw = true;
    }
  });
  log_->waitUntilHeld();
  row.whileHeld(world_);
  log_->release();
  holder.join();
  if (row.afterwards) row.afterwards(world_, threw);
}

INSTANTIATE_TEST_SUITE_P(Rows, HeldItemTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tembrolexinplatform
