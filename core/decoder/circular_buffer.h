// Fixed-size rings shared by every stage of the decoding core (filter delay
// lines, histories of soft symbols, levels and results), and the carving of
// work areas out of a caller's scratch pad.
//
// A push advances `current` by one slot (wrapping from `end` to `base`) and
// exchanges the new value with the slot's content: the value that comes out
// is the one pushed `count` pushes earlier, zero while the ring fills. A new
// ring is all zero with `current` on its last slot.
//
// Storage given by the caller is zeroed and used in place and never freed;
// storage allocated by the ring is freed by Close/Delete. A ring of 0 slots
// is refused at init. Pushes and reads on a ring without storage do nothing
// and give 0.
//
// Thread safety: none; a ring belongs to one thread at a time.
#ifndef TL_CORE_DECODER_CIRCULAR_BUFFER_H_
#define TL_CORE_DECODER_CIRCULAR_BUFFER_H_

#include <cstdint>

namespace tembrolexinsdk {

struct CircularBuffer {
  int32_t count;        // slots
  uint8_t ownsStorage;  // flag
  uint8_t elementSize;  // bytes per slot
  uint8_t* current;     // slot last written
  uint8_t* end;         // one past the last slot
  uint8_t* base;        // first slot
};

// Init2: 1, or 0 when there is no storage (allocation failed, or count < 1,
// or an element size of 0 for the generic kind). On 0 the ring is left empty
// (base null) and may still be closed.
int32_t CircularBufferLongInit2(CircularBuffer* ring, int32_t* storage, int32_t count);
int32_t CircularBufferShortInit2(CircularBuffer* ring, int16_t* storage, int32_t count);
int32_t CircularBufferCharInit2(CircularBuffer* ring, int8_t* storage, int32_t count);
int32_t CircularBufferFloatInit2(CircularBuffer* ring, float* storage, int32_t count);
int32_t CircularBufferGenericInit2(CircularBuffer* ring, void* storage, int32_t count,
                                   int32_t elementSize);

// Create2: a new malloc'ed ring record (null only when the record itself
// cannot be allocated); its base is null when storage could not be set up.
CircularBuffer* CircularBufferLongCreate2(int32_t* storage, int32_t count);
CircularBuffer* CircularBufferShortCreate2(int16_t* storage, int32_t count);
CircularBuffer* CircularBufferCharCreate2(int8_t* storage, int32_t count);
CircularBuffer* CircularBufferFloatCreate2(float* storage, int32_t count);
CircularBuffer* CircularBufferGenericCreate2(void* storage, int32_t count, int32_t elementSize);

// Close: frees owned storage and sets base (and the other pointers) to null.
void CircularBufferLongClose(CircularBuffer* ring);
void CircularBufferShortClose(CircularBuffer* ring);
void CircularBufferCharClose(CircularBuffer* ring);
void CircularBufferFloatClose(CircularBuffer* ring);
void CircularBufferGenericClose(CircularBuffer* ring);
// Delete: Close, then free the record (from Create2).
void CircularBufferLongDelete(CircularBuffer* ring);
void CircularBufferShortDelete(CircularBuffer* ring);
void CircularBufferCharDelete(CircularBuffer* ring);
void CircularBufferFloatDelete(CircularBuffer* ring);
void CircularBufferGenericDelete(CircularBuffer* ring);

// Exchange pushes: write the value into the next slot, return the old one.
int32_t CircularBufferLongPush(CircularBuffer* ring, int32_t value);
int16_t CircularBufferShortPush(CircularBuffer* ring, int16_t value);
int8_t CircularBufferCharPush(CircularBuffer* ring, int8_t value);
float CircularBufferFloatPush(CircularBuffer* ring, float value);
// Copies elementSize bytes from `value` in and the old slot out to `out`
// (out may be null).
void CircularBufferGenericPush(CircularBuffer* ring, const void* value, void* out);

// Slot index (0 .. count-1) of the value written `back` pushes before the
// newest (0 = newest), reduced modulo count for any back, negative included.
// -1 for a ring without storage.
// Defined here so that the per-step readers of soft symbols inline it; a
// back within one turn of the ring and one-byte slots need no division.
inline int32_t CircularBufferIndexBack(const CircularBuffer* ring, int64_t back) {
  if (!ring || !ring->base || ring->count < 1 || ring->elementSize < 1) return -1;
  const int64_t offset = ring->current - ring->base;
  const int64_t newest = ring->elementSize == 1 ? offset : offset / ring->elementSize;
  int64_t index = newest - back;
  if (back < 0 || back >= ring->count) index %= ring->count;
  if (index < 0) index += ring->count;
  return static_cast<int32_t>(index);
}
// Values `back` pushes before the newest (0 = newest), wrapping; 0 without
// storage.
int32_t CircularBufferLongAt(const CircularBuffer* ring, int64_t back);
int16_t CircularBufferShortAt(const CircularBuffer* ring, int64_t back);
inline int8_t CircularBufferCharAt(const CircularBuffer* ring, int64_t back) {
  const int32_t index = CircularBufferIndexBack(ring, back);
  if (index < 0) return 0;
  return static_cast<int8_t>(ring->base[static_cast<int64_t>(index) * ring->elementSize]);
}
float CircularBufferFloatAt(const CircularBuffer* ring, int64_t back);
// Zeroes every slot; `current` stays where it is.
void CircularBufferZero(CircularBuffer* ring);

// Size of a work area of count elements, rounded up to a multiple of the
// alignment (values below 1 count as 1); when both pointer and pad are given,
// *pointer = pad + offset. Negative counts or sizes give 0; a size beyond the
// int32 range gives 0 and leaves the pointer unset.
int32_t assignScratchPad2(void** pointer, int32_t count, int32_t elementSize, void* pad,
                          int32_t offset, int32_t alignment);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_DECODER_CIRCULAR_BUFFER_H_
