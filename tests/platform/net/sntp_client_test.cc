// The SNTP client: request bytes, time-stamp conversions, a scripted exchange
// against a loopback server on a fake clock, time-outs, and the replies it
// must not take: spoofed from another port, duplicates, late ones, and a
// table of malformed ones. Timers are manual; the main queue is the test
// thread's. What the client ignored is read from its log lines.

#include <climits>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/sntp_client.h"
#include "platform/runtime/tl_logger.h"
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
    long sec, usec;
    uint32_t whole, fract;
  };
  const Case cases[] = {
      {0, 0, 0x83AA7E80u, 2147},
      {0, 500000, 0x83AA7E80u, 2147485795u},
      {0, 999999, 0x83AA7E80u, 4294965148u},
      // Microseconds out of range carry into the seconds, rounding down.
      {10, 5000000, 0x83AA7E8Fu, 2147},
      {10, -1, 0x83AA7E89u, 4294965148u},
      {10, -1000001, 0x83AA7E88u, 4294965148u},
      // LONG_MIN us: -9223372036855 s and 224192 us, seconds modulo 2^32.
      {0, LONG_MIN, 0x07DA2389u, 962899455u},
  };
  for (const Case& c : cases) {
    timeval tv{c.sec, c.usec};
    ntpTimestamp ts;
    unix2ntp(&tv, &ts);
    EXPECT_EQ(ts.wholeSeconds, c.whole) << c.sec << " s " << c.usec << " us";
    EXPECT_EQ(ts.fractSeconds, c.fract) << c.sec << " s " << c.usec << " us";
  }
}

// Every log line of the library, for telling what the client ignored.
class LogLines : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string&, const TLLogParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(params.message);
  }
  std::size_t count(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const std::string& line : lines_) n += line.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

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
  SntpTest() {
    dispatcher.mainQueue()->bindToCurrentThread();
    TLLogger::sharedLogger().setDelegate(log);
  }
  ~SntpTest() override { TLLogger::sharedLogger().unsetDelegate(); }

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

  // Pumps until the client has ignored `count` datagrams in all.
  bool awaitIgnored(std::size_t count) {
    return pumpUntil([&] { return log->count("Ignoring") >= count; });
  }

  tltest::FakeClock clock;
  Dispatcher dispatcher{Dispatcher::Options{&clock, TimerMode::kManual, 2, false}};
  std::shared_ptr<Events> events = std::make_shared<Events>();
  std::shared_ptr<LogLines> log = std::make_shared<LogLines>();
};

