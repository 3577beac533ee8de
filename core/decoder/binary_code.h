// Binary linear block code for code words of one-bit symbols.
//
// A code word has n ≤ 64 bits, one byte (0 or 1) per bit. Encoding
// exclusive-ors the generator rows of the information bits that are set;
// decoding only checks the syndrome, allowing for punctured positions whose
// bits were never sent: a syndrome that some subset of the punctured
// positions' columns explains counts as consistent. No bit is ever changed.
//
// Thread safety: pure functions over caller-owned arrays.

#ifndef TL_CORE_DECODER_BINARY_CODE_H_
#define TL_CORE_DECODER_BINARY_CODE_H_

#include <cstdint>

namespace tembrolexinsdk {

// Largest code word and largest punctured list the block code accepts; the
// search over punctured subsets visits at most 2^kMaxBinaryPunctured sets.
constexpr int kMaxBinaryCodeBits = 64;
constexpr int kMaxBinaryPunctured = 20;

// Writes n bits (bytes 0/1) to `bits`: the exclusive or of rows[i] over the
// information bits i < k that are non-zero, bit j of that word to byte j.
// Information bit i is data[i], or bits[i] itself when `data` is null. With
// k < 1 the output is n zero bits. Returns 0, or -1 (nothing written) for a
// null `bits`, n outside 0 … 64, k > 64, or k ≥ 1 with null rows.
int binaryBlockEncode(uint8_t* bits, const uint8_t* data, int n, int k,
                      const uint64_t* rows);

// Checks the syndrome of a received word. Position j takes bits[j] unless it
// is a punctured position, which takes no bit and adds nothing; a non-zero
// bit exclusive-ors columns[j] into the syndrome. Returns 0 when the syndrome
// is zero or some subset of the punctured positions' columns cancels it, and
// -1 otherwise, and for bad arguments (null arrays, n outside 1 … 64, a
// punctured list that is not ascending inside 0 … n-1 or is longer than
// kMaxBinaryPunctured).
int binaryBlockDecode(const uint8_t* bits, int n, const uint64_t* columns,
                      int puncturedCount, const int32_t* puncturedPositions);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_BINARY_CODE_H_
