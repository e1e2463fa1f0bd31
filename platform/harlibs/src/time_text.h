// UTC time stamps of the log and audit records: "2026-12-06T06:10:43.123Z".
#pragma once

#include <cstddef>

namespace Har::Internal {

// Longest text FormatUtcNow writes.
constexpr size_t kUtcTextMax = 32;

// The current UTC time with milliseconds into buf (no terminator); its length, or 0 when size
// is too small. The text up to the seconds is kept per thread and rebuilt only when the second
// changes.
size_t FormatUtcNow(char* buf, size_t size);

}  // namespace Har::Internal
