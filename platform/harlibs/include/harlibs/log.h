// Host log. Each Log_Level call writes exactly one line with one write(2), so lines from
// concurrent threads never interleave:
//   2026-12-06T06:10:43.123Z zyld[pid] <level> [tid] text
// Level 0 is always written; any other level only when level <= threshold (default 5).
// The sink is standard error or a file opened for appending (Log_Configure). Thread-safe.
#pragma once

#include <string>

// Host log levels; lower is more severe.
enum LogLevel : int {
  kLogRecord = 0,   // the one-line record of a completed key operation; always written
  kLogFailure = 2,  // failures
  kLogNotable = 3,  // notable events (start, exit, resets)
  kLogInfo = 5,     // information
  kLogTrace = 6,    // tracing
};

void Log_Level(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool Log_IsEnabled(int level);
// threshold: highest level written; file: path appended to, empty for standard error.
// A file that cannot be opened leaves the log on standard error (and says so).
void Log_Configure(int threshold, const std::string& file);
// Opens the configured log file afresh (after it was moved aside or removed) and closes the
// previous one; returns 0, or the errno value when it cannot be opened (the previous sink is then
// kept). Nothing to do, 0, while the log is on standard error.
int Log_Reopen();
// Current threshold (for components that mirror it).
int Log_Threshold();
// Sets the program name used in each line (default "zyld").
void Log_SetProgramName(const std::string& name);
// Flushes the sink (fsync for files); used before a quick exit.
void Log_Flush();
// Logs the message at level 0 and aborts the process (core dump).
[[noreturn]] void Panic(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#define NOT_REACHED() Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__)
#define VERIFY(cond)                               \
  do {                                             \
    if (!(cond)) {                                 \
      Panic("VERIFY %s:%d\n", __FILE__, __LINE__); \
    }                                              \
  } while (0)
