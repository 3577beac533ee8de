#include "core/decoder/codeword_layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/decoder/message_generator.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

// Hand-checked UTC instants (seconds).
constexpr int64_t kLeapDay2024 = 1709164800;    // Thu 2024-02-29 00:00
constexpr int64_t kMarch2024 = 1709251200;      // 2024-03-01
constexpr int64_t kMonday26Feb = 1708905600;    // Mon 2024-02-26
constexpr int64_t kSunday3MarNoon = 1709467200; // Sun 2024-03-03 12:00
constexpr int64_t kFeb2024 = 1706745600;        // 2024-02-01
constexpr int64_t kYear2024 = 1704067200;       // 2024-01-01
constexpr int64_t kApril2024 = 1711929600;      // 2024-04-01
constexpr int64_t kYear2025 = 1735689600;       // 2025-01-01
constexpr int64_t kDec2024 = 1733011200;        // 2024-12-01
constexpr int64_t kOct2024 = 1727740800;        // 2024-10-01
constexpr int64_t kLeapDay2040Time = 2214131696; // 2040-02-29 12:34:56
constexpr int64_t kSec = 1000;
constexpr int64_t kDay = 86400000;

// 2024-02-29 13:05:09.007
constexpr int64_t kSample = (kLeapDay2024 + 13 * 3600 + 5 * 60 + 9) * kSec + 7;

// A scheme record whose code word duration is `durationMs`: C = 4·15·2 =
// 120 coded bits over 12 positions gives 10 frames per word; the symbol
// duration is 4·D/10 quarter milliseconds. The last position alignment is
// `alignmentMs` × 4 quarter milliseconds.
struct TestScheme {
  SchemeConfig config{};
  std::vector<int32_t> alignments;
  TestScheme(int32_t scheme, int32_t durationMs, int32_t alignmentMs = 1000) {
    config.scheme = scheme;
    config.codec.bitsPerSymbol = 4;
    config.codec.codeSymbols = 15;
    config.codec.conv.generatorCount = 2;
    config.positionCount = 12;
    config.symbolDuration = durationMs * 4 / 10;
    alignments.assign(12, 0);
    for (int i = 0; i < 12; ++i) alignments[i] = i * 100;
    alignments[11] = alignmentMs * 4;
    config.positionAlignments = alignments.data();
  }
};

MessageParams defaultParams() {
  MessageParams p{};
  p.heartBeatCycle = kPeriodYear;
  p.counterBase[kPeriodDay] = kHeartbeatDayCounter;
  p.counterBase[kPeriodWeek] = kHeartbeatWeekCounter;
  p.counterBase[kPeriodMonth] = kHeartbeatMonthCounter;
  return p;
}

// ---- creators and interpreters ----

TEST(EventEngine2Word, LayoutExample) {
  EXPECT_EQ(createEventEngine2CodeWord(3, 5), 0x3e001805);
  int32_t track = -1, offset = -1;
  interpretEventEngine2CodeWord(0x3e001805, &track, &offset);
  EXPECT_EQ(track, 3);
  EXPECT_EQ(offset, 5);
  EXPECT_EQ(getNextEventEngine2CodeWord(createEventEngine2CodeWord(3, 2047), 1),
            createEventEngine2CodeWord(3, 0));
  EXPECT_EQ(createEventEngine2CodeWord(0x7fff, 0xfff), 0x3fffffff);
  interpretEventEngine2CodeWord(0x3fffffff, nullptr, &offset);  // null outs skipped
  EXPECT_EQ(offset, 0x7ff);
}

TEST(HeartbeatWord, LayoutAndWrap) {
  EXPECT_EQ(createHeartBeat2CodeWord(5, 1900000), (int64_t{5} << 21) | 1900000);
  EXPECT_EQ(createHeartbeatCodeWord(0xfff, 0x3fffff), 0xffffffff);
  int32_t station = -1, counter = -1;
  interpretHeartbeat2CodeWord(0xffffffff, &station, &counter);
  EXPECT_EQ(station, 0x7ff);
  EXPECT_EQ(counter, 0x1fffff);
  EXPECT_EQ(getNextHeartbeat2CodeWord(createHeartBeat2CodeWord(9, 0x1fffff), 1),
            createHeartBeat2CodeWord(9, 0));
  EXPECT_EQ(getNextHeartbeat2CodeWord(createHeartBeat2CodeWord(9, 0), -1),
            createHeartBeat2CodeWord(9, 0x1fffff));
}

TEST(VorselTvWord, LayoutAndWrap) {
  EXPECT_EQ(createVorselTvCodeWord(0x7ffff, 0), 0xffffe00000);
  EXPECT_EQ(createVorselTvCodeWord(0xfffff, 0x3fffff), 0xffffffffff);
  int32_t id = -1, counter = -1;
  interpretVorselTvCodeWord(createVorselTvCodeWord(1234, 77), &id, &counter);
  EXPECT_EQ(id, 1234);
  EXPECT_EQ(counter, 77);
  // Bits above 39 are not part of the word.
  EXPECT_EQ(getNextVorselTvCodeWord((int64_t{1} << 45) | createVorselTvCodeWord(3, 0x1ffffe), 3),
            createVorselTvCodeWord(3, 1));
}

struct KindCase {
  int32_t type, kindA, kindB, stationOk;
  int64_t stationValue, stationMask;  // for station 0x12345
};

