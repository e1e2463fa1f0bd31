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
constexpr const char* kFeaturePrefix = "features/";

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

  Har::Status Read(std::vector<ParsedValue>* out);

 private:
  size_t LineAt(ptrdiff_t offset) const;
  Har::Status Fail(size_t line, const std::string& key, const std::string& fault) const;
  Har::Status Walk(const pugi::xml_node& node, const std::string& prefix, int depth,
                   std::vector<ParsedValue>* out);
  Har::Status Leaf(const pugi::xml_node& node, const std::string& key,
                   std::vector<ParsedValue>* out);

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

Har::Status Reader::Fail(size_t line, const std::string& key, const std::string& fault) const {
  std::string error = source_ + ": line " + std::to_string(line);
  if (!key.empty()) {
    error += ": element <" + key + ">";
  }
  error += ": " + fault;
  return Har::Status::Error(std::move(error));
}

Har::Status Reader::Read(std::vector<ParsedValue>* out) {
  if (text_.size() > kMaxConfigFileBytes) {
    return Fail(0, "", "larger than " + std::to_string(kMaxConfigFileBytes) + " bytes");
  }
  pugi::xml_document doc;
  pugi::xml_parse_result result =
      doc.load_buffer(text_.data(), text_.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    return Fail(LineAt(result.offset), "", std::string("malformed XML: ") + result.description());
  }
  pugi::xml_node root;
  for (const pugi::xml_node& child : doc.children()) {
    if (child.type() != pugi::node_element) {
      continue;
    }
    if (root) {
      return Fail(LineAt(child.offset_debug()), child.name(), "second root element");
    }
    root = child;
  }
  if (!root || std::strcmp(root.name(), "config") != 0) {
    return Fail(root ? LineAt(root.offset_debug()) : 1, root ? root.name() : "",
                "root element must be <config>");
  }
  return Walk(root, "", 1, out);
}

Har::Status Reader::Walk(const pugi::xml_node& node, const std::string& prefix, int depth,
                         std::vector<ParsedValue>* out) {
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() != pugi::node_element) {
      if (IsText(child) && !Trim(child.value()).empty()) {
        return Fail(LineAt(child.offset_debug()), prefix.empty() ? "config" : prefix,
                    "text mixed with elements");
      }
      continue;
    }
    std::string key = prefix.empty() ? child.name() : prefix + "/" + child.name();
    if (depth >= kMaxDepth) {
      return Fail(LineAt(child.offset_debug()), key, "nested too deeply");
    }
    bool nested = static_cast<bool>(
        child.find_child([](const pugi::xml_node& n) { return n.type() == pugi::node_element; }));
    Har::Status status = nested ? Walk(child, key, depth + 1, out) : Leaf(child, key, out);
    if (!status) {
      return status;
    }
  }
  return Har::Status::Ok();
}

Har::Status Reader::Leaf(const pugi::xml_node& node, const std::string& key,
                         std::vector<ParsedValue>* out) {
  std::string text;
  for (const pugi::xml_node& part : node.children()) {
    if (IsText(part)) {
      text += part.value();
    }
  }
  size_t line = LineAt(node.offset_debug());
  auto [it, fresh] = seen_.emplace(key, line);
  if (!fresh) {
    return Fail(line, key, "duplicate (first at line " + std::to_string(it->second) + ")");
  }
  out->push_back({key, Trim(text), line});
  return Har::Status::Ok();
}

// Checks value against the type the key already has in config or that its name implies; the
// error is the fault alone.
Har::Status CheckType(const ConfigValues& values, const ParsedValue& v) {
  ConfigValues::Type type = ConfigValues::Type::kText;
  values.GetType(v.key, &type);
  int64_t i = 0;
  bool b = false;
  int level = 0;
  if (v.key.rfind(kFeaturePrefix, 0) == 0) {
    type = ConfigValues::Type::kBool;
  }
  if (type == ConfigValues::Type::kInt && !ParseConfigInt(v.text, &i)) {
    return Har::Status::Error("\"" + v.text + "\" is not a decimal integer");
  }
  if (type == ConfigValues::Type::kBool && !ParseConfigBool(v.text, &b)) {
    return Har::Status::Error("\"" + v.text + "\" is not true or false");
  }
  if (v.key == "log/level" && !ParseLogLevel(v.text, &level)) {
    return Har::Status::Error("\"" + v.text +
                              "\" is not one of error, warning, info, verbose, trivia");
  }
  return Har::Status::Ok();
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
Har::Status ReadFile(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return Har::Status::Error(path + ": cannot open: " + std::strerror(errno));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Har::Status::Error(path + ": not a regular file");
  }
  std::string data(kMaxConfigFileBytes + 1, '\0');
  size_t used = 0;
  while (used < data.size()) {
    ssize_t n = read(fd, data.data() + used, data.size() - used);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      const int readError = errno;
      close(fd);
      return Har::Status::Error(path + ": cannot read: " + std::strerror(readError));
    }
    if (n == 0) {
      break;
    }
    used += static_cast<size_t>(n);
  }
  close(fd);
  data.resize(used);
  *out = std::move(data);
  return Har::Status::Ok();
}

}  // namespace

void CreateScratchConfig(std::shared_ptr<Config>& out) { out = std::make_shared<Config>(); }

Har::Status ParseConfigText(Config& config, std::string_view text, const std::string& sourceName,
                            std::vector<std::string>* unknownKeys) {
  std::vector<ParsedValue> parsed;
  Reader reader(text, sourceName);
  if (Har::Status status = reader.Read(&parsed); !status) {
    return status;
  }
  ConfigValues& values = config.Values();
  for (const ParsedValue& v : parsed) {
    if (const Har::Status fault = CheckType(values, v); !fault) {
      return Har::Status::Error(sourceName + ": line " + std::to_string(v.line) + ": element <" +
                                v.key + ">: " + fault.message());
    }
  }
  for (const ParsedValue& v : parsed) {
    if (unknownKeys != nullptr && !values.Has(v.key) && v.key.rfind(kFeaturePrefix, 0) != 0) {
      unknownKeys->push_back(v.key);
    }
    Store(values, v);
  }
  return Har::Status::Ok();
}

void LoadConfigFile(Config& config, const std::string& path,
                    std::vector<std::string>* unknownKeys) {
  std::string text;
  Har::Status status = ReadFile(path, &text);
  if (status) {
    status = ParseConfigText(config, text, path, unknownKeys);
  }
  if (!status) {
    throw std::runtime_error(status.message());
  }
}

std::string ConfigFilePath(const char* environmentVariable, const std::string& defaultPath) {
  const char* env = std::getenv(environmentVariable);
  return env != nullptr && env[0] != '\0' ? std::string(env) : defaultPath;
}

}  // namespace Quorex::Service
