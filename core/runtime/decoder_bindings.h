// The interface version of this library. Processors compiled against the
// headers compare the header's version (kDecoderBindingsHeaderVersion, compiled
// into their own code) with the version the library exports
// (DecoderBindings::internalVersion); see IProcessor.
#ifndef TL_CORE_RUNTIME_DECODER_BINDINGS_H_
#define TL_CORE_RUNTIME_DECODER_BINDINGS_H_

#include "core/runtime/version.h"

// The version these headers describe, in a full and a short form (both the
// project's version).
#define TL_DECODER_BINDINGS_HEADER_VERSION TL_VERSION
#define TL_DECODER_BINDINGS_HEADER_VERSION_SHORT TL_VERSION

namespace tembrolexinsdk {

struct DecoderBindings {
  // Both the project's version. Defined in the library (not in this header) so that the
  // comparison really is between the headers and the binary. They are
  // constant-initialised, so they are valid even during other translation
  // units' static initialisation.
  static const char* const internalVersion;
  static const char* const internalVersionShort;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_DECODER_BINDINGS_H_
