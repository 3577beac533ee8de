#include "platform/net/reachability.h"

#include <netdb.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

const char* const kReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

// --- FakeReachabilitySource --------------------------------------------------

std::optional<uint32_t> FakeReachabilitySource::currentFlags() {
  std::lock_guard lock(mutex_);
  return flags_;
}

bool FakeReachabilitySource::start(std::function<void()> onChange) {
  std::lock_guard lock(mutex_);
  onChange_ = std::move(onChange);
  return true;
}

void FakeReachabilitySource::stop() {
  std::lock_guard lock(mutex_);
  onChange_ = nullptr;
}

void FakeReachabilitySource::setFlags(std::optional<uint32_t> flags) {
  std::function<void()> onChange;
  {
    std::lock_guard lock(mutex_);
    flags_ = flags;
    onChange = onChange_;
  }
  if (onChange) onChange();
}

// --- LinuxRouteSource --------------------------------------------------------

struct LinuxRouteSource::Poll {
  tembrolexin::Mutex mutex;
  bool active = false;
  std::optional<uint32_t> last;
  std::function<void()> onChange;
  TimerHandle timer;
  // Keeps the polling function alive while started.
  std::shared_ptr<std::function<void()>> tickKeeper;
};

namespace {

// The interface of the first default route that is up, if any.
std::optional<std::string> defaultRouteInterface(const std::string& procRoot, bool* readable) {
  *readable = false;
  std::ifstream v4(procRoot + "/net/route");
  if (v4) {
    *readable = true;
    std::string line;
    std::getline(v4, line);  // header
    while (std::getline(v4, line)) {
      std::istringstream in(line);
      std::string iface, dest, gateway, flags;
      if (!(in >> iface >> dest >> gateway >> flags)) continue;
      unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
      if (dest == "00000000" && (f & 0x1) && iface != "lo") return iface;
    }
  }
  std::ifstream v6(procRoot + "/net/ipv6_route");
  if (v6) {
    *readable = true;
    std::string line;
    while (std::getline(v6, line)) {
      std::istringstream in(line);
      std::vector<std::string> cols;
      for (std::string c; in >> c;) cols.push_back(c);
      if (cols.size() < 10) continue;
      if (cols[0] == std::string(32, '0') && cols[1] == "00" && cols[9] != "lo") {
        unsigned long f = std::strtoul(cols[8].c_str(), nullptr, 16);
        if ((f & 0x1) && cols[4] != std::string(32, '0')) return cols[9];
      }
    }
  }
  return std::nullopt;
}

bool isWirelessWan(const std::string& sysRoot, const std::string& iface) {
  if (iface.rfind("ww", 0) == 0) return true;
  std::ifstream uevent(sysRoot + "/class/net/" + iface + "/uevent");
  std::string line;
  while (std::getline(uevent, line)) {
    if (line == "DEVTYPE=wwan") return true;
  }
  return false;
}

std::optional<uint32_t> defaultRouteFlags(const std::string& procRoot, const std::string& sysRoot) {
  bool readable = false;
  std::optional<std::string> iface = defaultRouteInterface(procRoot, &readable);
  if (!readable) return std::nullopt;
  if (!iface) return 0u;
  uint32_t flags = kFlagReachable;
  if (isWirelessWan(sysRoot, *iface)) flags |= kFlagIsWWAN;
  return flags;
}

// The interface of an up route without a gateway whose network holds
// `addr` (both in network byte order, as /proc prints them in host order).
std::optional<std::string> directRouteInterface(const std::string& procRoot, in_addr addr) {
  std::ifstream v4(procRoot + "/net/route");
  std::string line;
  std::getline(v4, line);  // header
  while (std::getline(v4, line)) {
    std::istringstream in(line);
    std::string iface, dest, gateway, flags, refs, use, metric, mask;
    if (!(in >> iface >> dest >> gateway >> flags >> refs >> use >> metric >> mask)) continue;
    const auto hex = [](const std::string& t) {
      return static_cast<uint32_t>(std::strtoul(t.c_str(), nullptr, 16));
    };
    const uint32_t m = hex(mask);
    if (m != 0 && hex(gateway) == 0 && (hex(flags) & 0x1) && (addr.s_addr & m) == hex(dest)) {
      return iface;
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> readFlags(const std::string& procRoot, const std::string& sysRoot,
                                  const ReachabilityTarget& target) {
  ReachabilityTarget resolved = target;
  if (!target.hostName.empty()) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(target.hostName.c_str(), nullptr, &hints, &found) != 0 || !found) return 0u;
    if (found->ai_family == AF_INET) {
      resolved.ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    } else if (found->ai_family == AF_INET6) {
      resolved.ipv6 = reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr;
    }
    freeaddrinfo(found);
  }
  constexpr uint32_t kLocal = kFlagReachable | kFlagIsLocalAddress | kFlagIsDirect;
  if (resolved.ipv6 && IN6_IS_ADDR_LOOPBACK(&*resolved.ipv6)) return kLocal;
  if (resolved.ipv4 && resolved.ipv4->s_addr != 0) {
    if ((ntohl(resolved.ipv4->s_addr) >> 24) == 127) return kLocal;
    if (auto iface = directRouteInterface(procRoot, *resolved.ipv4)) {
      uint32_t flags = kFlagReachable | kFlagIsDirect;
      if (isWirelessWan(sysRoot, *iface)) flags |= kFlagIsWWAN;
      return flags;
    }
  }
  return defaultRouteFlags(procRoot, sysRoot);
}

}  // namespace

LinuxRouteSource::LinuxRouteSource(Dispatcher& dispatcher, std::string procRoot,
                                   std::string sysRoot, double pollSeconds,
                                   ReachabilityTarget target)
    : dispatcher_(dispatcher),
      procRoot_(std::move(procRoot)),
      sysRoot_(std::move(sysRoot)),
      pollSeconds_(pollSeconds > 0.05 ? pollSeconds : 0.05),
      target_(std::move(target)),
      poll_(std::make_shared<Poll>()) {}

LinuxRouteSource::~LinuxRouteSource() { stop(); }

std::optional<uint32_t> LinuxRouteSource::currentFlags() {
  return readFlags(procRoot_, sysRoot_, target_);
}

bool LinuxRouteSource::start(std::function<void()> onChange) {
  const std::optional<uint32_t> first = currentFlags();
  {
    std::lock_guard lock(poll_->mutex);
    poll_->timer.cancel();
    poll_->active = true;
    poll_->last = first;
    poll_->onChange = std::move(onChange);
  }
  // Each poll reads the flags, reports a change, and schedules the next.
  std::weak_ptr<Poll> weak = poll_;
  auto tick = std::make_shared<std::function<void()>>();
  const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(pollSeconds_));
  Dispatcher* dispatcher = &dispatcher_;
  *tick = [procRoot = procRoot_, sysRoot = sysRoot_, target = target_, weak,
           tick = std::weak_ptr<std::function<void()>>(tick), period, dispatcher] {
    auto poll = weak.lock();
    auto self = tick.lock();
    if (!poll || !self) return;
    const std::optional<uint32_t> now = readFlags(procRoot, sysRoot, target);
    std::function<void()> report;
    {
      std::lock_guard lock(poll->mutex);
      if (!poll->active) return;
      if (now != poll->last) report = poll->onChange;
      poll->last = now;
      poll->timer = dispatcher->timers().schedule(period, dispatcher->mainQueue(), *self);
    }
    if (report) report();
  };
  std::lock_guard lock(poll_->mutex);
  poll_->tickKeeper = tick;
  poll_->timer = dispatcher_.timers().schedule(period, dispatcher_.mainQueue(), *tick);
  return true;
}

