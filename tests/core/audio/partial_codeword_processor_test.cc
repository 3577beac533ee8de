#include "core/audio/partial_codeword_processor.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/message_factory.h"
#include "schema/tembrolexin_types.h"
#include "tests/core/runtime/log_capture_util.h"

namespace tembrolexinsdk {
namespace {

// EVENT2 words: 0x3e000000 | track << 11 | offset; heartbeat words:
// station << 21 | counter; VorselT words: id << 21 | counter.
constexpr int64_t Event2(int64_t track, int64_t offset) {
  return 0x3e000000 | (track << 11) | offset;
}
constexpr int64_t Station(int64_t station, int64_t counter) { return (station << 21) | counter; }

TEST(EchoDecoderDescriptorTest, RangesAndTransform) {
  const EchoDecoderDescriptor d("cfg", {{100, 199, "A"}, {150, 250, "B"}}, false);
  EXPECT_EQ(d.getEngineRefs(), (std::set<std::string>{"A", "B"}));
  EXPECT_EQ(d.getName(), "cfg");
  const std::pair<int64_t, std::set<std::string>> cases[] = {
      {99, {}}, {100, {"A"}}, {149, {"A"}}, {150, {"A", "B"}}, {199, {"A", "B"}},
      {200, {"B"}}, {250, {"B"}}, {251, {}}, {-1, {}}};
  for (const auto& [word, refs] : cases) EXPECT_EQ(d.codewordInRange(word), refs) << word;
  EXPECT_EQ(d.transformCodeword(1234), 1234);
  EXPECT_EQ(EchoDecoderDescriptor("cfg", {}, true).transformCodeword(1234), 0);
  const EchoDecoderDescriptor empty("cfg", {}, false);
  EXPECT_TRUE(empty.getEngineRefs().empty());
  EXPECT_TRUE(empty.codewordInRange(0).empty());
}

std::vector<std::pair<int64_t, int32_t>> Sequences(const CandidateStations* list) {
  std::vector<std::pair<int64_t, int32_t>> out;
  for (int i = 0; list != nullptr && i < list->count; ++i) {
    out.emplace_back(list->entries[i].firstCodeword, list->entries[i].codewordCount);
  }
  return out;
}

struct SetupCase {
  const char* name;
  const char* plugin;
  std::vector<CodewordRange> ranges;
  bool waiting;
  bool fast;
  bool list;
  bool enabled;
};

class DecoderSetupTest : public testing::TestWithParam<SetupCase> {};

TEST_P(DecoderSetupTest, FlagsAndList) {
  const SetupCase& c = GetParam();
  PartialCodewordProcessor p(c.plugin);
  const auto setup = p.configurationForDecoder(EchoDecoderDescriptor("cfg", c.ranges, false),
                                               c.plugin);
  EXPECT_EQ(setup.waitingForConfiguration, c.waiting);
  EXPECT_EQ(setup.fastReaction, c.fast);
  EXPECT_EQ(setup.list != nullptr, c.list);
  EXPECT_EQ(p.isEnabled(), c.enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, DecoderSetupTest,
    testing::Values(
        SetupCase{"VorselTWaits", "tembrolexin_VorselT",
                  {{Event2(1, 0), Event2(9, 0), "EVENT2"}}, true, false, false, false},
        SetupCase{"VorselTWWaits", "tembrolexin_VorselTW", {}, true, false, false, false},
        SetupCase{"Event2FastWithList", "tembrolexin_Event",
                  {{Event2(1, 0), Event2(1, 2047), "EVENT2"}}, false, true, true, true},
        SetupCase{"Event2OutsideTracksNoList", "tembrolexin_Event", {{0, 10, "EVENT2"}}, false,
                  true, false, true},
        SetupCase{"HeartbeatFastWithList", "tembrolexin_HB",
                  {{Station(3, 0), Station(4, 0) - 1, "HEARTBEAT"}}, false, true, true, true},
        SetupCase{"OtherPlain", "tembrolexin_Other", {{0, 100, "CONTENT"}}, false, false, false,
                  false}),
    [](const testing::TestParamInfo<SetupCase>& info) { return std::string(info.param.name); });

TEST(PriorityListTest, Event2TracksNeedWordsZeroAndFifty) {
  tltest::LogCapture capture;
  PartialCodewordProcessor p("plugin");
  // Track 1 whole, track 2 only up to offset 49, track 3 from offset 0 to 50.
  const EchoDecoderDescriptor d(
      "cfg",
      {{Event2(1, 0), Event2(1, 2047), "EVENT2"}, {Event2(2, 0), Event2(2, 49), "EVENT2"},
       {Event2(3, 0), Event2(3, 50), "EVENT2"}, {Event2(4, 0), Event2(4, 50), "HEARTBEAT"}},
      false);
  auto list = p.selectEventEngineSequences(d, "plugin");
  EXPECT_EQ(Sequences(list.get()),
            (std::vector<std::pair<int64_t, int32_t>>{{Event2(1, 0), 50}, {Event2(3, 0), 50}}));
  const auto lines = capture.matching("Adding first");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "(plugin) Adding first 5 minutes of trackId 1 to priority partial search.");
  EXPECT_EQ(lines[0].sender, "PartialCodewordProcessor");
  EXPECT_EQ(lines[0].level, 2);
}

TEST(PriorityListTest, Event2StopsAtTwoHundredWords) {
  PartialCodewordProcessor p("plugin");
  const EchoDecoderDescriptor d("cfg", {{0, INT64_MAX, "EVENT2"}}, false);
  auto list = p.selectEventEngineSequences(d, "plugin");
  EXPECT_EQ(Sequences(list.get()),
            (std::vector<std::pair<int64_t, int32_t>>{
                {Event2(1, 0), 50}, {Event2(2, 0), 50}, {Event2(3, 0), 50}, {Event2(4, 0), 50}}));
}

TEST(PriorityListTest, HeartbeatStationsWholeCounterSpan) {
  tltest::LogCapture capture;
  PartialCodewordProcessor p("hb");
  // Stations 0..9 whole; station 10 only half of its counters.
  const EchoDecoderDescriptor d(
      "cfg", {{Station(0, 0), Station(10, 0) - 1, "HEARTBEAT"},
              {Station(10, 0), Station(10, 1000), "HEARTBEAT"}},
      false);
  auto list = p.selectHeartbeatStations(d, "hb");
  std::vector<std::pair<int64_t, int32_t>> expected;
  for (int s = 0; s < 10; ++s) expected.emplace_back(s, 0);
  EXPECT_EQ(Sequences(list.get()), expected);
  const auto lines = capture.matching("Adding station Id");
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[9].message, "(hb) Adding station Id: 9 to live priority search.");

