// The administration token handler on arbitrary bearer texts, with a fixed certificate and clock
// (the seeds are tokens signed by its private key: good, expired, not yet valid, without subject
// or entitlements, HS256 keyed with the certificate's public key). Every call answers once;
// accepted data names a subject and a text list of entitlements; and asking again (now possibly
// from a verification cache) gives the same kind of answer.
#include <tokenauthn/token_handler.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr const char* kCertificate =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIDAzCCAeugAwIBAgIUaXHmE5GVm3mjZJLFYLiy7yMURs4wDQYJKoZIhvcNAQEL\n"
    "BQAwEDEOMAwGA1UEAwwFYWRtaW4wIBcNMjYxMjA2MTgyMDI5WhgPMjEyNjExMTIx\n"
    "ODIwMjlaMBAxDjAMBgNVBAMMBWFkbWluMIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8A\n"
    "MIIBCgKCAQEArFtF/Sv3XJ3ztTW0OKxUQqfsXLVvsqxsmScxmjwQ47wVlK0rlfTa\n"
    "TqGDB16upADOw96oxsM5UH9BEENkSxjeEFbtkB46INoEoOhauk4aPEM2dVHsAtZD\n"
    "Gb9ilsHpC9J0YOOWeXHsrBaRga872pN2KTszgxp3IDbqfOit2yxLfkY1wpJ3w5rc\n"
    "fO1ufV/EWTU99VstiFGse6vMxX1VVHkL3AgCnV9iGNMsjF55RO5HbCvt8UA2SExH\n"
    "2g13pQWwrYRymYHQLV7O1hyUdnqPBb2jp+jtPuu1+W750TdDpbgWPih28XTLYfbc\n"
    "Aq8oXwcc8IM+MN9VCottMx9z0TB4yxBzQwIDAQABo1MwUTAdBgNVHQ4EFgQUgNGS\n"
    "Q6JMt6S+FxtLd6auiBQ6wyUwHwYDVR0jBBgwFoAUgNGSQ6JMt6S+FxtLd6auiBQ6\n"
    "wyUwDwYDVR0TAQH/BAUwAwEB/zANBgkqhkiG9w0BAQsFAAOCAQEAUkJnkmRd+48h\n"
    "dF3RRAlMzO/jf1WeYW/4bJczvC0tCFaLGnOSMEdxAyeJeVvfJ7NkZ53WNIvKpTli\n"
    "OMAj/jZW4DLpBm8uuty1u/OquMLxCc6wzDaJjfwJidsmfrl4IbmDflqU1PCzLcWT\n"
    "zffv9qGOK8+wq5C6jsrw4wcla+ZdnNwxt+av8i1huA9JzFe8ijTuY3LpdcM+DuIS\n"
    "ouIb4w/1a8zrRsbX9n3HdXb3FD+k+PdIe00sqidOPTnEZ7j90a3q8c3j+alEZyKH\n"
    "g5OKWA32Q0iuHxUC6X+1SIa8tpKAxrIIYnj1rW6+vnQKJj3445MsWiS9WkVyR5Ep\n"
    "1WRs0qOjGg==\n"
    "-----END CERTIFICATE-----\n";

constexpr int64_t kNow = 2'000'000'000;  // seconds; the seeds' exp and nbf are around it
constexpr size_t kCacheCapacity = 64;

const Ovik::Authn::HostTokenHandler& Handler() {
  static const Ovik::Authn::HostTokenHandler handler(
      [] {
        static const auto text = std::make_shared<const std::string>(kCertificate);
        return text;
      },
      nullptr,
      [] {
        Ovik::Authn::HostTokenHandler::Options options;
        options.now = [] { return kNow; };
        options.accepted.capacity = kCacheCapacity;
        options.foreign.capacity = kCacheCapacity;
        return options;
      }());
  return handler;
}

int Kind(const Ovik::Authn::AuthnAnswer& answer) {
  return answer.IsNone() ? 0 : answer.IsData() ? 1 : 2;
}

bool WellFormedData(const boost::json::value& data) {
  const auto* object = data.if_object();
  const auto* subject = object ? object->if_contains(Mirel::Authn::kSubjectKey) : nullptr;
  const auto* grants = object ? object->if_contains(Ovik::Authn::ENTITLEMENTS_GRANTS) : nullptr;
  if (subject == nullptr || !subject->is_string() || subject->get_string().empty() ||
      grants == nullptr || !grants->is_array()) {
    return false;
  }
  for (const auto& grant : grants->get_array()) {
    if (!grant.is_string()) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string token(reinterpret_cast<const char*>(data), size);
  const auto first = Handler().Check(token);
  if (first.IsData() && !WellFormedData(first.GetData())) {
    std::abort();
  }
  if (Kind(Handler().Check(token)) != Kind(first)) {
    std::abort();
  }
  return 0;
}
