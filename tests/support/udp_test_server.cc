#include "tests/support/udp_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace tltest {

namespace {

std::string loopbackAddress(bool ipv6, uint16_t port) {
  if (ipv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    return std::string(reinterpret_cast<const char*>(&a), sizeof a);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return std::string(reinterpret_cast<const char*>(&a), sizeof a);
}

}  // namespace

UdpTestServer::UdpTestServer(ReplyFunction reply, bool ipv6, uint16_t port)
    : reply_(std::move(reply)), ipv6_(ipv6) {
  fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("UdpTestServer: socket");
  sockaddr_storage address{};
  socklen_t length;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(port);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    length = sizeof *a;
  }
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) < 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0 || ::pipe(stopPipe_) < 0) {
    ::close(fd_);
    throw std::runtime_error("UdpTestServer: bind");
  }
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  thread_ = std::thread([this] { threadMain(); });
}

UdpTestServer::~UdpTestServer() {
  [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], "x", 1);
  thread_.join();
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::close(fd_);
}

std::string UdpTestServer::address() const { return loopbackAddress(ipv6_, port_); }

bool UdpTestServer::sendTo(uint16_t port, const std::string& datagram) const {
  const std::string to = loopbackAddress(ipv6_, port);
  return ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                  static_cast<socklen_t>(to.size())) == static_cast<ssize_t>(datagram.size());
}

std::vector<std::string> UdpTestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

uint16_t UdpTestServer::lastSenderPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastSenderPort_;
}

bool UdpTestServer::awaitRequests(std::size_t count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return requests_.size() >= count; });
}

void UdpTestServer::threadMain() {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    char buffer[65536];
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) continue;
    std::string request(buffer, static_cast<std::size_t>(n));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      lastSenderPort_ =
          ntohs(from.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&from)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&from)->sin_port);
      cv_.notify_all();
    }
    for (const std::string& datagram : reply_ ? reply_(request) : std::vector<std::string>()) {
      ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
  }
}

std::string ntpFromMillis(uint64_t millis) {
  const uint64_t seconds = millis / 1000 + 2208988800ull;
  const uint64_t fraction = ((millis % 1000) << 32) / 1000;
  std::string out(8, '\0');
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<char>((seconds >> (24 - 8 * i)) & 0xFF);
    out[4 + i] = static_cast<char>((fraction >> (24 - 8 * i)) & 0xFF);
  }
  return out;
}

std::string sntpReply(const std::string& request, uint64_t receiveMillis, uint64_t transmitMillis) {
  std::string reply(48, '\0');
  reply[0] = 0x1C;  // version 3, mode 4 (server)
  reply[1] = 0x01;  // stratum 1
  if (request.size() >= 48) reply.replace(24, 8, request, 40, 8);
  reply.replace(32, 8, ntpFromMillis(receiveMillis));
  reply.replace(40, 8, ntpFromMillis(transmitMillis));
  return reply;
}

}  // namespace tltest
