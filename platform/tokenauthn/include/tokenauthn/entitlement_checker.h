// The entitlement check of the authorisation stage: a call is authorised when the entitlements
// of its authentication data ("entitlements": [strings]) hold one that the authorisation
// information grants for the operation.
#pragma once

#include <mirel/authz.h>
#include <mirel/log.h>

#include <memory>

namespace OvikToken::Authz {

class JwtEntitlementCheckerImpl final : public Mirel::Authz::EntitlementChecker {
 public:
  explicit JwtEntitlementCheckerImpl(std::shared_ptr<Mirel::Log::Logger> logger = nullptr);
  bool IsAuthorized(const boost::json::value& authData,
                    const Mirel::Authz::OperationGrants& grants) const override;

 private:
  std::shared_ptr<Mirel::Log::Logger> logger_;
};

}  // namespace OvikToken::Authz
