#include "file_io.h"

#include <harlibs/secure.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace OvikTool {
namespace {

constexpr std::size_t kReadChunk = 65536;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false (errno set) when the close reports a failure.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

Har::Status Failure(const std::string& what, const std::string& path) {
  return Har::Status::Error("cannot " + what + " " + path + ": " + std::strerror(errno));
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The new file of a write beside its target, removed unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(const std::string& target)
      : name_(target + ".XXXXXX"), fd_(::mkstemp(name_.data())), created_(fd_.valid()) {}
  ~TempFile() {
    if (created_ && !committed_) {
      fd_.Close();
      ::unlink(name_.c_str());
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool created() const { return created_; }

  // Writes the text, syncs and closes the file and renames it over the target.
  Har::Status CommitAs(const std::string& target, std::string_view text) {
    if (!WriteAll(fd_.get(), text) || ::fsync(fd_.get()) != 0 || !fd_.Close()) {
      return Failure("write", name_);
    }
    if (::rename(name_.c_str(), target.c_str()) != 0) {
      return Failure("replace", target);
    }
    committed_ = true;
    return Har::Status::Ok();
  }

 private:
  std::string name_;  // the mkstemp template, then the file's name
  Fd fd_;
  bool created_;
  bool committed_ = false;
};

}  // namespace

Har::Status ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    return Failure("read", path);
  }
  std::string data;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::size_t>(st.st_size) <= maxBytes) {
    data.reserve(static_cast<std::size_t>(st.st_size));  // one buffer: nothing left unwiped
  }
  char buf[kReadChunk];
  Har::WipeGuard wipeBuf(buf, sizeof buf);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return Failure("read", path);
    }
    if (n == 0) {
      break;
    }
    data.append(buf, static_cast<std::size_t>(n));
    if (data.size() > maxBytes) {
      return Har::Status::Error(path + " is larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
  out = std::move(data);
  return Har::Status::Ok();
}

Har::Status WriteFileAtomically(const std::string& path, std::string_view text) {
  TempFile file(path);
  if (!file.created()) {
    return Failure("create a file beside", path);
  }
  return file.CommitAs(path, text);
}

}  // namespace OvikTool
