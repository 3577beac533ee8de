#include "core/audio/ios_audio_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/audio/file_capture_source.h"
#include "core/audio/manual_capture_source.h"
#include "core/runtime/core_exceptions.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::milliseconds;

std::vector<int16_t> ramp(int n, int from = 1) {
  std::vector<int16_t> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<int16_t>(from + i));
  return v;
}

// Records each delivery with a copy of its buffer.
class RecordingListener : public IAudioRecorderListener {
 public:
  struct Delivery {
    unsigned index;
    int64_t steadyNanos;
    int64_t wallMicros;
    std::vector<int16_t> samples;
  };

  void attach(IAudioRecorder* recorder, unsigned frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    recorder_ = recorder;
    frames_ = frames;
  }
  void recorderCallback(unsigned char index, std::chrono::steady_clock::time_point steady,
                        std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>
                            system) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const short* buffer = recorder_->getShortBuffer(index);
    deliveries_.push_back(
        {index,
         std::chrono::duration_cast<std::chrono::nanoseconds>(steady.time_since_epoch()).count(),
         system.time_since_epoch().count(), std::vector<int16_t>(buffer, buffer + frames_)});
    cv_.notify_all();
  }
  void audioSessionCallback(InterruptionState state) override {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(state);
  }
  // The delivery buffer that this listener still reads, or -1.
  std::atomic<int> busyIndex{-1};
  bool isBufferFree(unsigned char index) override { return busyIndex.load() != index; }
  bool awaitBufferFree(unsigned char index, std::chrono::milliseconds limit) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waits_;
    cv_.notify_all();
    return cv_.wait_for(lock, limit, [&] { return busyIndex.load() != index; });
  }
  // Frees every buffer and wakes a recorder waiting for one.
  void freeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    busyIndex = -1;
    cv_.notify_all();
  }
  // Waits until a recorder has waited for a buffer at least `n` times.
  bool awaitWaits(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return waits_ >= n; });
  }
  std::vector<Delivery> deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  std::vector<int> states() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<int>(states_.begin(), states_.end());
  }
  bool await(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return deliveries_.size() >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  IAudioRecorder* recorder_ = nullptr;
  unsigned frames_ = 0;
  std::vector<Delivery> deliveries_;
  std::vector<InterruptionState> states_;
  int waits_ = 0;
};

class PlatformRecorderTest : public testing::Test {
 protected:
  void make(unsigned buffers = 5, SampleRate rate = SampleRate_16000, unsigned frames = 2048) {
    auto source = std::make_unique<ManualCaptureSource>();
    auto executor = std::make_unique<ManualDelayedExecutor>();
    source_ = source.get();
    executor_ = executor.get();
    recorder_ = std::make_unique<IOSAudioRecorder>(std::move(source), session_,
                                                   std::move(executor), clock_);
    listener_.attach(recorder_.get(), frames);
    recorder_->initialise(&listener_);
    recorder_->setup(buffers);
    recorder_->createRecorder(rate, frames);
  }
  // A stamp whose host time lies `ago` before the clock's now.
  CaptureStamp ago(milliseconds ago) const {
    return {true, std::chrono::duration_cast<std::chrono::nanoseconds>(
                      (clock_.steadyNow() - ago).time_since_epoch())
                      .count()};
  }
  int64_t steadyNanos() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               clock_.steadyNow().time_since_epoch())
        .count();
  }
  // Corrections in ms of the deliveries so far (steady and wall agree).
  std::vector<int64_t> corrections() {
    std::vector<int64_t> out;
    for (const auto& d : listener_.deliveries()) {
      EXPECT_EQ((steadyNanos() - d.steadyNanos) / 1000, clock_.wallMicros() - d.wallMicros);
      out.push_back((steadyNanos() - d.steadyNanos) / 1000000);
    }
    return out;
  }

  tltest::FakeClock clock_;
  std::shared_ptr<LocalAudioSession> session_ = std::make_shared<LocalAudioSession>();
  ManualCaptureSource* source_ = nullptr;
  ManualDelayedExecutor* executor_ = nullptr;
  RecordingListener listener_;
  std::unique_ptr<IOSAudioRecorder> recorder_;
};

