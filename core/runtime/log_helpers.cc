#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {
namespace logpieces {

void resetStream(std::stringstream& stream) {
  stream.str(std::string());
  stream.clear();
  stream.flags(std::ios_base::dec | std::ios_base::skipws);
  stream.precision(6);
  stream.width(0);
  stream.fill(stream.widen(' '));
  stream.imbue(std::locale::classic());
}

bool& insideLogWithLogger() {
  thread_local bool inside = false;
  return inside;
}

}  // namespace logpieces
}  // namespace tembrolexinsdk
