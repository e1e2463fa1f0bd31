// The call a service operation is serving. The innermost stage makes the call's context current
// on its thread while the bound operation runs synchronously; a service reads it there and copies
// what it keeps (the context is not current on another thread, nor after the operation returned).
#pragma once

#include <mirel/provider.h>

#include <string>
#include <vector>

namespace Mirel {

// Who is calling, from the authentication data ("username", "entitlements").
struct Caller {
  std::string user;                       // empty when the call is not authenticated
  std::vector<std::string> entitlements;  // the string members of "entitlements"
};

// The context of the call being served on this thread; null outside an operation.
const CallContext* CurrentCall();
// The current call's caller; empty outside an operation or without authentication data.
Caller CurrentCaller();

// Makes ctx current on this thread for its lifetime (restoring the previous one after).
class CallActivation {
 public:
  explicit CallActivation(const CallContext* ctx);
  ~CallActivation();
  CallActivation(const CallActivation&) = delete;
  CallActivation& operator=(const CallActivation&) = delete;

 private:
  const CallContext* previous_;
};

}  // namespace Mirel
