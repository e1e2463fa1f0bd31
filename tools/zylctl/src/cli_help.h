// Help texts at every level and the bash completion script, all built from the command model.
#pragma once

#include "cli_model.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace Zylctl {

// A command that runs in zylctl itself instead of calling the daemon.
struct LocalCommand {
  std::vector<std::string_view> words;
  std::string_view usage;  // "FILE", shown after the words
  std::string_view summary;
};

void PrintTopHelp(const Model& model, const std::vector<LocalCommand>& locals, std::FILE* out);
// Commands and sub-namespaces under the namespace words prefix.
void PrintNamespaceHelp(const Model& model, const std::vector<std::string>& prefix, std::FILE* out);
void PrintCommandHelp(const Model& model, const Command& command, std::FILE* out);
// "--provider STRING": the option with its value type.
std::string OptionSynopsis(const Model& model, const OptionSpec& option);

// A bash script that defines completion of zylctl's words and options.
std::string BashCompletion(const Model& model, const std::vector<LocalCommand>& locals);

}  // namespace Zylctl