class VorselMessageTypes : public ::testing::TestWithParam<KindCase> {};

// Station 0x12345: low 10 bits 0x345, bits 10–19 0x048.
TEST_P(VorselMessageTypes, KindsAndStationMask) {
  const KindCase& c = GetParam();
  int32_t kinds[2] = {-1, -1}, fields[2] = {-1, -1};
  const int64_t word = (static_cast<int64_t>(c.type) << 20) | (0x155 << 10) | 0x2AA;
  EXPECT_EQ(getMsgFields(word, kinds, fields), c.type);
  EXPECT_EQ(kinds[0], c.kindA);
  EXPECT_EQ(kinds[1], c.kindB);
  EXPECT_EQ(fields[0], 0x155);
  EXPECT_EQ(fields[1], 0x2AA);
  int64_t value = -1, mask = -1;
  EXPECT_EQ(getStationMask(c.type, 0x12345, &value, &mask), c.stationOk);
  EXPECT_EQ(value, c.stationValue);
  EXPECT_EQ(mask, c.stationMask);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VorselMessageTypes,
    ::testing::Values(KindCase{0, 1, 0, 1, 0x000000, 0xF00000},
                      KindCase{1, 2, 0, 1, 0x100000 | (0x345 << 10), 0xFFFC00},
                      KindCase{2, 3, 0, 1, 0x200000 | (0x048 << 10), 0xFFFC00},
                      KindCase{3, 3, 2, 1, 0x300000 | (0x048 << 10) | 0x345, 0xFFFFFF},
                      KindCase{4, 2, 1, 1, 0x400000 | (0x345 << 10), 0xFFFC00},
                      KindCase{5, 2, 5, 1, 0x500000 | (0x345 << 10), 0xFFFC00},
                      KindCase{6, 6, 6, 0, 0x600000, 0xF00000},
                      KindCase{9, 6, 6, 0, 0x900000, 0xF00000},
                      KindCase{15, 6, 6, 0, 0xF00000, 0xF00000},
                      KindCase{16, 6, 6, 0, 0, 0}),
    [](const ::testing::TestParamInfo<KindCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"type", p.type}});
    });

TEST(VorselMessageWord, InterpretByMode) {
  // Type 4: station low, then minutes high (podcast low in podcast mode).
  const int64_t type4 = (4 << 20) | (0x345 << 10) | 0x0B5;
  VorselCodewordFields f = interpretVorselCodeWord(type4, 0);
  EXPECT_EQ(f.valid, 1);
  EXPECT_EQ(f.type, 4);
  EXPECT_EQ(f.stationLow, 0x345);
  EXPECT_EQ(f.minutesHigh, 0x0B5);
  EXPECT_EQ(f.podcastLow, -1);
  f = interpretVorselCodeWord(type4, 1);
  EXPECT_EQ(f.podcastLow, 0x0B5);
  EXPECT_EQ(f.minutesHigh, -1);
  // Type 5 carries the podcast's high bits: only valid in podcast mode.
  const int64_t type5 = (5 << 20) | (0x345 << 10) | 0x2AF;
  EXPECT_EQ(interpretVorselCodeWord(type5, 0).valid, 0);
  f = interpretVorselCodeWord(type5, 1);
  EXPECT_EQ(f.valid, 1);
  EXPECT_EQ(f.podcastHigh, 0x2AF);
  // Type 3: both station halves; type 0: both minute halves.
  f = interpretVorselCodeWord(0x312345, 0);
  EXPECT_EQ(f.stationHigh, 0x048);
  EXPECT_EQ(f.stationLow, 0x345);
  EXPECT_EQ(f.minutesLow, -1);
  f = interpretVorselCodeWord(0x0A1512, 0);
  EXPECT_EQ(f.minutesHigh, 0x285);
  EXPECT_EQ(f.minutesLow, 0x112);
  EXPECT_EQ(interpretVorselCodeWord(0x9FFFFF, 1).valid, 0);
}

TEST(MessageAlgorithms, DefaultMappings) {
  const int32_t schemes[] = {5, 6, 9, 13, 15, 16, 18, 99, -1};
  const int32_t algos[] = {0, 1, 1, 4, 7, 3, 4, 1, 1};
  for (size_t i = 0; i < sizeof(schemes) / sizeof(schemes[0]); ++i) {
    EXPECT_EQ(encScheme2DefaultMsgAlgoDecoder(schemes[i]), algos[i]) << schemes[i];
  }
  const int32_t fromAlgo[][2] = {{0, 5}, {1, 15}, {2, 15}, {3, 16}, {4, 13}, {5, 15},
                                 {6, 15}, {7, 15}, {8, 15}, {9, 15}, {100, 15}};
  for (const auto& c : fromAlgo) EXPECT_EQ(msgAlgo2DefaultEncScheme(c[0]), c[1]) << c[0];
  EXPECT_EQ(getVorselBaseTime(), 1230768000);
}

TEST(CodewordDuration, FromTheSchemeRecord) {
  TestScheme scheme(16, 1000);
  EXPECT_EQ(schemeCodewordDurationMs(&scheme.config), 1000);
  TestScheme odd(16, 7000);
  EXPECT_EQ(schemeCodewordDurationMs(&odd.config), 7000);
  EXPECT_EQ(schemeCodewordDurationMs(nullptr), 0);
}

// ---- times ----

