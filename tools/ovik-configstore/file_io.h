// Whole-file reads and writes of the store tool, with the system's reason on failure.
#pragma once

#include <harlibs/status.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace OvikTool {

// Reads a regular file of at most maxBytes.
Har::Status ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out);

// Writes text to a new file beside path (mode 0600), syncs it and renames it over path, so path
// names either its old content or the whole new text, never a part of it.
Har::Status WriteFileAtomically(const std::string& path, std::string_view text);

}  // namespace OvikTool
