#include "core/decoder/circular_buffer.h"

#include <cstring>

#include <gtest/gtest.h>

#include "core/decoder/running_average.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

TEST(CircularBuffer, ExchangePushGivesBackTheValueCountPushesEarlier) {
  CircularBuffer ring;
  ASSERT_EQ(CircularBufferLongInit2(&ring, nullptr, 3), 1);
  EXPECT_EQ(ring.ownsStorage, 1);
  EXPECT_EQ(ring.elementSize, 4);
  // A new ring sits on its last slot, so the first push writes slot 0.
  EXPECT_EQ(ring.current, ring.base + 8);
  EXPECT_EQ(CircularBufferLongPush(&ring, 11), 0);
  EXPECT_EQ(ring.current, ring.base);
  EXPECT_EQ(CircularBufferLongPush(&ring, 12), 0);
  EXPECT_EQ(CircularBufferLongPush(&ring, 13), 0);
  EXPECT_EQ(CircularBufferLongPush(&ring, 14), 11);
  EXPECT_EQ(CircularBufferLongPush(&ring, 15), 12);
  EXPECT_EQ(CircularBufferLongAt(&ring, 0), 15);
  EXPECT_EQ(CircularBufferLongAt(&ring, 1), 14);
  EXPECT_EQ(CircularBufferLongAt(&ring, 2), 13);
  EXPECT_EQ(CircularBufferLongAt(&ring, 3), 15);   // wraps
  EXPECT_EQ(CircularBufferLongAt(&ring, -1), 13);  // wraps backwards too
  EXPECT_EQ(CircularBufferIndexBack(&ring, 0), 1);
  CircularBufferLongClose(&ring);
  EXPECT_EQ(ring.base, nullptr);
  EXPECT_EQ(CircularBufferLongPush(&ring, 1), 0);  // closed: nothing written
  EXPECT_EQ(CircularBufferLongAt(&ring, 0), 0);
}

TEST(CircularBuffer, ByteRingReadsAnyDistanceBackOrForward) {
  CircularBuffer c;
  ASSERT_EQ(CircularBufferCharInit2(&c, nullptr, 5), 1);
  for (int v = 1; v <= 7; ++v) CircularBufferCharPush(&c, static_cast<int8_t>(v));
  // The ring holds 3 4 5 6 7; 7 is the newest, so `back` reads 7 - back
  // reduced into 3 .. 7, in either direction and over several turns.
  for (int back = -12; back <= 12; ++back) {
    const int want = 3 + (((7 - back - 3) % 5) + 5) % 5;
    EXPECT_EQ(CircularBufferCharAt(&c, back), want) << back;
  }
  CircularBufferCharClose(&c);
}

TEST(CircularBuffer, EveryKindKeepsItsElementWidth) {
  CircularBuffer s, c, f, g;
  ASSERT_EQ(CircularBufferShortInit2(&s, nullptr, 2), 1);
  ASSERT_EQ(CircularBufferCharInit2(&c, nullptr, 2), 1);
  ASSERT_EQ(CircularBufferFloatInit2(&f, nullptr, 2), 1);
  ASSERT_EQ(CircularBufferGenericInit2(&g, nullptr, 2, 3), 1);
  EXPECT_EQ(s.elementSize, 2);
  EXPECT_EQ(c.elementSize, 1);
  EXPECT_EQ(f.elementSize, 4);
  EXPECT_EQ(g.elementSize, 3);
  CircularBufferShortPush(&s, -32768);
  CircularBufferShortPush(&s, 7);
  EXPECT_EQ(CircularBufferShortPush(&s, 1), -32768);
  CircularBufferCharPush(&c, -128);
  CircularBufferCharPush(&c, 127);
  EXPECT_EQ(CircularBufferCharPush(&c, 0), -128);
  EXPECT_EQ(CircularBufferCharAt(&c, 1), 127);
  CircularBufferFloatPush(&f, 1.5f);
  CircularBufferFloatPush(&f, 2.5f);
  EXPECT_FLOAT_EQ(CircularBufferFloatPush(&f, 0.0f), 1.5f);
  const uint8_t a[3] = {1, 2, 3}, b[3] = {4, 5, 6}, d[3] = {7, 8, 9};
  uint8_t out[3] = {0xFF, 0xFF, 0xFF};
  CircularBufferGenericPush(&g, a, out);
  EXPECT_EQ(std::memcmp(out, "\0\0\0", 3), 0);
  CircularBufferGenericPush(&g, b, nullptr);
  CircularBufferGenericPush(&g, d, out);
  EXPECT_EQ(std::memcmp(out, a, 3), 0);
  CircularBufferShortClose(&s);
  CircularBufferCharClose(&c);
  CircularBufferFloatClose(&f);
  CircularBufferGenericClose(&g);
}

