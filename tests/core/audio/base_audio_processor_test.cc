#include "core/audio/base_audio_processor.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/configuration_parameter.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/network_time.h"
#include "core/runtime/processor_params.h"
#include "schema/tembrolexin_types.h"
#include "tests/core/audio/fake_decoder_core.h"
#include "tests/core/audio/recording_listener.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

// A station word of the VorselT layout: id << 21 | counter.
constexpr int64_t Word(int64_t id, int64_t counter) { return (id << 21) | counter; }

using Descriptors = BaseAudioProcessor::Descriptors;

std::shared_ptr<const EchoDecoderDescriptor> Descriptor(const std::string& config,
                                                        std::vector<CodewordRange> ranges,
                                                        bool transform = false) {
  return std::make_shared<EchoDecoderDescriptor>(config, std::move(ranges), transform);
}

class ProcessorTest : public testing::Test {
 protected:
  ProcessorTest() { FakeCore::get().reset(); }
  ~ProcessorTest() override {
    processor_.reset();
    FakeCore::get().reset();
  }

  void Make(const std::string& name, bool useNTP = false) {
    processor_ = std::make_unique<BaseAudioProcessor>(
        name, SampleRate_8000, useNTP, std::chrono::milliseconds(250), clock_, FakeFunctions());
  }
  void AddTemplate(const std::string& config, FakeDecoder d = FakeDecoder()) {
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    FakeCore::get().templates[config] = d;
  }
  void Script(int32_t scheme, std::vector<PerformanceData> records) {
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    FakeDecoder* d = FakeCore::get().byInfo(scheme);
    ASSERT_NE(d, nullptr);
    for (const auto& r : records) d->script.push_back(r);
  }
  // Feeds one buffer of 1024 samples and waits until it was processed.
  void Feed() {
    const size_t before = Completed();
    processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());
    ASSERT_TRUE(listener_.waitFor([&] { return Completed() > before; }));
  }
  size_t Completed() const {
    size_t n = 0;
    listener_.withEvents([&](const auto& events) {
      for (const auto& e : events) n += ProcessingCompleteParams::Cast(e.get()) != nullptr;
    });
    return n;
  }
  std::vector<CodewordEventParams> Codewords() const {
    std::vector<CodewordEventParams> out;
    listener_.withEvents([&](const auto& events) {
      for (const auto& e : events) {
        if (const auto* c = CodewordEventParams::Cast(e.get())) out.push_back(*c);
      }
    });
    return out;
  }
  // Makes a processor whose one decoder (scheme 13) runs at once.
  void MakeRunning(const std::string& name, std::vector<CodewordRange> ranges,
                   bool transform = false) {
    Make(name);
    AddTemplate("cfg");
    processor_->Initialise(&listener_, 8000, nullptr);
    processor_->setDecoderDescriptors({Descriptor("cfg", std::move(ranges), transform)});
    ASSERT_TRUE(listener_.waitFor([&] { return !listener_.statuses().empty(); }));
  }

  tltest::FakeClock clock_;
  tltest::RecordingListener listener_;
  std::unique_ptr<BaseAudioProcessor> processor_;
  std::vector<short> buffer_ = std::vector<short>(1024, 7);
};

ConfigurationParameters Config(
    std::initializer_list<std::pair<const std::string, const IConfigurationParameter*>> items) {
  return ConfigurationParameters(items);
}

