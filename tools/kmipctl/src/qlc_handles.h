// Owning handles for the qlkmipsimple C interface: each releases its object with the library's
// matching function (results, sessions, value copies, server credentials).
#pragma once

#include <qlkmipsimple.h>

#include <memory>

namespace Kmipctl {

struct ResultRelease {
  void operator()(qlc_result* result) const { qlc_release(result); }
};
struct SessionClose {
  void operator()(qlc_session* session) const { qlc_disconnect_key_manager(session); }
};
struct ValueFree {
  void operator()(void* pointer) const { qlc_free(pointer); }
};
struct CredentialsFree {
  void operator()(qlc_credentials* credentials) const { qlc_free_credentials(credentials); }
};

using ResultHandle = std::unique_ptr<qlc_result, ResultRelease>;
using SessionHandle = std::unique_ptr<qlc_session, SessionClose>;
template <typename T>
using ValueHandle = std::unique_ptr<T, ValueFree>;
using CredentialsHandle = std::unique_ptr<qlc_credentials, CredentialsFree>;

}  // namespace Kmipctl
