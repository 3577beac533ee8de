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
