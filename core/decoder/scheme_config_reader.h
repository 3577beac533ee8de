// The scheme configuration reader: turns one configuration token (an
// XML-like text, or the name of a file that holds one) into a list of
// SchemeConfig records in form 1 with ownsArrays set, plus the one
// MessageParams record that the token's schemes share. The text format and
// every check are described in docs/decoder-config.md.
//
// On failure the result is null, *messageParams is null, nothing is leaked,
// and the decoder's error text (tembrolexinErrorText) names the field and
// the rule that failed. A record that the reader returns satisfies every
// check, so no later stage can overrun a buffer, divide by zero or loop for
// ever on it.
//
// Thread safety: reentrant apart from the process-wide error text.
#ifndef TL_CORE_DECODER_SCHEME_CONFIG_READER_H_
#define TL_CORE_DECODER_SCHEME_CONFIG_READER_H_

#include <cstdint>

#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// Largest configuration file the reader loads.
constexpr int32_t kMaxSchemeConfigFileSize = 1 << 20;

// Reads a token: an XML text when its first non-space character is '<',
// else a file name. Both out pointers are required.
SchemeConfig* readSchemeConfig(const char* token, MessageParams** messageParams);

// Reads a configuration text of the given length (no terminator needed).
SchemeConfig* parseSchemeConfigText(const char* text, int32_t length,
                                    MessageParams** messageParams);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_SCHEME_CONFIG_READER_H_
