#include "time_text.h"

#include <cstring>
#include <ctime>

namespace Har::Internal {

namespace {

struct SecondsText {
  time_t second = -1;
  size_t len = 0;
  char text[kUtcTextMax] = {};
};
thread_local SecondsText tSeconds;

}  // namespace

size_t FormatUtcNow(char* buf, size_t size) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  SecondsText& cache = tSeconds;
  if (cache.second != ts.tv_sec) {
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    cache.len = strftime(cache.text, sizeof cache.text, "%Y-%m-%dT%H:%M:%S", &utc);
    cache.second = ts.tv_sec;
  }
  const long ms = ts.tv_nsec / 1000000;
  const char tail[] = {'.', static_cast<char>('0' + ms / 100),
                       static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10),
                       'Z'};
  if (cache.len + sizeof tail > size) {
    return 0;
  }
  memcpy(buf, cache.text, cache.len);
  memcpy(buf + cache.len, tail, sizeof tail);
  return cache.len + sizeof tail;
}

}  // namespace Har::Internal
