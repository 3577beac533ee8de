// The UDP socket's send and receive paths against loopback servers that the
// tests start on ephemeral ports: family choice, destinations, ordered sends,
// filters, receive modes, time-outs, closing, and address decoding.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/gcd_async_udp_socket.h"
#include "tests/platform/net/udp_socket_recorder.h"
#include "tests/support/fake_clock.h"
#include "tests/support/udp_test_server.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using udptest::Event;
using udptest::Recorder;
using udptest::waitFor;

using Sock = GCDAsyncUdpSocket;

struct SocketFixture : testing::Test {
  Recorder recorder;
  GCDAsyncUdpSocket socket{recorder.delegate, recorder.queue};
};

std::vector<std::string> echo(const std::string& request) { return {request}; }

std::vector<std::string> kinds(const std::vector<Event>& events) {
  std::vector<std::string> out;
  for (const Event& e : events) out.push_back(e.kind + (e.kind == "sent" || e.kind == "notSent" ? std::to_string(e.tag) : ""));
  return out;
}

TEST_F(SocketFixture, ReceivingNeedsASocketThenGetsTheEchoWithItsSender) {
  TLError error;
  EXPECT_FALSE(socket.beginReceiving(&error));
  EXPECT_EQ(error.domain, "GCDAsyncUdpSocketErrorDomain");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.localizedDescription,
            "Must bind socket before you can receive data. You can do this explicitly via bind, or "
            "implicitly via connect or by sending data.");
  TLError onceError;
  EXPECT_FALSE(socket.receiveOnce(&onceError));
  EXPECT_EQ(onceError.localizedDescription, error.localizedDescription);

  tltest::UdpTestServer server(echo);
  socket.sendData("ping", "127.0.0.1", server.port(), 1.0, 7);
  // The queued send creates the sockets before this request runs.
  EXPECT_TRUE(socket.beginReceiving(&error));
  auto events = recorder.await(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, "sent");
  EXPECT_EQ(events[0].tag, 7);
  EXPECT_EQ(events[1].kind, "received");
  EXPECT_EQ(events[1].data, "ping");
  EXPECT_FALSE(events[1].context.has_value());
  EXPECT_EQ(Sock::hostFromAddress(events[1].address), "127.0.0.1");
  EXPECT_EQ(Sock::portFromAddress(events[1].address), server.port());
  EXPECT_EQ(Sock::familyFromAddress(events[1].address), AF_INET);
  for (const Event& e : events) EXPECT_TRUE(e.onDelegateQueue) << e.kind;
  // The first send bound the socket implicitly.
  EXPECT_NE(socket.localPort(), 0);
  EXPECT_EQ(socket.localHost_IPv4(), "0.0.0.0");
  EXPECT_TRUE(socket.flags() & Sock::kDidBind);
}

struct FamilyCase {
  std::string name;
  std::function<void(GCDAsyncUdpSocket&)> configure;
  std::string host;
  std::string receivedBy;  // "v4", "v6", or "" when the send fails
  std::string errorText;
};
void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class FamilyTest : public SocketFixture, public testing::WithParamInterface<FamilyCase> {};

