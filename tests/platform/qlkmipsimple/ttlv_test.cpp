// TTLV codec: every type, malformed input and the decoder's bounds.
#include <gtest/gtest.h>
#include <qlkmipsimple/ttlv.h>

#include <test_bytes.h>

namespace QlcTest {
namespace {

using TestSupport::FromHex;
using TestSupport::ToVector;

using Qlkmip::Ttlv::Item;

Har::Status Decode(const std::vector<uint8_t>& bytes, Item* item,
                   const Qlkmip::Ttlv::Limits& limits = {}) {
  return Qlkmip::Ttlv::Decode(bytes.data(), bytes.size(), limits, item);
}

TEST(TtlvCodec, EveryTypeRoundTrips) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  Item s = Item::Struct(0x420001, {Item::Int(0x420002, -5), Item::Long(0x420003, -1LL << 40),
                                   Item::Enum(0x420004, 0xfffffffe), Item::Bool(0x420005, true),
                                   Item::Text(0x420006, "hello"), Item::Bytes(0x420007, bytes, 9),
                                   Item::Time(0x420008, 1796538439), Item::Struct(0x420009)});
  const Har::Secret encoded = Qlkmip::Ttlv::Encode(s);
  EXPECT_EQ(encoded.size() % 8, 0u);
  Item back;
  ASSERT_TRUE(Decode(ToVector(encoded), &back));
  ASSERT_EQ(back.children.size(), 8u);
  EXPECT_EQ(back.children[0].number, -5);
  EXPECT_EQ(back.children[1].number, -1LL << 40);
  EXPECT_EQ(back.children[2].number, 0xfffffffe);
  EXPECT_EQ(back.children[3].number, 1);
  EXPECT_EQ(back.children[4].TextValue(), "hello");
  EXPECT_EQ(back.children[5].bytes.size(), 9u);
  EXPECT_EQ(back.children[6].number, 1796538439);
  EXPECT_TRUE(back.children[7].children.empty());
}

TEST(TtlvCodec, DecoderRejectsMalformedInput) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"short header", "42007b01000000"},
      {"length past the end", "42007b01000000104200690100000000"},
      {"non-zero padding", "42006a02000000040000000100000001"},
      {"integer of 8 bytes", "42006a02000000080000000000000001"},
      {"unknown type", "42006a0b00000000"},
      {"unknown tag prefix", "99006a02000000040000000100000000"},
      {"boolean 2", "42000006000000080000000000000002"},
      {"NUL in text", "42009407000000023100000000000000"},
      {"bytes after the item", "42006a020000000400000001000000000000000000000000"},
      {"children overrun the structure", "42007b010000000842006a0200000004"},
      {"structure length not aligned", "42007b010000000442006a02000000040000000100000000"},
      {"big integer of 3 bytes", "42000004000000030102030000000000"},
      {"huge length", "42007b01fffffff8"},
  };
  for (const auto& [name, hex] : cases) {
    Item item;
    const Har::Status status = Decode(FromHex(hex), &item);
    EXPECT_FALSE(status) << name;
    EXPECT_FALSE(status.message().empty()) << name;
  }
}

TEST(TtlvCodec, DecoderEnforcesDepthItemCountAndSize) {
  Item nested = Item::Int(0x420002, 1);
  for (int i = 0; i < 20; ++i) nested = Item::Struct(0x420001, {std::move(nested)});
  Item item;
  EXPECT_EQ(Decode(ToVector(Qlkmip::Ttlv::Encode(nested)), &item).message(),
            "structures nested too deeply");

  Item wide = Item::Struct(0x420001);
  for (int i = 0; i < 5000; ++i) wide.children.push_back(Item::Int(0x420002, i));
  EXPECT_EQ(Decode(ToVector(Qlkmip::Ttlv::Encode(wide)), &item).message(), "too many items");

  Qlkmip::Ttlv::Limits small;
  small.maxSize = 64;
  const Item text = Item::Text(0x420006, std::string(small.maxSize, 'x'));
  EXPECT_EQ(Decode(ToVector(Qlkmip::Ttlv::Encode(text)), &item, small).message(),
            "message too large");
}

}  // namespace
}  // namespace QlcTest
