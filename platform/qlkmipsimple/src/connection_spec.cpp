#include <qlkmipsimple/connection_spec.h>

#include <charconv>

namespace Qlkmip {
namespace {

// The fixed pieces of the text, shared by the builder and the parser.
constexpr std::string_view kPresentation =
    "Presentation={Protocol=KMIP, Version='1.1', Format=TTLV}, Session = {";
constexpr std::string_view kProxy = "Proxy={Protocol=HTTP, ";
constexpr std::string_view kProxyEnd = "},";
constexpr std::string_view kServer = "Protocol=SSL, ";
constexpr std::string_view kHost = "Host='";
constexpr std::string_view kPort = "', Port='";
constexpr std::string_view kPortEnd = "'";
constexpr std::string_view kTimeout = ", Timeout=";
constexpr std::string_view kTimeoutEnd = ":Seconds, ";
constexpr std::string_view kCertificate = "Certificate=";
constexpr std::string_view kPublic = ", Public=";
constexpr std::string_view kPrivate = ", Private=";
constexpr std::string_view kCredentialsEnd = ",";
constexpr std::string_view kSessionEnd = "User_Trust, Authenticate}";
constexpr std::string_view kTrusted = ", Trusted_Cert=";
constexpr std::string_view kPemStart = "PEM:[";
constexpr std::string_view kPemEnd = "]";
constexpr size_t kMaxHostLength = 255;
constexpr int64_t kMinPort = 1;
constexpr int64_t kMaxPort = 65535;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cursor over the text; every method either consumes what it expects or reports failure
// (and records the first reason).
class Cursor {
 public:
  Cursor(std::string_view text, std::string* error) : text_(text), error_(error) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  bool Peek(std::string_view literal) const { return text_.substr(pos_).starts_with(literal); }

  bool Expect(std::string_view literal) {
    if (!Peek(literal)) {
      return Fail("expected \"" + std::string(literal) + "\" at offset " + std::to_string(pos_));
    }
    pos_ += literal.size();
    return true;
  }

  // Reads up to (not including) the next quote: a host name.
  bool Host(std::string* out) {
    const size_t end = text_.find('\'', pos_);
    if (end == std::string_view::npos || end == pos_) {
      return Fail("missing or empty host at offset " + std::to_string(pos_));
    }
    for (size_t i = pos_; i < end; ++i) {
      const unsigned char c = static_cast<unsigned char>(text_[i]);
      if (c <= 0x20 || c == 0x7f || c == '{' || c == '}' || c == ',') {
        return Fail("invalid character in host at offset " + std::to_string(i));
      }
    }
    if (end - pos_ > kMaxHostLength) {
      return Fail("host name too long");
    }
    out->assign(text_.substr(pos_, end - pos_));
    pos_ = end;
    return true;
  }

  // Reads a decimal number (optionally negative) and checks it lies in [low, high].
  bool Number(int64_t low, int64_t high, const char* what, int64_t* out) {
    const char* begin = text_.data() + pos_;
    const char* end = text_.data() + text_.size();
    const auto [ptr, ec] = std::from_chars(begin, end, *out);
    if (ec != std::errc() || ptr == begin) {
      return Fail(std::string("invalid ") + what);
    }
    pos_ += static_cast<size_t>(ptr - begin);
    if (*out < low || *out > high) {
      return Fail(std::string(what) + " out of range");
    }
    return true;
  }

  // Reads "PEM:[hex]" and decodes the hex into *out (any string type with push_back).
  template <typename Out>
  bool Pem(Out* out) {
    if (!Expect(kPemStart)) {
      return false;
    }
    const size_t end = text_.find(kPemEnd, pos_);
    if (end == std::string_view::npos) {
      return Fail("unterminated PEM object");
    }
    const size_t digits = end - pos_;
    if (digits % 2 != 0 || digits / 2 > kMaxPemObject) {
      return Fail("PEM object has an odd or excessive number of hex digits");
    }
    for (size_t i = pos_; i < end; i += 2) {
      const int high = HexDigit(text_[i]);
      const int low = HexDigit(text_[i + 1]);
      if (high < 0 || low < 0) {
        return Fail("invalid hex digit at offset " + std::to_string(i));
      }
      out->push_back(static_cast<char>(high * 16 + low));
    }
    pos_ = end + 1;
    return true;
  }

  bool Fail(std::string reason) {
    if (error_->empty()) {
      *error_ = std::move(reason);
    }
    return false;
  }

