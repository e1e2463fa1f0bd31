// Configuration file: XML with root <config>; the key "a/b/c" is the element path a/b/c.
#include <quorex/quorex.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <pugixml.hpp>
#include <stdexcept>
#include <vector>

namespace Quorex::Service {

namespace {

constexpr int kMaxDepth = 16;

struct ParsedValue {
  std::string key;
  std::string text;
  size_t line;
};

// Reads one configuration document into a flat list of leaf values.
class Reader {
 public:
  Reader(std::string_view text, const std::string& source) : text_(text), source_(source) {
    for (size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        lineEnds_.push_back(i);
      }
    }
  }

  bool Read(std::vector<ParsedValue>* out, std::string* error);

 private:
  size_t LineAt(ptrdiff_t offset) const;
  bool Fail(std::string* error, size_t line, const std::string& key, const std::string& fault);
  bool Walk(const pugi::xml_node& node, const std::string& prefix, int depth,
            std::vector<ParsedValue>* out, std::string* error);
  bool Leaf(const pugi::xml_node& node, const std::string& key, std::vector<ParsedValue>* out,
            std::string* error);

  std::string_view text_;
  const std::string& source_;
  std::vector<size_t> lineEnds_;        // offsets of the '\n' characters
  std::map<std::string, size_t> seen_;  // key -> line of its element
};

std::string Trim(std::string_view s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) {
    return {};
  }
  size_t e = s.find_last_not_of(ws);
  return std::string(s.substr(b, e - b + 1));
}

bool IsText(const pugi::xml_node& n) {
  return n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata;
}

size_t Reader::LineAt(ptrdiff_t offset) const {
  if (offset < 0) {
    return 0;
  }
  auto it = std::lower_bound(lineEnds_.begin(), lineEnds_.end(), static_cast<size_t>(offset));
  return static_cast<size_t>(it - lineEnds_.begin()) + 1;
}

bool Reader::Fail(std::string* error, size_t line, const std::string& key,
                  const std::string& fault) {
  if (error != nullptr) {
    *error = source_ + ": line " + std::to_string(line);
    if (!key.empty()) {
      *error += ": element <" + key + ">";
    }
    *error += ": " + fault;
  }
  return false;
}

bool Reader::Read(std::vector<ParsedValue>* out, std::string* error) {
  if (text_.size() > kMaxConfigFileBytes) {
    return Fail(error, 0, "", "larger than " + std::to_string(kMaxConfigFileBytes) + " bytes");
  }
  pugi::xml_document doc;
  pugi::xml_parse_result result =
      doc.load_buffer(text_.data(), text_.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    return Fail(error, LineAt(result.offset), "",
                std::string("malformed XML: ") + result.description());
  }
  pugi::xml_node root;
  for (const pugi::xml_node& child : doc.children()) {
    if (child.type() != pugi::node_element) {
      continue;
    }
    if (root) {
      return Fail(error, LineAt(child.offset_debug()), child.name(), "second root element");
    }
    root = child;
  }
  if (!root || std::strcmp(root.name(), "config") != 0) {
    return Fail(error, root ? LineAt(root.offset_debug()) : 1, root ? root.name() : "",
                "root element must be <config>");
  }
  return Walk(root, "", 1, out, error);
}

bool Reader::Walk(const pugi::xml_node& node, const std::string& prefix, int depth,
                  std::vector<ParsedValue>* out, std::string* error) {
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() != pugi::node_element) {
      if (IsText(child) && !Trim(child.value()).empty()) {
        return Fail(error, LineAt(child.offset_debug()), prefix.empty() ? "config" : prefix,
                    "text mixed with elements");
      }
      continue;
    }
    std::string key = prefix.empty() ? child.name() : prefix + "/" + child.name();
    if (depth >= kMaxDepth) {
      return Fail(error, LineAt(child.offset_debug()), key, "nested too deeply");
    }
    bool nested = static_cast<bool>(
        child.find_child([](const pugi::xml_node& n) { return n.type() == pugi::node_element; }));
    bool ok = nested ? Walk(child, key, depth + 1, out, error) : Leaf(child, key, out, error);
    if (!ok) {
      return false;
    }
  }
  return true;
}

