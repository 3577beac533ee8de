#include "core/runtime/decoder_bindings.h"

namespace tembrolexinsdk {

const char* const DecoderBindings::internalVersion = "2.0.0";
const char* const DecoderBindings::internalVersionShort = "2.0.0";

}  // namespace tembrolexinsdk