 private:
  std::string_view text_;
  std::string* error_;
  size_t pos_ = 0;
};

bool Endpoint(Cursor& c, std::string* host, uint16_t* port, const char* portWhat) {
  int64_t value = 0;
  if (!c.Expect(kHost) || !c.Host(host) || !c.Expect(kPort) ||
      !c.Number(kMinPort, kMaxPort, portWhat, &value) || !c.Expect(kPortEnd)) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

bool Session(Cursor& c, ConnectionSpec* out) {
  if (c.Peek(kProxy)) {
    if (!c.Expect(kProxy) || !Endpoint(c, &out->proxyHost, &out->proxyPort, "proxy port") ||
        !c.Expect(kProxyEnd)) {
      return false;
    }
  }
  int64_t timeout = 0;
  if (!c.Expect(kServer) || !Endpoint(c, &out->host, &out->port, "port") || !c.Expect(kTimeout) ||
      !c.Number(1, kMaxTimeoutSeconds, "time-out", &timeout) || !c.Expect(kTimeoutEnd)) {
    return false;
  }
  out->timeoutSeconds = static_cast<int>(timeout);
  if (c.Peek(kCertificate)) {
    // Decoded straight into the secret: its storage is wiped whenever it grows.
    if (!c.Expect(kCertificate) || !c.Pem(&out->certificatePem) || !c.Expect(kPublic) ||
        !c.Pem(&out->publicPem) || !c.Expect(kPrivate) || !c.Pem(&out->privateKeyPem) ||
        !c.Expect(kCredentialsEnd)) {
      return false;
    }
    out->hasClientCertificate = true;
  }
  return c.Expect(kSessionEnd);
}

bool TrustedCerts(Cursor& c, ConnectionSpec* out) {
  while (!c.AtEnd()) {
    if (out->trustedPems.size() >= kMaxTrustedCerts) {
      return c.Fail("too many trusted certificates");
    }
    std::string pem;
    if (!c.Expect(kTrusted) || !c.Pem(&pem)) {
      return false;
    }
    out->trustedPems.push_back(std::move(pem));
  }
  return true;
}

// Room for the fixed pieces, hosts and numbers.
constexpr size_t kFixedTextSize = 512;
constexpr size_t kHexDigitsPerByte = 2;

// The length of the text BuildConnectionSpec writes, give or take the fixed part.
size_t ExpectedSize(const ConnectionSpec& spec) {
  size_t pemBytes = spec.certificatePem.size() + spec.publicPem.size() + spec.privateKeyPem.size();
  for (const std::string& pem : spec.trustedPems) {
    pemBytes += pem.size();
  }
  const size_t perTrusted = kTrusted.size() + kPemStart.size() + kPemEnd.size();
  return kFixedTextSize + kHexDigitsPerByte * pemBytes + perTrusted * spec.trustedPems.size();
}

void AppendEndpoint(std::string_view host, uint16_t port, Har::Secret& text) {
  text.append(kHost);
  text.append(host);
  text.append(kPort);
  text.append(std::to_string(port));
  text.append(kPortEnd);
}

// Appends "PEM:[hex]" with two lower-case digits a byte.
void AppendPem(std::string_view pem, Har::Secret& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  constexpr unsigned kNibbleBits = 4;
  constexpr unsigned kNibbleMask = 0x0f;
  text.append(kPemStart);
  for (const unsigned char byte : pem) {
    text.push_back(kDigits[byte >> kNibbleBits]);
    text.push_back(kDigits[byte & kNibbleMask]);
  }
  text.append(kPemEnd);
}

}  // namespace

Har::Status ParseConnectionSpec(std::string_view text, ConnectionSpec* out) {
  *out = ConnectionSpec();
  if (text.size() > kMaxSpecText) {
    return Har::Status::Error("specification text too long");
  }
  std::string error;
  Cursor c(text, &error);
  if (!c.Expect(kPresentation) || !Session(c, out) || !TrustedCerts(c, out)) {
    return Har::Status::Error(std::move(error));
  }
  return Har::Status::Ok();
}

Har::Secret BuildConnectionSpec(const ConnectionSpec& spec) {
  Har::Secret text;
  text.reserve(ExpectedSize(spec));
  text.append(kPresentation);
  if (!spec.proxyHost.empty()) {
    text.append(kProxy);
    AppendEndpoint(spec.proxyHost, spec.proxyPort, text);
    text.append(kProxyEnd);
  }
  text.append(kServer);
  AppendEndpoint(spec.host, spec.port, text);
  text.append(kTimeout);
  text.append(std::to_string(spec.timeoutSeconds));
  text.append(kTimeoutEnd);
  if (spec.hasClientCertificate) {
    text.append(kCertificate);
    AppendPem(spec.certificatePem, text);
    text.append(kPublic);
    AppendPem(spec.publicPem, text);
    text.append(kPrivate);
    AppendPem(spec.privateKeyPem.view(), text);
    text.append(kCredentialsEnd);
  }
  text.append(kSessionEnd);
  for (const std::string& pem : spec.trustedPems) {
    text.append(kTrusted);
    AppendPem(pem, text);
  }
  return text;
}

}  // namespace Qlkmip
