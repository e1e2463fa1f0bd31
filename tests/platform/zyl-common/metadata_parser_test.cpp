// The wrapped-key metadata text: exact layout, round trip at the bounds, and rejection of every
// malformed form (wrong header, truncation, trailing bytes, oversized fields, bad Base64).
#include <zyl-common/kms_metadata_parser.h>

#include <harlibs/base64.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace M = Zyl::KeyProviders::Metadata;
using Bytes = std::vector<uint8_t>;

std::string Encode(const Bytes& bytes) {
  std::string out(Base64_EncodedLength(bytes.size()), '\0');
  size_t n = 0;
  EXPECT_TRUE(Base64_Encode(bytes.data(), bytes.size(), out.data(), out.size(), &n));
  out.resize(n);
  return out;
}

// Header then fields as given (length written as stated, bytes as given).
Bytes Layout(uint32_t header, const std::vector<std::pair<size_t, Bytes>>& fields) {
  Bytes out = {static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8),
               static_cast<uint8_t>(header >> 16), static_cast<uint8_t>(header >> 24)};
  for (const auto& [length, bytes] : fields) {
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

std::vector<std::pair<size_t, Bytes>> Fields(size_t id, size_t iv, size_t tag, size_t ct) {
  return {{id, Bytes(id, 'k')}, {iv, Bytes(iv, 1)}, {tag, Bytes(tag, 2)}, {ct, Bytes(ct, 3)}};
}

TEST(MetadataParser, AddWritesTheDocumentedLayout) {
  M::KmipMetadataParser parser;
  const Bytes iv(12, 0xA1), tag(16, 0xB2), ct = {9, 8, 7};
  std::string text;
  ASSERT_TRUE(parser.Add("mk", iv, tag, ct.data(), ct.size(), text));
  const Bytes expected =
      Layout(M::kMetadataHeader, {{2, {'m', 'k'}}, {12, iv}, {16, tag}, {3, ct}});
  EXPECT_EQ(text, Encode(expected));
  EXPECT_EQ(expected[0], 0x01);  // version 1, little-endian
  EXPECT_EQ(expected[3], 0x5A);

  ASSERT_TRUE(parser.Parse(text));
  EXPECT_EQ(parser.GetHeader(), M::kMetadataHeader);
  EXPECT_EQ(std::string(parser.GetKeyId(), parser.GetKeyIdSize()), "mk");
  EXPECT_EQ(Bytes(parser.GetIv(), parser.GetIv() + parser.GetIvSize()), iv);
  EXPECT_EQ(Bytes(parser.GetMac(), parser.GetMac() + parser.GetMacSize()), tag);
  EXPECT_EQ(Bytes(parser.GetCiphertext(), parser.GetCiphertext() + parser.GetCiphertextSize()), ct);
}

TEST(MetadataParser, RoundTripAtTheBoundsAndRefusalBeyond) {
  M::KmipMetadataParser parser;
  const std::string longId(M::kMaxKeyIdSize, 'x');
  const Bytes iv(M::kMaxIvSize, 1), tag(M::kMaxMacSize, 2), ct(M::kMaxCiphertextSize, 3);
  std::string text;
  ASSERT_TRUE(parser.Add(longId, iv, tag, ct.data(), ct.size(), text));
  EXPECT_LE(text.size(), M::kMaxMetadataTextSize);
  ASSERT_TRUE(parser.Parse(text));
  EXPECT_EQ(parser.GetCiphertextSize(), M::kMaxCiphertextSize);

  std::string untouched = "same";
  EXPECT_FALSE(parser.Add(longId + "x", iv, tag, ct.data(), ct.size(), untouched));
  EXPECT_FALSE(parser.Add("k", Bytes(M::kMaxIvSize + 1, 1), tag, ct.data(), ct.size(), untouched));
  EXPECT_FALSE(parser.Add("k", iv, Bytes(M::kMaxMacSize + 1, 1), ct.data(), ct.size(), untouched));
  EXPECT_FALSE(parser.Add("k", iv, tag, ct.data(), ct.size() + 1, untouched));
  EXPECT_FALSE(parser.Add("", iv, tag, ct.data(), ct.size(), untouched));
  EXPECT_FALSE(parser.Add("k", {}, tag, ct.data(), ct.size(), untouched));
  EXPECT_FALSE(parser.Add("k", iv, tag, nullptr, 0, untouched));
  EXPECT_EQ(untouched, "same");
}

TEST(MetadataParser, RejectsMalformedTexts) {
  const Bytes good = Layout(M::kMetadataHeader, Fields(4, 12, 16, 32));
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes truncatedLength(good.begin(), good.begin() + 5);
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"empty", ""},
      {"three bytes", Encode({1, 2, 3})},
      {"header only", Encode(Layout(M::kMetadataHeader, {}))},
      {"wrong magic", Encode(Layout(0x12340001, Fields(4, 12, 16, 32)))},
      {"wrong version", Encode(Layout(M::kMetadataHeader + 1, Fields(4, 12, 16, 32)))},
      {"trailing byte", Encode(trailing)},
      {"truncated field", Encode(Bytes(good.begin(), good.end() - 1))},
      {"truncated length", Encode(truncatedLength)},
      {"length beyond the data",
       Encode(Layout(
           M::kMetadataHeader,
           {{4, Bytes(4, 'k')}, {12, Bytes(12, 1)}, {16, Bytes(16, 2)}, {40, Bytes(32, 3)}}))},
      {"empty field", Encode(Layout(M::kMetadataHeader, Fields(0, 12, 16, 32)))},
      {"key id too long",
       Encode(Layout(M::kMetadataHeader, Fields(M::kMaxKeyIdSize + 1, 12, 16, 32)))},
      {"iv too long", Encode(Layout(M::kMetadataHeader, Fields(4, M::kMaxIvSize + 1, 16, 32)))},
      {"tag too long", Encode(Layout(M::kMetadataHeader, Fields(4, 12, M::kMaxMacSize + 1, 32)))},
      {"ciphertext too long",
       Encode(Layout(M::kMetadataHeader, Fields(4, 12, 16, M::kMaxCiphertextSize + 1)))},
      {"text too long", std::string(M::kMaxMetadataTextSize + 4, 'A')},
      {"not base64", "!!!!"},  // which texts are not canonical Base64 is Base64Test's
  };
  M::KmipMetadataParser parser;
  ASSERT_TRUE(parser.Parse(Encode(good)));
  for (const auto& [name, text] : bad) {
    EXPECT_FALSE(parser.Parse(text)) << name;
    EXPECT_EQ(parser.GetKeyIdSize(), 0) << name;
    EXPECT_EQ(parser.GetCiphertext(), nullptr) << name;
  }
}

TEST(MetadataParser, BaseParserKeepsTheHeaderWord) {
  M::KmsMetadataParser base;
  EXPECT_TRUE(base.Parse(Encode({0x78, 0x56, 0x34, 0x12, 0xFF})));
  EXPECT_EQ(base.GetHeader(), 0x12345678u);
  EXPECT_FALSE(base.Parse(Encode({1, 2, 3})));
  EXPECT_EQ(base.GetHeader(), 0u);
}

}  // namespace
