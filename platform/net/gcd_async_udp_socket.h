// GCDAsyncUdpSocket: an asynchronous UDP socket on non-blocking BSD sockets,
// with all of its work serialised on one serial queue (the socket queue: its
// own, labelled "GCDAsyncUdpSocket", or one the caller gives).
//
// One object manages up to two descriptors, IPv4 and IPv6. They are created
// by a bind, a connect, enableBroadcast, or the first queued send (for the
// enabled families). Callers queue datagrams with a destination (a host and
// port, an address, or the connected peer), a time-out and a tag; host names
// are resolved on the global concurrent queue ("localhost" and "loopback"
// without a look-up, to 127.0.0.1 then ::1), the destination family is chosen
// by the usable and preferred families, and the datagrams are sent one at a
// time in queue order. A connect request waits in the same queue. Outcomes go
// to the delegate on the delegate queue. Received datagrams are delivered
// with the sender's address, continuously (beginReceiving) or one at a time
// (receiveOnce); filters may drop or delay datagrams in either direction.
//
// The time-out of a datagram bounds only the wait for a writable socket
// (EAGAIN); look-ups, queueing and send filters are not timed.
//
// Addresses are the raw bytes of a sockaddr_in (16 bytes, family AF_INET) or
// sockaddr_in6 (28 bytes, family AF_INET6) as Linux lays them out (no length
// byte; a 16-bit family in host order, the port in network order).
//
// Errors: domain GCDAsyncUdpSocketErrorDomain with the codes of
// GCDAsyncUdpSocketError and the texts below as localizedDescription;
// system-call errors in the domain "NSPOSIXErrorDomain" with errno, its text
// and the failed call as failure reason ("Error in bind() function", ...);
// look-up errors in the domain "kCFStreamErrorDomainNetDB" with
// getaddrinfo's own code (negative on Linux; EAI_FAIL when the look-up gave
// no usable address) and its text. Operations with an error out-parameter
// set it only when they answer false.
//
// Not offered here: platform streams (readStream and writeStream answer
// none) and backgrounding (enableBackgroundingOnSockets answers false).
//
// Thread safety: every public operation may be called from any thread,
// including from delegate callbacks and filters on any queue. Operations
// with a result or an error out-parameter run synchronously on the socket
// queue, the others are queued there; on the socket queue (or on a queue
// marked with markSocketQueueTargetQueue) they run inline, so a delegate
// whose queue is the socket queue may call back in without deadlock.
#ifndef TL_PLATFORM_NET_GCD_ASYNC_UDP_SOCKET_H_
#define TL_PLATFORM_NET_GCD_ASYNC_UDP_SOCKET_H_

#include <netinet/in.h>

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/dispatch.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

class GCDAsyncUdpSocket;

inline constexpr char GCDAsyncUdpSocketErrorDomain[] = "GCDAsyncUdpSocketErrorDomain";
// The label of a socket queue that the socket makes itself.
inline constexpr char GCDAsyncUdpSocketQueueName[] = "GCDAsyncUdpSocket";
// The name a stream thread would carry; no stream thread runs here.
inline constexpr char GCDAsyncUdpSocketThreadName[] = "GCDAsyncUdpSocket-CFStream";
// The name of the socket's exception; nothing throws it.
inline constexpr char GCDAsyncUdpSocketException[] = "GCDAsyncUdpSocketException";
inline constexpr char kPosixErrorDomain[] = "NSPOSIXErrorDomain";
inline constexpr char kNetDBErrorDomain[] = "kCFStreamErrorDomainNetDB";
// Posted by the app when it returns to the foreground; every socket then
// resumes its read sources.
inline constexpr char kApplicationWillEnterForegroundNotification[] =
    "UIApplicationWillEnterForegroundNotification";

