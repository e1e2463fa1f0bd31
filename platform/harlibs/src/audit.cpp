// Audit log: one JSON object a line, appended to a file kept open while the configured path still
// names it. Each caller writes its own record with one write(2) outside every lock: the file is
// opened with O_APPEND, so the kernel appends each write whole, and concurrent records never
// interleave. (Sharing writes between concurrent callers cost more than it saved: the waiting
// callers' sleep and wake-up were two system calls each, against the one write they spared.)
// The path's identity is asked for at most every kIdentityRecheck, after a failed write, and
// after VlrAudit_Configure, VlrAudit_Open or VlrAudit_Reopen.
#include <harlibs/audit.h>
#include <harlibs/log.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "json_escape.h"
#include "time_text.h"
#include <harlibs/clock.h>
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
// How long an open file is written to before the path is asked again whether it still names it.
constexpr uint64_t kIdentityRecheckNs = 500'000'000;

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

// The audit file, open for appending.
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
  std::mutex mutex;  // guards the fields below, held only to read or replace them
  std::string path;
  // Shared with the callers writing to it: a file replaced meanwhile is closed by the last one.
  std::shared_ptr<AuditFile> file;
  uint64_t checkedNs = 0;  // when the path last named the open file
};

AuditState& State() {
  static Har::NoDestructor<AuditState> state;
  return *state;
}

void AppendField(std::string& out, const char* name, const char* value) {
  Har::Internal::AppendJsonString(out, name);
  out += ':';
  Har::Internal::AppendJsonString(out, value != nullptr ? value : "");
}

// Appends the record's line to out.
void AppendRecord(std::string& out, const char* eventId, const char* subject, const char* object,
                  bool success, const VlrAuditItem* items) {
  char time[Har::Internal::kUtcTextMax + 1];
  time[Har::Internal::FormatUtcNow(time, sizeof time - 1)] = '\0';
  out += '{';
  AppendField(out, "time", time);
  out += ',';
  AppendField(out, "eventID", eventId);
  out += ',';
  AppendField(out, "subject", subject);
  out += ',';
  AppendField(out, "object", object);
  out += success ? ",\"result\":true,\"items\":{" : ",\"result\":false,\"items\":{";
  for (const VlrAuditItem* it = items; it != nullptr && it->name != nullptr; ++it) {
    if (it != items) {
      out += ',';
    }
    AppendField(out, it->name, it->value);
  }
  out += "}}\n";
}

// A file that already existed keeps no wider access than a new one.
void Narrow(int fd, const FileIdentity& id) {
  if ((id.mode & 0077) != 0) {
    fchmod(fd, 0600);
  }
}

// Opens (creating when needed) the file at path for appending; null with *err set on failure.
std::shared_ptr<AuditFile> OpenFile(const std::string& path, int* err) {
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

// The open file of the configured path, reopened when the path now names another file (moved
// aside, removed, replaced) or none; null with *err set when it cannot be opened. Called with the
// mutex held.
std::shared_ptr<AuditFile> CurrentFile(AuditState& st, int* err) {
  const uint64_t now = HarClock_SystemTimerNS();
  if (st.file && now - st.checkedNs < kIdentityRecheckNs) {
    return st.file;
  }
  FileIdentity id;
  if (st.file && IdentityOf(AT_FDCWD, st.path.c_str(), AT_SYMLINK_NOFOLLOW, id) &&
      st.file->Is(id)) {
    Narrow(st.file->Fd(), id);
  } else {
    st.file = OpenFile(st.path, err);
  }
  st.checkedNs = now;
  return st.file;
}

// Appends text with as few writes as the kernel allows (one, on a regular file); 0 or an errno.
int Append(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) {
      continue;
    }
    if (w <= 0) {
      return w < 0 ? errno : EIO;
    }
    done += static_cast<size_t>(w);
  }
  return 0;
}

// Reports a record that could not be written and closes the file it failed on, so that the next
// record opens the path afresh.
void Failed(AuditState& st, const std::shared_ptr<AuditFile>& file, const char* eventId, int err) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (file && st.file == file) {
      st.file.reset();
    }
    path = st.path;
  }
  Log_Level(kLogFailure, "Cannot write audit record %s to %s: %s\n",
            eventId != nullptr ? eventId : "", path.c_str(), strerror(err));
}

// The record under construction on this thread (its capacity is kept between records).
std::string& RecordBuffer() {
  thread_local std::string buffer;
  buffer.clear();
  return buffer;
}

}  // namespace

void VlrAudit_Configure(const std::string& path) {
  AuditState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.path = path;
  st.file.reset();  // the next record opens the new path
}

int VlrAudit_Open(const std::string& path) {
  AuditState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.path = path;
  st.file.reset();
  if (path.empty()) {
    return 0;
  }
  int err = 0;
  return CurrentFile(st, &err) != nullptr ? 0 : err;
}

void VlrAudit_Reopen() {
  AuditState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.file.reset();
}

void VlrAudit_LogList(const char* eventId, const char* subject, const char* object, bool success,
                      const VlrAuditItem* items) {
  AuditState& st = State();
  std::string& line = RecordBuffer();
  AppendRecord(line, eventId, subject, object, success, items);
  std::shared_ptr<AuditFile> file;
  int err = 0;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.path.empty()) {
      return;
    }
    file = CurrentFile(st, &err);
  }
  if (file != nullptr) {
    err = Append(file->Fd(), line);
  }
  if (err != 0) {
    Failed(st, file, eventId, err);
  }
}
