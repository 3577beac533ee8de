#include "core/audio/custom_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"

namespace tembrolexinsdk {
namespace {

std::vector<short> ramp(int n, int from = 1) {
  std::vector<short> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<short>(from + i));
  return v;
}

class FeedListener : public IAudioRecorderListener {
 public:
  struct Delivery {
    unsigned index;
    int64_t ageMicros;  // clock reading less the stamp (steady and wall agree)
    std::vector<short> samples;
  };

  FeedListener(CustomRecorder* recorder, const tltest::FakeClock& clock)
      : recorder_(recorder), clock_(clock) {}

  void recorderCallback(unsigned char index, std::chrono::steady_clock::time_point steady,
                        std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>
                            system) override {
    const int64_t steadyAge =
        std::chrono::duration_cast<std::chrono::microseconds>(clock_.steadyNow() - steady).count();
    const int64_t wallAge = clock_.wallMicros() - system.time_since_epoch().count();
    EXPECT_EQ(steadyAge, wallAge);
    const short* buffer = recorder_->getShortBuffer(index);
    const unsigned length = recorder_->getMaximumBufferSize() / bufferCount;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deliveries.push_back({index, steadyAge, std::vector<short>(buffer, buffer + length)});
    }
    if (onDelivery) onDelivery();
  }
  void audioSessionCallback(InterruptionState) override {}

  std::vector<Delivery> taken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries;
  }

  unsigned bufferCount = 5;
  std::function<void()> onDelivery;
  std::vector<Delivery> deliveries;

 private:
  std::mutex mutex_;
  CustomRecorder* recorder_;
  const tltest::FakeClock& clock_;
};

struct RateCase {
  const char* name;
  int hz;
  unsigned short flag;  // 0: the constructor throws
};

class CustomRecorderRateTest : public testing::TestWithParam<RateCase> {};

TEST_P(CustomRecorderRateTest, OffersOnlyItsRate) {
  tltest::RecordingMessenger bus;
  if (GetParam().flag == 0) {
    try {
      CustomRecorder recorder(GetParam().hz, &bus);
      FAIL();
    } catch (const CustomRecorder::CustomRecorderException& e) {
      EXPECT_STREQ(e.what(), "Cannot handle provided sample rate");
    }
    EXPECT_EQ(bus.sentCount(), 0u);
    return;
  }
  CustomRecorder recorder(GetParam().hz, &bus);
  EXPECT_EQ(recorder.getAvailableSampleRates(0xFFFF), GetParam().flag);
  EXPECT_EQ(recorder.GetName(), "CustomRecorder");
}

INSTANTIATE_TEST_SUITE_P(Rates, CustomRecorderRateTest,
                         testing::Values(RateCase{"Hz48000", 48000, 512},
                                         RateCase{"Hz8000", 8000, 2},
                                         RateCase{"Hz44100", 44100, 256},
                                         RateCase{"Hz44000", 44000, 0},
                                         RateCase{"Zero", 0, 0}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                           return info.param.name;
                         });

struct FeedCase {
  const char* name;
  unsigned buffers;
  unsigned frames;
  std::vector<int> calls;      // samples per call, numbered on from 1
  std::vector<int> answers;    // of each call
  std::vector<unsigned> indices;
  std::vector<int> firsts;     // first sample of each delivery
  std::vector<int> ageSeconds;
};

class CustomRecorderFeedTest : public testing::TestWithParam<FeedCase> {};

