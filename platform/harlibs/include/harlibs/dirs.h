// Directories of the files the host keeps (store, audit file): created owner-only when missing.
#pragma once

#include <sys/types.h>

#include <string>

namespace Har {

// Owner-only: what the store's and the audit file's directories are created with.
inline constexpr mode_t kPrivateDirMode = 0700;

// Creates every missing directory above the file `path` with `mode` (existing ones are left as
// they are). Returns 0, or the errno value of the first failure with its directory in *failedDir
// (when not null).
int CreateParentDirectories(const std::string& path, mode_t mode, std::string* failedDir);

}  // namespace Har
