#include "core/runtime/time_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/clock.h"
#include "core/runtime/network_time.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

using std::chrono::milliseconds;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// 2026-12-06 00:00:00 UTC in ms.
constexpr int64_t kStartWallMs = tltest::FakeClock::kStartWallMicros / 1000;
constexpr int64_t kStartUp = tltest::FakeClock::kStartUpTimeMillis;

TEST(UpTimeTest, IsPositiveAndNeverGoesBack) {
  const int64_t a = uptime::getUpTime();
  const int64_t b = uptime::getUpTime();
  EXPECT_GT(a, 0);
  EXPECT_GE(b, a);
  EXPECT_LE(b - Clock::real().upTimeMillis(), 0);
}

TEST(ProcessorTimeProviderTest, ConstructionTakesReferenceFromClock) {
  tltest::FakeClock clock;
  clock.advance(std::chrono::microseconds(1999));  // wall ms truncates
  ProcessorTimeProvider p(clock);
  EXPECT_EQ(p.reference().uptime, kStartUp + 1);
  EXPECT_EQ(p.reference().epoch, kStartWallMs + 1);
  EXPECT_EQ(p.getTimeSinceEpoch(kStartUp + 1 + 4000), kStartWallMs + 1 + 4000);
}

TEST(ProcessorTimeProviderTest, ConvertsUpTimeThroughReference) {
  tltest::FakeClock clock;
  ProcessorTimeProvider p(clock);
  p.updateReference(int64_t{1700000000000}, 1000);
  EXPECT_EQ(p.getTimeSinceEpoch(4000), 1700000003000);
  EXPECT_EQ(p.getTimeSinceEpoch(0), 1699999999000);
}

struct TimePointCase {
  int64_t micros;
  int64_t expectedEpochMs;
};

class TimePointReferenceTest : public ::testing::TestWithParam<TimePointCase> {};

TEST_P(TimePointReferenceTest, TruncatesMicrosecondsTowardZero) {
  tltest::FakeClock clock;
  ProcessorTimeProvider p(clock);
  const std::chrono::system_clock::time_point tp{
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::microseconds(GetParam().micros))};
  p.updateReference(tp, 77);
  EXPECT_EQ(p.reference().uptime, 77);
  EXPECT_EQ(p.reference().epoch, GetParam().expectedEpochMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, TimePointReferenceTest,
                         ::testing::Values(TimePointCase{1700000000000999, 1700000000000},
                                           TimePointCase{-1999, -1}, TimePointCase{0, 0},
                                           // 2100-03-01 00:00:00 UTC: after 2038
                                           TimePointCase{4107542400000000, 4107542400000}));

TEST(ProcessorTimeProviderTest, TimeAdjustmentsText) {
  tltest::FakeClock clock;
  ProcessorTimeProvider p(clock);
  p.updateReference(kStartWallMs + 500, kStartUp);
  EXPECT_EQ(p.getTimeAdjustments(),
            "Corrected time: 1796515200500, system time: 1796515200000, difference: 500");
  p.updateReference(kStartWallMs - 20, kStartUp);
  EXPECT_EQ(p.getTimeAdjustments(),
            "Corrected time: 1796515199980, system time: 1796515200000, difference: -20");
}

TEST(ProcessorTimeProviderTest, SecondsSinceUpdateCountUpTime) {
  tltest::FakeClock clock;
  ProcessorTimeProvider p(clock);
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), 0);
  clock.advance(milliseconds(2999));
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), 2);
  clock.advance(milliseconds(1));
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), 3);
  // A reference in the future counts negative, truncated toward zero.
  p.updateReference(int64_t{0}, clock.upTimeMillis() + 1500);
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), -1);
}

TEST(ProcessorNTPTimeProviderTest, NtpReplySetsReferenceWithHalfRoundTrip) {
  tltest::FakeClock clock;
  ProcessorNTPTimeProvider p(clock);
  NTPInfo info(0, 1700000000000, 101, 0, 5000);
  p.updateReferenceWithNTP(&info);
  EXPECT_EQ(p.reference().uptime, 5000);
  EXPECT_EQ(p.reference().epoch, 1700000000050);
  NTPInfo negative(0, 1700000000000, -101, 0, 6000);
  p.updateReferenceWithNTP(&negative);
  EXPECT_EQ(p.reference().epoch, 1699999999950);
  EXPECT_TRUE(p.ntpUsed());
}