enum GCDAsyncUdpSocketError : int64_t {
  GCDAsyncUdpSocketNoError = 0,
  GCDAsyncUdpSocketBadConfigError = 1,  // the socket is not in a state for the operation
  GCDAsyncUdpSocketBadParamError = 2,   // an argument is invalid
  GCDAsyncUdpSocketSendTimeoutError = 3,
  GCDAsyncUdpSocketClosedError = 4,
  GCDAsyncUdpSocketOtherError = 5,  // no usable address
};

// The socket's delegate. Every callback is optional: an empty one is not
// implemented and nothing is queued for it. Callbacks run on the delegate
// queue, never on the socket queue's own stack; the socket pointer names the
// socket and is valid as long as its owner keeps the socket.
struct GCDAsyncUdpSocketDelegate {
  // A connect request succeeded; `address` is the peer's.
  std::function<void(GCDAsyncUdpSocket* sock, const std::string& address)> udpSocketDidConnectToAddress;
  // A connect request failed.
  std::function<void(GCDAsyncUdpSocket* sock, const TLError& error)> udpSocketDidNotConnect;
  // The datagram was handed to the system, or the send filter dropped it.
  std::function<void(GCDAsyncUdpSocket* sock, long tag)> udpSocketDidSendDataWithTag;
  // Resolution, address choice, the destination rule or the send time-out
  // failed.
  std::function<void(GCDAsyncUdpSocket* sock, long tag, const TLError& error)>
      udpSocketDidNotSendDataWithTag;
  // A datagram arrived from `address` and was accepted; `filterContext` is
  // what the receive filter gave (empty without one).
  std::function<void(GCDAsyncUdpSocket* sock, const std::string& data, const std::string& address,
                     const std::any& filterContext)>
      udpSocketDidReceiveData;
  // The sockets were closed after having been created; no error for a close
  // that was asked for.
  std::function<void(GCDAsyncUdpSocket* sock, const std::optional<TLError>& error)>
      udpSocketDidCloseWithError;
};

// Decides on a received datagram: true accepts it. May set `context`, which
// the delegate receives with the datagram.
using GCDAsyncUdpSocketReceiveFilterBlock =
    std::function<bool(const std::string& data, const std::string& address, std::any* context)>;
// Decides on a datagram about to be sent to `address`: false drops it (the
// delegate is told it was sent).
using GCDAsyncUdpSocketSendFilterBlock =
    std::function<bool(const std::string& data, const std::string& address, long tag)>;

// No platform streams exist here; the stream accessors answer none.
struct GCDAsyncUdpSocketStream;

class GCDAsyncUdpSocket {
 public:
  // The bits of flags().
  enum Flag : uint32_t {
    kDidCreateSockets = 0x1,
    kDidBind = 0x2,  // by bind, by connect, or by the first send
    kConnecting = 0x4,
    kDidConnect = 0x8,
    kReceiveOnce = 0x10,
    kReceiveContinuous = 0x20,
    kIPv4Deactivated = 0x40,  // by bind, connect or joining an IPv6 group
    kIPv6Deactivated = 0x80,  // by bind, connect or joining an IPv4 group
    kSend4SourceSuspended = 0x100,
    kSend6SourceSuspended = 0x200,
    kReceive4SourceSuspended = 0x400,
    kReceive6SourceSuspended = 0x800,
    kSock4CanAcceptBytes = 0x1000,
    kSock6CanAcceptBytes = 0x2000,
    kCloseAfterSends = 0x8000,
    kFlipFlop = 0x10000,             // which socket is read first when both have data
    kAddedStreamListener = 0x20000,  // never set here: no streams
  };

  // The bits of config().
  enum ConfigBit : uint16_t {
    kIPv4Disabled = 0x1,
    kIPv6Disabled = 0x2,
    kPreferIPv4 = 0x4,
    kPreferIPv6 = 0x8,
  };

