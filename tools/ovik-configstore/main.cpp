// ovik-configstore: reads and changes the configuration store from the command line.
//
//   ovik-configstore [--db PATH] get KEY GROUP COMPONENT [INSTANCE]
//   ovik-configstore [--db PATH] set-string KEY GROUP COMPONENT INSTANCE NAME VALUE
//   ovik-configstore [--db PATH] delete KEY GROUP COMPONENT [INSTANCE]
//   ovik-configstore [--db PATH] [--output FILE] export KEY GROUP COMPONENT
//   ovik-configstore [--db PATH] import FILE
//   ovik-configstore --help | --version
//
// Without --db the database is "configStore/path" of the daemon's configuration file. get and
// export open it read-only: they never create a database or a directory. An export with --output
// is written to a new file of mode 0600 renamed into place, so FILE never holds part of it. A VALUE
// of the form @FILE is the content of FILE (@@text stands for the literal @text); "" as INSTANCE is
// no instance. An import of the providers is checked against the provider schema first: a provider
// that the daemon could not read back is refused, naming provider and member. Exit status: 0
// success, 1 store or file error (a file names the system's reason), 2 usage error, each with a
// one-line message.
#include "configstore/provider_schema.h"
#include "file_io.h"

#include <configstore/configstore.h>
#include <harlibs/secure.h>
#include <harlibs/status.h>
#include <quorex/quorex.h>
#include <zyld/config_file.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace OvikConfigStore;

constexpr int kExitOk = 0;
constexpr int kExitStoreError = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMaxFileBytes = 16u * 1024u * 1024u;
constexpr const char* kUsage =
    "usage: ovik-configstore [--db PATH] get KEY GROUP COMPONENT [INSTANCE] | "
    "set-string KEY GROUP COMPONENT INSTANCE NAME VALUE | delete KEY GROUP COMPONENT [INSTANCE] | "
    "[--output FILE] export KEY GROUP COMPONENT | import FILE";
constexpr const char* kHelp =
    "Usage: ovik-configstore [--db PATH] [--output FILE] COMMAND ARGS...\n"
    "Reads and changes the configuration store of zyld.\n"
    "\n"
    "Commands:\n"
    "  get KEY GROUP COMPONENT [INSTANCE]     print one object as JSON\n"
    "  set-string KEY GROUP COMPONENT INSTANCE NAME VALUE\n"
    "                                         set one string value (VALUE @FILE: the file's\n"
    "                                         content; @@text: the literal @text; \"\" as\n"
    "                                         INSTANCE: no instance)\n"
    "  delete KEY GROUP COMPONENT [INSTANCE]  remove one object\n"
    "  export KEY GROUP COMPONENT             print every object of the selection as an export\n"
    "                                         text\n"
    "  import FILE                            replace the file's selection with its objects,\n"
    "                                         all or nothing\n"
    "\n"
    "Options:\n"
    "  --db PATH       the database (default: configStore/path of the daemon's configuration\n"
    "                  file, /etc/velora/cpservices/zyld/config.xml or $ZYLD_CONFIG)\n"
    "  --output FILE   export: write the text to FILE (mode 0600, replaced whole)\n"
    "  -h, --help      print this help and exit\n"
    "  --version       print the version and exit\n"
    "\n"
    "get and export never create a database. Exit status: 0 success, 1 store or file error,\n"
    "2 usage error.";

struct Outcome {
  int status;
  std::string message;  // stdout on success (help: several lines), else stderr on one line
};

Outcome Usage(const std::string& why) { return {kExitUsage, why + "; " + kUsage}; }

Outcome StoreError(const std::string& why) { return {kExitStoreError, why}; }

// Keeps a message on one line whatever the names in it contain.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  return text;
}

// The database named by the daemon's configuration (missing default file: built-in default).
std::string ConfiguredDbPath() {
  std::shared_ptr<Quorex::Service::Config> config;
  Quorex::Service::CreateScratchConfig(config);
  config->Values().SetString("configStore/path", kDefaultDbPath);
  const std::string file = Zyld::ConfigFilePath();
  const char* env = std::getenv(Zyld::kConfigFileVariable);
  const bool explicitFile = env != nullptr && *env != '\0';
  if (explicitFile || std::filesystem::exists(file)) {
    Quorex::Service::LoadConfigFile(*config, file);  // throws naming the file and the fault
  }
  std::string path = kDefaultDbPath;
  config->Values().GetString("configStore/path", &path);
  return path;
}

// One command line: the options, the command and its operands.
struct Invocation {
  std::optional<std::string> db;
  std::optional<std::string> output;  // export only
  std::string command;
  std::vector<std::string> args;
  // The contents of the file the command reads, read before the store is opened (so that an
  // unreadable file leaves no store behind) and wiped after the run.
  std::string input;
  bool hasInput = false;
};

ConfigStoreObjectId IdFrom(const std::vector<std::string>& args) {
  return ConfigStoreObjectId(args[0], args[1], args[2], args.size() > 3 ? args[3] : std::string());
}

Outcome Get(ConfigStore& store, const Invocation& call) {
  const ConfigStoreObjectId id = IdFrom(call.args);
  auto obj = store.Get(id);
  if (!obj) {
    return StoreError("object " + id.ToString() + " not found");
  }
  return {kExitOk, ObjectToJson(*obj)};
}

Outcome SetString(ConfigStore& store, const Invocation& call) {
  const std::vector<std::string>& args = call.args;
  std::string value = call.hasInput ? call.input : args[5];
  if (!call.hasInput && value.starts_with("@@")) {
    value.erase(0, 1);
  }
  const ConfigStoreObjectId id = IdFrom(args);
  auto obj = store.Get(id);
  if (!obj) {
    obj = std::make_shared<ConfigStoreObject>(id);
  }
  obj->SetValue(args[4], std::move(value));
  store.Set(obj, nullptr);
  return {kExitOk, "set " + args[4] + " on " + id.ToString()};
}