TEST_P(FamilyTest, ChoosesTheDestinationFamily) {
  if (!udptest::ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  tltest::UdpTestServer v4(nullptr);
  tltest::UdpTestServer v6(nullptr, /*ipv6=*/true, v4.port());
  GetParam().configure(socket);
  socket.sendData("x", GetParam().host, v4.port(), 1.0, 1);
  auto events = recorder.await(1);
  ASSERT_EQ(events.size(), 1u);
  if (GetParam().receivedBy.empty()) {
    EXPECT_EQ(events[0].kind, "notSent");
    ASSERT_TRUE(events[0].error);
    EXPECT_EQ(events[0].error->code, 5);
    EXPECT_EQ(events[0].error->localizedDescription, GetParam().errorText);
    EXPECT_FALSE(socket.isClosed());
    return;
  }
  EXPECT_EQ(events[0].kind, "sent");
  tltest::UdpTestServer& target = GetParam().receivedBy == "v4" ? v4 : v6;
  tltest::UdpTestServer& other = GetParam().receivedBy == "v4" ? v6 : v4;
  EXPECT_TRUE(target.awaitRequests(1));
  EXPECT_TRUE(other.requests().empty());
}

void bindIPv4Loopback(GCDAsyncUdpSocket& s) { ASSERT_TRUE(s.bindToPort(0, "127.0.0.1")); }

INSTANTIATE_TEST_SUITE_P(
    Localhost, FamilyTest,
    testing::Values(
        FamilyCase{"NeutralTakesIPv4First", [](Sock&) {}, "localhost", "v4", ""},
        FamilyCase{"PreferIPv6", [](Sock& s) { s.setPreferIPv6(); }, "localhost", "v6", ""},
        FamilyCase{"PreferIPv4", [](Sock& s) { s.setPreferIPv4(); }, "loopback", "v4", ""},
        FamilyCase{"PreferIPv6ButOnlyIPv4Found", [](Sock& s) { s.setPreferIPv6(); }, "127.0.0.1", "v4", ""},
        FamilyCase{"IPv4DisabledUsesIPv6", [](Sock& s) { s.setIPv4Enabled(false); }, "localhost", "v6", ""},
        FamilyCase{"IPv6DisabledUsesIPv4", [](Sock& s) { s.setIPv6Enabled(false); s.setPreferIPv6(); },
                   "localhost", "v4", ""},
        FamilyCase{"IPv4DisabledAndOnlyIPv4", [](Sock& s) { s.setIPv4Enabled(false); }, "127.0.0.1", "",
                   "IPv4 has been disabled and DNS lookup found no IPv6 address(es)."},
        FamilyCase{"IPv6DisabledAndOnlyIPv6", [](Sock& s) { s.setIPv6Enabled(false); }, "::1", "",
                   "IPv6 has been disabled and DNS lookup found no IPv4 address(es)."},
        // Bound to an IPv4 address: the IPv6 socket does not exist, so even
        // a preference for IPv6 sends over IPv4 when both are found.
        FamilyCase{"IPv6DeactivatedByBindUsesIPv4", [](Sock& s) { bindIPv4Loopback(s); s.setPreferIPv6(); },
                   "localhost", "v4", ""},
        FamilyCase{"IPv6DeactivatedByBindAndOnlyIPv6", bindIPv4Loopback, "::1", "",
                   "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es)."},
        FamilyCase{"IPv4DeactivatedByBindAndOnlyIPv4", [](Sock& s) { ASSERT_TRUE(s.bindToPort(0, "::1")); },
                   "127.0.0.1", "",
                   "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es)."}),
    [](const testing::TestParamInfo<FamilyCase>& info) { return info.param.name; });

TEST_F(SocketFixture, SendsInQueueOrderAndAFailedLookUpHoldsNothingUp) {
  tltest::UdpTestServer server(nullptr);
  for (long tag = 0; tag < 12; ++tag) {
    socket.sendData(std::to_string(tag), tag == 5 ? "" : "127.0.0.1", server.port(), 1.0, tag);
  }
  auto events = recorder.await(12);
  ASSERT_EQ(events.size(), 12u);
  std::vector<std::string> expected;
  for (long tag = 0; tag < 12; ++tag) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(events[tag].tag, tag);
    if (tag == 5) {
      EXPECT_EQ(events[tag].kind, "notSent");
      EXPECT_EQ(events[tag].error->code, 2);
      EXPECT_EQ(events[tag].error->localizedDescription,
                "The host param is nil. Should be domain name or IP address string.");
    } else {
      EXPECT_EQ(events[tag].kind, "sent");
      expected.push_back(std::to_string(tag));
    }
  }
  ASSERT_TRUE(server.awaitRequests(11));
  EXPECT_EQ(server.requests(), expected);
}

