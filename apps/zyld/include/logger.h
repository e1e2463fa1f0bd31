// Zyld::ZylApi::MirelLoggerWrapper: the API framework's logger written onto the host log.
// Framework levels 0..5 map onto host levels 7, 6, 5, 3, 2, 1. CreateRecord returns no record
// when the host does not want the mapped level, so the framework skips formatting; a level above 5
// is a programming error and panics. Destroying a record writes its text, unchanged and without an
// added line end, with one call of the bound log function. Immutable after construction; one
// instance serves every thread, each record belongs to the thread that created it.
#pragma once

#include <mirel/log.h>

#include <cstdint>
#include <memory>
#include <sstream>

namespace Zyld::ZylApi {

class MirelLoggerWrapper : public Mirel::Log::Logger {
 public:
  using LogFunction = void (*)(int level, const char* fmt, ...);

  class Record : public Mirel::Log::LogRecord {
   public:
    Record(LogFunction logFunction, uint32_t hostLevel);
    ~Record() override;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    std::ostream& GetStream() override;
    uint32_t HostLevel() const { return hostLevel_; }

   private:
    LogFunction logFunction_;
    uint32_t hostLevel_;
    std::ostringstream text_;
  };

  explicit MirelLoggerWrapper(LogFunction logFunction);

  std::unique_ptr<Mirel::Log::LogRecord> CreateRecord(int level) override;

  // The host level a framework level maps to; level must be 0..5.
  static uint32_t HostLevelFor(int level);

 private:
  LogFunction logFunction_;
};

}  // namespace Zyld::ZylApi
