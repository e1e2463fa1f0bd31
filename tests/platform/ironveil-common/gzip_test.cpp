#include <ironveil-common/gzip.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

using namespace Brask::Common;
using Bytes = std::vector<uint8_t>;

// "hello\n" as written by the gzip tool.
const Bytes kHelloGz = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x03, 0xcb, 0x48, 0xcd, 0xc9, 0xc9, 0xe7, 0x02, 0x00,
                        0x20, 0x30, 0x3a, 0x36, 0x06, 0x00, 0x00, 0x00};

// Gzip of `size` zero bytes, built in chunks so the test never holds the expanded data.
Bytes GzipOfZeros(size_t size) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
  const std::vector<uint8_t> zeros(1 << 20, 0);
  Bytes out;
  uint8_t buf[1 << 16];
  size_t left = size;
  int flush = Z_NO_FLUSH;
  do {
    const size_t n = std::min(left, zeros.size());
    left -= n;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = const_cast<Bytef*>(zeros.data());
    zs.avail_in = static_cast<uInt>(n);
    do {
      zs.next_out = buf;
      zs.avail_out = sizeof(buf);
      deflate(&zs, flush);
      out.insert(out.end(), buf, buf + (sizeof(buf) - zs.avail_out));
    } while (zs.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&zs);
  return out;
}

TEST(Gzip, RoundTripsTexts) {
  std::string big;
  for (int i = 0; big.size() < (1 << 20); ++i)
    big += "<provider id=\"" + std::to_string(i * 7919) + "\"/>\n";
  const std::string texts[] = {"", "x", std::string("nul\0inside", 10), big};
  for (const std::string& text : texts) {
    Bytes gz;
    ASSERT_TRUE(Gzip::CompressFromString(text, gz));
    std::string back;
    ASSERT_TRUE(Gzip::DecompressToString(gz, back));
    EXPECT_EQ(back, text);
  }
  std::string text;  // the gzip tool's output
  ASSERT_TRUE(Gzip::DecompressToString(kHelloGz, text));
  EXPECT_EQ(text, "hello\n");
}

TEST(Gzip, RejectsDamagedStreamsAndLeavesOutputAlone) {
  Bytes truncated(kHelloGz.begin(), kHelloGz.end() - 1);
  Bytes halfway(kHelloGz.begin(), kHelloGz.begin() + 14);
  Bytes trailing = kHelloGz;
  trailing.push_back(0);
  Bytes twoMembers = kHelloGz;
  twoMembers.insert(twoMembers.end(), kHelloGz.begin(), kHelloGz.end());
  Bytes badCrc = kHelloGz;
  badCrc[kHelloGz.size() - 8] ^= 0xff;
  Bytes badLength = kHelloGz;
  badLength[kHelloGz.size() - 4] ^= 0x01;
  Bytes zlibWrapped = {0x78, 0x9c, 0xcb, 0x48, 0xcd, 0xc9, 0xc9,
                       0xe7, 0x02, 0x00, 0x08, 0x4b, 0x02, 0x1f};
  const Bytes bad[] = {{},       {0x1f},     Bytes(100, 0xab), truncated, halfway,
                       trailing, twoMembers, badCrc,           badLength, zlibWrapped};
  for (const Bytes& input : bad) {
    std::string out = "untouched";
    EXPECT_FALSE(Gzip::DecompressToString(input, out)) << input.size();
    EXPECT_EQ(out, "untouched");
  }
}

TEST(Gzip, StopsAtTheOutputLimit) {
  std::string out;
  ASSERT_TRUE(Gzip::DecompressToString(GzipOfZeros(8 << 20), out));
  EXPECT_EQ(out.size(), 8u << 20);

  const Bytes bomb = GzipOfZeros(Gzip::kMaxOutput + 1);
  EXPECT_LT(bomb.size(), 1u << 20);
  out = "untouched";
  EXPECT_FALSE(Gzip::DecompressToString(bomb, out));
  EXPECT_EQ(out, "untouched");
}

}  // namespace
