// Compile-time expansion of symmetric (linear-phase) filter tables that are
// written down as their first half. Header-only; no state.
#ifndef TL_CORE_DECODER_SYMMETRIC_TABLE_H_
#define TL_CORE_DECODER_SYMMETRIC_TABLE_H_

#include <stddef.h>
#include <stdint.h>

#include <array>

namespace tembrolexinsdk {

// Expands the first half of a symmetric table (including the centre tap for
// odd lengths) into the whole table of N taps.
template <size_t N, size_t H>
constexpr std::array<int16_t, N> mirror(const int16_t (&half)[H]) {
  static_assert(H == (N + 1) / 2, "half table length does not match");
  std::array<int16_t, N> full{};
  for (size_t i = 0; i < H; ++i) {
    full[i] = half[i];
    full[N - 1 - i] = half[i];
  }
  return full;
}

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_SYMMETRIC_TABLE_H_
