// zylctl: calls the daemon's API from the command line. Every operation of the API metadata file
// is a command; see docs/zylctl.md.
#include "cli_args.h"
#include "cli_help.h"
#include "cli_model.h"
#include "cli_output.h"
#include "rpc_client.h"

#include <config_check.h>
#include <harlibs/wiping_json.h>

#include <boost/json/parse.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace Zylctl {
namespace {

constexpr int64_t kRequestId = 1;

struct LocalContext {
  const Globals& globals;
  const Model* model;                    // loaded when the command asks for it
  const std::vector<std::string>& args;  // the words after the command's own
  std::FILE* out;
  std::FILE* err;
};

struct LocalEntry {
  LocalCommand info;
  bool needsModel;
  Exit (*run)(const LocalContext&);
};

std::vector<LocalCommand> Infos();

Exit Completion(const LocalContext& c) {
  if (!c.args.empty()) {
    std::fprintf(c.err, "zylctl: unexpected argument %s\n", c.args.front().c_str());
    return Exit::kUsage;
  }
  std::fputs(BashCompletion(*c.model, Infos()).c_str(), c.out);
  return Exit::kOk;
}

// Commands that run here instead of calling the daemon: one entry each.
// Checks a daemon configuration file with the daemon's own reader; each problem on one line.
Exit ConfigCheck(const LocalContext& c) {
  if (c.args.size() != 1) {
    std::fputs("zylctl: config check takes one FILE\n", c.err);
    return Exit::kUsage;
  }
  const std::vector<std::string> problems = Zyld::CheckConfigFile(c.args.front());
  if (!problems.empty()) {
    std::fprintf(c.err, "zylctl: %s is not valid:\n", c.args.front().c_str());
    for (const std::string& problem : problems) {
      std::fprintf(c.err, "  %s\n", problem.c_str());
    }
    return Exit::kInvalidArgument;
  }
  std::fprintf(c.out, "%s: valid\n", c.args.front().c_str());
  return Exit::kOk;
}

std::vector<LocalEntry> LocalCommands() {
  return {
      {{{"completion", "bash"}, "", "print a bash completion script"}, true, &Completion},
      {{{"config", "check"}, "FILE", "check a daemon configuration file"}, false, &ConfigCheck},
  };
}

std::vector<LocalCommand> Infos() {
  std::vector<LocalCommand> infos;
  for (const auto& entry : LocalCommands()) infos.push_back(entry.info);
  return infos;
}

const LocalEntry* FindLocal(const std::vector<LocalEntry>& locals,
                            const std::vector<std::string>& words) {
  for (const auto& entry : locals) {
    const auto& w = entry.info.words;
    if (words.size() >= w.size() && std::equal(w.begin(), w.end(), words.begin())) return &entry;
  }
  return nullptr;
}

Exit Usage(std::FILE* err, const std::string& text) {
  std::fprintf(err, "zylctl: %s\n", text.c_str());
  return Exit::kUsage;
}

std::string MetadataPath(const Globals& g) {
  if (!g.metadata.empty()) return g.metadata;
  const char* env = std::getenv("ZYLCTL_METADATA");
  return env != nullptr && *env != '\0' ? env : ZYLCTL_DEFAULT_METADATA;
}

// A JSON-RPC 2.0 response object that echoes the request's id.
bool IsAnswerTo(const boost::json::value& answer, int64_t id) {
  const auto* o = answer.if_object();
  const auto* version = o ? o->if_contains("jsonrpc") : nullptr;
  const auto* echoed = o ? o->if_contains("id") : nullptr;
  return version && *version == "2.0" && echoed && echoed->is_int64() && echoed->get_int64() == id;
}

Exit CallApi(const Model& model, const Command& command, const Globals& g, std::FILE* out,
             std::FILE* err) {
  Har::WipingJsonResource resource;
  const boost::json::storage_ptr sp(&resource);
  boost::json::object params;
  std::string error;
  if (!BuildParams(model, command, g.rest, sp, params, error)) return Usage(err, error);
  const auto token = ReadToken(g, error);
  if (!token) return Usage(err, error);
  boost::json::object request(sp);
  request["jsonrpc"] = "2.0";
  request["id"] = kRequestId;
  request["method"] = command.Method();
  request["params"] = std::move(params);
  const Har::Secret body = SerializeSecret(request);
  const Endpoint endpoint{g.host, g.port, std::chrono::seconds(g.timeoutSeconds)};
  HttpAnswer answer = PostRpc(endpoint, body.view(), *token);
  Har::WipeGuard wipeAnswer(answer.body);
  if (!answer.ok) {
    std::fprintf(err, "zylctl: %s\n", answer.error.c_str());
    return Exit::kConnection;
  }
  boost::system::error_code ec;
  const boost::json::value parsed =
      boost::json::parse(std::string_view(answer.body.data(), answer.body.size()), ec, sp);
  if (ec || !IsAnswerTo(parsed, kRequestId)) {
    std::fprintf(err, "zylctl: the answer is not a JSON-RPC 2.0 response to the call\n");
    return Exit::kConnection;
  }
  const Format format = g.blob ? Format::kBlob : g.json ? Format::kJson : Format::kText;
  return PrintAnswer(command, parsed, format, out, err);
}

Exit RunApi(const Model& model, const Globals& g, std::FILE* out, std::FILE* err) {
  if (g.words.empty()) {
    PrintTopHelp(model, Infos(), g.help ? out : err);
    return g.help ? Exit::kOk : Exit::kUsage;
  }
  const Resolution r = Resolve(model, g.words);
  if (r.command == nullptr) {
    if (r.namespaceWords == 0 || r.namespaceWords < g.words.size()) {
      std::string words;
      for (const auto& w : g.words) words += (words.empty() ? "" : " ") + w;
      return Usage(err, "unknown command '" + words + "' (zylctl --help lists them)");
    }
    PrintNamespaceHelp(model, r.prefix, g.help ? out : err);
    return g.help ? Exit::kOk : Exit::kUsage;
  }
  if (g.help) {
    PrintCommandHelp(model, *r.command, out);
    return Exit::kOk;
  }
  if (g.blob && r.command->binaryResults.empty()) {
    return Usage(err, "--blob: the result of '" + r.command->Path() + "' has no binary value");
  }
  if (!g.blob) return CallApi(model, *r.command, g, out, err);
  Globals withDefaults = g;
  for (const auto& [flag, value] : r.command->blobDefaults) {
    const bool given = std::any_of(g.rest.begin(), g.rest.end(), [&flag](const std::string& a) {
      return a == "--" + flag || a.starts_with("--" + flag + "=");
    });
    if (!given) withDefaults.rest.insert(withDefaults.rest.end(), {"--" + flag, value});
  }
  return CallApi(model, *r.command, withDefaults, out, err);
}

Exit Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Globals g;
  std::string error;
  if (!ParseGlobals(args, g, error)) return Usage(err, error);
  if (g.version) {
    std::fprintf(out, "zylctl %s\n", ZYLD_VERSION);
    return Exit::kOk;
  }
  const auto locals = LocalCommands();
  const LocalEntry* local = FindLocal(locals, g.words);
  Model model;
  if ((local == nullptr || local->needsModel) && !LoadModel(MetadataPath(g), model, error)) {
    return Usage(err, error);
  }
  if (local == nullptr) return RunApi(model, g, out, err);
  const std::vector<std::string> rest(g.words.begin() + local->info.words.size(), g.words.end());
  if (!g.rest.empty()) return Usage(err, "unknown option " + g.rest.front());
  if (g.help) {
    std::string words;
    for (const auto w : local->info.words) words += " " + std::string(w);
    std::fprintf(out, "usage: zylctl%s %.*s\n%.*s\n", words.c_str(),
                 static_cast<int>(local->info.usage.size()), local->info.usage.data(),
                 static_cast<int>(local->info.summary.size()), local->info.summary.data());
    return Exit::kOk;
  }
  return local->run(LocalContext{g, &model, rest, out, err});
}

}  // namespace
}  // namespace Zylctl

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return static_cast<int>(Zylctl::Run(args, stdout, stderr));
}
