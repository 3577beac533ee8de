// The SNTP client: request bytes, time-stamp conversions, a scripted exchange
// against a loopback server on a fake clock, time-outs and ignored replies.
// Timers are manual; the main queue is the test thread's.

#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/sntp_client.h"
#include "tests/schema/wire.h"
#include "tests/support/fake_clock.h"
#include "tests/support/udp_test_server.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using tl_test::Bytes;
using tl_test::Hex;

TEST(NtpTimestampTest, WallClockConversion) {
  struct Case {
    long usec;
    uint32_t fract;
  };
  for (Case c : {Case{0, 2147}, Case{500000, 2147485795u}, Case{999999, 4294965148u}}) {
    timeval tv{0, c.usec};
    ntpTimestamp ts;
    unix2ntp(&tv, &ts);
    EXPECT_EQ(ts.wholeSeconds, 0x83AA7E80u);
    EXPECT_EQ(ts.fractSeconds, c.fract) << c.usec;
  }
}

struct Events : TLSntpClientDelegate {
  void sntpClientReceivedNTPInfo(const NTPResult& r) override { results.push_back(r); }
  void sntpClientFailed(const TLError& e) override { failures.push_back(e); }
  void sntpClientTimedOut() override { ++timeouts; }
  std::vector<NTPResult> results;
  std::vector<TLError> failures;
  int timeouts = 0;
};

class SntpTest : public testing::Test {
 protected:
  SntpTest() { dispatcher.mainQueue()->bindToCurrentThread(); }

  std::unique_ptr<SntpClient> makeClient(uint16_t port) {
    auto client = std::make_unique<SntpClient>(SntpClient::Options{&dispatcher, port});
    client->setDelegate(events);
    return client;
  }
  // Pumps the main queue until `done` or 5 s of real time.
  bool pumpUntil(const std::function<bool()>& done) { return dispatcher.mainQueue()->runUntil(done, 5s); }
  void advance(std::chrono::milliseconds d) {
    clock.advance(d);
    dispatcher.timers().pump();
    dispatcher.mainQueue()->drain();
  }

  tltest::FakeClock clock;
  Dispatcher dispatcher{Dispatcher::Options{&clock, TimerMode::kManual, 2, false}};
  std::shared_ptr<Events> events = std::make_shared<Events>();
};

TEST_F(SntpTest, RequestPacketBytes) {
  auto client = makeClient(1);
  // Wall clock 1796515200 s and 0 us since 1970: 4005504000 = 0xEEBF2400 s
  // since 1900, fraction 2147.
  EXPECT_EQ(Hex(client->createPacket()),
            Hex(Bytes("1B 00 04 FA 00010000 00010000 | 00000000 | 0000000000000000 0000000000000000"
                      "0000000000000000 | EEBF2400 00000863")));
}

TEST_F(SntpTest, ScriptedExchangeGivesOffsetRoundTripAndCorrectedTime) {
  // Local time T1 = 1796515200020 ms. The server's clock is 1500 ms ahead and
  // the request takes 10 ms: T2 = T1 + 1510, T3 = T2 + 5 (20 and 530 ms are
  // fractions that read back exactly only when rounded).
  const uint64_t t1 = 1796515200020;
  std::promise<void> clockMoved;
  std::shared_future<void> moved = clockMoved.get_future().share();
  tltest::UdpTestServer server([&](const std::string& request) {
    moved.wait_for(5s);  // the test moves the fake clock 30 ms before the reply
    return std::vector<std::string>{tltest::sntpReply(request, t1 + 1510, t1 + 1515)};
  });
  clock.setWallMicros(tltest::FakeClock::kStartWallMicros + 20000);
  auto client = makeClient(server.port());

  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  EXPECT_TRUE(client->requestInProgress());
  ASSERT_TRUE(server.awaitRequests(1));
  clock.advance(30ms);
  clockMoved.set_value();
  ASSERT_TRUE(pumpUntil([&] { return !events->results.empty(); }));

  // T4 = T1 + 30; offset ((1510) + (1515 - 30)) / 2 = 1497.5; round trip
  // 30 - 5 = 25; corrected time T4 + 1497.5.
  const NTPResult& r = events->results[0];
  EXPECT_EQ(r.clockOffset(), 1497);
  EXPECT_EQ(r.roundTripTime(), 25);
  EXPECT_EQ(r.transmitTime(), 1796515201535);
  EXPECT_DOUBLE_EQ(r.ntpTime(), 1796515201547.5);
  EXPECT_EQ(r.upTimeMillis(), tltest::FakeClock::kStartUpTimeMillis + 30);
  EXPECT_EQ(r.ntpSource(), "127.0.0.1");
  EXPECT_EQ(r.rawNTPInfo().size(), 48u);
  EXPECT_FALSE(client->requestInProgress());  // the datagram was sent
  EXPECT_NE(client->printNTPInfo().find(" clock offset:           1497 (mS)\n"), std::string::npos)
      << client->printNTPInfo();

  advance(5s);  // the reply cancelled the time-out
  EXPECT_EQ(events->timeouts, 0);
}

TEST_F(SntpTest, ShortAndForeignRepliesAreIgnored) {
  tltest::UdpTestServer server([](const std::string& request) {
    std::string foreign = tltest::sntpReply(request, 1, 2);
    foreign[31] ^= 1;  // originate differs from our transmit time stamp
    std::string good = tltest::sntpReply(request, 1000, 1000);
    return std::vector<std::string>{good.substr(0, 47), foreign, good, good};
  });
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  ASSERT_TRUE(pumpUntil([&] { return events->results.size() == 2; }));
  EXPECT_EQ(events->results[0].transmitTime(), 1000);
  dispatcher.mainQueue()->drain();
  EXPECT_EQ(events->results.size(), 2u);
}