TEST_F(ProcessorTest, WaitingStatesDropAudioAndKeepConfigurationQueued) {
  Make("tembrolexin_VorselT");
  AddTemplate("cfg");
  processor_->Initialise(&listener_, 8000, nullptr);
  processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());  // no decoders yet
  ConfigurationParameter<long long> persistence(5);
  const auto options = Config({{"tembrolexin_VorselT_Persistence", &persistence}});
  processor_->Configure(&options, nullptr);
  processor_->setDecoderDescriptors({Descriptor("cfg", {{0, Word(9999, 0), "ANALYTICS"}})});
  processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());  // awaiting stations
  ConfigurationParameter<std::string> stations(R"([{"id": 5, "lag": 1}])");
  const auto candidates = Config({{"tembrolexin_VorselT_CandidateStations", &stations}});
  processor_->Configure(&candidates, nullptr);
  Feed();
  EXPECT_EQ(Completed(), 1u);
  EXPECT_EQ(listener_.statuses(), (std::vector<std::string>{
                                     AudioProcessorIdleStatusParams("tembrolexin_VorselT").GetDescription()}));
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  const FakeDecoder& d = *FakeCore::get().byInfo(13);
  EXPECT_FALSE(d.fastReaction);
  EXPECT_EQ(d.counts, (std::vector<int32_t>{1024}));
  ASSERT_EQ(d.stations.size(), 1u);
  EXPECT_EQ(d.stations[0], (std::vector<std::pair<int32_t, int64_t>>{{5, 1000}}));
  ASSERT_EQ(d.options.size(), 1u);
  EXPECT_EQ(d.options[0], (std::array<int32_t, 12>{5, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
}

// Initialise between a build's note that it waits for the rate and its
// reading of the rate asks for a second build of the same descriptors at the
// same rate: it is not run, so a refused configuration is logged and
// answered once.
TEST_F(ProcessorTest, InitialiseWhileABuildReadsTheRateBuildsOnce) {
  tltest::LogCapture log;
  Make("tembrolexin_Test");
  AddTemplate("cfg");
  std::atomic<int> builds{0};
  processor_->setRateReadHook([this, &builds] {
    if (builds++ == 0) processor_->Initialise(&listener_, 8000, nullptr);
  });
  processor_->setDecoderDescriptors({Descriptor("bad", {})});
  ASSERT_TRUE(listener_.waitFor([&] { return !listener_.builds().empty(); }));
  // Built after whatever the Initialise asked for.
  processor_->setDecoderDescriptors({Descriptor("cfg", {})});
  ASSERT_TRUE(listener_.waitFor([&] { return !listener_.statuses().empty(); }));
  const std::vector<DecoderBuildReport> reports = listener_.builds();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].built, 0);
  EXPECT_EQ(reports[0].refusals.rfind("bad: ", 0), 0u) << reports[0].refusals;
  EXPECT_EQ(reports[1].built, 1);
  EXPECT_EQ(builds.load(), 2);
  EXPECT_EQ(log.matching("it does not run (bad: ").size(), 1u);
}

TEST_F(ProcessorTest, DescriptorsBeforeInitialiseAreBuiltWithTheRate) {
  Make("tembrolexin_Other");
  AddTemplate("cfg");
  FakeDecoder wide;
  wide.fsIn = 16000;
  wide.info = EncodingSchemeInfo{18, "VorselTW", "VTW", 2560, 40};
  AddTemplate("cfg16", wide);
  processor_->setDecoderDescriptors({Descriptor("cfg", {}), Descriptor("cfg16", {})});
  processor_->Initialise(&listener_, 8000, nullptr);
  ASSERT_TRUE(listener_.waitFor([&] { return !listener_.statuses().empty(); }));
  // Initialise may race the first build and ask for a second one; a buffer
  // queued behind it is decoded only once every rebuild before it is done.
  Feed();
  const auto schemes = processor_->getSchemeInfo();
  ASSERT_EQ(schemes.size(), 1u);  // the 16 kHz decoder is skipped at 8 kHz
  EXPECT_STREQ(schemes[0]->shortName, "VT");
  processor_.reset();  // the destructor closes every context
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  EXPECT_TRUE(FakeCore::get().open.empty());
  EXPECT_EQ(static_cast<int>(FakeCore::get().closed.size()), FakeCore::get().inits);
}

// Each "<name>_DecoderDescriptors" value is answered by a report of what
// then runs: the build it causes, or, when it changes nothing, the decoders
// as they are; never by a report of decoders that a build under way replaces.
struct AnswerCase {
  const char* name;
  std::vector<std::string> values;  // configured one after the other
  int built;
  const char* refusals;  // the report's refusals start with this
  bool fromConfiguration;
  const char* unreadable = "";  // why the last value is no descriptor list
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class AnswerTest : public ProcessorTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, TheLastValueIsAnsweredByWhatRuns) {
  Make("tembrolexin_Test");
  AddTemplate("cfg");
  processor_->setDecoderDescriptors({Descriptor("cfg", {})});  // the defaults
  processor_->Initialise(&listener_, 8000, nullptr);
  ASSERT_TRUE(listener_.waitFor([&] { return !listener_.builds().empty(); }));
  const std::string key = "tembrolexin_Test_DecoderDescriptors";
  for (const std::string& value : GetParam().values) {
    const ConfigurationParameter<std::string> text(value);
    const ConfigurationParameters configuration = Config({{key, &text}});
    processor_->Configure(&configuration, nullptr);
  }
  const std::string last = GetParam().values.back();
  const auto answered = [&] {
    for (const DecoderBuildReport& b : listener_.builds()) {
      if (b.answers == last) return true;
    }
    return false;
  };
  ASSERT_TRUE(listener_.waitFor(answered));
  for (const DecoderBuildReport& b : listener_.builds()) {
    if (b.answers != last) continue;
    EXPECT_EQ(b.built, GetParam().built);
    EXPECT_EQ(b.refusals.rfind(GetParam().refusals, 0), 0u) << b.refusals;
    EXPECT_EQ(b.refusals.empty(), std::string(GetParam().refusals).empty());
    EXPECT_EQ(b.fromConfiguration, GetParam().fromConfiguration);
    EXPECT_EQ(b.unreadable, GetParam().unreadable);
    break;  // the first answer must already be right
  }
}

