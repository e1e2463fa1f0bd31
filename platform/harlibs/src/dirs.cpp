// Parent directories of a file, created one level at a time from the root down.
#include <harlibs/dirs.h>

#include <sys/stat.h>

#include <cerrno>

namespace Har {

int CreateParentDirectories(const std::string& path, mode_t mode, std::string* failedDir) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        continue;
      }
      errno = ENOTDIR;
    } else if (::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST) {
      continue;
    }
    if (failedDir != nullptr) {
      *failedDir = dir;
    }
    return errno;
  }
  return 0;
}

}  // namespace Har
