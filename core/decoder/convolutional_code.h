// Tail-biting convolutional code with a soft-decision Viterbi decoder.
//
// The encoder shifts each input bit into a 32-bit register (newest bit in bit
// 0) and emits G output bits, parity(generator j AND register), in generator
// order. A block is tail-biting: the register is primed with the block's own
// last bits, so the encoder starts in the state in which it ends, and the
// decoder finds that state by running the trellis around the block.
//
// The decoder keeps 16-bit path metrics that are never renormalised (larger
// is better); convInit refuses code word dimensions for which they could
// overflow.
//
// Ownership: the caller owns the ConvolutionalCodec record and the parameter
// record it borrows (which must outlive the codec). convInit allocates the
// branch label table and, when asked, the work areas; convClose frees them.
// Work areas placed by convScratch belong to the caller's pad.
//
// Thread safety: none. The work areas make concurrent decodes on one record
// unsafe; encoding only reads the record.

#ifndef TL_CORE_DECODER_CONVOLUTIONAL_CODE_H_
#define TL_CORE_DECODER_CONVOLUTIONAL_CODE_H_

#include <cstdint>

#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// Bounds of the parameters. The decoder keeps 2^(K-1) states, so decoding
// is limited to K ≤ kMaxViterbiConstraint; the encoder accepts the full
// register width. G is at most kMaxConvGenerators (scheme_config.h).
constexpr int kMaxConvConstraint = 31;
constexpr int kMaxViterbiConstraint = 16;

// The code word a decoder is sized for: symbols of `symbolBits` bits, at most
// `codeSymbols` of them per block.
struct ConvCodewordSize {
  int32_t symbolBits;
  int32_t codeSymbols;
};

// ConvolutionalCodeParams (K, L, G, generator masks) is declared with the
// codec parameters in scheme_config.h.
struct ConvolutionalCodec {
  const ConvolutionalCodeParams* params;  // borrowed
  int32_t decisionWords;   // 32-bit decision words per trellis step
  uint16_t* branchLabels;  // 2^K labels (K ≤ 16 only), first generator high
  int32_t trellisSteps;    // T = m·n + 2L; 0 without code word dimensions
  int32_t symbolBits;      // m
  int32_t codeSymbols;     // n

  // Work areas (own allocation or a caller's scratch pad).
  int16_t* branchMetrics;  // 2^G
  uint32_t* decisions;     // (T - L) × decisionWords
  int16_t* metricsA;       // 2^(K-1)
  int16_t* metricsB;       // 2^(K-1)

  int32_t ownsWork;
};

// Sets the codec up for `params`. With `size` given (decoding), K must be at
// most kMaxViterbiConstraint, every generator must tap both end bits, m must
// be 1 … 8, n ≥ 1, and (T + K - 1) × G × 50 must stay below 32768 so that the
// path metrics cannot overflow. Without `size` only encoding is possible.
// With `allocate` non-zero the work areas are allocated; otherwise
// convScratch must place them. Returns 1, or 0 (nothing left allocated) for
// bad parameters or a failed allocation.
int convInit(ConvolutionalCodec* codec, const ConvolutionalCodeParams* params,
             const ConvCodewordSize* size, int allocate);

// Frees what the record allocated and zeroes it. Null is ignored.
void convClose(ConvolutionalCodec* codec);

// Returns the number of scratch bytes the decoder needs (0 without code word
// dimensions); when `pad` is not null, points the work areas into it (4-byte
// aligned, at least that large).
int convScratch(ConvolutionalCodec* codec, void* pad);

// Encodes one tail-biting block of `count` symbols of m bits (most
// significant bit first) into count × m × G output bytes (0/1): the G outputs
// of each input bit in generator order. Returns the number of bytes written,
// or -1 for bad arguments (null pointers, m outside 1 … 8, count < 0).
int convEncode(const ConvolutionalCodec* codec, const uint8_t* symbols, int m,
               int count, uint8_t* out);

// Viterbi-decodes one tail-biting block from `softCount` unsigned soft values
// (0: confident 0, 255: confident 1), G per trellis step. Writes
// s = (softCount / G) / m symbols of m bits, the codec's m; a request for
// fewer than one symbol writes nothing. Returns s, or -1 (nothing written)
// for bad arguments, a codec without code word dimensions or work areas, or
// s above the codec's n.
int viterbiDecode(ConvolutionalCodec* codec, uint8_t* out, const uint8_t* soft,
                  int softCount);

// Branch metric table M: the score of soft value s (0 … 255) for an expected
// 0; an expected 1 scores M[255 - s].
int convSoftMetric(int soft);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_CONVOLUTIONAL_CODE_H_
