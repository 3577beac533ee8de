// SntpClient: one SNTP exchange at a time with a named server.
//
// requestTimeWithHost sends a 48-byte client request (version 3, mode 3)
// over a GCDAsyncUdpSocket and arms one time-out action; the reply yields an
// NTPResult with the round-trip delay, the offset of the local clock and the
// corrected time, handed to the delegate. The owner asks again, or asks
// another server; the client never repeats a request on its own.
//
// A reply is taken only when it answers the latest request, as an SNTP
// client should: it comes from the address and port the request was sent to
// (noted by the socket's send filter as the datagram leaves), it is 48 to 68
// bytes long (the header and at most an authenticator), its mode is 4
// (server), its originate time stamp is the transmit time stamp of the
// latest request, and that request has had no reply yet and has not timed
// out. A reply of a synchronised server (leap indicator not 3) with a
// stratum of 1 to 15 and a transmit time stamp gives the NTPResult. A reply
// of stratum 0 is a kiss-of-death: its code (the reference identifier,
// "RATE", "DENY", ...) is logged at Warning and the exchange ends as a
// failure (sntpClientFailed, domain kSntpClientErrorDomain), so that the
// owner asks another server. Anything else is logged at Debug and ignored,
// and the exchange ends at its time-out. The low 12 bits of the request's
// transmit fraction, finer than the wall clock's microseconds, are random,
// so that an originate time stamp cannot be guessed from the time alone.
//
// Time stamps read back to milliseconds rounded to the nearest one, in
// integer arithmetic and era-aware: a seconds count below 2^31 is read as
// era 1 (after the rollover of 2036-02-07), so every time from 1968 to 2104
// reads right.
//
// Every delegate call, socket callback and the time-out action run on the
// delegate queue: the dispatcher's main queue, or under a test host a serial
// queue of the client's own ("mine"). The server port is 123; tests point the
// client at a loopback server on another port.
//
// Thread safety: requestTimeWithHost and the accessors may be called from any
// thread; the client's state is kept under its own lock, and no lock is held
// while the delegate runs. Clocks come from the dispatcher's Clock: the wall
// clock for time stamps, the steady clock for timeReference, the up-time for
// upTimeMillis.
#ifndef TL_PLATFORM_NET_SNTP_CLIENT_H_
#define TL_PLATFORM_NET_SNTP_CLIENT_H_

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/gcd_async_udp_socket.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

// The domain of the client's own failures; their one code: the server sent a
// kiss-of-death.
inline constexpr char kSntpClientErrorDomain[] = "SntpClientErrorDomain";
inline constexpr int64_t kSntpKissOfDeathError = 1;

// An NTP time stamp, era 0: seconds since 1900-01-01 UTC modulo 2^32 and the
// fraction of a second in units of 2^-32 s.
struct ntpTimestamp {
  uint32_t wholeSeconds;
  uint32_t fractSeconds;
};

// The current wall-clock time (of Clock::real()) as an NTP time stamp.
void ntp_time_now(ntpTimestamp* ts);
// `tv` (seconds and microseconds since 1970) as an NTP time stamp: seconds
// + 2208988800 modulo 2^32, fraction ((us + 0.5) * 2^32) * 1e-6 truncated.
// Microseconds out of 0..999999 first carry into the seconds, rounding down
// ((s, 5000000) is (s + 5, 0); (s, -1) is (s - 1, 999999)).
void unix2ntp(const timeval* tv, ntpTimestamp* ts);

// The outcome of one exchange. Immutable.
class NTPResult {
 public:
  NTPResult(std::string rawDate, int64_t timeReference, int64_t roundTrip, int64_t transmitTime,
            int64_t clockOffset, int64_t upTime, double systemTime, std::string ntpSource);

  const std::string& rawNTPInfo() const { return rawNTPInfo_; }   // the reply as received
  int64_t timeReference() const { return timeReference_; }       // steady ms at decoding
  int64_t roundTripTime() const { return roundTripTime_; }       // ms
  int64_t transmitTime() const { return transmitTime_; }         // server's, ms since 1970
  int64_t clockOffset() const { return clockOffset_; }           // ms; positive: local behind
  int64_t upTimeMillis() const { return upTimeMillis_; }         // core up-time at decoding
  double ntpTime() const { return ntpTime_; }                    // corrected ms since 1970
  const std::string& ntpSource() const { return ntpSource_; }    // the host asked

 private:
  std::string rawNTPInfo_;
  int64_t timeReference_, roundTripTime_, transmitTime_, clockOffset_, upTimeMillis_;
  double ntpTime_;
  std::string ntpSource_;
};

class TLSntpClientDelegate {
 public:
  virtual ~TLSntpClientDelegate() = default;
  virtual void sntpClientReceivedNTPInfo(const NTPResult& result) = 0;
  virtual void sntpClientFailed(const TLError& error) = 0;
  virtual void sntpClientTimedOut() = 0;
};

class SntpClient {
 public:
  struct Options {
    // Queues, timers and clock; must outlive the client.
    Dispatcher* dispatcher = &Dispatcher::shared();
    uint16_t serverPort = 123;
  };

  SntpClient();
  explicit SntpClient(Options options);
  // Cancels a pending time-out; callbacks still queued find the client gone
  // and do nothing.
  ~SntpClient();
  SntpClient(const SntpClient&) = delete;
  SntpClient& operator=(const SntpClient&) = delete;

  // The delegate is held strongly.
  void setDelegate(std::shared_ptr<TLSntpClientDelegate> delegate);

  // Starts an exchange with `host`. True when the request is on its way and
  // receiving is on; the outcome comes through the delegate. A time-out
  // action is armed unless one is pending already (which keeps its first
  // deadline).
  bool requestTimeWithHost(const std::string& host, double timeoutSeconds);

  bool requestInProgress() const;
  std::optional<NTPResult> ntpResult() const;
  // The log text of ntpResult() (empty when there is none).
  std::string printNTPInfo() const;

  // The 48-byte request stamped with the current wall-clock time (random
  // below the microsecond), which becomes the time stamp that a reply must
  // echo; from now on it is the request a reply answers.
  std::string createPacket();
  // Takes one datagram as a reply to the latest request, with every test
  // above but the sender's address (the caller vouches for it).
  void decodePacket(const std::string& data);

  // Milliseconds since boot, following the wall clock (only differences of
  // two readings are used).
  double getTimeSinceBoot() const;
  // Milliseconds of the steady clock.
  int64_t getMachElapsedTime() const;

 private:
  struct Impl;
  // State shared with queued callbacks (which hold it weakly). The queue and
  // the socket live here rather than in it, so that they are never destroyed
  // on one of their own threads. Destroyed in reverse order: socket first.
  std::shared_ptr<Impl> impl_;
  std::shared_ptr<SerialQueue> ownQueue_;  // the delegate queue under a test host
  std::shared_ptr<SerialQueue> socketQueue_;  // the socket's; its send filter runs there
  std::shared_ptr<GCDAsyncUdpSocketDelegate> socketDelegate_;
  std::unique_ptr<GCDAsyncUdpSocket> socket_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_SNTP_CLIENT_H_
