// The UDP socket against loopback servers that the tests start on ephemeral
// ports: family choice, disabled families, ordered sends, receiving and
// closing.

#include <netinet/in.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/gcd_async_udp_socket.h"
#include "tests/support/udp_test_server.h"

namespace tembrolexinplatform {
namespace {

// Records every callback; callbacks run on a serial delegate queue.
struct Recorder {
  struct Event {
    std::string kind;  // "sent", "notSent", "received", "closed"
    long tag = 0;
    std::optional<TLError> error;
    std::string data, address;
  };

  Recorder() : delegate(std::make_shared<GCDAsyncUdpSocketDelegate>()) {
    delegate->udpSocketDidSendDataWithTag = [this](GCDAsyncUdpSocket*, long tag) { add({"sent", tag, std::nullopt, "", ""}); };
    delegate->udpSocketDidNotSendDataWithTag = [this](GCDAsyncUdpSocket*, long tag, const TLError& e) {
      add({"notSent", tag, e, "", ""});
    };
    delegate->udpSocketDidReceiveData = [this](GCDAsyncUdpSocket*, const std::string& d, const std::string& a) {
      add({"received", 0, std::nullopt, d, a});
    };
    delegate->udpSocketDidCloseWithError = [this](GCDAsyncUdpSocket*, const std::optional<TLError>& e) {
      add({"closed", 0, e, "", ""});
    };
  }
  void add(Event e) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(e));
    cv.notify_all();
  }
  // Waits (real time, at most 5 s) for `n` events; returns a copy of all.
  std::vector<Event> await(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= n; });
    return events;
  }
  // Everything queued for the delegate so far has been delivered.
  std::vector<Event> settled() {
    queue->sync([] {});
    return await(0);
  }

  std::shared_ptr<GCDAsyncUdpSocketDelegate> delegate;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Event> events;
  // Last, so that it goes first: it delivers what is still queued (the close
  // of a socket being destroyed) while the record is still there.
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("delegate");
};

struct SocketFixture : testing::Test {
  Recorder recorder;
  GCDAsyncUdpSocket socket{recorder.delegate, recorder.queue};
};

std::vector<std::string> echo(const std::string& request) { return {request}; }

TEST_F(SocketFixture, ReceivingNeedsASocketThenGetsTheEchoWithItsSender) {
  TLError error;
  EXPECT_FALSE(socket.beginReceiving(&error));
  EXPECT_EQ(error.domain, "GCDAsyncUdpSocketErrorDomain");
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.localizedDescription,
            "Must bind socket before you can receive data. You can do this explicitly via bind, or "
            "implicitly via connect or by sending data.");

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
  EXPECT_EQ(GCDAsyncUdpSocket::hostFromAddress(events[1].address), "127.0.0.1");
  EXPECT_EQ(GCDAsyncUdpSocket::portFromAddress(events[1].address), server.port());
  EXPECT_EQ(GCDAsyncUdpSocket::familyFromAddress(events[1].address), AF_INET);
  EXPECT_NE(socket.localPort(), 0);
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
    return;
  }
  EXPECT_EQ(events[0].kind, "sent");
  tltest::UdpTestServer& target = GetParam().receivedBy == "v4" ? v4 : v6;
  tltest::UdpTestServer& other = GetParam().receivedBy == "v4" ? v6 : v4;
  EXPECT_TRUE(target.awaitRequests(1));
  EXPECT_TRUE(other.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Localhost, FamilyTest,
    testing::Values(
        FamilyCase{"NeutralTakesIPv4First", [](GCDAsyncUdpSocket&) {}, "localhost", "v4", ""},
        FamilyCase{"PreferIPv6", [](GCDAsyncUdpSocket& s) { s.setPreferIPv6(); }, "localhost", "v6", ""},
        FamilyCase{"IPv4DisabledUsesIPv6", [](GCDAsyncUdpSocket& s) { s.setIPv4Enabled(false); }, "localhost",
                   "v6", ""},
        FamilyCase{"IPv4DisabledAndOnlyIPv4", [](GCDAsyncUdpSocket& s) { s.setIPv4Enabled(false); }, "127.0.0.1",
                   "", "IPv4 has been disabled and DNS lookup found no IPv6 address(es)."},
        FamilyCase{"IPv6DisabledAndOnlyIPv6", [](GCDAsyncUdpSocket& s) { s.setIPv6Enabled(false); }, "::1", "",
                   "IPv6 has been disabled and DNS lookup found no IPv4 address(es)."}),
    [](const testing::TestParamInfo<FamilyCase>& info) { return info.param.name; });

TEST_F(SocketFixture, SendsInQueueOrderAndAFailedLookUpHoldsNothingUp) {
  tltest::UdpTestServer server(nullptr);
  socket.sendData("", "127.0.0.1", server.port(), 1.0, 99);  // empty: dropped, no callback
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

TEST(AddressTest, AnythingButAWholeAddressDecodesToNothing) {
  EXPECT_FALSE(GCDAsyncUdpSocket::hostFromAddress(std::string(15, '\0')));
  EXPECT_EQ(GCDAsyncUdpSocket::portFromAddress(""), 0);
  std::string v6Short(20, '\0');
  v6Short[0] = AF_INET6;  // family 10 on Linux, little-endian 16 bits
  EXPECT_EQ(GCDAsyncUdpSocket::familyFromAddress(v6Short), 0);
}

}  // namespace
}  // namespace tembrolexinplatform
