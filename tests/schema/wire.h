// Helpers for byte-exact schema tests: a hand-readable golden byte notation
// and one-call serialisation with Thrift's binary protocol over a memory
// buffer, the same pairing the bus payload uses.

#ifndef TL_TESTS_SCHEMA_WIRE_H_
#define TL_TESTS_SCHEMA_WIRE_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

namespace tl_test {

// Golden bytes notation: pairs of hex digits; whitespace and '|' are ignored;
// text between single quotes stands for its own (ASCII) bytes.
//   Bytes("0b 0001 00000003 'abc' 00")
inline std::string Bytes(const std::string& notation) {
  std::string out;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument(std::string("bad hex digit '") + c + "'");
  };
  for (size_t i = 0; i < notation.size();) {
    char c = notation[i];
    if (c == ' ' || c == '\n' || c == '\t' || c == '|') {
      ++i;
    } else if (c == '\'') {
      size_t end = notation.find('\'', i + 1);
      if (end == std::string::npos) throw std::invalid_argument("open quote");
      out.append(notation, i + 1, end - i - 1);
      i = end + 1;
    } else {
      if (i + 1 >= notation.size()) throw std::invalid_argument("odd digits");
      out.push_back(static_cast<char>(nibble(c) * 16 + nibble(notation[i + 1])));
      i += 2;
    }
  }
  return out;
}

// Bytes as spaced lower-case hex, for readable failure messages.
inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

using Protocol = apache::thrift::protocol::TBinaryProtocol;
using Buffer = apache::thrift::transport::TMemoryBuffer;

// A protocol over a buffer; `buffer` holds `input` (if any) to be read.
struct Wire {
  explicit Wire(const std::string& input = std::string())
      : buffer(std::make_shared<Buffer>()),
        protocol(std::make_shared<Protocol>(buffer)) {
    if (!input.empty()) {
      buffer->write(reinterpret_cast<const uint8_t*>(input.data()),
                    static_cast<uint32_t>(input.size()));
    }
  }
  std::string Written() const { return buffer->getBufferAsString(); }
  uint32_t Remaining() const { return buffer->available_read(); }

  std::shared_ptr<Buffer> buffer;
  std::shared_ptr<Protocol> protocol;
};

// Serialises `value`; `reported` receives write's own byte count.
template <typename T>
std::string Serialize(const T& value, uint32_t* reported = nullptr) {
  Wire wire;
  uint32_t n = value.write(wire.protocol.get());
  if (reported != nullptr) *reported = n;
  return wire.Written();
}

// Reads `bytes` into `value` (which is not reset first); returns the count
// that read reported. `remaining` receives the bytes left unread.
template <typename T>
uint32_t Deserialize(const std::string& bytes, T& value,
                     uint32_t* remaining = nullptr) {
  Wire wire(bytes);
  uint32_t n = value.read(wire.protocol.get());
  if (remaining != nullptr) *remaining = wire.Remaining();
  return n;
}

}  // namespace tl_test

#endif  // TL_TESTS_SCHEMA_WIRE_H_
