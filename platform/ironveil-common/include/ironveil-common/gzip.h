// Gzip (RFC 1952) compression of texts with zlib.
//
// CompressFromString writes one gzip member. DecompressToString accepts exactly one gzip member
// and nothing after it: it fails on a truncated stream, a bad CRC or length, trailing bytes, an
// input above kMaxInput bytes, or output beyond kMaxOutput bytes (so a small "bomb" cannot
// exhaust memory). Both leave their out argument unchanged on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Brask::Common::Gzip {

constexpr size_t kMaxOutput = 64 * 1024 * 1024;
constexpr size_t kMaxInput = 64 * 1024 * 1024;

bool CompressFromString(const std::string& text, std::vector<uint8_t>& out);
bool DecompressToString(const std::vector<uint8_t>& bytes, std::string& out);

}  // namespace Brask::Common::Gzip
