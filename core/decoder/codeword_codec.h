// Code word codec: turns a code word value into the channel bits that a
// transmitter of a scheme sends, and one frame of received soft channel bits
// back into a value with a count of corrected symbols.
//
// The chain, every number taken from CodewordCodecParams (scheme_config.h):
//   value -> k symbols of m bits (least significant first)
//         -> outer code: Reed–Solomon over GF(2^m) (m ≥ 2) or the binary
//            block code (m = 1)
//         -> parity symbols inverted (invertParity)
//         -> symbol permutation (symbolOrder)
//         -> tail-biting convolutional code, block by block
//         -> block interleaver: coded bit r·C + c to channel position r + R·c
//            (or interleaverTable[r] when the table is present)
//
// ENCODING ENTRY POINT (used to synthesise test audio):
//   CodewordCodec* codec = createCodewordCodec(&scheme->codec, 1);
//   std::vector<uint8_t> bits(codewordChannelBitCount(&scheme->codec));
//   encodeCodeword(codec, value, bits.data());   // one byte 0/1 per bit
//   deleteCodewordCodec(codec);
// Channel bits come out in channel (transmission) order.
//
// Ownership: the codec borrows its parameters, which must outlive it; it
// owns its block codes and, when created with `allocate`, its work buffers.
// With a scratch pad (assignCodecScratchPad) the caller owns the pad and
// must keep it alive while the codec is used.
//
// Thread safety: none. The work buffers make concurrent calls on one codec
// unsafe, encoding included; distinct codecs are independent.

#ifndef TL_CORE_DECODER_CODEWORD_CODEC_H_
#define TL_CORE_DECODER_CODEWORD_CODEC_H_

#include <cstdint>

#include "core/decoder/convolutional_code.h"
#include "core/decoder/reed_solomon.h"
#include "core/decoder/scheme_config.h"

namespace tembrolexinsdk {

// Largest number of code symbols: position masks are 32-bit and the burst
// window rotates through bit n.
constexpr int32_t kMaxCodeSymbols = 31;

struct CodewordDecodeResult {
  uint64_t value;      // the decoded value (k × m bits)
  int16_t errors;      // corrected symbols; -1 when the decode is rejected
  uint32_t errorMask;  // bit i: code symbol i corrected; all ones when the
                       // Reed–Solomon decoder rejected the word; 0 for m = 1
};

struct CodewordCodec {
  const CodewordCodecParams* params;  // borrowed
  ReedSolomonCodec reedSolomon;       // set up only when m ≥ 2
  int32_t hasReedSolomon;
  ConvolutionalCodec conv;
  uint8_t* symbols;         // n: code symbols in code order
  uint8_t* orderedSymbols;  // n: code symbols in channel order
  uint8_t* codedBits;       // n × m × G: one byte per coded bit
  int32_t ownsBuffers;      // the three buffers were allocated by the codec
};

// Number of channel bits of one code word, R × C (= n × m × G); 0 for null.
int32_t codewordChannelBitCount(const CodewordCodecParams* params);

// Creates a codec for `params`. With `allocate` non-zero the codec and its
// block codes allocate their work areas; with zero they wait for
// assignCodecScratchPad. Returns null (having freed what it built) for a null
// or inconsistent parameter record (m outside 1 … 8, n outside 1 … 31, k
// outside 1 … n, k × m > 64, n > 2^m - 1 for Reed–Solomon, missing binary
// code arrays, a symbolOrder that is not a permutation, block lengths that
// are not positive or do not add up to n, a bad convolutional code,
// R × C ≠ n × m × G, interleaver table entries outside 0 … R × C - 1) and
// when memory runs out.
CodewordCodec* createCodewordCodec(const CodewordCodecParams* params, int allocate);

// Frees the codec, its block codes and the buffers it allocated. Null is
// ignored.
void deleteCodewordCodec(CodewordCodec* codec);

// Returns the scratch bytes the codec needs; when `pad` is not null (4-byte
// aligned, at least that large) all work areas are pointed into it. Returns
// 0 for null.
int32_t assignCodecScratchPad(CodewordCodec* codec, void* pad);

// Writes the R × C channel bits (bytes 0/1, channel order) of `value`; bits
// of the value above k × m are ignored. Returns R × C, or -1 (nothing
// written) for a null argument or a codec whose buffers are not placed.
int32_t encodeCodeword(CodewordCodec* codec, uint64_t value, uint8_t* channelBits);

// Decodes one frame of R × C signed soft channel bits (negative: 0 sent,
// positive: 1 sent; magnitudes of 64 and more saturate). Fills `result`
// (which may be null) and returns the value, which is also returned when the
// decode is rejected (errors -1); callers test `errors`. A null codec, null
// soft bits or a codec whose buffers are not placed give value 0, errors -1
// and mask all ones.
uint64_t decodeCodeword(CodewordCodec* codec, const int8_t* softBits,
                        CodewordDecodeResult* result);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_CODEWORD_CODEC_H_