TEST_F(SntpTest, RequestPacketBytes) {
  auto client = makeClient(1);
  // Wall clock 1796515200 s and 500000 us since 1970: 4005504000 = 0xEEBF2400
  // s since 1900, fraction 2147485795 = 0x80000863, of which the 12 bits
  // below the microsecond are random.
  clock.setWallMicros(tltest::FakeClock::kStartWallMicros + 500000);
  std::set<uint32_t> lowBits;
  for (int i = 0; i < 16; ++i) {
    const std::string packet = client->createPacket();
    ASSERT_EQ(packet.size(), 48u);
    EXPECT_EQ(
        Hex(packet.substr(0, 44)),
        Hex(Bytes("1B 00 04 FA 00010000 00010000 | 00000000 | 0000000000000000 0000000000000000"
                  "0000000000000000 | EEBF2400")));
    const uint32_t fraction =
        (static_cast<uint8_t>(packet[44]) << 24) | (static_cast<uint8_t>(packet[45]) << 16) |
        (static_cast<uint8_t>(packet[46]) << 8) | static_cast<uint8_t>(packet[47]);
    EXPECT_EQ(fraction & 0xFFFFF000u, 0x80000000u);
    lowBits.insert(fraction & 0xFFFu);
  }
  EXPECT_GT(lowBits.size(), 1u);  // all equal by chance: 1 in 2^180
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

TEST_F(SntpTest, ReplyFromAnotherPortIsIgnored) {
  // The spoofer knows the request (its originate stamp is right) and sends
  // before the server does, from the same address but another port.
  tltest::UdpTestServer spoofer(nullptr);
  tltest::UdpTestServer server([&](const std::string& request) {
    spoofer.sendTo(server.lastSenderPort(), tltest::sntpReply(request, 5000, 5000));
    return std::vector<std::string>{tltest::sntpReply(request, 1000, 1000)};
  });
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  ASSERT_TRUE(pumpUntil([&] { return !events->results.empty(); }));
  EXPECT_EQ(log->count("Ignoring a datagram from 127.0.0.1:" + std::to_string(spoofer.port()) +
                       ": not the server asked"),
            1u);
  EXPECT_EQ(events->results[0].transmitTime(), 1000);
}

TEST_F(SntpTest, OneReplyPerRequest) {
  tltest::UdpTestServer server([](const std::string& request) {
    return std::vector<std::string>{tltest::sntpReply(request, 1000, 1000),
                                    tltest::sntpReply(request, 2000, 2000)};
  });
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  ASSERT_TRUE(awaitIgnored(1));
  ASSERT_EQ(events->results.size(), 1u);
  EXPECT_EQ(events->results[0].transmitTime(), 1000);
  EXPECT_EQ(client->ntpResult()->transmitTime(), 1000);
}

TEST_F(SntpTest, ReplyAfterTheTimeOutOrToAnOlderRequestIsIgnored) {
  tltest::UdpTestServer server(nullptr);
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  ASSERT_TRUE(server.awaitRequests(1));
  advance(2s);
  ASSERT_EQ(events->timeouts, 1);
  // The reply comes late: the time-out was reported.
  server.sendTo(server.lastSenderPort(), tltest::sntpReply(server.requests()[0], 1000, 1000));
  ASSERT_TRUE(awaitIgnored(1));

  // A newer request was sent: the older one's reply answers nothing.
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  ASSERT_TRUE(server.awaitRequests(2));
  server.sendTo(server.lastSenderPort(), tltest::sntpReply(server.requests()[0], 2000, 2000));
  ASSERT_TRUE(awaitIgnored(2));
  server.sendTo(server.lastSenderPort(), tltest::sntpReply(server.requests()[1], 3000, 3000));
  ASSERT_TRUE(pumpUntil([&] { return !events->results.empty(); }));
  ASSERT_EQ(events->results.size(), 1u);
  EXPECT_EQ(events->results[0].transmitTime(), 3000);
}

enum class Outcome { kTaken, kIgnored, kKissOfDeath };

struct PacketCase {
  std::string name;
  std::function<void(std::string&)> change;  // applied to a good reply
  Outcome outcome;
};

class SntpPacketTest : public SntpTest, public testing::WithParamInterface<PacketCase> {};

TEST_P(SntpPacketTest, ReplyIsTakenIgnoredOrEndsTheExchange) {
  const PacketCase& c = GetParam();
  tltest::UdpTestServer server([&](const std::string& request) {
    std::string reply = tltest::sntpReply(request, 1000, 1000);
    c.change(reply);
    return std::vector<std::string>{reply};
  });
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  switch (c.outcome) {
    case Outcome::kTaken:
      ASSERT_TRUE(pumpUntil([&] { return !events->results.empty(); }));
      EXPECT_EQ(events->results[0].transmitTime(), 1000);
      break;
    case Outcome::kIgnored:
      ASSERT_TRUE(awaitIgnored(1));
      EXPECT_TRUE(events->results.empty());
      break;
    case Outcome::kKissOfDeath:
      ASSERT_TRUE(pumpUntil([&] { return !events->failures.empty(); }));
      EXPECT_EQ(events->failures[0].domain, "SntpClientErrorDomain");
      EXPECT_EQ(events->failures[0].code, 1);
      EXPECT_EQ(events->failures[0].localizedDescription,
                "The NTP server [127.0.0.1] sent a kiss-of-death: RATE");
      EXPECT_EQ(log->count("Kiss-of-death from [127.0.0.1]: RATE"), 1u);
      EXPECT_TRUE(events->results.empty());
      break;
  }
  // Only an ignored reply leaves the exchange to its time-out.
  advance(2s);
  EXPECT_EQ(events->timeouts, c.outcome == Outcome::kIgnored ? 1 : 0);
}

void setByte(std::string& p, std::size_t at, unsigned char v) { p[at] = static_cast<char>(v); }

INSTANTIATE_TEST_SUITE_P(
    Packets, SntpPacketTest,
    testing::Values(
        PacketCase{"Good", [](std::string&) {}, Outcome::kTaken},
        PacketCase{"WithAnAuthenticator", [](std::string& p) { p.resize(68, '\x55'); },
                   Outcome::kTaken},
        PacketCase{"LeapIndicatorTwo", [](std::string& p) { setByte(p, 0, 0x9C); },
                   Outcome::kTaken},
        PacketCase{"Stratum15", [](std::string& p) { setByte(p, 1, 15); }, Outcome::kTaken},
        PacketCase{"Short", [](std::string& p) { p.resize(47); }, Outcome::kIgnored},
        PacketCase{"OneByteTooLong", [](std::string& p) { p.resize(69); }, Outcome::kIgnored},
        PacketCase{"Oversize", [](std::string& p) { p.resize(1048); }, Outcome::kIgnored},
        PacketCase{"ClientMode", [](std::string& p) { setByte(p, 0, 0x1B); }, Outcome::kIgnored},
        PacketCase{"BroadcastMode", [](std::string& p) { setByte(p, 0, 0x1D); }, Outcome::kIgnored},
        PacketCase{"Unsynchronised", [](std::string& p) { setByte(p, 0, 0xDC); },
                   Outcome::kIgnored},
        PacketCase{"Stratum16", [](std::string& p) { setByte(p, 1, 16); }, Outcome::kIgnored},
        PacketCase{"TransmitTimeZero",
                   [](std::string& p) { p.replace(40, 8, std::string(8, '\0')); },
                   Outcome::kIgnored},
        PacketCase{"OriginateDiffers", [](std::string& p) { setByte(p, 31, p[31] ^ 1); },
                   Outcome::kIgnored},
        // A kiss-of-death of an unsynchronised server without a time.
        PacketCase{"KissOfDeath",
                   [](std::string& p) {
                     setByte(p, 0, 0xDC);
                     setByte(p, 1, 0);
                     p.replace(12, 4, "RATE");
                     p.replace(40, 8, std::string(8, '\0'));
                   },
                   Outcome::kKissOfDeath}),
    [](const auto& info) { return info.param.name; });

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
  int64_t transmitTime, clockOffset, roundTrip;
};

