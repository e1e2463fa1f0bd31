// Host log: formats one line per call and writes it with a single write(2).
#include <harlibs/log.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <climits>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <harlibs/no_destructor.h>

#include "time_text.h"

namespace {

constexpr int kDefaultThreshold = 5;
constexpr size_t kMaxLine = 8192;
constexpr size_t kMaxEscape = 5;  // "\xNN" and its terminator

struct LogState {
  // Writers of lines share it; changes of fd and program name take it alone. A line longer than
  // a pipe's atomic write takes it alone too, so that it is never interleaved with another.
  std::shared_mutex mutex;
  int fd = STDERR_FILENO;
  std::string file;  // the configured file, empty for standard error
  std::string program = "zyld";
  std::atomic<int> threshold{kDefaultThreshold};
};

LogState& State() {
  static Har::NoDestructor<LogState> state;
  return *state;
}

// Process and thread ids, read once rather than by a system call per line. A forked child
// refreshes both (the atfork handler runs in its only thread, the one that forked).
std::atomic<int> gPid{0};
thread_local long tCachedTid = 0;

void RefreshIdsAfterFork() {
  gPid.store(static_cast<int>(getpid()), std::memory_order_relaxed);
  tCachedTid = static_cast<long>(syscall(SYS_gettid));
}

int ProcessId() {
  static const bool registered = [] {
    RefreshIdsAfterFork();
    return pthread_atfork(nullptr, nullptr, RefreshIdsAfterFork) == 0;
  }();
  (void)registered;
  return gPid.load(std::memory_order_relaxed);
}

long ThreadId() {
  if (tCachedTid == 0) {
    tCachedTid = static_cast<long>(syscall(SYS_gettid));
  }
  return tCachedTid;
}

size_t FormatTime(char* buf, size_t size) { return Har::Internal::FormatUtcNow(buf, size); }

// Appends text to line[len, size); returns the new length (truncating at size).
size_t Append(char* line, size_t len, size_t size, const char* text, size_t textLen) {
  const size_t n = std::min(textLen, size - len);
  memcpy(line + len, text, n);
  return len + n;
}

template <typename Int>
size_t AppendInt(char* line, size_t len, size_t size, Int value) {
  char digits[24];
  const auto res = std::to_chars(digits, digits + sizeof digits, value);
  return Append(line, len, size, digits, static_cast<size_t>(res.ptr - digits));
}

void WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t w = write(fd, data, len);
    if (w < 0 && errno == EINTR) {
      continue;
    }
    if (w <= 0) {
      return;
    }
    data += w;
    len -= static_cast<size_t>(w);
  }
}

// "<time> <program>[<pid>] <level> [<tid>] " into line (which has room for it); its length.
size_t FormatHead(char* line, size_t size, const std::string& program, int level) {
  size_t len = FormatTime(line, size);
  len = Append(line, len, size, " ", 1);
  len = Append(line, len, size, program.data(), program.size());
  len = Append(line, len, size, "[", 1);
  len = AppendInt(line, len, size, ProcessId());
  len = Append(line, len, size, "] ", 2);
  len = AppendInt(line, len, size, level);
  len = Append(line, len, size, " [", 2);
  len = AppendInt(line, len, size, ThreadId());
  return Append(line, len, size, "] ", 2);
}

// True for the bytes a line never carries as they are: C0 controls and DEL.
bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// The printable escape of a control character ("\\n", "\\r", "\\t" or "\\xNN") into out; its
// length.
size_t EscapeOf(char c, char (&out)[kMaxEscape]) {
  const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
  const int n = named != nullptr ? snprintf(out, sizeof out, "%s", named)
                                 : snprintf(out, sizeof out, "\\x%02x",
                                            static_cast<unsigned>(static_cast<unsigned char>(c)));
  return static_cast<size_t>(n);
}

