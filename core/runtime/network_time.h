// Network-time values handed from the platform's SNTP client to the core.
//
// `NTPInfo` is one measurement as the bus delivers it (the values of an
// NTPInfoSignal); `RawNTPInfo` is a copy of the 48-byte SNTP reply itself
// with the up-time at which it was received, for plug-in processors that want
// to interpret the packet themselves.
//
// Both are plain values: copy them freely; a const object may be read from
// several threads at once.
#ifndef TL_CORE_RUNTIME_NETWORK_TIME_H_
#define TL_CORE_RUNTIME_NETWORK_TIME_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tembrolexinsdk {

struct NTPInfo {
  NTPInfo() = default;
  NTPInfo(long long elapsedRealTime, long long transmitTimestamp, long long roundTripDelay,
          long long drift, long long upTimeMillis)
      : elapsedRealTime(elapsedRealTime),
        transmitTimestamp(transmitTimestamp),
        roundTripDelay(roundTripDelay),
        drift(drift),
        upTimeMillis(upTimeMillis) {}

  int64_t elapsedRealTime = 0;
  int64_t transmitTimestamp = 0;  // server's transmit time, ms since the epoch
  int64_t roundTripDelay = 0;     // ms
  int64_t drift = 0;
  int64_t upTimeMillis = 0;  // up-time at which the reply arrived, ms
};

class RawNTPInfo {
 public:
  static constexpr size_t kPacketSize = 48;

  // Copies kPacketSize bytes from `packet`; a null `packet` gives a packet of
  // zeros.
  RawNTPInfo(const unsigned char* packet, int64_t receiveTime);

  const std::array<unsigned char, kPacketSize>& packet() const { return packet_; }
  int64_t receiveTime() const { return receiveTime_; }

  // The packet as 96 lowercase hexadecimal digits, two per byte; the receive
  // time is not part of it.
  std::string Dump() const;

 private:
  std::array<unsigned char, kPacketSize> packet_{};
  int64_t receiveTime_ = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_NETWORK_TIME_H_
