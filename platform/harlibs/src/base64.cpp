// Canonical Base64 (standard alphabet, '=' padding).
#include <harlibs/base64.h>

#include <array>
#include <limits>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xff;

constexpr std::array<uint8_t, 256> MakeReverse() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) {
    v = kInvalid;
  }
  for (uint8_t i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = i;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kReverse = MakeReverse();

uint8_t Value(char c) { return kReverse[static_cast<unsigned char>(c)]; }

// Number of '=' ending text whose length is a non-zero multiple of 4 (0..2). A '=' before
// these is caught as an invalid character.
int PaddingCount(const char* src, size_t srcLen) {
  int pad = 0;
  if (src[srcLen - 1] == '=') {
    pad = src[srcLen - 2] == '=' ? 2 : 1;
  }
  return pad;
}

}  // namespace

size_t Base64_EncodedLength(size_t srcLen) {
  if (srcLen / 3 >= std::numeric_limits<size_t>::max() / 4 - 1) {
    return 0;
  }
  return (srcLen + 2) / 3 * 4 + 1;
}

bool Base64_Encode(const uint8_t* src, size_t srcLen, char* dst, size_t dstSize, size_t* outLen) {
  size_t need = Base64_EncodedLength(srcLen);
  if (need == 0 || dst == nullptr || dstSize < need || (src == nullptr && srcLen > 0)) {
    return false;
  }
  size_t o = 0;
  size_t i = 0;
  for (; i + 3 <= srcLen; i += 3) {
    uint32_t v = (uint32_t{src[i]} << 16) | (uint32_t{src[i + 1]} << 8) | src[i + 2];
    dst[o++] = kAlphabet[(v >> 18) & 63];
    dst[o++] = kAlphabet[(v >> 12) & 63];
    dst[o++] = kAlphabet[(v >> 6) & 63];
    dst[o++] = kAlphabet[v & 63];
  }
  size_t rest = srcLen - i;
  if (rest > 0) {
    uint32_t v = uint32_t{src[i]} << 16;
    if (rest == 2) {
      v |= uint32_t{src[i + 1]} << 8;
    }
    dst[o++] = kAlphabet[(v >> 18) & 63];
    dst[o++] = kAlphabet[(v >> 12) & 63];
    dst[o++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    dst[o++] = '=';
  }
  dst[o] = '\0';
  if (outLen != nullptr) {
    *outLen = o;
  }
  return true;
}

size_t Base64_DecodedLength(const char*, size_t srcLen) { return (srcLen + 3) / 4 * 3; }

bool Base64_Decode(const char* src, size_t srcLen, uint8_t* dst, size_t dstSize, size_t* outLen) {
  if (srcLen % 4 != 0 || (src == nullptr && srcLen > 0)) {
    return false;
  }
  if (srcLen == 0) {
    if (outLen != nullptr) {
      *outLen = 0;
    }
    return true;
  }
  int pad = PaddingCount(src, srcLen);
  size_t total = srcLen / 4 * 3 - static_cast<size_t>(pad);
  if (dst == nullptr || dstSize < total) {
    return false;
  }
  size_t dataChars = srcLen - static_cast<size_t>(pad);
  uint32_t acc = 0;
  int bits = 0;
  size_t o = 0;
  for (size_t i = 0; i < dataChars; ++i) {
    uint8_t v = Value(src[i]);
    if (v == kInvalid) {
      return false;  // also rejects '=' inside the text
    }
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      dst[o++] = static_cast<uint8_t>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  if (acc != 0) {
    return false;  // unused low bits of the last symbol must be zero
  }
  if (outLen != nullptr) {
    *outLen = o;
  }
  return true;
}