// Escapes the control characters of line[from, len) in place, so that caller-chosen text can
// never end the line or forge another one; returns the new length (at most size, never cutting
// an escape). Text without control characters is left as it is, uncopied.
size_t EscapeControls(char (&line)[kMaxLine], size_t from, size_t len, size_t size) {
  const char* first = std::find_if(line + from, line + len, IsControl);
  if (first == line + len) {
    return len;
  }
  char rest[kMaxLine];
  const size_t restLen = static_cast<size_t>(line + len - first);
  memcpy(rest, first, restLen);
  size_t out = static_cast<size_t>(first - line);
  for (size_t i = 0; i < restLen; ++i) {
    char escape[kMaxEscape] = {rest[i]};
    const size_t n = IsControl(rest[i]) ? EscapeOf(rest[i], escape) : 1;
    if (out + n > size) {
      break;
    }
    memcpy(line + out, escape, n);
    out += n;
  }
  return out;
}

// One whole line into line: the format's own final line end is kept, every other control
// character is escaped, and a missing line end is added. Its length.
size_t Format(const LogState& st, int level, const char* fmt, va_list args,
              char (&line)[kMaxLine]) {
  const size_t head = FormatHead(line, sizeof line - 1, st.program, level);
  size_t len = head;
  int body = vsnprintf(line + len, sizeof line - len, fmt, args);
  if (body > 0) {
    len += static_cast<size_t>(body);
  }
  if (len >= sizeof line - 1) {
    len = sizeof line - 2;  // truncated: keep room for the line end
  }
  if (len > head && line[len - 1] == '\n') {
    --len;  // the line end, written back below
  }
  len = EscapeControls(line, head, len, sizeof line - 2);
  line[len++] = '\n';
  return len;
}

void Emit(int level, const char* fmt, va_list args) {
  char line[kMaxLine];
  LogState& st = State();
  size_t len = 0;
  {
    std::shared_lock<std::shared_mutex> lock(st.mutex);
    len = Format(st, level, fmt, args, line);
    if (len <= PIPE_BUF) {
      WriteAll(st.fd, line, len);
      return;
    }
  }
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  WriteAll(st.fd, line, len);
}

}  // namespace

void Log_Level(int level, const char* fmt, ...) {
  if (!Log_IsEnabled(level)) {
    return;
  }
  va_list args;
  va_start(args, fmt);
  Emit(level, fmt, args);
  va_end(args);
}

bool Log_IsEnabled(int level) {
  return level <= 0 || level <= State().threshold.load(std::memory_order_relaxed);
}

int Log_Threshold() { return State().threshold.load(std::memory_order_relaxed); }

namespace {

constexpr mode_t kLogFileMode = 0640;

int OpenLogFile(const std::string& file) {
  return open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kLogFileMode);
}

// Makes fd the sink (closing the previous file) and file the configured path.
void UseSink(LogState& st, int fd, const std::string& file) {
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  if (st.fd != STDERR_FILENO) {
    close(st.fd);
  }
  st.fd = fd;
  st.file = file;
}

}  // namespace

void Log_Configure(int threshold, const std::string& file) {
  LogState& st = State();
  st.threshold.store(threshold, std::memory_order_relaxed);
  int fd = STDERR_FILENO;
  int err = 0;
  if (!file.empty()) {
    fd = OpenLogFile(file);
    if (fd < 0) {
      err = errno;
      fd = STDERR_FILENO;
    }
  }
  UseSink(st, fd, fd == STDERR_FILENO ? std::string() : file);
  if (err != 0) {
    Log_Level(kLogFailure, "Cannot open log file %s: %s; logging to standard error\n", file.c_str(),
              strerror(err));
  }
}

int Log_Reopen() {
  LogState& st = State();
  std::string file;
  {
    std::shared_lock<std::shared_mutex> lock(st.mutex);
    file = st.file;
  }
  if (file.empty()) {
    return 0;
  }
  const int fd = OpenLogFile(file);
  if (fd < 0) {
    const int err = errno;
    Log_Level(kLogFailure, "Cannot reopen log file %s: %s\n", file.c_str(), strerror(err));
    return err;
  }
  UseSink(st, fd, file);
  return 0;
}

void Log_SetProgramName(const std::string& name) {
  LogState& st = State();
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  st.program = name.empty() ? "zyld" : name;
}

void Log_Flush() {
  LogState& st = State();
  std::lock_guard<std::shared_mutex> lock(st.mutex);
  if (st.fd != STDERR_FILENO) {
    fsync(st.fd);
  }
}

void Panic(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Emit(0, fmt, args);
  va_end(args);
  Log_Flush();
  abort();
}
