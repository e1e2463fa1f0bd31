// PEM standardisation and the bounded PEM loaders shared by the other SslUtils files.
#include <ironveil-common/ssl_utils.h>

#include "ssl_internal.h"

#include <harlibs/base64.h>
#include <harlibs/secure.h>

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <string_view>
#include <vector>

namespace Brask::Common::SslDetail {

namespace {

// Refuses every passphrase request, so an encrypted key fails instead of prompting.
int NoPassphrase(char*, int, int, void*) { return -1; }

}  // namespace

BioPtr OpenPem(const std::string& text) {
  if (text.size() > SslUtils::kMaxPemInput) {
    return nullptr;
  }
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

X509Ptr LoadCert(const std::string& pem) {
  BioPtr bio = OpenPem(pem);
  return bio ? X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)) : nullptr;
}

X509ReqPtr LoadReq(const std::string& pem) {
  BioPtr bio = OpenPem(pem);
  return bio ? X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, NoPassphrase, nullptr))
             : nullptr;
}

PkeyPtr LoadPrivateKey(const std::string& pem) {
  BioPtr bio = OpenPem(pem);
  return bio ? PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr))
             : nullptr;
}

BioPtr NewSecretBio() { return BioPtr(BIO_new(BIO_s_secmem())); }

bool TakeBioText(BIO* bio, std::string& out) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  if (len <= 0 || data == nullptr) {
    return false;
  }
  Har::WipeGuard wipe(data, static_cast<size_t>(len));
  out.assign(data, static_cast<size_t>(len));
  return true;
}

}  // namespace Brask::Common::SslDetail

namespace Brask::Common::SslUtils {

namespace {

using namespace SslDetail;

constexpr size_t kLineWidth = 64;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && IsSpace(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

bool OnlySpace(std::string_view s) { return Trim(s).empty(); }

// The label of "-----BEGIN LABEL-----", or empty when the marker has another shape.
std::string_view MarkerLabel(std::string_view marker) {
  constexpr std::string_view kPrefix = "-----BEGIN ";
  constexpr std::string_view kSuffix = "-----";
  if (marker.size() <= kPrefix.size() + kSuffix.size() || !marker.starts_with(kPrefix) ||
      !marker.ends_with(kSuffix)) {
    return {};
  }
  return marker.substr(kPrefix.size(), marker.size() - kPrefix.size() - kSuffix.size());
}

// True when der is exactly one DER object of the type the label names.
bool IsObjectOfLabel(std::string_view label, const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  const long len = static_cast<long>(der.size());
  bool parsed = false;
  if (label == "CERTIFICATE") {
    X509Ptr obj(d2i_X509(nullptr, &p, len));
    parsed = obj != nullptr;
  } else if (label == "CERTIFICATE REQUEST" || label == "NEW CERTIFICATE REQUEST") {
    X509ReqPtr obj(d2i_X509_REQ(nullptr, &p, len));
    parsed = obj != nullptr;
  } else if (label == "PUBLIC KEY") {
    PkeyPtr obj(d2i_PUBKEY(nullptr, &p, len));
    parsed = obj != nullptr;
  }
  return parsed && p == der.data() + der.size();
}

// Decodes the Base64 body with all white space removed; false for anything else in it.
bool DecodeBody(std::string_view body, std::vector<uint8_t>& der) {
  std::string compact;
  compact.reserve(body.size());
  for (char c : body) {
    if (!IsSpace(c)) {
      compact.push_back(c);
    }
  }
  if (compact.empty()) {
    return false;
  }
  der.resize(Base64_DecodedLength(compact.data(), compact.size()));
  size_t outLen = 0;
  if (!Base64_Decode(compact.data(), compact.size(), der.data(), der.size(), &outLen)) {
    return false;
  }
  der.resize(outLen);
  return true;
}

std::string EncodeBody(const std::vector<uint8_t>& der) {
  std::string b64(Base64_EncodedLength(der.size()), '\0');
  size_t len = 0;
  if (!Base64_Encode(der.data(), der.size(), b64.data(), b64.size(), &len)) {
    return {};
  }
  std::string out;
  out.reserve(len + len / kLineWidth + 1);
  for (size_t pos = 0; pos < len; pos += kLineWidth) {
    out.append(b64, pos, std::min(kLineWidth, len - pos));
    out.push_back('\n');
  }
  return out;
}

// Finds the framed body; false unless only white space surrounds the two markers.
bool FindBody(std::string_view text, std::string_view begin, std::string_view end,
              std::string_view& body) {
  const size_t b = text.find(begin);
  if (b == std::string_view::npos || !OnlySpace(text.substr(0, b))) {
    return false;
  }
  const size_t bodyStart = b + begin.size();
  const size_t e = text.find(end, bodyStart);
  if (e == std::string_view::npos || !OnlySpace(text.substr(e + end.size()))) {
    return false;
  }
  body = text.substr(bodyStart, e - bodyStart);
  return true;
}

// Standardises text framed by inBegin/inEnd into outBegin/outEnd framing.
bool Standardize(std::string_view inBegin, std::string_view inEnd, std::string_view outBegin,
                 std::string_view outEndVerbatim, std::string& pem) {
  if (pem.size() > kMaxPemInput || inBegin.empty() || inEnd.empty()) {
    return false;
  }
  std::string_view body;
  std::vector<uint8_t> der;
  if (!FindBody(pem, inBegin, inEnd, body) || !DecodeBody(body, der) ||
      !IsObjectOfLabel(MarkerLabel(inBegin), der)) {
    return false;
  }
  std::string encoded = EncodeBody(der);
  if (encoded.empty()) {
    return false;
  }
  std::string out;
  out.reserve(outBegin.size() + 1 + encoded.size() + outEndVerbatim.size());
  out.append(outBegin).append("\n").append(encoded).append(outEndVerbatim);
  pem = std::move(out);
  return true;
}

std::string_view LeftTrim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) {
    s.remove_prefix(1);
  }
  return s;
}

}  // namespace

bool StandardizePemString(const std::string& beginMarker, const std::string& endMarker,
                          std::string& pem) {
  const std::string_view begin = Trim(beginMarker);
  return Standardize(begin, Trim(endMarker), begin, LeftTrim(endMarker), pem);
}

bool StandardizePemCsr(std::string& csr) {
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE REQUEST-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE REQUEST-----";
  constexpr std::string_view kEndOut = "-----END CERTIFICATE REQUEST-----\n";
  if (Standardize(kBegin, kEnd, kBegin, kEndOut, csr)) {
    return true;
  }
  return Standardize("-----BEGIN NEW CERTIFICATE REQUEST-----",
                     "-----END NEW CERTIFICATE REQUEST-----", kBegin, kEndOut, csr);
}

}  // namespace Brask::Common::SslUtils
