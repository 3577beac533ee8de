// The custom recorder bridge with the core's recorder and decoder faked:
// result codes, events on the main queue, the Destroyed event of its own
// recorder only, and the feed gate around installs.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/api/tl_recorder.h"
#include "platform/runtime/tl_logger.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

class FakeCoreRecorder : public tembrolexinsdk::IAudioRecorder {
 public:
  FakeCoreRecorder(int64_t id, std::vector<std::string>& log) : id(id), log_(log) {}
  ~FakeCoreRecorder() override { log_.push_back("destroyed:" + std::to_string(id)); }
  const std::string& GetName() const override { return name_; }
  void initialise(tembrolexinsdk::IAudioRecorderListener*) override {}
  void setup(unsigned int) override {}
  unsigned short getAvailableSampleRates(unsigned short) override { return 0; }
  void createRecorder(tembrolexinsdk::SampleRate, unsigned int) override {}
  void setFilePath(const std::string&) override {}
  void startRecording() override {}
  void stopRecording() override {}
  short* getShortBuffer(unsigned char) override { return nullptr; }
  bool hasFailed() override { return false; }

  const int64_t id;
  int result = 0;

 private:
  const std::string name_ = "CustomRecorder";
  std::vector<std::string>& log_;
};

class Listener : public TLRecorderListener {
 public:
  void recorderInitialised(Recorder&) override { calls.push_back("initialised" + where()); }
  void startedRecording(Recorder&) override { calls.push_back("started" + where()); }
  void stoppedRecording(Recorder&) override { calls.push_back("stopped" + where()); }
  std::vector<std::string> calls;  // main thread only
  std::thread::id mainThread = std::this_thread::get_id();

 private:
  std::string where() const { return std::this_thread::get_id() == mainThread ? "" : "@other"; }
};

class RecorderBridgeTest : public testing::Test {
 protected:
  RecorderBridgeTest() {
    dispatcher_.mainQueue()->bindToCurrentThread();
    core_.make = [this](int32_t rate) -> std::unique_ptr<tembrolexinsdk::IAudioRecorder> {
      if (rate == 12345) throw std::invalid_argument("unsupported rate");
      return std::make_unique<FakeCoreRecorder>(++nextId_, log_);
    };
    core_.provideSamples = [](tembrolexinsdk::IAudioRecorder& r, const int16_t*, int32_t) {
      return static_cast<FakeCoreRecorder&>(r).result;
    };
    core_.maximumBufferSize = [](tembrolexinsdk::IAudioRecorder&) { return 4096; };
    core_.instanceId = [](const tembrolexinsdk::IAudioRecorder& r) {
      return static_cast<const FakeCoreRecorder&>(r).id;
    };
    core_.install = [this](std::unique_ptr<tembrolexinsdk::IAudioRecorder> r) {
      log_.push_back(r ? "install:" + std::to_string(static_cast<FakeCoreRecorder&>(*r).id)
                       : std::string("install:default"));
      installed_ = std::move(r);  // destroys the one before, as the core does
    };
  }
  ~RecorderBridgeTest() override { installed_.reset(); }

  std::shared_ptr<Recorder> make(std::shared_ptr<Listener> listener, int32_t rate = 16000) {
    return Recorder::create(messenger_, std::move(listener), rate, core_,
                            SafeDispatch(dispatcher_));
  }
  void coreEvent(int32_t type, int64_t instance, const std::string& sender = "CustomRecorder") {
    RecorderEvent e;
    e.__set_eventType(type);
    e.__set_instance(instance);
    MessageEnvelope env = MessageEnvelope::wrap(e);
    bus_.send(sender, std::make_unique<tembrolexinsdk::ThriftParams>(25, env.data().size(),
                                                                    env.data().data()));
  }
  // Runs the main queue until `done` (set by main-queue blocks) or 10 s.
  bool pumpUntil(const std::function<bool()>& done) {
    return dispatcher_.mainQueue()->runUntil(done, 10s);
  }

  tltest::FakeClock clock_;
  Dispatcher dispatcher_{Dispatcher::Options{&clock_, TimerMode::kManual, 1, false}};
  tembrolexinsdk::Messenger bus_;
  std::shared_ptr<Messenger> messenger_ = std::make_shared<Messenger>(&bus_);
  RecorderCore core_;
  int64_t nextId_ = 100;
  std::vector<std::string> log_;
  std::unique_ptr<tembrolexinsdk::IAudioRecorder> installed_;
  std::shared_ptr<Listener> listener_ = std::make_shared<Listener>();
};

