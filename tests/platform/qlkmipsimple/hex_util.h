// Hex conversions for byte fixtures and encoded messages.
#ifndef QLKMIPSIMPLE_HEX_UTIL_H
#define QLKMIPSIMPLE_HEX_UTIL_H

#include <harlibs/secure.h>

#include <cstdint>
#include <string>
#include <vector>

namespace QlcTest {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::vector<uint8_t> ToVector(const Har::Secret& bytes) {
  return std::vector<uint8_t>(bytes.bytes(), bytes.bytes() + bytes.size());
}

inline std::string ToHex(const Har::Secret& secret) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t b : secret.view()) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

}  // namespace QlcTest

#endif
