// Host log: formats one line per call and writes it with a single write(2).
#include <harlibs/log.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <harlibs/no_destructor.h>

namespace {

constexpr int kDefaultThreshold = 5;
constexpr size_t kMaxLine = 8192;

struct LogState {
  std::mutex mutex;  // guards fd and program name changes
  int fd = STDERR_FILENO;
  std::string program = "zyld";
  std::atomic<int> threshold{kDefaultThreshold};
};

LogState& State() {
  static Har::NoDestructor<LogState> state;
  return *state;
}

// "2026-12-06T06:10:43.123Z"
size_t FormatTime(char* buf, size_t size) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm utc{};
  gmtime_r(&ts.tv_sec, &utc);
  size_t n = strftime(buf, size, "%Y-%m-%dT%H:%M:%S", &utc);
  int m = snprintf(buf + n, size - n, ".%03ldZ", ts.tv_nsec / 1000000);
  return n + static_cast<size_t>(m > 0 ? m : 0);
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

void Emit(int level, const char* fmt, va_list args) {
  char line[kMaxLine];
  char stamp[64];
  FormatTime(stamp, sizeof stamp);
  LogState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  int head = snprintf(line, sizeof line, "%s %s[%d] %d [%ld] ", stamp, st.program.c_str(),
                      static_cast<int>(getpid()), level, static_cast<long>(syscall(SYS_gettid)));
  size_t len = head > 0 ? static_cast<size_t>(head) : 0;
  if (len >= sizeof line) {
    len = sizeof line - 1;
  }
  int body = vsnprintf(line + len, sizeof line - len, fmt, args);
  if (body > 0) {
    len += static_cast<size_t>(body);
  }
  if (len >= sizeof line - 1) {
    len = sizeof line - 2;  // truncated: keep room for the line end
  }
  if (len == 0 || line[len - 1] != '\n') {
    line[len++] = '\n';
  }
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

void Log_Configure(int threshold, const std::string& file) {
  LogState& st = State();
  st.threshold.store(threshold, std::memory_order_relaxed);
  int fd = STDERR_FILENO;
  int err = 0;
  if (!file.empty()) {
    fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
      err = errno;
      fd = STDERR_FILENO;
    }
  }
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.fd != STDERR_FILENO) {
      close(st.fd);
    }
    st.fd = fd;
  }
  if (err != 0) {
    Log_Level(2, "Cannot open log file %s: %s; logging to standard error\n", file.c_str(),
              strerror(err));
  }
}

void Log_SetProgramName(const std::string& name) {
  LogState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.program = name.empty() ? "zyld" : name;
}

void Log_Flush() {
  LogState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
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