const std::string kTaken = R"([{"config": "cfg"}])";
const std::string kRefused = R"([{"config": "bad"}])";
const char* const kNotJson = "not JSON: Missing '}' or object member name (byte 2)";

INSTANTIATE_TEST_SUITE_P(
    Values, AnswerTest,
    testing::Values(AnswerCase{"Taken", {kTaken}, 1, "", true},
                    AnswerCase{"Refused", {kRefused}, 0, "bad: ", true},
                    AnswerCase{"RefusedGivenTwice", {kRefused, kRefused}, 0, "bad: ", true},
                    AnswerCase{"EmptyListRunsNothing", {"[]"}, 0, "", true},
                    AnswerCase{"NotAListKeepsTheDefaults", {"[{"}, 1, "", false, kNotJson},
                    AnswerCase{"NotAListAfterARefusal", {kRefused, "[{"}, 0, "bad: ", true,
                               kNotJson},
                    AnswerCase{"NoConfigAfterATakenValue", {kTaken, R"([{"ranges": []}])"}, 1, "",
                               true, R"(descriptor 1 has no "config")"},
                    AnswerCase{"TakenAfterNotAList", {"[{", kTaken}, 1, "", true},
                    AnswerCase{"RefusedThenTaken", {kRefused, kTaken}, 1, "", true}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

// Values of another kind than text: a descriptor value is refused as text
// that is no descriptor list is (the running decoders stay, the answer says
// why), candidate stations are absent; both are logged with key and kind.
TEST_F(ProcessorTest, ValuesOfAnotherKindThanTextAreHeard) {
  tltest::LogCapture log;
  Make("tembrolexin_VorselTW");
  AddTemplate("cfg");
  processor_->setDecoderDescriptors({Descriptor("cfg", {{0, Word(9999, 0), "ANALYTICS"}})});
  processor_->Initialise(&listener_, 8000, nullptr);
  ASSERT_TRUE(listener_.waitFor([&] { return !listener_.builds().empty(); }));
  const ConfigurationParameter<int> five(5);
  const ConfigurationParameter<double> half(0.5);
  const ConfigurationParameter<bool> yes(true);
  const auto config = Config({{"tembrolexin_VorselTW_DecoderDescriptors", &five},
                              {"tembrolexin_VorselTW_CandidateStations", &half},
                              {"tembrolexin_VorselT_CandidateStations", &yes}});
  processor_->Configure(&config, nullptr);
  const std::string answer = std::string(1, '\0') + "an integer: 5";
  ASSERT_EQ(BaseAudioProcessor::descriptorAnswer(&five), answer);
  ASSERT_TRUE(listener_.waitFor([&] { return listener_.builds().back().answers == answer; }));
  const DecoderBuildReport report = listener_.builds().back();
  EXPECT_EQ(report.unreadable, "not a text but an integer: 5");
  EXPECT_EQ(report.built, 1);
  EXPECT_FALSE(report.fromConfiguration);
  std::vector<std::string> warnings;
  for (const auto& line : log.lines()) {
    if (line.level == 3 && line.sender == "tembrolexin_VorselTW") warnings.push_back(line.message);
  }
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "\"tembrolexin_VorselTW_DecoderDescriptors\" is not a text but an integer: 5; the "
                "value is refused",
                "\"tembrolexin_VorselTW_CandidateStations\" is not a text but a decimal number: "
                "0.5; it is ignored",
                "\"tembrolexin_VorselT_CandidateStations\" is not a text but a boolean: true; it "
                "is ignored"}));
  // The decoder waited: the first list it gets is the one given now.
  const ConfigurationParameter<std::string> good(R"([{"id": 4, "lag": 0}])");
  const auto stations = Config({{"tembrolexin_VorselTW_CandidateStations", &good}});
  processor_->Configure(&stations, nullptr);
  Feed();
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  ASSERT_EQ(FakeCore::get().byInfo(13)->stations.size(), 1u);
  EXPECT_EQ(FakeCore::get().byInfo(13)->stations[0].size(), 1u);
}