TEST_F(SocketFixture, EmptyDataIsDroppedByEveryFormWithoutACallback) {
  tltest::UdpTestServer server(nullptr);
  socket.sendData("", 1);
  socket.sendData("", 1.0, 2);
  socket.sendData("", "127.0.0.1", server.port(), 1.0, 3);
  socket.sendDataToAddress("", server.address(), 1.0, 4);
  socket.sendData("marker", "127.0.0.1", server.port(), 1.0, 5);
  ASSERT_TRUE(server.awaitRequests(1));
  // The marker's callback may reach the delegate after the server has it.
  EXPECT_EQ(kinds(recorder.await(1)), (std::vector<std::string>{"sent5"}));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"marker"}));
}

struct DestinationCase {
  std::string name;
  std::function<void(GCDAsyncUdpSocket&, const tltest::UdpTestServer& v4, const tltest::UdpTestServer& v6)> send;
  std::string receivedBy;  // "v4", "v6" or "" when the packet fails
  int64_t code;
  std::string errorText;
};
void PrintTo(const DestinationCase& c, std::ostream* os) { *os << c.name; }

class DestinationTest : public SocketFixture, public testing::WithParamInterface<DestinationCase> {};

TEST_P(DestinationTest, SendsToAnAddressOrFailsThePacketOnly) {
  if (!udptest::ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  tltest::UdpTestServer v4(nullptr);
  tltest::UdpTestServer v6(nullptr, /*ipv6=*/true);
  GetParam().send(socket, v4, v6);
  auto events = recorder.await(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].tag, 3);
  if (GetParam().receivedBy.empty()) {
    EXPECT_EQ(events[0].kind, "notSent");
    ASSERT_TRUE(events[0].error);
    EXPECT_EQ(events[0].error->domain, GCDAsyncUdpSocketErrorDomain);
    EXPECT_EQ(events[0].error->code, GetParam().code);
    EXPECT_EQ(events[0].error->localizedDescription, GetParam().errorText);
    // The socket stays open for the next datagram.
    socket.sendDataToAddress("next", v4.address(), 1.0, 4);
    ASSERT_TRUE(v4.awaitRequests(1));
    EXPECT_EQ(v4.requests(), (std::vector<std::string>{"next"}));
    return;
  }
  EXPECT_EQ(events[0].kind, "sent");
  const tltest::UdpTestServer& target = GetParam().receivedBy == "v4" ? v4 : v6;
  ASSERT_TRUE(target.awaitRequests(1));
  EXPECT_EQ(target.requests(), (std::vector<std::string>{"payload"}));
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, DestinationTest,
    testing::Values(
        DestinationCase{"IPv4Address",
                        [](Sock& s, auto& v4, auto&) { s.sendDataToAddress("payload", v4.address(), 1.0, 3); },
                        "v4", 0, ""},
        DestinationCase{"IPv6Address",
                        [](Sock& s, auto&, auto& v6) { s.sendDataToAddress("payload", v6.address(), 1.0, 3); },
                        "v6", 0, ""},
        DestinationCase{"TruncatedAddress",
                        [](Sock& s, auto& v4, auto&) {
                          s.sendDataToAddress("payload", v4.address().substr(0, 10), 1.0, 3);
                        },
                        "", 2, "A valid IPv4 or IPv6 address was not given"},
        DestinationCase{"IPv6AddressWithIPv6Disabled",
                        [](Sock& s, auto&, auto& v6) {
                          s.setIPv6Enabled(false);
                          s.sendDataToAddress("payload", v6.address(), 1.0, 3);
                        },
                        "", 5, "IPv6 has been disabled and DNS lookup found no IPv4 address(es)."},
        DestinationCase{"ConnectedPeerWhenNotConnected",
                        [](Sock& s, auto&, auto&) { s.sendData("payload", 3); }, "", 1,
                        "You must specify destination of packet for a non-connected socket"}),
    [](const testing::TestParamInfo<DestinationCase>& info) { return info.param.name; });