void LinuxRouteSource::stop() {
  std::lock_guard lock(poll_->mutex);
  poll_->active = false;
  poll_->timer.cancel();
  poll_->onChange = nullptr;
  poll_->tickKeeper.reset();
}

// --- Reachability ------------------------------------------------------------

std::shared_ptr<Reachability> Reachability::reachabilityForInternetConnection(
    NotificationCenter& center, Dispatcher& dispatcher) {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&zero), center, dispatcher);
}

std::shared_ptr<Reachability> Reachability::reachabilityWithHostName(const std::string& hostName,
                                                                   NotificationCenter& center,
                                                                   Dispatcher& dispatcher) {
  if (hostName.empty()) return nullptr;
  ReachabilityTarget target;
  target.hostName = hostName;
  return withSource(
      std::make_unique<LinuxRouteSource>(dispatcher, "/proc", "/sys", 2.0, std::move(target)),
      center);
}

std::shared_ptr<Reachability> Reachability::reachabilityWithAddress(const sockaddr* address,
                                                                  NotificationCenter& center,
                                                                  Dispatcher& dispatcher) {
  if (!address) return nullptr;
  ReachabilityTarget target;
  if (address->sa_family == AF_INET) {
    target.ipv4 = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
  } else if (address->sa_family == AF_INET6) {
    target.ipv6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  } else {
    return nullptr;
  }
  return withSource(
      std::make_unique<LinuxRouteSource>(dispatcher, "/proc", "/sys", 2.0, std::move(target)),
      center);
}

