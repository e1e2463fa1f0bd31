#include "include/logger.h"

#include <harlibs/log.h>

#include <array>
#include <string>

namespace Zyld::ZylApi {

namespace {

constexpr std::array<uint32_t, 6> kHostLevels = {7, 6, 5, 3, 2, 1};

}  // namespace

MirelLoggerWrapper::Record::Record(LogFunction logFunction, uint32_t hostLevel)
    : logFunction_(logFunction), hostLevel_(hostLevel) {}

MirelLoggerWrapper::Record::~Record() {
  const std::string text = text_.str();
  logFunction_(static_cast<int>(hostLevel_), "%s", text.c_str());
}

std::ostream& MirelLoggerWrapper::Record::GetStream() { return text_; }

MirelLoggerWrapper::MirelLoggerWrapper(LogFunction logFunction) : logFunction_(logFunction) {}

uint32_t MirelLoggerWrapper::HostLevelFor(int level) {
  if (level < 0 || static_cast<size_t>(level) >= kHostLevels.size()) {
    NOT_REACHED();
  }
  return kHostLevels[static_cast<size_t>(level)];
}

std::unique_ptr<Mirel::Log::LogRecord> MirelLoggerWrapper::CreateRecord(int level) {
  const uint32_t hostLevel = HostLevelFor(level);
  if (!Log_IsEnabled(static_cast<int>(hostLevel))) {
    return nullptr;
  }
  return std::make_unique<Record>(logFunction_, hostLevel);
}

}  // namespace Zyld::ZylApi
