// Reachability: whether the internet (or a host, or an address) can be
// reached, and over which kind of link.
//
// The logic reads a set of link flags from a ReachabilitySource and maps them
// to a NetworkStatus; once its notifier is started, every change the source
// reports is posted as kReachabilityChangedNotification on the notification
// centre, with the Reachability object (a shared_ptr<Reachability> in the
// notification's std::any) as object. The notification carries no status;
// observers ask currentReachabilityStatus().
//
// Sources: LinuxRouteSource reads the default route (/proc/net/route and
// /proc/net/ipv6_route) and the kind of its interface (wireless WAN by
// DEVTYPE "wwan" or a "ww" name), polling every few seconds on the main
// queue's timers while notified; FakeReachabilitySource is set by hand
// (tests, and apps that know better).
//
// Ownership: a Reachability owns its source; destroying it stops the
// notifier. Thread safety: every operation may be called from any thread;
// change callbacks come on the main queue (Linux source) or on the thread
// that set the fake's flags.
#ifndef TL_PLATFORM_NET_REACHABILITY_H_
#define TL_PLATFORM_NET_REACHABILITY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/notification_center.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

enum NetworkStatus : int64_t {
  NotReachable = 0,
  ReachableViaWiFi = 1,
  ReachableViaWWAN = 2,
};

// The notification name "kNetworkReachabilityChangedNotification".
extern const char* const kReachabilityChangedNotification;

// Link flags.
enum ReachabilityFlags : uint32_t {
  kFlagTransientConnection = 1u << 0,
  kFlagReachable = 1u << 1,
  kFlagConnectionRequired = 1u << 2,
  kFlagConnectionOnTraffic = 1u << 3,
  kFlagInterventionRequired = 1u << 4,
  kFlagConnectionOnDemand = 1u << 5,
  kFlagIsLocalAddress = 1u << 16,
  kFlagIsDirect = 1u << 17,
  kFlagIsWWAN = 1u << 18,
};

class ReachabilitySource {
 public:
  virtual ~ReachabilitySource() = default;
  // The current flags; none when they cannot be read.
  virtual std::optional<uint32_t> currentFlags() = 0;
  // Starts reporting changes through `onChange` (replacing an earlier one);
  // false when it cannot.
  virtual bool start(std::function<void()> onChange) = 0;
  virtual void stop() = 0;
};

class FakeReachabilitySource final : public ReachabilitySource {
 public:
  explicit FakeReachabilitySource(std::optional<uint32_t> flags = kFlagReachable)
      : flags_(flags) {}
  std::optional<uint32_t> currentFlags() override;
  bool start(std::function<void()> onChange) override;
  void stop() override;
  // Sets the flags and, while started, reports a change on this thread
  // (whether or not they differ, as the platform may).
  void setFlags(std::optional<uint32_t> flags);

 private:
  tembrolexin::Mutex mutex_;
  std::optional<uint32_t> flags_;
  std::function<void()> onChange_;
};

// What a LinuxRouteSource watches: the internet in general (nothing set), an
// address, or a host name (resolved at every reading, which may block).
struct ReachabilityTarget {
  std::optional<in_addr> ipv4;
  std::optional<in6_addr> ipv6;
  std::string hostName;
};

class LinuxRouteSource final : public ReachabilitySource {
 public:
  // `procRoot` and `sysRoot` let tests point at a fake /proc and /sys.
  LinuxRouteSource(Dispatcher& dispatcher, std::string procRoot = "/proc",
                   std::string sysRoot = "/sys", double pollSeconds = 2.0,
                   ReachabilityTarget target = {});
  ~LinuxRouteSource() override;
  std::optional<uint32_t> currentFlags() override;
  bool start(std::function<void()> onChange) override;
  void stop() override;

 private:
  struct Poll;
  Dispatcher& dispatcher_;
  const std::string procRoot_;
  const std::string sysRoot_;
  const double pollSeconds_;
  const ReachabilityTarget target_;
  std::shared_ptr<Poll> poll_;
};

class Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  // Internet in general (the zero IPv4 address) from the default route.
  static std::shared_ptr<Reachability> reachabilityForInternetConnection(
      NotificationCenter& center = NotificationCenter::defaultCenter(),
      Dispatcher& dispatcher = Dispatcher::shared());
  // A host name (null when empty): not reachable while it does not resolve,
  // else as its first address.
  static std::shared_ptr<Reachability> reachabilityWithHostName(
      const std::string& hostName, NotificationCenter& center = NotificationCenter::defaultCenter(),
      Dispatcher& dispatcher = Dispatcher::shared());
  // An IPv4 or IPv6 address (null for another family): a loopback address
  // is local and direct, an IPv4 address on a directly connected network is
  // direct, anything else goes by the default route.
  static std::shared_ptr<Reachability> reachabilityWithAddress(
      const sockaddr* address, NotificationCenter& center = NotificationCenter::defaultCenter(),
      Dispatcher& dispatcher = Dispatcher::shared());
  static std::shared_ptr<Reachability> withSource(
      std::unique_ptr<ReachabilitySource> source,
      NotificationCenter& center = NotificationCenter::defaultCenter());
  ~Reachability();

  // Starts posting changes; false when the source cannot report them.
  bool startNotifier();
  void stopNotifier();
  NetworkStatus currentReachabilityStatus() const;
  // Connection required is set; false also when the flags cannot be read.
  bool connectionRequired() const;
  // Logs the flags (Debug) and maps them to a status.
  static NetworkStatus networkStatusForFlags(uint32_t flags);
  // The debug letters of the flags, e.g. "-R -------".
  static std::string flagLetters(uint32_t flags);

 private:
  Reachability(std::unique_ptr<ReachabilitySource> source, NotificationCenter& center);
  const std::unique_ptr<ReachabilitySource> source_;
  NotificationCenter& center_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_REACHABILITY_H_
