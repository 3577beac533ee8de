// Test helpers for the UDP socket: a delegate that records every callback
// (on a serial delegate queue of its own, noting that it ran there), address
// bytes built from text, and a bounded wait for a condition.
#ifndef TL_TESTS_PLATFORM_NET_UDP_SOCKET_RECORDER_H_
#define TL_TESTS_PLATFORM_NET_UDP_SOCKET_RECORDER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <any>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/gcd_async_udp_socket.h"

namespace tembrolexinplatform::udptest {

struct Event {
  std::string kind;  // "connected", "notConnected", "sent", "notSent", "received", "closed"
  long tag = 0;
  std::optional<TLError> error;
  std::string data, address;
  std::any context;
  bool onDelegateQueue = false;
};

class Recorder {
 public:
  Recorder() : delegate(std::make_shared<GCDAsyncUdpSocketDelegate>()) {
    delegate->udpSocketDidConnectToAddress = [this](GCDAsyncUdpSocket*, const std::string& a) {
      add({"connected", 0, std::nullopt, "", a, {}});
    };
    delegate->udpSocketDidNotConnect = [this](GCDAsyncUdpSocket*, const TLError& e) {
      add({"notConnected", 0, e, "", "", {}});
    };
    delegate->udpSocketDidSendDataWithTag = [this](GCDAsyncUdpSocket*, long tag) {
      add({"sent", tag, std::nullopt, "", "", {}});
    };
    delegate->udpSocketDidNotSendDataWithTag = [this](GCDAsyncUdpSocket*, long tag, const TLError& e) {
      add({"notSent", tag, e, "", "", {}});
    };
    delegate->udpSocketDidReceiveData = [this](GCDAsyncUdpSocket*, const std::string& d, const std::string& a,
                                               const std::any& context) {
      add({"received", 0, std::nullopt, d, a, context});
    };
    delegate->udpSocketDidCloseWithError = [this](GCDAsyncUdpSocket*, const std::optional<TLError>& e) {
      add({"closed", 0, e, "", "", {}});
    };
  }

  void add(Event e) {
    e.onDelegateQueue = queue->isCurrent();
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
  // Waits (at most 5 s) for `n` events of `kind`; returns those.
  std::vector<Event> awaitKind(const std::string& kind, std::size_t n = 1) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return ofKindLocked(kind).size() >= n; });
    return ofKindLocked(kind);
  }
  // Everything queued for the delegate so far has been delivered.
  std::vector<Event> settled() {
    queue->sync([] {});
    return await(0);
  }
  std::vector<Event> ofKind(const std::string& kind) {
    std::lock_guard<std::mutex> lock(mutex);
    return ofKindLocked(kind);
  }

  std::shared_ptr<GCDAsyncUdpSocketDelegate> delegate;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Event> events;
  // Last, so that it goes first: it delivers what is still queued (the close
  // of a socket being destroyed) while the record is still there.
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("delegate");

 private:
  std::vector<Event> ofKindLocked(const std::string& kind) const {
    std::vector<Event> out;
    for (const Event& e : events) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
};

// Address bytes of a numeric IPv4 or IPv6 host and a port.
inline std::string ipv4Address(const char* host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, host, &a.sin_addr);
  return std::string(reinterpret_cast<const char*>(&a), sizeof a);
}

inline std::string ipv6Address(const char* host, uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  ::inet_pton(AF_INET6, host, &a.sin6_addr);
  return std::string(reinterpret_cast<const char*>(&a), sizeof a);
}

// Polls `condition` every millisecond for at most 5 s of real time.
inline bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Whether this machine can bind ::1.
inline bool ipv6LoopbackAvailable() {
  int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  const std::string a = ipv6Address("::1", 0);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(a.data()), static_cast<socklen_t>(a.size())) == 0;
  ::close(fd);
  return ok;
}

}  // namespace tembrolexinplatform::udptest

#endif  // TL_TESTS_PLATFORM_NET_UDP_SOCKET_RECORDER_H_
