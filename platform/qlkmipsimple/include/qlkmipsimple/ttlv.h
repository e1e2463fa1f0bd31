// KMIP TTLV (tag, type, length, value) items: an in-memory tree, an encoder and a bounded
// decoder. Decoding checks every length against the buffer, the fixed sizes of the numeric
// types, zero padding to 8 bytes, the nesting depth, the item count and the total size; it
// never reads outside the given buffer. Byte and text values, and encoded messages, are
// Har::Secret: they may carry keys and passwords.
#ifndef QLKMIPSIMPLE_TTLV_H
#define QLKMIPSIMPLE_TTLV_H

#include <harlibs/secure.h>
#include <harlibs/status.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Qlkmip::Ttlv {

enum class Type : uint8_t {
  Structure = 0x01,
  Integer = 0x02,
  LongInteger = 0x03,
  BigInteger = 0x04,
  Enumeration = 0x05,
  Boolean = 0x06,
  TextString = 0x07,
  ByteString = 0x08,
  DateTime = 0x09,
  Interval = 0x0A,
};

struct Item {
  uint32_t tag = 0;
  Type type = Type::Structure;
  // Integer (int32), LongInteger, Enumeration (uint32), Boolean (0/1), DateTime, Interval (uint32).
  int64_t number = 0;
  // TextString, ByteString, BigInteger.
  Har::Secret bytes;
  // Structure.
  std::vector<Item> children;

  static Item Struct(uint32_t tag, std::vector<Item> children = {});
  static Item Int(uint32_t tag, int32_t value);
  static Item Long(uint32_t tag, int64_t value);
  static Item Enum(uint32_t tag, uint32_t value);
  static Item Bool(uint32_t tag, bool value);
  static Item Time(uint32_t tag, int64_t secondsSinceEpoch);
  static Item Text(uint32_t tag, std::string_view text);
  static Item Bytes(uint32_t tag, const uint8_t* data, size_t size);

  // First child with TAG, or nullptr.
  const Item* Find(uint32_t tag) const;
  // First child with TAG and TYPE, or nullptr.
  const Item* Find(uint32_t tag, Type type) const;
  std::string TextValue() const { return std::string(bytes.view()); }
};

struct Limits {
  size_t maxSize = 1u << 20;  // whole message, header included
  int maxDepth = 16;          // structures nested inside the outermost one
  size_t maxItems = 4096;     // items in the message
};

constexpr size_t kHeaderSize = 8;

// Appends the encoding of ITEM to OUT (structures get their length computed).
void EncodeTo(const Item& item, Har::Secret* out);
Har::Secret Encode(const Item& item);

// Decodes exactly one item filling [data, data + size). On failure the error is a short
// description; *out is then unspecified.
Har::Status Decode(const uint8_t* data, size_t size, const Limits& limits, Item* out);

// Reads the first 8 bytes of an item: its tag, its type byte and the length of its value
// (without padding).
struct Header {
  uint32_t tag;
  uint8_t type;
  uint32_t length;
};
Header ReadHeader(const uint8_t* eightBytes);

}  // namespace Qlkmip::Ttlv

#endif