TEST_F(SocketFixture, SocketsThatCannotBeMadeFailEveryQueuedSend) {
  socket.setIPv4Enabled(false);
  socket.setIPv6Enabled(false);
  socket.sendData("a", "127.0.0.1", 9, 1.0, 1);
  socket.sendData("b", "127.0.0.1", 9, 1.0, 2);
  auto events = recorder.await(2);
  ASSERT_EQ(kinds(events), (std::vector<std::string>{"notSent1", "notSent2"}));
  for (const Event& e : events) {
    EXPECT_EQ(e.error->code, 1);
    EXPECT_EQ(e.error->localizedDescription,
              "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
  }
  EXPECT_TRUE(socket.isClosed());
  EXPECT_EQ(recorder.settled().size(), 2u);  // no close callback: nothing had been open
}

TEST_F(SocketFixture, EmptyDatagramIsSkippedWithoutClosing) {
  tltest::UdpTestServer server([](const std::string&) { return std::vector<std::string>{"", "after"}; });
  socket.sendData("ping", "127.0.0.1", server.port(), 1.0, 0);
  ASSERT_TRUE(socket.beginReceiving());
  auto events = recorder.await(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].kind, "received");
  EXPECT_EQ(events[1].data, "after");
  EXPECT_FALSE(socket.isClosed());
}

TEST_F(SocketFixture, InputShutDownClosesWithSocketClosed) {
  ASSERT_TRUE(socket.bindToPort(0, "127.0.0.1"));
  ASSERT_TRUE(socket.beginReceiving());
  socket.performBlock([&] { ::shutdown(socket.socket4FD(), SHUT_RD); });
  auto closed = recorder.awaitKind("closed");
  ASSERT_EQ(closed.size(), 1u);
  ASSERT_TRUE(closed[0].error);
  EXPECT_EQ(closed[0].error->domain, "GCDAsyncUdpSocketErrorDomain");
  EXPECT_EQ(closed[0].error->code, 4);
  EXPECT_EQ(closed[0].error->localizedDescription, "Socket closed");
  EXPECT_TRUE(socket.isClosed());
  EXPECT_EQ(socket.flags(), 0u);
}

TEST_F(SocketFixture, CloseWithAQueueReportsOneCloseAndNoDroppedSends) {
  tltest::UdpTestServer server(nullptr);
  socket.sendData("first", "127.0.0.1", server.port(), 1.0, 0);
  ASSERT_EQ(recorder.await(1)[0].kind, "sent");
  for (long tag = 1; tag <= 5; ++tag) socket.sendData("more", "localhost", server.port(), 1.0, tag);
  socket.close();
  socket.close();  // nothing created any more: no second callback
  EXPECT_TRUE(socket.isClosed());
  auto events = recorder.settled();
  int closes = 0;
  for (const auto& e : events) {
    if (e.kind == "closed") {
      ++closes;
      EXPECT_FALSE(e.error);
    }
  }
  EXPECT_EQ(closes, 1);
  // Sends that were dropped got no callback; those sent before the close did.
  EXPECT_TRUE(server.awaitRequests(events.size() - 1));
  EXPECT_EQ(events.size() - 1, server.requests().size());
}

TEST_F(SocketFixture, CloseAfterSendingWaitsForTheQueueThenClosesOnce) {
  tltest::UdpTestServer server(nullptr);
  for (long tag = 1; tag <= 3; ++tag) socket.sendData("d" + std::to_string(tag), "localhost", server.port(), 1.0, tag);
  socket.closeAfterSending();
  auto events = recorder.await(4);
  EXPECT_EQ(kinds(events), (std::vector<std::string>{"sent1", "sent2", "sent3", "closed"}));
  EXPECT_FALSE(events.back().error);
  ASSERT_TRUE(server.awaitRequests(3));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"d1", "d2", "d3"}));
  EXPECT_TRUE(socket.isClosed());

  // Nothing queued: at once. The closed socket can be used again.
  ASSERT_TRUE(socket.bindToPort(0, "127.0.0.1"));
  socket.closeAfterSending();
  EXPECT_EQ(recorder.awaitKind("closed", 2).size(), 2u);
  EXPECT_TRUE(socket.isClosed());
}

