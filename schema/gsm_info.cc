#include "schema/gsm_info.h"

#include <utility>

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

GSMInfo::GSMInfo(std::string countryCode, std::string network, uint32_t LAC,
                 uint32_t CId)
    : countryCode(std::move(countryCode)),
      network(std::move(network)),
      LAC(LAC),
      CId(CId) {}

GSMInfo gsmInfoFromSignal(const GSMInfoSignal& signal) {
  // Conversion of a signed 64-bit value to uint32_t keeps its low 32 bits.
  return GSMInfo(signal.countryCode, signal.network,
                 static_cast<uint32_t>(signal.LAC),
                 static_cast<uint32_t>(signal.CId));
}

}  // namespace tembrolexinsdk