TEST_F(PlatformRecorderTest, OneDeliveryPerFullBufferWrappingAfterTheLast) {
  make(5, SampleRate_16000, 2048);
  EXPECT_EQ(recorder_->GetName(), "IOSAudioRecorder");
  recorder_->startRecording();
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(source_->deliver(ramp(2048, i * 100), ago(milliseconds(0))));
  }
  const auto deliveries = listener_.deliveries();
  ASSERT_EQ(deliveries.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(deliveries[i].index, static_cast<unsigned>(i % 5));
    EXPECT_EQ(deliveries[i].samples, ramp(2048, i * 100));
  }
  EXPECT_EQ(corrections(), std::vector<int64_t>(6, 0));
  EXPECT_EQ(recorder_->getShortBuffer(5), nullptr);
}

// A block whose delivery buffer is still read is dropped; the buffer is
// filled with the next block once free.
TEST_F(PlatformRecorderTest, BlockForABufferInUseIsDropped) {
  make(5, SampleRate_16000, 2048);
  recorder_->startRecording();
  source_->deliver(ramp(2048, 1), ago(milliseconds(0)));
  listener_.busyIndex = 1;
  source_->deliver(ramp(2048, 2049), ago(milliseconds(0)));
  listener_.busyIndex = -1;
  source_->deliver(ramp(2048, 4097), ago(milliseconds(0)));
  const auto deliveries = listener_.deliveries();
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[1].index, 1u);
  EXPECT_EQ(deliveries[1].samples, ramp(2048, 4097));
  EXPECT_EQ(recorder_->droppedBlocks(), 1u);
}

// A source that may be held (a file played as fast as it is decoded) waits
// for the busy buffer instead of losing the block; a stop ends the wait
// without a delivery and without counting a drop.
class HeldSourceTest : public PlatformRecorderTest, public testing::WithParamInterface<bool> {};

TEST_P(HeldSourceTest, WaitsForTheBusyBuffer) {
  const bool stopWhileWaiting = GetParam();
  make(5, SampleRate_16000, 2048);
  source_->setHeldBySink(true);
  recorder_->startRecording();
  source_->deliver(ramp(2048, 1), ago(milliseconds(0)));
  listener_.busyIndex = 1;
  std::thread capture([&] { source_->deliver(ramp(2048, 2049), ago(milliseconds(0))); });
  ASSERT_TRUE(listener_.awaitWaits(1));
  EXPECT_EQ(listener_.deliveries().size(), 1u);  // still held
  if (stopWhileWaiting) {
    recorder_->stopRecording();
  } else {
    listener_.freeAll();
  }
  capture.join();
  const auto deliveries = listener_.deliveries();
  EXPECT_EQ(recorder_->droppedBlocks(), 0u);
  if (stopWhileWaiting) {
    EXPECT_EQ(deliveries.size(), 1u);
  } else {
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].index, 1u);
    EXPECT_EQ(deliveries[1].samples, ramp(2048, 2049));
  }
}

INSTANTIATE_TEST_SUITE_P(Source, HeldSourceTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "StopEndsTheWait" : "DeliveredOnceFree";
                         });

struct BacklogCase {
  const char* name;
  unsigned short rate;
  unsigned frames;
  std::vector<int> chunks;  // samples per callback, numbered on from 1
  int hostAgoMs;            // capture delay of every callback
  std::vector<int64_t> corrections;
  std::vector<int> firstSamples;  // first sample of each delivery
};

class BacklogTest : public PlatformRecorderTest,
                    public testing::WithParamInterface<BacklogCase> {};