TEST_P(CustomRecorderFeedTest, Delivers) {
  const FeedCase& c = GetParam();
  tltest::RecordingMessenger bus;
  tltest::FakeClock clock;
  CustomRecorder recorder(8000, &bus, clock);
  FeedListener listener(&recorder, clock);
  listener.bufferCount = c.buffers;
  recorder.initialise(&listener);
  recorder.setup(c.buffers);
  recorder.createRecorder(SampleRate_16000, c.frames);  // the rate argument is not used
  EXPECT_EQ(recorder.getMaximumBufferSize(), c.buffers * c.frames);
  int next = 1;
  std::vector<int> answers;
  for (int n : c.calls) {
    const auto samples = ramp(n, next);
    answers.push_back(recorder.provideSamples(samples.data(), n));
    if (answers.back() == 0) next += n;
  }
  EXPECT_EQ(answers, c.answers);
  std::vector<unsigned> indices;
  std::vector<int> firsts;
  std::vector<int> ages;
  for (const auto& d : listener.taken()) {
    indices.push_back(d.index);
    firsts.push_back(d.samples[0]);
    ages.push_back(static_cast<int>(d.ageMicros / 1000000));
    EXPECT_EQ(d.ageMicros % 1000000, 0);
    EXPECT_EQ(d.samples, ramp(static_cast<int>(c.frames), d.samples[0]));
  }
  EXPECT_EQ(indices, c.indices);
  EXPECT_EQ(firsts, c.firsts);
  EXPECT_EQ(ages, c.ageSeconds);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, CustomRecorderFeedTest,
    testing::Values(
        // 5121 is more than the ring's 5120: refused, nothing kept.
        FeedCase{"TooManyRefused", 5, 1024, {5121, 1024}, {1, 0}, {0}, {1}, {0}},
        // 976 samples stay unread after the second call.
        FeedCase{"TwoCallsMakeOneBuffer", 5, 1024, {1000, 1000, 48}, {0, 0, 0}, {0, 1},
                 {1, 1025}, {0, 0}},
        FeedCase{"FourBuffersAtOnce", 5, 1024, {4096}, {0}, {0, 1, 2, 3}, {1, 1025, 2049, 3073},
                 {0, 0, 0, 0}},
        FeedCase{"IndexWrapsAfterFifth", 5, 4, {4, 4, 4, 4, 4, 4}, {0, 0, 0, 0, 0, 0},
                 {0, 1, 2, 3, 4, 0}, {1, 5, 9, 13, 17, 21}, {0, 0, 0, 0, 0, 0}},
        // 12000 unread at 8 kHz is 1.5 s: a correction of exactly 1 s while a
        // second or more waits behind the buffer.
        FeedCase{"WholeSecondsOnly", 20, 1024, {12000}, {0},
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                 {1, 1025, 2049, 3073, 4097, 5121, 6145, 7169, 8193, 9217, 10241},
                 {1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}},
        // Ring of 8 with 3 unread: 5 of the 8 new fill it, two buffers
        // (1..4, 5..8) go out, then the last 3 come in and wait for a fourth.
        FeedCase{"LargeCallNeverOverwritesUnread", 2, 4, {3, 8, 1}, {0, 0, 0}, {0, 1, 0},
                 {1, 5, 9}, {0, 0, 0}},
        FeedCase{"NegativeCountNeverTaken", 5, 4, {-1, 4}, {3, 0}, {0}, {1}, {0}}),
    [](const testing::TestParamInfo<FeedCase>& info) { return info.param.name; });
// clang-format on

TEST(CustomRecorderTest, RefusedBeforeBuffersExist) {
  tltest::LogCapture log;
  tltest::RecordingMessenger bus;
  CustomRecorder recorder(8000, &bus);
  const auto samples = ramp(11);
  EXPECT_EQ(recorder.getMaximumBufferSize(), 0u);
  EXPECT_EQ(recorder.provideSamples(samples.data(), 0), 1);
  EXPECT_EQ(recorder.provideSamples(nullptr, 3), CustomRecorder::kInvalidCall);
  recorder.setup(2);
  recorder.createRecorder(SampleRate_8000, 4);
  EXPECT_EQ(recorder.provideSamples(samples.data(), 3), 0);
  EXPECT_EQ(recorder.provideSamples(samples.data(), 8), 0);
  EXPECT_TRUE(log.matching("dropped").empty());
}

// An app that feeds again on a refusal must not loop for ever: a call that
// can never be taken says so, and each recorder logs only the first.
TEST(CustomRecorderTest, InvalidCallsAreNeverTakenAndLoggedOncePerRecorder) {
  tltest::LogCapture log;
  tltest::RecordingMessenger bus;
  const auto samples = ramp(4);
  for (int r = 0; r < 2; ++r) {
    CustomRecorder recorder(8000, &bus);
    recorder.setup(2);
    recorder.createRecorder(SampleRate_8000, 4);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(recorder.provideSamples(samples.data(), -4), 3);
      EXPECT_EQ(recorder.provideSamples(nullptr, 4), 3);
    }
    EXPECT_EQ(recorder.provideSamples(samples.data(), 4), 0);
  }
  std::ostringstream at;
  at << static_cast<const void*>(samples.data());
  const std::string line = "4 CustomRecorder: provideSamples(samples " + at.str() +
                           ", count -4) refused: a negative count; such a call is never taken "
                           "(logged once per recorder)";
  std::vector<std::string> lines;
  for (const auto& l : log.matching("provideSamples")) {
    lines.push_back(std::to_string(l.level) + " " + l.sender + ": " + l.message);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{line, line}));
}

