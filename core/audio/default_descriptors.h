// The decoder descriptors that the built-in code-word plug-ins run until the
// configuration names others, and the reader of the configuration's
// descriptor lists ("<plug-in name>_DecoderDescriptors").
//
// The defaults use the scheme configurations of the decoder's test set
// (compiled in from tests/data), with the code-word ranges that the decoding
// core's layouts define; docs/decoder-descriptors.md lists them.
//
// Stateless and thread-safe.
#ifndef TL_CORE_AUDIO_DEFAULT_DESCRIPTORS_H_
#define TL_CORE_AUDIO_DEFAULT_DESCRIPTORS_H_

#include <memory>
#include <string>
#include <vector>

#include "core/audio/echo_decoder_descriptor.h"

namespace tembrolexinsdk {

using DecoderDescriptorList = std::vector<std::shared_ptr<const EchoDecoderDescriptor>>;

// The defaults of the processor named `processorName` ("tembrolexin_VorselT",
// ...); empty for any other name.
DecoderDescriptorList defaultDecoderDescriptors(const std::string& processorName);

// Reads a JSON list of {"config": text, "ranges": [{"low", "high",
// "engine"}], "transform": bool}. False (and `out` untouched) when the text
// is not such a list: not JSON (also a list followed by more than white
// space and comments), not an array, an element without a "config" text or
// with one holding a NUL byte (the decoding core would read only the part
// before it), a range without integer bounds or an engine text. `problem`
// (if given) then says what is wrong, for the app to read: "not JSON:
// MESSAGE (byte N)" with the reader's first complaint and the byte of the
// text where it stands, "not a list", or which descriptor (and range),
// counted from 1, is not one ("descriptor 1 has no \"config\"",
// "\"config\" of descriptor 1 holds a NUL byte: \"a.cfg\x00b\"", its bytes
// escaped as StringChecker::escapeBytes does).
bool parseDecoderDescriptors(const std::string& json, DecoderDescriptorList& out,
                             std::string* problem = nullptr);

// The text of a compiled-in scheme configuration ("scheme_t1_vt", ...), or
// null.
const char* defaultSchemeText(const std::string& name);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_DEFAULT_DESCRIPTORS_H_
