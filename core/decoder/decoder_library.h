// The decoder library's public entry points. A caller initialises one
// context from a configuration text, feeds it blocks of 16-bit samples, reads
// one PerformanceData record per configured scheme after each block, and
// closes the context:
//
//   DecoderLibraryContext* ctx = Tembrolexin_Init2(config, 1);
//   if (!ctx) puts(Tembrolexin_GetErrorMsg());
//   std::vector<PerformanceData> records(Tembrolexin_NEncodingSchemes(ctx));
//   Tembrolexin_ProcessData(ctx, samples, count, records.data());  // per block
//   Tembrolexin_Close(ctx);
//
// The configuration text is either one XML configuration (its first non-blank
// character is '<') or a white-space separated list of configuration file
// names (docs/decoder-config.md). One context serves one input rate: every
// scheme has the same rate, or the schemes are exactly a mix of 8 kHz and
// 16 kHz, fed at 16 kHz (the 8 kHz schemes run on a decimated copy).
//
// Ownership: a context belongs to its caller from Init2 to Close and owns its
// schemes, message parameters, channels and buffers. Texts it hands out
// (scheme names) stay valid until Close. Failures are reported by a null or
// negative result and the error text (Tembrolexin_GetErrorMsg).
//
// Thread safety: a context is used by one thread at a time; distinct
// contexts are independent. Nothing here starts threads or takes locks.
#ifndef TL_CORE_DECODER_DECODER_LIBRARY_H_
#define TL_CORE_DECODER_DECODER_LIBRARY_H_

#include <cstdint>

#include "core/decoder/circular_buffer.h"
#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_channel.h"
#include "core/decoder/encoding_schemes.h"
#include "core/decoder/message_generator.h"
#include "core/decoder/performance_data.h"
#include "core/decoder/rate_conversion.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

struct DecoderLibraryContext {
  DecoderChannel** channels;     // schemeCount, in scheme-list order
  int32_t schemeCount;
  int16_t* inputCopy;            // private copy of the block (several schemes)
  int32_t inputCopyCapacity;     // samples
  ResamplingFilter* resampler;   // 16 -> 8 kHz, or null
  MessageParams** messageParams; // schemeCount; the schemes of one token share
  SchemeConfig* schemes;         // head of the owned scheme list
};

// The version banner.
constexpr const char kDecoderVersionBanner[] =
    "Tembrolexin Decoder Library\nVersion            : v1.4\n";

extern "C" {

// A new context, or null with the error text set.
DecoderLibraryContext* Tembrolexin_Init2(const char* config, int64_t mode);
// Frees everything; null and partly built contexts are accepted.
void Tembrolexin_Close(DecoderLibraryContext* context);
// Bytes the largest channel needs; with a pad every channel of a context
// created with mode 0 is pointed into it.
int32_t Tembrolexin_AssignScratchPad(DecoderLibraryContext* context, void* pad);
// Runs every scheme of the block's rate over `count` samples (read and
// overwritten) and fills records[0 .. schemeCount-1]. Returns the block's
// best code word, -1 when none (also for bad arguments), -999 when the input
// copy cannot be allocated.
int64_t Tembrolexin_ProcessData(DecoderLibraryContext* context, int16_t* samples,
                                int32_t count, PerformanceData* records);
// Input rate in Hz: the highest rate of the schemes; 0 without schemes.
int32_t Tembrolexin_FsIn(const DecoderLibraryContext* context);
int32_t Tembrolexin_NEncodingSchemes(const DecoderLibraryContext* context);
// 1 with `info` filled, 0 for no context, an index outside the schemes or a
// null record (the record is then untouched).
int32_t Tembrolexin_GetSchemeInfo(const DecoderLibraryContext* context, int32_t index,
                                  EncodingSchemeInfo* info);
// The calling thread's error text (at most 199 characters).
const char* Tembrolexin_GetErrorMsg(void);
// Sets the error text to `text` (truncated to 199 characters); returns the
// number of characters the text had.
int32_t Tembrolexin_SetErrorMsg(const char* text);
const char* Tembrolexin_GetVersionNumber(void);
// 1 when the scheme table knows the name (long or short, any case).
int32_t Tembrolexin_ValidEncodingSchemeName(const char* name);
// Interprets a code word of scheme `index` at the current wall-clock time.
// Returns the interpretation's period start, or -1 for a bad index or null
// record.
int64_t Tembrolexin_interpretCodeword(const DecoderLibraryContext* context, int32_t index,
                                      int64_t codeword, CodewordInterpretation* result);
// Writes "Station ID <id>, time <date>" ("Track" for event-engine-2 words)
// or "burst" into `text` (never more than `size` bytes, always terminated
// when size > 0). Returns the length of the last piece written.
int32_t Tembrolexin_interpretCodewordStr(const DecoderLibraryContext* context,
                                         int32_t index, int64_t codeword, char* text,
                                         int32_t size);

}  // extern "C"

// Per-scheme accessors of the partial-codeword decoder. Each checks its
// scheme index (and band index) and returns null / 0 when it is out of range.

// Band `band`'s soft-symbol rings, made anew with `length` slots (length 0
// keeps them).
CircularBuffer* getMatchedFilterBuffer(DecoderLibraryContext* context, int32_t index,
                                       int32_t band, int32_t length);
int32_t getMatchedFilterBufferLength(const DecoderLibraryContext* context, int32_t index);
// Milliseconds since the scheme's matched filter last completed a phase step.
int32_t getMsSinceLastMatchedFilterBufferOutput(const DecoderLibraryContext* context,
                                                int32_t index);
// The index-th scheme record.
SchemeConfig* getEchoModParameters(DecoderLibraryContext* context, int32_t index);
// The index-th scheme's message parameters.
MessageParams* getSchemeMessageParams(DecoderLibraryContext* context, int32_t index);
// Clears the soft-symbol history of every channel.
void clearHistory(DecoderLibraryContext* context);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_DECODER_LIBRARY_H_
