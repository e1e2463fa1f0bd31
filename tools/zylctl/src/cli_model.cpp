#include "cli_model.h"

#include <boost/json/parse.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>

namespace Zylctl {
namespace {

// Structures nest a few levels at most; deeper metadata is refused rather than followed.
constexpr int kMaxStructureDepth = 8;

struct NamespaceAlias {
  std::string_view ns;
  std::string_view alias;
};
struct CommandAlias {
  std::string_view ns;
  std::string_view name;
  std::string_view alias;
};
struct OptionAlias {
  std::string_view name;
  std::string_view alias;
};

constexpr std::array kNamespaceAliases{NamespaceAlias{"kms.key_operation", "key"}};
constexpr std::array kCommandAliases{CommandAlias{"kms.key_operation", "generate_key", "generate"}};
constexpr std::array kOptionAliases{OptionAlias{"keySize", "size"}};

struct BlobDefault {
  std::string_view ns;
  std::string_view name;
  std::string_view option;
  std::string_view value;
};
constexpr std::array kBlobDefaults{
    BlobDefault{"kms.raw_config", "get", "infoType", "CONFIGURATION"}};

const boost::json::value* Member(const boost::json::value& v, std::string_view name) {
  const auto* o = v.if_object();
  return o ? o->if_contains(name) : nullptr;
}

std::string StringMember(const boost::json::value& v, std::string_view name) {
  const auto* m = Member(v, name);
  return m && m->is_string() ? std::string(m->get_string()) : std::string();
}

// The type without its "optional" wrapper; optional set when there was one.
boost::json::value Unwrap(const boost::json::value& type, bool& optional) {
  const auto* inner = Member(type, "optional");
  optional = inner != nullptr;
  return inner ? *inner : type;
}

class Builder {
 public:
  explicit Builder(const boost::json::value& doc) : doc_(doc) {}

  bool AddOptions(Command& command, const boost::json::array& fields, std::string& error) {
    for (const auto& field : fields) {
      const std::string name = StringMember(field, "name");
      const auto* type = Member(field, "type");
      if (name.empty() || type == nullptr) {
        error = "an option of " + command.Method() + " has no name or type";
        return false;
      }
      if (!Add(command, {name}, *type, true, 0, error)) return false;
    }
    return true;
  }

  boost::json::value Output(const Command& command) const {
    const auto* ops = Member(doc_, "metamodel");
    ops = ops ? Member(*ops, "service.operation") : nullptr;
    ops = ops ? Member(*ops, command.service) : nullptr;
    ops = ops ? Member(*ops, command.operation) : nullptr;
    const auto* output = ops ? Member(*ops, "output") : nullptr;
    return output ? *output : boost::json::value();
  }

  const boost::json::array* Fields(const boost::json::value& type) const {
    const auto* name = Member(type, "structure");
    const auto* structures = Member(doc_, "metamodel");
    structures = structures ? Member(*structures, "structure") : nullptr;
    if (name == nullptr || !name->is_string() || structures == nullptr) return nullptr;
    const auto* fields = Member(*structures, name->get_string());
    fields = fields ? Member(*fields, "fields") : nullptr;
    return fields ? fields->if_array() : nullptr;
  }

 private:
  bool Add(Command& command, const std::vector<std::string>& path, const boost::json::value& type,
           bool parentRequired, int depth, std::string& error) {
    if (depth > kMaxStructureDepth || command.options.size() >= kMaxOptionsPerCommand) {
      error = "the structures of " + command.Method() + " are too deep or too large";
      return false;
    }
    bool optional = false;
    OptionSpec option;
    option.path = path;
    option.type = Unwrap(type, optional);
    option.required = parentRequired && !optional && path.size() == 1;
    option.boolean = option.type == "boolean";
    const auto* element = Member(option.type, "list");
    element = element ? element : Member(option.type, "set");
    option.repeated = element != nullptr;
    option.element = element ? *element : option.type;
    for (const auto& name : path) {
      option.flag += (option.flag.empty() ? "" : ".") + KebabCase(name);
    }
    for (const auto& a : kOptionAliases) {
      if (path.size() == 1 && a.name == path.front()) option.alias = a.alias;
    }
    const auto* fields = Fields(option.type);
    command.options.push_back(std::move(option));
    if (fields == nullptr) return true;
    for (const auto& field : *fields) {
      const auto* ftype = Member(field, "type");
      const std::string name = StringMember(field, "name");
      if (name.empty() || ftype == nullptr) continue;
      auto sub = path;
      sub.push_back(name);
      if (!Add(command, sub, *ftype, false, depth + 1, error)) return false;
    }
    return true;
  }

