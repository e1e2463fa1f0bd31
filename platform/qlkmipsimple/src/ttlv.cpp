#include <qlkmipsimple/ttlv.h>

#include <cstring>

namespace Qlkmip::Ttlv {
namespace {

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint64_t Be64(const uint8_t* p) { return (uint64_t{Be32(p)} << 32) | Be32(p + 4); }

constexpr int kBitsPerByte = 8;
constexpr size_t kTagSize = 3;
constexpr size_t kLengthSize = 4;

void PutBe(Har::Secret* out, uint64_t value, size_t bytes) {
  for (int i = static_cast<int>(bytes) - 1; i >= 0; --i) {
    out->push_back(static_cast<char>(value >> (kBitsPerByte * i)));
  }
}

size_t Padded(size_t length) { return (length + 7) & ~size_t{7}; }

bool KnownTagPrefix(uint32_t tag) {
  const uint32_t prefix = tag >> 16;
  return prefix == 0x42 || prefix == 0x54;
}

// Size of a fixed-size value, or 0 for variable-size types.
uint32_t FixedSize(Type type) {
  switch (type) {
    case Type::Integer:
    case Type::Enumeration:
    case Type::Interval:
      return 4;
    case Type::LongInteger:
    case Type::Boolean:
    case Type::DateTime:
      return 8;
    default:
      return 0;
  }
}

bool KnownType(uint8_t type) { return type >= 0x01 && type <= 0x0A; }

class Decoder {
 public:
  Decoder(const Limits& limits, std::string* error) : limits_(limits), error_(error) {}

  // Decodes the items that exactly fill [p, p + size) into OUT.
  bool Sequence(const uint8_t* p, size_t size, int depth, std::vector<Item>* out) {
    size_t offset = 0;
    while (offset < size) {
      Item item;
      size_t used = 0;
      if (!One(p + offset, size - offset, depth, &item, &used)) {
        return false;
      }
      out->push_back(std::move(item));
      offset += used;
    }
    return true;
  }

  // Decodes one item at the start of [p, p + size); *used gets its padded size.
  bool One(const uint8_t* p, size_t size, int depth, Item* item, size_t* used) {
    if (++items_ > limits_.maxItems) {
      return Fail("too many items");
    }
    if (size < kHeaderSize) {
      return Fail("truncated item header");
    }
    const Header h = ReadHeader(p);
    if (!KnownTagPrefix(h.tag)) {
      return Fail("unknown tag");
    }
    if (!KnownType(h.type)) {
      return Fail("unknown item type");
    }
    item->tag = h.tag;
    item->type = static_cast<Type>(h.type);
    const size_t padded = Padded(h.length);
    if (padded > size - kHeaderSize) {
      return Fail("item length exceeds the message");
    }
    const uint8_t* value = p + kHeaderSize;
    *used = kHeaderSize + padded;
    if (!ZeroPadding(value + h.length, padded - h.length)) {
      return false;
    }
    if (item->type == Type::Structure) {
      if (depth >= limits_.maxDepth) {
        return Fail("structures nested too deeply");
      }
      return Sequence(value, h.length, depth + 1, &item->children);
    }
    return Primitive(value, h.length, item);
  }

 private:
  bool Fail(const char* what) {
    *error_ = what;
    return false;
  }

  bool ZeroPadding(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (p[i] != 0) {
        return Fail("non-zero padding");
      }
    }
    return true;
  }

  bool Primitive(const uint8_t* value, uint32_t length, Item* item) {
    const uint32_t fixed = FixedSize(item->type);
    if (fixed != 0 && length != fixed) {
      return Fail("wrong length for a fixed-size item");
    }
    switch (item->type) {
      case Type::Integer:
        item->number = static_cast<int32_t>(Be32(value));
        return true;
      case Type::Enumeration:
      case Type::Interval:
        item->number = Be32(value);
        return true;
      case Type::LongInteger:
      case Type::DateTime:
        item->number = static_cast<int64_t>(Be64(value));
        return true;
      case Type::Boolean:
        item->number = static_cast<int64_t>(Be64(value));
        return item->number == 0 || item->number == 1 ? true : Fail("invalid boolean");
      case Type::BigInteger:
        if (length == 0 || length % 8 != 0) {
          return Fail("invalid big integer length");
        }
        break;
      case Type::TextString:
        if (std::memchr(value, 0, length) != nullptr) {
          return Fail("text string contains a NUL byte");
        }
        break;
      default:
        break;
    }
    item->bytes = Har::Secret(value, length);
    return true;
  }

