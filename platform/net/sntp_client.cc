#include "platform/net/sntp_client.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <random>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

constexpr uint32_t kSecondsFrom1900To1970 = 2208988800u;
constexpr std::size_t kPacketSize = 48;
// A reply may carry an authenticator after the header (a 32-bit key id and
// a 128-bit digest); anything longer is not a reply to our request.
constexpr std::size_t kMaxPacketSize = kPacketSize + 20;
// The fraction bits worth less than a microsecond (2^12 units of 2^-32 s are
// 0.95 us), the wall clock's resolution.
constexpr uint32_t kBelowResolutionMask = 0xFFFu;

ntpTimestamp fromUnix(int64_t seconds, int64_t micros) {
  // Microseconds out of range carry into the seconds, rounding down; the
  // seconds are counted modulo 2^32 anyway, so the sum wraps unsigned.
  int64_t carry = micros / 1000000;
  int64_t rest = micros % 1000000;
  if (rest < 0) {
    rest += 1000000;
    --carry;
  }
  const uint64_t unixSeconds = static_cast<uint64_t>(seconds) + static_cast<uint64_t>(carry);
  ntpTimestamp ts;
  ts.wholeSeconds = static_cast<uint32_t>(unixSeconds & 0xFFFFFFFFu) + kSecondsFrom1900To1970;
  ts.fractSeconds =
      static_cast<uint32_t>(((static_cast<double>(rest) + 0.5) * 4294967296.0) * 0.000001);
  return ts;
}

ntpTimestamp fromWallMicros(int64_t wallMicros) { return fromUnix(0, wallMicros); }

// Random bits for the part of a request's transmit time stamp below the
// clock's resolution, so that a reply's originate time stamp cannot be
// guessed from the time alone.
uint32_t randomBelowResolution() {
  static tembrolexin::Mutex* mutex = new tembrolexin::Mutex;
  static std::mt19937* engine = new std::mt19937(std::random_device{}());
  std::lock_guard lock(*mutex);
  return static_cast<uint32_t>((*engine)()) & kBelowResolutionMask;
}

// Whether two socket addresses name the same host and port.
bool sameEndpoint(const std::string& a, const std::string& b) {
  std::string hostA, hostB;
  uint16_t portA = 0, portB = 0;
  int familyA = 0, familyB = 0;
  if (!GCDAsyncUdpSocket::getHost(&hostA, &portA, &familyA, a)) return false;
  if (!GCDAsyncUdpSocket::getHost(&hostB, &portB, &familyB, b)) return false;
  return familyA == familyB && portA == portB && hostA == hostB;
}

std::string endpointText(const std::string& address) {
  std::string host;
  uint16_t port = 0;
  if (!GCDAsyncUdpSocket::getHost(&host, &port, address)) return "an unknown address";
  return host + ":" + std::to_string(port);
}

// A kiss code (four ASCII letters) as text, unprintable bytes as '?'.
std::string kissCode(const std::string& packet) {
  std::string code = packet.substr(12, 4);
  for (char& c : code) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return code;
}

void putBigEndian32(std::string& out, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
}

uint32_t getBigEndian32(const std::string& in, std::size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(in[at + i]);
  return v;
}

// Milliseconds of a fraction of a second, rounded to the nearest one (a plain
// shift would read 20 ms, stored as 85899345 / 2^32 s, back as 19).
int64_t fractionMillis(uint32_t fraction) {
  return static_cast<int64_t>((static_cast<uint64_t>(fraction) * 1000 + 0x80000000ull) >> 32);
}

// An NTP time stamp in milliseconds since 1970, in integer arithmetic. The
// seconds count of era 0 wraps on 2036-02-07; as SNTP clients do, a value
// below 2^31 (before 1968-01-20 in era 0) is read as era 1, so every time
// from 1968 to 2104 reads right.
int64_t ntpMillis(uint32_t seconds, uint32_t fraction) {
  const int64_t era = (seconds & 0x80000000u) != 0 ? 0 : 1;
  const int64_t unixSeconds =
      era * 4294967296LL + static_cast<int64_t>(seconds) - static_cast<int64_t>(kSecondsFrom1900To1970);
  return unixSeconds * 1000 + fractionMillis(fraction);
}

int64_t timestampMillis(const std::string& packet, std::size_t at) {
  return ntpMillis(getBigEndian32(packet, at), getBigEndian32(packet, at + 4));
}

// Milliseconds computed in double, truncated toward zero; saturated at the
// ends of int64_t rather than cast out of range.
int64_t truncateMillis(double ms) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (std::isnan(ms)) return 0;
  if (ms >= kTwoTo63) return INT64_MAX;
  if (ms <= -kTwoTo63) return INT64_MIN;
  return static_cast<int64_t>(ms);
}

}  // namespace

