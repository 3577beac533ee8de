#include "platform/net/gcd_async_udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/error_text.h"
#include "platform/runtime/notification_center.h"

namespace tembrolexinplatform {

namespace {

constexpr uint32_t kDefaultMaxReceiveSize = 9216;

// Configuration errors (code 1).
constexpr char kNoDelegateText[] = "Attempting to use socket without a delegate. Set a delegate first.";
constexpr char kNoDelegateQueueText[] =
    "Attempting to use socket without a delegate queue. Set a delegate queue first.";
constexpr char kBindTwiceText[] = "Cannot bind a socket more than once.";
constexpr char kBindAfterConnectText[] = "Cannot bind after connecting. If needed, bind first, then connect.";
constexpr char kBothDisabledText[] =
    "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";
constexpr char kConnectTwiceText[] = "Cannot connect a socket more than once.";
constexpr char kJoinUnboundText[] = "Must bind a socket before joining a multicast group.";
constexpr char kJoinConnectedText[] = "Cannot join a multicast group if connected.";
constexpr char kConnectedDestinationText[] = "Cannot specify destination of packet for connected socket";
constexpr char kNoDestinationText[] = "You must specify destination of packet for a non-connected socket";
constexpr char kReceiveUnboundText[] =
    "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
    "connect or by sending data.";
// Parameter errors (code 2).
constexpr char kNilHostText[] = "The host param is nil. Should be domain name or IP address string.";
constexpr char kNilAddressText[] = "The address param is nil. Should be a valid address.";
constexpr char kUnknownInterfaceText[] =
    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
constexpr char kInterfaceNoIPv6Text[] = "IPv4 has been disabled and specified interface doesn't support IPv6.";
constexpr char kInterfaceNoIPv4Text[] = "IPv6 has been disabled and specified interface doesn't support IPv4.";
constexpr char kInvalidAddressText[] = "A valid IPv4 or IPv6 address was not given";
constexpr char kIPv4AddressDisabledText[] = "IPv4 has been disabled and an IPv4 address was passed.";
constexpr char kIPv6AddressDisabledText[] = "IPv6 has been disabled and an IPv6 address was passed.";
constexpr char kUnknownGroupText[] = "Unknown group. Specify valid group IP address.";
constexpr char kMismatchedVersionsText[] = "Socket, group, and interface do not have matching IP versions";
// Codes 3 and 4.
constexpr char kSendTimeoutText[] = "Send operation timed out";
constexpr char kClosedText[] = "Socket closed";
// Address choice (code 5).
constexpr char kIPv4DisabledNoIPv6Text[] = "IPv4 has been disabled and DNS lookup found no IPv6 address(es).";
constexpr char kIPv6DisabledNoIPv4Text[] = "IPv6 has been disabled and DNS lookup found no IPv4 address(es).";
constexpr char kIPv4DeactivatedNoIPv6Text[] =
    "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).";
constexpr char kIPv6DeactivatedNoIPv4Text[] =
    "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).";

TLError socketError(int64_t code, std::string text) {
  return TLError{GCDAsyncUdpSocketErrorDomain, code, std::move(text), ""};
}

TLError posixError(int err, const char* reason) {
  return TLError{kPosixErrorDomain, err, tembrolexin::errorText(err), reason};
}

void setError(TLError* out, TLError error) {
  if (out) *out = std::move(error);
}

std::string addressBytes(const void* sa, socklen_t len) { return std::string(static_cast<const char*>(sa), len); }

std::string address4(in_addr addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr = addr;
  return addressBytes(&a, sizeof a);
}

std::string address6(const in6_addr& addr, uint16_t port, uint32_t scope = 0) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = addr;
  a.sin6_scope_id = scope;
  return addressBytes(&a, sizeof a);
}

sockaddr_in asSockaddr4(const std::string& address) {
  sockaddr_in a{};
  std::memcpy(&a, address.data(), std::min(address.size(), sizeof a));
  return a;
}

sockaddr_in6 asSockaddr6(const std::string& address) {
  sockaddr_in6 a{};
  std::memcpy(&a, address.data(), std::min(address.size(), sizeof a));
  return a;
}

struct Resolved {
  std::vector<std::string> addresses;
  std::optional<TLError> error;
};

Resolved resolve(const std::string& host, uint16_t port) {
  Resolved out;
  if (host == "localhost" || host == "loopback") {
    in_addr loop4{htonl(INADDR_LOOPBACK)};
    out.addresses = {address4(loop4, port), address6(in6addr_loopback, port)};
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* results = nullptr;
  const std::string service = std::to_string(port);
  // getaddrinfo's codes are negative on Linux; any non-zero one is a failure.
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &results);
  if (rc != 0) {
    out.error = TLError{kNetDBErrorDomain, rc, ::gai_strerror(rc), ""};
    return out;
  }
  for (addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
    if ((ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) ||
        (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6))) {
      out.addresses.push_back(addressBytes(ai->ai_addr, ai->ai_addrlen));
    }
  }
  ::freeaddrinfo(results);
  if (out.addresses.empty()) out.error = TLError{kNetDBErrorDomain, EAI_FAIL, ::gai_strerror(EAI_FAIL), ""};
  return out;
}

// The addresses of an interface description, with `port`: none means the
// any-addresses, "localhost" and "loopback" the loopback addresses, anything
// else the first address of each family on an interface whose name or
// numeric address is the description. `index6` is the index of the
// interface that holds the IPv6 address (0 when none does).
struct InterfaceAddresses {
  std::string v4, v6;
  unsigned index6 = 0;
};

std::string numericHost(const sockaddr* sa) {
  char text[INET6_ADDRSTRLEN] = {0};
  const void* raw = sa->sa_family == AF_INET ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr)
                                             : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
  if (!::inet_ntop(sa->sa_family, raw, text, sizeof text)) return std::string();
  return text;
}

unsigned interfaceIndexHolding(const in6_addr& addr) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* ifa = list; ifa != nullptr && index == 0; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6) continue;
    const auto* a = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
    if (std::memcmp(&a->sin6_addr, &addr, sizeof addr) == 0) index = ::if_nametoindex(ifa->ifa_name);
  }
  ::freeifaddrs(list);
  return index;
}

InterfaceAddresses lookUpInterface(const std::optional<std::string>& description, uint16_t port) {
  InterfaceAddresses out;
  if (!description) {
    out.v4 = address4(in_addr{htonl(INADDR_ANY)}, port);
    out.v6 = address6(in6addr_any, port);
    return out;
  }
  if (*description == "localhost" || *description == "loopback") {
    out.v4 = address4(in_addr{htonl(INADDR_LOOPBACK)}, port);
    out.v6 = address6(in6addr_loopback, port);
    out.index6 = interfaceIndexHolding(in6addr_loopback);
    return out;
  }
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr) continue;
    const int family = ifa->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    if (*description != ifa->ifa_name && *description != numericHost(ifa->ifa_addr)) continue;
    if (family == AF_INET && out.v4.empty()) {
      out.v4 = address4(reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr, port);
    } else if (family == AF_INET6 && out.v6.empty()) {
      const auto* a = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
      out.v6 = address6(a->sin6_addr, port, a->sin6_scope_id);
      out.index6 = ::if_nametoindex(ifa->ifa_name);
    }
  }
  ::freeifaddrs(list);
  return out;
}

// One queued datagram, or (special) one queued connect request.
struct Packet {
  explicit Packet(bool isSpecial) : special(isSpecial) {}
  virtual ~Packet() = default;
  const bool special;
  bool resolveInProgress = false;
  // The outcome of resolving the host (a connect request's addresses).
  std::vector<std::string> resolvedAddresses;
  std::optional<TLError> resolveError;
};

struct SendPacket : Packet {
  SendPacket(std::string data, double timeoutSeconds, long packetTag)
      : Packet(false), buffer(std::move(data)), timeout(timeoutSeconds), tag(packetTag) {}
  std::string buffer;
  double timeout;  // < 0: no limit
  long tag;
  bool filterInProgress = false;
  // The destination: given by the caller (addressGiven), or chosen before
  // sending.
  bool addressGiven = false;
  std::string address;
  int addressFamily = 0;
};

struct SpecialPacket : Packet {
  SpecialPacket() : Packet(true) {}
};

}  // namespace

