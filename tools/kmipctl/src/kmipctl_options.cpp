#include "kmipctl_options.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace Kmipctl {
namespace {

const char kUsage[] =
    "usage: kmipctl --host HOST --port PORT [options] COMMAND\n"
    "options:\n"
    "  --client-cert FILE      client certificate (PEM); needs --client-key\n"
    "  --client-key FILE       client private key (PEM)\n"
    "  --trusted-cert FILE     trusted server or CA certificate (PEM); repeatable\n"
    "  --proxy HOST:PORT       connect through an HTTP CONNECT proxy\n"
    "  --timeout SECONDS       per-step time-out, 1..3600 (default 60)\n"
    "  --user U --password P   username/password credential sent with state and key-info\n"
    "  -h, --help              print this help and exit\n"
    "  --version               print the version and exit\n"
    "commands:\n"
    "  versions                protocol versions the server supports, one a line\n"
    "  server-cert             the certificate the server presents (PEM), not verified\n"
    "  state ID                the key's State value\n"
    "  key-info ID             the key's length in bits and the SHA-256 of its material\n"
    "Exit status: 0 success, 1 failure (the library's status is printed), 2 usage error.\n";

constexpr std::string_view kValueOptions[] = {"--host",       "--port",  "--client-cert",
                                              "--client-key", "--proxy", "--trusted-cert",
                                              "--timeout",    "--user",  "--password"};

bool IsValueOption(std::string_view name) {
  for (std::string_view known : kValueOptions) {
    if (name == known) {
      return true;
    }
  }
  return false;
}

// Printable ASCII. Key ids and credentials travel as command arguments, never as command text.
bool IsPrintable(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7e) {
      return false;
    }
  }
  return true;
}

// Host names go into the connection specification between quotes, among its separators.
bool IsSafeHost(std::string_view text) {
  return IsPrintable(text) && text.find_first_of("' ,{}=[]") == std::string_view::npos;
}

bool ParseNumber(std::string_view text, long min, long max, long& out) {
  long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    return false;
  }
  out = value;
  return true;
}

bool ParsePort(std::string_view text, uint16_t& out) {
  long value = 0;
  if (!ParseNumber(text, 1, 65535, value)) {
    return false;
  }
  out = static_cast<uint16_t>(value);
  return true;
}

bool ParseHost(std::string_view text, std::string& out) {
  if (text.empty() || text.size() > kMaxHostLength || !IsSafeHost(text)) {
    return false;
  }
  out.assign(text);
  return true;
}

bool ParseProxy(std::string_view text, Options& out) {
  size_t colon = text.rfind(':');
  return colon != std::string_view::npos && ParseHost(text.substr(0, colon), out.proxyHost) &&
         ParsePort(text.substr(colon + 1), out.proxyPort);
}

bool ParseCommand(std::string_view name, Command& out) {
  static const struct {
    const char* name;
    Command command;
  } kCommands[] = {{"versions", Command::Versions},
                   {"server-cert", Command::ServerCert},
                   {"state", Command::State},
                   {"key-info", Command::KeyInfo}};
  for (const auto& entry : kCommands) {
    if (name == entry.name) {
      out = entry.command;
      return true;
    }
  }
  return false;
}

bool NeedsKeyId(Command command) {
  return command == Command::State || command == Command::KeyInfo;
}

// Applies one "--name value" option; an error when the value is not acceptable.
Har::Status ApplyOption(std::string_view name, std::string_view value, Options& out,
                        bool& sawPassword) {
  bool ok = true;
  if (name == "--host") {
    ok = ParseHost(value, out.host);
  } else if (name == "--port") {
    ok = ParsePort(value, out.port);
  } else if (name == "--client-cert") {
    out.clientCertFile.assign(value);
  } else if (name == "--client-key") {
    out.clientKeyFile.assign(value);
  } else if (name == "--trusted-cert") {
    ok = out.trustedCertFiles.size() < kMaxTrustedCerts;
    if (ok) {
      out.trustedCertFiles.emplace_back(value);
    }
  } else if (name == "--proxy") {
    ok = ParseProxy(value, out);
  } else if (name == "--timeout") {
    ok = ParseNumber(value, 1, kMaxTimeoutSeconds, out.timeoutSeconds);
  } else if (name == "--user") {
    ok = !value.empty() && value.size() <= kMaxCredentialLength && IsPrintable(value);
    if (ok) {
      out.user.assign(value);
    }
  } else if (name == "--password") {
    ok = value.size() <= kMaxCredentialLength && IsPrintable(value);
    if (ok) {
      out.password.assign(value);
      sawPassword = true;
    }
  } else {
    return Har::Status::Error("unknown option " + std::string(name));
  }
  if (!ok) {
    return Har::Status::Error("bad value for " + std::string(name));
  }
  return Har::Status::Ok();
}

Har::Status CheckComplete(const Options& out, bool sawPassword) {
  if (out.host.empty() || out.port == 0) {
    return Har::Status::Error("--host and --port are required");
  }
  if (out.clientCertFile.empty() != out.clientKeyFile.empty()) {
    return Har::Status::Error("--client-cert and --client-key go together");
  }
  if (out.user.empty() == sawPassword) {
    return Har::Status::Error("--user and --password go together");
  }
  return Har::Status::Ok();
}

// Reads the command and its operand from the positional arguments.
Har::Status ApplyPositional(const std::vector<std::string_view>& positional, Options& out) {
  if (positional.empty()) {
    return Har::Status::Error("missing command");
  }
  if (!ParseCommand(positional[0], out.command)) {
    return Har::Status::Error("unknown command " + std::string(positional[0]));
  }
  size_t wanted = NeedsKeyId(out.command) ? 2 : 1;
  if (positional.size() != wanted) {
    return Har::Status::Error(wanted == 2 ? "the command takes one key id"
                                          : "the command takes no operand");
  }
  if (wanted == 2) {
    std::string_view id = positional[1];
    if (id.empty() || id.size() > kMaxKeyIdLength || !IsPrintable(id)) {
      return Har::Status::Error("bad key id");
    }
    out.keyId.assign(id);
  }
  return Har::Status::Ok();
}

}  // namespace

const char* UsageText() { return kUsage; }

Har::Status ParseArguments(int argc, const char* const* argv, Options& out) {
  if (argc < 1 || argc > kMaxArguments) {
    return Har::Status::Error("too many arguments");
  }
  std::vector<std::string_view> positional;
  bool sawPassword = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i], strnlen(argv[i], kMaxArgumentLength + 1));
    if (arg.size() > kMaxArgumentLength) {
      return Har::Status::Error("argument too long");
    }
    if (arg == "-h" || arg == "--help") {
      out.help = true;
      return Har::Status::Ok();
    }
    if (arg == "--version") {
      out.version = true;
      return Har::Status::Ok();
    }
    if (!arg.starts_with("--")) {
      positional.push_back(arg);
      continue;
    }
    if (!IsValueOption(arg)) {
      return Har::Status::Error("unknown option " + std::string(arg));
    }
    if (i + 1 >= argc) {
      return Har::Status::Error("missing value for " + std::string(arg));
    }
    std::string_view value(argv[i + 1], strnlen(argv[i + 1], kMaxArgumentLength + 1));
    if (value.size() > kMaxArgumentLength) {
      return Har::Status::Error("argument too long");
    }
    if (Har::Status applied = ApplyOption(arg, value, out, sawPassword); !applied) {
      return applied;
    }
    ++i;
  }
  if (Har::Status applied = ApplyPositional(positional, out); !applied) {
    return applied;
  }
  return CheckComplete(out, sawPassword);
}

}  // namespace Kmipctl