TEST_P(BacklogTest, TimeStampsShiftByBacklogAndDelay) {
  const BacklogCase& c = GetParam();
  make(5, static_cast<SampleRate>(c.rate), c.frames);
  recorder_->startRecording();
  int next = 1;
  for (int n : c.chunks) {
    source_->deliver(ramp(n, next), ago(milliseconds(c.hostAgoMs)));
    next += n;
  }
  EXPECT_EQ(corrections(), c.corrections);
  std::vector<int> firsts;
  for (const auto& d : listener_.deliveries()) {
    firsts.push_back(d.samples[0]);
    EXPECT_EQ(d.samples, ramp(static_cast<int>(c.frames), d.samples[0]));
  }
  EXPECT_EQ(firsts, c.firstSamples);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BacklogTest,
    testing::Values(
        // 1000 samples wait: 1000 / 16000 s = 62.5 ms, truncated.
        BacklogCase{"Backlog62ms", 16, 2048, {1000, 2048}, 0, {62}, {1}},
        BacklogCase{"BacklogPlusDelay", 16, 2048, {1000, 2048}, 250, {312}, {1}},
        BacklogCase{"LessThanABuffer", 16, 2048, {1000, 1000}, 0, {}, {}},
        // One delivery per callback, however much is unread.
        BacklogCase{"OnePerCallback", 16, 2048, {4096, 2048}, 0, {128, 128}, {1, 2049}},
        // A rate that is no single flag captures at 8000 Hz.
        BacklogCase{"NotAFlagIs8kHz", 3, 1024, {1824}, 0, {100}, {1}},
        // 12000 samples into a ring of 10240: the 1760 oldest go.
        BacklogCase{"OverflowDropsOldest", 16, 2048, {12000}, 0, {512}, {1761}}),
    [](const testing::TestParamInfo<BacklogCase>& info) { return info.param.name; });

TEST_F(PlatformRecorderTest, DelayCorrectionTurnsOffAndOnAgain) {
  tltest::LogCapture log;
  make(5, SampleRate_16000, 2048);
  recorder_->startRecording();
  const CaptureStamp invalid{false, 0};
  const CaptureStamp future{true, steadyNanos() + 1000};
  const CaptureStamp zero{true, 0};
  const std::vector<CaptureStamp> stamps = {
      ago(milliseconds(40)),    // on: 40
      invalid,                  // not valid: 0, correction stays on
      ago(milliseconds(40)),    // 40
      ago(milliseconds(12000)), // too old: off, 0
      ago(milliseconds(12000)), // still off, no second Error
      ago(milliseconds(1000)),  // sensible: on again, this one 0
      ago(milliseconds(1000)),  // 1000
      future,                   // off
      ago(milliseconds(0)),     // now is not later than the host time: stays off
      ago(milliseconds(5)),     // on again, 0
      zero,                     // off
  };
  for (const CaptureStamp& s : stamps) source_->deliver(ramp(2048), s);
  EXPECT_EQ(corrections(),
            (std::vector<int64_t>{40, 0, 40, 0, 0, 0, 1000, 0, 0, 0, 0}));
  const char* off =
      "Audio Buffer correction impossible as inconsistent times are being provided by the "
      "AudioRecorder. Turning off correction..";
  const char* on = "Audio Buffer correction seems to return sensible values again: turning it on again...";
  EXPECT_EQ(log.matching(off).size(), 3u);
  EXPECT_EQ(log.matching(off)[0].level, 4);
  EXPECT_EQ(log.matching(on).size(), 2u);
  EXPECT_EQ(log.matching(on)[0].level, 3);
  EXPECT_EQ(log.matching("Host time not valid in audio buffer timestamp").size(), 1u);
}

TEST_F(PlatformRecorderTest, StartStopAndTheirCalls) {
  tltest::LogCapture log;
  make(5, SampleRate_16000, 2048);
  EXPECT_EQ(recorder_->getAvailableSampleRates(0), 16);
  recorder_->startRecording();
  recorder_->startRecording();
  EXPECT_EQ(log.matching("Recorder was already started").size(), 1u);
  source_->deliver(ramp(1000), ago(milliseconds(0)));
  recorder_->stopRecording();
  EXPECT_FALSE(source_->deliver(ramp(10), ago(milliseconds(0))));
  // The 1000 samples of before the stop are gone.
  recorder_->startRecording();
  source_->deliver(ramp(2048, 5000), ago(milliseconds(0)));
  ASSERT_EQ(listener_.deliveries().size(), 1u);
  EXPECT_EQ(listener_.deliveries()[0].samples[0], 5000);
  EXPECT_EQ(corrections(), std::vector<int64_t>{0});
  EXPECT_EQ(source_->calls(), (std::vector<std::string>{"open 16000 2048 5", "rates", "start",
                                                        "stop", "flush", "start"}));
  EXPECT_EQ(session_->calls(),
            (std::vector<std::string>{"active 0", "category 41", "category 41", "active 1",
                                      "permission", "category 41", "active 1", "permission"}));
  EXPECT_EQ(session_->observerCount(), 1);
  recorder_.reset();
  EXPECT_EQ(session_->observerCount(), 0);
}

