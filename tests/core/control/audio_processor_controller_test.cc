#include "core/control/audio_processor_controller.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/core/control/controller_fakes.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"

namespace tltest {
namespace {

namespace fs = std::filesystem;
using State = AudioProcessorController::StateId;
using std::chrono::milliseconds;
using SystemTime = AudioProcessorController::SystemTime;

const char kIdle[] = "status:fakeProc is Idle.\n";
const char kInactive[] = "status:Inactive\n";

void touch(const std::string& path) { std::ofstream(path) << "x"; }

class AudioControllerTest : public ::testing::Test {
 protected:
  template <typename P = RecordingAudioProcessor<>, typename... Extra>
  void make(ProcessorSetup setup = {}, Extra... extra) {
    setup.log = &log_;
    setup.buffers = &buffers_;
    controller_ = std::make_unique<AudioProcessorController>(
        std::make_unique<P>(setup, extra...), &listener_, &bus_, "id1", "id2", clock_);
  }
  void initialise() {
    controller_->SetFilePath(dir_.path());
    controller_->SetDeviceId(7);
    ASSERT_TRUE(log_.await("SetFilePath:" + dataFolder()));
  }
  // Initialised, configured with a=1, audio at `rate`: idle.
  void toIdle(SampleRate rate = SampleRate_8000, unsigned frames = 1024) {
    initialise();
    controller_->Configure(config({kv("a", 1)}));
    controller_->SetAudioParameters(rate, frames);
    ASSERT_TRUE(log_.await(kIdle));
    ASSERT_TRUE(awaitState(State::Idle));
  }
  bool awaitState(State state) {
    for (int i = 0; i < 10000 && controller_->state() != state; ++i) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    return controller_->state() == state;
  }
  // Waits until a timer countdown of `delay` from now runs, then lets it expire.
  void expire(milliseconds delay) {
    ASSERT_TRUE(clock_.awaitDeadline(clock_.steadyNow() + delay));
    clock_.advance(delay);
  }
  std::string dataFolder() const { return dir_.path() + "/fakeProc"; }
  std::string readyFolder() const { return dir_.path() + "/readyToUpload/fakeProc"; }
  std::vector<std::string> calls(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& e : log_.entries()) {
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    }
    return out;
  }