TEST(CircularBuffer, CallerStorageIsZeroedUsedInPlaceAndNotFreed) {
  int16_t storage[4] = {9, 9, 9, 9};
  CircularBuffer ring;
  ASSERT_EQ(CircularBufferShortInit2(&ring, storage, 4), 1);
  EXPECT_EQ(ring.ownsStorage, 0);
  EXPECT_EQ(ring.base, reinterpret_cast<uint8_t*>(storage));
  for (int16_t v : storage) EXPECT_EQ(v, 0);
  CircularBufferShortPush(&ring, 5);
  EXPECT_EQ(storage[0], 5);
  CircularBufferShortClose(&ring);  // ASan would report a free of stack memory
  EXPECT_EQ(storage[0], 5);
}

TEST(CircularBuffer, ZeroSlotsFailAtInit) {
  CircularBuffer ring;
  int32_t storage[1] = {3};
  EXPECT_EQ(CircularBufferLongInit2(&ring, nullptr, 0), 0);
  EXPECT_EQ(ring.base, nullptr);
  EXPECT_EQ(CircularBufferLongInit2(&ring, storage, 0), 0);
  EXPECT_EQ(storage[0], 3);
  EXPECT_EQ(CircularBufferLongInit2(&ring, nullptr, -5), 0);
  EXPECT_EQ(CircularBufferGenericInit2(&ring, nullptr, 4, 0), 0);
  EXPECT_EQ(CircularBufferLongPush(&ring, 1), 0);
  CircularBufferLongClose(&ring);
  CircularBufferLongClose(nullptr);
  CircularBuffer* created = CircularBufferCharCreate2(nullptr, 0);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->base, nullptr);
  CircularBufferCharDelete(created);
  CircularBufferCharDelete(nullptr);
}

TEST(CircularBuffer, CreateAndDeleteOwnTheirRecord) {
  CircularBuffer* ring = CircularBufferLongCreate2(nullptr, 5);
  ASSERT_NE(ring, nullptr);
  ASSERT_NE(ring->base, nullptr);
  CircularBufferLongPush(ring, 1);
  CircularBufferZero(ring);
  EXPECT_EQ(CircularBufferLongAt(ring, 0), 0);
  CircularBufferLongDelete(ring);
  float storage[2];
  CircularBuffer* borrowed = CircularBufferFloatCreate2(storage, 2);
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(borrowed->ownsStorage, 0);
  CircularBufferFloatDelete(borrowed);
}

struct PadCase {
  int32_t count, elementSize, alignment, expected;
};

class ScratchPad : public ::testing::TestWithParam<PadCase> {};

TEST_P(ScratchPad, RoundsUpToTheAlignment) {
  const PadCase& c = GetParam();
  EXPECT_EQ(assignScratchPad2(nullptr, c.count, c.elementSize, nullptr, 0, c.alignment), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScratchPad,
                         ::testing::Values(PadCase{5, 2, 4, 12}, PadCase{4, 2, 4, 8},
                                           PadCase{0, 4, 4, 0}, PadCase{3, 1, 1, 3},
                                           PadCase{3, 1, 0, 3}, PadCase{-1, 4, 4, 0},
                                           PadCase{0x40000000, 4, 4, 0}),
    [](const ::testing::TestParamInfo<PadCase>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"count", p.count}, {"size", p.elementSize}, {"align", p.alignment}});
    });