  const EchoDecoderDescriptor all("cfg", {{0, INT64_MAX, "HEARTBEAT"}}, false);
  EXPECT_EQ(p.selectHeartbeatStations(all, "hb")->count, 200);
  EXPECT_EQ(p.selectHeartbeatStations(EchoDecoderDescriptor("cfg", {}, false), "hb"), nullptr);
}

TEST(CandidateStationsTest, EntriesAndLogLine) {
  tltest::LogCapture capture;
  PartialCodewordProcessor p("tembrolexin_VorselT");
  auto list = p.parseCandidateStations(
      R"([{"id": 7, "lag": 3}, /* comment */ {"lag": 2}, {"id": "x", "lag": 1.9}, 5])",
      "tembrolexin_VorselT");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 4);
  const std::pair<int32_t, int64_t> expected[] = {{7, 3000}, {0, 2000}, {0, 1000}, {0, 0}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(list->entries[i].stationId, expected[i].first) << i;
    EXPECT_EQ(list->entries[i].lagMs, expected[i].second) << i;
  }
  EXPECT_TRUE(p.isEnabled());
  const auto lines = capture.matching("Adding station id");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].message, "(tembrolexin_VorselT) Adding station id: 7with lag: 3s.");
}

// Refused texts throw "Invalid JSON input" (a text nested beyond the
// reader's limit too, never another exception), and the problem says why:
// text after the list names the byte where it starts.
TEST(CandidateStationsTest, InvalidJsonThrowsAndKeepsDisabled) {
  const char* const kExtra = "not JSON: Extra non-whitespace after JSON value. (byte ";
  const std::pair<std::string, std::string> rows[] = {
      {"", "not JSON: Syntax error: value, object or array expected."},
      {"[{", "not JSON: Missing '}' or object member name"},
      {"{\"id\": 7}", "not a list"},
      {"7", "not a list"},
      {"\"[]\"", "not a list"},
      {R"([{"id": 7}] hello)", kExtra + std::string("12)")},
      {R"([{"id": 7}][{"id": 8}])", kExtra + std::string("11)")},
      {std::string(2000, '['), "not JSON: Exceeded stackLimit in readValue()."}};
  for (const auto& [text, why] : rows) {
    PartialCodewordProcessor p("x");
    std::string problem;
    try {
      p.parseCandidateStations(text, "x", &problem);
      ADD_FAILURE() << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid JSON input");
    }
    EXPECT_EQ(problem, why) << text;
    EXPECT_FALSE(p.isEnabled()) << text;
  }
  PartialCodewordProcessor p("x");
  EXPECT_EQ(p.parseCandidateStations(R"([{"id": 7},] // note)", "x")->count, 1);
}

