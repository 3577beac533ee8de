// The UDP socket's binding, connecting, multicast and broadcast on loopback,
// the checks that refuse them, its accessors, and how it shares queues.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/gcd_async_udp_socket.h"
#include "platform/runtime/notification_center.h"
#include "tests/platform/net/udp_socket_recorder.h"
#include "tests/support/udp_test_server.h"

namespace tembrolexinplatform {
namespace {

using udptest::Event;
using udptest::ipv4Address;
using udptest::ipv6Address;
using udptest::Recorder;
using udptest::waitFor;

using Sock = GCDAsyncUdpSocket;

std::vector<std::string> echo(const std::string& request) { return {request}; }

struct LoopbackSocket : testing::Test {
  void SetUp() override {
    if (!udptest::ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  std::vector<std::string> received() {
    std::vector<std::string> out;
    for (const Event& e : recorder.ofKind("received")) out.push_back(e.data);
    return out;
  }
  Recorder recorder;
  GCDAsyncUdpSocket socket{recorder.delegate, recorder.queue};
};

// --- refusals -------------------------------------------------------------------

struct RefusalCase {
  std::string name;
  std::function<void(GCDAsyncUdpSocket&)> setUp;
  std::function<bool(GCDAsyncUdpSocket&, TLError*)> operation;
  int64_t code;
  std::string text;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusalTest : public LoopbackSocket, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, AnswersFalseWithTheError) {
  GetParam().setUp(socket);
  const uint32_t flagsBefore = socket.flags();
  TLError error;
  EXPECT_FALSE(GetParam().operation(socket, &error));
  EXPECT_EQ(error.domain, "GCDAsyncUdpSocketErrorDomain");
  EXPECT_EQ(error.code, GetParam().code);
  EXPECT_EQ(error.localizedDescription, GetParam().text);
  EXPECT_EQ(socket.flags(), flagsBefore);
}

void noDelegate(Sock& s) { s.synchronouslySetDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate>()); }
void noDelegateQueue(Sock& s) { s.synchronouslySetDelegateQueue(nullptr); }
void bound(Sock& s) { ASSERT_TRUE(s.bindToPort(0, "127.0.0.1")); }
// The connect request waits behind a datagram whose send filter never
// answers (its queue is never pumped).
void connecting(Sock& s) {
  static auto* never = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  s.setSendFilter([](const std::string&, const std::string&, long) { return true; }, *never);
  s.sendDataToAddress("held", ipv4Address("127.0.0.1", 9), 1.0, 1);
  ASSERT_TRUE(s.connectToAddress(ipv4Address("127.0.0.1", 9)));
  ASSERT_TRUE(s.flags() & Sock::kConnecting);
}
// An address needs no look-up: the connect step has run when this returns.
void connected(Sock& s) { ASSERT_TRUE(s.connectToAddress(ipv4Address("127.0.0.1", 9))); }
void bothDisabled(Sock& s) {
  s.setIPv4Enabled(false);
  s.setIPv6Enabled(false);
}
void nothing(Sock&) {}

bool bindAny(Sock& s, TLError* e) { return s.bindToPort(0, e); }
bool connectLocal(Sock& s, TLError* e) { return s.connectToHost("127.0.0.1", 9, e); }
bool joinGroup(Sock& s, TLError* e) { return s.joinMulticastGroup("239.255.0.7", e); }

const char kNoDelegate[] = "Attempting to use socket without a delegate. Set a delegate first.";
const char kNoQueue[] = "Attempting to use socket without a delegate queue. Set a delegate queue first.";
const char kBothDisabled[] = "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";

INSTANTIATE_TEST_SUITE_P(
    Checks, RefusalTest,
    testing::Values(
        RefusalCase{"BindWithoutDelegate", noDelegate, bindAny, 1, kNoDelegate},
        RefusalCase{"BindWithoutDelegateQueue", noDelegateQueue, bindAny, 1, kNoQueue},
        RefusalCase{"BindTwice", bound, bindAny, 1, "Cannot bind a socket more than once."},
        RefusalCase{"BindWhileConnecting", connecting, bindAny, 1,
                    "Cannot bind after connecting. If needed, bind first, then connect."},
        // Connecting binds: that check comes first.
        RefusalCase{"BindAfterConnect", connected, bindAny, 1, "Cannot bind a socket more than once."},
        RefusalCase{"ConnectWhileConnecting", connecting, connectLocal, 1, "Cannot connect a socket more than once."},
        RefusalCase{"BindBothDisabled", bothDisabled, bindAny, 1, kBothDisabled},
        RefusalCase{"BindUnknownInterface", nothing,
                    [](Sock& s, TLError* e) { return s.bindToPort(0, "nosuchif0", e); }, 2,
                    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        RefusalCase{"BindEmptyInterface", nothing, [](Sock& s, TLError* e) { return s.bindToPort(0, "", e); }, 2,
                    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        RefusalCase{"BindIPv4DisabledOnIPv4Interface", [](Sock& s) { s.setIPv4Enabled(false); },
                    [](Sock& s, TLError* e) { return s.bindToPort(0, "127.0.0.1", e); }, 2,
                    "IPv4 has been disabled and specified interface doesn't support IPv6."},
        RefusalCase{"BindIPv6DisabledOnIPv6Interface", [](Sock& s) { s.setIPv6Enabled(false); },
                    [](Sock& s, TLError* e) { return s.bindToPort(0, "::1", e); }, 2,
                    "IPv6 has been disabled and specified interface doesn't support IPv4."},
        RefusalCase{"BindToTruncatedAddress", nothing,
                    [](Sock& s, TLError* e) { return s.bindToAddress(ipv4Address("127.0.0.1", 0).substr(0, 8), e); },
                    2, "A valid IPv4 or IPv6 address was not given"},
        RefusalCase{"BindToIPv4AddressWithIPv4Disabled", [](Sock& s) { s.setIPv4Enabled(false); },
                    [](Sock& s, TLError* e) { return s.bindToAddress(ipv4Address("127.0.0.1", 0), e); }, 2,
                    "IPv4 has been disabled and an IPv4 address was passed."},
        RefusalCase{"BindToIPv6AddressWithIPv6Disabled", [](Sock& s) { s.setIPv6Enabled(false); },
                    [](Sock& s, TLError* e) { return s.bindToAddress(ipv6Address("::1", 0), e); }, 2,
                    "IPv6 has been disabled and an IPv6 address was passed."},
        RefusalCase{"ConnectWithoutDelegate", noDelegate, connectLocal, 1, kNoDelegate},
        RefusalCase{"ConnectTwice", connected, connectLocal, 1, "Cannot connect a socket more than once."},
        RefusalCase{"ConnectBothDisabled", bothDisabled, connectLocal, 1, kBothDisabled},
        RefusalCase{"ConnectWithoutHost", nothing, [](Sock& s, TLError* e) { return s.connectToHost("", 9, e); }, 2,
                    "The host param is nil. Should be domain name or IP address string."},
        RefusalCase{"ConnectWithoutAddress", nothing, [](Sock& s, TLError* e) { return s.connectToAddress("", e); },
                    2, "The address param is nil. Should be a valid address."},
        RefusalCase{"ConnectToGarbage", nothing,
                    [](Sock& s, TLError* e) { return s.connectToAddress(std::string(16, '\x7f'), e); }, 2,
                    "A valid IPv4 or IPv6 address was not given"},
        RefusalCase{"JoinWithoutDelegateQueue", noDelegateQueue, joinGroup, 1, kNoQueue},
        RefusalCase{"JoinUnbound", nothing, joinGroup, 1, "Must bind a socket before joining a multicast group."},
        RefusalCase{"JoinWhileConnected", connected, joinGroup, 1, "Cannot join a multicast group if connected."},
        RefusalCase{"JoinNamedGroup", bound, [](Sock& s, TLError* e) { return s.joinMulticastGroup("localhost", e); },
                    2, "Unknown group. Specify valid group IP address."},
        RefusalCase{"LeaveUnknownInterface", bound,
                    [](Sock& s, TLError* e) { return s.leaveMulticastGroup("239.255.0.7", "nosuchif0", e); }, 2,
                    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        RefusalCase{"JoinIPv4GroupOnIPv6Interface", bound,
                    [](Sock& s, TLError* e) { return s.joinMulticastGroup("239.255.0.7", "::1", e); }, 2,
                    "Socket, group, and interface do not have matching IP versions"},
        RefusalCase{"JoinIPv6GroupOnIPv4Socket", bound,
                    [](Sock& s, TLError* e) { return s.joinMulticastGroup("ff01::1:7", "localhost", e); }, 2,
                    "Socket, group, and interface do not have matching IP versions"},
        RefusalCase{"BroadcastWithoutDelegate", noDelegate,
                    [](Sock& s, TLError* e) { return s.enableBroadcast(true, e); }, 1, kNoDelegate}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// --- binding ------------------------------------------------------------------------

struct BindCase {
  std::string name;
  std::function<void(GCDAsyncUdpSocket&)> configure;
  std::function<bool(GCDAsyncUdpSocket&, TLError*)> bind;
  std::optional<std::string> host4, host6;  // none: that family is not bound
};
void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }

class BindTest : public LoopbackSocket, public testing::WithParamInterface<BindCase> {};

TEST_P(BindTest, BindsEachUsableFamilyThenReceivesThere) {
  const BindCase& c = GetParam();
  c.configure(socket);
  EXPECT_EQ(socket.localAddress(), "");
  EXPECT_EQ(socket.localPort(), 0);
  TLError error;
  ASSERT_TRUE(c.bind(socket, &error)) << error.localizedDescription;
  const uint32_t flags = socket.flags();
  EXPECT_TRUE(flags & Sock::kDidCreateSockets);
  EXPECT_TRUE(flags & Sock::kDidBind);
  EXPECT_EQ(bool(flags & Sock::kIPv4Deactivated), !c.host4);
  EXPECT_EQ(bool(flags & Sock::kIPv6Deactivated), !c.host6);
  EXPECT_EQ(socket.isIPv4(), c.host4.has_value());
  EXPECT_EQ(socket.isIPv6(), c.host6.has_value());
  EXPECT_EQ(socket.localHost_IPv4(), c.host4);
  EXPECT_EQ(socket.localHost_IPv6(), c.host6);
  // The generic accessors take IPv4 first.
  EXPECT_EQ(socket.localHost(), c.host4 ? c.host4 : c.host6);
  EXPECT_EQ(socket.localPort(), c.host4 ? socket.localPort_IPv4() : socket.localPort_IPv6());
  EXPECT_EQ(Sock::portFromAddress(socket.localAddress()), socket.localPort());

  ASSERT_TRUE(socket.beginReceiving());
  std::vector<std::string> expected;
  if (c.host4) {
    ASSERT_NE(socket.localPort_IPv4(), 0);
    tltest::UdpTestServer peer4(nullptr);
    ASSERT_TRUE(peer4.sendTo(socket.localPort_IPv4(), "over IPv4"));
    expected.push_back("over IPv4");
    recorder.awaitKind("received", expected.size());
  }
  if (c.host6) {
    ASSERT_NE(socket.localPort_IPv6(), 0);
    tltest::UdpTestServer peer6(nullptr, /*ipv6=*/true);
    ASSERT_TRUE(peer6.sendTo(socket.localPort_IPv6(), "over IPv6"));
    expected.push_back("over IPv6");
    recorder.awaitKind("received", expected.size());
  }
  EXPECT_EQ(received(), expected);
}

bool bindTo(Sock& s, TLError* e, const char* interface) { return s.bindToPort(0, interface, e); }

INSTANTIATE_TEST_SUITE_P(
    Interfaces, BindTest,
    testing::Values(
        BindCase{"AnyAddress", nothing, bindAny, "0.0.0.0", "::"},
        BindCase{"Localhost", nothing, [](Sock& s, TLError* e) { return bindTo(s, e, "localhost"); }, "127.0.0.1",
                 "::1"},
        BindCase{"Loopback", nothing, [](Sock& s, TLError* e) { return bindTo(s, e, "loopback"); }, "127.0.0.1",
                 "::1"},
        BindCase{"InterfaceName", nothing, [](Sock& s, TLError* e) { return bindTo(s, e, "lo"); }, "127.0.0.1",
                 "::1"},
        BindCase{"NumericIPv4", nothing, [](Sock& s, TLError* e) { return bindTo(s, e, "127.0.0.1"); }, "127.0.0.1",
                 std::nullopt},
        BindCase{"NumericIPv6", nothing, [](Sock& s, TLError* e) { return bindTo(s, e, "::1"); }, std::nullopt,
                 "::1"},
        BindCase{"LocalhostWithIPv4Disabled", [](Sock& s) { s.setIPv4Enabled(false); },
                 [](Sock& s, TLError* e) { return bindTo(s, e, "localhost"); }, std::nullopt, "::1"},
        BindCase{"IPv4Address", nothing,
                 [](Sock& s, TLError* e) { return s.bindToAddress(ipv4Address("127.0.0.1", 0), e); }, "127.0.0.1",
                 std::nullopt},
        BindCase{"IPv6Address", nothing,
                 [](Sock& s, TLError* e) { return s.bindToAddress(ipv6Address("::1", 0), e); }, std::nullopt,
                 "::1"}),
    [](const testing::TestParamInfo<BindCase>& info) { return info.param.name; });

TEST_F(LoopbackSocket, BindingAPortInUseFailsWithTheSystemsError) {
  tltest::UdpTestServer taken(nullptr);
  TLError error;
  EXPECT_FALSE(socket.bindToAddress(taken.address(), &error));
  EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(error.code, EADDRINUSE);
  EXPECT_EQ(error.failureReason, "Error in bind() function");
  EXPECT_EQ(error.localizedDescription, std::strerror(EADDRINUSE));
  // Closed again, quietly; a later bind works.
  EXPECT_TRUE(socket.isClosed());
  EXPECT_TRUE(socket.bindToPort(0, "127.0.0.1"));
  EXPECT_TRUE(recorder.settled().empty());
}

// --- connecting ------------------------------------------------------------------------

struct ConnectCase {
  std::string name;
  std::function<bool(GCDAsyncUdpSocket&, uint16_t port, TLError*)> connect;
  bool ipv6;  // which peer it ends up with
};
void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class ConnectTest : public LoopbackSocket, public testing::WithParamInterface<ConnectCase> {};

TEST_P(ConnectTest, ConnectsThenTalksToThePeerOnly) {
  tltest::UdpTestServer v4(echo);
  tltest::UdpTestServer v6(echo, /*ipv6=*/true, v4.port());
  TLError error;
  ASSERT_TRUE(GetParam().connect(socket, v4.port(), &error)) << error.localizedDescription;
  auto connected = recorder.awaitKind("connected");
  ASSERT_EQ(connected.size(), 1u);
  const bool ipv6 = GetParam().ipv6;
  const std::string host = ipv6 ? "::1" : "127.0.0.1";
  EXPECT_EQ(Sock::hostFromAddress(connected[0].address), host);
  EXPECT_EQ(Sock::portFromAddress(connected[0].address), v4.port());
  EXPECT_TRUE(socket.isConnected());
  EXPECT_EQ(socket.connectedHost(), host);
  EXPECT_EQ(socket.connectedPort(), v4.port());
  EXPECT_EQ(socket.connectedAddress(), connected[0].address);
  const uint32_t flags = socket.flags();
  EXPECT_EQ(flags & (Sock::kDidBind | Sock::kDidConnect | Sock::kConnecting), Sock::kDidBind | Sock::kDidConnect);
  EXPECT_TRUE(flags & (ipv6 ? Sock::kIPv4Deactivated : Sock::kIPv6Deactivated));
  EXPECT_EQ(socket.isIPv4(), !ipv6);
  EXPECT_EQ(socket.isIPv6(), ipv6);
  EXPECT_NE(socket.localPort(), 0);

  // To the peer, and back from it.
  ASSERT_TRUE(socket.beginReceiving());
  socket.sendData("hello", 7);
  socket.sendData("again", 1.0, 8);
  tltest::UdpTestServer& peer = ipv6 ? v6 : v4;
  ASSERT_TRUE(peer.awaitRequests(2));
  EXPECT_EQ(peer.requests(), (std::vector<std::string>{"hello", "again"}));
  recorder.awaitKind("received", 2);
  EXPECT_EQ(received(), (std::vector<std::string>{"hello", "again"}));
  EXPECT_EQ(recorder.ofKind("sent").size(), 2u);

  // Another destination is refused, the packet only.
  socket.sendData("elsewhere", host, v4.port(), 1.0, 9);
  socket.sendDataToAddress("elsewhere", peer.address(), 1.0, 10);
  auto notSent = recorder.awaitKind("notSent", 2);
  ASSERT_EQ(notSent.size(), 2u);
  for (const Event& e : notSent) {
    EXPECT_EQ(e.error->code, 1);
    EXPECT_EQ(e.error->localizedDescription, "Cannot specify destination of packet for connected socket");
  }
  EXPECT_EQ(notSent[0].tag, 9);
  EXPECT_EQ(notSent[1].tag, 10);

  // A stranger's datagram never arrives; the peer's next one does.
  tltest::UdpTestServer stranger(nullptr, ipv6);
  ASSERT_TRUE(stranger.sendTo(socket.localPort(), "stranger"));
  socket.sendData("third", 11);
  recorder.awaitKind("received", 3);
  EXPECT_EQ(received(), (std::vector<std::string>{"hello", "again", "third"}));
  EXPECT_FALSE(socket.isClosed());
}

INSTANTIATE_TEST_SUITE_P(
    Peers, ConnectTest,
    testing::Values(
        ConnectCase{"IPv4Host", [](Sock& s, uint16_t p, TLError* e) { return s.connectToHost("127.0.0.1", p, e); },
                    false},
        ConnectCase{"IPv6Host", [](Sock& s, uint16_t p, TLError* e) { return s.connectToHost("::1", p, e); }, true},
        ConnectCase{"LocalhostNeutral",
                    [](Sock& s, uint16_t p, TLError* e) { return s.connectToHost("localhost", p, e); }, false},
        ConnectCase{"LocalhostPreferIPv6",
                    [](Sock& s, uint16_t p, TLError* e) {
                      s.setPreferIPv6();
                      return s.connectToHost("localhost", p, e);
                    },
                    true},
        ConnectCase{"LocalhostIPv4Disabled",
                    [](Sock& s, uint16_t p, TLError* e) {
                      s.setIPv4Enabled(false);
                      return s.connectToHost("localhost", p, e);
                    },
                    true},
        ConnectCase{"IPv4Address",
                    [](Sock& s, uint16_t p, TLError* e) { return s.connectToAddress(ipv4Address("127.0.0.1", p), e); },
                    false},
        ConnectCase{"IPv6AddressAfterBinding",
                    [](Sock& s, uint16_t p, TLError* e) {
                      return s.bindToPort(0, "::1", e) && s.connectToAddress(ipv6Address("::1", p), e);
                    },
                    true}),
    [](const testing::TestParamInfo<ConnectCase>& info) { return info.param.name; });

struct ConnectFailureCase {
  std::string name;
  std::function<bool(GCDAsyncUdpSocket&)> connect;
  std::string domain;
  int64_t code;
  std::string text;  // localized description, or failure reason for system errors
};
void PrintTo(const ConnectFailureCase& c, std::ostream* os) { *os << c.name; }

class ConnectFailureTest : public LoopbackSocket, public testing::WithParamInterface<ConnectFailureCase> {};

TEST_P(ConnectFailureTest, ReportsAndLeavesTheSocketUnconnected) {
  ASSERT_TRUE(GetParam().connect(socket));
  auto failed = recorder.awaitKind("notConnected");
  ASSERT_EQ(failed.size(), 1u);
  const TLError& error = *failed[0].error;
  EXPECT_EQ(error.domain, GetParam().domain);
  EXPECT_EQ(error.code, GetParam().code);
  EXPECT_EQ(error.domain == "NSPOSIXErrorDomain" ? error.failureReason : error.localizedDescription,
            GetParam().text);
  EXPECT_FALSE(socket.isConnected());
  EXPECT_EQ(socket.flags() & (Sock::kConnecting | Sock::kDidConnect), 0u);
  EXPECT_TRUE(recorder.ofKind("connected").empty());
  // A later attempt, on new sockets, may succeed.
  socket.close();
  socket.setIPv4Enabled(true);
  tltest::UdpTestServer server(nullptr);
  ASSERT_TRUE(socket.connectToHost("127.0.0.1", server.port()));
  EXPECT_EQ(recorder.awaitKind("connected").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ConnectFailureTest,
    testing::Values(
        ConnectFailureCase{"BroadcastAddressRefusedBySystem",
                           [](Sock& s) { return s.connectToAddress(ipv4Address("255.255.255.255", 9)); },
                           "NSPOSIXErrorDomain", EACCES, "Error in connect() function"},
        ConnectFailureCase{"IPv4DisabledAndOnlyIPv4",
                           [](Sock& s) {
                             s.setIPv4Enabled(false);
                             return s.connectToHost("127.0.0.1", 9);
                           },
                           "GCDAsyncUdpSocketErrorDomain", 5,
                           "IPv4 has been disabled and DNS lookup found no IPv6 address(es)."}),
    [](const testing::TestParamInfo<ConnectFailureCase>& info) { return info.param.name; });

TEST_F(LoopbackSocket, ConnectWaitsBehindTheDatagramsQueuedBeforeIt) {
  tltest::UdpTestServer first(nullptr);
  tltest::UdpTestServer peer(nullptr);
  socket.sendData("before", "localhost", first.port(), 1.0, 1);
  ASSERT_TRUE(socket.connectToHost("localhost", peer.port()));
  socket.sendData("after", 2);
  auto events = recorder.await(3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind + std::to_string(events[0].tag), "sent1");
  EXPECT_EQ(events[1].kind, "connected");
  EXPECT_EQ(events[2].kind + std::to_string(events[2].tag), "sent2");
  ASSERT_TRUE(peer.awaitRequests(1));
  ASSERT_TRUE(first.awaitRequests(1));
  EXPECT_EQ(first.requests(), (std::vector<std::string>{"before"}));
  EXPECT_EQ(peer.requests(), (std::vector<std::string>{"after"}));
}

// --- broadcast and multicast -------------------------------------------------------------

struct BroadcastCase {
  std::string name;
  bool enable;
};
void PrintTo(const BroadcastCase& c, std::ostream* os) { *os << c.name; }

class BroadcastTest : public LoopbackSocket, public testing::WithParamInterface<BroadcastCase> {};

TEST_P(BroadcastTest, ReachesTheLoopbackNetworkOnlyWhenEnabled) {
  Recorder listenerEvents;
  GCDAsyncUdpSocket listener(listenerEvents.delegate, listenerEvents.queue);
  listener.setIPv6Enabled(false);
  ASSERT_TRUE(listener.bindToPort(0));
  ASSERT_TRUE(listener.beginReceiving());
  TLError error;
  ASSERT_TRUE(socket.enableBroadcast(GetParam().enable, &error)) << error.localizedDescription;
  EXPECT_FALSE(socket.isClosed());  // the sockets now exist
  socket.sendDataToAddress("to all", ipv4Address("127.255.255.255", listener.localPort()), 1.0, 1);
  if (GetParam().enable) {
    EXPECT_EQ(recorder.awaitKind("sent").size(), 1u);
    auto got = listenerEvents.awaitKind("received");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, "to all");
    return;
  }
  // The system refuses a broadcast from a socket that did not ask for it,
  // and the refusal closes the socket.
  auto closed = recorder.awaitKind("closed");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].error->domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(closed[0].error->code, EACCES);
  EXPECT_EQ(closed[0].error->failureReason, "Error in send() function.");
  EXPECT_TRUE(recorder.ofKind("sent").empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, BroadcastTest,
                         testing::Values(BroadcastCase{"Enabled", true}, BroadcastCase{"Disabled", false}),
                         [](const testing::TestParamInfo<BroadcastCase>& info) { return info.param.name; });

TEST_F(LoopbackSocket, BroadcastWithoutAnIPv4SocketAnswersFalseWithoutAnError) {
  socket.setIPv4Enabled(false);
  TLError error{"untouched", 42, "", ""};
  EXPECT_FALSE(socket.enableBroadcast(true, &error));
  EXPECT_EQ(error.domain, "untouched");
  EXPECT_EQ(error.code, 42);
  EXPECT_FALSE(socket.isClosed());
  EXPECT_FALSE(socket.isIPv4());
  EXPECT_TRUE(socket.isIPv6());
}

// Sends `datagram` to an IPv4 group through the loopback interface.
bool sendToGroup(const char* group, uint16_t port, const std::string& datagram) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loopback{htonl(INADDR_LOOPBACK)};
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  const std::string to = ipv4Address(group, port);
  const bool ok = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                           static_cast<socklen_t>(to.size())) == static_cast<ssize_t>(datagram.size());
  ::close(fd);
  return ok;
}

TEST_F(LoopbackSocket, JoinsAnIPv4GroupOnLoopbackThenLeavesIt) {
  ASSERT_TRUE(socket.bindToPort(0));
  const uint16_t port = socket.localPort_IPv4();
  TLError error;
  if (!socket.joinMulticastGroup("239.255.0.7", "127.0.0.1", &error)) {
    GTEST_SKIP() << "the kernel refuses multicast on loopback: " << error.localizedDescription;
  }
  // The group is IPv4: the IPv6 socket is gone.
  EXPECT_FALSE(socket.isIPv6());
  EXPECT_TRUE(socket.flags() & Sock::kIPv6Deactivated);
  ASSERT_TRUE(socket.beginReceiving());
  ASSERT_TRUE(sendToGroup("239.255.0.7", port, "to the group"));
  ASSERT_EQ(recorder.awaitKind("received").size(), 1u);

  ASSERT_TRUE(socket.leaveMulticastGroup("239.255.0.7", "127.0.0.1", &error)) << error.localizedDescription;
  ASSERT_TRUE(sendToGroup("239.255.0.7", port, "after leaving"));
  tltest::UdpTestServer direct(nullptr);
  ASSERT_TRUE(direct.sendTo(port, "marker"));
  recorder.awaitKind("received", 2);
  EXPECT_EQ(received(), (std::vector<std::string>{"to the group", "marker"}));

  // Not a member any more.
  EXPECT_FALSE(socket.leaveMulticastGroup("239.255.0.7", "127.0.0.1", &error));
  EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(error.code, EADDRNOTAVAIL);
  EXPECT_EQ(error.failureReason, "Error in setsockopt() function");
}

TEST_F(LoopbackSocket, JoinsAnIPv6GroupOnTheLoopbackInterface) {
  ASSERT_TRUE(socket.bindToPort(0));
  TLError error;
  if (!socket.joinMulticastGroup("ff01::1:7", "::1", &error)) {
    GTEST_SKIP() << "the kernel refuses IPv6 multicast on loopback: " << error.localizedDescription;
  }
  EXPECT_FALSE(socket.isIPv4());
  EXPECT_TRUE(socket.flags() & Sock::kIPv4Deactivated);
  EXPECT_TRUE(socket.leaveMulticastGroup("ff01::1:7", "::1", &error)) << error.localizedDescription;
  EXPECT_FALSE(socket.leaveMulticastGroup("ff01::1:7", "::1", &error));
  EXPECT_EQ(error.failureReason, "Error in setsockopt() function");
}

// --- accessors ------------------------------------------------------------------------------

struct ConfigCase {
  std::string name;
  std::function<void(GCDAsyncUdpSocket&)> apply;
  uint16_t config;
};
void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class ConfigTest : public LoopbackSocket, public testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigTest, SettersChangeTheirBitsOnly) {
  GetParam().apply(socket);
  const uint16_t config = GetParam().config;
  EXPECT_EQ(socket.config(), config);
  EXPECT_EQ(socket.isIPv4Enabled(), !(config & 0x1));
  EXPECT_EQ(socket.isIPv6Enabled(), !(config & 0x2));
  EXPECT_EQ(socket.isIPv4Preferred(), bool(config & 0x4));
  EXPECT_EQ(socket.isIPv6Preferred(), bool(config & 0x8));
  EXPECT_EQ(socket.isIPVersionNeutral(), !(config & 0xC));
  // Without sockets, a family counts when it is enabled.
  EXPECT_EQ(socket.isIPv4(), !(config & 0x1));
  EXPECT_EQ(socket.isIPv6(), !(config & 0x2));
}

INSTANTIATE_TEST_SUITE_P(
    Bits, ConfigTest,
    testing::Values(ConfigCase{"Default", nothing, 0x0},
                    ConfigCase{"PreferIPv4", [](Sock& s) { s.setPreferIPv4(); }, 0x4},
                    ConfigCase{"PreferIPv6ReplacesIPv4",
                               [](Sock& s) {
                                 s.setPreferIPv4();
                                 s.setPreferIPv6();
                               },
                               0x8},
                    ConfigCase{"NeutralClearsBoth",
                               [](Sock& s) {
                                 s.setPreferIPv6();
                                 s.setIPVersionNeutral();
                               },
                               0x0},
                    ConfigCase{"IPv4Disabled", [](Sock& s) { s.setIPv4Enabled(false); }, 0x1},
                    ConfigCase{"BothDisabledThenIPv6Again",
                               [](Sock& s) {
                                 bothDisabled(s);
                                 s.setPreferIPv4();
                                 s.setIPv6Enabled(true);
                               },
                               0x5}),
    [](const testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST_F(LoopbackSocket, DelegateAndQueueAccessorsPlainAndSynchronous) {
  EXPECT_EQ(socket.delegate().lock(), recorder.delegate);
  EXPECT_EQ(socket.delegateQueue(), recorder.queue);
  Recorder other;
  socket.setDelegate(other.delegate);  // queued; the read below waits behind it
  EXPECT_EQ(socket.delegate().lock(), other.delegate);
  socket.setDelegateQueue(other.queue);
  EXPECT_EQ(socket.delegateQueue(), other.queue);
  socket.synchronouslySetDelegate(recorder.delegate);
  socket.synchronouslySetDelegateQueue(recorder.queue);
  std::weak_ptr<GCDAsyncUdpSocketDelegate> d;
  std::shared_ptr<DispatchQueue> q;
  socket.getDelegate(&d, &q);
  EXPECT_EQ(d.lock(), recorder.delegate);
  EXPECT_EQ(q, recorder.queue);
  socket.setDelegate(other.delegate, other.queue);
  socket.getDelegate(&d, &q);
  EXPECT_EQ(d.lock(), other.delegate);
  EXPECT_EQ(q, other.queue);

  // Callbacks go to the delegate of the moment, on its queue.
  tltest::UdpTestServer server(nullptr);
  socket.sendDataToAddress("x", server.address(), 1.0, 1);
  auto sent = other.awaitKind("sent");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].onDelegateQueue);
  socket.synchronouslySetDelegate(recorder.delegate, nullptr);
  socket.sendDataToAddress("y", server.address(), 1.0, 2);
  ASSERT_TRUE(server.awaitRequests(2));
  socket.synchronouslySetDelegate(recorder.delegate, recorder.queue);
  socket.sendDataToAddress("z", server.address(), 1.0, 3);
  ASSERT_EQ(recorder.awaitKind("sent").size(), 1u);
  EXPECT_EQ(recorder.ofKind("sent")[0].tag, 3);  // none was queued while the queue was unset
  EXPECT_EQ(other.settled().size(), 1u);
}

TEST_F(LoopbackSocket, UserDataStreamsBackgroundingAndDescriptors) {
  EXPECT_FALSE(socket.userData().has_value());
  socket.setUserData(std::string("attached"));
  EXPECT_EQ(std::any_cast<std::string>(socket.userData()), "attached");
  EXPECT_EQ(socket.readStream(), nullptr);
  EXPECT_EQ(socket.writeStream(), nullptr);
  EXPECT_FALSE(socket.enableBackgroundingOnSockets());
  EXPECT_EQ(socket.connectedAddress(), "");
  EXPECT_EQ(socket.connectedHost(), std::nullopt);
  EXPECT_EQ(socket.connectedPort(), 0);
  EXPECT_FALSE(socket.isConnected());
  EXPECT_TRUE(socket.isClosed());

  ASSERT_TRUE(socket.bindToPort(0, "localhost"));
  // Off the socket queue the descriptors are not handed out.
  EXPECT_EQ(socket.socketFD(), -1);
  EXPECT_EQ(socket.socket4FD(), -1);
  int fd = -2, fd4 = -2, fd6 = -2;
  socket.performBlock([&] {
    fd = socket.socketFD();
    fd4 = socket.socket4FD();
    fd6 = socket.socket6FD();
  });
  EXPECT_GE(fd4, 0);
  EXPECT_GE(fd6, 0);
  EXPECT_NE(fd4, fd6);
  EXPECT_EQ(fd, fd4);
  socket.close();
  socket.performBlock([&] { fd = socket.socketFD(); });
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(std::any_cast<std::string>(socket.userData()), "attached");  // kept across a close
}

TEST(UdpSocketConstantsTest, ExportedNames) {
  EXPECT_STREQ(GCDAsyncUdpSocketErrorDomain, "GCDAsyncUdpSocketErrorDomain");
  EXPECT_STREQ(GCDAsyncUdpSocketQueueName, "GCDAsyncUdpSocket");
  EXPECT_STREQ(GCDAsyncUdpSocketThreadName, "GCDAsyncUdpSocket-CFStream");
  EXPECT_STREQ(GCDAsyncUdpSocketException, "GCDAsyncUdpSocketException");
  GCDAsyncUdpSocket socket;
  socket.performBlock([&] {});  // runs on a queue of the socket's own
  EXPECT_TRUE(socket.delegateQueue() == nullptr);
  EXPECT_TRUE(socket.delegate().expired());
}

// --- sharing queues --------------------------------------------------------------------------

TEST(UdpSocketQueueTest, MarkedTargetQueueRunsOperationsInline) {
  auto target = std::make_shared<SerialQueue>("target");
  auto socketQueue = std::make_shared<SerialQueue>("socket", target);
  Recorder recorder;
  GCDAsyncUdpSocket socket(recorder.delegate, recorder.queue, socketQueue);
  ASSERT_TRUE(socket.bindToPort(0, "127.0.0.1"));
  socket.markSocketQueueTargetQueue(target);

  // From a block of the target, whose thread also runs the socket queue's
  // blocks: waiting for the socket queue would wait for itself.
  std::promise<std::pair<uint16_t, int>> fromTarget;
  target->async([&] { fromTarget.set_value({socket.localPort(), socket.socketFD()}); });
  auto answer = fromTarget.get_future();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto [port, fd] = answer.get();
  EXPECT_EQ(port, socket.localPort());
  EXPECT_GE(fd, 0);

  // The socket works through the target's thread.
  tltest::UdpTestServer server(echo);
  ASSERT_TRUE(socket.beginReceiving());
  socket.sendDataToAddress("round trip", server.address(), 1.0, 1);
  auto got = recorder.awaitKind("received");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "round trip");

  socket.unmarkSocketQueueTargetQueue(target);
  std::promise<int> unmarked;
  target->async([&] { unmarked.set_value(socket.socketFD()); });
  auto fdAfter = unmarked.get_future();
  ASSERT_EQ(fdAfter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(fdAfter.get(), -1);
}

TEST(UdpSocketQueueTest, DelegateOnTheSocketQueueCallsBackInWithoutDeadlock) {
  auto queue = std::make_shared<SerialQueue>("socket and delegate");
  tltest::UdpTestServer server(nullptr);
  std::promise<uint16_t> localPortSeen;
  auto delegate = std::make_shared<GCDAsyncUdpSocketDelegate>();
  std::unique_ptr<GCDAsyncUdpSocket> socket;
  delegate->udpSocketDidReceiveData = [&](GCDAsyncUdpSocket* sock, const std::string& data, const std::string& from,
                                          const std::any&) {
    // Synchronous and queued operations from the socket's own queue.
    localPortSeen.set_value(sock->localPort());
    sock->sendDataToAddress("re: " + data, from, 1.0, 2);
  };
  socket = std::make_unique<GCDAsyncUdpSocket>(delegate, queue, queue);
  ASSERT_TRUE(socket->bindToPort(0, "127.0.0.1"));
  ASSERT_TRUE(socket->beginReceiving());
  ASSERT_TRUE(server.sendTo(socket->localPort(), "question"));
  auto seen = localPortSeen.get_future();
  ASSERT_EQ(seen.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(seen.get(), socket->localPort());
  ASSERT_TRUE(server.awaitRequests(1));
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"re: question"}));
  socket.reset();
}

TEST_F(LoopbackSocket, ForegroundNotificationKeepsReceivingAndOutlivesTheSocket) {
  tltest::UdpTestServer server(echo);
  ASSERT_TRUE(socket.bindToPort(0, "127.0.0.1"));
  ASSERT_TRUE(socket.beginReceiving());
  NotificationCenter::defaultCenter().postNotification({kApplicationWillEnterForegroundNotification, {}, {}});
  socket.applicationWillEnterForeground();
  socket.sendDataToAddress("still here", server.address(), 1.0, 1);
  ASSERT_EQ(recorder.awaitKind("received").size(), 1u);
  {
    GCDAsyncUdpSocket shortLived(recorder.delegate, recorder.queue);
    ASSERT_TRUE(shortLived.bindToPort(0, "127.0.0.1"));
  }
  // The observer of the socket that is gone does nothing.
  NotificationCenter::defaultCenter().postNotification({kApplicationWillEnterForegroundNotification, {}, {}});
  EXPECT_EQ(socket.flags() & Sock::kReceiveContinuous, Sock::kReceiveContinuous);
}

}  // namespace
}  // namespace tembrolexinplatform