// The 8 bytes of an NTP time stamp as they stand on the wire.
std::string rawStamp(uint32_t seconds, uint32_t fraction) {
  std::string out(8, '\0');
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<char>((seconds >> (24 - 8 * i)) & 0xFF);
    out[4 + i] = static_cast<char>((fraction >> (24 - 8 * i)) & 0xFF);
  }
  return out;
}

// The client's request goes out at the fake clock's wall time W and the
// reply is decoded at W too (the clock stands still), so T1 = T4 = W.
constexpr int64_t kW = tltest::FakeClock::kStartWallMicros / 1000;

struct ReplyCase {
  std::string name;
  std::string receive, transmit;  // wire time stamps of the reply
  bool kissOfDeath;               // leap 3, stratum 0, reference "RATE"
  bool taken;
  int64_t transmitTime, clockOffset, roundTrip;
};

class SntpReplyTest : public SntpTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(SntpReplyTest, TimesReadInTheirEraOrTheReplyIsIgnored) {
  const ReplyCase& c = GetParam();
  tltest::UdpTestServer server([&](const std::string& request) {
    std::string reply = tltest::sntpReply(request, 0, 0);
    reply.replace(32, 8, c.receive);
    reply.replace(40, 8, c.transmit);
    if (c.kissOfDeath) {
      reply[0] = static_cast<char>(0xDC);
      reply[1] = 0;
      reply.replace(12, 4, "RATE");
    }
    // A plain reply behind it shows that the one under test was decoded.
    return std::vector<std::string>{reply, tltest::sntpReply(request, kW + 7000, kW + 7000)};
  });
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  const std::size_t expected = c.taken ? 2 : 1;
  ASSERT_TRUE(pumpUntil([&] { return events->results.size() == expected; }));
  EXPECT_EQ(events->results.back().transmitTime(), kW + 7000);
  if (c.taken) {
    const NTPResult& r = events->results[0];
    EXPECT_EQ(r.transmitTime(), c.transmitTime);
    EXPECT_EQ(r.clockOffset(), c.clockOffset);
    EXPECT_EQ(r.roundTripTime(), c.roundTrip);
  } else {
    // The ignored reply left the time-out armed; the plain one cancelled it.
    advance(5s);
    EXPECT_EQ(events->timeouts, 0);
  }
}

// T2 and T3 of the era-1 rows: second 16 and 17.5 after the rollover of
// 2036-02-07 06:28:16 UTC (2085978496 s since 1970).
constexpr int64_t kRollover = 2085978496000;

INSTANTIATE_TEST_SUITE_P(
    Replies, SntpReplyTest,
    testing::Values(
        // offset ((T2 - T1) + (T3 - T4)) / 2 truncated, round trip -(T3 - T2).
        ReplyCase{"EraZero", tltest::ntpFromMillis(kW + 1510), tltest::ntpFromMillis(kW + 1515),
                  false, true, kW + 1515, 1512, -5},
        ReplyCase{"SpecimenTime", rawStamp(0xE3088E80, 0x80000000),
                  rawStamp(0xE3088E80, 0x80000000), false, true, 1600000000500,
                  1600000000500 - kW, 0},
        ReplyCase{"LastSecondOfEraZero", rawStamp(0xFFFFFFFF, 0), rawStamp(0xFFFFFFFF, 0), false,
                  true, kRollover - 1000, kRollover - 1000 - kW, 0},
        ReplyCase{"AfterTheRollover", rawStamp(16, 0), rawStamp(17, 0x80000000), false, true,
                  kRollover + 17500, (kRollover + 16000 - kW + kRollover + 17500 - kW) / 2, -1500},
        ReplyCase{"LastSecondOfEraOne", rawStamp(0x7FFFFFFF, 0), rawStamp(0x7FFFFFFF, 0), false,
                  true, 4233462143000, 4233462143000 - kW, 0},
        ReplyCase{"ReceiveTimeZero", rawStamp(0, 0), tltest::ntpFromMillis(kW + 1000), false, true,
                  kW + 1000, (kRollover - kW + 1000) / 2, kRollover - kW - 1000},
        ReplyCase{"TransmitTimeZeroIgnored", tltest::ntpFromMillis(kW), rawStamp(0, 0), false,
                  false, 0, 0, 0},
        ReplyCase{"KissOfDeathIgnored", rawStamp(0, 0), rawStamp(0, 0), true, false, 0, 0, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(SntpTest, OneTimeOutPerPendingActionAtItsFirstDeadline) {
  tltest::UdpTestServer silent(nullptr);
  auto client = makeClient(silent.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  advance(1500ms);
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));  // keeps the first deadline
  ASSERT_TRUE(silent.awaitRequests(2));
  advance(499ms);
  EXPECT_EQ(events->timeouts, 0);
  advance(1ms);
  EXPECT_EQ(events->timeouts, 1);
  EXPECT_FALSE(client->requestInProgress());
  advance(10s);
  EXPECT_EQ(events->timeouts, 1);
}

TEST_F(SntpTest, SendFailureIsReportedThenTimesOut) {
  auto client = makeClient(9);
  ASSERT_TRUE(client->requestTimeWithHost("", 2.0));
  ASSERT_TRUE(pumpUntil([&] { return !events->failures.empty(); }));
  EXPECT_EQ(events->failures[0].code, 2);
  EXPECT_FALSE(client->requestInProgress());
  EXPECT_EQ(events->timeouts, 0);
  advance(2s);
  EXPECT_EQ(events->timeouts, 1);
}

}  // namespace
}  // namespace tembrolexinplatform