TEST_F(PlatformRecorderTest, StartedIsPerRecorder) {
  make();
  recorder_->startRecording();
  make();  // replaces the running recorder
  recorder_->startRecording();
  EXPECT_TRUE(source_->isStarted());
}

struct StartCase {
  const char* name;
  int status;
  const char* what;  // nullptr: no exception
  bool mic;          // MicUnavailableException rather than IOSAudioException
};

class StartStatusTest : public PlatformRecorderTest,
                        public testing::WithParamInterface<StartCase> {};

TEST_P(StartStatusTest, Throws) {
  tltest::LogCapture log;
  make();
  source_->setStatus("start", GetParam().status);
  try {
    recorder_->startRecording();
    EXPECT_EQ(GetParam().what, nullptr);
  } catch (const MicUnavailableException& e) {
    EXPECT_TRUE(GetParam().mic);
    EXPECT_STREQ(e.what(), GetParam().what);
  } catch (const IOSAudioException& e) {
    EXPECT_FALSE(GetParam().mic);
    EXPECT_STREQ(e.what(), GetParam().what);
  }
  if (GetParam().what == nullptr) return;
  // At Debug: the decoder reports what it catches, once.
  const auto lines = log.matching("Failed to start audio recorder, result: ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].message, "Failed to start audio recorder, result: " +
                                  std::to_string(GetParam().status) + " (manual)");
  EXPECT_EQ(session_->observerCount(), 0);
  // Not started: the next start tries again.
  source_->setStatus("start", 0);
  recorder_->startRecording();
  EXPECT_TRUE(source_->isStarted());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StartStatusTest,
    testing::Values(StartCase{"Started", 0, nullptr, false},
                    StartCase{"OtherAppHasPriority", 561017449,
                              "The app was not allowed to set the audio category because another "
                              "app (Phone, etc.) is controlling it.",
                              true},
                    StartCase{"DeviceBusy", -16,
                              "Failed to start audio recorder, result: -16 (manual)", false}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

// A recorder whose source did not open captures nothing, so its start
// fails (naming the source) rather than letting the decoder report listening.
TEST_F(PlatformRecorderTest, WithoutQueueStartFailsNamingTheSource) {
  tltest::LogCapture log;
  auto source = std::make_unique<ManualCaptureSource>();
  source->setStatus("open", -19);
  source_ = source.get();
  recorder_ = std::make_unique<IOSAudioRecorder>(std::move(source), session_,
                                                 std::make_unique<ManualDelayedExecutor>(), clock_);
  recorder_->setup(5);
  recorder_->createRecorder(SampleRate_16000, 2048);
  const auto created = log.matching("Failed to create new audio input queue, result: ");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].message, "Failed to create new audio input queue, result: -19 (manual)");
  EXPECT_EQ(recorder_->getShortBuffer(0), nullptr);
  try {
    recorder_->startRecording();
    ADD_FAILURE() << "started without a queue";
  } catch (const IOSAudioException& e) {
    EXPECT_STREQ(e.what(), "Failed to start audio recorder: no audio input queue (manual)");
  }
  recorder_->stopRecording();
  EXPECT_EQ(source_->calls(), std::vector<std::string>{"open 16000 2048 5"});
  EXPECT_EQ(session_->observerCount(), 0);
}

TEST_F(PlatformRecorderTest, RefusedPermissionThrows) {
  tltest::LogCapture log;
  make();
  session_->setPermission(true, false);
  EXPECT_THROW(recorder_->startRecording(), NoMicPermissionException);
  EXPECT_EQ(log.matching("Failed to get microphone permission").size(), 1u);
  EXPECT_FALSE(recorder_->hasFailed());
}

