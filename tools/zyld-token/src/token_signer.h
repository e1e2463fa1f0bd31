// Token signing of zyld-token: builds the claims of Options into a JWT and signs it with libjwt.
//
// The key is a PEM private key for RS256 / ES256 (its type picks the algorithm when Options.alg is
// FromKey: RSA gives RS256, EC on P-256 gives ES256) or the raw secret for HS256. Claims: "iss",
// "aud", "sub" when given, "iat" = now, "exp" per Options.expiry, "entitlements" (a text list)
// when any, and the extra text claims. SignToken gives the token, or an error whose message starts
// with KeyPath(options) when the key is at fault; it never prompts for a pass phrase (an encrypted
// key is the key's fault).
#pragma once

#include "token_options.h"

#include <harlibs/secure.h>
#include <harlibs/status.h>

#include <cstdint>
#include <string>

namespace ZyldToken {

// The file the key is read from: the secret file for HS256, else the private key file.
const std::string& KeyPath(const Options& options);

Har::Status SignToken(const Options& options, const Har::Secret& key, int64_t now,
                      Har::Secret& token);

}  // namespace ZyldToken
