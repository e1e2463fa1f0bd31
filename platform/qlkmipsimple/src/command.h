// Parses a qlc_perform command format and its arguments into a KMIP request. Accepted forms:
//   "Get, Object, Id=V"   "Get, Attributes, Id=V, Names=State"   "Query, Versions"
// each optionally followed by ", Options={Authentication={User=V, Password=V}}".
// V is "%s" (the next const char* argument, used verbatim) or literal text without ',', '{',
// '}' or '%'. Identifiers must be non-empty; each value is at most 4096 bytes. Argument values are
// never parsed as command text.
#ifndef QLKMIPSIMPLE_COMMAND_H
#define QLKMIPSIMPLE_COMMAND_H

#include <cstdarg>
#include <string>

#include <harlibs/status.h>

#include "kmip_messages.h"

namespace Qlkmip {

constexpr size_t kMaxCommandValue = 4096;

Har::Status ParseCommand(const char* format, va_list args, Kmip::Request* out);

}  // namespace Qlkmip

#endif