TEST_F(PlatformRecorderTest, LateRefusalMarksTheRecorderFailed) {
  tltest::LogCapture log;
  make();
  session_->setPermission(true, std::nullopt);
  const auto deadline = clock_.steadyNow() + IOSAudioRecorder::kPermissionWait;
  std::thread starter([&] { recorder_->startRecording(); });
  ASSERT_TRUE(clock_.awaitDeadline(deadline));
  clock_.advance(IOSAudioRecorder::kPermissionWait);
  starter.join();
  EXPECT_EQ(log.matching("Microphone permission not answered yet").size(), 1u);
  EXPECT_FALSE(recorder_->hasFailed());
  EXPECT_EQ(session_->answerPendingPermission(false), 1);
  EXPECT_TRUE(recorder_->hasFailed());
  EXPECT_EQ(log.matching("Failed to get microphone permission").size(), 1u);
}

TEST_F(PlatformRecorderTest, AvailableRatesFailures) {
  make();
  session_->setActivationResult(false, false);
  try {
    recorder_->getAvailableSampleRates(0);
    FAIL();
  } catch (const IOSAudioException& e) {
    EXPECT_STREQ(e.what(), "AVAudioSession deactivation Error");
  }
  session_->setActivationResult(false, true);
  session_->setCategoryResult(false);
  try {
    recorder_->getAvailableSampleRates(0);
    FAIL();
  } catch (const IOSAudioException& e) {
    EXPECT_STREQ(e.what(), "AVAudioSession setCategory Error");
  }
  session_->setCategoryResult(true);
  source_->setRates(0, [] { throw std::runtime_error("device gone"); });
  try {
    recorder_->getAvailableSampleRates(0);
    FAIL();
  } catch (const IOSAudioException& e) {
    EXPECT_STREQ(e.what(), "Cannot get the sample rates of manual: device gone");
  }
}

TEST_F(PlatformRecorderTest, InterruptionPausesAndResumesAfterHalfASecond) {
  make();
  recorder_->startRecording();
  session_->postInterruption(IAudioSession::kInterruptionBegan);
  EXPECT_FALSE(source_->isStarted());
  session_->postInterruption(IAudioSession::kInterruptionEnded);
  EXPECT_EQ(listener_.states(), (std::vector<int>{0, 1}));
  EXPECT_EQ(executor_->pendingDelays(), std::vector<milliseconds>{milliseconds(500)});
  EXPECT_EQ(executor_->runPending(), 1u);
  EXPECT_TRUE(source_->isStarted());
  EXPECT_TRUE(executor_->pendingDelays().empty());
  // Stopped while interrupted: the resume does not restart capture.
  session_->postInterruption(IAudioSession::kInterruptionBegan);
  session_->postInterruption(IAudioSession::kInterruptionEnded);
  recorder_->stopRecording();
  executor_->runPending();
  EXPECT_FALSE(source_->isStarted());
}

TEST_F(PlatformRecorderTest, ResumeRetriesFiveTimesInTheRecordersLife) {
  tltest::LogCapture log;
  make();
  recorder_->startRecording();
  source_->setStatus("start", -5);
  session_->postInterruption(IAudioSession::kInterruptionBegan);
  session_->postInterruption(IAudioSession::kInterruptionEnded);
  int runs = 0;
  while (executor_->runPending() > 0) ++runs;
  EXPECT_EQ(runs, 6);  // the first attempt and 5 retries
  for (int left = 5; left >= 1; --left) {
    EXPECT_EQ(log.matching("recursively trying to resume " + std::to_string(left)).size(), 1u);
  }
  EXPECT_EQ(log.matching("Failed to start audio decoder after 5 times").size(), 1u);
  // The budget is spent: a later interruption tries once.
  session_->postInterruption(IAudioSession::kInterruptionEnded);
  EXPECT_EQ(executor_->runPending(), 1u);
  EXPECT_TRUE(executor_->pendingDelays().empty());
}

struct IntegrityCase {
  const char* name;
  std::vector<std::pair<int, int>> zeroRuns;  // [first, last) in 1000 samples
  const char* detail;                          // nullptr: nothing logged
};

class AudioIntegrityTest : public PlatformRecorderTest,
                           public testing::WithParamInterface<IntegrityCase> {};

