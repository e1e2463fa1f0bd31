// zylctl's command line: the global options (endpoint, token, metadata, output) and the options of
// one API command turned into the operation's params object. A value "@PATH" is read from a file
// and "@-" from standard input (at most kMaxValueBytes); "@@text" stands for "@text".
#pragma once

#include "cli_model.h"

#include <harlibs/secure.h>

#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Zylctl {

inline constexpr size_t kMaxValueBytes = 1024 * 1024;
inline constexpr uint16_t kDefaultPort = 7888;
inline constexpr int kDefaultTimeoutSeconds = 30;
inline constexpr int kMaxTimeoutSeconds = 3600;

struct Globals {
  std::string host = "127.0.0.1";
  uint16_t port = kDefaultPort;
  int timeoutSeconds = kDefaultTimeoutSeconds;
  std::string metadata;   // empty: $ZYLCTL_METADATA or the installed file
  std::string tokenFile;  // empty: $ZYLCTL_TOKEN_FILE, or the token in $ZYLCTL_TOKEN
  bool json = false;      // print the result as JSON
  bool blob = false;      // print the result's binary field, decoded
  bool help = false;
  bool version = false;
  std::vector<std::string> words;  // namespace and command words
  std::vector<std::string> rest;   // the command's options, in order
};

// Splits argv (without the program name) into the global options, the leading words and the rest.
// An argument that starts with "--" is always an option; a value that starts with "--" is given
// as "--name=value". Returns false with error naming the option on a bad global option.
bool ParseGlobals(const std::vector<std::string>& args, Globals& globals, std::string& error);

// The value of an option argument: literal text, a file (@PATH) or standard input (@-).
std::optional<Har::Secret> ReadValue(const std::string& text, std::string& error);

// The params object of command from its options, allocated from storage. False with error naming
// the option when one is unknown, repeated, missing, or has a bad value.
bool BuildParams(const Model& model, const Command& command, const std::vector<std::string>& rest,
                 boost::json::storage_ptr storage, boost::json::object& params, std::string& error);

// The bearer token from --token-file, $ZYLCTL_TOKEN_FILE or $ZYLCTL_TOKEN (in that order).
std::optional<Har::Secret> ReadToken(const Globals& globals, std::string& error);

}  // namespace Zylctl