TEST(ProcessorNTPTimeProviderTest, StaleUntilFirstNtpUpdate) {
  tltest::FakeClock clock;
  ProcessorNTPTimeProvider p(clock);
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), kMax);
  EXPECT_FALSE(p.ntpUsed());
  // A plain update does not count as network time.
  p.updateReference(int64_t{1}, clock.upTimeMillis());
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), kMax);
  p.updateReferenceWithNTP(nullptr);
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), kMax);

  NTPInfo info(0, 1700000000000, 0, 0, clock.upTimeMillis());
  p.updateReferenceWithNTP(&info);
  clock.advance(milliseconds(2999));
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), 2);
}

TEST(ProcessorNTPTimeProviderTest, TimeAdjustmentsPrefixed) {
  tltest::FakeClock clock;
  ProcessorNTPTimeProvider p(clock);
  NTPInfo info(0, kStartWallMs + 1000, 0, 0, kStartUp);
  p.updateReferenceWithNTP(&info);
  EXPECT_EQ(p.getTimeAdjustments(),
            "NTP-Corrected time: 1796515201000, system time: 1796515200000, difference: 1000");
}

TEST(ProcessorNTPTimeProviderTest, HostileValuesSaturateInsteadOfOverflowing) {
  tltest::FakeClock clock;
  ProcessorNTPTimeProvider p(clock);
  NTPInfo info(0, kMax, kMax, 0, kMin);
  p.updateReferenceWithNTP(&info);
  EXPECT_EQ(p.reference().epoch, kMax);
  EXPECT_EQ(p.getTimeSinceEpoch(kMax), kMax);
  // Up-time minus a reference up-time of INT64_MIN saturates too.
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), kMax / 1000);
  NTPInfo low(0, kMin, kMin, 0, kMax);
  p.updateReferenceWithNTP(&low);
  EXPECT_EQ(p.reference().epoch, kMin);
  EXPECT_EQ(p.getTimeSinceEpoch(kMin), kMin);
  EXPECT_EQ(p.secondsSinceLastReferenceUpdate(), (kStartUp - kMax) / 1000);
  EXPECT_FALSE(p.getTimeAdjustments().empty());
}

TEST(ProcessorTimeProviderTest, ReadersNeverSeeHalfAnUpdate) {
  tltest::FakeClock clock;
  ProcessorTimeProvider p(clock);
  p.updateReference(int64_t{0}, 0);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      if (i % 2) {
        p.updateReference(int64_t{5000}, 1000);
      } else {
        p.updateReference(int64_t{0}, 0);
      }
    }
  });
  int torn = 0;
  for (int i = 0; i < 200000; ++i) {
    const int64_t t = p.getTimeSinceEpoch(10000);
    if (t != 10000 && t != 14000) ++torn;
  }
  stop.store(true);
  writer.join();
  EXPECT_EQ(torn, 0);
}

TEST(RawNTPInfoTest, DumpIsTwoLowercaseHexDigitsPerByte) {
  unsigned char packet[RawNTPInfo::kPacketSize];
  for (size_t i = 0; i < sizeof(packet); ++i) packet[i] = static_cast<unsigned char>(i * 5 + 3);
  packet[47] = 0xFF;
  RawNTPInfo raw(packet, 1234);
  const std::string dump = raw.Dump();
  ASSERT_EQ(dump.size(), 96u);
  EXPECT_EQ(dump.substr(0, 8), "03080d12");
  EXPECT_EQ(dump.substr(94), "ff");
  EXPECT_EQ(raw.receiveTime(), 1234);

  RawNTPInfo copy = raw;
  packet[0] = 0;  // the copy holds its own bytes
  EXPECT_EQ(copy.Dump(), dump);
  RawNTPInfo assigned(nullptr, 0);
  EXPECT_EQ(assigned.Dump(), std::string(96, '0'));
  assigned = raw;
  EXPECT_EQ(assigned.Dump(), dump);
  EXPECT_EQ(assigned.receiveTime(), 1234);
}

}  // namespace
}  // namespace tembrolexinsdk