TEST(ScratchPad, PointsIntoThePadOnlyWhenBothAreGiven) {
  alignas(4) uint8_t pad[64];
  void* p = nullptr;
  int32_t offset = 0;
  offset += assignScratchPad2(&p, 5, 2, pad, offset, 4);
  EXPECT_EQ(p, pad);
  offset += assignScratchPad2(&p, 3, 4, pad, offset, 4);
  EXPECT_EQ(p, pad + 12);
  EXPECT_EQ(offset, 24);
  void* untouched = nullptr;
  assignScratchPad2(&untouched, 3, 4, nullptr, 8, 4);
  EXPECT_EQ(untouched, nullptr);
}

TEST(RunningAverage, ShortOfFourAveragesTheLastFourWithZerosWhileFilling) {
  RunningAverage average;
  ASSERT_EQ(initRunningAverageShort2(&average, nullptr, 4), 1);
  EXPECT_EQ(average.shift, 2);
  const int16_t in[] = {4, 8, 12, 16, 20};
  int16_t out[5];
  getRunningAverageShort(in, out, 5, &average);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(out[2], 6);
  EXPECT_EQ(out[3], 10);
  EXPECT_EQ(out[4], 14);  // (8 + 12 + 16 + 20) / 4
  closeRunningAverageShort(&average);
}

TEST(RunningAverage, CountSixDividesByFour) {
  RunningAverage average;
  ASSERT_EQ(initRunningAverageLong2(&average, nullptr, 6), 1);
  EXPECT_EQ(average.shift, 2);
  int32_t values[6] = {4, 4, 4, 4, 4, 4};
  getRunningAverageLong(values, values, 6, &average);  // in place
  EXPECT_EQ(values[5], 6);                              // 24 >> 2
  int32_t negative[1] = {-100};
  getRunningAverageLong(negative, negative, 1, &average);
  EXPECT_EQ(negative[0], (20 - 100) >> 2);  // arithmetic shift: -20
  closeRunningAverageLong(&average);
}

TEST(RunningAverage, ShortKindStoresItsOutputIn16Bits) {
  int16_t storage[1];
  RunningAverage average;
  ASSERT_EQ(initRunningAverageShort2(&average, storage, 1), 1);
  EXPECT_EQ(average.shift, 0);
  const int16_t in[] = {32767, -32768};
  int16_t out[2];
  getRunningAverageShort(in, out, 2, &average);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32768);
  closeRunningAverageShort(&average);
}

TEST(RunningAverage, LongSumsWrapInsteadOfOverflowing) {
  RunningAverage average;
  ASSERT_EQ(initRunningAverageLong2(&average, nullptr, 2), 1);
  const int32_t in[] = {INT32_MAX, INT32_MAX, 0, 0};
  int32_t out[4];
  getRunningAverageLong(in, out, 4, &average);
  EXPECT_EQ(out[3], 0);  // everything pushed out again
  closeRunningAverageLong(&average);
}

TEST(RunningAverage, FloatKindMultipliesByTheReciprocal) {
  RunningAverageFloat average;
  ASSERT_EQ(initRunningAverageFloat2(&average, nullptr, 3), 1);
  const float in[] = {3, 6, 9, 12};
  float out[4];
  getRunningAverageFloat(in, out, 4, &average);
  EXPECT_FLOAT_EQ(out[0], 1.0f);
  EXPECT_FLOAT_EQ(out[2], 6.0f);
  EXPECT_FLOAT_EQ(out[3], 9.0f);
  closeRunningAverageFloat(&average);
}

TEST(RunningAverage, CountZeroFailsAtInitAndWritesZeros) {
  RunningAverage average;
  EXPECT_EQ(initRunningAverageShort2(&average, nullptr, 0), 0);
  EXPECT_EQ(average.shift, -1);
  const int16_t in[] = {100, 200};
  int16_t out[2] = {7, 7};
  getRunningAverageShort(in, out, 2, &average);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  closeRunningAverageShort(&average);
  RunningAverageFloat f;
  EXPECT_EQ(initRunningAverageFloat2(&f, nullptr, 0), 0);
  closeRunningAverageFloat(&f);
  EXPECT_EQ(initRunningAverageLong2(nullptr, nullptr, 4), 0);
}

}  // namespace
}  // namespace tembrolexinsdk
