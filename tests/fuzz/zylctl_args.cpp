// zylctl's metadata model and argument parser on arbitrary input: the part before the first NUL
// byte is the metadata text, the rest the command line split at NUL bytes. Values are kept literal
// (no file or standard input is read). A built params object holds only the command's parameters.
#include "cli_args.h"
#include "cli_model.h"

#include "fuzz_argv.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzArgv argv("zylctl", data, size, 64);
  const std::vector<std::string> all(argv.Argv() + 1, argv.Argv() + argv.Argc());
  Zylctl::Model model;
  std::string error;
  if (all.empty() || !Zylctl::BuildModel(all.front(), model, error)) return 0;
  std::vector<std::string> args(all.begin() + 1, all.end());
  for (auto& arg : args) {
    if (arg.starts_with("@")) arg.insert(0, "@");
  }
  Zylctl::Globals globals;
  if (!Zylctl::ParseGlobals(args, globals, error)) return 0;
  const Zylctl::Resolution r = Zylctl::Resolve(model, globals.words);
  if (r.command == nullptr) return 0;
  boost::json::object params;
  if (!Zylctl::BuildParams(model, *r.command, globals.rest, {}, params, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const auto& member : params) {
    bool known = false;
    for (const auto& option : r.command->options) known |= option.path.front() == member.key();
    if (!known) std::abort();
  }
  return 0;
}
