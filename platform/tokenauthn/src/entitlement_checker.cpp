#include <tokenauthn/entitlement_checker.h>
#include <tokenauthn/token_handler.h>

#include <boost/json/serialize.hpp>

namespace OvikToken::Authz {

JwtEntitlementCheckerImpl::JwtEntitlementCheckerImpl(std::shared_ptr<Mirel::Log::Logger> logger)
    : logger_(std::move(logger)) {}

bool JwtEntitlementCheckerImpl::IsAuthorized(const boost::json::value& authData,
                                             const Mirel::Authz::OperationGrants& grants) const {
  const auto* object = authData.if_object();
  const auto* held =
      object != nullptr ? object->if_contains(Ovik::Authn::ENTITLEMENTS_GRANTS) : nullptr;
  if (held == nullptr || !held->is_array()) {
    return false;
  }
  for (const auto& entitlement : held->get_array()) {
    const auto* text = entitlement.if_string();
    if (text == nullptr) {
      continue;
    }
    for (const auto& granted : grants.entitlements) {
      if (*text == granted) {
        return true;
      }
    }
  }
  if (logger_) {
    MIREL_LOG(logger_, Mirel::Log::kDebug) << "No granted entitlement among " << *held;
  }
  return false;
}

}  // namespace OvikToken::Authz