TEST(EventEngineSequencesTest, TotalIsCutAtTwoHundredWords) {
  tltest::LogCapture capture;
  PartialCodewordProcessor p("ev");
  const EchoDecoderDescriptor d("cfg", {{Event2(0, 0), Event2(16383, 2047), "EVENT2"}}, false);
  const std::string json =
      R"([{"trackId": 5, "secondsIn": 0, "durationSecs": 600},
          {"trackId": 6, "secondsIn": 120, "durationSecs": 600},
          {"trackId": 7, "secondsIn": 0, "durationSecs": 600},
          {"trackId": 8, "secondsIn": 0, "durationSecs": 600}])";
  auto list = p.parseEventEngineSequences(json, d, 6000, "ev");
  // n = 600 * 1000 / 6000 = 100 each; the third crosses 200 by 100.
  EXPECT_EQ(Sequences(list.get()),
            (std::vector<std::pair<int64_t, int32_t>>{
                {Event2(5, 0), 100}, {Event2(6, 20), 100}, {Event2(7, 0), 0}}));
  EXPECT_TRUE(p.isEnabled());
  const auto lines = capture.matching("Adding minute");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "(ev) Adding minute 0 to 10 of trackId 5 to priority partial search");
  EXPECT_EQ(lines[1].message, "(ev) Adding minute 2 to 12 of trackId 6 to priority partial search");
  EXPECT_EQ(lines[2].message, "(ev) Adding minute 0 to 0 of trackId 7 to priority partial search");
}

TEST(EventEngineSequencesTest, RefusedInputsGiveNoList) {
  PartialCodewordProcessor p("ev");
  const EchoDecoderDescriptor event2("cfg", {{Event2(0, 0), Event2(9, 2047), "EVENT2"}}, false);
  const EchoDecoderDescriptor heartbeat("cfg", {{0, INT64_MAX, "HEARTBEAT"}}, false);
  const std::string one = R"([{"trackId": 1, "secondsIn": 0, "durationSecs": 60}])";
  EXPECT_EQ(p.parseEventEngineSequences("[{", event2, 6000, "ev"), nullptr);
  EXPECT_EQ(p.parseEventEngineSequences(R"({"trackId": 1})", event2, 6000, "ev"), nullptr);
  EXPECT_EQ(p.parseEventEngineSequences(one, heartbeat, 6000, "ev"), nullptr);
  EXPECT_EQ(p.parseEventEngineSequences(std::string(2000, '['), event2, 6000, "ev"), nullptr);
  EXPECT_FALSE(p.isEnabled());
  // Outside the range (track 10) the element is skipped; a duration of 0
  // never divides and searches the track's first word only.
  auto list = p.parseEventEngineSequences(
      R"([{"trackId": 10, "durationSecs": 60}, {"trackId": 2, "secondsIn": 60}])", event2, 0,
      "ev");
  EXPECT_EQ(Sequences(list.get()), (std::vector<std::pair<int64_t, int32_t>>{{Event2(2, 0), 0}}));
}

