// GSMInfo: the serving mobile cell as the decoder hands it to its processor
// controllers (as std::shared_ptr<const GSMInfo>).
//
// Plain value; not thread-safe for writing, safe to share once const.

#ifndef TL_SCHEMA_GSM_INFO_H_
#define TL_SCHEMA_GSM_INFO_H_

#include <cstdint>
#include <string>

namespace tembrolexinsdk {

class GSMInfoSignal;

class GSMInfo {
 public:
  // The strings are taken by value and moved in.
  GSMInfo(std::string country_code, std::string network_code, uint32_t lac,
          uint32_t cell_id);

  std::string countryCode;  // mobile country code
  std::string network;      // mobile network code
  uint32_t LAC;             // location area code
  uint32_t CId;             // cell id
};

// The cell a GSMInfoSignal carries. The signal's 64-bit LAC and CId are cut
// to their low 32 bits (4294967297 becomes 1).
GSMInfo gsmInfoFromSignal(const GSMInfoSignal& signal);

}  // namespace tembrolexinsdk

#endif  // TL_SCHEMA_GSM_INFO_H_
