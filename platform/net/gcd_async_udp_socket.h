// GCDAsyncUdpSocket: an asynchronous UDP socket on non-blocking BSD sockets,
// with all of its work serialised on one serial queue of its own (the socket
// queue).
//
// One object manages up to two descriptors, IPv4 and IPv6, created by the
// first queued send for the enabled families. Callers queue datagrams with a
// host, a port, a time-out and a tag; the host is resolved on the global
// concurrent queue ("localhost" and "loopback" without a look-up, to
// 127.0.0.1 then ::1), the destination family is chosen by the enabled and
// preferred families, and the datagrams are sent one at a time in queue order.
// Each outcome goes to the delegate on the delegate queue. Once receiving has
// begun, every datagram that arrives is delivered with its sender's address.
//
// The time-out of a datagram bounds only the wait for a writable socket
// (EAGAIN); look-ups and queueing are not timed.
//
// Addresses are the raw bytes of a sockaddr_in (16 bytes, family AF_INET) or
// sockaddr_in6 (28 bytes, family AF_INET6) as Linux lays them out (no length
// byte; a 16-bit family).
//
// Errors: domain "GCDAsyncUdpSocketErrorDomain" with code 1 bad
// configuration, 2 bad parameter, 3 send time-out ("Send operation timed
// out"), 4 socket closed ("Socket closed"), 5 other (no usable address);
// system-call errors in the domain "NSPOSIXErrorDomain" with errno, its text
// and the failed call as failure reason; look-up errors in the domain
// "kCFStreamErrorDomainNetDB" with getaddrinfo's own code (negative on
// Linux; EAI_FAIL when the look-up gave no usable address) and its text.
//
// Thread safety: every public operation may be called from any thread,
// including from delegate callbacks on any queue. Operations with a result
// wait for the socket queue; the others only queue their work. Connecting,
// binding, multicast, broadcast and send or receive filters are not offered.
#ifndef TL_PLATFORM_NET_GCD_ASYNC_UDP_SOCKET_H_
#define TL_PLATFORM_NET_GCD_ASYNC_UDP_SOCKET_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/api/dispatch.h"
#include "platform/api/event_params.h"
#include "platform/api/safe_dispatch.h"

namespace tembrolexinplatform {

class GCDAsyncUdpSocket;

inline constexpr char kGCDAsyncUdpSocketErrorDomain[] = "GCDAsyncUdpSocketErrorDomain";
inline constexpr char kGCDAsyncUdpSocketQueueName[] = "GCDAsyncUdpSocket";
inline constexpr char kPosixErrorDomain[] = "NSPOSIXErrorDomain";
inline constexpr char kNetDBErrorDomain[] = "kCFStreamErrorDomainNetDB";

enum GCDAsyncUdpSocketError : int64_t {
  kGCDAsyncUdpSocketNoError = 0,
  kGCDAsyncUdpSocketBadConfigError = 1,
  kGCDAsyncUdpSocketBadParamError = 2,
  kGCDAsyncUdpSocketSendTimeoutError = 3,
  kGCDAsyncUdpSocketClosedError = 4,
  kGCDAsyncUdpSocketOtherError = 5,
};

// The socket's delegate. Every callback is optional: an empty one is not
// implemented and nothing is queued for it. Callbacks run on the delegate
// queue; the socket pointer names the socket and is valid as long as its
// owner keeps the socket.
struct GCDAsyncUdpSocketDelegate {
  // The datagram was handed to the system.
  std::function<void(GCDAsyncUdpSocket* sock, long tag)> udpSocketDidSendDataWithTag;
  // Resolution, address choice or the send time-out failed.
  std::function<void(GCDAsyncUdpSocket* sock, long tag, const TLError& error)>
      udpSocketDidNotSendDataWithTag;
  // A datagram arrived from `address`.
  std::function<void(GCDAsyncUdpSocket* sock, const std::string& data, const std::string& address)>
      udpSocketDidReceiveData;
  // The sockets were closed after having been created; no error for a close
  // that was asked for.
  std::function<void(GCDAsyncUdpSocket* sock, const std::optional<TLError>& error)>
      udpSocketDidCloseWithError;
};

class GCDAsyncUdpSocket {
 public:
  // The delegate is held weakly (and strongly while one of its callbacks is
  // on its way); `delegateQueue` may be null (no callbacks). Resolution uses
  // the dispatcher's global queue, send time-outs its timers; the dispatcher
  // must outlive the socket. No descriptor is opened yet.
  GCDAsyncUdpSocket(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                    std::shared_ptr<DispatchQueue> delegateQueue,
                    Dispatcher& dispatcher = Dispatcher::shared());
  // Closes without an error (a close callback when sockets existed). Must not
  // run on the socket queue itself.
  ~GCDAsyncUdpSocket();
  GCDAsyncUdpSocket(const GCDAsyncUdpSocket&) = delete;
  GCDAsyncUdpSocket& operator=(const GCDAsyncUdpSocket&) = delete;

  // Queues `data` for `host` (a name or a numeric address) and `port`.
  // Empty data is dropped with no callback. `timeoutSeconds` < 0: no limit.
  void sendData(std::string data, const std::string& host, uint16_t port, double timeoutSeconds,
                long tag);
  // Turns continuous receiving on. False, with `error` (if given) set to
  // code 1 "Must bind socket before you can receive data. ...", when no
  // socket exists yet (the first queued send creates them).
  bool beginReceiving(TLError* error = nullptr);
  // Closes without an error; queued datagrams are dropped without callbacks.
  void close();

  bool isIPv4Enabled();
  void setIPv4Enabled(bool enabled);
  bool isIPv6Enabled();
  void setIPv6Enabled(bool enabled);
  void setPreferIPv4();
  void setPreferIPv6();
  void setIPVersionNeutral();
  bool isClosed();
  // Local port of the IPv4 socket if it exists and is bound, else of the
  // IPv6 socket; 0 when neither.
  uint16_t localPort();

  // Address decoding: the numeric host, the port (host byte order) and the
  // family of address bytes; nothing, 0 and 0 for anything else.
  static std::optional<std::string> hostFromAddress(const std::string& address);
  static uint16_t portFromAddress(const std::string& address);
  static int familyFromAddress(const std::string& address);

 private:
  struct Impl;
  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_GCD_ASYNC_UDP_SOCKET_H_
