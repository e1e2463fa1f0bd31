#include "cli_args.h"

#include <harlibs/base64.h>

#include <boost/json/parse.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace Zylctl {
namespace {

constexpr size_t kMaxTokenBytes = 64 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ > STDERR_FILENO) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads all of fd, at most max bytes.
std::optional<Har::Secret> ReadAll(int fd, size_t max, const std::string& what,
                                   std::string& error) {
  Har::Secret data;
  data.reserve(kReadChunk);
  char chunk[kReadChunk];
  Har::WipeGuard guard(chunk, sizeof chunk);
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      error = "cannot read " + what;
      return std::nullopt;
    }
    if (n == 0) return data;
    if (data.size() + static_cast<size_t>(n) > max) {
      error = what + " is larger than " + std::to_string(max) + " bytes";
      return std::nullopt;
    }
    data.append(chunk, static_cast<size_t>(n));
  }
}

std::optional<Har::Secret> ReadFile(const std::string& path, size_t max, std::string& error) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = "cannot open " + path;
    return std::nullopt;
  }
  return ReadAll(fd.get(), max, path, error);
}

void TrimTrailingNewline(Har::Secret& s) {
  size_t n = s.size();
  while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
  s.resize(n);
}

bool ApplyGlobal(const std::string& name, const std::string& value, Globals& g,
                 std::string& error) {
  if (name == "host" && !value.empty()) {
    g.host = value;
    return true;
  }
  if (name == "metadata") {
    g.metadata = value;
    return true;
  }
  if (name == "token-file") {
    g.tokenFile = value;
    return true;
  }
  long n = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  const bool number = ec == std::errc() && end == value.data() + value.size();
  if (name == "port" && number && n > 0 && n <= UINT16_MAX) {
    g.port = static_cast<uint16_t>(n);
    return true;
  }
  if (name == "timeout" && number && n > 0 && n <= kMaxTimeoutSeconds) {
    g.timeoutSeconds = static_cast<int>(n);
    return true;
  }
  error = "bad value for --" + name + ": '" + value + "'";
  return false;
}

bool IsValueGlobal(const std::string& name) {
  return name == "host" || name == "port" || name == "timeout" || name == "metadata" ||
         name == "token-file";
}

bool ParseLong(std::string_view text, int64_t& n) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && end == text.data() + text.size();
}

boost::json::value Convert(const Model& model, const boost::json::value& type,
                           const Har::Secret& value, bool fromFile,
                           const boost::json::storage_ptr& sp, std::string& error) {
  if (type == "string") {
    Har::Secret text = value;
    if (fromFile) TrimTrailingNewline(text);
    return boost::json::string(text.view(), sp);
  }
  if (type == "long" || type == "boolean") {
    int64_t n = 0;
    if (type == "long" && ParseLong(value.view(), n)) return boost::json::value(n, sp);
    if (type == "boolean" && (value.view() == "true" || value.view() == "false")) {
      return boost::json::value(value.view() == "true", sp);
    }
    error = type == "long" ? "needs an integer" : "needs true or false";
    return nullptr;
  }
  if (type == "binary") {
    Har::Secret text(Base64_EncodedLength(value.size()));
    size_t len = 0;
    Base64_Encode(value.bytes(), value.size(), text.data(), text.size(), &len);
    return boost::json::string(std::string_view(text.data(), len), sp);
  }
  if (type.is_object() && type.get_object().contains("enumeration")) {
    const auto values = EnumValues(model, type);
    if (std::find(values.begin(), values.end(), value.view()) != values.end()) {
      return boost::json::string(value.view(), sp);
    }
    error = "is not one of the allowed values";
    for (const auto& v : values) error += " " + v;
    return nullptr;
  }
  boost::system::error_code ec;
  boost::json::value parsed = boost::json::parse(value.view(), ec, sp);
  if (ec || (type.is_object() && type.get_object().contains("structure") && !parsed.is_object())) {
    error = "is not a JSON object";
    return nullptr;
  }
  return parsed;
}

