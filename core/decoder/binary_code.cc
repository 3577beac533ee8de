#include "core/decoder/binary_code.h"

namespace tembrolexinsdk {
namespace {

// Depth-first over the punctured positions in list order: is there a subset
// of columns[from …] that exclusive-ors to `target`?
bool subsetCancels(uint64_t target, const uint64_t* cols, int from, int count) {
  if (target == 0) return true;
  if (from >= count) return false;
  return subsetCancels(target ^ cols[from], cols, from + 1, count) ||
         subsetCancels(target, cols, from + 1, count);
}

}  // namespace

int binaryBlockEncode(uint8_t* bits, const uint8_t* data, int n, int k,
                      const uint64_t* rows) {
  if (bits == nullptr || n < 0 || n > kMaxBinaryCodeBits || k > kMaxBinaryCodeBits) {
    return -1;
  }
  if (k >= 1 && rows == nullptr) return -1;
  uint64_t word = 0;
  const uint8_t* info = data != nullptr ? data : bits;
  for (int i = 0; i < k; ++i) {
    if (info[i] != 0) word ^= rows[i];
  }
  for (int j = 0; j < n; ++j) bits[j] = static_cast<uint8_t>((word >> j) & 1);
  return 0;
}

int binaryBlockDecode(const uint8_t* bits, int n, const uint64_t* columns,
                      int puncturedCount, const int32_t* puncturedPositions) {
  if (bits == nullptr || columns == nullptr || n < 1 || n > kMaxBinaryCodeBits ||
      puncturedCount < 0 || puncturedCount > kMaxBinaryPunctured ||
      (puncturedCount > 0 && puncturedPositions == nullptr)) {
    return -1;
  }
  for (int i = 0; i < puncturedCount; ++i) {
    const int32_t pos = puncturedPositions[i];
    if (pos < 0 || pos >= n || (i > 0 && pos <= puncturedPositions[i - 1])) return -1;
  }
  uint64_t syndrome = 0;
  uint64_t punctured[kMaxBinaryPunctured];
  int next = 0;
  for (int j = 0; j < n; ++j) {
    if (next < puncturedCount && puncturedPositions[next] == j) {
      punctured[next] = columns[j];
      ++next;
      continue;
    }
    if (bits[j] != 0) syndrome ^= columns[j];
  }
  return subsetCancels(syndrome, punctured, 0, puncturedCount) ? 0 : -1;
}

}  // namespace tembrolexinsdk
