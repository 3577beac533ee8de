// SntpClient: one SNTP exchange at a time with a named server.
//
// requestTimeWithHost sends a 48-byte client request (version 3, mode 3)
// over a GCDAsyncUdpSocket and arms one time-out action; the reply yields an
// NTPResult with the round-trip delay, the offset of the local clock and the
// corrected time, handed to the delegate. The owner asks again, or asks
// another server; the client never repeats a request on its own.
//
// A reply is taken only when it is at least 48 bytes long, its originate
// time stamp is the transmit time stamp of our latest request and its
// transmit time stamp is not zero; anything else (a stray or late datagram,
// a short one, a kiss-of-death reply without a time) is logged at Debug and
// ignored, and the exchange ends at its time-out. The mode, stratum and leap
// indicator are not looked at.
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

  // The 48-byte request stamped with the current wall-clock time, which
  // becomes the time stamp that a reply must echo.
  std::string createPacket();
  // Takes one received datagram as the reply to the latest request.
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
  std::shared_ptr<GCDAsyncUdpSocketDelegate> socketDelegate_;
  std::unique_ptr<GCDAsyncUdpSocket> socket_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_SNTP_CLIENT_H_
