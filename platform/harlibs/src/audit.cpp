// Audit log: one JSON object a line, appended to a file kept open while the configured path still
// names it. Concurrent records share a write (group commit): each record joins the pending batch;
// the first caller to find no write in progress leads, writing the batch with one write(2), while
// the others wait until their record has been handed to the kernel (or reported as failed). The
// leader alone touches the file, so records are written in the order they joined, and whole.
// The path's identity is asked for at most every kIdentityRecheck, after a failed write, and
// after VlrAudit_Configure, VlrAudit_Open or VlrAudit_Reopen.
#include <harlibs/audit.h>
#include <harlibs/log.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// Records waiting for a write: their text, one line each, and their event identifiers (for the
// failure report; each points into a caller that waits until its record is done).
struct Batch {
  std::string text;
  std::vector<const char*> events;
  void Clear() {
    text.clear();
    events.clear();
  }
};

struct AuditState {
  std::mutex mutex;
  std::condition_variable done;
  // Guarded by mutex.
  std::string path;
  Batch pending;
  uint64_t queued = 0;   // records that joined a batch
  uint64_t written = 0;  // records whose batch is done (written or reported)
  bool writing = false;  // a leader owns the file and the in-flight batch
  // Owned by the leader while writing is set, otherwise guarded by mutex.
  Batch inFlight;
  std::unique_ptr<AuditFile> file;
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
std::unique_ptr<AuditFile> OpenFile(const std::string& path, int* err) {
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
  return std::make_unique<AuditFile>(fd, id);
}

// True when the open file may be written to without asking the path: it was checked recently.
bool RecentlyChecked(const AuditState& st, uint64_t nowNs) {
  return st.file && nowNs - st.checkedNs < kIdentityRecheckNs;
}

// The open file of the configured path, reopened when the path now names another file (moved
// aside, removed, replaced) or none; null with *err set when it cannot be opened. Called by the
// leader, or with the mutex held and no leader.
AuditFile* CurrentFile(AuditState& st, int* err) {
  const uint64_t now = HarClock_SystemTimerNS();
  if (RecentlyChecked(st, now)) {
    return st.file.get();
  }
  FileIdentity id;
  if (st.file && IdentityOf(AT_FDCWD, st.path.c_str(), AT_SYMLINK_NOFOLLOW, id) &&
      st.file->Is(id)) {
    Narrow(st.file->Fd(), id);
  } else {
    st.file = OpenFile(st.path, err);
  }
  st.checkedNs = now;
  return st.file.get();
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

void ReportFailure(const char* eventId, const std::string& path, int err) {
  Log_Level(kLogFailure, "Cannot write audit record %s to %s: %s\n",
            eventId != nullptr ? eventId : "", path.c_str(), strerror(err));
}

// Writes the in-flight batch to the file (the caller leads); every record of a failed batch is
// reported, and the file is closed so that the next batch opens the path afresh.
void WriteInFlight(AuditState& st) {
  int err = 0;
  AuditFile* file = CurrentFile(st, &err);
  if (file != nullptr) {
    err = Append(file->Fd(), st.inFlight.text);
    if (err != 0) {
      st.file.reset();
    }
  }
  if (err != 0) {
    for (const char* event : st.inFlight.events) {
      ReportFailure(event, st.path, err);
    }
  }
  st.inFlight.Clear();
}

// Leads one batch: takes every pending record, writes them outside the mutex, and wakes the
// waiting callers. Called with the mutex held (lock) and no other leader.
void LeadBatch(AuditState& st, std::unique_lock<std::mutex>& lock) {
  st.writing = true;
  std::swap(st.inFlight, st.pending);
  const uint64_t end = st.queued;
  lock.unlock();
  WriteInFlight(st);
  lock.lock();
  st.written = end;
  st.writing = false;
  st.done.notify_all();
}

// Waits until no leader owns the file: the caller may then use it under the mutex.
std::unique_lock<std::mutex> LockIdle(AuditState& st) {
  std::unique_lock<std::mutex> lock(st.mutex);
  st.done.wait(lock, [&] { return !st.writing; });
  return lock;
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
  std::unique_lock<std::mutex> lock = LockIdle(st);
  st.path = path;
  st.file.reset();  // the next record opens the new path
}

int VlrAudit_Open(const std::string& path) {
  AuditState& st = State();
  std::unique_lock<std::mutex> lock = LockIdle(st);
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
  std::unique_lock<std::mutex> lock = LockIdle(st);
  st.file.reset();
}

void VlrAudit_LogList(const char* eventId, const char* subject, const char* object, bool success,
                      const VlrAuditItem* items) {
  AuditState& st = State();
  std::string& line = RecordBuffer();
  AppendRecord(line, eventId, subject, object, success, items);
  std::unique_lock<std::mutex> lock(st.mutex);
  if (st.path.empty()) {
    return;
  }
  st.pending.text += line;
  st.pending.events.push_back(eventId);
  const uint64_t mine = ++st.queued;
  while (st.written < mine) {
    if (!st.writing) {
      LeadBatch(st, lock);
    } else {
      st.done.wait(lock);
    }
  }
}