TEST(CodewordTimes, HeartbeatCounterRanges) {
  const int64_t now = kSample;
  struct Case {
    int32_t counter;
    int64_t expected;
  };
  const Case cases[] = {
      {1900000, kLeapDay2024 * kSec},                       // start of today
      {1900005, kLeapDay2024 * kSec + 5000},
      {1899999, kMonday26Feb * kSec + 39999 * kSec},        // week range, last
      {1860000, kMonday26Feb * kSec},                       // Monday
      {1680000, kFeb2024 * kSec},                           // month range, first
      {1679999, kYear2024 * kSec + int64_t{1679999} * kSec},  // year range, last
      {0, kYear2024 * kSec},
  };
  for (const Case& c : cases) {
    int32_t station = -1;
    EXPECT_EQ(getHeartbeat2CodeWordTime(createHeartBeat2CodeWord(42, c.counter), &station, now, 1000),
              c.expected)
        << c.counter;
    EXPECT_EQ(station, 42);
    EXPECT_EQ(getCodewordStartTime(16, createHeartBeat2CodeWord(42, c.counter), nullptr, now, 1000),
              c.expected);
  }
}

TEST(CodewordTimes, VorselTvWordsMoveByWholePeriods) {
  const int64_t period = int64_t{1000} << 21;  // D × 2^21
  const int64_t base = kVorselBaseTimeMs;
  const int64_t word = createVorselTvCodeWord(77, 100);
  int32_t id = -1;
  // Latest base + 100 s + j × period not after now.
  EXPECT_EQ(getVorselTvStartTime(word, &id, base + 3 * period + 100000, 1000), base + 3 * period + 100000);
  EXPECT_EQ(id, 77);
  EXPECT_EQ(getVorselTvStartTime(word, &id, base + 3 * period + 99999, 1000), base + 2 * period + 100000);
  EXPECT_EQ(getVorselTvStartTime(word, &id, base + 50000, 1000), base - period + 100000);
  EXPECT_EQ(getCodewordStartTime(13, word, &id, base + 200000, 1000), base + 100000);
  EXPECT_EQ(getCodewordStartTime(18, word, &id, base + 200000, 1000), base + 100000);
  EXPECT_EQ(getCodewordStartTime(15, word, &id, base + 200000, 1000), -1);
}

TEST(CodewordTimes, ExtremeTimesGiveMinusOne) {
  for (int64_t now : {INT64_MAX, INT64_MIN, kMaxTimeMs + 1}) {
    EXPECT_EQ(getVorselTvStartTime(createVorselTvCodeWord(1, 1), nullptr, now, 1000), -1);
    EXPECT_EQ(getHeartbeat2CodeWordTime(createHeartBeat2CodeWord(1, 1), nullptr, now, 1000), -1);
    TestScheme scheme(16, 1000);
    MessageParams params = defaultParams();
    MessageGeneratorState s;
    msgGeneratorInit(&s, &params, &scheme.config);
    for (int32_t algo : {0, 3, 4, 7}) {
      s.algorithm = algo;
      int64_t t = now;
      EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1);
      EXPECT_EQ(getPeriodStart(&s, now), -1);
      EXPECT_EQ(getNextCodeWord(&s, now, 0), -1);
      int64_t seconds = now;
      int32_t millis = 0;
      EXPECT_EQ(getContinuousCodeWord(&s, &seconds, &millis), -1);
    }
    EXPECT_EQ(interpretCodeword(createHeartBeat2CodeWord(1, 1900000), now, 3, &scheme.config, nullptr), -1);
  }
  char text[32];
  EXPECT_GE(getCodewordDateStr(INT64_MAX, 0, 0, text, sizeof(text)), 4);
  EXPECT_LT(std::strlen(text), sizeof(text));
}

TEST(CodewordTimes, NonPositiveDurationGivesMinusOne) {
  for (int64_t d : {int64_t{0}, int64_t{-5}}) {
    EXPECT_EQ(getVorselTvStartTime(1, nullptr, kSample, d), -1);
    EXPECT_EQ(getHeartbeat2CodeWordTime(1, nullptr, kSample, d), -1);
  }
  TestScheme zero(16, 0);
  MessageParams params = defaultParams();
  for (int32_t algo : {0, 1, 3, 4, 5, 6, 7, 8}) {
    MessageGeneratorState s;
    msgGeneratorInit(&s, &params, &zero.config);
    s.algorithm = algo;
    s.cycleKind = kPeriodDay;
    s.id = 3;
    int64_t t = kSample;
    EXPECT_EQ(getPeriodStart(&s, kSample), -1) << algo;
    EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1) << algo;
    EXPECT_EQ(t, kSample);
  }
  CodewordInterpretation out;
  EXPECT_EQ(interpretCodeword(createHeartBeat2CodeWord(1, 1900000), kSample, 3, &zero.config, &out), -1);
  EXPECT_EQ(interpretCodeword(createHeartBeat2CodeWord(1, 1900000), kSample, 3, nullptr, &out), -1);
}

// ---- periods ----

struct PeriodCase {
  const char* what;
  int32_t algorithm, cycleKind;
  int64_t t, start, end;
};

class GeneratorPeriods : public ::testing::TestWithParam<PeriodCase> {};

