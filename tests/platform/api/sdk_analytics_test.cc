// The analytics hand-in when decoding stops: Start goes to the core, a
// background task keeps the app alive until the core answers Complete or the
// task expires.

#include <gtest/gtest.h>

#include "core/runtime/i_messenger.h"
#include "core/runtime/thrift_params.h"
#include "platform/api/tl_sdk_analytics.h"
#include "platform/messages/message_envelope.h"
#include "tests/support/recording_messenger.h"

namespace tembrolexinplatform {
namespace {

struct FakeTasks : BackgroundTasks {
  BackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                       std::function<void()> expiry) override {
    names.push_back(name);
    expiries.push_back(std::move(expiry));
    running.push_back(next);
    return next++;
  }
  void endBackgroundTask(BackgroundTaskIdentifier id) override {
    ended.push_back(id);
    std::erase(running, id);
  }
  BackgroundTaskIdentifier next = 7;
  std::vector<std::string> names;
  std::vector<std::function<void()>> expiries;
  std::vector<BackgroundTaskIdentifier> running;
  std::vector<BackgroundTaskIdentifier> ended;
};

BackgroundData background(int32_t type, int32_t status) {
  BackgroundData data;
  data.__set_backgroundType(type);
  data.__set_status(status);
  return data;
}

// The core's side: answers each analytics Start with Complete, as the core's
// analytics engine does once its upload has ended.
class CoreAnalytics : public tembrolexinsdk::IMessengerListener {
 public:
  explicit CoreAnalytics(Messenger& platform) : platform_(platform) {}
  void onReceive(const std::string& sender, const tembrolexinsdk::ThriftParams& params) override {
    const auto& bytes = params.getData();
    auto data = MessageEnvelope(params.getMsgType(), std::string(bytes.begin(), bytes.end()))
                    .newMessageOfType<BackgroundData>();
    senders.push_back(sender);
    if (data && data->backgroundType == 0 && data->status == 0 && answer) {
      platform_.receiveThriftMessage(TLThriftParams(MessageEnvelope::wrap(background(0, 1))), "AnalyticsEngine");
    }
  }
  bool answer = true;
  std::vector<std::string> senders;

 private:
  Messenger& platform_;
};

class SdkAnalyticsTest : public testing::Test {
 protected:
  SdkAnalyticsTest() { bus.registerListener(13, &core); }
  ~SdkAnalyticsTest() override { bus.unregisterListener(13, &core); }

  tltest::RecordingMessenger bus;
  Messenger messenger{&bus};
  CoreAnalytics core{messenger};
  std::shared_ptr<FakeTasks> tasks = std::make_shared<FakeTasks>();
};

TEST_F(SdkAnalyticsTest, StopHandsInUnderABackgroundTaskUntilComplete) {
  TLSDKAnalytics analytics(messenger, tasks);
  EXPECT_EQ(messenger.receiverCount(13), 1u);
  analytics.start();
  EXPECT_EQ(bus.sentCount(), 0u);

  core.answer = false;
  analytics.stop();
  analytics.stop();  // asks again, no second task
  ASSERT_EQ(bus.sentCount(), 2u);
  EXPECT_EQ(tasks->names, (std::vector<std::string>{"AnalyticsSDK"}));
  EXPECT_EQ(analytics.backgroundTask(), 7u);

  // Messages of type 13 that are not the analytics Complete change nothing.
  for (auto [type, status] : {std::pair{0, 0}, std::pair{1, 1}}) {
    messenger.receiveThriftMessage(TLThriftParams(MessageEnvelope::wrap(background(type, status))), "X");
  }
  EXPECT_EQ(analytics.backgroundTask(), 7u);

  core.answer = true;
  bus.deliverPending();
  EXPECT_EQ(core.senders, (std::vector<std::string>{"TLSDKAnalytics", "TLSDKAnalytics"}));
  EXPECT_EQ(tasks->ended, (std::vector<BackgroundTaskIdentifier>{7}));
  EXPECT_EQ(analytics.backgroundTask(), kInvalidBackgroundTask);

  // The next stop begins a new task; its expiry ends it.
  analytics.stop();
  EXPECT_EQ(analytics.backgroundTask(), 8u);
  tasks->expiries.back()();
  EXPECT_EQ(tasks->ended, (std::vector<BackgroundTaskIdentifier>{7, 8}));
  EXPECT_EQ(analytics.backgroundTask(), kInvalidBackgroundTask);
}

TEST_F(SdkAnalyticsTest, LateExpiryAfterDestructionIsHarmless) {
  std::function<void()> expiry;
  {
    TLSDKAnalytics analytics(messenger, tasks);
    analytics.stop();
    expiry = tasks->expiries.back();
  }
  EXPECT_EQ(messenger.receiverCount(13), 0u);
  expiry();
  EXPECT_TRUE(tasks->ended.empty());
}

}  // namespace
}  // namespace tembrolexinplatform