  // The delegate is held weakly (and strongly while one of its callbacks is
  // on its way); `delegateQueue` may be null (no callbacks). `socketQueue`
  // is the socket queue (null: a new one labelled "GCDAsyncUdpSocket").
  // Resolution uses the dispatcher's global queue, send time-outs its
  // timers; the dispatcher must outlive the socket. No descriptor is opened
  // yet. Listens for kApplicationWillEnterForegroundNotification on the
  // default notification centre.
  GCDAsyncUdpSocket(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                    std::shared_ptr<DispatchQueue> delegateQueue, std::shared_ptr<SerialQueue> socketQueue,
                    Dispatcher& dispatcher = Dispatcher::shared());
  GCDAsyncUdpSocket(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                    std::shared_ptr<DispatchQueue> delegateQueue, Dispatcher& dispatcher = Dispatcher::shared());
  explicit GCDAsyncUdpSocket(std::shared_ptr<SerialQueue> socketQueue,
                             Dispatcher& dispatcher = Dispatcher::shared());
  explicit GCDAsyncUdpSocket(Dispatcher& dispatcher = Dispatcher::shared());
  // Closes without an error (a close callback when sockets existed). Must not
  // be the last owner of its own socket queue while running on it.
  ~GCDAsyncUdpSocket();
  GCDAsyncUdpSocket(const GCDAsyncUdpSocket&) = delete;
  GCDAsyncUdpSocket& operator=(const GCDAsyncUdpSocket&) = delete;

