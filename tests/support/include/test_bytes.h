// Byte helpers for tests: fixtures written in hex, and the bytes of a secret as a vector.
#pragma once

#include <harlibs/secure.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

// The bytes a hex text spells, two digits each, into a vector or a Har::Secret.
template <typename V = std::vector<uint8_t>>
V FromHex(const std::string& hex) {
  V out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::vector<uint8_t> ToVector(const Har::Secret& bytes) {
  return std::vector<uint8_t>(bytes.bytes(), bytes.bytes() + bytes.size());
}

}  // namespace TestSupport