class SntpReplyTest : public SntpTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(SntpReplyTest, TimesReadInTheirEra) {
  const ReplyCase& c = GetParam();
  tltest::UdpTestServer server([&](const std::string& request) {
    std::string reply = tltest::sntpReply(request, 0, 0);
    reply.replace(32, 8, c.receive);
    reply.replace(40, 8, c.transmit);
    return std::vector<std::string>{reply};
  });
  auto client = makeClient(server.port());
  ASSERT_TRUE(client->requestTimeWithHost("127.0.0.1", 2.0));
  ASSERT_TRUE(pumpUntil([&] { return !events->results.empty(); }));
  const NTPResult& r = events->results[0];
  EXPECT_EQ(r.transmitTime(), c.transmitTime);
  EXPECT_EQ(r.clockOffset(), c.clockOffset);
  EXPECT_EQ(r.roundTripTime(), c.roundTrip);
}

// T2 and T3 of the era-1 rows: second 16 and 17.5 after the rollover of
// 2036-02-07 06:28:16 UTC (2085978496 s since 1970).
constexpr int64_t kRollover = 2085978496000;

INSTANTIATE_TEST_SUITE_P(
    Replies, SntpReplyTest,
    testing::Values(
        // offset ((T2 - T1) + (T3 - T4)) / 2 truncated, round trip -(T3 - T2).
        ReplyCase{"EraZero", tltest::ntpFromMillis(kW + 1510), tltest::ntpFromMillis(kW + 1515),
                  kW + 1515, 1512, -5},
        ReplyCase{"SpecimenTime", rawStamp(0xE3088E80, 0x80000000),
                  rawStamp(0xE3088E80, 0x80000000), 1600000000500, 1600000000500 - kW, 0},
        ReplyCase{"LastSecondOfEraZero", rawStamp(0xFFFFFFFF, 0), rawStamp(0xFFFFFFFF, 0),
                  kRollover - 1000, kRollover - 1000 - kW, 0},
        ReplyCase{"AfterTheRollover", rawStamp(16, 0), rawStamp(17, 0x80000000), kRollover + 17500,
                  (kRollover + 16000 - kW + kRollover + 17500 - kW) / 2, -1500},
        ReplyCase{"LastSecondOfEraOne", rawStamp(0x7FFFFFFF, 0), rawStamp(0x7FFFFFFF, 0),
                  4233462143000, 4233462143000 - kW, 0},
        ReplyCase{"ReceiveTimeZero", rawStamp(0, 0), tltest::ntpFromMillis(kW + 1000), kW + 1000,
                  (kRollover - kW + 1000) / 2, kRollover - kW - 1000}),
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
