// Authorisation stage of the call pipeline and the authorisation information it decides with.
//
// AuthzInfo maps each operation ("service.operation") to its grants: the no-authentication scheme
// and/or entitlements. AsyncAuthzFilter passes a call to a no-authentication operation; a call
// without authentication data to any other operation is answered unauthenticated; an authenticated
// call is passed when the EntitlementChecker finds one of the operation's entitlements in its
// authentication data, else answered unauthorized (also for an operation without any grant).
//
// The authorisation section of the metadata file is {"entitlements": {name: [operations]}}.
#pragma once

#include <harlibs/status.h>
#include <mirel/log.h>
#include <mirel/messages.h>
#include <mirel/provider.h>

#include <boost/json/value.hpp>

#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Mirel::Authz {

inline constexpr std::string_view kNoAuthenticationScheme =
    "com.velora.mirel.std.security.no_authentication";

struct OperationGrants {
  bool noAuthentication = false;
  std::vector<std::string> entitlements;
};

class AuthzInfo {
 public:
  // `grant` is kNoAuthenticationScheme or an entitlement; `operation` is "service.operation".
  void Grant(std::string_view operation, std::string_view grant);
  const OperationGrants* Find(std::string_view serviceId, std::string_view operationId) const;

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  using Operations = std::unordered_map<std::string, OperationGrants, Hash, std::equal_to<>>;
  std::unordered_map<std::string, Operations, Hash, std::equal_to<>> services_;
};

// The metadata and introspection operations that need no authentication (36 of them).
const std::vector<std::string>& NoAuthenticationOperations();
// Authorisation information holding the no-authentication grants.
AuthzInfo CreateDefaultAuthzInfo();

struct LoadAuthzInfoMetadata {
  // Adds the grants of an authorisation section (the whole metadata file, or the section alone)
  // read from `in`. On failure returns false and appends a message to `errors` when given.
  static bool Load(std::istream& in, AuthzInfo& info, Log::Logger* logger,
                   std::vector<Message>* errors);
  // The grants of an authorisation section alone.
  static Har::Status LoadSection(const boost::json::value& section, AuthzInfo& info);
};

class EntitlementChecker {
 public:
  virtual ~EntitlementChecker() = default;
  virtual bool IsAuthorized(const boost::json::value& authData,
                            const OperationGrants& grants) const = 0;
};

class AsyncAuthzFilter final : public ApiProvider {
 public:
  AsyncAuthzFilter(ApiProviderPtr inner, std::shared_ptr<const AuthzInfo> info,
                   std::shared_ptr<const EntitlementChecker> checker,
                   std::shared_ptr<Log::Logger> logger = nullptr);
  void Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
              CompletionCallback done) override;

 private:
  ApiProviderPtr inner_;
  std::shared_ptr<const AuthzInfo> info_;
  std::shared_ptr<const EntitlementChecker> checker_;
  std::shared_ptr<Log::Logger> logger_;
};

}  // namespace Mirel::Authz