// A socket bound on loopback, and a server of the same family that sends to
// it.
struct BoundFixture : SocketFixture {
  void SetUp() override {
    ASSERT_TRUE(socket.bindToPort(0, "127.0.0.1"));
    port = socket.localPort();
    ASSERT_NE(port, 0);
  }
  void send(const std::string& datagram) { ASSERT_TRUE(peer.sendTo(port, datagram)); }
  // The socket has seen a datagram that it may not deliver, and parked it.
  bool parked() {
    return waitFor([&] { return socket.flags() & Sock::kReceive4SourceSuspended; });
  }
  std::vector<std::string> received() {
    std::vector<std::string> out;
    for (const Event& e : recorder.ofKind("received")) out.push_back(e.data);
    return out;
  }
  tltest::UdpTestServer peer{nullptr};
  uint16_t port = 0;
};

TEST_F(BoundFixture, ReceiveOnceDeliversOneDatagramPerRequest) {
  send("a");
  send("b");
  send("c");
  ASSERT_TRUE(socket.receiveOnce());
  ASSERT_EQ(recorder.awaitKind("received").size(), 1u);
  ASSERT_TRUE(parked());
  EXPECT_EQ(socket.flags() & (Sock::kReceiveOnce | Sock::kReceiveContinuous), 0u);
  EXPECT_EQ(received(), (std::vector<std::string>{"a"}));

  ASSERT_TRUE(socket.receiveOnce());
  ASSERT_EQ(recorder.awaitKind("received", 2).size(), 2u);
  ASSERT_TRUE(parked());
  EXPECT_EQ(received(), (std::vector<std::string>{"a", "b"}));

  // Continuous from here on, for what waits and what comes.
  ASSERT_TRUE(socket.beginReceiving());
  EXPECT_EQ(socket.flags() & (Sock::kReceiveOnce | Sock::kReceiveContinuous), Sock::kReceiveContinuous);
  send("d");
  send("e");
  recorder.awaitKind("received", 5);
  EXPECT_EQ(received(), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST_F(BoundFixture, PauseKeepsDatagramsWaitingUntilReceivingResumes) {
  ASSERT_TRUE(socket.beginReceiving());
  send("1");
  ASSERT_EQ(recorder.awaitKind("received").size(), 1u);
  socket.pauseReceiving();
  EXPECT_EQ(socket.flags() & (Sock::kReceiveOnce | Sock::kReceiveContinuous), 0u);
  send("2");
  send("3");
  ASSERT_TRUE(parked());
  EXPECT_EQ(received(), (std::vector<std::string>{"1"}));
  ASSERT_TRUE(socket.beginReceiving());
  recorder.awaitKind("received", 3);
  EXPECT_EQ(received(), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(BoundFixture, ReceiveLimitCutsALongDatagramButNotTheNextOne) {
  EXPECT_EQ(socket.maxReceiveIPv4BufferSize(), 9216);
  EXPECT_EQ(socket.maxReceiveIPv6BufferSize(), 9216u);
  socket.setMaxReceiveIPv4BufferSize(4);
  EXPECT_EQ(socket.maxReceiveIPv4BufferSize(), 4);
  send("abcdefgh");
  send("xy");
  send("123456");
  ASSERT_TRUE(socket.beginReceiving());
  recorder.awaitKind("received", 3);
  EXPECT_EQ(received(), (std::vector<std::string>{"abcd", "xy", "1234"}));
}

struct FilterCase {
  std::string name;
  bool asynchronous;
};
void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }

class ReceiveFilterTest : public BoundFixture, public testing::WithParamInterface<FilterCase> {};

TEST_P(ReceiveFilterTest, DropsAndAnnotatesOnItsOwnQueue) {
  auto filterQueue = std::make_shared<SerialQueue>("filter");
  std::atomic<int> offQueue{0};
  socket.setReceiveFilter(
      [&](const std::string& data, const std::string& address, std::any* context) {
        if (!filterQueue->isCurrent()) ++offQueue;
        if (Sock::portFromAddress(address) != peer.port()) ++offQueue;
        *context = "ctx:" + data;
        return data[0] != 'x';
      },
      filterQueue, GetParam().asynchronous);
  for (const char* d : {"x1", "a", "x2", "b"}) send(d);
  ASSERT_TRUE(socket.beginReceiving());
  auto events = recorder.awaitKind("received", 2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].data, "a");
  EXPECT_EQ(std::any_cast<std::string>(events[0].context), "ctx:a");
  EXPECT_EQ(events[1].data, "b");
  EXPECT_EQ(std::any_cast<std::string>(events[1].context), "ctx:b");
  EXPECT_EQ(offQueue.load(), 0);

  // Cleared: everything is delivered again, with no context.
  socket.setReceiveFilter(nullptr, filterQueue);
  socket.flags();  // the change is queued; this waits for it
  send("x3");
  events = recorder.awaitKind("received", 3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].data, "x3");
  EXPECT_FALSE(events[2].context.has_value());
}

INSTANTIATE_TEST_SUITE_P(Modes, ReceiveFilterTest,
                         testing::Values(FilterCase{"Synchronous", false}, FilterCase{"Asynchronous", true}),
                         [](const testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST_F(BoundFixture, ReceiveOnceWithAnAsynchronousFilterEndsAtTheFirstAccepted) {
  auto filterQueue = std::make_shared<SerialQueue>("filter");
  socket.setReceiveFilter([](const std::string& data, const std::string&, std::any*) { return data[0] != 'x'; },
                          filterQueue);
  send("x1");
  send("a");
  send("b");
  ASSERT_TRUE(socket.receiveOnce());
  ASSERT_EQ(recorder.awaitKind("received").size(), 1u);
  ASSERT_TRUE(parked());
  EXPECT_EQ(received(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(socket.flags() & Sock::kReceiveOnce, 0u);
}

class SendFilterTest : public SocketFixture, public testing::WithParamInterface<FilterCase> {};

TEST_P(SendFilterTest, DroppedDatagramsCountAsSentButNeverLeave) {
  tltest::UdpTestServer server(nullptr);
  auto filterQueue = std::make_shared<SerialQueue>("filter");
  std::mutex mutex;
  std::vector<std::string> seen;
  socket.setSendFilter(
      [&](const std::string& data, const std::string& address, long tag) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(data + "@" + Sock::hostFromAddress(address).value_or("?") + ":" +
                       std::to_string(Sock::portFromAddress(address)) + "#" + std::to_string(tag) +
                       (filterQueue->isCurrent() ? "" : " off queue"));
        return data != "drop";
      },
      filterQueue, GetParam().asynchronous);
  socket.sendData("keep1", "127.0.0.1", server.port(), 1.0, 1);
  socket.sendData("drop", "127.0.0.1", server.port(), 1.0, 2);
  socket.sendData("keep2", "127.0.0.1", server.port(), 1.0, 3);
  EXPECT_EQ(kinds(recorder.await(3)), (std::vector<std::string>{"sent1", "sent2", "sent3"}));
  ASSERT_TRUE(server.awaitRequests(2));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"keep1", "keep2"}));
  const std::string port = std::to_string(server.port());
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(seen, (std::vector<std::string>{"keep1@127.0.0.1:" + port + "#1", "drop@127.0.0.1:" + port + "#2",
                                            "keep2@127.0.0.1:" + port + "#3"}));
}

INSTANTIATE_TEST_SUITE_P(Modes, SendFilterTest,
                         testing::Values(FilterCase{"Synchronous", false}, FilterCase{"Asynchronous", true}),
                         [](const testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST_F(SocketFixture, AsynchronousSendFilterHoldsThePacketAndThoseBehindIt) {
  tltest::UdpTestServer server(nullptr);
  // The filter runs only when the test pumps its queue.
  auto filterQueue = std::make_shared<MainQueue>();
  filterQueue->bindToCurrentThread();
  socket.setSendFilter([](const std::string&, const std::string&, long) { return true; }, filterQueue);
  socket.sendDataToAddress("first", server.address(), 1.0, 1);
  socket.sendDataToAddress("second", server.address(), 1.0, 2);
  ASSERT_TRUE(waitFor([&] { return filterQueue->pendingCount() == 1; }));
  EXPECT_TRUE(recorder.settled().empty());
  EXPECT_TRUE(server.requests().empty());
  // The second waits behind the first, not yet filtered.
  EXPECT_EQ(filterQueue->pendingCount(), 1u);
  ASSERT_TRUE(waitFor([&] {
    filterQueue->drain();
    return server.requests().size() == 2;
  }));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(kinds(recorder.await(2)), (std::vector<std::string>{"sent1", "sent2"}));
}

// The system refuses datagrams (EAGAIN) while `refuse` is set; timers are
// manual on a fake clock.
struct RefusingFixture : testing::Test {
  RefusingFixture() {
    socket.setSendCall([this](int fd, const std::string& data, const sockaddr* to, socklen_t toLength) -> long {
      ++calls;
      if (refuse) {
        errno = EAGAIN;
        return -1;
      }
      return ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL, to, toLength);
    });
  }
  // Waits until the socket has met the refusal at least `n` more times.
  bool refusedAgain(int n) {
    const int start = calls.load();
    return waitFor([&] { return calls.load() >= start + n; });
  }
  void advance(std::chrono::milliseconds d) {
    clock.advance(d);
    dispatcher.timers().pump();
  }

  tltest::FakeClock clock;
  Dispatcher dispatcher{Dispatcher::Options{&clock, TimerMode::kManual, 2, false}};
  Recorder recorder;
  std::atomic<bool> refuse{true};
  std::atomic<int> calls{0};
  tltest::UdpTestServer server{nullptr};
  GCDAsyncUdpSocket socket{recorder.delegate, recorder.queue, dispatcher};
};

TEST_F(RefusingFixture, TimeOutBoundsTheWaitForAWritableSocket) {
  socket.sendDataToAddress("late", server.address(), 0.5, 1);
  socket.sendDataToAddress("next", server.address(), 0.5, 2);
  ASSERT_TRUE(waitFor([&] { return dispatcher.timers().pendingCount() == 1; }));
  ASSERT_TRUE(refusedAgain(2));  // waits for writability, retrying on each write event
  advance(499ms);
  EXPECT_EQ(dispatcher.timers().pendingCount(), 1u);
  EXPECT_TRUE(recorder.settled().empty());
  advance(1ms);
  auto events = recorder.await(1);
  ASSERT_EQ(kinds(events), (std::vector<std::string>{"notSent1"}));
  EXPECT_EQ(events[0].error->domain, "GCDAsyncUdpSocketErrorDomain");
  EXPECT_EQ(events[0].error->code, 3);
  EXPECT_EQ(events[0].error->localizedDescription, "Send operation timed out");
  // The next packet has its own time-out, and goes once the system takes it.
  ASSERT_TRUE(waitFor([&] { return dispatcher.timers().pendingCount() == 1; }));
  refuse = false;
  EXPECT_EQ(kinds(recorder.await(2)), (std::vector<std::string>{"notSent1", "sent2"}));
  ASSERT_TRUE(server.awaitRequests(1));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"next"}));
  EXPECT_FALSE(socket.isClosed());
}

