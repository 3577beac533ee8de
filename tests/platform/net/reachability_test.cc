// Reachability: the status truth table, change notifications from a fake
// source, and the Linux source over a fake /proc and /sys on manual timers.

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/net/reachability.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

struct FlagsCase {
  std::string name;
  uint32_t flags;
  NetworkStatus status;
  std::string letters;
};

class StatusTableTest : public testing::TestWithParam<FlagsCase> {};

TEST_P(StatusTableTest, FlagsGiveStatus) {
  EXPECT_EQ(Reachability::networkStatusForFlags(GetParam().flags), GetParam().status);
  EXPECT_EQ(Reachability::flagLetters(GetParam().flags), GetParam().letters);
}

constexpr uint32_t R = kFlagReachable, C = kFlagConnectionRequired, T = kFlagConnectionOnTraffic,
                   D = kFlagConnectionOnDemand, I = kFlagInterventionRequired, W = kFlagIsWWAN;

INSTANTIATE_TEST_SUITE_P(
    Flags, StatusTableTest,
    testing::Values(FlagsCase{"None", 0, NotReachable, "-- -------"},
                    FlagsCase{"ReachableOnly", R, ReachableViaWiFi, "-R -------"},
                    FlagsCase{"ConnectionRequired", R | C, NotReachable, "-R -c-----"},
                    FlagsCase{"OnTraffic", R | C | T, ReachableViaWiFi, "-R -cC----"},
                    FlagsCase{"OnTrafficWithIntervention", R | C | T | I, NotReachable,
                              "-R -cCi---"},
                    FlagsCase{"OnDemand", R | C | D, ReachableViaWiFi, "-R -c--D--"},
                    FlagsCase{"Wwan", R | W | C | I, ReachableViaWWAN, "WR -c-i---"},
                    FlagsCase{"WwanNotReachable", W, NotReachable, "W- -------"},
                    FlagsCase{"AllLetters",
                              kFlagTransientConnection | kFlagIsLocalAddress | kFlagIsDirect,
                              NotReachable, "-- t----ld"}),
    [](const auto& info) { return info.param.name; });

TEST(ReachabilityTest, FakeSourcePostsChangesWithTheObjectWhileNotified) {
  NotificationCenter center;
  auto source = std::make_unique<FakeReachabilitySource>(R);
  FakeReachabilitySource* fake = source.get();
  auto reach = Reachability::withSource(std::move(source), center);
  std::vector<NetworkStatus> seen;
  center.addObserver(kReachabilityChangedNotification, [&](const Notification& n) {
    auto r = std::any_cast<std::shared_ptr<Reachability>>(n.object);
    seen.push_back(r->currentReachabilityStatus());
  });
  fake->setFlags(R | W);  // not started: nothing posted
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(reach->startNotifier());
  fake->setFlags(R | C);
  fake->setFlags(std::nullopt);
  EXPECT_EQ(seen, (std::vector<NetworkStatus>{NotReachable, NotReachable}));
  EXPECT_FALSE(reach->connectionRequired());  // unreadable flags
  fake->setFlags(R | C);
  EXPECT_TRUE(reach->connectionRequired());
  reach->stopNotifier();
  fake->setFlags(R);
  EXPECT_EQ(seen.size(), 3u);
}

class LinuxSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.file("proc/net"));
    std::filesystem::create_directories(dir.file("sys/class/net/wwan0"));
    std::ofstream(dir.file("sys/class/net/wwan0/uevent")) << "INTERFACE=wwan0\nDEVTYPE=wwan\n";
    std::filesystem::create_directories(dir.file("sys/class/net/usb0"));
    std::ofstream(dir.file("sys/class/net/usb0/uevent")) << "DEVTYPE=wwan\n";
  }
  void routes(const std::string& body) {
    std::ofstream(dir.file("proc/net/route"))
        << "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n" << body;
  }
  tltest::TempDir dir;
  tltest::FakeClock clock;
  Dispatcher dispatcher{{&clock, TimerMode::kManual, 1, false}};
};

TEST_F(LinuxSourceTest, DefaultRouteAndItsInterfaceKind) {
  LinuxRouteSource source(dispatcher, dir.file("proc"), dir.file("sys"));
  routes("eth0\t0010A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\n");
  EXPECT_EQ(source.currentFlags(), 0u);  // a local network only
  routes("eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\n");
  EXPECT_EQ(source.currentFlags(), R);
  routes("usb0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\n");
  EXPECT_EQ(source.currentFlags(), R | W);
  routes("eth0\t00000000\t0100A8C0\t0002\t0\t0\t100\t00000000\n");  // not up
  EXPECT_EQ(source.currentFlags(), 0u);
  std::filesystem::remove(dir.file("proc/net/route"));
  EXPECT_EQ(source.currentFlags(), std::nullopt);
}

TEST_F(LinuxSourceTest, AddressesLoopbackDirectNetworkAndHostNames) {
  routes("usb0\t0010A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\n");  // 192.168.16.0/24, no default
  auto flagsFor = [&](ReachabilityTarget target) {
    return LinuxRouteSource(dispatcher, dir.file("proc"), dir.file("sys"), 2.0, target)
        .currentFlags();
  };
  auto v4 = [](const char* text) {
    ReachabilityTarget t;
    t.ipv4.emplace();
    inet_pton(AF_INET, text, &*t.ipv4);
    return t;
  };
  constexpr uint32_t kLocal = kFlagReachable | kFlagIsLocalAddress | kFlagIsDirect;
  EXPECT_EQ(flagsFor(v4("127.0.0.1")), kLocal);
  EXPECT_EQ(flagsFor(v4("192.168.16.7")), kFlagReachable | kFlagIsDirect | W);
  EXPECT_EQ(flagsFor(v4("192.168.17.7")), 0u);
  EXPECT_EQ(flagsFor(v4("0.0.0.0")), 0u);
  ReachabilityTarget v6;
  v6.ipv6 = in6addr_loopback;
  EXPECT_EQ(flagsFor(v6), kLocal);
  ReachabilityTarget host;
  host.hostName = "localhost";
  EXPECT_EQ(flagsFor(host), kLocal);
  host.hostName = "no-such-host.invalid";
  EXPECT_EQ(flagsFor(host), 0u);
  sockaddr other{};
  other.sa_family = AF_UNIX;
  EXPECT_EQ(Reachability::reachabilityWithAddress(&other), nullptr);
  EXPECT_EQ(Reachability::reachabilityWithHostName(""), nullptr);
}

TEST_F(LinuxSourceTest, PollingPostsOnlyChanges) {
  dispatcher.mainQueue()->bindToCurrentThread();
  routes("");
  NotificationCenter center;
  auto reach = Reachability::withSource(
      std::make_unique<LinuxRouteSource>(dispatcher, dir.file("proc"), dir.file("sys"), 2.0),
      center);
  int posts = 0;
  center.addObserver(kReachabilityChangedNotification, [&](const Notification&) { ++posts; });
  ASSERT_TRUE(reach->startNotifier());
  auto step = [&] {
    clock.advance(std::chrono::seconds(2));
    dispatcher.timers().pump();
    dispatcher.mainQueue()->drain();
  };
  step();
  EXPECT_EQ(posts, 0);
  routes("wwan0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\n");
  step();
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(reach->currentReachabilityStatus(), ReachableViaWWAN);
  step();
  EXPECT_EQ(posts, 1);
  reach->stopNotifier();
  routes("");
  step();
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(dispatcher.timers().pendingCount(), 0u);
}

}  // namespace
}  // namespace tembrolexinplatform