  const Limits& limits_;
  std::string* error_;
  size_t items_ = 0;
};

}  // namespace

Header ReadHeader(const uint8_t* p) {
  return Header{(uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2], p[3], Be32(p + 4)};
}

Item Item::Struct(uint32_t tag, std::vector<Item> children) {
  Item item;
  item.tag = tag;
  item.type = Type::Structure;
  item.children = std::move(children);
  return item;
}

static Item Number(uint32_t tag, Type type, int64_t value) {
  Item item;
  item.tag = tag;
  item.type = type;
  item.number = value;
  return item;
}

Item Item::Int(uint32_t tag, int32_t value) { return Number(tag, Type::Integer, value); }
Item Item::Long(uint32_t tag, int64_t value) { return Number(tag, Type::LongInteger, value); }
Item Item::Enum(uint32_t tag, uint32_t value) { return Number(tag, Type::Enumeration, value); }
Item Item::Bool(uint32_t tag, bool value) { return Number(tag, Type::Boolean, value ? 1 : 0); }
Item Item::Time(uint32_t tag, int64_t seconds) { return Number(tag, Type::DateTime, seconds); }

Item Item::Text(uint32_t tag, std::string_view text) {
  Item item;
  item.tag = tag;
  item.type = Type::TextString;
  item.bytes.assign(text);
  return item;
}

Item Item::Bytes(uint32_t tag, const uint8_t* data, size_t size) {
  Item item;
  item.tag = tag;
  item.type = Type::ByteString;
  item.bytes = Har::Secret(data, size);
  return item;
}

const Item* Item::Find(uint32_t wanted) const {
  for (const Item& child : children) {
    if (child.tag == wanted) {
      return &child;
    }
  }
  return nullptr;
}

const Item* Item::Find(uint32_t wanted, Type wantedType) const {
  const Item* found = Find(wanted);
  return found != nullptr && found->type == wantedType ? found : nullptr;
}

void EncodeTo(const Item& item, Har::Secret* out) {
  PutBe(out, item.tag, kTagSize);
  out->push_back(static_cast<uint8_t>(item.type));
  const size_t lengthAt = out->size();
  PutBe(out, 0, kLengthSize);
  const size_t valueAt = out->size();
  switch (item.type) {
    case Type::Structure:
      for (const Item& child : item.children) {
        EncodeTo(child, out);
      }
      break;
    case Type::Integer:
    case Type::Enumeration:
    case Type::Interval:
      PutBe(out, static_cast<uint32_t>(item.number), FixedSize(item.type));
      break;
    case Type::LongInteger:
    case Type::Boolean:
    case Type::DateTime:
      PutBe(out, static_cast<uint64_t>(item.number), FixedSize(item.type));
      break;
    default:
      out->append(item.bytes.view());
      break;
  }
  const size_t length = out->size() - valueAt;
  for (size_t i = 0; i < kLengthSize; ++i) {
    (*out)[lengthAt + i] = static_cast<char>(length >> (kBitsPerByte * (kLengthSize - 1 - i)));
  }
  out->resize(valueAt + Padded(length));
}

Har::Secret Encode(const Item& item) {
  Har::Secret out;
  EncodeTo(item, &out);
  return out;
}

Har::Status Decode(const uint8_t* data, size_t size, const Limits& limits, Item* out) {
  if (size > limits.maxSize) {
    return Har::Status::Error("message too large");
  }
  std::string error;
  Decoder decoder(limits, &error);
  size_t used = 0;
  if (!decoder.One(data, size, 0, out, &used)) {
    return Har::Status::Error(std::move(error));
  }
  if (used != size) {
    return Har::Status::Error("bytes after the message");
  }
  return Har::Status::Ok();
}

}  // namespace Qlkmip::Ttlv
