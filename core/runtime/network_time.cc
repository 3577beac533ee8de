#include "core/runtime/network_time.h"

#include <cstring>

namespace tembrolexinsdk {

RawNTPInfo::RawNTPInfo(const unsigned char* packet, int64_t receiveTime)
    : receiveTime_(receiveTime) {
  if (packet != nullptr) std::memcpy(packet_.data(), packet, kPacketSize);
}

std::string RawNTPInfo::Dump() const {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(kPacketSize * 2);
  for (unsigned char b : packet_) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

}  // namespace tembrolexinsdk
