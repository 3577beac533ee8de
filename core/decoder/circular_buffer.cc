#include "core/decoder/circular_buffer.h"

#include <cstdlib>
#include <cstring>

namespace tembrolexinsdk {

namespace {

void clearRing(CircularBuffer* ring) {
  ring->count = 0;
  ring->ownsStorage = 0;
  ring->current = nullptr;
  ring->end = nullptr;
  ring->base = nullptr;
}

int32_t initRing(CircularBuffer* ring, void* storage, int32_t count, int32_t elementSize) {
  if (!ring) return 0;
  clearRing(ring);
  ring->elementSize = static_cast<uint8_t>(elementSize > 0 && elementSize < 256 ? elementSize : 0);
  // A ring of no slots (or slots of no bytes) would have nowhere to push to.
  if (count < 1 || elementSize < 1 || elementSize > 255) return 0;
  const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(elementSize);
  uint8_t* base = static_cast<uint8_t*>(storage);
  if (base) {
    std::memset(base, 0, bytes);
  } else {
    base = static_cast<uint8_t*>(calloc(static_cast<size_t>(count), elementSize));
    if (!base) return 0;
    ring->ownsStorage = 1;
  }
  ring->count = count;
  ring->base = base;
  ring->end = base + bytes;
  ring->current = ring->end - elementSize;
  return 1;
}

CircularBuffer* createRing(void* storage, int32_t count, int32_t elementSize) {
  CircularBuffer* ring = static_cast<CircularBuffer*>(calloc(1, sizeof(CircularBuffer)));
  if (!ring) return nullptr;
  initRing(ring, storage, count, elementSize);
  return ring;
}

void closeRing(CircularBuffer* ring) {
  if (!ring) return;
  if (ring->ownsStorage) free(ring->base);
  clearRing(ring);
}

void deleteRing(CircularBuffer* ring) {
  closeRing(ring);
  free(ring);
}

// Advances `current` by one slot and returns it; null without storage.
uint8_t* advance(CircularBuffer* ring) {
  if (!ring || !ring->base) return nullptr;
  ring->current += ring->elementSize;
  if (ring->current >= ring->end) ring->current = ring->base;
  return ring->current;
}

template <typename T>
T pushValue(CircularBuffer* ring, T value) {
  uint8_t* slot = advance(ring);
  if (!slot) return T();
  T old;
  std::memcpy(&old, slot, sizeof(T));
  std::memcpy(slot, &value, sizeof(T));
  return old;
}

template <typename T>
T valueAt(const CircularBuffer* ring, int64_t back) {
  int32_t index = CircularBufferIndexBack(ring, back);
  if (index < 0) return T();
  T value;
  std::memcpy(&value, ring->base + static_cast<size_t>(index) * ring->elementSize, sizeof(T));
  return value;
}

}  // namespace

int32_t CircularBufferLongInit2(CircularBuffer* ring, int32_t* storage, int32_t count) {
  return initRing(ring, storage, count, 4);
}
int32_t CircularBufferShortInit2(CircularBuffer* ring, int16_t* storage, int32_t count) {
  return initRing(ring, storage, count, 2);
}
int32_t CircularBufferCharInit2(CircularBuffer* ring, int8_t* storage, int32_t count) {
  return initRing(ring, storage, count, 1);
}
int32_t CircularBufferFloatInit2(CircularBuffer* ring, float* storage, int32_t count) {
  return initRing(ring, storage, count, 4);
}
int32_t CircularBufferGenericInit2(CircularBuffer* ring, void* storage, int32_t count,
                                   int32_t elementSize) {
  return initRing(ring, storage, count, elementSize);
}

CircularBuffer* CircularBufferLongCreate2(int32_t* storage, int32_t count) {
  return createRing(storage, count, 4);
}
CircularBuffer* CircularBufferShortCreate2(int16_t* storage, int32_t count) {
  return createRing(storage, count, 2);
}
CircularBuffer* CircularBufferCharCreate2(int8_t* storage, int32_t count) {
  return createRing(storage, count, 1);
}
CircularBuffer* CircularBufferFloatCreate2(float* storage, int32_t count) {
  return createRing(storage, count, 4);
}
CircularBuffer* CircularBufferGenericCreate2(void* storage, int32_t count, int32_t elementSize) {
  return createRing(storage, count, elementSize);
}

void CircularBufferLongClose(CircularBuffer* ring) { closeRing(ring); }
void CircularBufferShortClose(CircularBuffer* ring) { closeRing(ring); }
void CircularBufferCharClose(CircularBuffer* ring) { closeRing(ring); }
void CircularBufferFloatClose(CircularBuffer* ring) { closeRing(ring); }
void CircularBufferGenericClose(CircularBuffer* ring) { closeRing(ring); }

void CircularBufferLongDelete(CircularBuffer* ring) { deleteRing(ring); }
void CircularBufferShortDelete(CircularBuffer* ring) { deleteRing(ring); }
void CircularBufferCharDelete(CircularBuffer* ring) { deleteRing(ring); }
void CircularBufferFloatDelete(CircularBuffer* ring) { deleteRing(ring); }
void CircularBufferGenericDelete(CircularBuffer* ring) { deleteRing(ring); }

int32_t CircularBufferLongPush(CircularBuffer* ring, int32_t value) {
  return pushValue<int32_t>(ring, value);
}
int16_t CircularBufferShortPush(CircularBuffer* ring, int16_t value) {
  return pushValue<int16_t>(ring, value);
}
int8_t CircularBufferCharPush(CircularBuffer* ring, int8_t value) {
  return pushValue<int8_t>(ring, value);
}
float CircularBufferFloatPush(CircularBuffer* ring, float value) {
  return pushValue<float>(ring, value);
}

void CircularBufferGenericPush(CircularBuffer* ring, const void* value, void* out) {
  uint8_t* slot = advance(ring);
  if (!slot) return;
  if (out) std::memcpy(out, slot, ring->elementSize);
  if (value) {
    std::memmove(slot, value, ring->elementSize);
  } else {
    std::memset(slot, 0, ring->elementSize);
  }
}

int32_t CircularBufferLongAt(const CircularBuffer* ring, int64_t back) {
  return valueAt<int32_t>(ring, back);
}
int16_t CircularBufferShortAt(const CircularBuffer* ring, int64_t back) {
  return valueAt<int16_t>(ring, back);
}
float CircularBufferFloatAt(const CircularBuffer* ring, int64_t back) {
  return valueAt<float>(ring, back);
}

void CircularBufferZero(CircularBuffer* ring) {
  if (!ring || !ring->base) return;
  std::memset(ring->base, 0, static_cast<size_t>(ring->end - ring->base));
}

int32_t assignScratchPad2(void** pointer, int32_t count, int32_t elementSize, void* pad,
                          int32_t offset, int32_t alignment) {
  if (count < 0 || elementSize < 0) return 0;
  if (alignment < 1) alignment = 1;
  int64_t size = static_cast<int64_t>(count) * elementSize;
  size = (size + alignment - 1) / alignment * alignment;
  if (size > INT32_MAX) return 0;
  if (pointer && pad) *pointer = static_cast<uint8_t*>(pad) + offset;
  return static_cast<int32_t>(size);
}

}  // namespace tembrolexinsdk
