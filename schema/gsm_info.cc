#include "schema/gsm_info.h"

#include <utility>

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

GSMInfo::GSMInfo(std::string country_code, std::string network_code,
                 uint32_t lac, uint32_t cell_id)
    : countryCode(std::move(country_code)),
      network(std::move(network_code)),
      LAC(lac),
      CId(cell_id) {}

GSMInfo gsmInfoFromSignal(const GSMInfoSignal& signal) {
  // Conversion of a signed 64-bit value to uint32_t keeps its low 32 bits.
  return GSMInfo(signal.countryCode, signal.network,
                 static_cast<uint32_t>(signal.LAC),
                 static_cast<uint32_t>(signal.CId));
}

}  // namespace tembrolexinsdk
