// Reading one schema struct from bytes in Thrift's binary encoding with
// bounded memory, for every reader of bus payloads (the core's message
// factory and the platform's message envelope).
//
// Strings and containers may announce no more elements than the bytes hold,
// and the containers' elements, charged at their in-memory size when the
// container is announced, may together take at most 64 bytes per input byte
// plus 64 KiB: a corrupt or hostile payload never costs more than a small
// multiple of its size. Over-long lengths throw Thrift's TProtocolException
// (SIZE_LIMIT), negative string lengths NEGATIVE_SIZE, and bytes that end too
// soon its TTransportException. A negative container count throws
// NEGATIVE_SIZE too, or reads as an empty container where the reader asks for
// that (the platform's message classes do). Stateless; any thread.
#ifndef TL_SCHEMA_BOUNDED_READ_H_
#define TL_SCHEMA_BOUNDED_READ_H_

#include <cstddef>
#include <cstdint>

namespace apache::thrift {
class TBase;
}  // namespace apache::thrift

namespace tembrolexinsdk {

// Memory the containers of one read may take, per input byte and on top;
// honest messages need well under a third of it, since every element the
// schema writes is several bytes.
constexpr std::uint64_t kReadMemoryPerByte = 64;
constexpr std::uint64_t kReadMemoryFloor = 64 * 1024;

// What a container header with a negative element count means.
enum class NegativeCount {
  kReject,  // TProtocolException (NEGATIVE_SIZE)
  kEmpty,   // a container of no elements; the field counts as present
};

// Reads `msg` from `size` bytes at `bytes`, which are never written. More
// than 2^31 - 1 bytes throw TProtocolException (SIZE_LIMIT).
void readBounded(const std::uint8_t* bytes, std::size_t size, ::apache::thrift::TBase& msg,
                 NegativeCount negativeCount = NegativeCount::kReject);

}  // namespace tembrolexinsdk

#endif  // TL_SCHEMA_BOUNDED_READ_H_
