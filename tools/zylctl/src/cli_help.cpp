#include "cli_help.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace Zylctl {
namespace {

constexpr std::string_view kGlobalOptions[] = {
    "--host HOST          daemon address (127.0.0.1)",
    "--port PORT          daemon port, the daemon's endpoint/port (7888)",
    "--timeout SECONDS    bound of the whole call (30)",
    "--token-file FILE    bearer token (else $ZYLCTL_TOKEN_FILE or $ZYLCTL_TOKEN)",
    "--metadata PATH      API metadata file (else $ZYLCTL_METADATA or the installed one)",
    "--json               print the result as JSON",
    "--blob               print the binary value of the result, decoded (redirect it to a file)",
    "--help, --version",
};
constexpr std::string_view kGlobalFlags =
    "--host --port --timeout --token-file --metadata --json --blob --help --version";

std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

std::string TypeText(const Model& model, const boost::json::value& type) {
  if (type.is_string()) {
    if (type == "binary") return "@FILE";
    std::string t(type.get_string());
    for (auto& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return t;
  }
  const auto* o = type.if_object();
  for (const char* container : {"list", "set"}) {
    if (const auto* element = o ? o->if_contains(container) : nullptr) {
      return TypeText(model, *element);
    }
  }
  const auto values = EnumValues(model, type);
  if (!values.empty()) {
    std::string t;
    for (const auto& v : values) t += (t.empty() ? "" : "|") + v;
    return t;
  }
  return "JSON";
}

// Namespace prefixes (canonical words) below prefix, one level down.
std::set<std::string> SubNamespaces(const Model& model, const std::vector<std::string>& prefix) {
  std::set<std::string> subs;
  for (const auto& c : model.commands) {
    if (c.words.size() > prefix.size() &&
        std::equal(prefix.begin(), prefix.end(), c.words.begin())) {
      subs.insert(c.words[prefix.size()]);
    }
  }
  return subs;
}

std::string CommandLabel(const Command& c) {
  return c.alias.empty() ? c.name : c.name + " (" + c.alias + ")";
}

// Only such words go into the completion script, so no metadata text reaches the shell.
bool ShellSafe(std::string_view word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
  });
}

// Words that may follow each completion path ("" is the top level).
std::map<std::string, std::set<std::string>> CompletionTable(
    const Model& model, const std::vector<LocalCommand>& locals) {
  std::map<std::string, std::set<std::string>> next;
  auto addPath = [&next](const std::vector<std::string>& words) {
    std::string path;
    for (const auto& w : words) {
      next[path].insert(w);
      path += (path.empty() ? "" : " ") + w;
    }
    return path;
  };
  for (const auto& c : model.commands) {
    for (const auto& ns : {c.words, std::vector<std::string>{c.nsAlias}}) {
      for (const auto& name : {c.name, c.alias}) {
        if (ns.front().empty() || name.empty()) continue;
        auto words = ns;
        words.push_back(name);
        const std::string path = addPath(words);
        for (const auto& o : c.options) {
          next[path].insert("--" + o.flag);
          if (!o.alias.empty()) next[path].insert("--" + o.alias);
        }
      }
    }
  }
  for (const auto& l : locals) addPath(std::vector<std::string>(l.words.begin(), l.words.end()));
  return next;
}

}  // namespace

std::string OptionSynopsis(const Model& model, const OptionSpec& option) {
  std::string text = "--" + option.flag;
  if (!option.alias.empty()) text += ", --" + option.alias;
  if (!option.boolean) text += " " + TypeText(model, option.type);
  if (option.repeated) text += " (repeatable)";
  if (option.required) text += " (required)";
  return text;
}

void PrintTopHelp(const Model& model, const std::vector<LocalCommand>& locals, std::FILE* out) {
  std::fprintf(out,
               "usage: zylctl [OPTIONS] NAMESPACE... COMMAND [--OPTION VALUE]...\n"
               "Values: @PATH reads a file, @- standard input (secrets never on the command "
               "line).\n\nNamespaces:\n");
  std::set<std::string> seen;
  for (const auto& c : model.commands) {
    const std::string ns = Join(c.words);
    if (!seen.insert(ns).second) continue;
    std::fprintf(out, "  %s%s\n", ns.c_str(),
                 c.nsAlias.empty() ? "" : (" (" + c.nsAlias + ")").c_str());
  }
  std::fprintf(out, "\nLocal commands:\n");
  for (const auto& l : locals) {
    std::string words;
    for (const auto w : l.words) words += std::string(w) + " ";
    std::fprintf(out, "  %s%.*s  %.*s\n", words.c_str(), static_cast<int>(l.usage.size()),
                 l.usage.data(), static_cast<int>(l.summary.size()), l.summary.data());
  }
  std::fprintf(out, "\nOptions:\n");
  for (const auto line : kGlobalOptions) {
    std::fprintf(out, "  %.*s\n", static_cast<int>(line.size()), line.data());
  }
  std::fprintf(out, "\n'zylctl NAMESPACE... --help' lists the commands of a namespace.\n");
}

void PrintNamespaceHelp(const Model& model, const std::vector<std::string>& prefix,
                        std::FILE* out) {
  std::fprintf(out, "usage: zylctl %s COMMAND [--OPTION VALUE]...\n\nCommands:\n",
               Join(prefix).c_str());
  for (const auto& c : model.commands) {
    if (c.words != prefix) continue;
    std::string options;
    for (const auto& o : c.options) {
      if (o.path.size() == 1) options += " " + OptionSynopsis(model, o);
    }
    std::fprintf(out, "  %s%s\n", CommandLabel(c).c_str(), options.c_str());
  }
  const auto subs = SubNamespaces(model, prefix);
  if (!subs.empty()) std::fprintf(out, "\nNamespaces:\n");
  for (const auto& s : subs) std::fprintf(out, "  %s %s\n", Join(prefix).c_str(), s.c_str());
}

void PrintCommandHelp(const Model& model, const Command& command, std::FILE* out) {
  std::fprintf(out, "usage: zylctl %s [--OPTION VALUE]...\ncalls %s\n\nOptions:\n",
               command.Path().c_str(), command.Method().c_str());
  for (const auto& o : command.options) {
    std::fprintf(out, "  %s\n", OptionSynopsis(model, o).c_str());
  }
  if (command.options.empty()) std::fprintf(out, "  (none)\n");
  std::fprintf(out,
               "\nA JSON option may also be given member by member (--spec.member-name); list\n"
               "options repeat; @PATH and @- read a value from a file or standard input.\n");
}

std::string BashCompletion(const Model& model, const std::vector<LocalCommand>& locals) {
  std::string script =
      "# bash completion of zylctl, generated from the API metadata\n"
      "_zylctl() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} path= i w\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    w=${COMP_WORDS[i]}\n"
      "    [[ $w == -* ]] && break\n"
      "    path+=${path:+ }$w\n"
      "  done\n"
      "  local words=\n"
      "  case \"$path\" in\n";
  for (const auto& [path, words] : CompletionTable(model, locals)) {
    script += "    \"" + path + "\") words=\"";
    std::string spaced = path;
    std::replace(spaced.begin(), spaced.end(), ' ', '-');
    if (!path.empty() && !ShellSafe(spaced)) continue;
    for (const auto& w : words) script += ShellSafe(w) ? w + " " : "";
    script += std::string(path.empty() ? kGlobalFlags : "--help --json") + "\" ;;\n";
  }
  script +=
      "  esac\n"
      "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "}\n"
      "complete -o default -F _zylctl zylctl\n";
  return script;
}

}  // namespace Zylctl
