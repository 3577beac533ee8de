#include "platform/net/gcd_async_udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace tembrolexinplatform {

namespace {

constexpr uint32_t kSocketsCreated = 0x1;
constexpr uint32_t kDidBind = 0x2;
constexpr uint32_t kReceiveContinuous = 0x20;
constexpr uint32_t kSock4CanAcceptBytes = 0x1000;
constexpr uint32_t kSock6CanAcceptBytes = 0x2000;

constexpr uint16_t kIPv4Disabled = 0x1;
constexpr uint16_t kIPv6Disabled = 0x2;
constexpr uint16_t kPreferIPv4 = 0x4;
constexpr uint16_t kPreferIPv6 = 0x8;

constexpr uint32_t kDefaultMaxReceiveSize = 9216;

TLError socketError(int64_t code, std::string text) {
  return TLError{kGCDAsyncUdpSocketErrorDomain, code, std::move(text), ""};
}

TLError posixError(int err, const char* reason) {
  return TLError{kPosixErrorDomain, err, std::strerror(err), reason};
}

std::string addressBytes(const sockaddr* sa, socklen_t len) {
  return std::string(reinterpret_cast<const char*>(sa), len);
}

std::string loopbackAddress(int family, uint16_t port) {
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addressBytes(reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  return addressBytes(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

struct Resolved {
  std::vector<std::string> addresses;
  std::optional<TLError> error;
};

Resolved resolve(const std::string& host, uint16_t port) {
  Resolved out;
  if (host == "localhost" || host == "loopback") {
    out.addresses = {loopbackAddress(AF_INET, port), loopbackAddress(AF_INET6, port)};
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

struct SendPacket {
  std::string buffer;
  double timeout;
  long tag;
  bool resolveInProgress = true;
  std::vector<std::string> resolvedAddresses;
  std::optional<TLError> resolveError;
  std::string address;
  int addressFamily = 0;
};

}  // namespace

struct GCDAsyncUdpSocket::Impl : std::enable_shared_from_this<Impl> {
  Impl(GCDAsyncUdpSocket* owner, std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
       std::shared_ptr<DispatchQueue> delegateQueue, Dispatcher& dispatcher,
       const std::shared_ptr<SerialQueue>& queue)
      : owner(owner),
        delegate(std::move(delegate)),
        delegateQueue(std::move(delegateQueue)),
        dispatcher(dispatcher),
        queue(queue.get()),
        queueWeak(queue) {}

  // Runs `f` on the socket queue with this object alive, inline when already
  // there.
  template <typename F>
  void async(F f) {
    if (queue->isCurrent()) {
      f();
      return;
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    queue->async([weak, f = std::move(f)]() mutable {
      if (auto self = weak.lock()) f();
    });
  }

  template <typename Member, typename... Args>
  void notify(Member member, Args... args) {
    std::shared_ptr<GCDAsyncUdpSocketDelegate> d = delegate.lock();
    if (!d || !delegateQueue || !((*d).*member)) return;
    GCDAsyncUdpSocket* sock = owner;
    delegateQueue->async([d, member, sock, args...] { ((*d).*member)(sock, args...); });
  }

  // --- sockets ---------------------------------------------------------

  bool createSocket(int family, int* fdOut, SerialQueue::WatchId* readWatch,
                    SerialQueue::WatchId* writeWatch, TLError* error) {
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = posixError(errno, "Error in socket() function");
      return false;
    }
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
      *error = posixError(errno, "Error enabling non-blocking IO on socket (fcntl)");
      ::close(fd);
      return false;
    }
    int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
      *error = posixError(errno, "Error enabling address reuse (setsockopt)");
      ::close(fd);
      return false;
    }
    // Linux has no SO_NOSIGPIPE; sends pass MSG_NOSIGNAL instead. The IPv6
    // socket carries IPv6 only, so the two never share a port space.
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    // Both watches close the descriptor together: whichever cancel handler
    // runs second closes it.
    auto remaining = std::make_shared<int>(2);
    auto closer = [fd, remaining] {
      if (--*remaining == 0) ::close(fd);
    };
    std::weak_ptr<Impl> weak = weak_from_this();
    *writeWatch = queue->addWatch(
        fd, Readiness::kWrite,
        [weak, family] {
          if (auto self = weak.lock()) self->writeEvent(family);
        },
        closer);
    *readWatch = queue->addWatch(
        fd, Readiness::kRead,
        [weak, family] {
          if (auto self = weak.lock()) self->readEvent(family);
        },
        closer);
    *fdOut = fd;
    return true;
  }

  bool createSockets(TLError* error) {
    const bool use4 = !(config & kIPv4Disabled);
    const bool use6 = !(config & kIPv6Disabled);
    if (!use4 && !use6) {
      *error = socketError(kGCDAsyncUdpSocketBadConfigError,
                           "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
      return false;
    }
    if (use4 && !createSocket(AF_INET, &fd4, &read4, &write4, error)) return false;
    if (use6 && !createSocket(AF_INET6, &fd6, &read6, &write6, error)) {
      if (use4) closeSocket(AF_INET);
      return false;
    }
    read4Suspended = write4Suspended = read6Suspended = write6Suspended = true;
    flags |= kSocketsCreated | (use4 ? kSock4CanAcceptBytes : 0) | (use6 ? kSock6CanAcceptBytes : 0);
    return true;
  }

  void closeSocket(int family) {
    int& fd = family == AF_INET ? fd4 : fd6;
    if (fd < 0) return;
    queue->cancelWatch(family == AF_INET ? read4 : read6);
    queue->cancelWatch(family == AF_INET ? write4 : write6);
    fd = -1;
    (family == AF_INET ? bytes4 : bytes6) = 0;
    flags &= ~(family == AF_INET ? kSock4CanAcceptBytes : kSock6CanAcceptBytes);
  }

  void setWatch(int family, bool read, bool active) {
    if ((family == AF_INET ? fd4 : fd6) < 0) return;
    bool& suspended = family == AF_INET ? (read ? read4Suspended : write4Suspended)
                                        : (read ? read6Suspended : write6Suspended);
    if (suspended != active) return;  // already so
    SerialQueue::WatchId id = family == AF_INET ? (read ? read4 : write4) : (read ? read6 : write6);
    if (active) {
      queue->resumeWatch(id);
    } else {
      queue->suspendWatch(id);
    }
    suspended = !active;
  }

  void closeWithError(std::optional<TLError> error) {
    endCurrentSend();
    sendQueue.clear();
    const bool hadSockets = flags & kSocketsCreated;
    closeSocket(AF_INET);
    closeSocket(AF_INET6);
    flags = 0;
    if (hadSockets) notify(&GCDAsyncUdpSocketDelegate::udpSocketDidCloseWithError, error);
  }

  // --- sending -----------------------------------------------------------

  void endCurrentSend() {
    sendTimer.cancel();
    sendTimer = TimerHandle();
    currentSend.reset();
  }

  void failCurrent(const TLError& error) {
    long tag = currentSend->tag;
    endCurrentSend();
    notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotSendDataWithTag, tag, error);
    maybeDequeueSend();
  }

  void maybeDequeueSend() {
    if (currentSend) return;
    if (!(flags & kSocketsCreated)) {
      TLError error;
      if (!createSockets(&error)) {
        closeWithError(error);
        return;
      }
    }
    while (!sendQueue.empty()) {
      std::shared_ptr<SendPacket> packet = sendQueue.front();
      sendQueue.pop_front();
      if (packet->resolveError) {
        notify(&GCDAsyncUdpSocketDelegate::udpSocketDidNotSendDataWithTag, packet->tag,
               *packet->resolveError);
        continue;
      }
      currentSend = packet;
      preSend();
      return;
    }
  }

  // The family of the chosen address, or 0 with `error`.
  int chooseAddress(const std::vector<std::string>& addresses, std::string* chosen, TLError* error) {
    bool has4 = false, has6 = false;
    const std::string* first4 = nullptr;
    const std::string* first6 = nullptr;
    bool fourFirst = false;
    for (const std::string& a : addresses) {
      if (familyFromAddress(a) == AF_INET) {
        if (!first4) {
          first4 = &a;
          if (!first6) fourFirst = true;
        }
        has4 = true;
      } else {
        if (!first6) first6 = &a;
        has6 = true;
      }
    }
    if ((config & kIPv4Disabled) && !has6) {
      *error = socketError(kGCDAsyncUdpSocketOtherError,
                           "IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
      return 0;
    }
    if ((config & kIPv6Disabled) && !has4) {
      *error = socketError(kGCDAsyncUdpSocketOtherError,
                           "IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
      return 0;
    }
    // A disabled family has no socket: only the other one can be used.
    bool take4;
    if (!has6 || (config & kIPv6Disabled)) {
      take4 = true;
    } else if (!has4 || (config & kIPv4Disabled)) {
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

  void preSend() {
    SendPacket& p = *currentSend;
    if (p.resolveInProgress) {
      // Waits for its look-up; the write sources have nothing to do.
      setWatch(AF_INET, false, false);
      setWatch(AF_INET6, false, false);
      return;
    }
    if (p.resolveError) {
      failCurrent(*p.resolveError);
      return;
    }
    TLError error;
    int family = chooseAddress(p.resolvedAddresses, &p.address, &error);
    if (family == 0) {
      failCurrent(error);
      return;
    }
    p.addressFamily = family;
    sendStep();
  }

  void sendStep() {
    SendPacket& p = *currentSend;
    const int fd = p.addressFamily == AF_INET ? fd4 : fd6;
    ssize_t n = ::sendto(fd, p.buffer.data(), p.buffer.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(p.address.data()),
                         static_cast<socklen_t>(p.address.size()));
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
    flags &= ~(p.addressFamily == AF_INET ? kSock4CanAcceptBytes : kSock6CanAcceptBytes);
    setWatch(p.addressFamily, false, true);
    if (!sendTimer.valid() && p.timeout >= 0) {
      std::weak_ptr<Impl> weak = weak_from_this();
      auto delay = std::chrono::nanoseconds(static_cast<int64_t>(std::min(p.timeout, 1e9) * 1e9));
      sendTimer = dispatcher.timers().schedule(delay, queueWeak.lock(), [weak] {
        if (auto self = weak.lock()) self->sendTimedOut();
      });
    }
  }

  void sendTimedOut() {
    if (!currentSend) return;
    failCurrent(socketError(kGCDAsyncUdpSocketSendTimeoutError, "Send operation timed out"));
  }

  void writeEvent(int family) {
    flags |= family == AF_INET ? kSock4CanAcceptBytes : kSock6CanAcceptBytes;
    if (currentSend && !currentSend->resolveInProgress && currentSend->addressFamily == family) {
      sendStep();
    } else {
      setWatch(family, false, false);
    }
  }

  // --- receiving ---------------------------------------------------------

  void readEvent(int family) {
    const int fd = family == AF_INET ? fd4 : fd6;
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) < 0) available = 0;
    (family == AF_INET ? bytes4 : bytes6) = static_cast<uint64_t>(std::max(available, 0));
    if (available > 0) {
      receivePass();
      return;
    }
    // Nothing waiting but readable: an empty datagram. Consume it while
    // receiving (it carries nothing to deliver); it never closes the socket.
    if (!(flags & kReceiveContinuous)) {
      setWatch(family, true, false);
      return;
    }
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      closeWithError(posixError(errno, "Error in recvfrom() function"));
    }
  }

  void receivePass() {
    if (!(flags & kReceiveContinuous)) {
      if (bytes4 > 0) setWatch(AF_INET, true, false);
      if (bytes6 > 0) setWatch(AF_INET6, true, false);
      return;
    }
    if (bytes4 == 0 && bytes6 == 0) {
      setWatch(AF_INET, true, true);
      setWatch(AF_INET6, true, true);
      return;
    }
    int family;
    if (bytes4 > 0 && bytes6 > 0) {
      alternate = !alternate;
      family = alternate ? AF_INET6 : AF_INET;
    } else {
      family = bytes4 > 0 ? AF_INET : AF_INET6;
    }
    const int fd = family == AF_INET ? fd4 : fd6;
    uint64_t& waiting = family == AF_INET ? bytes4 : bytes6;
    const uint64_t limit = family == AF_INET ? max4ReceiveSize : max6ReceiveSize;
    std::string data(static_cast<std::size_t>(std::min<uint64_t>(limit, waiting)), '\0');
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, data.data(), data.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLen);
    const int err = errno;
    if (n > 0) {
      waiting = waiting > static_cast<uint64_t>(n) ? waiting - static_cast<uint64_t>(n) : 0;
      data.resize(static_cast<std::size_t>(n));
      notify(&GCDAsyncUdpSocketDelegate::udpSocketDidReceiveData, data,
             addressBytes(reinterpret_cast<sockaddr*>(&from), fromLen));
      // The next pass as a new block, so sends and other work interleave.
      std::weak_ptr<Impl> weak = weak_from_this();
      queue->async([weak] {
        if (auto self = weak.lock()) self->receivePass();
      });
      return;
    }
    waiting = 0;
    if (n == 0 || err == EAGAIN || err == EWOULDBLOCK) {
      if (bytes4 == 0) setWatch(AF_INET, true, true);
      if (bytes6 == 0) setWatch(AF_INET6, true, true);
      return;
    }
    closeWithError(posixError(err, "Error in recvfrom() function"));
  }

  GCDAsyncUdpSocket* const owner;
  std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate;
  std::shared_ptr<DispatchQueue> delegateQueue;
  Dispatcher& dispatcher;
  SerialQueue* const queue;                   // valid while the owner lives
  const std::weak_ptr<SerialQueue> queueWeak;  // for posting from other threads

  // Touched on the socket queue only.
  uint32_t flags = 0;
  uint16_t config = 0;
  uint32_t max4ReceiveSize = kDefaultMaxReceiveSize;
  uint32_t max6ReceiveSize = kDefaultMaxReceiveSize;
  int fd4 = -1, fd6 = -1;
  SerialQueue::WatchId read4 = 0, write4 = 0, read6 = 0, write6 = 0;
  bool read4Suspended = true, write4Suspended = true, read6Suspended = true, write6Suspended = true;
  uint64_t bytes4 = 0, bytes6 = 0;
  bool alternate = false;
  std::shared_ptr<SendPacket> currentSend;
  std::deque<std::shared_ptr<SendPacket>> sendQueue;
  TimerHandle sendTimer;
};

GCDAsyncUdpSocket::GCDAsyncUdpSocket(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                                     std::shared_ptr<DispatchQueue> delegateQueue, Dispatcher& dispatcher)
    : queue_(std::make_shared<SerialQueue>(kGCDAsyncUdpSocketQueueName)),
      impl_(std::make_shared<Impl>(this, std::move(delegate), std::move(delegateQueue), dispatcher, queue_)) {}

GCDAsyncUdpSocket::~GCDAsyncUdpSocket() {
  queue_->sync([this] { impl_->closeWithError(std::nullopt); });
  // Blocks still queued find the state gone and do nothing; the queue's own
  // destructor runs them and the watches' cancel handlers.
  impl_.reset();
  queue_.reset();
}

void GCDAsyncUdpSocket::sendData(std::string data, const std::string& host, uint16_t port,
                                 double timeoutSeconds, long tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<SendPacket>();
  packet->buffer = std::move(data);
  packet->timeout = timeoutSeconds;
  packet->tag = tag;
  std::weak_ptr<Impl> weak = impl_;
  std::weak_ptr<SerialQueue> queue = queue_;
  if (host.empty()) {
    impl_->async([weak, packet] {
      packet->resolveInProgress = false;
      packet->resolveError = socketError(kGCDAsyncUdpSocketBadParamError,
                                         "The host param is nil. Should be domain name or IP address string.");
      if (auto self = weak.lock(); self && self->currentSend == packet) self->preSend();
    });
  } else {
    impl_->dispatcher.globalQueue()->async([weak, queue, packet, host, port] {
      Resolved resolved = resolve(host, port);
      auto q = queue.lock();
      if (!q) return;
      q->async([weak, packet, resolved = std::move(resolved)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        packet->resolveInProgress = false;
        packet->resolvedAddresses = std::move(resolved.addresses);
        packet->resolveError = std::move(resolved.error);
        if (self->currentSend == packet) self->preSend();
      });
    });
  }
  impl_->async([weak, packet] {
    if (auto self = weak.lock()) {
      self->sendQueue.push_back(packet);
      self->maybeDequeueSend();
    }
  });
}

bool GCDAsyncUdpSocket::beginReceiving(TLError* error) {
  bool ok = false;
  queue_->sync([&] {
    Impl& s = *impl_;
    if (s.flags & kReceiveContinuous) {
      ok = true;
      return;
    }
    if (!(s.flags & kSocketsCreated)) {
      if (error) {
        *error = socketError(kGCDAsyncUdpSocketBadConfigError,
                             "Must bind socket before you can receive data. You can do this explicitly via "
                             "bind, or implicitly via connect or by sending data.");
      }
      return;
    }
    s.flags |= kReceiveContinuous;
    std::weak_ptr<Impl> weak = impl_;
    queue_->async([weak] {
      if (auto self = weak.lock()) self->receivePass();
    });
    ok = true;
  });
  return ok;
}

void GCDAsyncUdpSocket::close() {
  queue_->sync([this] { impl_->closeWithError(std::nullopt); });
}

bool GCDAsyncUdpSocket::isIPv4Enabled() {
  bool v = false;
  queue_->sync([&] { v = !(impl_->config & kIPv4Disabled); });
  return v;
}
void GCDAsyncUdpSocket::setIPv4Enabled(bool enabled) {
  queue_->sync([&] {
    impl_->config = enabled ? (impl_->config & ~kIPv4Disabled) : (impl_->config | kIPv4Disabled);
  });
}
bool GCDAsyncUdpSocket::isIPv6Enabled() {
  bool v = false;
  queue_->sync([&] { v = !(impl_->config & kIPv6Disabled); });
  return v;
}
void GCDAsyncUdpSocket::setIPv6Enabled(bool enabled) {
  queue_->sync([&] {
    impl_->config = enabled ? (impl_->config & ~kIPv6Disabled) : (impl_->config | kIPv6Disabled);
  });
}
void GCDAsyncUdpSocket::setPreferIPv4() {
  queue_->sync([&] { impl_->config = (impl_->config | kPreferIPv4) & ~kPreferIPv6; });
}
void GCDAsyncUdpSocket::setPreferIPv6() {
  queue_->sync([&] { impl_->config = (impl_->config | kPreferIPv6) & ~kPreferIPv4; });
}
void GCDAsyncUdpSocket::setIPVersionNeutral() {
  queue_->sync([&] { impl_->config &= ~(kPreferIPv4 | kPreferIPv6); });
}

bool GCDAsyncUdpSocket::isClosed() {
  bool v = true;
  queue_->sync([&] { v = !(impl_->flags & kSocketsCreated); });
  return v;
}

uint16_t GCDAsyncUdpSocket::localPort() {
  uint16_t port = 0;
  queue_->sync([&] {
    for (int fd : {impl_->fd4, impl_->fd6}) {
      if (fd < 0) continue;
      sockaddr_storage a{};
      socklen_t len = sizeof a;
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = portFromAddress(addressBytes(reinterpret_cast<sockaddr*>(&a), len));
      }
      return;
    }
  });
  return port;
}

int GCDAsyncUdpSocket::familyFromAddress(const std::string& address) {
  if (address.size() < sizeof(sa_family_t)) return 0;
  sa_family_t family;
  std::memcpy(&family, address.data(), sizeof family);
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) return AF_INET;
  if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) return AF_INET6;
  return 0;
}

std::optional<std::string> GCDAsyncUdpSocket::hostFromAddress(const std::string& address) {
  char text[INET6_ADDRSTRLEN] = {0};
  switch (familyFromAddress(address)) {
    case AF_INET: {
      sockaddr_in a;
      std::memcpy(&a, address.data(), sizeof a);
      if (!::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text)) return std::string();
      return std::string(text);
    }
    case AF_INET6: {
      sockaddr_in6 a;
      std::memcpy(&a, address.data(), sizeof a);
      if (!::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text)) return std::string();
      return std::string(text);
    }
    default:
      return std::nullopt;
  }
}

uint16_t GCDAsyncUdpSocket::portFromAddress(const std::string& address) {
  switch (familyFromAddress(address)) {
    case AF_INET: {
      sockaddr_in a;
      std::memcpy(&a, address.data(), sizeof a);
      return ntohs(a.sin_port);
    }
    case AF_INET6: {
      sockaddr_in6 a;
      std::memcpy(&a, address.data(), sizeof a);
      return ntohs(a.sin6_port);
    }
    default:
      return 0;
  }
}

}  // namespace tembrolexinplatform