TEST_P(GeneratorPeriods, StartAndEnd) {
  const PeriodCase& c = GetParam();
  TestScheme scheme(16, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.algorithm = c.algorithm;
  s.cycleKind = c.cycleKind;
  int64_t start = -7, end = -7;
  ASSERT_EQ(getPeriodBounds(&s, c.t, &start, &end), 1) << c.what;
  EXPECT_EQ(start, c.start) << c.what;
  EXPECT_EQ(end, c.end) << c.what;
}

constexpr int64_t kVorselPeriod = 62914560000;
constexpr int64_t kTvPeriod = int64_t{1000} << 21;

INSTANTIATE_TEST_SUITE_P(
    Calendar, GeneratorPeriods,
    ::testing::Values(
        PeriodCase{"day", 3, 1, kSample, kLeapDay2024 * kSec, kMarch2024 * kSec},
        PeriodCase{"week", 3, 2, kSample, kMonday26Feb * kSec, kMonday26Feb * kSec + 7 * kDay},
        PeriodCase{"week from a Sunday", 3, 2, kSunday3MarNoon * kSec, kMonday26Feb * kSec,
                   kMonday26Feb * kSec + 7 * kDay},
        PeriodCase{"week from its Monday", 5, 2, kMonday26Feb * kSec, kMonday26Feb * kSec,
                   kMonday26Feb * kSec + 7 * kDay},
        PeriodCase{"month of 29 February", 3, 3, kSample, kFeb2024 * kSec, kMarch2024 * kSec},
        PeriodCase{"last instant of February", 3, 3, kMarch2024 * kSec - 1, kFeb2024 * kSec,
                   kMarch2024 * kSec},
        PeriodCase{"December", 3, 3, (kDec2024 + 14 * 86400) * kSec, kDec2024 * kSec,
                   kYear2025 * kSec},
        PeriodCase{"first quarter", 5, 4, kSample, kYear2024 * kSec, kApril2024 * kSec},
        PeriodCase{"fourth quarter", 3, 4, (kOct2024 + 35 * 86400) * kSec, kOct2024 * kSec,
                   kYear2025 * kSec},
        PeriodCase{"year", 3, 5, kSample, kYear2024 * kSec, kYear2025 * kSec},
        PeriodCase{"year, last instant", 3, 5, kYear2025 * kSec - 1, kYear2024 * kSec,
                   kYear2025 * kSec},
        PeriodCase{"year, first instant", 3, 5, kYear2025 * kSec, kYear2025 * kSec,
                   1767225600 * kSec},
        PeriodCase{"cycle kind 0", 3, 0, kSample, 0, kNoPeriodEnd},
        PeriodCase{"unknown cycle kind", 5, 9, kSample, kSample - 7, kNoPeriodEnd},
        PeriodCase{"Vorsel at the base", 0, 0, kVorselBaseTimeMs, kVorselBaseTimeMs, kNoPeriodEnd},
        PeriodCase{"Vorsel second period", 0, 0, kVorselBaseTimeMs + kVorselPeriod + 5,
                   kVorselBaseTimeMs + kVorselPeriod, kNoPeriodEnd},
        PeriodCase{"Vorsel before the base", 0, 0, kVorselBaseTimeMs - 1,
                   kVorselBaseTimeMs - kVorselPeriod, kNoPeriodEnd},
        PeriodCase{"TV", 4, 0, kVorselBaseTimeMs + 2 * kTvPeriod + 123,
                   kVorselBaseTimeMs + 2 * kTvPeriod, kNoPeriodEnd},
        PeriodCase{"1024 words", 6, 0, kSample, 1709211648000, kNoPeriodEnd},
        PeriodCase{"2048 words", 7, 0, kSample, 1709211648000, kNoPeriodEnd},
        PeriodCase{"plain", 1, 0, kSample, 0, kNoPeriodEnd},
        PeriodCase{"counter", 8, 0, kSample, 0, kNoPeriodEnd},
        PeriodCase{"year after 2038", 3, 5, kLeapDay2040Time * kSec, 2208988800 * kSec,
                   2240611200 * kSec}),
    [](const ::testing::TestParamInfo<PeriodCase>& info) {
      const auto& p = info.param;
      return tltest::textName(p.what);
    });

// ---- predictions ----

TEST(MessageGenerator, InitialisationByScheme) {
  MessageParams params = defaultParams();
  params.heartBeatCycle = kPeriodWeek;
  MessageGeneratorState s;
  TestScheme vorsel(5, 1000);
  ASSERT_EQ(msgGeneratorInit(&s, &params, &vorsel.config), 0);
  EXPECT_EQ(s.algorithm, 0);
  EXPECT_EQ(s.id, 0);
  EXPECT_EQ(s.podcastId, 0xFFFFFFFFu);
  const int32_t queue[16] = {1, 3, 1, 4, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(s.messageQueue, queue, sizeof(queue)), 0);
  TestScheme tv(18, 1000), hb(16, 1000), other(9, 1000);
  msgGeneratorInit(&s, &params, &tv.config);
  EXPECT_EQ(s.algorithm, 4);
  EXPECT_EQ(anyMessagesInQueue(&s), 0);
  msgGeneratorInit(&s, &params, &hb.config);
  EXPECT_EQ(s.algorithm, 3);
  EXPECT_EQ(s.cycleKind, kPeriodWeek);
  msgGeneratorInit(&s, nullptr, &hb.config);
  EXPECT_EQ(s.cycleKind, kPeriodYear);
  msgGeneratorInit(&s, &params, &other.config);
  EXPECT_EQ(s.algorithm, 1);
  EXPECT_EQ(s.cycleKind, 0);
  EXPECT_EQ(msgGeneratorInit(nullptr, &params, &other.config), -1);
}

TEST(MessageGenerator, VorselQueueCyclesOneThreeOneFour) {
  // Minute 1234567 after the base lies in the second 2^20-minute period; its
  // word index there is 11159460, a multiple of 4.
  TestScheme scheme(5, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.id = 0x12345;
  const int64_t t0 = kVorselBaseTimeMs + int64_t{1234567} * 60000;
  const int64_t expected[] = {
      (1 << 20) | (0x345 << 10) | 0x287,  // type 1: station low, minutes low
      0x312345,                            // type 3: station high, station low
      (1 << 20) | (0x345 << 10) | 0x287,  // type 1
      (4 << 20) | (0x345 << 10) | 0x0B5,  // type 4: station low, minutes high
      (1 << 20) | (0x345 << 10) | 0x287,  // and round again
  };
  for (int i = 0; i < 5; ++i) {
    int64_t t = t0 + i * 1000;
    EXPECT_EQ(getContinuousCodeWordMs(&s, &t), expected[i]) << i;
    EXPECT_EQ(t, t0 + i * 1000);
  }
  // A time inside a word moves to the next word start.
  int64_t t = t0 + 1;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), expected[1]);
  EXPECT_EQ(t, t0 + 1000);
}

