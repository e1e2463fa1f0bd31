#include <qlkmipsimple/connection_spec.h>

#include <charconv>

namespace Qlkmip {
namespace {

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
    if (end - pos_ > 255) {
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
    if (!Expect("PEM:[")) {
      return false;
    }
    const size_t end = text_.find(']', pos_);
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
  if (!c.Expect("Host='") || !c.Host(host) || !c.Expect("', Port='") ||
      !c.Number(1, 65535, portWhat, &value) || !c.Expect("'")) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

bool Session(Cursor& c, ConnectionSpec* out) {
  if (c.Peek("Proxy=")) {
    if (!c.Expect("Proxy={Protocol=HTTP, ") ||
        !Endpoint(c, &out->proxyHost, &out->proxyPort, "proxy port") || !c.Expect("},")) {
      return false;
    }
  }
  int64_t timeout = 0;
  if (!c.Expect("Protocol=SSL, ") || !Endpoint(c, &out->host, &out->port, "port") ||
      !c.Expect(", Timeout=") || !c.Number(1, kMaxTimeoutSeconds, "time-out", &timeout) ||
      !c.Expect(":Seconds, ")) {
    return false;
  }
  out->timeoutSeconds = static_cast<int>(timeout);
  if (c.Peek("Certificate=")) {
    // Decoded straight into the secret: its storage is wiped whenever it grows.
    if (!c.Expect("Certificate=") || !c.Pem(&out->certificatePem) || !c.Expect(", Public=") ||
        !c.Pem(&out->publicPem) || !c.Expect(", Private=") || !c.Pem(&out->privateKeyPem) ||
        !c.Expect(",")) {
      return false;
    }
    out->hasClientCertificate = true;
  }
  return c.Expect("User_Trust, Authenticate}");
}

bool TrustedCerts(Cursor& c, ConnectionSpec* out) {
  while (!c.AtEnd()) {
    if (out->trustedPems.size() >= kMaxTrustedCerts) {
      return c.Fail("too many trusted certificates");
    }
    std::string pem;
    if (!c.Expect(", Trusted_Cert=") || !c.Pem(&pem)) {
      return false;
    }
    out->trustedPems.push_back(std::move(pem));
  }
  return true;
}

}  // namespace

bool ParseConnectionSpec(std::string_view text, ConnectionSpec* out, std::string* error) {
  error->clear();
  *out = ConnectionSpec();
  Cursor c(text, error);
  if (text.size() > kMaxSpecText) {
    return c.Fail("specification text too long");
  }
  return c.Expect("Presentation={Protocol=KMIP, Version='1.1', Format=TTLV}, Session = {") &&
         Session(c, out) && TrustedCerts(c, out);
}

}  // namespace Qlkmip