struct GCDAsyncUdpSocket::Impl : std::enable_shared_from_this<Impl> {
  Impl(GCDAsyncUdpSocket* socketOwner, std::weak_ptr<GCDAsyncUdpSocketDelegate> d,
       std::shared_ptr<DispatchQueue> dq, Dispatcher& disp, const std::shared_ptr<SerialQueue>& q)
      : owner(socketOwner),
        dispatcher(disp),
        queue(q.get()),
        queueWeak(q),
        delegate(std::move(d)),
        delegateQueue(std::move(dq)) {}

  // Posts `f` to the socket queue as a new block, with this object alive.
  // From another thread (a notification, a caller) the queue may be going
  // away with its socket, so it is taken through the weak reference.
  template <typename F>
  void post(F f) {
    std::weak_ptr<Impl> weak = weak_from_this();
    auto block = [weak, f = std::move(f)]() mutable {
      if (auto self = weak.lock()) f(*self);
    };
    if (DispatchQueue::getSpecific(this) == this) {
      queue->async(std::move(block));
    } else if (auto q = queueWeak.lock()) {
      q->async(std::move(block));
    }
  }

  template <typename Member, typename... Args>
  void notify(Member member, Args... args) {
    std::shared_ptr<GCDAsyncUdpSocketDelegate> d = delegate.lock();
    if (!d || !delegateQueue || !((*d).*member)) return;
    GCDAsyncUdpSocket* sock = owner;
    delegateQueue->async([d, member, sock, ... args = std::move(args)] { ((*d).*member)(sock, args...); });
  }

