// JSON string escaping (RFC 8259) for the records this library writes.
#pragma once

#include <string>
#include <string_view>

namespace Har::Internal {

// Appends s as a quoted JSON string. Control characters, '"' and '\\' are escaped; bytes that
// are not valid UTF-8 are replaced by U+FFFD so the record stays valid JSON.
void AppendJsonString(std::string& out, std::string_view s);

}  // namespace Har::Internal
