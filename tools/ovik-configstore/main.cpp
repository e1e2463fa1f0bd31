// ovik-configstore: reads and changes the configuration store from the command line.
//
//   ovik-configstore [--db PATH] get KEY GROUP COMPONENT [INSTANCE]
//   ovik-configstore [--db PATH] set-string KEY GROUP COMPONENT INSTANCE NAME VALUE
//   ovik-configstore [--db PATH] delete KEY GROUP COMPONENT [INSTANCE]
//   ovik-configstore [--db PATH] export KEY GROUP COMPONENT
//   ovik-configstore [--db PATH] import FILE
//
// Without --db the database is "configStore/path" of the daemon's configuration file. A VALUE of
// the form @FILE is the content of FILE (@@text stands for the literal @text); "" as INSTANCE is
// no instance. An import of the providers is checked against the provider schema first: a provider
// that the daemon could not read back is refused, naming provider and member. Exit status: 0
// success, 1 store error, 2 usage error, each with a one-line message.
#include "configstore/provider_schema.h"

#include <configstore/configstore.h>
#include <harlibs/secure.h>
#include <harlibs/status.h>
#include <quorex/quorex.h>
#include <zyld/config_file.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
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
    "export KEY GROUP COMPONENT | import FILE";

struct Outcome {
  int status;
  std::string message;  // one line; stdout on success, stderr otherwise
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

Har::Status ReadFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return Har::Status::Error("cannot read " + path);
  }
  std::string data;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    data.append(buf, static_cast<std::size_t>(in.gcount()));
    if (data.size() > kMaxFileBytes) {
      return Har::Status::Error(path + " is larger than " + std::to_string(kMaxFileBytes) +
                                " bytes");
    }
  }
  if (in.bad()) {
    return Har::Status::Error("cannot read " + path);
  }
  out = std::move(data);
  return Har::Status::Ok();
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

ConfigStoreObjectId IdFrom(const std::vector<std::string>& args) {
  return ConfigStoreObjectId(args[0], args[1], args[2], args.size() > 3 ? args[3] : std::string());
}

Outcome Get(ConfigStore& store, const std::vector<std::string>& args) {
  const ConfigStoreObjectId id = IdFrom(args);
  auto obj = store.Get(id);
  if (!obj) {
    return StoreError("object " + id.ToString() + " not found");
  }
  return {kExitOk, ObjectToJson(*obj)};
}

Outcome SetString(ConfigStore& store, const std::vector<std::string>& args) {
  std::string value = args[5];
  if (value.rfind("@@", 0) == 0) {
    value.erase(0, 1);
  } else if (value.rfind('@', 0) == 0) {
    std::string content;
    if (const Har::Status read = ReadFile(value.substr(1), content); !read) {
      return Usage(read.message());
    }
    value = std::move(content);
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

Outcome Delete(ConfigStore& store, const std::vector<std::string>& args) {
  const ConfigStoreObjectId id = IdFrom(args);
  if (!store.Delete(id)) {
    return StoreError("object " + id.ToString() + " not found");
  }
  return {kExitOk, "deleted " + id.ToString()};
}

Outcome Export(ConfigStore& store, const std::vector<std::string>& args) {
  return {kExitOk, store.Export({std::make_shared<FilterSpecObject>(IdFrom(args))})};
}

Outcome Import(ConfigStore& store, const std::vector<std::string>& args) {
  std::string text;
  Har::WipeGuard wipe(text);
  if (const Har::Status read = ReadFile(args[0], text); !read) {
    return Usage(read.message());
  }
  Zyld::ProviderConfig::ProvidersText found;
  if (auto problem = Zyld::ProviderConfig::CheckProvidersText(
          text, Zyld::ProviderConfig::OtherSelections::Pass, found)) {
    return StoreError("import of " + args[0] + " rejected: " + problem->Text());
  }
  std::vector<ErrorInfo> errors;
  if (!store.Import(text, errors)) {
    std::string message = "import of " + args[0] + " rejected";
    if (!errors.empty()) {
      message += ": " + errors.front().second;
    }
    if (errors.size() > 1) {
      message += " (and " + std::to_string(errors.size() - 1) + " more)";
    }
    return StoreError(message);
  }
  return {kExitOk, "imported " + args[0]};
}

struct Command {
  const char* name;
  std::size_t minArgs;
  std::size_t maxArgs;
  Outcome (*run)(ConfigStore&, const std::vector<std::string>&);
};

constexpr Command kCommands[] = {
    {"get", 3, 4, Get},       {"set-string", 6, 6, SetString}, {"delete", 3, 4, Delete},
    {"export", 3, 3, Export}, {"import", 1, 1, Import},
};

Outcome Run(std::vector<std::string> args) {
  std::optional<std::string> db;
  if (!args.empty() && args[0] == "--db") {
    if (args.size() < 2 || args[1].empty()) {
      return Usage("--db needs a path");
    }
    db = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    return Usage("no command");
  }
  const std::string name = args[0];
  args.erase(args.begin());
  for (const Command& cmd : kCommands) {
    if (name != cmd.name) {
      continue;
    }
    if (args.size() < cmd.minArgs || args.size() > cmd.maxArgs) {
      return Usage("wrong number of arguments for " + name);
    }
    try {
      auto store = ConfigStore::Open(db ? *db : ConfiguredDbPath());
      return cmd.run(*store, args);
    } catch (const std::exception& e) {
      return StoreError(e.what());
    }
  }
  return Usage("unknown command \"" + name + "\"");
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