  // Checks shared by the operations that need somebody to report to.
  bool checkDelegate(TLError* error) const {
    if (!delegate.lock()) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kNoDelegateText));
      return false;
    }
    if (!delegateQueue) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kNoDelegateQueueText));
      return false;
    }
    return true;
  }

  bool bothDisabled() const { return (config & kIPv4Disabled) && (config & kIPv6Disabled); }

  // --- sockets and their sources ------------------------------------------

  int& fd(int family) { return family == AF_INET ? fd4 : fd6; }
  uint64_t& bytesWaiting(int family) { return family == AF_INET ? bytes4 : bytes6; }
  static uint32_t canAcceptBit(int family) { return family == AF_INET ? kSock4CanAcceptBytes : kSock6CanAcceptBytes; }
  static uint32_t deactivatedBit(int family) { return family == AF_INET ? kIPv4Deactivated : kIPv6Deactivated; }
  static int otherFamily(int family) { return family == AF_INET ? AF_INET6 : AF_INET; }

  bool createSocket(int family, TLError* error) {
    int descriptor = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
      setError(error, posixError(errno, "Error in socket() function"));
      return false;
    }
    if (::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK) < 0) {
      setError(error, posixError(errno, "Error enabling non-blocking IO on socket (fcntl)"));
      ::close(descriptor);
      return false;
    }
    int one = 1;
    if (::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
      setError(error, posixError(errno, "Error enabling address reuse (setsockopt)"));
      ::close(descriptor);
      return false;
    }
    // Linux has no SO_NOSIGPIPE; sends pass MSG_NOSIGNAL instead. The IPv6
    // socket carries IPv6 only, so the two never share a port space.
    if (family == AF_INET6) ::setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    // Both watches close the descriptor together: whichever cancel handler
    // runs second closes it, so no handler ever runs on a closed descriptor.
    auto remaining = std::make_shared<int>(2);
    auto closer = [descriptor, remaining] {
      if (--*remaining == 0) ::close(descriptor);
    };
    std::weak_ptr<Impl> weak = weak_from_this();
    SerialQueue::WatchId writeWatch = queue->addWatch(
        descriptor, Readiness::kWrite,
        [weak, family] {
          if (auto self = weak.lock()) self->writeEvent(family);
        },
        closer);
    SerialQueue::WatchId readWatch = queue->addWatch(
        descriptor, Readiness::kRead,
        [weak, family] {
          if (auto self = weak.lock()) self->readEvent(family);
        },
        closer);
    if (family == AF_INET) {
      send4 = writeWatch;
      receive4 = readWatch;
      flags |= kSend4SourceSuspended | kReceive4SourceSuspended;
    } else {
      send6 = writeWatch;
      receive6 = readWatch;
      flags |= kSend6SourceSuspended | kReceive6SourceSuspended;
    }
    fd(family) = descriptor;
    bytesWaiting(family) = 0;
    flags |= canAcceptBit(family);
    return true;
  }

  bool createSockets(bool use4, bool use6, TLError* error) {
    if (use4 && !createSocket(AF_INET, error)) return false;
    if (use6 && !createSocket(AF_INET6, error)) {
      if (use4) closeSocket(AF_INET);
      return false;
    }
    flags |= kDidCreateSockets;
    return true;
  }

  // For the enabled families.
  bool createSockets(TLError* error) {
    if (bothDisabled()) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kBothDisabledText));
      return false;
    }
    return createSockets(!(config & kIPv4Disabled), !(config & kIPv6Disabled), error);
  }

  void closeSocket(int family) {
    int& descriptor = fd(family);
    if (descriptor < 0) return;
    const bool v4 = family == AF_INET;
    queue->cancelWatch(v4 ? send4 : send6);
    queue->cancelWatch(v4 ? receive4 : receive6);
    descriptor = -1;
    bytesWaiting(family) = 0;
    flags &= ~(canAcceptBit(family) | (v4 ? kSend4SourceSuspended | kReceive4SourceSuspended
                                           : kSend6SourceSuspended | kReceive6SourceSuspended));
    if (v4) {
      cachedLocalAddress4.clear();
      cachedLocalHost4.reset();
      cachedLocalPort4 = 0;
    } else {
      cachedLocalAddress6.clear();
      cachedLocalHost6.reset();
      cachedLocalPort6 = 0;
    }
  }

  // Closes both descriptors without telling anybody (a failed bind).
  void closeSockets() {
    closeSocket(AF_INET);
    closeSocket(AF_INET6);
    flags &= ~kDidCreateSockets;
  }

  // Suspends or resumes one source; nothing when it is already so.
  void setSource(int family, bool read, bool active) {
    if (fd(family) < 0) return;
    const bool v4 = family == AF_INET;
    const uint32_t bit = read ? (v4 ? kReceive4SourceSuspended : kReceive6SourceSuspended)
                              : (v4 ? kSend4SourceSuspended : kSend6SourceSuspended);
    const bool suspended = flags & bit;
    if (suspended != active) return;
    SerialQueue::WatchId id = read ? (v4 ? receive4 : receive6) : (v4 ? send4 : send6);
    if (active) {
      queue->resumeWatch(id);
      flags &= ~bit;
    } else {
      queue->suspendWatch(id);
      flags |= bit;
    }
  }

  void closeWithError(std::optional<TLError> error) {
    endCurrentSend();
    sendQueue.clear();
    const bool hadSockets = flags & kDidCreateSockets;
    closeSocket(AF_INET);
    closeSocket(AF_INET6);
    flags = 0;
    // Answers of asynchronous filters asked before now are dropped.
    ++closeGeneration;
    pendingFilterOperations = 0;
    cachedConnectedAddress.clear();
    cachedConnectedHost.reset();
    cachedConnectedPort = 0;
    cachedConnectedFamily = 0;
    if (hadSockets) notify(&GCDAsyncUdpSocketDelegate::udpSocketDidCloseWithError, error);
  }

  // --- addresses ------------------------------------------------------------

  void updateCachedLocal(int family) {
    const bool v4 = family == AF_INET;
    std::string& cached = v4 ? cachedLocalAddress4 : cachedLocalAddress6;
    if (!cached.empty() || !(flags & kDidBind) || fd(family) < 0) return;
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd(family), reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    cached = addressBytes(&a, len);
    (v4 ? cachedLocalHost4 : cachedLocalHost6) = hostFromAddress(cached);
    (v4 ? cachedLocalPort4 : cachedLocalPort6) = portFromAddress(cached);
  }

  void updateCachedConnected() {
    if (!cachedConnectedAddress.empty() || !(flags & kDidConnect)) return;
    const int descriptor = fd4 >= 0 ? fd4 : fd6;
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (descriptor < 0 || ::getpeername(descriptor, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    keepConnected(addressBytes(&a, len));
  }

  void keepConnected(const std::string& address) {
    cachedConnectedAddress = address;
    cachedConnectedHost = hostFromAddress(address);
    cachedConnectedPort = portFromAddress(address);
    cachedConnectedFamily = familyFromAddress(address);
  }

  bool isPeer(const std::string& address) const {
    const int family = familyFromAddress(address);
    if (family == 0 || family != familyFromAddress(cachedConnectedAddress)) return false;
    if (portFromAddress(address) != portFromAddress(cachedConnectedAddress)) return false;
    if (family == AF_INET) {
      return asSockaddr4(address).sin_addr.s_addr == asSockaddr4(cachedConnectedAddress).sin_addr.s_addr;
    }
    in6_addr a = asSockaddr6(address).sin6_addr, b = asSockaddr6(cachedConnectedAddress).sin6_addr;
    return std::memcmp(&a, &b, sizeof a) == 0;
  }

  // Whether datagrams of `family` can go out: enabled, not deactivated, and
  // with a descriptor once the sockets exist.
  bool usable(int family) {
    const uint16_t disabled = family == AF_INET ? kIPv4Disabled : kIPv6Disabled;
    if ((config & disabled) || (flags & deactivatedBit(family))) return false;
    return !(flags & kDidCreateSockets) || fd(family) >= 0;
  }

  // Chooses the destination among `addresses`: the family, or 0 with
  // `error`. Families that cannot be used are passed over even when the
  // list holds both, since a datagram for a socket that does not exist would
  // fail in the send call and close the socket.
  int chooseAddress(const std::vector<std::string>& addresses, std::string* chosen, TLError* error) {
    const std::string* first4 = nullptr;
    const std::string* first6 = nullptr;
    bool fourFirst = false;
    for (const std::string& a : addresses) {
      const int family = familyFromAddress(a);
      if (family == AF_INET) {
        if (!first4) {
          first4 = &a;
          if (!first6) fourFirst = true;
        }
      } else if (family == AF_INET6 && !first6) {
        first6 = &a;
      }
    }
    auto fail = [&](const char* text) {
      setError(error, socketError(GCDAsyncUdpSocketOtherError, text));
      return 0;
    };
    if ((config & kIPv4Disabled) && !first6) return fail(kIPv4DisabledNoIPv6Text);
    if ((config & kIPv6Disabled) && !first4) return fail(kIPv6DisabledNoIPv4Text);
    if ((flags & kIPv4Deactivated) && !first6) return fail(kIPv4DeactivatedNoIPv6Text);
    if ((flags & kIPv6Deactivated) && !first4) return fail(kIPv6DeactivatedNoIPv4Text);
    const bool has4 = first4 && usable(AF_INET);
    const bool has6 = first6 && usable(AF_INET6);
    if (!has4 && !has6) {
      if (first4) return fail((config & kIPv4Disabled) ? kIPv4DisabledNoIPv6Text : kIPv4DeactivatedNoIPv6Text);
      return fail((config & kIPv6Disabled) ? kIPv6DisabledNoIPv4Text : kIPv6DeactivatedNoIPv4Text);
    }
    bool take4;
    if (!has6) {
      take4 = true;
    } else if (!has4) {
      take4 = false;
    } else if (config & kPreferIPv4) {
      take4 = true;
    } else if (config & kPreferIPv6) {
      take4 = false;
    } else {
      take4 = fourFirst;
    }
    *chosen = take4 ? *first4 : *first6;
    return take4 ? AF_INET : AF_INET6;
  }

  // Resolves `host` on the global queue; `completion` runs on the socket
  // queue with the addresses (IPv4 first for "localhost") or the error.
  template <typename Completion>
  void resolveHost(const std::string& host, uint16_t port, Completion completion) {
    std::weak_ptr<Impl> weak = weak_from_this();
    if (host.empty()) {
      post([completion = std::move(completion)](Impl& self) mutable {
        completion(self, Resolved{{}, socketError(GCDAsyncUdpSocketBadParamError, kNilHostText)});
      });
      return;
    }
    std::weak_ptr<SerialQueue> q = queueWeak;
    dispatcher.globalQueue()->async([weak, q, host, port, completion = std::move(completion)]() mutable {
      Resolved resolved = resolve(host, port);
      auto socketQueue = q.lock();
      if (!socketQueue) return;
      socketQueue->async([weak, resolved = std::move(resolved), completion = std::move(completion)]() mutable {
        if (auto self = weak.lock()) completion(*self, std::move(resolved));
      });
    });
  }

  // --- sending --------------------------------------------------------------

  void enqueue(std::shared_ptr<Packet> packet) {
    sendQueue.push_back(std::move(packet));
    maybeDequeueSend();
  }

  void endCurrentSend() {
    sendTimer.cancel();
    sendTimer = TimerHandle();
    currentSend.reset();
  }

  SendPacket* currentSendPacket() const {
    return currentSend && !currentSend->special ? static_cast<SendPacket*>(currentSend.get()) : nullptr;
  }

  // Ends the packet in hand with a send failure and goes on with the queue.
  void failCurrent(const TLError& error) {
    long tag = currentSendPacket()->tag;
    endCurrentSend();
    notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotSendDataWithTag, tag, error);
    maybeDequeueSend();
  }

  // Takes the next packet if none is in hand. Packets that finish at once
  // ask for the next one again; the loop serves those requests, so a long
  // queue does not deepen the stack.
  void maybeDequeueSend() {
    if (dequeueing) {
      dequeueAgain = true;
      return;
    }
    dequeueing = true;
    do {
      dequeueAgain = false;
      dequeueOnce();
    } while (dequeueAgain);
    dequeueing = false;
  }

  void dequeueOnce() {
    if (currentSend) return;
    if (!(flags & kDidCreateSockets) && !sendQueue.empty()) {
      TLError error;
      if (!createSockets(&error)) {
        // No socket exists, so no close callback would tell the callers:
        // each queued request is told instead.
        std::deque<std::shared_ptr<Packet>> dropped;
        dropped.swap(sendQueue);
        closeWithError(error);
        for (const auto& p : dropped) {
          if (p->special) {
            notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotConnect, error);
          } else {
            notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotSendDataWithTag,
                   static_cast<SendPacket*>(p.get())->tag, error);
          }
        }
        return;
      }
    }
    while (!currentSend && !sendQueue.empty()) {
      std::shared_ptr<Packet> packet = std::move(sendQueue.front());
      sendQueue.pop_front();
      if (packet->special) {
        currentSend = std::move(packet);
        maybeConnect();
        return;
      }
      if (packet->resolveError) {
        notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotSendDataWithTag,
               static_cast<SendPacket*>(packet.get())->tag, *packet->resolveError);
        continue;
      }
      currentSend = std::move(packet);
      preSend();
      return;
    }
    if (!currentSend && (flags & kCloseAfterSends)) closeWithError(std::nullopt);
  }

  void preSend() {
    SendPacket& p = *currentSendPacket();
    std::optional<TLError> error;
    if (flags & kDidConnect) {
      // A connected socket sends to its peer only; a packet that names any
      // other destination would go elsewhere than its caller asked.
      if (p.resolveInProgress || !p.resolvedAddresses.empty() || p.resolveError || p.addressGiven) {
        error = socketError(GCDAsyncUdpSocketBadConfigError, kConnectedDestinationText);
      } else {
        p.address = cachedConnectedAddress;
        p.addressFamily = cachedConnectedFamily;
      }
    } else if (p.resolveInProgress) {
      // Waits for its look-up; the write sources have nothing to do.
      if (flags & kSock4CanAcceptBytes) setSource(AF_INET, false, false);
      if (flags & kSock6CanAcceptBytes) setSource(AF_INET6, false, false);
      return;
    } else if (p.resolveError) {
      error = p.resolveError;
    } else if (p.addressGiven) {
      // An address from the caller: checked as a look-up's would be, so that
      // a bad or unusable one fails this packet instead of the socket.
      if (familyFromAddress(p.address) == 0) {
        error = socketError(GCDAsyncUdpSocketBadParamError, kInvalidAddressText);
      } else {
        TLError choiceError;
        std::string chosen;
        p.addressFamily = chooseAddress({p.address}, &chosen, &choiceError);
        if (p.addressFamily == 0) error = choiceError;
      }
    } else if (!p.resolvedAddresses.empty()) {
      TLError choiceError;
      p.addressFamily = chooseAddress(p.resolvedAddresses, &p.address, &choiceError);
      if (p.addressFamily == 0) error = choiceError;
    } else {
      error = socketError(GCDAsyncUdpSocketBadConfigError, kNoDestinationText);
    }
    if (error) {
      failCurrent(*error);
      return;
    }
    if (!sendFilter || !sendFilterQueue) {
      sendStep();
      return;
    }
    if (!sendFilterAsync) {
      bool allowed = true;
      GCDAsyncUdpSocketSendFilterBlock filter = sendFilter;
      sendFilterQueue->sync([&] { allowed = filter(p.buffer, p.address, p.tag); });
      sendFilterAnswered(allowed);
      return;
    }
    p.filterInProgress = true;
    std::shared_ptr<Packet> packet = currentSend;
    std::weak_ptr<Impl> weak = weak_from_this();
    std::weak_ptr<SerialQueue> q = queueWeak;
    sendFilterQueue->async([weak, q, packet, filter = sendFilter] {
      const auto& sp = static_cast<const SendPacket&>(*packet);
      const bool allowed = filter(sp.buffer, sp.address, sp.tag);
      auto socketQueue = q.lock();
      if (!socketQueue) return;
      socketQueue->async([weak, packet, allowed] {
        auto self = weak.lock();
        if (!self) return;
        static_cast<SendPacket&>(*packet).filterInProgress = false;
        if (self->currentSend == packet) self->sendFilterAnswered(allowed);
      });
    });
  }

  void sendFilterAnswered(bool allowed) {
    if (allowed) {
      sendStep();
      return;
    }
    long tag = currentSendPacket()->tag;
    endCurrentSend();
    notify(&GCDAsyncUdpSocketDelegate::udpSocketDidSendDataWithTag, tag);
    maybeDequeueSend();
  }

  void sendStep() {
    SendPacket& p = *currentSendPacket();
    const int descriptor = fd(p.addressFamily);
    const bool connected = flags & kDidConnect;
    const auto* to = connected ? nullptr : reinterpret_cast<const sockaddr*>(p.address.data());
    const auto toLength = connected ? 0 : static_cast<socklen_t>(p.address.size());
    ssize_t n;
    if (sendCall) {
      n = sendCall(descriptor, p.buffer, to, toLength);
    } else if (connected) {
      n = ::send(descriptor, p.buffer.data(), p.buffer.size(), MSG_NOSIGNAL);
    } else {
      n = ::sendto(descriptor, p.buffer.data(), p.buffer.size(), MSG_NOSIGNAL, to, toLength);
    }
    const int err = errno;
    flags |= kDidBind;
    if (n > 0) {
      long tag = p.tag;
      endCurrentSend();
      notify(&GCDAsyncUdpSocketDelegate::udpSocketDidSendDataWithTag, tag);
      maybeDequeueSend();
      return;
    }
    if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) {
      closeWithError(posixError(err, "Error in send() function."));
      return;
    }
    // Wait for the socket to take bytes again.
    flags &= ~canAcceptBit(p.addressFamily);
    if (!(flags & kSock4CanAcceptBytes)) setSource(AF_INET, false, true);
    if (!(flags & kSock6CanAcceptBytes)) setSource(AF_INET6, false, true);
    if (!sendTimer.valid() && p.timeout >= 0) {
      std::weak_ptr<Impl> weak = weak_from_this();
      auto delay = std::chrono::nanoseconds(static_cast<int64_t>(std::min(p.timeout, 1e9) * 1e9));
      sendTimer = dispatcher.timers().schedule(delay, queueWeak.lock(), [weak] {
        if (auto self = weak.lock()) self->sendTimedOut();
      });
    }
  }

  void sendTimedOut() {
    if (!currentSendPacket()) return;
    failCurrent(socketError(GCDAsyncUdpSocketSendTimeoutError, kSendTimeoutText));
  }

  void writeEvent(int family) {
    flags |= canAcceptBit(family);
    SendPacket* p = currentSendPacket();
    if (p && !p->resolveInProgress && !p->filterInProgress && p->addressFamily != 0) {
      sendStep();
    } else {
      setSource(family, false, false);
    }
  }

  // --- connecting -----------------------------------------------------------

  void maybeConnect() {
    if (!currentSend || !currentSend->special || currentSend->resolveInProgress) return;
    if (currentSend->resolveError) {
      notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotConnect, *currentSend->resolveError);
    } else {
      TLError error;
      std::string address;
      const int family = chooseAddress(currentSend->resolvedAddresses, &address, &error);
      if (family != 0 && connectFamily(family, address, &error)) {
        notify(&GCDAsyncUdpSocketDelegate::udpSocketDidConnectToAddress, address);
      } else {
        notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotConnect, error);
      }
    }
    flags &= ~kConnecting;
    endCurrentSend();
    maybeDequeueSend();
  }

  bool connectFamily(int family, const std::string& address, TLError* error) {
    if (::connect(fd(family), reinterpret_cast<const sockaddr*>(address.data()),
                  static_cast<socklen_t>(address.size())) != 0) {
      setError(error, posixError(errno, "Error in connect() function"));
      return false;
    }
    closeSocket(otherFamily(family));
    flags |= deactivatedBit(otherFamily(family)) | kDidBind | kDidConnect;
    keepConnected(address);
    return true;
  }

  // --- receiving ------------------------------------------------------------

  void readEvent(int family) {
    const int descriptor = fd(family);
    int available = 0;
    if (::ioctl(descriptor, FIONREAD, &available) < 0) available = 0;
    if (available > 0) {
      bytesWaiting(family) = static_cast<uint64_t>(available);
      doReceive();
      return;
    }
    // Readable with no bytes counted: the end of the socket's input (shut
    // down: it stays readable with nothing to read), an empty datagram, or a
    // pending error.
    pollfd state{descriptor, POLLRDHUP, 0};
    if (::poll(&state, 1, 0) == 1 && (state.revents & POLLRDHUP)) {
      closeWithError(socketError(GCDAsyncUdpSocketClosedError, kClosedText));
      return;
    }
    char byte;
    ssize_t n = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
    const int err = errno;
    if (n > 0) {
      bytesWaiting(family) = static_cast<uint64_t>(n);
      doReceive();
      return;
    }
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) return;
    if (!(flags & (kReceiveOnce | kReceiveContinuous))) {
      setSource(family, true, false);
      return;
    }
    if (n < 0) {
      closeWithError(posixError(err, "Error in recvfrom() function"));
      return;
    }
    // An empty datagram carries nothing to deliver; it is consumed so that
    // anybody's empty datagram never stops or closes the socket.
    [[maybe_unused]] ssize_t consumed = ::recv(descriptor, &byte, 1, MSG_DONTWAIT);
  }

  void doReceive() {
    if (!(flags & (kReceiveOnce | kReceiveContinuous)) ||
        ((flags & kReceiveOnce) && pendingFilterOperations > 0)) {
      if (bytes4 > 0) setSource(AF_INET, true, false);
      if (bytes6 > 0) setSource(AF_INET6, true, false);
      return;
    }
    if (bytes4 == 0 && bytes6 == 0) {
      setSource(AF_INET, true, true);
      setSource(AF_INET6, true, true);
      return;
    }
    int family;
    if (flags & kDidConnect) {
      family = fd4 >= 0 ? AF_INET : AF_INET6;
    } else if (bytes4 > 0 && bytes6 > 0) {
      const bool wasSet = flags & kFlipFlop;
      flags ^= kFlipFlop;
      family = wasSet ? AF_INET : AF_INET6;
    } else {
      family = bytes4 > 0 ? AF_INET : AF_INET6;
    }
    const int descriptor = fd(family);
    uint64_t& waiting = bytesWaiting(family);
    const uint64_t limit = family == AF_INET ? max4ReceiveSize : max6ReceiveSize;
    std::string data(static_cast<std::size_t>(std::min<uint64_t>(limit, waiting)), '\0');
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(descriptor, data.data(), data.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                           &fromLen);
    const int err = errno;
    if (n <= 0) {
      waiting = 0;
      if (n == 0 || err == EAGAIN || err == EWOULDBLOCK) {
        if (bytes4 == 0) setSource(AF_INET, true, true);
        if (bytes6 == 0) setSource(AF_INET6, true, true);
      } else {
        closeWithError(posixError(err, "Error in recvfrom() function"));
      }
      return;
    }
    // The system counts one datagram at a time: what waits now is the next
    // one's length (0 when none), never the rest of a cut datagram.
    int next = 0;
    if (::ioctl(descriptor, FIONREAD, &next) < 0) next = 0;
    waiting = static_cast<uint64_t>(std::max(next, 0));
    data.resize(static_cast<std::size_t>(n));
    std::string address = addressBytes(&from, fromLen);

    bool delivered = false, ignored = false;
    if ((flags & kDidConnect) && !isPeer(address)) {
      ignored = true;
    } else if (receiveFilter && receiveFilterQueue) {
      if (receiveFilterAsync) {
        askReceiveFilterAsync(std::move(data), std::move(address));
      } else {
        bool allowed = true;
        std::any context;
        GCDAsyncUdpSocketReceiveFilterBlock filter = receiveFilter;
        receiveFilterQueue->sync([&] { allowed = filter(data, address, &context); });
        if (allowed) {
          notify(&GCDAsyncUdpSocketDelegate::udpSocketDidReceiveData, std::move(data), std::move(address),
                 std::move(context));
          delivered = true;
        } else {
          ignored = true;
        }
      }
    } else {
      notify(&GCDAsyncUdpSocketDelegate::udpSocketDidReceiveData, std::move(data), std::move(address), std::any());
      delivered = true;
    }

    if (flags & kReceiveContinuous) {
      // The next pass as a new block, so that sends and other work interleave.
      post([](Impl& self) { self.doReceive(); });
    } else if (flags & kReceiveOnce) {
      if (delivered) {
        flags &= ~kReceiveOnce;
      } else if (ignored) {
        post([](Impl& self) { self.doReceive(); });
      }
    }
  }

  void askReceiveFilterAsync(std::string data, std::string address) {
    ++pendingFilterOperations;
    const uint64_t generation = closeGeneration;
    std::weak_ptr<Impl> weak = weak_from_this();
    std::weak_ptr<SerialQueue> q = queueWeak;
    receiveFilterQueue->async([weak, q, generation, filter = receiveFilter, data = std::move(data),
                               address = std::move(address)]() mutable {
      std::any context;
      const bool allowed = filter(data, address, &context);
      auto socketQueue = q.lock();
      if (!socketQueue) return;
      socketQueue->async([weak, generation, allowed, data = std::move(data), address = std::move(address),
                          context = std::move(context)]() mutable {
        auto self = weak.lock();
        if (!self || self->closeGeneration != generation) return;
        --self->pendingFilterOperations;
        if (allowed) {
          self->notify(&GCDAsyncUdpSocketDelegate::udpSocketDidReceiveData, std::move(data), std::move(address),
                       std::move(context));
        }
        if (self->flags & kReceiveOnce) {
          if (allowed) {
            self->flags &= ~kReceiveOnce;
          } else if (self->pendingFilterOperations == 0) {
            self->doReceive();
          }
        }
      });
    });
  }

  bool startReceiving(uint32_t mode, TLError* error) {
    if (flags & mode) return true;
    if (!(flags & kDidCreateSockets)) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kReceiveUnboundText));
      return false;
    }
    flags = (flags & ~(kReceiveOnce | kReceiveContinuous)) | mode;
    post([](Impl& self) { self.doReceive(); });
    return true;
  }

  // --- binding and multicast ------------------------------------------------

  bool preBind(TLError* error) {
    if (!checkDelegate(error)) return false;
    if (flags & kDidBind) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kBindTwiceText));
      return false;
    }
    if (flags & (kConnecting | kDidConnect)) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kBindAfterConnectText));
      return false;
    }
    if (bothDisabled()) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kBothDisabledText));
      return false;
    }
    return true;
  }

  bool bindFamily(int family, const std::string& address, TLError* error) {
    if (::bind(fd(family), reinterpret_cast<const sockaddr*>(address.data()),
               static_cast<socklen_t>(address.size())) == 0) {
      return true;
    }
    setError(error, posixError(errno, "Error in bind() function"));
    closeSockets();
    return false;
  }

  bool bindToPort(uint16_t port, const std::optional<std::string>& interface, TLError* error) {
    if (!preBind(error)) return false;
    InterfaceAddresses found = lookUpInterface(interface, port);
    if (found.v4.empty() && found.v6.empty()) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kUnknownInterfaceText));
      return false;
    }
    if ((config & kIPv4Disabled) && found.v6.empty()) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kInterfaceNoIPv6Text));
      return false;
    }
    if ((config & kIPv6Disabled) && found.v4.empty()) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kInterfaceNoIPv4Text));
      return false;
    }
    const bool use4 = !(config & kIPv4Disabled) && !found.v4.empty();
    const bool use6 = !(config & kIPv6Disabled) && !found.v6.empty();
    if (!(flags & kDidCreateSockets) && !createSockets(use4, use6, error)) return false;
    if (use4 && !bindFamily(AF_INET, found.v4, error)) return false;
    if (use6 && !bindFamily(AF_INET6, found.v6, error)) return false;
    if (!use4) flags |= kIPv4Deactivated;
    if (!use6) flags |= kIPv6Deactivated;
    flags |= kDidBind;
    return true;
  }

  bool bindToAddress(const std::string& address, TLError* error) {
    if (!preBind(error)) return false;
    const int family = familyFromAddress(address);
    if (family == 0) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kInvalidAddressText));
      return false;
    }
    if (family == AF_INET && (config & kIPv4Disabled)) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kIPv4AddressDisabledText));
      return false;
    }
    if (family == AF_INET6 && (config & kIPv6Disabled)) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kIPv6AddressDisabledText));
      return false;
    }
    if (!(flags & kDidCreateSockets) && !createSockets(family == AF_INET, family == AF_INET6, error)) return false;
    const std::string exact =
        family == AF_INET ? address.substr(0, sizeof(sockaddr_in)) : address.substr(0, sizeof(sockaddr_in6));
    if (!bindFamily(family, exact, error)) return false;
    flags |= deactivatedBit(otherFamily(family)) | kDidBind;
    return true;
  }

  bool preConnect(TLError* error) {
    if (!checkDelegate(error)) return false;
    if (flags & (kConnecting | kDidConnect)) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kConnectTwiceText));
      return false;
    }
    if (bothDisabled()) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kBothDisabledText));
      return false;
    }
    return true;
  }

  bool multicastRequest(bool join, const std::string& group, const std::optional<std::string>& interface,
                        TLError* error) {
    if (!checkDelegate(error)) return false;
    if (!(flags & kDidBind)) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kJoinUnboundText));
      return false;
    }
    if (flags & (kConnecting | kDidConnect)) {
      setError(error, socketError(GCDAsyncUdpSocketBadConfigError, kJoinConnectedText));
      return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* results = nullptr;
    std::string groupAddress;
    if (!group.empty() && ::getaddrinfo(group.c_str(), nullptr, &hints, &results) == 0) {
      groupAddress = addressBytes(results->ai_addr, results->ai_addrlen);
      ::freeaddrinfo(results);
    }
    const int groupFamily = familyFromAddress(groupAddress);
    if (groupFamily == 0) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kUnknownGroupText));
      return false;
    }
    InterfaceAddresses found = lookUpInterface(interface, 0);
    if (found.v4.empty() && found.v6.empty()) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kUnknownInterfaceText));
      return false;
    }
    int rc;
    if (groupFamily == AF_INET && !found.v4.empty() && fd4 >= 0) {
      ip_mreq request{};
      request.imr_multiaddr = asSockaddr4(groupAddress).sin_addr;
      request.imr_interface = asSockaddr4(found.v4).sin_addr;
      rc = ::setsockopt(fd4, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request, sizeof request);
    } else if (groupFamily == AF_INET6 && !found.v6.empty() && fd6 >= 0) {
      ipv6_mreq request{};
      request.ipv6mr_multiaddr = asSockaddr6(groupAddress).sin6_addr;
      request.ipv6mr_interface = found.index6;
      rc = ::setsockopt(fd6, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &request, sizeof request);
    } else {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kMismatchedVersionsText));
      return false;
    }
    if (rc != 0) {
      setError(error, posixError(errno, "Error in setsockopt() function"));
      return false;
    }
    // The group's family carries on alone.
    closeSocket(otherFamily(groupFamily));
    flags |= deactivatedBit(otherFamily(groupFamily));
    return true;
  }

  bool enableBroadcast(bool flag, TLError* error) {
    if (!checkDelegate(error)) return false;
    if (!(flags & kDidCreateSockets) && !createSockets(error)) return false;
    if (fd4 < 0) return false;
    int value = flag ? 1 : 0;
    if (::setsockopt(fd4, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) {
      setError(error, posixError(errno, "Error in setsockopt() function"));
      return false;
    }
    return true;
  }

  GCDAsyncUdpSocket* const owner;
  Dispatcher& dispatcher;
  SerialQueue* const queue;                   // valid while the owner lives
  const std::weak_ptr<SerialQueue> queueWeak;  // for posting from other threads

  // Touched on the socket queue only.
  std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate;
  std::shared_ptr<DispatchQueue> delegateQueue;
  GCDAsyncUdpSocketReceiveFilterBlock receiveFilter;
  std::shared_ptr<DispatchQueue> receiveFilterQueue;
  bool receiveFilterAsync = false;
  GCDAsyncUdpSocketSendFilterBlock sendFilter;
  std::shared_ptr<DispatchQueue> sendFilterQueue;
  bool sendFilterAsync = false;
  uint32_t flags = 0;
  uint16_t config = 0;
  uint16_t max4ReceiveSize = kDefaultMaxReceiveSize;
  uint32_t max6ReceiveSize = kDefaultMaxReceiveSize;
  int fd4 = -1, fd6 = -1;
  SerialQueue::WatchId send4 = 0, send6 = 0, receive4 = 0, receive6 = 0;
  TimerHandle sendTimer;
  std::shared_ptr<Packet> currentSend;
  std::deque<std::shared_ptr<Packet>> sendQueue;
  bool dequeueing = false, dequeueAgain = false;
  uint64_t bytes4 = 0, bytes6 = 0;
  uint32_t pendingFilterOperations = 0;
  uint64_t closeGeneration = 0;
  std::string cachedLocalAddress4, cachedLocalAddress6, cachedConnectedAddress;
  std::optional<std::string> cachedLocalHost4, cachedLocalHost6, cachedConnectedHost;
  uint16_t cachedLocalPort4 = 0, cachedLocalPort6 = 0, cachedConnectedPort = 0;
  int cachedConnectedFamily = 0;
  std::any userData;
  SendCall sendCall;
};