  const boost::json::value& doc_;
};

bool BuildCommand(Builder& builder, const boost::json::value& entry, Command& command,
                  std::string& error) {
  command.ns = StringMember(entry, "namespace");
  command.service = StringMember(entry, "service");
  command.operation = StringMember(entry, "operation");
  const std::string name = StringMember(entry, "name");
  const auto* options = Member(entry, "options");
  if (command.ns.empty() || command.service.empty() || command.operation.empty() || name.empty() ||
      options == nullptr || !options->is_array()) {
    error = "a command of the metadata lacks namespace, name, service, operation or options";
    return false;
  }
  command.words = NamespaceWords(command.ns);
  command.name = CommandWord(name);
  for (const auto& a : kNamespaceAliases) {
    if (a.ns == command.ns) command.nsAlias = a.alias;
  }
  for (const auto& a : kCommandAliases) {
    if (a.ns == command.ns && a.name == name) command.alias = a.alias;
  }
  for (const auto& b : kBlobDefaults) {
    if (b.ns == command.ns && b.name == name) {
      command.blobDefaults.emplace_back(KebabCase(b.option), b.value);
    }
  }
  command.output = builder.Output(command);
  bool optional = false;
  const auto* results = builder.Fields(Unwrap(command.output, optional));
  if (results != nullptr) {
    for (const auto& field : *results) {
      const auto* type = Member(field, "type");
      if (type && Unwrap(*type, optional) == "binary") {
        command.binaryResults.push_back(StringMember(field, "name"));
      }
    }
  }
  return builder.AddOptions(command, options->get_array(), error);
}

// Words of the namespace matched at the start of words: its canonical words or its alias.
size_t MatchNamespace(const Command& c, const std::vector<std::string>& words) {
  if (!c.nsAlias.empty() && !words.empty() && words.front() == c.nsAlias) return 1;
  if (words.size() < c.words.size()) return 0;
  return std::equal(c.words.begin(), c.words.end(), words.begin()) ? c.words.size() : 0;
}

}  // namespace

std::string Command::Path() const {
  std::string path;
  for (const auto& w : words) path += w + " ";
  return path + name;
}

std::string KebabCase(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = name[i];
    const bool upper = std::isupper(c) != 0;
    const bool afterLower = i > 0 && (std::islower(name[i - 1]) || std::isdigit(name[i - 1]));
    const bool endsRun = i > 0 && std::isupper(name[i - 1]) && i + 1 < name.size() &&
                         std::islower(static_cast<unsigned char>(name[i + 1]));
    if (upper && (afterLower || endsRun)) out += '-';
    out += c == '_' ? '-' : static_cast<char>(std::tolower(c));
  }
  return out;
}

std::string CommandWord(std::string_view name) {
  std::string out(name);
  std::replace(out.begin(), out.end(), '_', '-');
  return out;
}

std::vector<std::string> NamespaceWords(std::string_view ns) {
  if (ns.starts_with(kNamespacePrefix)) ns.remove_prefix(kNamespacePrefix.size());
  std::vector<std::string> words;
  while (!ns.empty()) {
    const size_t dot = ns.find('.');
    words.push_back(CommandWord(ns.substr(0, dot)));
    ns = dot == std::string_view::npos ? std::string_view() : ns.substr(dot + 1);
  }
  return words;
}

bool BuildModel(std::string_view text, Model& model, std::string& error) {
  boost::system::error_code ec;
  const boost::json::value doc = boost::json::parse(text, ec);
  const auto* commands = ec ? nullptr : Member(doc, "cli");
  commands = commands ? Member(*commands, "command") : nullptr;
  if (commands == nullptr || !commands->is_object()) {
    error = "the metadata has no \"cli\" section with commands";
    return false;
  }
  Builder builder(doc);
  for (const auto& entry : commands->get_object()) {
    Command command;
    if (!BuildCommand(builder, entry.value(), command, error)) return false;
    model.commands.push_back(std::move(command));
  }
  std::sort(model.commands.begin(), model.commands.end(),
            [](const Command& a, const Command& b) { return a.Path() < b.Path(); });
  const auto* meta = Member(doc, "metamodel");
  const auto* enums = meta ? Member(*meta, "enumeration") : nullptr;
  if (enums && enums->is_object()) model.enumerations = enums->get_object();
  return true;
}

bool LoadModel(const std::string& path, Model& model, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::string text(kMaxMetadataBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad() || (!in.eof() && !in)) {
    error = "cannot read the metadata file " + path;
    return false;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxMetadataBytes) {
    error = "the metadata file " + path + " is larger than 4 MiB";
    return false;
  }
  if (!BuildModel(text, model, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

Resolution Resolve(const Model& model, const std::vector<std::string>& words) {
  Resolution best;
  size_t commandsInNamespace = 0;
  const Command* only = nullptr;
  for (const auto& c : model.commands) {
    const size_t n = MatchNamespace(c, words);
    if (n == 0 || n < best.namespaceWords) continue;
    if (n > best.namespaceWords) {
      best = Resolution{nullptr, n, c.words};
      commandsInNamespace = 0;
    }
    ++commandsInNamespace;
    only = &c;
    if (words.size() == n + 1 &&
        (words[n] == c.name || (!c.alias.empty() && words[n] == c.alias))) {
      best.command = &c;
    }
  }
  if (best.command == nullptr && commandsInNamespace == 1 && words.size() == best.namespaceWords) {
    best.command = only;
  }
  return best;
}

std::vector<std::string> EnumValues(const Model& model, const boost::json::value& type) {
  std::vector<std::string> values;
  const auto* name = Member(type, "enumeration");
  const auto* e =
      name && name->is_string() ? model.enumerations.if_contains(name->get_string()) : nullptr;
  const auto* list = e ? Member(*e, "values") : nullptr;
  if (list == nullptr || !list->is_array()) return values;
  for (const auto& v : list->get_array()) {
    if (v.is_string()) values.emplace_back(v.get_string());
  }
  return values;
}

}  // namespace Zylctl