bool Reader::Leaf(const pugi::xml_node& node, const std::string& key, std::vector<ParsedValue>* out,
                  std::string* error) {
  std::string text;
  for (const pugi::xml_node& part : node.children()) {
    if (IsText(part)) {
      text += part.value();
    }
  }
  size_t line = LineAt(node.offset_debug());
  auto [it, fresh] = seen_.emplace(key, line);
  if (!fresh) {
    return Fail(error, line, key, "duplicate (first at line " + std::to_string(it->second) + ")");
  }
  out->push_back({key, Trim(text), line});
  return true;
}

// Checks value against the type the key already has in config or that its name implies.
bool CheckType(const ConfigValues& values, const ParsedValue& v, std::string* fault) {
  ConfigValues::Type type = ConfigValues::Type::kText;
  values.GetType(v.key, &type);
  int64_t i = 0;
  bool b = false;
  int level = 0;
  if (v.key.rfind("features/", 0) == 0) {
    type = ConfigValues::Type::kBool;
  }
  if (type == ConfigValues::Type::kInt && !ParseConfigInt(v.text, &i)) {
    *fault = "\"" + v.text + "\" is not a decimal integer";
    return false;
  }
  if (type == ConfigValues::Type::kBool && !ParseConfigBool(v.text, &b)) {
    *fault = "\"" + v.text + "\" is not true or false";
    return false;
  }
  if (v.key == "log/level" && !ParseLogLevel(v.text, &level)) {
    *fault = "\"" + v.text + "\" is not one of error, warning, info, verbose, trivia";
    return false;
  }
  return true;
}

void Store(ConfigValues& values, const ParsedValue& v) {
  ConfigValues::Type type = ConfigValues::Type::kText;
  values.GetType(v.key, &type);
  int64_t i = 0;
  bool b = false;
  if (type == ConfigValues::Type::kInt && ParseConfigInt(v.text, &i)) {
    values.SetInt(v.key, i);
  } else if (type == ConfigValues::Type::kBool && ParseConfigBool(v.text, &b)) {
    values.SetBool(v.key, b);
  } else if (type == ConfigValues::Type::kString) {
    values.SetString(v.key, v.text);
  } else {
    values.SetText(v.key, v.text);
  }
}

// Reads at most kMaxConfigFileBytes + 1 bytes of a regular file.
bool ReadFile(const std::string& path, std::string* out, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = path + ": not a regular file";
    return false;
  }
  std::string data(kMaxConfigFileBytes + 1, '\0');
  size_t used = 0;
  while (used < data.size()) {
    ssize_t n = read(fd, data.data() + used, data.size() - used);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      *error = path + ": cannot read: " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) {
      break;
    }
    used += static_cast<size_t>(n);
  }
  close(fd);
  data.resize(used);
  *out = std::move(data);
  return true;
}

}  // namespace

void CreateScratchConfig(std::shared_ptr<Config>& out) { out = std::make_shared<Config>(); }

bool ParseConfigText(Config& config, std::string_view text, const std::string& sourceName,
                     std::string* error) {
  std::vector<ParsedValue> parsed;
  Reader reader(text, sourceName);
  if (!reader.Read(&parsed, error)) {
    return false;
  }
  ConfigValues& values = config.Values();
  for (const ParsedValue& v : parsed) {
    std::string fault;
    if (!CheckType(values, v, &fault)) {
      if (error != nullptr) {
        *error =
            sourceName + ": line " + std::to_string(v.line) + ": element <" + v.key + ">: " + fault;
      }
      return false;
    }
  }
  for (const ParsedValue& v : parsed) {
    Store(values, v);
  }
  return true;
}

void LoadConfigFile(Config& config, const std::string& path) {
  std::string text;
  std::string error;
  if (!ReadFile(path, &text, &error) || !ParseConfigText(config, text, path, &error)) {
    throw std::runtime_error(error);
  }
}

std::string ConfigFilePath(const char* environmentVariable, const std::string& defaultPath) {
  const char* env = std::getenv(environmentVariable);
  return env != nullptr && env[0] != '\0' ? std::string(env) : defaultPath;
}

}  // namespace Quorex::Service