PerformanceData Record(int64_t msg, int16_t currentStrength = 40, int32_t sinceCodeword = 0) {
  PerformanceData p{};
  p.syncState = 1;
  p.meanSignalStrength = 30;
  p.meanVolume = 60;
  p.currentSignalStrength = currentStrength;
  p.currentVolume = 61;
  p.bitSlicePosSig = 3;
  p.sigConfidence = 2;
  p.sigScheme = 13;
  p.msg = msg;
  p.nFecErrors = 1;
  p.msgSignalStrength95pc = 33;
  p.msgVolume = 62;
  p.bitSlicePosMsg = 4;
  p.cwSampleNo = sinceCodeword;
  p.msgConfidence = 4;
  p.msgScheme = 13;
  return p;
}

struct ReportCase {
  const char* name;
  PerformanceData record;
  bool transform;
  std::vector<std::string> refs;
  int64_t msg;
};

class ReportTest : public ProcessorTest, public testing::WithParamInterface<ReportCase> {};

TEST_P(ReportTest, EventsPerEngine) {
  const ReportCase& c = GetParam();
  MakeRunning("tembrolexin_DB",
              {{Word(5, 0), Word(5, 99), "EVENT2"}, {Word(5, 50), Word(6, 0), "CONTENT"}},
              c.transform);
  Script(13, {c.record});
  Feed();
  const auto events = Codewords();
  std::vector<std::string> refs;
  for (const auto& e : events) {
    refs.push_back(e.engineRef);
    EXPECT_EQ(e.msg, c.msg);
  }
  EXPECT_EQ(refs, c.refs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReportTest,
    testing::Values(
        ReportCase{"QualityReport", Record(-1, 0), false, {"CONFIDENCE"}, -1},
        ReportCase{"NoSignal", Record(-1, -1), false, {}, 0},
        ReportCase{"OutsideEveryRange", Record(Word(7, 0)), false, {}, 0},
        ReportCase{"OneRange", Record(Word(5, 10)), false, {"EVENT2"}, Word(5, 10)},
        ReportCase{"TwoRangesInOrder", Record(Word(5, 60)), false, {"CONTENT", "EVENT2"},
                   Word(5, 60)},
        ReportCase{"Withheld", Record(Word(5, 60)), true, {"CONTENT", "EVENT2"}, 0}),
    [](const testing::TestParamInfo<ReportCase>& info) { return std::string(info.param.name); });

TEST_F(ProcessorTest, CodewordFieldsAndTimeStamps) {
  MakeRunning("tembrolexin_DB", {{0, Word(9, 0), "EVENT2"}});
  Feed();  // a first buffer: 1024 samples before the word's buffer
  Script(13, {Record(Word(5, 1), 40, 8000)});
  Feed();
  const auto events = Codewords();
  ASSERT_EQ(events.size(), 1u);
  const CodewordEventParams& e = events[0];
  // 1024 samples at 8 kHz end 128 ms after the capture time; the word began
  // 8000 samples (1000 ms) before the end of the buffer. The steady stamp is
  // on the core's up-time, which the fake clock keeps far from its steady
  // clock.
  const int64_t steadyEnd = clock_.upTimeMillis() + 128;
  const int64_t wallEnd = clock_.wallMicros() / 1000 + 128;
  EXPECT_EQ(e.steadyTimeStamp, steadyEnd - 1000);
  EXPECT_EQ(e.systemTimeStamp, wallEnd - 1000);
  EXPECT_EQ(e.samplePosition, 2048 - 8000);
  EXPECT_EQ(e.syncState, 3);       // sync state 1
  EXPECT_EQ(e.sigConfidence, 2);   // confidence 2
  EXPECT_EQ(e.msgConfidence, -1);  // confidence 4
  EXPECT_EQ(e.offset, 120);        // the scheme's lead duration
  EXPECT_EQ(e.codewordDuration, 6000);
  EXPECT_EQ(e.meanVolume, 60);
  EXPECT_EQ(e.meanSignalStrength, 30);
  EXPECT_EQ(e.currentVolume, 61);
  EXPECT_EQ(e.currentSignalStrength, 40);
  EXPECT_EQ(e.bitSlicePosSig, 3);
  EXPECT_EQ(e.bitSlicePosMsg, 4);
  EXPECT_EQ(e.nFecErrors, 1);
  EXPECT_EQ(e.msgSignalStrength95pc, 33);
  EXPECT_EQ(e.msgVolume, 62);
  EXPECT_EQ(e.GetParamsDescription(), "Codeword: " + std::to_string(Word(5, 1)));
}

TEST(ConfidenceTest, Mappings) {
  const std::pair<int32_t, int32_t> confidence[] = {{1, 3}, {2, 2}, {3, 1}, {4, -1}, {0, 0},
                                                     {5, 0}, {-1, 0}};
  for (const auto& [in, out] : confidence) {
    EXPECT_EQ(BaseAudioProcessor::convertToConfidence(in), out) << in;
  }
  const std::pair<int32_t, int32_t> sync[] = {{0, 1}, {1, 3}, {2, 2}, {-1, 0}, {3, 0}};
  for (const auto& [in, out] : sync) {
    EXPECT_EQ(BaseAudioProcessor::convertSyncStateToConfidence(in), out) << in;
  }
}

// The caller's buffer may change as soon as ProcessBuffer returns (a
// controller cycles through three while an app feeds faster than real time).
TEST_F(ProcessorTest, QueuedBuffersKeepTheSamplesTheyWereGiven) {
  MakeRunning("tembrolexin_EchoMod", {});
  {
    // The worker cannot reach the decoder until both buffers are queued and
    // the caller's memory holds a third value.
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    for (short value : {1, 2, 3}) {
      std::fill(buffer_.begin(), buffer_.end(), value);
      if (value < 3) processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());
    }
  }
  ASSERT_TRUE(listener_.waitFor([&] { return Completed() == 2; }));
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  EXPECT_EQ(FakeCore::get().byInfo(13)->firsts, (std::vector<int16_t>{1, 2}));
}

