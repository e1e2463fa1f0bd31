// Logger interface of the API framework. The framework never writes to a sink itself: it asks
// its Logger for a record at one of six levels (0 most verbose .. 5 most severe), streams the
// text into the record and destroys it, which emits it. A null record means "level disabled":
// the caller then skips formatting altogether.
#pragma once

#include <memory>
#include <ostream>

namespace Mirel::Log {

enum Level : int { kTrace = 0, kDebug = 1, kInfo = 2, kWarning = 3, kError = 4, kFatal = 5 };

class LogRecord {
 public:
  virtual ~LogRecord() = default;
  virtual std::ostream& GetStream() = 0;
};

class Logger {
 public:
  virtual ~Logger() = default;
  virtual std::unique_ptr<LogRecord> CreateRecord(int level) = 0;
};

// MIREL_LOG(logger, level) << "text"; formats only when the level is enabled.
#define MIREL_LOG(logger, level)                                          \
  if (auto mirelRecord_ = (logger)->CreateRecord(level); !mirelRecord_) { \
  } else                                                                  \
    mirelRecord_->GetStream()

}  // namespace Mirel::Log