void unix2ntp(const timeval* tv, ntpTimestamp* ts) { *ts = fromUnix(tv->tv_sec, tv->tv_usec); }

void ntp_time_now(ntpTimestamp* ts) { *ts = fromWallMicros(Clock::real().wallMicros()); }

NTPResult::NTPResult(std::string rawDate, int64_t timeReference, int64_t roundTrip, int64_t transmitTime,
                     int64_t clockOffset, int64_t upTime, double systemTime, std::string ntpSource)
    : rawNTPInfo_(std::move(rawDate)),
      timeReference_(timeReference),
      roundTripTime_(roundTrip),
      transmitTime_(transmitTime),
      clockOffset_(clockOffset),
      upTimeMillis_(upTime),
      ntpTime_(systemTime),
      ntpSource_(std::move(ntpSource)) {}

struct SntpClient::Impl {
  Impl(Dispatcher& dispatcher, std::shared_ptr<DispatchQueue> delegateQueue)
      : dispatcher(dispatcher),
        delegateQueue(std::move(delegateQueue)),
        clock(dispatcher.clock()),
        bootWallMillis(static_cast<double>(clock.wallMicros()) / 1000.0 -
                       static_cast<double>(clock.upTimeMillis())) {}

  double timeSinceBoot() const { return static_cast<double>(clock.wallMicros()) / 1000.0 - bootWallMillis; }