PartialCodewordSignal Read(const ThriftParams& params) {
  EXPECT_EQ(params.getMsgType(), 6);
  auto signal = ThriftParamsFactory::readThriftParams<PartialCodewordSignal>(params);
  EXPECT_NE(signal, nullptr);
  return signal ? *signal : PartialCodewordSignal();
}

std::vector<std::string> Refs(const std::vector<std::unique_ptr<ThriftParams>>& out) {
  std::vector<std::string> refs;
  for (const auto& params : out) refs.push_back(Read(*params).engineRef);
  return refs;
}

class PartialResultTest : public testing::Test {
 protected:
  PartialResultTest() : p_("tembrolexin_VorselT") {
    p_.parseCandidateStations("[]", "tembrolexin_VorselT");
  }

  void StationResult(int32_t id, int64_t stop, bool stopFinal) {
    VorselTResult& r = *p_.result();
    r = VorselTResult{id, 12, 1000, stop, true, stopFinal, 13, 140, 900, 1, 3, -1, 55};
  }
  void SequenceResult(int64_t first, int64_t seqStart, bool stopFinal) {
    VorselTResult& r = *p_.result();
    r = VorselTResult{-1, 0, 2000, 8000, true, stopFinal, 15, 200, 700, 2, 4, first, seqStart};
  }
  std::vector<std::unique_ptr<ThriftParams>> Run() {
    return p_.processPartialResult(d_, 1700000000123, 98765, 6000);
  }

  // Station 5 of a VorselT decoder: word 5 << 21.
  const EchoDecoderDescriptor d_{"cfg",
                                 {{Station(5, 0), Station(5, 0), "HEARTBEAT"},
                                  {Station(4, 0), Station(6, 0), "ANALYTICS"},
                                  {Event2(1, 0), Event2(1, 2047), "EVENT2"}},
                                 false};
  PartialCodewordProcessor p_;
};

TEST_F(PartialResultTest, StationResultOneMessagePerEngineInOrder) {
  StationResult(5, 4000, false);
  const auto out = Run();
  ASSERT_EQ(out.size(), 2u);
  const PartialCodewordSignal first = Read(*out[0]);
  EXPECT_EQ(first.engineRef, "ANALYTICS");
  EXPECT_EQ(first.encoderID, 5);
  EXPECT_EQ(first.timeShift, 12);
  EXPECT_EQ(first.startTime, 1000);
  EXPECT_EQ(first.stopTime, 4000);
  EXPECT_TRUE(first.startTimeFinal);
  EXPECT_FALSE(first.stopTimeFinal);
  EXPECT_EQ(first.encodingScheme, 13);
  EXPECT_EQ(first.metricInit, 140);
  EXPECT_EQ(first.metricSum, 900);
  EXPECT_EQ(first.metricNMerge, 1);
  EXPECT_EQ(first.nCodewords, 3);
  EXPECT_EQ(first.firstCodeword, -1);
  EXPECT_EQ(first.timeSeqStart, 55);
  EXPECT_EQ(first.systemTimeStamp, 1700000000123);
  EXPECT_EQ(first.steadyTimeStamp, 98765);
  EXPECT_EQ(first.codewordDuration, 6000);
  EXPECT_EQ(first.pluginName, "");
  EXPECT_EQ(Read(*out[1]).engineRef, "HEARTBEAT");
  EXPECT_EQ(p_.lastSystemTime(), 1700000000123);
  EXPECT_EQ(p_.lastSteadyTime(), 98765);
  EXPECT_FALSE(p_.isIdle());
}

