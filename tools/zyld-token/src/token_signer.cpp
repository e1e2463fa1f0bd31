#include "token_signer.h"

#include <harlibs/openssl_ptr.h>
#include <tokenauthn/jwt_ptr.h>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <jwt.h>
#include <openssl/pem.h>

#include <cstring>
#include <limits>
#include <string_view>

namespace ZyldToken {
namespace {

// Refuses every pass phrase request: the tool never prompts.
int NoPassphrase(char*, int, int, void*) { return 0; }

// The algorithm a PEM private key signs with, or JWT_ALG_INVAL.
jwt_alg_t KeyAlgorithm(const Har::Secret& key) {
  Har::BioPtr bio(BIO_new_mem_buf(key.data(), static_cast<int>(key.size())));
  Har::PkeyPtr pkey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr)
                        : nullptr);
  if (!pkey) {
    return JWT_ALG_INVAL;
  }
  if (EVP_PKEY_get_base_id(pkey.get()) == EVP_PKEY_RSA) {
    return JWT_ALG_RS256;
  }
  char group[64] = {};
  if (EVP_PKEY_get_base_id(pkey.get()) == EVP_PKEY_EC &&
      EVP_PKEY_get_group_name(pkey.get(), group, sizeof(group), nullptr) == 1 &&
      std::string(group) == "prime256v1") {
    return JWT_ALG_ES256;
  }
  return JWT_ALG_INVAL;
}

// A failure caused by the key: the message names the key's file.
Har::Status KeyError(const Options& options, const std::string& message) {
  return Har::Status::Error(KeyPath(options) + ": " + message);
}

Har::Status ResolveAlgorithm(const Options& options, const Har::Secret& key, jwt_alg_t& alg) {
  if (key.empty()) {
    return KeyError(options, "the key file is empty");
  }
  if (options.alg == Algorithm::HS256) {
    alg = JWT_ALG_HS256;
    return Har::Status::Ok();
  }
  alg = KeyAlgorithm(key);
  if (alg == JWT_ALG_INVAL) {
    return KeyError(options, "not an unencrypted PEM private key of RSA or EC P-256");
  }
  const bool matches = options.alg == Algorithm::FromKey ||
                       (options.alg == Algorithm::RS256 && alg == JWT_ALG_RS256) ||
                       (options.alg == Algorithm::ES256 && alg == JWT_ALG_ES256);
  if (!matches) {
    return KeyError(options, std::string("the key signs ") +
                                 (alg == JWT_ALG_RS256 ? "RS256" : "ES256") +
                                 ", not the requested algorithm");
  }
  return Har::Status::Ok();
}

Har::Status BuildClaims(const Options& options, int64_t now, boost::json::object& claims) {
  if (options.iss) claims["iss"] = *options.iss;
  if (options.aud) claims["aud"] = *options.aud;
  if (options.sub) claims["sub"] = *options.sub;
  claims["iat"] = now;
  if (options.expiry == Expiry::Ttl) {
    if (options.ttlSeconds > std::numeric_limits<int64_t>::max() - now) {
      return Har::Status::Error("--ttl too large");
    }
    claims["exp"] = now + options.ttlSeconds;
  } else if (options.expiry == Expiry::At) {
    claims["exp"] = options.expAt;
  }
  if (!options.entitlements.empty()) {
    boost::json::array list;
    for (const auto& e : options.entitlements) list.emplace_back(e);
    claims["entitlements"] = std::move(list);
  }
  for (const auto& [name, value] : options.claims) claims[name] = value;
  return Har::Status::Ok();
}

}  // namespace

const std::string& KeyPath(const Options& options) {
  return options.alg == Algorithm::HS256 ? options.secretFile : options.keyFile;
}

Har::Status SignToken(const Options& options, const Har::Secret& key, int64_t now,
                      Har::Secret& token) {
  jwt_alg_t alg = JWT_ALG_NONE;
  if (Har::Status resolved = ResolveAlgorithm(options, key, alg); !resolved) {
    return resolved;
  }
  boost::json::object claims;
  if (Har::Status built = BuildClaims(options, now, claims); !built) {
    return built;
  }
  jwt_t* raw = nullptr;
  if (jwt_new(&raw) != 0) {
    return Har::Status::Error("out of memory");
  }
  Ovik::Authn::JwtPtr jwt(raw);
  if (jwt_add_grants_json(jwt.get(), boost::json::serialize(claims).c_str()) != 0) {
    return Har::Status::Error("the claims were refused");
  }
  if (jwt_set_alg(jwt.get(), alg, key.bytes(), static_cast<int>(key.size())) != 0) {
    return KeyError(options, "the key was refused");
  }
  Ovik::Authn::JwtTextPtr text(jwt_encode_str(jwt.get()));
  if (!text) {
    return Har::Status::Error("signing failed");
  }
  const size_t length = std::strlen(text.get());
  Har::WipeGuard wipe(text.get(), length);
  token.assign(std::string_view(text.get(), length));
  return Har::Status::Ok();
}

}  // namespace ZyldToken