TEST_F(RefusingFixture, NoTimeOutWaitsWithoutATimer) {
  socket.sendDataToAddress("patient", server.address(), -1.0, 1);
  ASSERT_TRUE(refusedAgain(3));
  EXPECT_EQ(dispatcher.timers().pendingCount(), 0u);
  advance(std::chrono::hours(1));
  EXPECT_TRUE(recorder.settled().empty());
  refuse = false;
  EXPECT_EQ(kinds(recorder.await(1)), (std::vector<std::string>{"sent1"}));
  ASSERT_TRUE(server.awaitRequests(1));
}

TEST_F(RefusingFixture, ASendErrorClosesTheSocketWithThatError) {
  socket.setSendCall([](int, const std::string&, const sockaddr*, socklen_t) -> long {
    errno = EMSGSIZE;
    return -1;
  });
  socket.sendDataToAddress("too big", server.address(), 1.0, 1);
  auto events = recorder.await(1);
  ASSERT_EQ(kinds(events), (std::vector<std::string>{"closed"}));
  ASSERT_TRUE(events[0].error);
  EXPECT_EQ(events[0].error->domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(events[0].error->code, EMSGSIZE);
  EXPECT_EQ(events[0].error->failureReason, "Error in send() function.");
  EXPECT_TRUE(socket.isClosed());
}

// --- address decoding ------------------------------------------------------------

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

struct AddressCase {
  std::string name;
  std::string address;
  std::optional<std::string> host;
  uint16_t port;
  int family;
};
void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.name; }

class AddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(AddressTest, Decodes) {
  const AddressCase& c = GetParam();
  EXPECT_EQ(Sock::hostFromAddress(c.address), c.host);
  EXPECT_EQ(Sock::portFromAddress(c.address), c.port);
  EXPECT_EQ(Sock::familyFromAddress(c.address), c.family);
  EXPECT_EQ(Sock::isIPv4Address(c.address), c.family == AF_INET);
  EXPECT_EQ(Sock::isIPv6Address(c.address), c.family == AF_INET6);
  std::string host = "unset";
  uint16_t port = 1;
  int family = -1;
  EXPECT_EQ(Sock::getHost(&host, &port, &family, c.address), c.family != 0);
  EXPECT_EQ(host, c.host.value_or(""));
  EXPECT_EQ(port, c.port);
  EXPECT_EQ(family, c.family);
  EXPECT_EQ(Sock::getHost(&host, &port, c.address), c.family != 0);
}

// Linux layout: a 16-bit family in host order (little-endian here), then the
// port in network order.
INSTANTIATE_TEST_SUITE_P(
    Bytes, AddressTest,
    testing::Values(
        AddressCase{"IPv4",
                    bytes({0x02, 0x00, 0x1F, 0x90, 192, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}),
                    "192.0.2.1", 8080, AF_INET},
        AddressCase{"IPv6",
                    bytes({0x0A, 0x00, 0x01, 0xBB, 0, 0, 0, 0,                   // family, port, flow
                           0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01,  // address
                           0, 0, 0, 0}),                                          // scope
                    "2001:db8::1", 443, AF_INET6},
        AddressCase{"IPv4MappedIPv6",
                    bytes({0x0A, 0x00, 0x00, 0x7B, 0, 0, 0, 0,  //
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3, 4,  //
                           0, 0, 0, 0}),
                    "::ffff:1.2.3.4", 123, AF_INET6},
        AddressCase{"IPv4OneByteShort", bytes({0x02, 0x00, 0x1F, 0x90, 192, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0}),
                    std::nullopt, 0, 0},
        AddressCase{"IPv6OneByteShort",
                    bytes({0x0A, 0x00, 0x01, 0xBB, 0, 0, 0, 0,  //
                           0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01,  //
                           0, 0, 0}),
                    std::nullopt, 0, 0},
        AddressCase{"OtherFamily", bytes({0x01, 0x00, 0x1F, 0x90, 192, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}),
                    std::nullopt, 0, 0},
        AddressCase{"Empty", "", std::nullopt, 0, 0}),
    [](const testing::TestParamInfo<AddressCase>& info) { return info.param.name; });

TEST(RawAddressTest, DecodesSocketAddresses) {
  sockaddr_in a4{};
  a4.sin_family = AF_INET;
  a4.sin_port = htons(65535);
  a4.sin_addr.s_addr = htonl(0x7F000001);
  EXPECT_EQ(Sock::hostFromSockaddr4(&a4), "127.0.0.1");
  EXPECT_EQ(Sock::portFromSockaddr4(&a4), 65535);
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_port = htons(1);
  a6.sin6_addr = in6addr_loopback;
  EXPECT_EQ(Sock::hostFromSockaddr6(&a6), "::1");
  EXPECT_EQ(Sock::portFromSockaddr6(&a6), 1);
}

}  // namespace
}  // namespace tembrolexinplatform
