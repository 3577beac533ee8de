#include "platform/net/sntp_client.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

constexpr uint32_t kSecondsFrom1900To1970 = 2208988800u;
constexpr std::size_t kPacketSize = 48;

ntpTimestamp fromUnix(int64_t seconds, int64_t micros) {
  ntpTimestamp ts;
  ts.wholeSeconds = static_cast<uint32_t>(static_cast<uint64_t>(seconds) & 0xFFFFFFFFu) + kSecondsFrom1900To1970;
  ts.fractSeconds = static_cast<uint32_t>(((static_cast<double>(micros) + 0.5) * 4294967296.0) * 0.000001);
  return ts;
}

ntpTimestamp fromWallMicros(int64_t wallMicros) {
  int64_t seconds = wallMicros / 1000000;
  int64_t micros = wallMicros % 1000000;
  if (micros < 0) {
    micros += 1000000;
    --seconds;
  }
  return fromUnix(seconds, micros);
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
    std::lock_guard<std::mutex> lock(mutex);
    return delegate;
  }

  void cancelTimeout() {
    std::optional<CancelHandle> handle;
    {
      std::lock_guard<std::mutex> lock(mutex);
      handle.swap(timeoutHandle);
    }
    if (handle) SafeDispatch(dispatcher).cancelTimerBlock(*handle);
  }

  std::string createPacket() {
    const ntpTimestamp now = fromWallMicros(clock.wallMicros());
    {
      std::lock_guard<std::mutex> lock(mutex);
      sendTime = now;
      requestTicks = timeSinceBoot();
    }
    std::string packet(kPacketSize, '\0');
    const unsigned char head[12] = {0x1B, 0x00, 0x04, 0xFA, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    packet.replace(0, sizeof head, reinterpret_cast<const char*>(head), sizeof head);
    putBigEndian32(packet, 40, now.wholeSeconds);
    putBigEndian32(packet, 44, now.fractSeconds);
    return packet;
  }

  void decodePacket(const std::string& data) {
    constexpr const char* kMethod = "-[SntpClient decodePacket:]";
    TLLogger::debugInMethod(kMethod, __LINE__, "entry");
    ntpTimestamp sent;
    double sentTicks;
    std::string host;
    bool sentAny;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sentAny = haveSent;
      sent = sendTime;
      sentTicks = requestTicks;
      host = serverHost;
    }
    if (data.size() < kPacketSize) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply of %zu bytes", data.size());
      return;
    }
    if (!sentAny || getBigEndian32(data, 24) != sent.wholeSeconds ||
        getBigEndian32(data, 28) != sent.fractSeconds) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply that does not answer our request");
      return;
    }
    if (getBigEndian32(data, 40) == 0 && getBigEndian32(data, 44) == 0) {
      // A zero transmit time is no time (a kiss-of-death reply carries none):
      // the exchange stays open until its time-out.
      TLLogger::debugInMethod(kMethod, __LINE__, "Ignoring a reply without a transmit time");
      return;
    }
    cancelTimeout();
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
      std::lock_guard<std::mutex> lock(mutex);
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

  mutable std::mutex mutex;
  std::shared_ptr<TLSntpClientDelegate> delegate;
  bool requestInProgress = false;
  std::optional<CancelHandle> timeoutHandle;
  std::string serverHost;
  ntpTimestamp sendTime{0, 0};
  bool haveSent = false;
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
      std::lock_guard<std::mutex> lock(self->mutex);
      self->requestInProgress = false;
    }
    TLLogger::debugInMethod("-[SntpClient udpSocket:didSendDataWithTag:]", __LINE__,
                            "didSendDataWithTag - %ld", tag);
  };
  socketDelegate_->udpSocketDidNotSendDataWithTag = [weak](GCDAsyncUdpSocket*, long, const TLError& error) {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->requestInProgress = false;
    }
    TLLogger::debugInMethod("-[SntpClient udpSocket:didNotSendDataWithTag:dueToError:]", __LINE__,
                            "didNotSendDataWithTag - %s", error.localizedDescription.c_str());
    if (auto d = self->currentDelegate()) d->sntpClientFailed(error);
  };
  socketDelegate_->udpSocketDidReceiveData = [weak](GCDAsyncUdpSocket*, const std::string& data,
                                                    const std::string&, const std::any&) {
    if (auto self = weak.lock()) self->decodePacket(data);
  };
  socketDelegate_->udpSocketDidCloseWithError = [weak](GCDAsyncUdpSocket*, const std::optional<TLError>&) {
    auto self = weak.lock();
    if (!self) return;
    std::string host;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      host = self->serverHost;
    }
    TLLogger::debugInMethod("-[SntpClient udpSocketDidClose:withError:]", __LINE__, "Socket closed : [%s]",
                            host.c_str());
  };
  socket_ = std::make_unique<GCDAsyncUdpSocket>(socketDelegate_, delegateQueue, dispatcher);
}

SntpClient::~SntpClient() { impl_->cancelTimeout(); }

void SntpClient::setDelegate(std::shared_ptr<TLSntpClientDelegate> delegate) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->delegate = std::move(delegate);
}

bool SntpClient::requestTimeWithHost(const std::string& host, double timeoutSeconds) {
  try {
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      impl_->requestInProgress = true;
      impl_->serverHost = host;
    }
    std::string packet = impl_->createPacket();
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      impl_->haveSent = true;
    }
    socket_->sendData(std::move(packet), host, impl_->serverPort, timeoutSeconds, 0);

    bool arm;
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      arm = !impl_->timeoutHandle;
    }
    if (arm) {
      std::weak_ptr<Impl> weak = impl_;
      CancelHandle handle = SafeDispatch(impl_->dispatcher).dispatchOnQueue(
          impl_->delegateQueue,
          [weak] {
            auto self = weak.lock();
            if (!self) return;
            {
              std::lock_guard<std::mutex> lock(self->mutex);
              self->requestInProgress = false;
              self->timeoutHandle.reset();
            }
            if (auto d = self->currentDelegate()) d->sntpClientTimedOut();
          },
          timeoutSeconds);
      std::lock_guard<std::mutex> lock(impl_->mutex);
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
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requestInProgress;
}

std::optional<NTPResult> SntpClient::ntpResult() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->ntpResult;
}

std::string SntpClient::printNTPInfo() const {
  std::optional<NTPResult> result = ntpResult();
  return result ? Impl::printInfo(*result) : std::string();
}

std::string SntpClient::createPacket() {
  std::string packet = impl_->createPacket();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->haveSent = true;
  return packet;
}

void SntpClient::decodePacket(const std::string& data) { impl_->decodePacket(data); }

double SntpClient::getTimeSinceBoot() const { return impl_->timeSinceBoot(); }

int64_t SntpClient::getMachElapsedTime() const { return impl_->machElapsed(); }

}  // namespace tembrolexinplatform