// --- construction -------------------------------------------------------------

GCDAsyncUdpSocket::GCDAsyncUdpSocket(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                                     std::shared_ptr<DispatchQueue> delegateQueue,
                                     std::shared_ptr<SerialQueue> socketQueue, Dispatcher& dispatcher)
    : queue_(socketQueue ? std::move(socketQueue) : std::make_shared<SerialQueue>(GCDAsyncUdpSocketQueueName)),
      impl_(std::make_shared<Impl>(this, std::move(delegate), std::move(delegateQueue), dispatcher, queue_)) {
  // Marks the socket queue: operations called on it run inline.
  queue_->setSpecific(impl_.get(), impl_.get());
  std::weak_ptr<Impl> weak = impl_;
  foregroundObserver_ = NotificationCenter::defaultCenter().addObserver(
      kApplicationWillEnterForegroundNotification, [weak](const Notification&) {
        if (auto self = weak.lock()) {
          self->post([](Impl& s) {
            s.setSource(AF_INET, true, true);
            s.setSource(AF_INET6, true, true);
          });
        }
      });
}

GCDAsyncUdpSocket::GCDAsyncUdpSocket(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                                     std::shared_ptr<DispatchQueue> delegateQueue, Dispatcher& dispatcher)
    : GCDAsyncUdpSocket(std::move(delegate), std::move(delegateQueue), nullptr, dispatcher) {}

