#include "core/runtime/decoder_bindings.h"

namespace tembrolexinsdk {

const char* const DecoderBindings::internalVersion = TL_VERSION;
const char* const DecoderBindings::internalVersionShort = TL_VERSION;

}  // namespace tembrolexinsdk