TEST_F(ProcessorTest, EmptyBufferReportsNothing) {
  MakeRunning("tembrolexin_DB", {{0, Word(9, 0), "EVENT2"}});
  processor_->ProcessBuffer(buffer_.data(), 0, clock_.steadyNow());
  Feed();
  EXPECT_EQ(Completed(), 1u);
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  EXPECT_EQ(FakeCore::get().byInfo(13)->counts, (std::vector<int32_t>{1024}));
}

TEST_F(ProcessorTest, NetworkTimeRequestsAreThrottled) {
  Make("tembrolexin_DB", true);
  AddTemplate("cfg");
  processor_->Initialise(&listener_, 8000, nullptr);
  processor_->setDecoderDescriptors({Descriptor("cfg", {})});
  ASSERT_TRUE(listener_.waitFor([&] { return !listener_.statuses().empty(); }));
  // A request follows its buffer's ProcessingComplete: wait for the count,
  // and check that it did not grow once the next buffer is done.
  auto expectRequests = [&](int n) {
    listener_.waitFor([&] { return listener_.ntpRequests() >= n; });
    EXPECT_EQ(listener_.ntpRequests(), n);
  };
  Feed();  // never updated: asks at once
  expectRequests(1);
  clock_.advance(std::chrono::seconds(299));
  Feed();
  clock_.advance(std::chrono::seconds(1));
  Feed();
  expectRequests(2);
  const NTPInfo info(0, clock_.wallMicros() / 1000, 0, 0, clock_.upTimeMillis());
  processor_->updateNTPInfo(&info);
  Feed();  // the reference is fresh
  clock_.advance(std::chrono::seconds(86399));
  Feed();
  expectRequests(2);
  clock_.advance(std::chrono::seconds(1));
  Feed();  // the update lifted the minimum delay
  expectRequests(3);
  EXPECT_EQ(listener_.matching("tembrolexin_DB::UpdateNTPInfo: 0, ").size(), 1u);
}

TEST_F(ProcessorTest, NoNetworkTimeNeverAsks) {
  MakeRunning("tembrolexin_DB", {});
  ConfigurationParameter<long long> interval(0);
  const auto config = Config({{"tembrolexin_DB_NTPinterval", &interval}});
  processor_->Configure(&config, nullptr);
  Feed();
  clock_.advance(std::chrono::hours(48));
  Feed();
  EXPECT_EQ(listener_.ntpRequests(), 0);
}