std::shared_ptr<Reachability> Reachability::withSource(std::unique_ptr<ReachabilitySource> source,
                                                       NotificationCenter& center) {
  if (!source) return nullptr;
  return std::shared_ptr<Reachability>(new Reachability(std::move(source), center));
}

Reachability::Reachability(std::unique_ptr<ReachabilitySource> source, NotificationCenter& center)
    : source_(std::move(source)), center_(center) {}

Reachability::~Reachability() { source_->stop(); }

bool Reachability::startNotifier() {
  std::weak_ptr<Reachability> weak = weak_from_this();
  return source_->start([weak] {
    if (auto self = weak.lock()) {
      self->center_.postNotification({kReachabilityChangedNotification, self, {}});
    }
  });
}

void Reachability::stopNotifier() { source_->stop(); }

NetworkStatus Reachability::currentReachabilityStatus() const {
  const std::optional<uint32_t> flags = source_->currentFlags();
  return flags ? networkStatusForFlags(*flags) : NotReachable;
}

bool Reachability::connectionRequired() const {
  const std::optional<uint32_t> flags = source_->currentFlags();
  return flags && (*flags & kFlagConnectionRequired);
}

std::string Reachability::flagLetters(uint32_t f) {
  auto c = [f](uint32_t bit, char letter) { return (f & bit) ? letter : '-'; };
  std::string s;
  s += c(kFlagIsWWAN, 'W');
  s += c(kFlagReachable, 'R');
  s += ' ';
  s += c(kFlagTransientConnection, 't');
  s += c(kFlagConnectionRequired, 'c');
  s += c(kFlagConnectionOnTraffic, 'C');
  s += c(kFlagInterventionRequired, 'i');
  s += c(kFlagConnectionOnDemand, 'D');
  s += c(kFlagIsLocalAddress, 'l');
  s += c(kFlagIsDirect, 'd');
  return s;
}

NetworkStatus Reachability::networkStatusForFlags(uint32_t flags) {
  TLLogger::debugInMethod("-[Reachability networkStatusForFlags:]", __LINE__,
                          "Reachability Flag Status: %s %s\n", flagLetters(flags).c_str(),
                          "networkStatusForFlags");
  if (!(flags & kFlagReachable)) return NotReachable;
  if (flags & kFlagIsWWAN) return ReachableViaWWAN;
  if ((flags & (kFlagConnectionOnDemand | kFlagConnectionOnTraffic)) &&
      !(flags & kFlagInterventionRequired)) {
    return ReachableViaWiFi;
  }
  return (flags & kFlagConnectionRequired) ? NotReachable : ReachableViaWiFi;
}

}  // namespace tembrolexinplatform