  int64_t machElapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.steadyNow().time_since_epoch()).count();
  }

  std::shared_ptr<TLSntpClientDelegate> currentDelegate() {
    std::lock_guard lock(mutex);
    return delegate;
  }

  void cancelTimeout() {
    std::optional<CancelHandle> handle;
    {
      std::lock_guard lock(mutex);
      handle.swap(timeoutHandle);
    }
    if (handle) SafeDispatch(dispatcher).cancelTimerBlock(*handle);
  }

  std::string createPacket() {
    ntpTimestamp now = fromWallMicros(clock.wallMicros());
    now.fractSeconds = (now.fractSeconds & ~kBelowResolutionMask) | randomBelowResolution();
    {
      std::lock_guard lock(mutex);
      sendTime = now;
      requestTicks = timeSinceBoot();
      awaitingReply = true;
      destination.reset();
    }
    std::string packet(kPacketSize, '\0');
    const unsigned char head[12] = {0x1B, 0x00, 0x04, 0xFA, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    packet.replace(0, sizeof head, reinterpret_cast<const char*>(head), sizeof head);
    putBigEndian32(packet, 40, now.wholeSeconds);
    putBigEndian32(packet, 44, now.fractSeconds);
    return packet;
  }

  // The socket's send filter: notes where the latest request goes, the only
  // address a reply to it may come from. Runs on the socket queue, before
  // the datagram leaves.
  void noteDestination(const std::string& datagram, const std::string& address) {
    if (datagram.size() < kPacketSize) return;
    std::lock_guard lock(mutex);
    if (getBigEndian32(datagram, 40) == sendTime.wholeSeconds &&
        getBigEndian32(datagram, 44) == sendTime.fractSeconds) {
      destination = address;
    }
  }

  // The time-out action ran: the request it bounds takes no reply any more.
  void timedOut() {
    {
      std::lock_guard lock(mutex);
      requestInProgress = false;
      timeoutHandle.reset();
      awaitingReply = false;
    }
    if (auto d = currentDelegate()) d->sntpClientTimedOut();
  }

  // `from` is the sender's address; none when the caller vouches for the
  // datagram (decodePacket called directly).
  void decodePacket(const std::string& data, const std::optional<std::string>& from) {
    constexpr const char* kMethod = "-[SntpClient decodePacket:]";
    TLLogger::debugInMethod(kMethod, __LINE__, "entry");
    if (data.size() < kPacketSize || data.size() > kMaxPacketSize) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply of %zu bytes", data.size());
      return;
    }
    if (from) {
      std::optional<std::string> asked;
      {
        std::lock_guard lock(mutex);
        asked = destination;
      }
      if (!asked || !sameEndpoint(*from, *asked)) {
        TLLogger::debugInMethod(kMethod, __LINE__,
                                "Ignoring a datagram from %s: not the server asked",
                                endpointText(*from).c_str());
        return;
      }
    }
    const int leap = static_cast<uint8_t>(data[0]) >> 6;
    const int mode = static_cast<uint8_t>(data[0]) & 0x7;
    const int stratum = static_cast<uint8_t>(data[1]);
    if (mode != 4) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply in mode %d", mode);
      return;
    }
    // A kiss-of-death (stratum 0) is taken whatever its other fields say.
    if (stratum != 0) {
      if (leap == 3) {
        TLLogger::debugInMethod(kMethod, __LINE__,
                                "Ignoring a reply from an unsynchronised server");
        return;
      }
      if (stratum > 15) {
        TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply of stratum %d", stratum);
        return;
      }
      if (getBigEndian32(data, 40) == 0 && getBigEndian32(data, 44) == 0) {
        TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply without a transmit time");
        return;
      }
    }
    // The first valid reply to the latest request ends it: a duplicate, a
    // reply to an older request or one after the time-out finds nothing to
    // answer.
    ntpTimestamp sent;
    double sentTicks;
    std::string host;
    {
      // The line is logged once the lock is released: the app's log delegate
      // may call exit(), and the shutdown takes the lock.
      TLLogger::HeldLines held;
      std::lock_guard lock(mutex);
      if (!awaitingReply || getBigEndian32(data, 24) != sendTime.wholeSeconds ||
          getBigEndian32(data, 28) != sendTime.fractSeconds) {
        TLLogger::debugInMethod(kMethod, __LINE__,
                                "Ignoring a reply that does not answer our request");
        return;
      }
      awaitingReply = false;
      sent = sendTime;
      sentTicks = requestTicks;
      host = serverHost;
    }
    cancelTimeout();
    if (stratum == 0) {
      // The server asks us to stop or to slow down: no time from it.
      const std::string code = kissCode(data);
      TLLogger::warnInMethod(kMethod, __LINE__, "Kiss-of-death from [%s]: %s", host.c_str(),
                             code.c_str());
      TLError error;
      error.domain = kSntpClientErrorDomain;
      error.code = kSntpKissOfDeathError;
      error.localizedDescription = "The NTP server [" + host + "] sent a kiss-of-death: " + code;
      if (auto d = currentDelegate()) d->sntpClientFailed(error);
      return;
    }
    const double responseTicks = timeSinceBoot();
    const int64_t t1 = timestampMillis(data, 24);
    const int64_t t2 = timestampMillis(data, 32);
    const int64_t t3 = timestampMillis(data, 40);
    const double elapsed = responseTicks - sentTicks;
    const double t4 = elapsed + static_cast<double>(ntpMillis(sent.wholeSeconds, sent.fractSeconds));
    const double delta =
        (static_cast<double>(t2 - t1) + (static_cast<double>(t3) - t4)) * 0.5;
    NTPResult result(data, machElapsed(), truncateMillis(elapsed - static_cast<double>(t3 - t2)), t3,
                     truncateMillis(delta), clock.upTimeMillis(), t4 + delta, host);
    {
      std::lock_guard lock(mutex);
      ntpResult = result;
    }
    TLLogger::debugInMethod(kMethod, __LINE__, "%s", printInfo(result).c_str());
    if (auto d = currentDelegate()) d->sntpClientReceivedNTPInfo(result);
  }

  static std::string printInfo(const NTPResult& r) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer,
                  "\n NTP Info:\n\n"
                  "time server addr:     [%s]\n round trip time:     %7.3lld (mS)\n server time:         "
                  "%7.3f (mS)\n NtpTimeReference:    %7.3lld (mS)\n clock offset:        %7.3lld (mS)\n\n",
                  r.ntpSource().c_str(), static_cast<long long>(r.roundTripTime()), r.ntpTime(),
                  static_cast<long long>(r.timeReference()), static_cast<long long>(r.clockOffset()));
    return buffer;
  }

  Dispatcher& dispatcher;
  const std::shared_ptr<DispatchQueue> delegateQueue;
  const Clock& clock;
  const double bootWallMillis;

  mutable tembrolexin::Mutex mutex;
  std::shared_ptr<TLSntpClientDelegate> delegate;
  bool requestInProgress = false;
  std::optional<CancelHandle> timeoutHandle;
  std::string serverHost;
  ntpTimestamp sendTime{0, 0};
  // The latest request takes a reply (it was made and has neither had one
  // nor timed out).
  bool awaitingReply = false;
  // Where the latest request went, once the socket sent it.
  std::optional<std::string> destination;
  double requestTicks = 0;
  std::optional<NTPResult> ntpResult;
  uint16_t serverPort = 123;
};

SntpClient::SntpClient() : SntpClient(Options{}) {}