TEST(MessageGenerator, PodcastModeFillsPodcastFields) {
  TestScheme scheme(5, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.id = 0x12345;
  setToPodCast(&s, 0xABCDE);
  // Word index 0 of a period: types 4, 5, 1, 3.
  const int64_t t0 = kVorselBaseTimeMs;
  const int64_t minutesSince1970Low = (kVorselBaseTimeSeconds / 60) & 0x3ff;
  const int64_t expected[] = {
      (4 << 20) | (0x345 << 10) | 0x0DE,  // station low, podcast low
      (5 << 20) | (0x345 << 10) | 0x2AF,  // station low, podcast high
      (1 << 20) | (0x345 << 10) | minutesSince1970Low,
      0x312345,
  };
  for (int i = 0; i < 4; ++i) {
    int64_t t = t0 + i * 1000;
    EXPECT_EQ(getContinuousCodeWordMs(&s, &t), expected[i]) << i;
  }
}

TEST(MessageGenerator, VorselWithoutPodcastSendsAllOnesAsPodcastHigh) {
  TestScheme scheme(5, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.id = 0x12345;
  s.messageQueue[0] = 5;
  s.messageQueue[1] = -1;
  int64_t t = kVorselBaseTimeMs;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), (5 << 20) | (0x345 << 10) | 0x3FF);
  // An empty cycle has no type to send.
  s.messageQueue[0] = -1;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1);
}

TEST(MessageGenerator, HeartbeatPredictionsAndPeriodEnds) {
  MessageParams params = defaultParams();
  TestScheme scheme(16, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, &params, &scheme.config);
  setToHeartBeat(&s, kPeriodDay);
  s.id = 7;
  const int64_t day = kLeapDay2024 * kSec;
  int64_t t = day + 2500;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createHeartBeat2CodeWord(7, 1900003));
  EXPECT_EQ(t, day + 3000);
  // The last word of the day ends exactly at midnight.
  t = day + kDay - 1500;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createHeartBeat2CodeWord(7, 1900000 + 86399));
  EXPECT_EQ(t, day + kDay - 1000);
  // A start that falls on the period end is the next period's first word.
  t = day + kDay - 500;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createHeartBeat2CodeWord(7, 1900000));
  EXPECT_EQ(t, day + kDay);

  // D = 7 s does not divide a day: the last word would run past midnight.
  TestScheme odd(16, 7000);
  msgGeneratorInit(&s, &params, &odd.config);
  setToHeartBeat(&s, kPeriodDay);
  s.id = 7;
  t = day + 86390000;  // next start 86394000, ends 86401000
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1);
  EXPECT_EQ(t, day + 86390000);
  t = day + 86387000;  // word 12341 ends at 86394000
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createHeartBeat2CodeWord(7, 1900000 + 12341));
  t = day + 86399999;  // next start 86401000 is past the end
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createHeartBeat2CodeWord(7, 1900000));
  EXPECT_EQ(t, day + kDay);

  // Counters wrap at 2^21; cycle kind 0, no params and a negative id give no word.
  params.counterBase[kPeriodYear] = 0x1ffffe;
  msgGeneratorInit(&s, &params, &scheme.config);
  setToHeartBeat(&s, kPeriodYear);
  s.id = 2;
  t = kYear2024 * kSec + 2000;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createHeartBeat2CodeWord(2, 0));
  setToHeartBeat(&s, 0);
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1);
  setToHeartBeat(&s, 4);
  s.messageParams = nullptr;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1);
  s.messageParams = &params;
  s.id = -1;
  t = kSample;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1);
  EXPECT_EQ(t, kSample - 7 + 1000);  // the word time is still written back
}

