// Reed–Solomon code over GF(2^m), systematic, data symbols first.
//
// A code word of n symbols is read as the polynomial c(x) = Σ c_j x^(n-1-j):
// symbol 0 is the highest-degree coefficient. The code is the length 2^m - 1
// code with generator roots α^1 … α^(n-k), shortened to n symbols. Symbols are
// held one per byte, so the codec accepts m = 2 … 8.
//
// Ownership: the caller owns the ReedSolomonCodec record (usually embedded in a
// larger record). reedSolomonInit allocates the field tables and, when asked,
// the work areas; reedSolomonClose frees what the record allocated. Work areas
// placed by reedSolomonScratch belong to the caller's pad.
//
// Thread safety: none. A codec's work areas make concurrent decodes on one
// record unsafe; distinct records are independent.

#ifndef TL_CORE_DECODER_REED_SOLOMON_H_
#define TL_CORE_DECODER_REED_SOLOMON_H_

#include <cstdint>

namespace tembrolexinsdk {

struct ReedSolomonCodec {
  int32_t m;   // bits per symbol
  int32_t n;   // code length in symbols
  int32_t k;   // data symbols
  int32_t nn;  // 2^m - 1
  int32_t primitivePoly[17];  // m + 1 coefficients, 0 or 1, entry i of x^i

  int32_t* expTable;      // 2^m entries: α^i for i < nn, expTable[nn] = 0
  int32_t* logTable;      // 2^m entries: log of x; logTable[0] = nn
  int32_t* generator;     // n - k + 1 coefficients, entry i of x^i
  int32_t* generatorLog;  // the same in logarithm form

  // Work areas (own allocation or a caller's scratch pad).
  int32_t* syndromes;  // n - k + 1
  int32_t* lambda;     // n - k + 1: error locator
  int32_t* b;          // n - k + 1
  int32_t* t;          // n - k + 1
  int32_t* omega;      // n - k + 1: error evaluator
  int32_t* reg;        // n - k + 1: register copy
  int32_t* roots;      // nn
  int32_t* locations;  // nn
  uint8_t* received;   // n: copy of the received word

  int32_t ownsWork;  // the work areas were allocated by reedSolomonInit
};

// Builds the field and the generator for GF(2^m), code (n, k). With
// `allocate` non-zero the work areas are allocated too; otherwise they must
// be placed with reedSolomonScratch before decoding. Returns 1, or 0 (with
// nothing left allocated) for a null codec, m outside 2 … 8, k < 0,
// n < k, n < 1, n > 2^m - 1, or a failed allocation.
int reedSolomonInit(ReedSolomonCodec* codec, int m, int n, int k,
                    int allocate);

// Frees what the record allocated and zeroes it. Null is ignored.
void reedSolomonClose(ReedSolomonCodec* codec);

// Returns the number of scratch bytes the decoder needs; when `pad` is not
// null, points the work areas into it (the pad must be 4-byte aligned and at
// least that large). Returns 0 for a null or uninitialised codec.
int reedSolomonScratch(ReedSolomonCodec* codec, void* pad);

// Computes the parity symbols k … n-1 of `word` in place. When `data` is not
// null its k symbols are first copied into word[0 … k-1]. Symbols above
// 2^m - 1 are masked to m bits. Returns 0, or -1 for null arguments.
int reedSolomonEncode(const ReedSolomonCodec* codec, uint8_t* word,
                      const uint8_t* data);

// Decodes `word` (n symbols) in place, errors only. Returns the mask of
// corrected positions (bit j for symbol j, positions 0 … 62 only) and stores
// the number of corrected symbols in *count; returns -1 and stores -1 when the
// word is rejected: uncorrectable, an error located in the shortened part, a
// degenerate locator, or a failed final check. `count` may be null. A codec
// without work areas rejects every word.
int64_t reedSolomonDecode(ReedSolomonCodec* codec, uint8_t* word,
                          int* count);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_REED_SOLOMON_H_
