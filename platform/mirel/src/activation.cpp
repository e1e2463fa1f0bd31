// The current call of a thread.
#include <mirel/activation.h>

#include <mirel/authn.h>

namespace Mirel {

namespace {
thread_local const CallContext* tCurrent = nullptr;
}  // namespace

const CallContext* CurrentCall() { return tCurrent; }

Caller CurrentCaller() {
  Caller caller;
  if (tCurrent == nullptr) {
    return caller;
  }
  if (auto subject = Authn::SubjectOf(tCurrent->authData)) {
    caller.user = std::string(*subject);
  }
  const auto* object = tCurrent->authData && tCurrent->authData->is_object()
                           ? &tCurrent->authData->get_object()
                           : nullptr;
  const auto* list = object != nullptr ? object->if_contains(Authn::kEntitlementsKey) : nullptr;
  if (list != nullptr && list->is_array()) {
    for (const auto& entry : list->get_array()) {
      if (entry.is_string()) {
        caller.entitlements.emplace_back(entry.get_string());
      }
    }
  }
  return caller;
}

CallActivation::CallActivation(const CallContext* ctx) : previous_(tCurrent) { tCurrent = ctx; }

CallActivation::~CallActivation() { tCurrent = previous_; }

}  // namespace Mirel