// Puts value at the option's path, creating the objects on the way.
bool Place(boost::json::object& params, const OptionSpec& option, boost::json::value value,
           std::string& error) {
  boost::json::object* at = &params;
  for (size_t i = 0; i + 1 < option.path.size(); ++i) {
    boost::json::value& next = (*at)[option.path[i]];
    if (next.is_null()) next = boost::json::object(params.storage());
    if (!next.is_object()) {
      error = "--" + option.flag + " conflicts with an earlier option";
      return false;
    }
    at = &next.get_object();
  }
  boost::json::value& slot = (*at)[option.path.back()];
  if (option.repeated) {
    if (slot.is_null()) slot = boost::json::array(params.storage());
    if (!slot.is_array()) return (error = "--" + option.flag + " conflicts with a value", false);
    slot.get_array().push_back(std::move(value));
    return true;
  }
  if (!slot.is_null()) {
    error = "--" + option.flag + " is given twice";
    return false;
  }
  slot = std::move(value);
  return true;
}

const OptionSpec* FindOption(const Command& command, std::string_view name) {
  for (const auto& option : command.options) {
    if (option.flag == name || (!option.alias.empty() && option.alias == name)) return &option;
  }
  return nullptr;
}

}  // namespace

bool ParseGlobals(const std::vector<std::string>& args, Globals& g, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      g.help = true;
      continue;
    }
    if (!arg.starts_with("--")) {
      (g.rest.empty() ? g.words : g.rest).push_back(arg);
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
    if (name == "json" || name == "blob" || name == "version") {
      (name == "json" ? g.json : name == "blob" ? g.blob : g.version) = true;
    } else if (IsValueGlobal(name)) {
      if (eq == std::string::npos && i + 1 == args.size()) {
        error = "--" + name + " needs a value";
        return false;
      }
      if (!ApplyGlobal(name, eq == std::string::npos ? args[++i] : arg.substr(eq + 1), g, error)) {
        return false;
      }
    } else if (name == "token") {
      error = "there is no --token option: use --token-file FILE or ZYLCTL_TOKEN";
      return false;
    } else {
      g.rest.push_back(arg);
    }
  }
  return true;
}

std::optional<Har::Secret> ReadValue(const std::string& text, std::string& error) {
  if (text == "@-") return ReadAll(STDIN_FILENO, kMaxValueBytes, "standard input", error);
  if (text.starts_with("@@")) return Har::Secret(std::string_view(text).substr(1));
  if (text.starts_with("@")) return ReadFile(text.substr(1), kMaxValueBytes, error);
  return Har::Secret(text);
}

bool BuildParams(const Model& model, const Command& command, const std::vector<std::string>& rest,
                 boost::json::storage_ptr storage, boost::json::object& params,
                 std::string& error) {
  params = boost::json::object(storage);
  for (size_t i = 0; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    if (!arg.starts_with("--")) {
      error = "unexpected argument " + arg + " for '" + command.Path() + "'";
      return false;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
    const OptionSpec* option = FindOption(command, name);
    if (option == nullptr) {
      error = "unknown option " + arg + " for '" + command.Path() + "'";
      return false;
    }
    std::string text = eq != std::string::npos ? arg.substr(eq + 1) : "true";
    if (eq == std::string::npos && !option->boolean) {
      if (i + 1 == rest.size() || rest[i + 1].starts_with("--")) {
        error = "--" + option->flag + " needs a value";
        return false;
      }
      text = rest[++i];
    }
    Har::WipeGuard textGuard(text);
    const auto value = ReadValue(text, error);
    if (!value) return (error = "--" + option->flag + ": " + error, false);
    const bool fromFile = text.starts_with("@") && !text.starts_with("@@");
    boost::json::value converted =
        Convert(model, option->element, *value, fromFile, storage, error);
    if (converted.is_null()) return (error = "--" + option->flag + " " + error, false);
    if (!Place(params, *option, std::move(converted), error)) return false;
  }
  for (const auto& option : command.options) {
    if (option.required && !params.contains(option.path.front())) {
      error = "missing option --" + option.flag + " for '" + command.Path() + "'";
      return false;
    }
  }
  return true;
}

std::optional<Har::Secret> ReadToken(const Globals& g, std::string& error) {
  std::string file = g.tokenFile;
  const char* envFile = std::getenv("ZYLCTL_TOKEN_FILE");
  if (file.empty() && envFile != nullptr) file = envFile;
  std::optional<Har::Secret> token;
  if (!file.empty()) {
    token = ReadFile(file, kMaxTokenBytes, error);
  } else if (const char* env = std::getenv("ZYLCTL_TOKEN")) {
    token = Har::Secret(std::string_view(env));
  } else {
    token = Har::Secret();
  }
  if (!token) return std::nullopt;
  TrimTrailingNewline(*token);
  for (char c : token->view()) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) {
      error = "the token holds a control character";
      return std::nullopt;
    }
  }
  return token;
}

}  // namespace Zylctl