TEST_P(AudioIntegrityTest, LongZeroRunsAreReported) {
  tltest::LogCapture log;
  make();
  std::vector<int16_t> samples(1000, 5);
  for (const auto& [first, last] : GetParam().zeroRuns) {
    std::fill(samples.begin() + first, samples.begin() + last, int16_t{0});
  }
  recorder_->checkAudioIntegrity(samples.data(), 1000);
  const auto lines = log.matching("AudioQueueEnqueue buffer");
  if (GetParam().detail == nullptr) {
    EXPECT_TRUE(lines.empty());
    return;
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "AudioQueueEnqueue buffer returned more than 500 zero-valued samples!");
  EXPECT_EQ(lines[1].message, GetParam().detail);
  EXPECT_EQ(log.matching("Input buffer count is 0, capacity is 0").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, AudioIntegrityTest,
    testing::Values(
        IntegrityCase{"FiveHundredIsFine", {{100, 600}}, nullptr},
        IntegrityCase{"OneLongRun", {{100, 700}},
                      "AudioQueueEnqueue buffer had 600 zero-valued samples starting at 101 and "
                      "ending at 700 (out of 1000)"},
        // Start and end belong to the first run of 12 or more zeros.
        IntegrityCase{"FirstRunOfTwelveNamesThePlace", {{3, 14}, {20, 32}, {100, 601}},
                      "AudioQueueEnqueue buffer had 501 zero-valued samples starting at 21 and "
                      "ending at 32 (out of 1000)"},
        IntegrityCase{"RunToTheEnd", {{0, 1000}},
                      "AudioQueueEnqueue buffer had 1000 zero-valued samples starting at 1 and "
                      "ending at 1000 (out of 1000)"}),
    [](const testing::TestParamInfo<IntegrityCase>& info) { return info.param.name; });

TEST(PlatformRecorderFileTest, RecordingDeliveredPacedAtTheChosenRateUntilStopped) {
  tltest::TempDir dir;
  const std::vector<int16_t> recording = ramp(480, -240);
  std::ofstream(dir.file("r.raw"), std::ios::binary)
      .write(reinterpret_cast<const char*>(recording.data()), 960);
  tltest::FakeClock clock;
  RecordingListener listener;
  auto recorder = std::make_unique<IOSAudioRecorder>(
      std::make_unique<FileCaptureSource>(dir.file("r.raw"), FileCaptureSource::Options{}, clock),
      std::make_shared<LocalAudioSession>(), std::make_unique<ManualDelayedExecutor>(), clock);
  listener.attach(recorder.get(), 160);
  recorder->initialise(&listener);
  recorder->setup(5);
  EXPECT_EQ(recorder->getAvailableSampleRates(0), 0x3FFE);
  recorder->createRecorder(SampleRate_8000, 160);  // 20 ms buffers
  recorder->startRecording();
  for (std::size_t i = 1; i <= 3; ++i) {
    clock.advance(milliseconds(20));
    ASSERT_TRUE(listener.await(i));
  }
  recorder->stopRecording();
  clock.advance(milliseconds(100));
  recorder.reset();
  const auto deliveries = listener.deliveries();
  ASSERT_EQ(deliveries.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(deliveries[i].samples, ramp(160, -240 + 160 * i));
    EXPECT_EQ(deliveries[i].index, static_cast<unsigned>(i));
  }
}

// The factory's recorder on ALSA's "null" device: the whole real path, from
// the environment's choice to deliveries on the capture thread.
TEST(PlatformRecorderAlsaTest, FactoryRecorderCapturesFromTheChosenDevice) {
  ASSERT_EQ(setenv("TL_AUDIO_SOURCE", "alsa:null", 1), 0);
  std::unique_ptr<IAudioRecorder> recorder = createAudioRecorder();
  unsetenv("TL_AUDIO_SOURCE");
  RecordingListener listener;
  listener.attach(recorder.get(), 512);
  recorder->initialise(&listener);
  recorder->setup(5);
  EXPECT_NE(recorder->getAvailableSampleRates(0) & SampleRate_16000, 0);
  recorder->createRecorder(SampleRate_16000, 512);
  recorder->startRecording();
  ASSERT_TRUE(listener.await(6));
  recorder->stopRecording();
  const std::size_t atStop = listener.deliveries().size();
  recorder.reset();
  const auto deliveries = listener.deliveries();
  EXPECT_EQ(deliveries.size(), atStop);
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    EXPECT_EQ(deliveries[i].index, i % 5);
    EXPECT_EQ(deliveries[i].samples, std::vector<int16_t>(512, 0));
  }
}

}  // namespace
}  // namespace tembrolexinsdk