GCDAsyncUdpSocket::GCDAsyncUdpSocket(std::shared_ptr<SerialQueue> socketQueue, Dispatcher& dispatcher)
    : GCDAsyncUdpSocket({}, nullptr, std::move(socketQueue), dispatcher) {}

GCDAsyncUdpSocket::GCDAsyncUdpSocket(Dispatcher& dispatcher)
    : GCDAsyncUdpSocket({}, nullptr, nullptr, dispatcher) {}

GCDAsyncUdpSocket::~GCDAsyncUdpSocket() {
  NotificationCenter::defaultCenter().removeObserver(foregroundObserver_);
  runSync([](Impl& s) { s.closeWithError(std::nullopt); });
  // No queue keeps this socket's key: a later socket at the same address
  // must not find itself on a queue that is not its own.
  queue_->setSpecific(impl_.get(), nullptr);
  {
    std::lock_guard lock(markedMutex_);
    for (const auto& weak : marked_) {
      if (auto q = weak.lock()) q->setSpecific(impl_.get(), nullptr);
    }
  }
  // Blocks still queued find the state gone and do nothing.
  impl_.reset();
  queue_.reset();
}

bool GCDAsyncUdpSocket::onSocketQueue() const { return DispatchQueue::getSpecific(impl_.get()) == impl_.get(); }

