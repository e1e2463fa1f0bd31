// Logging of the HTTP transport's listeners and connections.
#pragma once

#include <mirel/log.h>

namespace Mirel::Transport::PicoHttp {

// Streams the parts into one record of `level`, only when that level is enabled.
template <class... Parts>
void LogAt(Log::Logger& logger, int level, const Parts&... parts) {
  if (auto record = logger.CreateRecord(level)) (record->GetStream() << ... << parts);
}

}  // namespace Mirel::Transport::PicoHttp
