#include "token_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace ZyldToken {
namespace {

constexpr std::string_view kReservedClaims[] = {"iss", "aud", "sub", "exp", "iat", "entitlements"};
constexpr std::string_view kValueOptions[] = {"--key",         "--secret-file", "--alg", "--iss",
                                              "--aud",         "--sub",         "--ttl", "--exp",
                                              "--entitlement", "--claim"};

bool ParseInt64(const std::string& text, int64_t& out) {
  if (text.empty() || text.size() > 20) {
    return false;
  }
  const size_t digitsFrom = text[0] == '-' ? 1 : 0;
  if (digitsFrom == text.size() ||
      !std::all_of(text.begin() + static_cast<long>(digitsFrom), text.end(),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) {
    return false;
  }
  out = static_cast<int64_t>(value);
  return true;
}

bool ValidClaimName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxClaimNameLength &&
         std::all_of(name.begin(), name.end(),
                     [](char c) { return c > ' ' && c < 127 && c != '"'; });
}

class Parser {
 public:
  explicit Parser(Options& out) : out_(out) {}

  // Applies one option with its value; an error when it is wrong.
  Har::Status Apply(const std::string& name, const std::string& value) {
    if (name == "--key") return SetOnce(out_.keyFile, value, name);
    if (name == "--secret-file") return SetOnce(out_.secretFile, value, name);
    if (name == "--alg") return SetAlg(value);
    if (name == "--iss") return SetOnce(out_.iss, value, name);
    if (name == "--aud") return SetOnce(out_.aud, value, name);
    if (name == "--sub") return SetOnce(out_.sub, value, name);
    if (name == "--ttl") return SetExpiry(Expiry::Ttl, value, out_.ttlSeconds);
    if (name == "--exp") return SetExpiry(Expiry::At, value, out_.expAt);
    if (name == "--entitlement") return AddEntitlement(value);
    if (name == "--claim") return AddClaim(value);
    return Fail("unknown option " + name);
  }

  Har::Status SetNoExpiry() {
    int64_t unused = 0;
    return SetExpiry(Expiry::None, "0", unused);
  }

  // Checks that the options go together.
  Har::Status Finish() {
    if (out_.alg == Algorithm::HS256) {
      if (out_.secretFile.empty()) return Fail("--alg HS256 needs --secret-file");
      if (!out_.keyFile.empty()) return Fail("--alg HS256 takes --secret-file, not --key");
      return Har::Status::Ok();
    }
    if (!out_.secretFile.empty()) return Fail("--secret-file is only for --alg HS256");
    if (out_.keyFile.empty()) return Fail("--key is required");
    return Har::Status::Ok();
  }

  static Har::Status Fail(std::string message) { return Har::Status::Error(std::move(message)); }