  // --- delegate ----------------------------------------------------------
  // The set* forms queue the change; the synchronously* forms wait for it.
  std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate();
  void setDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate);
  void synchronouslySetDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate);
  std::shared_ptr<DispatchQueue> delegateQueue();
  void setDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue);
  void synchronouslySetDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue);
  void getDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate>* delegate,
                   std::shared_ptr<DispatchQueue>* delegateQueue);
  void setDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate, std::shared_ptr<DispatchQueue> delegateQueue);
  void synchronouslySetDelegate(std::weak_ptr<GCDAsyncUdpSocketDelegate> delegate,
                                std::shared_ptr<DispatchQueue> delegateQueue);

  // --- configuration -----------------------------------------------------
  // Families are enabled by default and neither is preferred. A change
  // applies to sockets created and destinations chosen afterwards.
  bool isIPv4Enabled();
  void setIPv4Enabled(bool enabled);
  bool isIPv6Enabled();
  void setIPv6Enabled(bool enabled);
  bool isIPv4Preferred();
  bool isIPv6Preferred();
  bool isIPVersionNeutral();
  void setPreferIPv4();
  void setPreferIPv6();
  void setIPVersionNeutral();
  // The largest datagram read per family (9216 bytes each by default);
  // longer ones are cut to this length.
  uint16_t maxReceiveIPv4BufferSize();
  void setMaxReceiveIPv4BufferSize(uint16_t max);
  uint32_t maxReceiveIPv6BufferSize();
  void setMaxReceiveIPv6BufferSize(uint32_t max);
  // Any value the caller attaches; the socket only keeps it.
  std::any userData();
  void setUserData(std::any userData);

  // --- state -------------------------------------------------------------
  // Local address bytes, numeric host and port of the IPv4 socket if it
  // exists, else of the IPv6 one; empty, none and 0 until the socket is bound
  // (by bind, connect or a first send).
  std::string localAddress();
  std::optional<std::string> localHost();
  uint16_t localPort();
  std::string localAddress_IPv4();
  std::optional<std::string> localHost_IPv4();
  uint16_t localPort_IPv4();
  std::string localAddress_IPv6();
  std::optional<std::string> localHost_IPv6();
  uint16_t localPort_IPv6();
  // The peer of a connected socket; empty, none and 0 otherwise.
  std::string connectedAddress();
  std::optional<std::string> connectedHost();
  uint16_t connectedPort();
  bool isConnected();
  bool isClosed();
  // With sockets: whether that family's descriptor exists; without: whether
  // that family is enabled.
  bool isIPv4();
  bool isIPv6();
  // The state bits (Flag) and configuration bits (ConfigBit).
  uint32_t flags();
  uint16_t config();

  // --- binding and connecting --------------------------------------------
  // Binds a socket of each usable family to `port` (0: any free port) on an
  // interface: none means every address, "localhost" or "loopback" the
  // loopback addresses, anything else the first interface of each family
  // whose name or numeric address equals `interface`. A family with no such
  // interface is deactivated. Needs a delegate and a delegate queue, a
  // socket not yet bound, connecting or connected, and an enabled family.
  bool bindToPort(uint16_t port, TLError* error = nullptr);
  bool bindToPort(uint16_t port, const std::string& interface, TLError* error = nullptr);
  // Binds the socket of the address's family to it and deactivates the
  // other family.
  bool bindToAddress(const std::string& address, TLError* error = nullptr);
  // Queues a connect request: once it is dequeued (after the datagrams
  // queued before it) and the host resolved, the socket of the chosen family
  // is connected, the other one closed, and the delegate is told
  // (udpSocketDidConnectToAddress or udpSocketDidNotConnect). False at once
  // when the socket has no delegate or queue, is connecting or connected
  // already, has both families disabled, or `host` is empty.
  bool connectToHost(const std::string& host, uint16_t port, TLError* error = nullptr);
  bool connectToAddress(const std::string& address, TLError* error = nullptr);

  // --- multicast and broadcast -------------------------------------------
  // `group` is a numeric address; the interface (found as for bindToPort;
  // none: the system's choice) must be of the group's family, and so must a
  // socket. Joining or leaving with one family closes the other family's
  // socket. Needs a bound socket that is neither connecting nor connected.
  bool joinMulticastGroup(const std::string& group, TLError* error = nullptr);
  bool joinMulticastGroup(const std::string& group, const std::string& interface, TLError* error = nullptr);
  bool leaveMulticastGroup(const std::string& group, TLError* error = nullptr);
  bool leaveMulticastGroup(const std::string& group, const std::string& interface, TLError* error = nullptr);
  // Turns SO_BROADCAST on or off on the IPv4 socket, creating the sockets if
  // needed. False without an error when there is no IPv4 socket.
  bool enableBroadcast(bool flag, TLError* error = nullptr);

  // --- sending -----------------------------------------------------------
  // Every form drops empty data with no callback. `timeoutSeconds` < 0: no
  // limit.
  //
  // Queue `data` for the connected peer (no limit in the first form).
  void sendData(std::string data, long tag);
  void sendData(std::string data, double timeoutSeconds, long tag);
  // Queues `data` for `host` (a name or a numeric address) and `port`.
  void sendData(std::string data, const std::string& host, uint16_t port, double timeoutSeconds, long tag);
  // Queues `data` for `address` (address bytes); the family is the
  // address's.
  void sendDataToAddress(std::string data, const std::string& address, double timeoutSeconds, long tag);
  // Sets (or, with an empty filter or no queue, clears) the send filter,
  // which runs on `filterQueue`. The first form makes it asynchronous: the
  // socket goes on with other work while it decides. A synchronous filter
  // holds the socket queue until it answers.
  void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filter, std::shared_ptr<DispatchQueue> filterQueue);
  void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filter, std::shared_ptr<DispatchQueue> filterQueue,
                     bool isAsynchronous);

  // --- receiving ---------------------------------------------------------
  // Receive one accepted datagram, or every one until paused. False, with
  // code 1 "Must bind socket before you can receive data. ...", when no
  // socket exists yet (a queued send creates them on the socket queue before
  // a later receive request runs there).
  bool receiveOnce(TLError* error = nullptr);
  bool beginReceiving(TLError* error = nullptr);
  // Stops delivering; datagrams wait in the system until receiving resumes.
  void pauseReceiving();
  // Sets or clears the receive filter, as for the send filter.
  void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filter, std::shared_ptr<DispatchQueue> filterQueue);
  void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filter, std::shared_ptr<DispatchQueue> filterQueue,
                        bool isAsynchronous);

  // --- closing -----------------------------------------------------------
  // Closes without an error; queued datagrams are dropped without
  // callbacks. Configuration, delegate, filters and limits stay; a later
  // bind, connect or send creates new sockets.
  void close();
  // Closes once every queued datagram has been dealt with (at once when
  // none is).
  void closeAfterSending();

  // --- the socket queue --------------------------------------------------
  // Marks (or unmarks) a queue that the socket queue targets, so that
  // operations called from its blocks run inline instead of waiting for a
  // socket queue whose blocks would have to run on the same thread.
  void markSocketQueueTargetQueue(const std::shared_ptr<DispatchQueue>& socketQueuesPreConfiguredTargetQueue);
  void unmarkSocketQueueTargetQueue(const std::shared_ptr<DispatchQueue>& socketQueuesPreviouslyTargetedQueue);
  // Runs `block` on the socket queue and waits for it.
  void performBlock(const Block& block);
  // The descriptors (IPv4 first for socketFD); -1 unless called on the socket
  // queue (from performBlock) or when absent. Using them must not upset the
  // socket's own state: options are fine, reading or closing is not.
  int socketFD();
  int socket4FD();
  int socket6FD();
  // No platform streams here: always none.
  std::shared_ptr<GCDAsyncUdpSocketStream> readStream();
  std::shared_ptr<GCDAsyncUdpSocketStream> writeStream();
  // Backgrounding is not offered: always false.
  bool enableBackgroundingOnSockets();
  // The foreground handler: resumes both read sources (queued).
  void applicationWillEnterForeground();

  // For tests: replaces the call that hands a datagram to the system (send
  // on a connected socket, `to` null; sendto otherwise). It answers as send
  // does, setting errno on failure, so a test can make the system refuse
  // with EAGAIN. Empty: the system's own.
  using SendCall = std::function<long(int fd, const std::string& data, const sockaddr* to, socklen_t toLength)>;
  void setSendCall(SendCall call);

  // --- addresses ---------------------------------------------------------
  // Address bytes of at least 16 bytes with family AF_INET, or of at least
  // 28 bytes with family AF_INET6, decode to the numeric host (empty when
  // inet_ntop fails), the port in host order and the family; anything else
  // to none, 0, 0 and false.
  static std::optional<std::string> hostFromAddress(const std::string& address);
  static uint16_t portFromAddress(const std::string& address);
  static int familyFromAddress(const std::string& address);
  static bool isIPv4Address(const std::string& address);
  static bool isIPv6Address(const std::string& address);
  static bool getHost(std::string* host, uint16_t* port, const std::string& address);
  static bool getHost(std::string* host, uint16_t* port, int* family, const std::string& address);
  static std::string hostFromSockaddr4(const sockaddr_in* sockaddr4);
  static std::string hostFromSockaddr6(const sockaddr_in6* sockaddr6);
  static uint16_t portFromSockaddr4(const sockaddr_in* sockaddr4);
  static uint16_t portFromSockaddr6(const sockaddr_in6* sockaddr6);

 private:
  struct Impl;
  // Runs `f` on the socket queue and waits (inline when already there).
  template <typename F>
  void runSync(F&& f);
  // Queues `f` on the socket queue (inline when already there).
  template <typename F>
  void runAsync(F f);
  bool onSocketQueue() const;

  std::shared_ptr<SerialQueue> queue_;
  std::shared_ptr<Impl> impl_;
  uint64_t foregroundObserver_ = 0;
  // Queues marked with this socket's key, unmarked when it goes.
  tembrolexin::Mutex markedMutex_;
  std::vector<std::weak_ptr<DispatchQueue>> marked_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_GCD_ASYNC_UDP_SOCKET_H_