template <typename F>
void GCDAsyncUdpSocket::runSync(F&& f) {
  if (onSocketQueue()) {
    f(*impl_);
    return;
  }
  Impl& impl = *impl_;
  queue_->sync([&] { f(impl); });
}

template <typename F>
void GCDAsyncUdpSocket::runAsync(F f) {
  if (onSocketQueue()) {
    f(*impl_);
    return;
  }
  impl_->post(std::move(f));
}

// --- delegate ---------------------------------------------------------------------

std::weak_ptr<GCDAsyncUdpSocketDelegate> GCDAsyncUdpSocket::delegate() {
  std::weak_ptr<GCDAsyncUdpSocketDelegate> d;
  runSync([&](Impl& s) { d = s.delegate; });
  return d;
}

void GCDAsyncUdpSocket::setDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate) {
  runAsync([delegate = std::move(delegate)](Impl& s) { s.delegate = delegate; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate) {
  runSync([&](Impl& s) { s.delegate = std::move(delegate); });
}

std::shared_ptr<DispatchQueue> GCDAsyncUdpSocket::delegateQueue() {
  std::shared_ptr<DispatchQueue> q;
  runSync([&](Impl& s) { q = s.delegateQueue; });
  return q;
}

void GCDAsyncUdpSocket::setDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue) {
  runAsync([delegateQueue = std::move(delegateQueue)](Impl& s) { s.delegateQueue = delegateQueue; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue) {
  runSync([&](Impl& s) { s.delegateQueue = std::move(delegateQueue); });
}

void GCDAsyncUdpSocket::getDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate>* delegate,
                                    std::shared_ptr<DispatchQueue>* delegateQueue) {
  runSync([&](Impl& s) {
    if (delegate) *delegate = s.delegate;
    if (delegateQueue) *delegateQueue = s.delegateQueue;
  });
}

void GCDAsyncUdpSocket::setDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                                    std::shared_ptr<DispatchQueue> delegateQueue) {
  runAsync([delegate = std::move(delegate), delegateQueue = std::move(delegateQueue)](Impl& s) {
    s.delegate = delegate;
    s.delegateQueue = delegateQueue;
  });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                                                 std::shared_ptr<DispatchQueue> delegateQueue) {
  runSync([&](Impl& s) {
    s.delegate = std::move(delegate);
    s.delegateQueue = std::move(delegateQueue);
  });
}

// --- configuration ---------------------------------------------------------------

bool GCDAsyncUdpSocket::isIPv4Enabled() { return !(config() & kIPv4Disabled); }
bool GCDAsyncUdpSocket::isIPv6Enabled() { return !(config() & kIPv6Disabled); }
bool GCDAsyncUdpSocket::isIPv4Preferred() { return config() & kPreferIPv4; }
bool GCDAsyncUdpSocket::isIPv6Preferred() { return config() & kPreferIPv6; }
bool GCDAsyncUdpSocket::isIPVersionNeutral() { return !(config() & (kPreferIPv4 | kPreferIPv6)); }

void GCDAsyncUdpSocket::setIPv4Enabled(bool enabled) {
  runAsync([enabled](Impl& s) {
    s.config = enabled ? (s.config & ~kIPv4Disabled) : (s.config | kIPv4Disabled);
  });
}

void GCDAsyncUdpSocket::setIPv6Enabled(bool enabled) {
  runAsync([enabled](Impl& s) {
    s.config = enabled ? (s.config & ~kIPv6Disabled) : (s.config | kIPv6Disabled);
  });
}

void GCDAsyncUdpSocket::setPreferIPv4() {
  runAsync([](Impl& s) { s.config = (s.config | kPreferIPv4) & ~kPreferIPv6; });
}

void GCDAsyncUdpSocket::setPreferIPv6() {
  runAsync([](Impl& s) { s.config = (s.config | kPreferIPv6) & ~kPreferIPv4; });
}

void GCDAsyncUdpSocket::setIPVersionNeutral() {
  runAsync([](Impl& s) { s.config &= ~(kPreferIPv4 | kPreferIPv6); });
}

uint16_t GCDAsyncUdpSocket::maxReceiveIPv4BufferSize() {
  uint16_t v = 0;
  runSync([&](Impl& s) { v = s.max4ReceiveSize; });
  return v;
}

void GCDAsyncUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t max) {
  runAsync([max](Impl& s) { s.max4ReceiveSize = max; });
}