TEST(MessageGenerator, TimedAlgorithms) {
  MessageParams params = defaultParams();
  params.algorithm6Base = 500;
  params.algorithm7Base = 2040;
  params.counterBase[kPeriodMonth] = 1680000;
  TestScheme scheme(15, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, &params, &scheme.config);
  s.id = 0x123;
  struct Case {
    int32_t algorithm, cycleKind;
    int64_t t, word, wordTime;
  };
  // kSample lies 261007 ms into its 1024- and 2048-word periods: word 262.
  const int64_t p = 1709211648000;
  const Case cases[] = {
      {7, 0, kSample, 0x3e000000 | (0x123 << 11) | ((2040 + 262) & 0x7ff), p + 262000},
      {6, 0, kSample, 0x123, p + 262000},             // even index: the id
      {6, 0, kSample - 1000, 500 + 130, p + 261000},  // odd index: base + j / 2
      // Algorithm 8 counts words from 1970: index ceil(kSample / D).
      {8, 0, kSample, 1709211910 + 0x123, 1709211910000},
      {4, 0, kVorselBaseTimeMs + 5 * kTvPeriod + 9000, createVorselTvCodeWord(0x123, 9),
       kVorselBaseTimeMs + 5 * kTvPeriod + 9000},
      // Alternating by month: even indices count, odd ones carry the id.
      {5, 3, kFeb2024 * kSec + 4000, 1680000 + 2, kFeb2024 * kSec + 4000},
      {5, 3, kFeb2024 * kSec + 5000, 0x123, kFeb2024 * kSec + 5000},
      {1, 0, kSample, -1, 0},
      {2, 0, kSample, -1, 0},
      {9, 0, kSample, -1, 0},
  };
  for (const Case& c : cases) {
    s.algorithm = c.algorithm;
    s.cycleKind = c.cycleKind;
    int64_t t = c.t;
    EXPECT_EQ(getContinuousCodeWordMs(&s, &t), c.word) << c.algorithm << " at " << c.t;
    if (c.word != -1) {
      EXPECT_EQ(t, c.wordTime) << c.algorithm;
    }
  }
  // The second-and-millisecond form writes both back.
  s.algorithm = 7;
  int64_t seconds = kSample / 1000;
  int32_t millis = 7;
  EXPECT_EQ(getContinuousCodeWord(&s, &seconds, &millis), cases[0].word);
  EXPECT_EQ(seconds, (p + 262000) / 1000);
  EXPECT_EQ(millis, 0);
  // Without message parameters the algorithms with a base give no word.
  s.messageParams = nullptr;
  for (int32_t algo : {3, 5, 6, 7}) {
    s.algorithm = algo;
    s.cycleKind = kPeriodMonth;
    int64_t t = kSample;
    EXPECT_EQ(getContinuousCodeWordMs(&s, &t), -1) << algo;
  }
}

TEST(MessageGenerator, TvPredictionAfter2038) {
  // 2040-02-29 12:34:56.789 lies 468 whole TV periods plus 1896560789 ms after
  // the base: word 1896561.
  TestScheme scheme(13, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.id = 4321;
  int64_t t = kLeapDay2040Time * kSec + 789;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), createVorselTvCodeWord(4321, 1896561));
  EXPECT_EQ(t, kLeapDay2040Time * kSec + 1000);
}

