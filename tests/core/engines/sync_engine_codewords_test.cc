#include <gtest/gtest.h>

#include "core/decoder/codeword_layouts.h"
#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"

namespace tembrolexinsdk {
namespace {

struct Pair {
  int first;
  int second;
};

// Values inside the fields, at their edges and past them (the creators keep
// only the low bits).
const Pair kPairs[] = {{0, 0},         {1, 1},       {16383, 2047}, {16384, 2048},
                       {639, 2097151}, {1679999, 5}, {-1, -1},      {2047, 2097152}};

TEST(SyncEngineCodewordsTest, CreatorsAnswerAsTheDecodingCore) {
  for (const Pair& p : kPairs) {
    EXPECT_EQ(EventEngine2::createEventEngine2CodeWord(p.first, p.second),
              createEventEngine2CodeWord(p.first, p.second))
        << p.first << "," << p.second;
    EXPECT_EQ(HeartbeatEngine::createHearbeat2CodeWord(p.first, p.second),
              createHeartBeat2CodeWord(p.first, p.second))
        << p.first << "," << p.second;
  }
  // Hand-computed words: 0x3e000000 | track << 11 | offset, station << 21 |
  // counter.
  EXPECT_EQ(EventEngine2::createEventEngine2CodeWord(3, 5), 0x3e000000 + 3 * 2048 + 5);
  EXPECT_EQ(HeartbeatEngine::createHearbeat2CodeWord(2, 7), 2 * 2097152 + 7);
}

TEST(SyncEngineCodewordsTest, RangeSizes) {
  EXPECT_EQ(EventEngine2::numberOfEventEngine2TrackIds(), 16383);
  EXPECT_EQ(EventEngine2::numberOfEventEngine2TrackIds(), 16383);
  EXPECT_EQ(HeartbeatEngine::cycleMin, 0);
  EXPECT_EQ(HeartbeatEngine::cycleMax, 1340080128);
  EXPECT_EQ(HeartbeatEngine::cycleMax, createHeartBeat2CodeWord(1679999, 0));
  EXPECT_EQ(HeartbeatEngine::numberOfHeartbeatEngineStationIds(), 1340080128);
}

}  // namespace
}  // namespace tembrolexinsdk