uint32_t GCDAsyncUdpSocket::maxReceiveIPv6BufferSize() {
  uint32_t v = 0;
  runSync([&](Impl& s) { v = s.max6ReceiveSize; });
  return v;
}

void GCDAsyncUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t max) {
  runAsync([max](Impl& s) { s.max6ReceiveSize = max; });
}

std::any GCDAsyncUdpSocket::userData() {
  std::any v;
  runSync([&](Impl& s) { v = s.userData; });
  return v;
}

void GCDAsyncUdpSocket::setUserData(std::any userData) {
  runAsync([userData = std::move(userData)](Impl& s) { s.userData = userData; });
}

// --- state -----------------------------------------------------------------------

std::string GCDAsyncUdpSocket::localAddress() {
  std::string v;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET);
    s.updateCachedLocal(AF_INET6);
    v = s.fd4 >= 0 ? s.cachedLocalAddress4 : s.cachedLocalAddress6;
  });
  return v;
}

std::optional<std::string> GCDAsyncUdpSocket::localHost() { return hostFromAddress(localAddress()); }
uint16_t GCDAsyncUdpSocket::localPort() { return portFromAddress(localAddress()); }

std::string GCDAsyncUdpSocket::localAddress_IPv4() {
  std::string v;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET);
    v = s.cachedLocalAddress4;
  });
  return v;
}

std::optional<std::string> GCDAsyncUdpSocket::localHost_IPv4() {
  std::optional<std::string> v;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET);
    v = s.cachedLocalHost4;
  });
  return v;
}

uint16_t GCDAsyncUdpSocket::localPort_IPv4() {
  uint16_t v = 0;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET);
    v = s.cachedLocalPort4;
  });
  return v;
}

std::string GCDAsyncUdpSocket::localAddress_IPv6() {
  std::string v;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET6);
    v = s.cachedLocalAddress6;
  });
  return v;
}

std::optional<std::string> GCDAsyncUdpSocket::localHost_IPv6() {
  std::optional<std::string> v;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET6);
    v = s.cachedLocalHost6;
  });
  return v;
}

uint16_t GCDAsyncUdpSocket::localPort_IPv6() {
  uint16_t v = 0;
  runSync([&](Impl& s) {
    s.updateCachedLocal(AF_INET6);
    v = s.cachedLocalPort6;
  });
  return v;
}

std::string GCDAsyncUdpSocket::connectedAddress() {
  std::string v;
  runSync([&](Impl& s) {
    s.updateCachedConnected();
    v = s.cachedConnectedAddress;
  });
  return v;
}

std::optional<std::string> GCDAsyncUdpSocket::connectedHost() {
  std::optional<std::string> v;
  runSync([&](Impl& s) {
    s.updateCachedConnected();
    v = s.cachedConnectedHost;
  });
  return v;
}

uint16_t GCDAsyncUdpSocket::connectedPort() {
  uint16_t v = 0;
  runSync([&](Impl& s) {
    s.updateCachedConnected();
    v = s.cachedConnectedPort;
  });
  return v;
}

bool GCDAsyncUdpSocket::isConnected() { return flags() & kDidConnect; }
bool GCDAsyncUdpSocket::isClosed() { return !(flags() & kDidCreateSockets); }

bool GCDAsyncUdpSocket::isIPv4() {
  bool v = false;
  runSync([&](Impl& s) { v = (s.flags & kDidCreateSockets) ? s.fd4 >= 0 : !(s.config & kIPv4Disabled); });
  return v;
}

bool GCDAsyncUdpSocket::isIPv6() {
  bool v = false;
  runSync([&](Impl& s) { v = (s.flags & kDidCreateSockets) ? s.fd6 >= 0 : !(s.config & kIPv6Disabled); });
  return v;
}

uint32_t GCDAsyncUdpSocket::flags() {
  uint32_t v = 0;
  runSync([&](Impl& s) { v = s.flags; });
  return v;
}

uint16_t GCDAsyncUdpSocket::config() {
  uint16_t v = 0;
  runSync([&](Impl& s) { v = s.config; });
  return v;
}

// --- binding and connecting ----------------------------------------------------------

bool GCDAsyncUdpSocket::bindToPort(uint16_t port, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.bindToPort(port, std::nullopt, error); });
  return ok;
}

bool GCDAsyncUdpSocket::bindToPort(uint16_t port, const std::string& interface, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.bindToPort(port, interface, error); });
  return ok;
}

bool GCDAsyncUdpSocket::bindToAddress(const std::string& address, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.bindToAddress(address, error); });
  return ok;
}

bool GCDAsyncUdpSocket::connectToHost(const std::string& host, uint16_t port, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) {
    if (!s.preConnect(error)) return;
    if (host.empty()) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kNilHostText));
      return;
    }
    if (!(s.flags & kDidCreateSockets) && !s.createSockets(error)) return;
    auto packet = std::make_shared<SpecialPacket>();
    packet->resolveInProgress = true;
    s.resolveHost(host, port, [packet](Impl& self, Resolved resolved) {
      packet->resolveInProgress = false;
      packet->resolvedAddresses = std::move(resolved.addresses);
      packet->resolveError = std::move(resolved.error);
      if (self.currentSend == packet) self.maybeConnect();
    });
    s.flags |= kConnecting;
    s.enqueue(packet);
    ok = true;
  });
  return ok;
}

bool GCDAsyncUdpSocket::connectToAddress(const std::string& address, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) {
    if (!s.preConnect(error)) return;
    if (address.empty()) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kNilAddressText));
      return;
    }
    if (familyFromAddress(address) == 0) {
      setError(error, socketError(GCDAsyncUdpSocketBadParamError, kInvalidAddressText));
      return;
    }
    if (!(s.flags & kDidCreateSockets) && !s.createSockets(error)) return;
    auto packet = std::make_shared<SpecialPacket>();
    packet->resolvedAddresses = {address};
    s.flags |= kConnecting;
    s.enqueue(packet);
    ok = true;
  });
  return ok;
}

// --- multicast and broadcast -----------------------------------------------------------

bool GCDAsyncUdpSocket::joinMulticastGroup(const std::string& group, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.multicastRequest(true, group, std::nullopt, error); });
  return ok;
}

bool GCDAsyncUdpSocket::joinMulticastGroup(const std::string& group, const std::string& interface,
                                           TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.multicastRequest(true, group, interface, error); });
  return ok;
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.multicastRequest(false, group, std::nullopt, error); });
  return ok;
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group, const std::string& interface,
                                            TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.multicastRequest(false, group, interface, error); });
  return ok;
}

bool GCDAsyncUdpSocket::enableBroadcast(bool flag, TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.enableBroadcast(flag, error); });
  return ok;
}

// --- sending ------------------------------------------------------------------------

void GCDAsyncUdpSocket::sendData(std::string data, long tag) { sendData(std::move(data), -1.0, tag); }

void GCDAsyncUdpSocket::sendData(std::string data, double timeoutSeconds, long tag) {
  // An empty datagram would never count as sent and would wait for ever.
  if (data.empty()) return;
  auto packet = std::make_shared<SendPacket>(std::move(data), timeoutSeconds, tag);
  runAsync([packet](Impl& s) { s.enqueue(packet); });
}

void GCDAsyncUdpSocket::sendData(std::string data, const std::string& host, uint16_t port, double timeoutSeconds,
                                 long tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<SendPacket>(std::move(data), timeoutSeconds, tag);
  packet->resolveInProgress = true;
  auto completion = [packet](Impl& self, Resolved resolved) {
    packet->resolveInProgress = false;
    packet->resolvedAddresses = std::move(resolved.addresses);
    packet->resolveError = std::move(resolved.error);
    if (self.currentSend == packet) self.preSend();
  };
  impl_->resolveHost(host, port, std::move(completion));
  runAsync([packet](Impl& s) { s.enqueue(packet); });
}

