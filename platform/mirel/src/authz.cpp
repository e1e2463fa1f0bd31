#include <mirel/authn.h>
#include <mirel/authz.h>
#include <mirel/errors.h>

#include <boost/json/parse.hpp>

#include <iterator>

namespace Mirel::Authz {
namespace {

constexpr size_t kMaxAuthzMetadataBytes = 4 * 1024 * 1024;

std::vector<std::string> Prefixed(const char* prefix, std::initializer_list<const char*> names) {
  std::vector<std::string> out;
  for (const char* name : names) {
    out.push_back(std::string(prefix) + name);
  }
  return out;
}

std::vector<std::string> BuildNoAuthenticationOperations() {
  std::vector<std::string> all;
  const auto append = [&all](std::vector<std::string> part) {
    all.insert(all.end(), std::make_move_iterator(part.begin()),
               std::make_move_iterator(part.end()));
  };
  append(Prefixed("com.velora.mirel.metadata.cli.",
                  {"command.list", "command.get", "command.fingerprint", "namespace.list",
                   "namespace.get", "namespace.fingerprint"}));
  append(Prefixed(
      "com.velora.mirel.metadata.authentication.",
      {"component.list", "component.get", "component.fingerprint", "service.operation.list",
       "service.operation.get", "package.list", "package.get", "service.list", "service.get"}));
  append(Prefixed(
      "com.velora.mirel.metadata.metamodel.",
      {"component.list", "component.get", "component.fingerprint", "enumeration.list",
       "enumeration.get", "resource.model.list", "service.operation.list", "service.operation.get",
       "service.hidden.list", "package.list", "package.get", "resource.list", "service.list",
       "service.get", "structure.list", "structure.get"}));
  append(
      Prefixed("com.velora.mirel.std.introspection.",
               {"operation.list", "operation.get", "provider.get", "service.list", "service.get"}));
  return all;
}

void Report(Log::Logger* logger, std::vector<Message>* errors, const std::string& text) {
  if (logger != nullptr) {
    MIREL_LOG(logger, Log::kError) << "Authorization metadata: " << text;
  }
  if (errors != nullptr) {
    errors->push_back(Message{"com.velora.mirel.authz.load_error", text, {}});
  }
}

}  // namespace

void AuthzInfo::Grant(std::string_view operation, std::string_view grant) {
  const size_t dot = operation.rfind('.');
  if (dot == std::string_view::npos) {
    return;
  }
  auto serviceIt = services_.find(operation.substr(0, dot));
  if (serviceIt == services_.end()) {
    serviceIt = services_.emplace(std::string(operation.substr(0, dot)), Operations{}).first;
  }
  auto& grants = serviceIt->second[std::string(operation.substr(dot + 1))];
  if (grant == kNoAuthenticationScheme) {
    grants.noAuthentication = true;
    return;
  }
  for (const auto& entitlement : grants.entitlements) {
    if (entitlement == grant) {
      return;
    }
  }
  grants.entitlements.emplace_back(grant);
}

const OperationGrants* AuthzInfo::Find(std::string_view serviceId,
                                       std::string_view operationId) const {
  const auto serviceIt = services_.find(serviceId);
  if (serviceIt == services_.end()) {
    return nullptr;
  }
  const auto it = serviceIt->second.find(operationId);
  return it == serviceIt->second.end() ? nullptr : &it->second;
}

const std::vector<std::string>& NoAuthenticationOperations() {
  static const std::vector<std::string> operations = BuildNoAuthenticationOperations();
  return operations;
}

AuthzInfo CreateDefaultAuthzInfo() {
  AuthzInfo info;
  for (const auto& operation : NoAuthenticationOperations()) {
    info.Grant(operation, kNoAuthenticationScheme);
  }
  return info;
}

Har::Status LoadAuthzInfoMetadata::LoadSection(const boost::json::value& section, AuthzInfo& info) {
  const auto fail = [](const char* text) { return Har::Status::Error(text); };
  const auto* object = section.if_object();
  const auto* entitlements = object != nullptr ? object->if_contains("entitlements") : nullptr;
  if (entitlements == nullptr || !entitlements->is_object()) {
    return fail("no \"entitlements\" object");
  }
  for (const auto& [name, operations] : entitlements->get_object()) {
    if (!operations.is_array()) {
      return fail("an entitlement's operations are not an array");
    }
    for (const auto& operation : operations.get_array()) {
      if (!operation.is_string()) {
        return fail("an operation is not a string");
      }
      const auto& text = operation.get_string();
      info.Grant(std::string_view(text.data(), text.size()), std::string_view(name));
    }
  }
  return Har::Status::Ok();
}

bool LoadAuthzInfoMetadata::Load(std::istream& in, AuthzInfo& info, Log::Logger* logger,
                                 std::vector<Message>* errors) {
  std::string text;
  char buffer[8192];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxAuthzMetadataBytes) {
      Report(logger, errors, "the metadata is too large");
      return false;
    }
  }
  boost::system::error_code ec;
  const boost::json::value document = boost::json::parse(text, ec);
  if (ec) {
    Report(logger, errors, "not JSON: " + ec.message());
    return false;
  }
  const boost::json::value* section = &document;
  if (const auto* object = document.if_object()) {
    if (const auto* inner = object->if_contains("authorization")) {
      section = inner;
    }
  }
  if (const Har::Status loaded = LoadSection(*section, info); !loaded) {
    Report(logger, errors, loaded.message());
    return false;
  }
  return true;
}

AsyncAuthzFilter::AsyncAuthzFilter(ApiProviderPtr inner, std::shared_ptr<const AuthzInfo> info,
                                   std::shared_ptr<const EntitlementChecker> checker,
                                   std::shared_ptr<Log::Logger> logger)
    : inner_(std::move(inner)),
      info_(std::move(info)),
      checker_(std::move(checker)),
      logger_(std::move(logger)) {}

void AsyncAuthzFilter::Invoke(std::shared_ptr<CallContext> ctx, ApiRequest request,
                              CompletionCallback done) {
  const OperationGrants* grants = info_->Find(request.serviceId, request.operationId);
  if (grants != nullptr && grants->noAuthentication) {
    inner_->Invoke(std::move(ctx), std::move(request), std::move(done));
    return;
  }
  if (!ctx->authData.has_value() || ctx->authData->is_null()) {
    done(MethodResult::Error(UnauthenticatedError()));
    return;
  }
  if (grants == nullptr || !checker_->IsAuthorized(*ctx->authData, *grants)) {
    if (logger_) {
      const auto subject = Authn::SubjectOf(ctx->authData);
      MIREL_LOG(logger_, Log::kWarning)
          << "Caller '" << subject.value_or("") << "' is not authorized to call "
          << request.serviceId << "." << request.operationId;
    }
    done(MethodResult::Error(UnauthorizedError(request.serviceId, request.operationId)));
    return;
  }
  inner_->Invoke(std::move(ctx), std::move(request), std::move(done));
}

}  // namespace Mirel::Authz
