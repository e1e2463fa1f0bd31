// Base64: known vectors, round trips, canonical-only decoding, buffer bounds.
#include <harlibs/base64.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Encode(const std::string& in) {
  std::vector<char> out(Base64_EncodedLength(in.size()));
  size_t len = 0;
  EXPECT_TRUE(Base64_Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data(),
                            out.size(), &len));
  EXPECT_EQ(out[len], '\0');
  return std::string(out.data(), len);
}

bool Decode(const std::string& in, std::string* out) {
  std::vector<uint8_t> buf(Base64_DecodedLength(in.data(), in.size()));
  size_t len = 0;
  if (!Base64_Decode(in.data(), in.size(), buf.data(), buf.size(), &len)) {
    return false;
  }
  out->assign(reinterpret_cast<const char*>(buf.data()), len);
  return true;
}

TEST(Base64Test, KnownVectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {std::string("\xff\xfe\x00", 3), "//4A"}};
  for (const auto& [plain, text] : vectors) {
    EXPECT_EQ(Encode(plain), text);
    EXPECT_EQ(Base64_EncodedLength(plain.size()), text.size() + 1);
    std::string back;
    ASSERT_TRUE(Decode(text, &back)) << text;
    EXPECT_EQ(back, plain);
  }
}

TEST(Base64Test, RejectsNonCanonicalText) {
  const char* rejected[] = {
      "Zg",        // missing padding
      "Zg=",       // short padding
      "Zg===",     // length not a multiple of four
      "Zh==",      // non-zero unused bits (one byte)
      "Zm9=",      // non-zero unused bits (two bytes)
      "Z===",      // too much padding
      "====",      // padding only
      "Zg==Zg==",  // padding in the middle
      "Zm=v",      // padding inside a quantum
      "Zm9v\n",    // line end
      "Zm 9v",     // space
      "Zm9v-_==",  // URL-safe alphabet
      "Zm9\x80",   // non-ASCII byte
  };
  for (const char* text : rejected) {
    std::string out;
    EXPECT_FALSE(Decode(text, &out)) << "accepted: " << text;
  }
  std::string withNul("Zm\0v", 4);
  std::string out;
  EXPECT_FALSE(Decode(withNul, &out));
}

TEST(Base64Test, BufferBoundsAreHonoured) {
  const uint8_t data[] = {1, 2, 3, 4};
  char small[8];
  EXPECT_FALSE(Base64_Encode(data, sizeof data, small, sizeof small, nullptr));
  char exact[9];
  EXPECT_TRUE(Base64_Encode(data, sizeof data, exact, sizeof exact, nullptr));
  EXPECT_STREQ(exact, "AQIDBA==");

  uint8_t out[4];
  size_t len = 0;
  EXPECT_FALSE(Base64_Decode("AQIDBA==", 8, out, 1, &len));
  EXPECT_TRUE(Base64_Decode("AQIDBA==", 8, out, 4, &len));
  EXPECT_EQ(len, 4u);
  EXPECT_GE(Base64_DecodedLength("AQIDBA==", 8), 4u);
}

}  // namespace