TEST_F(ProcessorTest, PingsFlushTheDecodersWhilePinging) {
  MakeRunning("tembrolexin_DB", {});
  Feed();
  // Each flush reports a quality record, so the test can follow the pings.
  Script(13, std::vector<PerformanceData>(4, Record(-1, 0)));
  processor_->SetDeviceId(42);  // switched on while processing: pings start
  auto flushed = [&](size_t n) {
    return listener_.waitFor([&] { return Codewords().size() >= n; });
  };
  ASSERT_TRUE(flushed(1));
  for (size_t i = 2; i <= 4; ++i) {
    // The timer was re-armed before the flush that the test saw.
    ASSERT_TRUE(clock_.awaitDeadline(clock_.steadyNow() + std::chrono::milliseconds(250)));
    clock_.advance(std::chrono::milliseconds(250));
    ASSERT_TRUE(flushed(i));
  }
  processor_->SetDeviceId(0);
  EXPECT_EQ(Completed(), 1u);  // a flush reports no ProcessingComplete
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  EXPECT_EQ(FakeCore::get().byInfo(13)->counts, (std::vector<int32_t>{1024, -1, -1, -1, -1}));
}

TEST_F(ProcessorTest, RawRecordingBytesAndTexts) {
  tltest::TempDir dir;
  MakeRunning("tembrolexin_DB", {});
  processor_->SetFilePath("<none>");
  processor_->SetFilePath(dir.path());
  ConfigurationParameter<bool> on(true), off(false);
  const auto start = Config({{"tembrolexin_DB_RecordAudio", &on}});
  processor_->Configure(&start, nullptr);
  for (int i = 0; i < 1024; ++i) buffer_[i] = static_cast<short>(i - 512);
  Feed();
  Feed();
  const auto stop = Config({{"tembrolexin_DB_RecordAudio", &off}});
  processor_->Configure(&stop, nullptr);
  const std::string path = dir.file("tembrolexin_DB_AudioSamplesFile.raw");
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 4096u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x00);  // -512 = 0xfe00
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xfe);
  std::vector<std::string> texts;
  for (const auto& line : listener_.lines()) texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "BaseAudioProcessor::SetFilePath: ERROR (no path available) path => <none>",
                       "ready to record to: " + path, "recording to " + path,
                       "Stopped Recording"}));
  EXPECT_EQ(listener_.failures(),
            (std::vector<std::string>{
                "BaseAudioProcessor::SetFilePath: ERROR (no path available) path => <none>"}));
}

struct OptionCase {
  const char* name;
  const char* suffix;
  int index;
};

class OptionKeyTest : public ProcessorTest, public testing::WithParamInterface<OptionCase> {};

TEST_P(OptionKeyTest, SixtyFourBitOnly) {
  MakeRunning("tembrolexin_DB", {});
  const std::string key = std::string("tembrolexin_DB") + GetParam().suffix;
  ConfigurationParameter<int> narrow(3);
  const auto ignored = Config({{key, &narrow}});
  processor_->Configure(&ignored, nullptr);
  ConfigurationParameter<long long> wide(0x100000007LL);  // cut to 32 bits: 7
  const auto applied = Config({{key, &wide}});
  processor_->Configure(&applied, nullptr);
  Feed();
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  const auto& options = FakeCore::get().byInfo(13)->options;
  ASSERT_EQ(options.size(), 1u);
  std::array<int32_t, 12> expected;
  expected.fill(-1);
  expected[GetParam().index] = 7;
  EXPECT_EQ(options[0], expected);
}