Outcome Delete(ConfigStore& store, const Invocation& call) {
  const ConfigStoreObjectId id = IdFrom(call.args);
  if (!store.Delete(id)) {
    return StoreError("object " + id.ToString() + " not found");
  }
  return {kExitOk, "deleted " + id.ToString()};
}

Outcome Export(ConfigStore& store, const Invocation& call) {
  const ConfigStoreObjectId id = IdFrom(call.args);
  std::string text = store.Export({std::make_shared<FilterSpecObject>(id)});
  if (!call.output) {
    return {kExitOk, std::move(text)};
  }
  Har::WipeGuard wipe(text);
  text.push_back('\n');
  if (const Har::Status written = OvikTool::WriteFileAtomically(*call.output, text); !written) {
    return StoreError(written.message());
  }
  return {kExitOk, "exported " + id.ToString() + " to " + *call.output};
}

Outcome Import(ConfigStore& store, const Invocation& call) {
  const std::string& file = call.args[0];
  const std::string& text = call.input;
  Zyld::ProviderConfig::ProvidersText found;
  if (auto problem = Zyld::ProviderConfig::CheckProvidersText(
          text, Zyld::ProviderConfig::OtherSelections::Pass, found)) {
    return StoreError("import of " + file + " rejected: " + problem->Text());
  }
  std::vector<ErrorInfo> errors;
  if (!store.Import(text, errors)) {
    std::string message = "import of " + file + " rejected";
    if (!errors.empty()) {
      message += ": " + errors.front().second;
    }
    if (errors.size() > 1) {
      message += " (and " + std::to_string(errors.size() - 1) + " more)";
    }
    return StoreError(message);
  }
  return {kExitOk, "imported " + file};
}

struct Command {
  const char* name;
  std::size_t minArgs;
  std::size_t maxArgs;
  OpenMode mode;
  Outcome (*run)(ConfigStore&, const Invocation&);
  // The file the command reads its input from, when it names one.
  std::optional<std::string> (*inputPath)(const Invocation&);
};

std::optional<std::string> ImportPath(const Invocation& call) { return call.args[0]; }

// A value of the form @FILE names a file; @@ stands for a literal @.
std::optional<std::string> ValuePath(const Invocation& call) {
  const std::string& value = call.args[5];
  if (value.starts_with('@') && !value.starts_with("@@")) {
    return value.substr(1);
  }
  return std::nullopt;
}

constexpr Command kCommands[] = {
    {"get", 3, 4, OpenMode::ReadOnly, Get, nullptr},
    {"set-string", 6, 6, OpenMode::ReadWrite, SetString, ValuePath},
    {"delete", 3, 4, OpenMode::ReadWrite, Delete, nullptr},
    {"export", 3, 3, OpenMode::ReadOnly, Export, nullptr},
    {"import", 1, 1, OpenMode::ReadWrite, Import, ImportPath},
};

// Reads the command's input file into call.input; an outcome when it cannot be read.
std::optional<Outcome> ReadInput(const Command& cmd, Invocation& call) {
  const std::optional<std::string> path = cmd.inputPath ? cmd.inputPath(call) : std::nullopt;
  if (!path) {
    return std::nullopt;
  }
  if (const Har::Status read = OvikTool::ReadWholeFile(*path, kMaxFileBytes, call.input); !read) {
    return StoreError(read.message());
  }
  call.hasInput = true;
  return std::nullopt;
}

// Reads the options and the command; an outcome when the run ends here (help, version, usage).
std::optional<Outcome> Parse(const std::vector<std::string>& args, Invocation& call) {
  std::size_t i = 0;
  for (; i < args.size() && args[i].starts_with('-'); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      return Outcome{kExitOk, kHelp};
    }
    if (arg == "--version") {
      return Outcome{kExitOk, std::string("ovik-configstore ") + ZYLD_VERSION};
    }
    std::optional<std::string>* target =
        arg == "--db" ? &call.db : (arg == "--output" ? &call.output : nullptr);
    if (target == nullptr) {
      return Usage("unknown option " + arg);
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      return Usage(arg + " needs a path");
    }
    if (*target) {
      return Usage(arg + " given twice");
    }
    *target = args[++i];
  }
  if (i == args.size()) {
    return Usage("no command");
  }
  call.command = args[i];
  call.args.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  if (call.output && call.command != "export") {
    return Usage("--output is only for export");
  }
  return std::nullopt;
}

Outcome Run(const std::vector<std::string>& args) {
  Invocation call;
  if (std::optional<Outcome> ended = Parse(args, call)) {
    return *ended;
  }
  for (const Command& cmd : kCommands) {
    if (call.command != cmd.name) {
      continue;
    }
    if (call.args.size() < cmd.minArgs || call.args.size() > cmd.maxArgs) {
      return Usage("wrong number of arguments for " + call.command);
    }
    const Har::WipeGuard wipeInput(call.input);
    if (std::optional<Outcome> failed = ReadInput(cmd, call)) {
      return *failed;
    }
    try {
      auto store = ConfigStore::Open(call.db ? *call.db : ConfiguredDbPath(), cmd.mode);
      return cmd.run(*store, call);
    } catch (const std::exception& e) {
      return StoreError(e.what());
    }
  }
  return Usage("unknown command \"" + call.command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  const Outcome outcome = Run(std::vector<std::string>(argv + 1, argv + argc));
  if (outcome.status == kExitOk) {
    std::cout << outcome.message << '\n';
  } else {
    std::cerr << "ovik-configstore: " << OneLine(outcome.message) << '\n';
  }
  return outcome.status;
}
