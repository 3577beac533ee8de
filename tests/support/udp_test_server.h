// A UDP server on a loopback address and an ephemeral port, for tests of the
// UDP socket and the SNTP client. Never binds port 123 or a non-loopback
// address.
//
// Each datagram that arrives is recorded and handed to the reply function on
// the server's thread; every datagram the function returns is sent back to
// the sender, in order. The function may block (to let a test move a fake
// clock between request and reply); the destructor waits for it.
//
// Helpers build SNTP replies: ntpFromMillis turns milliseconds since 1970
// into the 8 bytes of an NTP time stamp (fraction truncated, as a server
// would send it), sntpReply lays out a 48-byte server reply that echoes the
// request's transmit time stamp as its originate time stamp.
//
// Thread-safe: requests()/awaitRequests() may be called from any thread.
#ifndef TL_TESTS_SUPPORT_UDP_TEST_SERVER_H_
#define TL_TESTS_SUPPORT_UDP_TEST_SERVER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tltest {

class UdpTestServer {
 public:
  using ReplyFunction = std::function<std::vector<std::string>(const std::string& request)>;

  // Binds 127.0.0.1 (or ::1 with ipv6) on an ephemeral port, or on `port`
  // (to pair an IPv6 server with an IPv4 one); throws std::runtime_error
  // when it cannot.
  explicit UdpTestServer(ReplyFunction reply, bool ipv6 = false, uint16_t port = 0);
  ~UdpTestServer();
  UdpTestServer(const UdpTestServer&) = delete;
  UdpTestServer& operator=(const UdpTestServer&) = delete;

  uint16_t port() const { return port_; }
  // The server's own address (sockaddr_in or sockaddr_in6 bytes).
  std::string address() const;
  // Sends `datagram` from the server's socket to `port` on the loopback
  // address of its family; false when the system refuses.
  bool sendTo(uint16_t port, const std::string& datagram) const;
  std::vector<std::string> requests() const;
  // The port the latest request came from (0 before the first); set before
  // the reply function runs, so the function may send to it.
  uint16_t lastSenderPort() const;
  // Blocks (real time, at most 5 s) until `count` datagrams have arrived.
  bool awaitRequests(std::size_t count) const;

 private:
  void threadMain();

  ReplyFunction reply_;
  bool ipv6_ = false;
  int fd_ = -1;
  int stopPipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::string> requests_;
  uint16_t lastSenderPort_ = 0;
  std::thread thread_;
};

// The NTP time stamp (big-endian seconds since 1900, then the fraction
// truncated to 2^-32 s) of `millis` since 1970.
std::string ntpFromMillis(uint64_t millis);

// A 48-byte server reply (version 3, mode 4, stratum 1) to `request`: its
// originate time stamp is the request's transmit time stamp (bytes 40-47).
std::string sntpReply(const std::string& request, uint64_t receiveMillis, uint64_t transmitMillis);

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_UDP_TEST_SERVER_H_
