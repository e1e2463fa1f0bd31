// Audit log: one JSON object a line, appended with one write(2) per record to a file kept open
// while the configured path still names it.
#include <harlibs/audit.h>
#include <harlibs/log.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "json_escape.h"
#include "time_text.h"
#include <harlibs/no_destructor.h>

namespace {

// What a record needs to know of a file: which one it is and who may read it. Asked for without
// its times: on file systems with fine-grained time stamps, a query of the times makes the next
// write update the inode's times (a journalled inode write) instead of only once per tick.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
};

constexpr unsigned kIdentityMask = STATX_TYPE | STATX_MODE | STATX_INO;

bool IdentityOf(int dirFd, const char* path, int flags, FileIdentity& id) {
  struct statx stx {};
  if (statx(dirFd, path, flags, kIdentityMask, &stx) != 0) {
    return false;
  }
  id.dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  id.ino = stx.stx_ino;
  id.mode = stx.stx_mode;
  return true;
}

// The audit file, open for appending; closed when the last record written through it is done.
class AuditFile {
 public:
  AuditFile(int fd, const FileIdentity& id) : fd_(fd), dev_(id.dev), ino_(id.ino) {}
  ~AuditFile() { close(fd_); }
  AuditFile(const AuditFile&) = delete;
  AuditFile& operator=(const AuditFile&) = delete;

  int Fd() const { return fd_; }
  // True when `id` (of the configured path) is still this file.
  bool Is(const FileIdentity& id) const { return id.dev == dev_ && id.ino == ino_; }

 private:
  int fd_;
  dev_t dev_;
  ino_t ino_;
};

struct AuditState {
  // Records share it while the configured path still names the open file; opening another file
  // and configuring take it alone.
  std::shared_mutex mutex;
  std::string path;
  std::shared_ptr<AuditFile> file;
};

AuditState& State() {
  static Har::NoDestructor<AuditState> state;
  return *state;
}

std::string TimeNow() {
  char buf[Har::Internal::kUtcTextMax];
  return std::string(buf, Har::Internal::FormatUtcNow(buf, sizeof buf));
}

void AppendField(std::string& out, const char* name, const char* value) {
  Har::Internal::AppendJsonString(out, name);
  out += ':';
  Har::Internal::AppendJsonString(out, value != nullptr ? value : "");
}

std::string Record(const char* eventId, const char* subject, const char* object, bool success,
                   const VlrAuditItem* items) {
  std::string line = "{";
  AppendField(line, "time", TimeNow().c_str());
  line += ',';
  AppendField(line, "eventID", eventId);
  line += ',';
  AppendField(line, "subject", subject);
  line += ',';
  AppendField(line, "object", object);
  line += success ? ",\"result\":true,\"items\":{" : ",\"result\":false,\"items\":{";
  for (const VlrAuditItem* it = items; it != nullptr && it->name != nullptr; ++it) {
    if (it != items) {
      line += ',';
    }
    AppendField(line, it->name, it->value);
  }
  line += "}}\n";
  return line;
}

// A file that already existed keeps no wider access than a new one.
void Narrow(int fd, const FileIdentity& id) {
  if ((id.mode & 0077) != 0) {
    fchmod(fd, 0600);
  }
}

// Opens (creating when needed) the file at path for appending; null with *err set on failure.
std::shared_ptr<AuditFile> Open(const std::string& path, int* err) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  FileIdentity id;
  if (!IdentityOf(fd, "", AT_EMPTY_PATH, id)) {
    *err = errno;
    close(fd);
    return nullptr;
  }
  Narrow(fd, id);
  return std::make_shared<AuditFile>(fd, id);
}

// The open file, while the configured path still names it; null otherwise. Called with the state
// locked, shared or alone.
std::shared_ptr<AuditFile> StillCurrent(const AuditState& st) {
  FileIdentity now;
  if (st.file && IdentityOf(AT_FDCWD, st.path.c_str(), AT_SYMLINK_NOFOLLOW, now) &&
      st.file->Is(now)) {
    Narrow(st.file->Fd(), now);
    return st.file;
  }
  return nullptr;
}

// The open file of the configured path, reopened when the path now names another file (moved
// aside, removed, replaced) or none. Called with the state locked alone.
std::shared_ptr<AuditFile> CurrentFile(AuditState& st, int* err) {
  if (auto file = StillCurrent(st)) {
    return file;
  }
  st.file = Open(st.path, err);
  return st.file;
}

// Appends line with a single write; returns 0 or an errno value.
int Append(int fd, const std::string& line) {
  ssize_t w;
  do {
    w = write(fd, line.data(), line.size());
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    return errno;
  }
  return static_cast<size_t>(w) == line.size() ? 0 : EIO;
}

void ReportFailure(const char* eventId, const std::string& path, int err) {
  Log_Level(kLogFailure, "Cannot write audit record %s to %s: %s\n",
            eventId != nullptr ? eventId : "", path.c_str(), strerror(err));
}

}  // namespace

void VlrAudit_Configure(const std::string& path) {
  AuditState& st = State();
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  st.path = path;
  st.file.reset();  // the next record opens the new path
}

int VlrAudit_Open(const std::string& path) {
  AuditState& st = State();
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  st.path = path;
  int err = 0;
  st.file = path.empty() ? nullptr : Open(path, &err);
  return err;
}

void VlrAudit_Reopen() {
  AuditState& st = State();
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  st.file.reset();
}

namespace {

// The file to write a record to; null (failure reported) when there is none.
std::shared_ptr<AuditFile> FileForRecord(AuditState& st, const char* eventId) {
  {
    std::shared_lock<std::shared_mutex> lock(st.mutex);
    if (st.path.empty()) {
      return nullptr;
    }
    if (auto file = StillCurrent(st)) {
      return file;
    }
  }
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  if (st.path.empty()) {
    return nullptr;
  }
  int err = 0;
  auto file = CurrentFile(st, &err);
  if (!file) {
    ReportFailure(eventId, st.path, err);
  }
  return file;
}

}  // namespace

void VlrAudit_LogList(const char* eventId, const char* subject, const char* object, bool success,
                      const VlrAuditItem* items) {
  AuditState& st = State();
  const std::shared_ptr<AuditFile> file = FileForRecord(st, eventId);
  if (!file) {
    return;
  }
  std::string line = Record(eventId, subject, object, success, items);
  int err = Append(file->Fd(), line);
  if (err != 0) {
    std::string path;
    {
      // Closed once no other record is being written through it; the next record reopens.
      std::lock_guard<std::shared_mutex> lock(st.mutex);
      if (st.file == file) {
        st.file.reset();
      }
      path = st.path;
    }
    ReportFailure(eventId, path, err);
  }
}