  TempDir dir_;
  FakeClock clock_;
  CallLog log_;
  RecordingListener listener_{log_};
  RecordingMessenger bus_;
  std::vector<const short*> buffers_;
  std::unique_ptr<AudioProcessorController> controller_;
};

TEST_F(AudioControllerTest, InitialisesOnlyWithDeviceIdAndPath) {
  ProcessorSetup setup;
  setup.preferred = SampleRate_24000;
  make(setup);
  controller_->SetFilePath(dir_.path());
  controller_->SetDeviceId(7);
  ASSERT_TRUE(log_.await("SetFilePath:" + dataFolder()));
  EXPECT_EQ(log_.entries(), (std::vector<std::string>{"Initialise:24000", "SetDeviceId:7",
                                                      "SetFilePath:" + dataFolder()}));
  EXPECT_TRUE(fs::is_directory(readyFolder()));
  EXPECT_TRUE(awaitState(State::Configuring));
}

TEST_F(AudioControllerTest, ListensRotatesThreeBuffersAndStops) {
  make();
  toIdle();
  short samples[4][1024] = {{1}, {2}, {3}, {4}};
  const auto now = std::chrono::steady_clock::now();
  controller_->ProcessBuffer(samples[0], 1024, now, {});  // not listening: dropped
  controller_->Start();
  for (auto& block : samples) controller_->ProcessBuffer(block, 1024, now, {});
  controller_->Stop();
  ASSERT_TRUE(log_.await("Stop"));
  ASSERT_TRUE(log_.await(kIdle, 2));
  controller_.reset();
  const std::vector<std::string> expected = {"Start",
                                             "event:Audio processing complete",
                                             "ProcessBuffer:1024:1",
                                             "ProcessBuffer:1024:2",
                                             "ProcessBuffer:1024:3",
                                             "ProcessBuffer:1024:4",
                                             "Stop",
                                             kIdle,
                                             "~"};
  auto entries = log_.entries();
  EXPECT_EQ(std::vector<std::string>(entries.end() - expected.size(), entries.end()), expected);
  ASSERT_EQ(buffers_.size(), 4u);
  EXPECT_EQ(buffers_[3], buffers_[0]);
  EXPECT_EQ(std::set<const short*>(buffers_.begin(), buffers_.end()).size(), 3u);
}

struct ResampleCase {
  std::string name;
  SampleRate capture;
  SampleRate preferred;
  unsigned frames;
  unsigned short count;
  std::string expected;
};

class AudioResampleTest : public AudioControllerTest,
                          public ::testing::WithParamInterface<ResampleCase> {};

TEST_P(AudioResampleTest, HandsTheProcessorTheConvertedBuffer) {
  const ResampleCase& c = GetParam();
  ProcessorSetup setup;
  setup.preferred = c.preferred;
  make(setup);
  toIdle(c.capture, c.frames);
  std::vector<short> samples(c.count, 100);
  controller_->Start();
  controller_->ProcessBuffer(samples.data(), c.count, std::chrono::steady_clock::now(), {});
  const std::string call = log_.awaitPrefix("ProcessBuffer:");
  EXPECT_EQ(call.substr(0, c.expected.size()), c.expected) << call;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, AudioResampleTest,
    ::testing::Values(ResampleCase{"PassThrough", SampleRate_8000, SampleRate_8000, 1024, 1000,
                                   "ProcessBuffer:1000:100"},
                      ResampleCase{"Upsample8kTo24kTriples", SampleRate_8000, SampleRate_24000,
                                   1024, 1024, "ProcessBuffer:3072:"},
                      ResampleCase{"Decimate48kTo8k", SampleRate_48000, SampleRate_8000, 6144, 6144,
                                   "ProcessBuffer:1024:"},
                      ResampleCase{"LongerBufferIsCut", SampleRate_8000, SampleRate_8000, 512, 1024,
                                   "ProcessBuffer:512:100"}),
    [](const ::testing::TestParamInfo<ResampleCase>& info) { return info.param.name; });

TEST_F(AudioControllerTest, BufferedProcessorGetsBothTimes) {
  make<BufferedProcessor>();
  toIdle();
  EXPECT_EQ(calls("InitialiseBuffered"), std::vector<std::string>{"InitialiseBuffered:8000"});
  EXPECT_EQ(calls("ConfigureBuffered"), std::vector<std::string>{"ConfigureBuffered:a=1"});
  short samples[8] = {};
  controller_->Start();
  controller_->ProcessBuffer(samples, 8, std::chrono::steady_clock::now(),
                             SystemTime(std::chrono::microseconds(123456)));
  EXPECT_TRUE(log_.await("ProcessBufferWithTimes:8@123456"));
}

TEST_F(AudioControllerTest, SignalsQueuedWhileConfiguringRunAfterFirstConfiguration) {
  make();
  initialise();
  controller_->SetAudioParameters(SampleRate_8000, 1024);
  controller_->Start();
  controller_->Configure(config({kv("a", 1)}));
  ASSERT_TRUE(log_.await("event:Audio processing complete"));
  EXPECT_EQ(log_.since(3), (std::vector<std::string>{"Configure:a=1", "Start",
                                                     "event:Audio processing complete"}));
}

TEST_F(AudioControllerTest, QuitEndsEveryState) {
  using Step = std::function<void()>;
  const auto ntpReady = [&](bool start) {
    make<NtpProcessor>(ProcessorSetup{}, true);
    controller_->SetFilePath(dir_.path());
    controller_->SetDeviceId(7);
    const auto ntp = std::make_shared<const NTPInfo>(1, 2, 3, 4, 5);
    controller_->UpdateNTPInfo(ntp, nullptr);
    ASSERT_TRUE(log_.await("Initialise:8000:ntp"));
    controller_->Configure(config({kv("a", 1)}));
    controller_->SetAudioParameters(SampleRate_8000, 1024);
    controller_->UpdateNTPInfo(ntp, nullptr);
    ASSERT_TRUE(log_.await("Configure:a=1:ntp"));
    if (start) controller_->Start();
    controller_->PrepareData();
    ASSERT_TRUE(log_.await("ntp?", 3));
  };
  const std::vector<std::tuple<std::string, State, Step>> cases = {
      {"Initialising", State::Initialising, [&] { make(); }},
      {"Configuring", State::Configuring, [&] { make(), initialise(); }},
      {"WaitingForValidSampleRate", State::WaitingForValidSampleRate,
       [&] {
         ProcessorSetup setup;
         setup.preferred = SampleRate_16000;
         make(setup);
         initialise();
         controller_->SetAudioParameters(SampleRate_24000, 1024);
         controller_->Configure(config({kv("a", 1)}));
         ASSERT_TRUE(log_.await(kInactive));
       }},
      {"Idle", State::Idle, [&] { make(), toIdle(); }},
      {"Listening", State::Listening,
       [&] {
         make(), toIdle();
         controller_->Start();
         ASSERT_TRUE(log_.await("Start"));
       }},
      {"PreparingData", State::PreparingData, [&] { ntpReady(false); }},
      {"PreparingDataWhileListening", State::PreparingDataWhileListening, [&] { ntpReady(true); }},
      {"Inactive", State::Inactive,
       [&] {
         make(), initialise();
         controller_->Configure(config({kv(std::string("*_meta_enabled"), false)}));
         ASSERT_TRUE(log_.await(kInactive));
       }},
  };
  for (const auto& [name, state, reach] : cases) {
    SCOPED_TRACE(name);
    const int deleted = log_.count("~");
    reach();
    EXPECT_TRUE(awaitState(state));
    controller_.reset();
    EXPECT_EQ(log_.count("~"), deleted + 1);
  }
}

struct FailureCase {
  std::string name;
  std::string throwOn;
  std::string failure;
};

class AudioFailureTest : public AudioControllerTest,
                         public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AudioFailureTest, ProcessorExceptionEndsControllerWithOnFailed) {
  ProcessorSetup setup;
  setup.throwOn = {GetParam().throwOn};
  make(setup);
  controller_->SetFilePath(dir_.path());
  controller_->SetDeviceId(7);
  controller_->Configure(config({kv("a", 1)}));
  controller_->SetAudioParameters(SampleRate_8000, 1024);
  controller_->PrepareData();
  controller_->Start();
  ASSERT_TRUE(log_.await("failed:" + GetParam().failure));
  EXPECT_TRUE(awaitState(State::Done));
  controller_->Stop();  // nobody listens any more: dropped at once
  controller_.reset();
  EXPECT_EQ(log_.count("threw:" + GetParam().throwOn), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, AudioFailureTest,
    ::testing::Values(
        FailureCase{"Initialise", "Initialise", "Initialise failed"},
        FailureCase{"Configure", "Configure", "Configure failed"},
        FailureCase{"PrepareData", "PrepareData",
                    "statePreparingData (fakeProc Controller): exception: PrepareData failed"},
        FailureCase{"Start", "Start", "Start failed"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

struct UnionCase {
  std::string name;
  std::vector<std::vector<Entry>> maps;
  std::vector<std::string> configures;
};

class AudioConfigTest : public AudioControllerTest,
                        public ::testing::WithParamInterface<UnionCase> {};

TEST_P(AudioConfigTest, ProcessorGetsUnionOfChangedMaps) {
  make();
  initialise();
  for (const auto& entries : GetParam().maps) controller_->Configure(config(entries));
  controller_->PrepareData();  // handled in Idle, after the maps
  ASSERT_TRUE(log_.await("PrepareData"));
  EXPECT_EQ(calls("Configure:"), GetParam().configures);
}

INSTANTIATE_TEST_SUITE_P(
    Maps, AudioConfigTest,
    ::testing::Values(UnionCase{"IdenticalTwice", {{kv("a", 1)}, {kv("a", 1)}}, {"Configure:a=1"}},
                      UnionCase{"RemovingKeysIsNoChange",
                                {{kv("a", 1), kv("b", 2)}, {kv("a", 1)}, {}},
                                {"Configure:a=1,b=2"}},
                      UnionCase{"AddedKeyGivesUnion",
                                {{kv("a", 1)}, {kv("b", 2)}},
                                {"Configure:a=1", "Configure:a=1,b=2"}},
                      UnionCase{"ChangedValueReplaces",
                                {{kv("a", 1), kv("b", 2)}, {kv("a", 3)}},
                                {"Configure:a=1,b=2", "Configure:a=3,b=2"}},
                      UnionCase{"MetaKeysWithheld",
                                {{kv("a", 1), kv(std::string("fakeProc_meta_NTPfrequency"), 5),
                                  kv(std::string("*_meta_x"), 1)}},
                                {"Configure:a=1"}}),
    [](const ::testing::TestParamInfo<UnionCase>& info) { return info.param.name; });

TEST_F(AudioControllerTest, DisableWhileListeningStopsOnceAndWildcardReenables) {
  LogCapture logs;
  make();
  toIdle();
  controller_->Start();
  ASSERT_TRUE(log_.await("event:Audio processing complete"));
  const size_t mark = log_.size();
  controller_->Configure(config({kv(std::string("fakeProc_meta_enabled"), false)}));
  controller_->Configure(config({kv(std::string("fakeProc_meta_enabled"), false)}));  // again
  controller_->Start();  // only remembered while inactive
  controller_->Configure(config({kv(std::string("*_meta_enabled"), true)}));
  ASSERT_TRUE(log_.await("event:Audio processing complete", 2));
  EXPECT_EQ(log_.since(mark), (std::vector<std::string>{"Stop", kInactive, "Configure:a=1", "Start",
                                                        "event:Audio processing complete"}));
  EXPECT_EQ(logs.matching("New Configuration ignored: no changes").size(), 1u);
  EXPECT_TRUE(awaitState(State::Listening));
}

TEST_F(AudioControllerTest, NetworkTimeFailureRetriesAfterThirtySeconds) {
  make<NtpProcessor>(ProcessorSetup{}, true);
  controller_->SetFilePath(dir_.path());
  controller_->SetDeviceId(7);
  ASSERT_TRUE(log_.await("ntp?"));
  controller_->NTPFailed();
  expire(milliseconds(30000));
  ASSERT_TRUE(log_.await("ntp?", 2));
  EXPECT_EQ(log_.since(1), (std::vector<std::string>{"status:fakeProc::onNTPRequired\n", "ntp?"}));
  controller_->UpdateNTPInfo(std::make_shared<const NTPInfo>(1, 2, 3, 4, 5), nullptr);
  EXPECT_TRUE(log_.await("Initialise:8000:ntp"));
}

struct PeriodCase {
  std::string name;
  Entry value;
  int64_t expectedMillis;
  bool warns;
};

class AudioNtpPeriodTest : public AudioControllerTest,
                           public ::testing::WithParamInterface<PeriodCase> {};

TEST_P(AudioNtpPeriodTest, RefreshPeriodComesFromMetaKey) {
  LogCapture logs;
  make<NtpProcessor>(ProcessorSetup{}, false);  // consumes network time, never waits for it
  initialise();
  controller_->Configure(config({kv("a", 1), GetParam().value}));
  ASSERT_TRUE(log_.await("Configure:a=1"));
  expire(milliseconds(GetParam().expectedMillis));
  EXPECT_TRUE(log_.await("status:fakeProc::onNTPRequired\n"));
  EXPECT_EQ(logs.matching("getNTPFrequency (fakeProc Controller) fakeProc_meta_NTPfrequency is "
                          "not of type ConfigurationParameter<int>")
                .size(),
            GetParam().warns ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, AudioNtpPeriodTest,
    ::testing::Values(
        PeriodCase{"Int", kv(std::string("fakeProc_meta_NTPfrequency"), 5000), 5000, false},
        PeriodCase{"WildcardLongLong", kv(std::string("*_meta_NTPfrequency"), 7000LL), 7000, false},
        PeriodCase{"TextKeepsDefault",
                   kv(std::string("fakeProc_meta_NTPfrequency"), std::string("5")), 86400000, true},
        PeriodCase{"ZeroKeepsDefault", kv(std::string("fakeProc_meta_NTPfrequency"), 0), 86400000,
                   true}),
    [](const ::testing::TestParamInfo<PeriodCase>& info) { return info.param.name; });

TEST_F(AudioControllerTest, RawConsumerConfigurationWaitsForRawTimeAndIsDroppedWithout) {
  make<RawNtpProcessor>();
  controller_->SetFilePath(dir_.path());
  controller_->SetDeviceId(7);
  const unsigned char packet[48] = {1};
  const auto raw = std::make_shared<const RawNTPInfo>(packet, 9);
  const auto ntp = std::make_shared<const NTPInfo>(1, 2, 3, 4, 5);
  controller_->UpdateNTPInfo(ntp, raw);
  ASSERT_TRUE(log_.await("InitialiseRaw:8000:raw"));
  controller_->Configure(config({kv("a", 1)}));
  ASSERT_TRUE(log_.await("ntp?", 2));        // asked again for the configuration
  controller_->UpdateNTPInfo(ntp, nullptr);  // no raw time: the map is dropped
  controller_->Configure(config({kv("a", 1)}));
  ASSERT_TRUE(log_.await("ntp?", 3));
  controller_->UpdateNTPInfo(ntp, raw);
  ASSERT_TRUE(log_.await("ConfigureRaw:a=1:raw"));
  EXPECT_EQ(calls("ConfigureRaw"), std::vector<std::string>{"ConfigureRaw:a=1:raw"});
}

TEST_F(AudioControllerTest, PowerStatusIsRefreshedEveryPeriod) {
  make<PowerProcessor>();
  toIdle();
  controller_->updatePowerDetectorStatus(PowerDetectorMsgStatus::type(2));
  ASSERT_TRUE(log_.await("Power:2"));
  expire(milliseconds(300000));
  ASSERT_TRUE(log_.await("Power:2", 2));
  expire(milliseconds(300000));
  EXPECT_TRUE(log_.await("Power:2", 3));
}

TEST_F(AudioControllerTest, PreparedFilesMoveWithSideFilesAndUnmovableOnesAreLeftOut) {
  const std::string moved = dir_.file("data1.bin");
  touch(moved);
  touch(dir_.file("data1.md5"));
  ProcessorSetup setup;
  setup.prepared = [&] { return new FilePreparedEventParams({moved, dir_.file("missing.bin")}); };
  make(setup);
  toIdle();
  controller_->PrepareData();
  ASSERT_TRUE(log_.await("PrepareData"));
  ASSERT_TRUE(log_.await(kIdle, 2));
  const auto prepared = listener_.prepared();
  ASSERT_EQ(prepared.size(), 1u);
  ASSERT_EQ(prepared[0].size(), 1u);
  EXPECT_EQ(prepared[0][0].first, readyFolder() + "/data1.bin");
  EXPECT_TRUE(prepared[0][0].second.empty());
  EXPECT_TRUE(fs::exists(readyFolder() + "/data1.md5"));
  EXPECT_FALSE(fs::exists(moved));
}

TEST_F(AudioControllerTest, StartUpReportsWaitingFilesButNoSideHiddenOrTemporaryOnes) {
  fs::create_directories(readyFolder());
  for (const char* name : {"a.dat", "b.dat", "a.md5", ".hidden", ".b.dat.tmpXYZ"}) {
    touch(readyFolder() + "/" + name);
  }
  make();
  initialise();
  const auto prepared = listener_.prepared();
  ASSERT_EQ(prepared.size(), 1u);
  std::set<std::string> paths;
  for (const auto& [path, check] : prepared[0]) paths.insert(path);
  EXPECT_EQ(paths, (std::set<std::string>{readyFolder() + "/a.dat", readyFolder() + "/b.dat"}));
}

TEST_F(AudioControllerTest, EventsPassAsCopiesWithCheckDataKept) {
  make();
  initialise();
  EXPECT_TRUE(listener_.prepared().empty());  // empty folder: no report
  const std::string file = dir_.file("c.bin");
  touch(file);
  controller_->onProcessorEvent(
      nullptr, std::make_unique<CheckedFilePreparedEventParams>(
                   std::vector<CheckedFilePreparedEventParams::CheckedPath>{{file, {0xab, 0x01}}})
                   .get());
  const ThriftParams message(5, 0, nullptr);
  controller_->onProcessorEvent(nullptr, &message);
  ASSERT_TRUE(log_.await("event:Msg type: 5"));
  const auto prepared = listener_.prepared();
  ASSERT_EQ(prepared.size(), 1u);
  EXPECT_EQ(prepared[0][0],
            (CheckedFilePreparedEventParams::CheckedPath{readyFolder() + "/c.bin", {0xab, 0x01}}));
}

int crossDeviceRename(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

TEST(MoveFileTest, AcrossFileSystemsCopiesAndDeletes) {
  TempDir dir;
  std::ofstream(dir.file("from")) << "payload";
  int error = 0;
  ASSERT_TRUE(audioprocessorcontroller::moveFile(dir.file("from"), dir.file("to"), error,
                                                 &crossDeviceRename));
  EXPECT_FALSE(fs::exists(dir.file("from")));
  std::ifstream in(dir.file("to"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "payload");
  EXPECT_FALSE(audioprocessorcontroller::moveFile(dir.file("none"), dir.file("to2"), error,
                                                  &crossDeviceRename));
  EXPECT_FALSE(fs::exists(dir.file("to2")));
}

}  // namespace
}  // namespace tltest

namespace tltest {
namespace {

// Pacing of a processor that decodes on a thread of its own. The test plays
// the processor: it reports buffers finished ("finish": decoded, "drop":
// dropped undecoded) through the controller's listener faces, and moves the
// fake clock over the stall limit ("expire") once the controller waits for
// it ("waits"). "feed" gives the controller the next buffer (1, 2, ...);
// "got:N" waits until the processor has buffer N; "sync" waits until
// everything fed before it has been handed or dropped; "handed:N" checks how
// many buffers the processor has got so far.
struct PacingCase {
  std::string name;
  std::vector<std::string> steps;
  std::vector<int> handed;  // buffers the processor got, in order
  uint64_t dropped;         // buffers the controller dropped for it
  std::vector<std::string> warnings;
};

class AudioPacingTest : public AudioControllerTest,
                        public ::testing::WithParamInterface<PacingCase> {};

TEST_P(AudioPacingTest, HoldsTheFeederOnlyForAProcessorThatDecodesAndIsBehind) {
  LogCapture logs;
  make();
  toIdle();
  controller_->Start();
  ASSERT_TRUE(log_.await("Start"));
  IProcessorListener* asListener = controller_.get();
  IAudioFlowListener* asFlow = controller_.get();
  const ProcessingCompleteParams done;
  std::vector<std::array<short, 1024>> samples(20);
  int fed = 0;
  int syncs = 0;
  for (const std::string& step : GetParam().steps) {
    SCOPED_TRACE(step);
    if (step == "feed") {
      samples[fed].fill(static_cast<short>(fed + 1));
      controller_->ProcessBuffer(samples[fed++].data(), 1024, std::chrono::steady_clock::now(),
                                 {});
    } else if (step == "finish") {
      asListener->onProcessorEvent(nullptr, &done);
    } else if (step == "drop") {
      asFlow->onAudioDropped(nullptr);
    } else if (step == "waits") {
      ASSERT_TRUE(clock_.awaitDeadline(clock_.steadyNow() +
                                       AudioProcessorController::kDefaultStallLimit));
    } else if (step == "expire") {
      clock_.advance(AudioProcessorController::kDefaultStallLimit);
    } else if (step == "sync") {
      controller_->PrepareData();  // handled after the buffers fed before it
      ASSERT_TRUE(log_.await("PrepareData", ++syncs));
    } else if (step.rfind("handed:", 0) == 0) {
      EXPECT_EQ(calls("ProcessBuffer:").size(), std::stoul(step.substr(7)));
    } else if (step.rfind("got:", 0) == 0) {
      ASSERT_TRUE(log_.await("ProcessBuffer:1024:" + step.substr(4)));
    }
  }
  std::vector<int> handed;
  for (const std::string& call : calls("ProcessBuffer:")) {
    handed.push_back(std::stoi(call.substr(call.rfind(':') + 1)));
  }
  EXPECT_EQ(handed, GetParam().handed);
  EXPECT_EQ(controller_->droppedBuffers(), GetParam().dropped);
  for (const std::string& warning : GetParam().warnings) {
    EXPECT_EQ(logs.matching(warning).size(), 1u) << warning;
  }
}

const char kStallWarning[] =
    "fakeProc has finished no buffer for 500 ms: its buffers are dropped until it does";

INSTANTIATE_TEST_SUITE_P(
    Processors, AudioPacingTest,
    ::testing::Values(
        PacingCase{"NeverReportingIsNeverWaitedFor",
                   {"feed", "feed", "feed", "feed", "feed", "feed", "sync"},
                   {1, 2, 3, 4, 5, 6},
                   0,
                   {}},
        // Once held, it goes on when two are finished, and then hands two.
        PacingCase{"DecodingAndBehindWaitsForTwoFinished",
                   {"feed", "got:1", "finish", "feed", "feed", "feed", "got:4", "feed", "waits",
                    "handed:4", "finish", "handed:4", "finish", "got:5", "feed", "got:6", "feed",
                    "waits", "handed:6", "finish", "finish", "got:7", "sync"},
                   {1, 2, 3, 4, 5, 6, 7},
                   0,
                   {}},
        // One finished within the stall limit is not a stall: its buffer is used.
        PacingCase{"OneFinishedWithinTheStallLimitIsUsed",
                   {"feed", "got:1", "finish", "feed", "feed", "feed", "got:4", "feed", "waits",
                    "finish", "expire", "got:5", "sync"},
                   {1, 2, 3, 4, 5},
                   0,
                   {}},
        PacingCase{"DroppedBuffersCountAsFinished",
                   {"feed", "got:1", "finish", "feed", "got:2", "drop", "feed", "got:3", "drop",
                    "feed", "got:4", "drop", "feed", "got:5", "drop", "feed", "got:6", "drop",
                    "feed", "sync"},
                   {1, 2, 3, 4, 5, 6, 7},
                   0,
                   {}},
        // Ends waiting for buffer 9: the controller still goes at once.
        PacingCase{"StalledIsDroppedUntilItFinishesAgain",
                   {"feed", "got:1", "finish", "feed", "feed", "feed", "got:4", "feed", "waits",
                    "expire", "feed", "feed", "sync", "finish", "feed", "got:8", "feed", "waits",
                    "handed:5"},
                   {1, 2, 3, 4, 8},
                   3,
                   {kStallWarning, "fakeProc finishes buffers again; 3 buffers were dropped "
                                   "meanwhile"}}),
    [](const ::testing::TestParamInfo<PacingCase>& info) { return info.param.name; });

// The processor's worker died: the controller ends and reports the failure
// once it has ended (so that its owner sees it ended).
TEST_F(AudioControllerTest, ProcessorWhoseWorkerEndedEndsTheController) {
  make();
  toIdle();
  controller_->Start();
  ASSERT_TRUE(log_.await("Start"));
  IAudioFlowListener* asFlow = controller_.get();
  asFlow->onProcessorEnded(nullptr, FailureParams(std::string("decoder exploded")));
  ASSERT_TRUE(log_.await("failed:decoder exploded"));
  EXPECT_EQ(controller_->state(), State::Done);
  controller_->Start();  // nobody listens any more: dropped at once
  controller_.reset();
  EXPECT_EQ(log_.count("failed:decoder exploded"), 1);
}

// Not listening while it waits for network time to prepare data: buffers
// stay queued (a start queued before them has them decoded), on copies, so
// that whoever lent them has them back at once.
TEST_F(AudioControllerTest, BuffersWaitOnCopiesWhilePreparingData) {
  make<NtpProcessor>(ProcessorSetup{}, true);
  controller_->SetFilePath(dir_.path());
  controller_->SetDeviceId(7);
  const auto ntp = std::make_shared<const NTPInfo>(1, 2, 3, 4, 5);
  controller_->UpdateNTPInfo(ntp, nullptr);
  ASSERT_TRUE(log_.await("Initialise:8000:ntp"));
  controller_->Configure(config({kv("a", 1)}));
  controller_->SetAudioParameters(SampleRate_8000, 1024);
  controller_->UpdateNTPInfo(ntp, nullptr);
  ASSERT_TRUE(log_.await("Configure:a=1:ntp"));
  ASSERT_TRUE(awaitState(State::Idle));
  controller_->PrepareData();
  ASSERT_TRUE(log_.await("ntp?", 3));  // preparing, waiting for network time
  controller_->Start();
  std::array<short, 1024> lent;
  lent.fill(5);
  std::atomic<int> released{0};
  controller_->ProcessBuffer(lent.data(), 1024, std::chrono::steady_clock::now(), {},
                             [&] { released.fetch_add(1); });
  EXPECT_EQ(released.load(), 1);  // back before the network time came
  lent.fill(9);                   // the lender reuses its buffer
  controller_->UpdateNTPInfo(ntp, nullptr);
  ASSERT_TRUE(log_.await("ProcessBuffer:1024:5"));
  EXPECT_EQ(calls("PrepareData"), std::vector<std::string>{"PrepareData:ntp"});
  EXPECT_EQ(released.load(), 1);
}

// While no rate fits, a configuration and a start wait for one; without the
// wait, a start given then would be lost until the next changed map.
struct WaitingCase {
  std::string name;
  bool configure;
  std::vector<std::string> calls;
};

class AudioWaitingRateTest : public AudioControllerTest,
                             public ::testing::WithParamInterface<WaitingCase> {};

TEST_P(AudioWaitingRateTest, ConfigurationAndStartGivenMeanwhileAreNotLost) {
  ProcessorSetup setup;
  setup.preferred = SampleRate_16000;
  make(setup);
  toIdle(SampleRate_16000, 2048);
  controller_->SetAudioParameters(SampleRate_24000, 3072);  // a new recorder: no fit
  ASSERT_TRUE(log_.await(kInactive));
  ASSERT_TRUE(awaitState(State::WaitingForValidSampleRate));
  const size_t mark = log_.size();
  if (GetParam().configure) controller_->Configure(config({kv("b", 2)}));
  controller_->Start();
  controller_->SetAudioParameters(SampleRate_32000, 4096);
  ASSERT_TRUE(log_.await("event:Audio processing complete"));
  EXPECT_EQ(log_.since(mark), GetParam().calls);
  EXPECT_TRUE(awaitState(State::Listening));
}

INSTANTIATE_TEST_SUITE_P(
    Given, AudioWaitingRateTest,
    ::testing::Values(WaitingCase{"ConfigurationAndStart",
                                  true,
                                  {"Configure:a=1,b=2", "Start", "event:Audio processing complete"}},
                      WaitingCase{"StartAlone", false, {"Start", "event:Audio processing complete"}}),
    [](const ::testing::TestParamInfo<WaitingCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tltest