// Collects RecorderEvents from a real bus.
class EventCollector : public IMessengerListener {
 public:
  void onReceive(const std::string& sender, const ThriftParams& params) override {
    auto event = ThriftParamsFactory::readThriftParams<RecorderEvent>(params);
    std::lock_guard<std::mutex> lock(mutex_);
    senders_.push_back(sender);
    events_.push_back(*event);
    cv_.notify_all();
  }
  std::vector<RecorderEvent> await(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= n; });
    return events_;
  }
  std::vector<std::string> senders() {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<RecorderEvent> events_;
  std::vector<std::string> senders_;
};

TEST(CustomRecorderTest, LifecycleEventsOnTheBusAndDeliveryWhileStopped) {
  Messenger bus;
  EventCollector collector;
  bus.registerListener(25, &collector);
  tltest::FakeClock clock;
  auto recorder = std::make_unique<CustomRecorder>(16000, &bus, clock);
  const int64_t instance = static_cast<int64_t>(reinterpret_cast<intptr_t>(recorder.get()));
  FeedListener listener(recorder.get(), clock);
  recorder->initialise(&listener);
  recorder->setup(5);
  recorder->createRecorder(SampleRate_16000, 4);
  recorder->startRecording();
  recorder->stopRecording();
  const auto samples = ramp(4);
  EXPECT_EQ(recorder->provideSamples(samples.data(), 4), 0);
  EXPECT_EQ(listener.taken().size(), 1u);
  recorder.reset();
  const auto events = collector.await(4);
  bus.unregisterListener(25, &collector);
  ASSERT_EQ(events.size(), 4u);
  const RecorderEventType::type kinds[] = {RecorderEventType::Initialised,
                                           RecorderEventType::Started, RecorderEventType::Stopped,
                                           RecorderEventType::Destroyed};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(events[i].eventType, kinds[i]);
    EXPECT_EQ(events[i].instance, i == 3 ? instance : 0);
  }
  EXPECT_EQ(collector.senders(), std::vector<std::string>(4, "CustomRecorder"));
}

TEST(CustomRecorderTest, RecreatedFromInsideDeliveryEndsThatCallsLoop) {
  tltest::RecordingMessenger bus;
  tltest::FakeClock clock;
  CustomRecorder recorder(8000, &bus, clock);
  FeedListener listener(&recorder, clock);
  recorder.initialise(&listener);
  recorder.setup(5);
  recorder.createRecorder(SampleRate_8000, 4);
  listener.onDelivery = [&] {
    listener.onDelivery = nullptr;
    recorder.createRecorder(SampleRate_8000, 4);
  };
  const auto samples = ramp(12);
  EXPECT_EQ(recorder.provideSamples(samples.data(), 12), 0);
  EXPECT_EQ(listener.taken().size(), 1u);
  // The re-created ring starts empty.
  EXPECT_EQ(recorder.provideSamples(samples.data(), 4), 0);
  ASSERT_EQ(listener.taken().size(), 2u);
  EXPECT_EQ(listener.taken()[1].index, 0u);
}

TEST(CustomRecorderTest, DeletionWaitsForTheDeliveryOnTheFeedingThread) {
  tltest::RecordingMessenger bus;
  tltest::FakeClock clock;
  auto recorder = std::make_unique<CustomRecorder>(8000, &bus, clock);
  CustomRecorder* raw = recorder.get();
  FeedListener listener(raw, clock);
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false;
  bool release = false;
  listener.onDelivery = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  raw->initialise(&listener);
  raw->setup(5);
  raw->createRecorder(SampleRate_8000, 4);
  // One buffer and one sample left over, so the probes below never deliver.
  std::thread feeder([&] {
    const auto samples = ramp(5);
    EXPECT_EQ(raw->provideSamples(samples.data(), 5), 0);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }
  std::thread deleter([&] { recorder.reset(); });
  // Once the destructor has begun, new calls are refused; it cannot finish
  // while the delivery runs.
  const auto none = ramp(1);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (raw->provideSamples(none.data(), 0) == 0 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::yield();
  }
  EXPECT_EQ(bus.sentCount(), 1u);  // Initialised only: Destroyed waits
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  feeder.join();
  deleter.join();
  EXPECT_EQ(listener.taken().size(), 1u);
  ASSERT_EQ(bus.sentCount(), 2u);
  auto destroyed = ThriftParamsFactory::readThriftParams<RecorderEvent>(*bus.sent()[1].params);
  EXPECT_EQ(destroyed->eventType, RecorderEventType::Destroyed);
}

}  // namespace
}  // namespace tembrolexinsdk