INSTANTIATE_TEST_SUITE_P(
    TwelveKeys, OptionKeyTest,
    testing::Values(OptionCase{"Persistence", "_Persistence", 0},
                    OptionCase{"GapFill", "_GapFill", 1},
                    OptionCase{"MaxOffsetPast", "_MaxOffsetPast", 2},
                    OptionCase{"MaxOffsetFuture", "_MaxOffsetFuture", 3},
                    OptionCase{"RiseThreshold", "_RiseThreshold", 4},
                    OptionCase{"MaxOffsetPastCW", "_MaxOffsetPastCW", 5},
                    OptionCase{"MaxOffsetFutureCW", "_MaxOffsetFutureCW", 6},
                    OptionCase{"RiseThresholdCW", "_RiseThresholdCW", 7},
                    OptionCase{"TimeShiftThreshold", "_TimeShiftThreshold", 8},
                    OptionCase{"PublishDelay", "_PublishDelay", 9},
                    OptionCase{"MaxListeningDuration", "_MaxListeningDuration", 10},
                    OptionCase{"FastReaction", "_FastReaction", 11}),
    [](const testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

TEST_F(ProcessorTest, VorselTWAppliesItsOwnStationsThenTheVorselTList) {
  Make("tembrolexin_VorselTW");
  FakeDecoder d;
  d.fsIn = 8000;
  AddTemplate("cfg", d);
  processor_->Initialise(&listener_, 8000, nullptr);
  processor_->setDecoderDescriptors({Descriptor("cfg", {{0, Word(9999, 0), "ANALYTICS"}})});
  ConfigurationParameter<std::string> own(R"([{"id": 1, "lag": 0}])");
  ConfigurationParameter<std::string> shared(R"([{"id": 2, "lag": 0}, {"id": 3, "lag": 0}])");
  const auto config = Config({{"tembrolexin_VorselTW_CandidateStations", &own},
                              {"tembrolexin_VorselT_CandidateStations", &shared}});
  processor_->Configure(&config, nullptr);
  Feed();
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  const auto& stations = FakeCore::get().byInfo(13)->stations;
  ASSERT_EQ(stations.size(), 2u);
  EXPECT_EQ(stations[0].size(), 1u);
  EXPECT_EQ(stations[1].size(), 2u);
}

TEST_F(ProcessorTest, InvalidCandidateStationsKeepThePreviousList) {
  Make("tembrolexin_VorselT");
  AddTemplate("cfg");
  processor_->Initialise(&listener_, 8000, nullptr);
  processor_->setDecoderDescriptors({Descriptor("cfg", {{0, Word(9999, 0), "ANALYTICS"}})});
  ConfigurationParameter<std::string> good(R"([{"id": 4, "lag": 0}])"), bad("[{");
  const auto first = Config({{"tembrolexin_VorselT_CandidateStations", &good}});
  const auto second = Config({{"tembrolexin_VorselT_CandidateStations", &bad}});
  processor_->Configure(&first, nullptr);
  processor_->Configure(&second, nullptr);
  Feed();  // the worker lives on
  EXPECT_TRUE(listener_.failures().empty());
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  EXPECT_EQ(FakeCore::get().byInfo(13)->stations.size(), 1u);
}

TEST_F(ProcessorTest, WorkerFailureIsReportedAndLaterSignalsDropped) {
  Make("tembrolexin_DB");
  FakeDecoder broken;
  broken.throwOnProcess = true;
  AddTemplate("cfg", broken);
  processor_->Initialise(&listener_, 8000, nullptr);
  processor_->setDecoderDescriptors({Descriptor("cfg", {})});
  processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());
  ASSERT_TRUE(listener_.waitForFailures(1));
  EXPECT_EQ(listener_.failures(), (std::vector<std::string>{"core broke"}));
  for (int i = 0; i < 3; ++i) {
    processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());
  }
  processor_.reset();  // joins at once: nothing waits in the queue
  EXPECT_EQ(Completed(), 0u);
}

TEST_F(ProcessorTest, NoListenerIsNeverCalled) {
  Make("tembrolexin_DB");
  FakeDecoder scripted;
  scripted.script = {Record(Word(5, 1)), Record(-1, 0)};
  AddTemplate("cfg", scripted);
  processor_->Initialise(nullptr, 8000, nullptr);
  processor_->SetFilePath("");
  processor_->Start();
  processor_->setDecoderDescriptors({Descriptor("cfg", {{0, Word(9, 0), "EVENT2"}})});
  for (int i = 0; i < 3; ++i) {
    processor_->ProcessBuffer(buffer_.data(), 1024, clock_.steadyNow());
  }
  processor_.reset();
  EXPECT_EQ(listener_.eventCount(), 0u);
}


// A listener that also follows the buffers (IAudioFlowListener).
class FlowListener : public tltest::RecordingListener, public IAudioFlowListener {
 public:
  void onAudioDropped(const INamedObject* sender) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++dropped_;
    senders_.push_back(sender);
  }
  void onProcessorEnded(const INamedObject* sender, const FailureParams& failure) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(failure.GetDescription());
    senders_.push_back(sender);
  }
  int dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
  }
  std::vector<std::string> ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }
  std::vector<const INamedObject*> senders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
  }

 private:
  mutable std::mutex mutex_;
  int dropped_ = 0;
  std::vector<std::string> ended_;
  std::vector<const INamedObject*> senders_;
};

// Every buffer given ends decoded (ProcessingCompleteParams) or dropped
// (onAudioDropped), whatever the processor's state, so that a controller
// pacing a feeder never waits for a buffer that nobody will finish.
struct FlowCase {
  const char* name;
  const char* setup;       // "none", "stations", "running", "broken"
  std::vector<int> sizes;  // frames of each buffer given
  size_t decoded;
  int dropped;
  std::vector<std::string> ended;
};

class FlowTest : public ProcessorTest, public testing::WithParamInterface<FlowCase> {};

