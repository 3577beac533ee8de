// The interface version of this library. Processors compiled against the
// headers compare the header's version (kDecoderBindingsHeaderVersion, compiled
// into their own code) with the version the library exports
// (DecoderBindings::internalVersion); see IProcessor.
#ifndef TL_CORE_RUNTIME_DECODER_BINDINGS_H_
#define TL_CORE_RUNTIME_DECODER_BINDINGS_H_

// The version these headers describe, in a full and a short form.
#define TL_DECODER_BINDINGS_HEADER_VERSION "2.0.0"
#define TL_DECODER_BINDINGS_HEADER_VERSION_SHORT "2.0.0"

namespace tembrolexinsdk {

struct DecoderBindings {
  // Both "2.0.0". Defined in the library (not in this header) so that the
  // comparison really is between the headers and the binary. They are
  // constant-initialised, so they are valid even during other translation
  // units' static initialisation.
  static const char* const internalVersion;
  static const char* const internalVersionShort;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_DECODER_BINDINGS_H_
