// Audit log: one JSON object a line, appended with one write(2) per record.
#include <harlibs/audit.h>
#include <harlibs/log.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "json_escape.h"
#include <harlibs/no_destructor.h>

namespace {

struct AuditState {
  std::mutex mutex;
  std::string path;
};

AuditState& State() {
  static Har::NoDestructor<AuditState> state;
  return *state;
}

std::string TimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm utc{};
  gmtime_r(&ts.tv_sec, &utc);
  char buf[48];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(buf + n, sizeof buf - n, ".%03ldZ", ts.tv_nsec / 1000000);
  return buf;
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

// Appends line to path with a single write; returns 0 or an errno value.
int Append(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return errno;
  }
  // A file that already existed keeps no wider access than a new one.
  struct stat st {};
  if (fstat(fd, &st) == 0 && (st.st_mode & 0077) != 0) {
    fchmod(fd, 0600);
  }
  int err = 0;
  ssize_t w;
  do {
    w = write(fd, line.data(), line.size());
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    err = errno;
  } else if (static_cast<size_t>(w) != line.size()) {
    err = EIO;
  }
  close(fd);
  return err;
}

}  // namespace

void VlrAudit_Configure(const std::string& path) {
  AuditState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.path = path;
}

void VlrAudit_LogList(const char* eventId, const char* subject, const char* object, bool success,
                      const VlrAuditItem* items) {
  std::string path;
  {
    AuditState& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    path = st.path;
  }
  if (path.empty()) {
    return;
  }
  std::string line = Record(eventId, subject, object, success, items);
  int err = Append(path, line);
  if (err != 0) {
    Log_Level(2, "Cannot write audit record %s to %s: %s\n", eventId != nullptr ? eventId : "",
              path.c_str(), strerror(err));
  }
}