TEST_F(RecorderBridgeTest, MissingPartsOrUnsupportedRateGiveNoRecorder) {
  struct Lines : TLLoggerDelegate {
    std::vector<std::string> texts;
    void logfromSender(const std::string&, const TLLogParams& p) override {
      texts.push_back(std::to_string(p.level) + ":" + p.message);
    }
  };
  auto lines = std::make_shared<Lines>();
  TLLogger::sharedLogger().setDelegate(lines);
  EXPECT_EQ(make(nullptr), nullptr);
  EXPECT_EQ(Recorder::create(nullptr, std::make_shared<Listener>(), 16000, core_), nullptr);
  EXPECT_EQ(make(std::make_shared<Listener>(), 12345), nullptr);
  TLLogger::sharedLogger().unsetDelegate();
  ASSERT_EQ(lines->texts.size(), 3u);
  EXPECT_EQ(lines->texts[0], "5:Cannot initialise recorder: listener is nil");
  EXPECT_EQ(lines->texts[1], "5:Cannot initialise recorder: messenger is nil");
  EXPECT_EQ(messenger_->receiverCount(25), 0u);
}

TEST_F(RecorderBridgeTest, CoreResultsMapToTheAppsCodes) {
  auto recorder = make(std::make_shared<Listener>());
  ASSERT_NE(recorder, nullptr);
  recorder->apply();
  auto& core = static_cast<FakeCoreRecorder&>(*installed_);
  const int16_t samples[4] = {};
  for (auto [coreResult, appResult] : std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 4}, {7, 5}, {-1, 5}}) {
    core.result = coreResult;
    EXPECT_EQ(recorder->provideSamples(samples, 4), appResult) << coreResult;
  }
  EXPECT_EQ(recorder->getMaximumBufferSize(), 4096);
}

TEST_F(RecorderBridgeTest, EventsReachTheListenerOnTheMainQueueOnlyFromTheCoreRecorder) {
  auto listener = std::make_shared<Listener>();
  auto recorder = make(listener);
  recorder->apply();
  coreEvent(0, 101, "Impostor");
  coreEvent(0, 101);
  coreEvent(1, 101);
  coreEvent(2, 101);
  coreEvent(9, 101);
  ASSERT_TRUE(pumpUntil([&] { return listener->calls.size() >= 3; }));
  EXPECT_EQ(listener->calls, (std::vector<std::string>{"initialised", "started", "stopped"}));
}

TEST_F(RecorderBridgeTest, OnlyItsOwnDestroyedEventClosesTheGateAndUnregisters) {
  auto recorder = make(listener_);
  recorder->apply();
  const int16_t samples[2] = {};
  coreEvent(3, 999);  // another recorder's end
  coreEvent(0, 101);  // its block on the main queue marks that both passed
  ASSERT_TRUE(pumpUntil([&] { return listener_->calls.size() == 1; }));
  EXPECT_EQ(recorder->provideSamples(samples, 2), 0);
  coreEvent(3, 101);
  ASSERT_TRUE(pumpUntil([&] { return messenger_->receiverCount(25) == 0; }));
  EXPECT_EQ(recorder->provideSamples(samples, 2), 6);
  EXPECT_EQ(recorder->getMaximumBufferSize(), 0);
}

TEST_F(RecorderBridgeTest, InstallingAnotherRecorderClosesTheGateOfTheOneBefore) {
  const int16_t samples[2] = {};
  auto first = make(std::make_shared<Listener>());
  auto second = make(std::make_shared<Listener>());
  EXPECT_EQ(second->provideSamples(samples, 2), 0);  // not applied: still ours to feed
  first->apply();
  second->apply();
  // The core destroyed the first while installing the second; the gate was
  // shut before, so no sample can reach it, Destroyed event or not.
  EXPECT_EQ(first->provideSamples(samples, 2), 6);
  EXPECT_EQ(second->provideSamples(samples, 2), 0);
  second->apply();  // once only
  Recorder::useDefaultRecorder(core_);
  EXPECT_EQ(second->provideSamples(samples, 2), 6);
  EXPECT_EQ(log_, (std::vector<std::string>{"install:101", "install:102", "destroyed:101",
                                            "install:default", "destroyed:102"}));
}

}  // namespace
}  // namespace tembrolexinplatform