SntpClient::SntpClient(Options options) {
  Dispatcher& dispatcher = *options.dispatcher;
  std::shared_ptr<DispatchQueue> delegateQueue;
  if (dispatcher.testHost()) {
    ownQueue_ = std::make_shared<SerialQueue>("mine");
    delegateQueue = ownQueue_;
  } else {
    delegateQueue = dispatcher.mainQueue();
  }
  impl_ = std::make_shared<Impl>(dispatcher, delegateQueue);
  impl_->serverPort = options.serverPort;

  std::weak_ptr<Impl> weak = impl_;
  socketDelegate_ = std::make_shared<GCDAsyncUdpSocketDelegate>();
  socketDelegate_->udpSocketDidSendDataWithTag = [weak](GCDAsyncUdpSocket*, long tag) {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex);
      self->requestInProgress = false;
    }
    TLLogger::debugInMethod("-[SntpClient udpSocket:didSendDataWithTag:]", __LINE__,
                            "didSendDataWithTag - %ld", tag);
  };
  socketDelegate_->udpSocketDidNotSendDataWithTag = [weak](GCDAsyncUdpSocket*, long, const TLError& error) {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex);
      self->requestInProgress = false;
    }
    TLLogger::debugInMethod("-[SntpClient udpSocket:didNotSendDataWithTag:dueToError:]", __LINE__,
                            "didNotSendDataWithTag - %s", error.localizedDescription.c_str());
    if (auto d = self->currentDelegate()) d->sntpClientFailed(error);
  };
  socketDelegate_->udpSocketDidReceiveData = [weak](GCDAsyncUdpSocket*, const std::string& data,
                                                    const std::string& address, const std::any&) {
    if (auto self = weak.lock()) self->decodePacket(data, address);
  };
  socketDelegate_->udpSocketDidCloseWithError = [weak](GCDAsyncUdpSocket*, const std::optional<TLError>&) {
    auto self = weak.lock();
    if (!self) return;
    std::string host;
    {
      std::lock_guard lock(self->mutex);
      host = self->serverHost;
    }
    TLLogger::debugInMethod("-[SntpClient udpSocketDidClose:withError:]", __LINE__, "Socket closed : [%s]",
                            host.c_str());
  };
  socketQueue_ = std::make_shared<SerialQueue>(GCDAsyncUdpSocketQueueName);
  socket_ =
      std::make_unique<GCDAsyncUdpSocket>(socketDelegate_, delegateQueue, socketQueue_, dispatcher);
  // Synchronous on the socket's own queue: the destination is noted before
  // the datagram is sent, so before any reply can arrive.
  socket_->setSendFilter(
      [weak](const std::string& data, const std::string& address, long) {
        if (auto self = weak.lock()) self->noteDestination(data, address);
        return true;
      },
      socketQueue_, false);
}

SntpClient::~SntpClient() { impl_->cancelTimeout(); }

void SntpClient::setDelegate(std::shared_ptr<TLSntpClientDelegate> delegate) {
  std::lock_guard lock(impl_->mutex);
  impl_->delegate = std::move(delegate);
}

bool SntpClient::requestTimeWithHost(const std::string& host, double timeoutSeconds) {
  try {
    {
      std::lock_guard lock(impl_->mutex);
      impl_->requestInProgress = true;
      impl_->serverHost = host;
    }
    std::string packet = impl_->createPacket();
    socket_->sendData(std::move(packet), host, impl_->serverPort, timeoutSeconds, 0);

    bool arm;
    {
      std::lock_guard lock(impl_->mutex);
      arm = !impl_->timeoutHandle;
    }
    if (arm) {
      std::weak_ptr<Impl> weak = impl_;
      CancelHandle handle = SafeDispatch(impl_->dispatcher).dispatchOnQueue(
          impl_->delegateQueue, [weak] {
            if (auto self = weak.lock()) self->timedOut();
          },
          timeoutSeconds);
      std::lock_guard lock(impl_->mutex);
      impl_->timeoutHandle = handle;
    }

    TLError error;
    if (!socket_->beginReceiving(&error)) {
      TLLogger::errorInMethod("-[SntpClient requestTimeWithHost:timeout:]", __LINE__,
                              "Unable to start listening on socket for [%s] due to error [%s]", host.c_str(),
                              error.localizedDescription.c_str());
      return false;
    }
    return true;
  } catch (const std::exception&) {
    TLLogger::errorInMethod("-[SntpClient requestTimeWithHost:timeout:]", __LINE__, "Request time failed");
    return false;
  }
}

bool SntpClient::requestInProgress() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requestInProgress;
}

std::optional<NTPResult> SntpClient::ntpResult() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->ntpResult;
}

std::string SntpClient::printNTPInfo() const {
  std::optional<NTPResult> result = ntpResult();
  return result ? Impl::printInfo(*result) : std::string();
}

std::string SntpClient::createPacket() { return impl_->createPacket(); }

void SntpClient::decodePacket(const std::string& data) { impl_->decodePacket(data, std::nullopt); }

double SntpClient::getTimeSinceBoot() const { return impl_->timeSinceBoot(); }

int64_t SntpClient::getMachElapsedTime() const { return impl_->machElapsed(); }

}  // namespace tembrolexinplatform