 private:
  Har::Status SetOnce(std::string& field, const std::string& value, const std::string& name) {
    if (!field.empty()) return Fail(name + " given twice");
    if (value.empty()) return Fail(name + " needs a non-empty value");
    field = value;
    return Har::Status::Ok();
  }
  Har::Status SetOnce(std::optional<std::string>& field, const std::string& value,
                      const std::string& name) {
    if (field) return Fail(name + " given twice");
    field = value;
    return Har::Status::Ok();
  }
  Har::Status SetAlg(const std::string& value) {
    if (algSet_) return Fail("--alg given twice");
    algSet_ = true;
    if (value == "RS256")
      out_.alg = Algorithm::RS256;
    else if (value == "ES256")
      out_.alg = Algorithm::ES256;
    else if (value == "HS256")
      out_.alg = Algorithm::HS256;
    else
      return Fail("--alg must be RS256, ES256 or HS256");
    return Har::Status::Ok();
  }
  Har::Status SetExpiry(Expiry expiry, const std::string& value, int64_t& field) {
    if (expirySet_) return Fail("only one of --ttl, --exp and --no-exp may be given");
    expirySet_ = true;
    out_.expiry = expiry;
    if (!ParseInt64(value, field)) return Fail("not an integer: " + value);
    if (expiry == Expiry::Ttl && (field < 0 || field > kMaxTtlSeconds)) {
      return Fail("--ttl must be between 0 and " + std::to_string(kMaxTtlSeconds));
    }
    return Har::Status::Ok();
  }
  Har::Status AddEntitlement(const std::string& value) {
    if (out_.entitlements.size() >= kMaxEntitlements) return Fail("too many entitlements");
    if (value.empty()) return Fail("--entitlement needs a non-empty value");
    out_.entitlements.push_back(value);
    return Har::Status::Ok();
  }
  Har::Status AddClaim(const std::string& value) {
    if (out_.claims.size() >= kMaxClaims) return Fail("too many claims");
    const size_t eq = value.find('=');
    const std::string name = value.substr(0, eq);
    if (eq == std::string::npos || !ValidClaimName(name)) {
      return Fail("--claim needs NAME=VALUE with a printable name: " + value);
    }
    if (std::find(std::begin(kReservedClaims), std::end(kReservedClaims), name) !=
        std::end(kReservedClaims)) {
      return Fail("claim " + name + " has its own option");
    }
    for (const auto& claim : out_.claims) {
      if (claim.first == name) return Fail("claim " + name + " given twice");
    }
    out_.claims.emplace_back(name, value.substr(eq + 1));
    return Har::Status::Ok();
  }

  Options& out_;
  bool algSet_ = false;
  bool expirySet_ = false;
};

}  // namespace

Har::Status ParseArguments(int argc, const char* const* argv, Options& out) {
  out = Options{};
  Parser parser(out);
  if (argc > kMaxArguments) {
    return Parser::Fail("too many arguments");
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] != nullptr ? argv[i] : "";
    if (arg.size() > kMaxArgumentLength) {
      return Parser::Fail("argument too long");
    }
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      return Har::Status::Ok();
    }
    if (arg == "--version") {
      out.version = true;
      return Har::Status::Ok();
    }
    if (arg == "--no-exp") {
      if (Har::Status set = parser.SetNoExpiry(); !set) return set;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      return Parser::Fail("unexpected argument " + arg);
    }
    const size_t eq = arg.find('=');
    std::string name = arg.substr(0, eq);
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) ==
        std::end(kValueOptions)) {
      return Parser::Fail("unknown option " + name);
    }
    std::string value;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc && argv[i + 1] != nullptr) {
      value = argv[++i];
      if (value.size() > kMaxArgumentLength) {
        return Parser::Fail("argument too long");
      }
    } else {
      return Parser::Fail(name + " needs a value");
    }
    if (Har::Status applied = parser.Apply(name, value); !applied) {
      return applied;
    }
  }
  return parser.Finish();
}

const char* UsageText() {
  return "usage: zyld-token --key FILE [--alg RS256|ES256] [claims]\n"
         "       zyld-token --alg HS256 --secret-file FILE [claims]\n"
         "Signs a JWT and prints it. The algorithm follows the key (RSA: RS256, EC P-256: ES256)\n"
         "unless --alg names it; HS256 is for tests only.\n"
         "claims:\n"
         "  --iss S, --aud S, --sub S     issuer, audience, subject\n"
         "  --ttl SECONDS                 expires SECONDS from now (default 3600)\n"
         "  --exp EPOCH                   expires at EPOCH (seconds)\n"
         "  --no-exp                      no expiry claim\n"
         "  --entitlement E               adds E to the \"entitlements\" list (repeatable)\n"
         "  --claim NAME=VALUE            adds a text claim (repeatable)\n"
         "Every token also carries \"iat\" (now).\n"
         "options:\n"
         "  -h, --help                    print this help and exit\n"
         "  --version                     print the version and exit\n"
         "Exit status: 0 token printed, 1 key unreadable or unusable, 2 usage error.\n";
}

}  // namespace ZyldToken