void GCDAsyncUdpSocket::sendDataToAddress(std::string data, const std::string& address, double timeoutSeconds,
                                          long tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<SendPacket>(std::move(data), timeoutSeconds, tag);
  packet->addressGiven = true;
  packet->address = address;
  packet->addressFamily = familyFromAddress(address);
  runAsync([packet](Impl& s) { s.enqueue(packet); });
}

void GCDAsyncUdpSocket::setSendFilter(GCDAsyncUdpSocketSendFilterBlock filter,
                                      std::shared_ptr<DispatchQueue> filterQueue) {
  setSendFilter(std::move(filter), std::move(filterQueue), true);
}

void GCDAsyncUdpSocket::setSendFilter(GCDAsyncUdpSocketSendFilterBlock filter,
                                      std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous) {
  runAsync([filter = std::move(filter), filterQueue = std::move(filterQueue), isAsynchronous](Impl& s) {
    const bool set = filter && filterQueue;
    s.sendFilter = set ? filter : nullptr;
    s.sendFilterQueue = set ? filterQueue : nullptr;
    s.sendFilterAsync = set && isAsynchronous;
  });
}

// --- receiving ------------------------------------------------------------------------

bool GCDAsyncUdpSocket::receiveOnce(TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.startReceiving(kReceiveOnce, error); });
  return ok;
}

bool GCDAsyncUdpSocket::beginReceiving(TLError* error) {
  bool ok = false;
  runSync([&](Impl& s) { ok = s.startReceiving(kReceiveContinuous, error); });
  return ok;
}

void GCDAsyncUdpSocket::pauseReceiving() {
  runAsync([](Impl& s) {
    s.flags &= ~(kReceiveOnce | kReceiveContinuous);
    if (s.bytes4 > 0) s.setSource(AF_INET, true, false);
    if (s.bytes6 > 0) s.setSource(AF_INET6, true, false);
  });
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filter,
                                         std::shared_ptr<DispatchQueue> filterQueue) {
  setReceiveFilter(std::move(filter), std::move(filterQueue), true);
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filter,
                                         std::shared_ptr<DispatchQueue> filterQueue, bool isAsynchronous) {
  runAsync([filter = std::move(filter), filterQueue = std::move(filterQueue), isAsynchronous](Impl& s) {
    const bool set = filter && filterQueue;
    s.receiveFilter = set ? filter : nullptr;
    s.receiveFilterQueue = set ? filterQueue : nullptr;
    s.receiveFilterAsync = set && isAsynchronous;
  });
}

// --- closing ---------------------------------------------------------------------------

void GCDAsyncUdpSocket::close() {
  runSync([](Impl& s) { s.closeWithError(std::nullopt); });
}

void GCDAsyncUdpSocket::closeAfterSending() {
  runAsync([](Impl& s) {
    s.flags |= kCloseAfterSends;
    if (!s.currentSend && s.sendQueue.empty()) s.closeWithError(std::nullopt);
  });
}

// --- the socket queue -------------------------------------------------------------------

void GCDAsyncUdpSocket::markSocketQueueTargetQueue(
    const std::shared_ptr<DispatchQueue>& socketQueuesPreConfiguredTargetQueue) {
  if (!socketQueuesPreConfiguredTargetQueue) return;
  socketQueuesPreConfiguredTargetQueue->setSpecific(impl_.get(), impl_.get());
  std::lock_guard lock(markedMutex_);
  marked_.push_back(socketQueuesPreConfiguredTargetQueue);
}

void GCDAsyncUdpSocket::unmarkSocketQueueTargetQueue(
    const std::shared_ptr<DispatchQueue>& socketQueuesPreviouslyTargetedQueue) {
  if (!socketQueuesPreviouslyTargetedQueue) return;
  socketQueuesPreviouslyTargetedQueue->setSpecific(impl_.get(), nullptr);
  std::lock_guard lock(markedMutex_);
  marked_.erase(std::remove_if(marked_.begin(), marked_.end(),
                               [&](const std::weak_ptr<DispatchQueue>& w) {
                                 auto q = w.lock();
                                 return !q || q == socketQueuesPreviouslyTargetedQueue;
                               }),
                marked_.end());
}

void GCDAsyncUdpSocket::performBlock(const Block& block) {
  runSync([&](Impl&) { block(); });
}

int GCDAsyncUdpSocket::socketFD() {
  if (!onSocketQueue()) return -1;
  return impl_->fd4 >= 0 ? impl_->fd4 : impl_->fd6;
}

int GCDAsyncUdpSocket::socket4FD() { return onSocketQueue() ? impl_->fd4 : -1; }
int GCDAsyncUdpSocket::socket6FD() { return onSocketQueue() ? impl_->fd6 : -1; }

std::shared_ptr<GCDAsyncUdpSocketStream> GCDAsyncUdpSocket::readStream() { return nullptr; }
std::shared_ptr<GCDAsyncUdpSocketStream> GCDAsyncUdpSocket::writeStream() { return nullptr; }
bool GCDAsyncUdpSocket::enableBackgroundingOnSockets() { return false; }

void GCDAsyncUdpSocket::applicationWillEnterForeground() {
  runAsync([](Impl& s) {
    s.setSource(AF_INET, true, true);
    s.setSource(AF_INET6, true, true);
  });
}

void GCDAsyncUdpSocket::setSendCall(SendCall call) {
  runAsync([call = std::move(call)](Impl& s) { s.sendCall = call; });
}

// --- addresses ---------------------------------------------------------------------------

int GCDAsyncUdpSocket::familyFromAddress(const std::string& address) {
  if (address.size() < sizeof(sa_family_t)) return 0;
  sa_family_t family;
  std::memcpy(&family, address.data(), sizeof family);
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) return AF_INET;
  if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) return AF_INET6;
  return 0;
}

bool GCDAsyncUdpSocket::isIPv4Address(const std::string& address) { return familyFromAddress(address) == AF_INET; }
bool GCDAsyncUdpSocket::isIPv6Address(const std::string& address) { return familyFromAddress(address) == AF_INET6; }

std::optional<std::string> GCDAsyncUdpSocket::hostFromAddress(const std::string& address) {
  switch (familyFromAddress(address)) {
    case AF_INET: {
      sockaddr_in a = asSockaddr4(address);
      return hostFromSockaddr4(&a);
    }
    case AF_INET6: {
      sockaddr_in6 a = asSockaddr6(address);
      return hostFromSockaddr6(&a);
    }
    default:
      return std::nullopt;
  }
}

uint16_t GCDAsyncUdpSocket::portFromAddress(const std::string& address) {
  switch (familyFromAddress(address)) {
    case AF_INET: {
      sockaddr_in a = asSockaddr4(address);
      return portFromSockaddr4(&a);
    }
    case AF_INET6: {
      sockaddr_in6 a = asSockaddr6(address);
      return portFromSockaddr6(&a);
    }
    default:
      return 0;
  }
}

bool GCDAsyncUdpSocket::getHost(std::string* host, uint16_t* port, const std::string& address) {
  return getHost(host, port, nullptr, address);
}

bool GCDAsyncUdpSocket::getHost(std::string* host, uint16_t* port, int* family, const std::string& address) {
  const int f = familyFromAddress(address);
  if (host) *host = f != 0 ? *hostFromAddress(address) : std::string();
  if (port) *port = portFromAddress(address);
  if (family) *family = f;
  return f != 0;
}

std::string GCDAsyncUdpSocket::hostFromSockaddr4(const sockaddr_in* sockaddr4) {
  char text[INET_ADDRSTRLEN] = {0};
  if (!::inet_ntop(AF_INET, &sockaddr4->sin_addr, text, sizeof text)) return std::string();
  return text;
}

std::string GCDAsyncUdpSocket::hostFromSockaddr6(const sockaddr_in6* sockaddr6) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (!::inet_ntop(AF_INET6, &sockaddr6->sin6_addr, text, sizeof text)) return std::string();
  return text;
}

uint16_t GCDAsyncUdpSocket::portFromSockaddr4(const sockaddr_in* sockaddr4) { return ntohs(sockaddr4->sin_port); }
uint16_t GCDAsyncUdpSocket::portFromSockaddr6(const sockaddr_in6* sockaddr6) { return ntohs(sockaddr6->sin6_port); }

}  // namespace tembrolexinplatform
