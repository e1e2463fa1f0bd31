// Owning pointers for what libjwt hands out: a decoded or new token (freed with jwt_free) and a
// text it allocated (a claim's JSON, an encoded token; freed with free). A text that carries a
// secret (an encoded token) is wiped by its user before the pointer releases it.
#pragma once

#include <jwt.h>

#include <cstdlib>
#include <memory>

namespace Ovik::Authn {

struct JwtFree {
  void operator()(jwt_t* jwt) const { jwt_free(jwt); }
};
struct JwtTextFree {
  void operator()(char* text) const { std::free(text); }
};

using JwtPtr = std::unique_ptr<jwt_t, JwtFree>;
using JwtTextPtr = std::unique_ptr<char, JwtTextFree>;

}  // namespace Ovik::Authn
