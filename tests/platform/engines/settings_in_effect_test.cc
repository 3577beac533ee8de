// When an engine's setting reaches its decoder: once a decoder is connected,
// a call of the ANALYTICS engine has its item in the decoder when it
// returns, whatever another thread's item is doing there (here one held on
// a line it logs, by the app's log delegate), none is refused, and one that
// throws strands no one else's. While a connection sends what waited for
// it, calls go behind it and it sends them before it returns. Each test
// ends the process, failing, if its thread hangs.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/analytics_engine.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/hang_guard.h"

namespace tembrolexinplatform {
namespace {

constexpr int32_t kWarning = 3;
constexpr const char* kServersLine = "Setting custom NTPServers";
// Long past the HangGuard's limit: a wait that never ends fails there.
constexpr std::chrono::hours kForEver{1};

// The app's log delegate: keeps every line and counts the warnings; the
// thread in `holder` is held on its first kServersLine (inside the decoder's
// setNTPServers) until released, and then throws there when told to.
struct HoldingLog : TLLoggerDelegate {
  void logfromSender(const std::string&, const TLLogParams& params) override {
    lines.add(params.message);
    if (params.level == kWarning) ++warnings;
    std::thread::id me = std::this_thread::get_id();
    if (params.message != kServersLine || !holder.compare_exchange_strong(me, {})) return;
    held.open();
    released.wait(kForEver);
    if (throwOnRelease) throw std::runtime_error("the app's log delegate failed");
  }
  tltest::Record lines;
  std::atomic<int> warnings{0};
  std::atomic<std::thread::id> holder{};
  bool throwOnRelease = false;  // set before the holder starts
  tltest::Gate held, released;
};

struct QuietReceiver : NTPReceiver {
  void onNTPUpdate(const std::optional<NTPResult>&) override {}
};

using Receivers = std::vector<std::shared_ptr<NTPReceiver>>;

// A decoder on a bus of its own with the app's log delegate set; the
// process-wide ANALYTICS engine is not connected to it yet.
struct World {
  World() {
    dispatcher.mainQueue()->bindToCurrentThread();
    TLDecoder::Options options;
    options.bus = &bus;
    options.coreBridge = {};
    options.dispatcher = &dispatcher;
    options.ntpPort = 1;  // nothing answers; the request is sent all the same
    decoder = TLDecoder::create(options);
    analytics = TLAnalyticsEngine::sharedEngine();
    analytics->setDecoder({});
    TLLogger::sharedLogger().setDelegate(log);
  }
  ~World() {
    TLLogger::sharedLogger().unsetDelegate();
    analytics->setMessenger(nullptr);
    analytics->setDecoder({});
  }

  Dispatcher dispatcher{
      Dispatcher::Options{&tembrolexinsdk::Clock::real(), TimerMode::kManual, 1, false}};
  tembrolexinsdk::Messenger bus;
  std::shared_ptr<TLAnalyticsEngine> analytics;
  std::shared_ptr<HoldingLog> log = std::make_shared<HoldingLog>();
  std::shared_ptr<TLDecoder> decoder;
  Receivers given;  // the row's receivers
};

// How many of `receivers` the decoder has.
std::size_t registeredOf(const World& w, const Receivers& receivers) {
  const auto current = w.decoder->getCurrentNTPDelegates();
  return std::count_if(receivers.begin(), receivers.end(), [&](const auto& r) {
    return std::find(current.begin(), current.end(), r) != current.end();
  });
}

// Each of `threads` threads registers `each` new receivers, kept in w.given.
void registerFromThreads(World& w, int threads, int each) {
  for (int i = 0; i < threads * each; ++i) w.given.push_back(std::make_shared<QuietReceiver>());
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&w, t, each] {
      for (int i = t * each; i < (t + 1) * each; ++i) w.analytics->registerNTPReceiver(w.given[i]);
    });
  }
  for (std::thread& t : running) t.join();
}

struct Row {
  const char* name;
  // Whether the held setNTPServers waited for a decoder and is held as the
  // connecting call sends it; else the engine is connected first.
  bool heldConnects;
  bool throwsOnRelease;  // the held line throws once released, and so the held call
  std::function<void(World&)> whileHeld;             // on the test's thread
  std::function<void(World&)> afterwards = nullptr;  // once the held call has returned or thrown
};

const Row kRows[] = {
    {"AReceiverIsRegisteredWhenItsCallReturns", false, false,
     [](World& w) {
       const auto r = std::make_shared<QuietReceiver>();
       w.analytics->registerNTPReceiver(r);
       EXPECT_EQ(registeredOf(w, {r}), 1u);
     }},
    {"ARoundAfterSetNTPServersReturnsAsksTheNewServer", false, false,
     [](World& w) {
       w.analytics->setNTPServers({"127.0.0.9"});
       w.decoder->updateNTP();
       EXPECT_TRUE(w.log->lines.contains("Requested NTP from server: 127.0.0.9"));
     }},
    {"TwoThousandSettingsFromOtherThreadsAreAllAppliedAndNoneRefused", false, false,
     [](World& w) {
       registerFromThreads(w, 4, 500);
       EXPECT_EQ(registeredOf(w, w.given), 2000u);
       EXPECT_EQ(w.log->warnings, 0);
     }},
    {"AThrowOnTheHeldLineLeavesEveryOtherThreadsItemApplied", false, true,
     [](World& w) { registerFromThreads(w, 5, 1); },
     [](World& w) { EXPECT_EQ(registeredOf(w, w.given), 5u); }},
    // While a connection sends what waited, other calls go behind it: none
    // is refused, and the connecting call sends them all before it returns.
    {"TwoThousandSettingsGivenWhileAConnectionSendsAreAllSentByIt", true, false,
     [](World& w) { registerFromThreads(w, 4, 500); },
     [](World& w) {
       EXPECT_EQ(registeredOf(w, w.given), 2000u);
       EXPECT_EQ(w.log->warnings, 0);
     }},
    {"AThrowWhileAConnectionSendsLeavesTheItemsBehindItSent", true, true,
     [](World& w) { registerFromThreads(w, 3, 1); },
     [](World& w) { EXPECT_EQ(registeredOf(w, w.given), 3u); }},
};

class HeldItemTest : public testing::TestWithParam<Row> {};

TEST_P(HeldItemTest, AnotherThreadsCallsAreInEffectWhenTheyReturn) {
  const Row& row = GetParam();
  World w;
  tltest::HangGuard guard(std::string("settings beside a held item: ") + row.name);
  if (row.heldConnects) {
    w.analytics->setNTPServers({"127.0.0.1"});  // waits for a decoder
  } else {
    ASSERT_EQ(w.decoder->connectEngineDelegate(nullptr, TLEngineType::kAnalytics), w.analytics);
  }
  w.log->throwOnRelease = row.throwsOnRelease;
  bool threw = false;
  std::thread holder([&] {
    w.log->holder = std::this_thread::get_id();
    try {
      if (row.heldConnects) {
        w.decoder->connectEngineDelegate(nullptr, TLEngineType::kAnalytics);
      } else {
        w.analytics->setNTPServers({"127.0.0.1"});
      }
    } catch (const std::runtime_error&) {
      threw = true;
    }
  });
  w.log->held.wait(kForEver);
  row.whileHeld(w);
  w.log->released.open();
  holder.join();
  if (row.throwsOnRelease) {
    EXPECT_TRUE(threw);
  }
  if (row.afterwards) row.afterwards(w);
}

INSTANTIATE_TEST_SUITE_P(Rows, HeldItemTest, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinplatform
