// Builders of the core's bundle messages and a dispatcher on a fake clock,
// shared by the content presentation tests.
#ifndef TL_TESTS_PLATFORM_ENGINES_CONTENT_FIXTURES_H_
#define TL_TESTS_PLATFORM_ENGINES_CONTENT_FIXTURES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/messages/message_types.h"
#include "platform/runtime/safe_dispatch.h"
#include "tests/support/fake_clock.h"

namespace tltest {

inline tembrolexinplatform::AssetInfo info(const std::string& id, int32_t version = 1) {
  tembrolexinplatform::AssetInfo i;
  i.__set_assetID(id);
  i.__set_assetTitle("Title " + id);
  i.__set_version(version);
  i.__set_validFrom(1500);
  i.__set_validTo(2000250);
  i.__set_assetDescription("About " + id);
  i.__set_assetFolderPath("/docs/TL/Assets/Ready/" + id);
  return i;
}

inline tembrolexinplatform::AssetInfoList infoList(std::vector<tembrolexinplatform::AssetInfo> v) {
  tembrolexinplatform::AssetInfoList l;
  l.__set_assetsInfoList(std::move(v));
  return l;
}

struct ActionSpec {
  ActionSpec(std::string id_, int32_t engine_ = 1, int64_t fireAt_ = 0, bool completed_ = false)
      : id(std::move(id_)), engine(engine_), fireAt(fireAt_), completed(completed_) {}
  ActionSpec& withNotification(std::string t, std::string x, int64_t delay) {
    title = std::move(t);
    text = std::move(x);
    secondsDelay = delay;
    return *this;
  }
  std::string id;
  int32_t engine = 1;  // AssetAction engine: 0 default, 1 trigger, 2 event2, 3 schedule
  int64_t fireAt = 0;  // scheduleEngineActionTimestamp, seconds since 1970
  bool completed = false;
  std::string title;
  std::string text;
  int64_t secondsDelay = 0;
};

inline tembrolexinplatform::AssetAction action(const std::string& bundleId, const ActionSpec& s) {
  tembrolexinplatform::AssetAction a;
  a.__set_actionID(s.id);
  a.__set_assetID(bundleId);
  a.__set_engine(s.engine);
  a.__set_scheme("T2");
  a.__set_trigger("4242");
  a.__set_entryPoint("/docs/TL/Assets/Ready/" + bundleId + "/index.html");
  a.__set_secondsDelay(s.secondsDelay);
  a.__set_notificationText(s.text);
  a.__set_notificationTitle(s.title);
  a.__set_notificationID("n-" + s.id);
  a.__set_timeStamp(0);
  a.__set_scheduleEngineActionTimestamp(s.fireAt);
  a.__set_completed(s.completed);
  return a;
}

inline tembrolexinplatform::AssetActionList actionList(
    const std::string& bundleId, const std::vector<ActionSpec>& specs) {
  tembrolexinplatform::AssetActionList l;
  std::vector<tembrolexinplatform::AssetAction> v;
  for (const auto& s : specs) v.push_back(action(bundleId, s));
  l.assetActionMap[bundleId] = std::move(v);
  l.__isset.assetActionMap = true;
  return l;
}

// A dispatcher whose main queue is this thread, with manual timers on a fake
// clock.
struct ManualDispatch {
  FakeClock clock;
  tembrolexinplatform::Dispatcher dispatcher{
      {&clock, tembrolexinplatform::TimerMode::kManual, 1, false}};
  ManualDispatch() { dispatcher.mainQueue()->bindToCurrentThread(); }
  // Advances the clock, fires due timers and runs the main queue.
  void run(std::chrono::milliseconds d = std::chrono::milliseconds(0)) {
    clock.advance(d);
    dispatcher.timers().pump();
    dispatcher.mainQueue()->drain();
  }
  int64_t nowSeconds() const { return clock.wallMicros() / 1000000; }
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_ENGINES_CONTENT_FIXTURES_H_