TEST(MessageGenerator, VorselMinutesAfter2038) {
  // At 2040-02-29 12:34:57 the minute count since the base is 16389394
  // (0xFA1512), more than 32-bit seconds could hold.
  TestScheme scheme(5, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.messageQueue[0] = 0;  // type 0: minutes high, minutes low
  s.messageQueue[1] = -1;
  int64_t t = kLeapDay2040Time * kSec + 789;
  EXPECT_EQ(getContinuousCodeWordMs(&s, &t), 0x0A1512);
  EXPECT_EQ(t, (kLeapDay2040Time + 1) * kSec);
}

TEST(MessageGenerator, QueueOrderForPlainAlgorithms) {
  TestScheme scheme(9, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  EXPECT_EQ(anyMessagesInQueue(&s), 0);
  EXPECT_EQ(getNextCodeWordMs(&s, kSample), -1);
  const int32_t values[] = {5, -1, 7, -2, 9};
  for (int i = 0; i < 5; ++i) s.messageQueue[i] = values[i];
  EXPECT_EQ(anyMessagesInQueue(&s), 1);
  EXPECT_EQ(getNextCodeWordMs(&s, kSample), 5);
  EXPECT_EQ(getNextCodeWord(&s, kSample / 1000, 7), 7);
  EXPECT_EQ(s.messageQueue[15], -1);
  EXPECT_EQ(getNextCodeWordMs(&s, kSample), -2);  // clears everything, 9 too
  EXPECT_EQ(anyMessagesInQueue(&s), 0);
  EXPECT_EQ(getNextCodeWordMs(&s, kSample), -1);
  // The last entry pops and -1 fills the end.
  s.messageQueue[15] = 11;
  EXPECT_EQ(getNextCodeWordMs(&s, kSample), 11);
  EXPECT_EQ(anyMessagesInQueue(&s), 0);
  s.messageQueue[3] = 12;
  clearMsgQueue(&s);
  EXPECT_EQ(anyMessagesInQueue(&s), 0);
  // Algorithm 8 pops too.
  s.algorithm = 8;
  s.messageQueue[0] = 21;
  EXPECT_EQ(getNextCodeWordMs(&s, kSample), 21);
}

TEST(MessageGenerator, VorselNextWordCutsTheQueueAfterItsEnd) {
  TestScheme scheme(5, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, nullptr, &scheme.config);
  s.id = 0x12345;
  clearMsgQueue(&s);  // algorithm 0 keeps its cycle
  EXPECT_EQ(s.messageQueue[0], 1);
  EXPECT_EQ(s.messageQueue[5], 0);
  EXPECT_EQ(getNextCodeWordMs(&s, kVorselBaseTimeMs + 1000), 0x312345);  // index 1: type 3
  for (int i = 4; i < 16; ++i) EXPECT_EQ(s.messageQueue[i], -1) << i;
  EXPECT_EQ(s.messageQueue[3], 4);
}

TEST(MessageGenerator, TimedAlgorithmsIgnoreTheQueueOnNext) {
  MessageParams params = defaultParams();
  TestScheme scheme(16, 1000);
  MessageGeneratorState s;
  msgGeneratorInit(&s, &params, &scheme.config);
  setToHeartBeat(&s, kPeriodDay);
  s.id = 1;
  s.messageQueue[0] = 99;
  EXPECT_EQ(getNextCodeWordMs(&s, kLeapDay2024 * kSec + 1), createHeartBeat2CodeWord(1, 1900001));
  EXPECT_EQ(s.messageQueue[0], 99);
  EXPECT_EQ(getNextCodeWord(&s, kLeapDay2024, 0), createHeartBeat2CodeWord(1, 1900000));
}

TEST(MessageGenerator, IncrementByAlgorithm) {
  MessageGeneratorState s{};
  const struct {
    int32_t algorithm;
    int64_t word;
    int32_t step;
    int64_t expected;
  } cases[] = {
      {3, createHeartBeat2CodeWord(4, 0x1fffff), 2, createHeartBeat2CodeWord(4, 1)},
      {4, createVorselTvCodeWord(4, 5), 10, createVorselTvCodeWord(4, 15)},
      {7, createEventEngine2CodeWord(3, 2047), 1, createEventEngine2CodeWord(3, 0)},
      {8, 100, 5, 105},
      {0, 100, 1, -1},
      {1, 100, 1, -1},
      {2, 100, 1, -1},
      {5, 100, 1, -1},
      {6, 100, 1, -1},
      {9, 100, 1, -1},
  };
  for (const auto& c : cases) {
    s.algorithm = c.algorithm;
    EXPECT_EQ(incrementCodeWord(&s, c.word, c.step), c.expected) << c.algorithm;
  }
  EXPECT_EQ(incrementCodeWord(nullptr, 1, 1), -1);
}

// ---- interpretation ----

TEST(InterpretCodeword, HeartbeatFallsBackOneDayWhenNotYetReady) {
  // D 1 s, last alignment 10 s: a word is ready D + 10 s after it starts.
  TestScheme scheme(16, 1000, 10000);
  const int64_t day = kLeapDay2024 * kSec;
  const int64_t word = createHeartBeat2CodeWord(33, 1900000);
  CodewordInterpretation out;
  EXPECT_EQ(interpretCodeword(word, day + 10000, 3, &scheme.config, &out), day - kDay);
  EXPECT_EQ(out.codeword, static_cast<uint64_t>(word));
  EXPECT_EQ(out.algorithm, 3);
  EXPECT_EQ(out.id, 33);
  EXPECT_EQ(out.counter, 0);
  EXPECT_EQ(out.periodKind, kPeriodDay);
  EXPECT_EQ(out.periodStart, day - kDay);
  EXPECT_EQ(out.wordTime, day - kDay);
  EXPECT_EQ(out.readyTime, day - kDay + 11000);
  // Once ready, the word belongs to today.
  EXPECT_EQ(interpretCodeword(word, day + 11000, 3, &scheme.config, &out), day);
  EXPECT_EQ(out.wordTime, day);
  EXPECT_EQ(out.readyTime, day + 11000);
}

TEST(InterpretCodeword, HeartbeatKindsByCounterRange) {
  TestScheme scheme(16, 1000);
  const int64_t now = kSample;
  const struct {
    int32_t counter, kind, rebased;
    int64_t start;
  } cases[] = {
      {1900010, kPeriodDay, 10, kLeapDay2024 * kSec},
      {1860000, kPeriodWeek, 0, kMonday26Feb * kSec},
      {1680000, kPeriodMonth, 0, kFeb2024 * kSec},
      {1679999, kPeriodYear, 1679999, kYear2024 * kSec},
      {1000, kPeriodYear, 1000, kYear2024 * kSec},
  };
  for (const auto& c : cases) {
    CodewordInterpretation out;
    EXPECT_EQ(interpretCodeword(createHeartBeat2CodeWord(1, c.counter), now, 3, &scheme.config, &out),
              c.start)
        << c.counter;
    EXPECT_EQ(out.periodKind, c.kind);
    EXPECT_EQ(out.counter, c.rebased);
    EXPECT_EQ(out.wordTime, c.start + c.rebased * kSec);
  }
  // With D = 7 s the last year-range counter lies in May: at 29 February
  // the word cannot be from this year yet, so it is last year's.
  TestScheme slow(16, 7000);
  CodewordInterpretation out;
  EXPECT_EQ(interpretCodeword(createHeartBeat2CodeWord(1, 1679999), now, 3, &slow.config, &out),
            1672531200 * kSec);  // 2023-01-01
  EXPECT_EQ(out.wordTime, 1672531200 * kSec + int64_t{1679999} * 7000);
}

TEST(InterpretCodeword, TvAndEventEngine2Words) {
  TestScheme scheme(13, 1000);
  CodewordInterpretation out;
  const int64_t now = kVorselBaseTimeMs + 3 * kTvPeriod + 50000;
  EXPECT_EQ(interpretCodeword(createVorselTvCodeWord(9, 40), now, 4, &scheme.config, &out),
            kVorselBaseTimeMs + 3 * kTvPeriod);
  EXPECT_EQ(out.id, 9);
  EXPECT_EQ(out.wordTime, kVorselBaseTimeMs + 3 * kTvPeriod + 40000);
  EXPECT_EQ(out.readyTime, kVorselBaseTimeMs + 3 * kTvPeriod + 42000);
  // Counter 49 is not ready at now: the previous TV period.
  EXPECT_EQ(interpretCodeword(createVorselTvCodeWord(9, 49), now, 4, &scheme.config, &out),
            kVorselBaseTimeMs + 2 * kTvPeriod);

  const int64_t p = 1709211648000;  // 2048-word period of kSample
  EXPECT_EQ(interpretCodeword(createEventEngine2CodeWord(5, 100), kSample, 7, &scheme.config, &out), p);
  EXPECT_EQ(out.id, 5);
  EXPECT_EQ(out.counter, 100);
  EXPECT_EQ(out.wordTime, p + 100000);
  // Offset 300 is not ready yet: exactly one 2048-word period back, although
  // that period (2048 s) is shorter than an hour.
  EXPECT_EQ(interpretCodeword(createEventEngine2CodeWord(5, 300), kSample, 7, &scheme.config, &out),
            p - 2048000);
  EXPECT_EQ(out.wordTime, p - 2048000 + 300000);
  EXPECT_EQ(out.readyTime, p - 2048000 + 302000);
  // Below the marker: not an event-engine-2 word.
  EXPECT_EQ(interpretCodeword(0x3dffffff, kSample, 7, &scheme.config, &out), 0x3dffffff);
  EXPECT_EQ(out.algorithm, 1);
  EXPECT_EQ(out.id, -1);
  EXPECT_EQ(out.wordTime, -1);
  // Other algorithms fill nothing more.
  EXPECT_EQ(interpretCodeword(12345, kSample, 1, &scheme.config, &out), 12345);
  EXPECT_EQ(out.algorithm, 1);
  EXPECT_EQ(out.periodStart, -1);
  EXPECT_EQ(interpretCodeword(12345, kSample, 1, &scheme.config, nullptr), 12345);
}

// ---- date texts ----

struct DateCase {
  int32_t algorithm, kind;
  const char* text;
};

class CodewordDateText : public ::testing::TestWithParam<DateCase> {};

TEST_P(CodewordDateText, FormatByAlgorithmAndKind) {
  char text[64];
  std::memset(text, 'x', sizeof(text));
  const int32_t n = getCodewordDateStr(kSample, GetParam().algorithm, GetParam().kind, text, 64);
  EXPECT_STREQ(text, GetParam().text);
  EXPECT_EQ(n, static_cast<int32_t>(std::strlen(GetParam().text)));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CodewordDateText,
    ::testing::Values(DateCase{0, 0, "29/02/2024 13:05:09.007"},
                      DateCase{4, 0, "29/02/2024 13:05:09.007"},
                      DateCase{7, 0, "13:05:09.007"},
                      DateCase{3, 1, "13:05:09.007"},
                      DateCase{3, 2, "Thu 13:05:09.007"},
                      DateCase{3, 3, "29 13:05:09.007"},
                      DateCase{3, 4, "29/02/2024 13:05:09.007"},
                      DateCase{3, 5, "29/02 (day 060) 13:05:09.007"},
                      DateCase{1, 5, "29/02/2024 13:05:09.007"}),
    [](const ::testing::TestParamInfo<DateCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"algorithm", p.algorithm}, {"kind", p.kind}});
    });