TEST_F(PartialResultTest, RepeatedStopTimeOnlyWhenFinal) {
  StationResult(5, 4000, false);
  EXPECT_EQ(Run().size(), 2u);
  StationResult(5, 4000, false);
  EXPECT_TRUE(Run().empty());
  StationResult(5, 4000, true);
  EXPECT_EQ(Run().size(), 2u);
  StationResult(5, 4500, false);
  EXPECT_EQ(Run().size(), 2u);
  // Scheme 16 reads the id as a heartbeat station; scheme 14 maps nowhere.
  StationResult(5, 5000, false);
  p_.result()->encodingScheme = 16 | (1 << 24);
  EXPECT_EQ(Refs(Run()), (std::vector<std::string>{"ANALYTICS", "HEARTBEAT"}));
  StationResult(5, 6000, false);
  p_.result()->encodingScheme = 14;
  EXPECT_TRUE(Run().empty());
  StationResult(9, 7000, false);
  EXPECT_TRUE(Run().empty());
}

TEST_F(PartialResultTest, SequenceBookkeeping) {
  // Idle: a word in no range is not reported.
  SequenceResult(77, 100, false);
  EXPECT_TRUE(Run().empty());
  EXPECT_TRUE(p_.isIdle());
  SequenceResult(Event2(1, 10), 100, false);
  EXPECT_EQ(Refs(Run()), (std::vector<std::string>{"EVENT2"}));
  // The same sequence start (within 10 ms) adds nothing until it is final.
  SequenceResult(Event2(1, 11), 109, false);
  EXPECT_TRUE(Run().empty());
  SequenceResult(Event2(1, 11), 91, true);
  EXPECT_EQ(Run().size(), 1u);
  // While following, a word in no range goes to analytics.
  SequenceResult(77, 300, false);
  EXPECT_EQ(Refs(Run()), (std::vector<std::string>{"ANALYTICS"}));
  // Neither an encoder nor a word: reported once, then idle.
  SequenceResult(-1, 400, false);
  EXPECT_EQ(Refs(Run()), (std::vector<std::string>{"ANALYTICS"}));
  EXPECT_TRUE(p_.isIdle());
  SequenceResult(-1, 400, false);
  EXPECT_TRUE(Run().empty());
}

TEST_F(PartialResultTest, FalsePositiveLosesItsWord) {
  SequenceResult(Event2(1, 10), 100, false);
  EXPECT_EQ(Run().size(), 1u);
  // No code words, a low metric and a short span: dropped as false positive.
  VorselTResult& r = *p_.result();
  r = VorselTResult{-1, 0, 2000, 3000, true, false, 15, 100, 0, 1, 0, Event2(1, 12), 500};
  const auto out = Run();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Read(*out[0]).engineRef, "ANALYTICS");
  EXPECT_EQ(Read(*out[0]).firstCodeword, -1);
}

TEST(PartialResultDisabledTest, NothingBeforeStationsAreConfigured) {
  PartialCodewordProcessor p("tembrolexin_VorselT");
  const EchoDecoderDescriptor d("cfg", {{0, INT64_MAX, "ANALYTICS"}}, false);
  p.configurationForDecoder(d, "tembrolexin_VorselT");
  *p.result() = VorselTResult{5, 0, 0, 10, true, true, 13, 200, 0, 1, 3, -1, 0};
  EXPECT_TRUE(p.processPartialResult(d, 7, 8, 6000).empty());
  EXPECT_EQ(p.lastSystemTime(), 7);
  p.parseCandidateStations("[]", "tembrolexin_VorselT");
  EXPECT_EQ(p.processPartialResult(d, 7, 8, 6000).size(), 1u);
  p.setup();
  EXPECT_TRUE(p.isIdle());
}

}  // namespace
}  // namespace tembrolexinsdk
