// The attestation token handler on arbitrary bearer texts, with a fixed key (the seeds are
// tokens signed by its private key: good, expired, without expiry, HS256 keyed with the public
// key text, unsigned). Every call answers once; accepted data carries the token as received; and
// asking again (now possibly from the verification cache) gives the same kind of answer.
#include "authn/kms_auth_token_handler.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kPublicKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAvJ8vokaOtzf1wYzePaMZ\n"
    "HZP0AIHLg7ga6KyUQ8qVTXv0q2UimYVE7wBYt0Er1I/pn/ZxPrskTTJJRI/JbUUP\n"
    "OI2qqnFS2vgQXBElu44SrMTUA4oJJVRqtqakbCEaPd7+OL3wfDb4HXoqhR73PZZI\n"
    "O6YO1suRq977vOB0msQ5MKiJ5gUqtBe+HxzZ0tisJltroGmcpmyhixhhUJnHvAQj\n"
    "rDqAjMlKw8f2UzuTGQ4dLuPYD4zaLWq+Ju4ny2zj8ksQ8VfcOpi/HRycvUGtm0NV\n"
    "pzdyh4kgpYsR9+R8vx+I8iE8i8F0MSEt8j1C7Ap4jEmMW6tcaYoGXw22CFsG4MMo\n"
    "BwIDAQAB\n"
    "-----END PUBLIC KEY-----\n";

Zyld::Authn::KmsAuthTokenHandler& Handler() {
  static Zyld::Authn::KmsAuthTokenHandler handler(nullptr, [] {
    Zyld::Authn::KmsAuthTokenHandler::Options options;
    options.loadKey = [](std::string& key) {
      key = kPublicKey;
      return true;
    };
    options.now = [] { return uint64_t{2'000'000'000} * 1'000'000; };
    options.cache.capacity = 64;
    return options;
  }());
  return handler;
}

int Kind(const Ovik::Authn::AuthnAnswer& answer) {
  return answer.IsNone() ? 0 : answer.IsData() ? 1 : 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string token(reinterpret_cast<const char*>(data), size);
  const auto first = Handler().Check(token);
  if (first.IsData()) {
    const auto* access = first.GetData().as_object().if_contains("accessToken");
    if (access == nullptr || !access->is_string() || access->get_string() != token) {
      std::abort();
    }
  }
  if (Kind(Handler().Check(token)) != Kind(first)) {
    std::abort();
  }
  return 0;
}