TEST_P(FlowTest, EveryBufferEndsDecodedOrDropped) {
  const FlowCase& c = GetParam();
  FlowListener flow;
  // The VorselT plug-in's analytics decoders wait for candidate stations.
  Make(std::string(c.setup) == "stations" ? "tembrolexin_VorselT" : "tembrolexin_DB");
  FakeDecoder decoder;
  decoder.throwOnProcess = std::string(c.setup) == "broken";
  AddTemplate("cfg", decoder);
  processor_->Initialise(&flow, 8000, nullptr);
  if (std::string(c.setup) == "stations") {
    processor_->setDecoderDescriptors({Descriptor("cfg", {{0, Word(9999, 0), "ANALYTICS"}})});
  } else if (std::string(c.setup) != "none") {
    processor_->setDecoderDescriptors({Descriptor("cfg", {})});
    if (std::string(c.setup) == "running") {
      ASSERT_TRUE(flow.waitFor([&] { return !flow.statuses().empty(); }));
    }
  }
  const auto completed = [&] {
    size_t n = 0;
    flow.withEvents([&](const auto& events) {
      for (const auto& e : events) n += ProcessingCompleteParams::Cast(e.get()) != nullptr;
    });
    return n;
  };
  for (int frames : c.sizes) {
    processor_->ProcessBuffer(buffer_.data(), frames, clock_.steadyNow());
    for (int i = 0; i < 10000 && !c.ended.empty() && flow.ended().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  for (int i = 0; i < 10000 && completed() + flow.dropped() < c.sizes.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(completed(), c.decoded);
  EXPECT_EQ(flow.dropped(), c.dropped);
  EXPECT_EQ(flow.ended(), c.ended);
  EXPECT_TRUE(flow.failures().empty());
  for (const INamedObject* sender : flow.senders()) EXPECT_EQ(sender, processor_.get());
}

INSTANTIATE_TEST_SUITE_P(
    States, FlowTest,
    testing::Values(FlowCase{"NoDecodersYet", "none", {1024, 1024, 1024}, 0, 3, {}},
                    FlowCase{"AwaitingCandidateStations", "stations", {1024, 1024}, 0, 2, {}},
                    FlowCase{"Decoding", "running", {1024, 1024, 1024}, 3, 0, {}},
                    FlowCase{"EmptyBufferDecodesNothing", "running", {0, 1024}, 1, 1, {}},
                    // The buffer that broke the worker, then three into a queue
                    // that nobody reads any more.
                    FlowCase{"AfterTheWorkerEnded", "broken", {1024, 1024, 1024, 1024}, 0, 4,
                             {"core broke"}}),
    [](const testing::TestParamInfo<FlowCase>& info) { return std::string(info.param.name); });
// A scheme configuration the decoding core refuses: the Error line names
// the file and gives the core's reason.
struct RefusedCase {
  const char* name;
  const char* content;  // null: no file at all
  const char* reason;   // with %s for the path
  const char* file = "scheme.cfg";
  const char* shown = "scheme.cfg";  // the file name as the line shows it
};

class RefusedConfigurationTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedConfigurationTest, LogLineNamesTheFileAndTheReason) {
  tltest::LogCapture log;
  tltest::TempDir dir;
  const std::string path = dir.file(GetParam().file);
  const std::string shown = dir.file(GetParam().shown);
  if (GetParam().content != nullptr) tltest::writeFile(path, GetParam().content);
  tltest::RecordingListener listener;
  BaseAudioProcessor processor("tembrolexin_Test", SampleRate_16000, false,
                               std::chrono::milliseconds(250));
  processor.Initialise(&listener, 16000, nullptr);
  processor.setDecoderDescriptors({Descriptor(path, {})});
  const std::string prefix = "the decoding core refused the configuration of a decoder";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (log.matching(prefix).empty() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto lines = log.matching(prefix);
  ASSERT_EQ(lines.size(), 1u);
  char reason[512];
  std::snprintf(reason, sizeof reason, GetParam().reason, shown.c_str());
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].sender, "tembrolexin_Test");
  EXPECT_EQ(lines[0].message, prefix + "; it does not run (" + shown + ": " + reason + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedConfigurationTest,
    testing::Values(RefusedCase{"Missing", nullptr, "Scheme configuration: cannot open file %s"},
                    RefusedCase{"Empty", "", "Scheme configuration: text: empty"},
                    RefusedCase{"NotAScheme", "hello world\n",
                                "Scheme configuration: text: unexpected text between sections"},
                    // A Latin-1 name: opened as it is, its byte escaped in the line.
                    RefusedCase{"NotUtf8Name", "hello world\n",
                                "Scheme configuration: text: unexpected text between sections",
                                "lat\xE9in.cfg", "lat\\xE9in.cfg"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinsdk
