// Reading one schema struct from bytes in Thrift's binary encoding with
// bounded memory, for every reader of bus payloads (the core's message
// factory and the platform's message envelope).
//
// Strings and containers may announce no more elements than the bytes hold,
// and the containers' elements, charged at their in-memory size when the
// container is announced, may together take at most 64 bytes per input byte
// plus 64 KiB: a corrupt or hostile payload never costs more than a small
// multiple of its size. Over-long or negative lengths throw Thrift's
// TProtocolException (SIZE_LIMIT, NEGATIVE_SIZE), bytes that end too soon its
// TTransportException. Stateless; any thread.
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

// Reads `msg` from `size` bytes at `bytes`, which are never written. More
// than 2^31 - 1 bytes throw TProtocolException (SIZE_LIMIT).
void readBounded(const std::uint8_t* bytes, std::size_t size, ::apache::thrift::TBase& msg);

}  // namespace tembrolexinsdk

#endif  // TL_SCHEMA_BOUNDED_READ_H_
