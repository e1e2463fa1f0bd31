// Printing an answer of the daemon: the result as text (a table for a list of flat records,
// "key: value" lines otherwise), as JSON (--json, the result exactly), or the binary field of the
// result decoded (--blob); an error as one line on standard error and its exit status.
#pragma once

#include "cli_model.h"

#include <harlibs/secure.h>

#include <boost/json/value.hpp>

#include <cstdio>
#include <string_view>

namespace Zylctl {

enum class Format { kText, kJson, kBlob };

// The JSON text of v in wiped memory (results carry keys).
Har::Secret SerializeSecret(const boost::json::value& v);

// The exit status of an error type of the API ("com.velora.mirel.std.errors.not_found").
Exit ExitForErrorType(std::string_view type);

// Prints the JSON-RPC answer (already parsed) of command; returns the exit status.
Exit PrintAnswer(const Command& command, const boost::json::value& answer, Format format,
                 std::FILE* out, std::FILE* err);

}  // namespace Zylctl