TEST(CodewordDateText, After2038) {
  char text[64];
  getCodewordDateStr(kLeapDay2040Time * kSec + 789, 0, 0, text, sizeof(text));
  EXPECT_STREQ(text, "29/02/2040 12:34:56.789");
}

TEST(CodewordDateText, StaysInsideTheBuffer) {
  struct Case {
    int32_t size;
    const char* text;
  };
  // The date part takes at most size - 5 characters, then ".mmm".
  const Case cases[] = {{24, "29/02/2024 13:05:09.007"},
                        {23, "29/02/2024 13:05:0.007"},
                        {10, "29/02.007"},
                        {5, ".007"},
                        {3, ".0"},
                        {1, ""}};
  for (const Case& c : cases) {
    std::vector<char> buffer(c.size + 8, '#');
    const int32_t n = getCodewordDateStr(kSample, 0, 0, buffer.data(), c.size);
    EXPECT_STREQ(buffer.data(), c.text) << c.size;
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(c.text)));
    for (size_t i = c.size; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << c.size;
  }
  char one[1] = {'#'};
  EXPECT_EQ(getCodewordDateStr(kSample, 0, 0, one, 0), 0);
  EXPECT_EQ(one[0], '#');
  EXPECT_EQ(getCodewordDateStr(kSample, 0, 0, nullptr, 10), 0);
}

}  // namespace
}  // namespace tembrolexinsdk
