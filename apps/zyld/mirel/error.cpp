#include "error.h"

#include "messageResolver.h"

#include <harlibs/log.h>

#include <utility>

namespace Zyld::ZylApi {
namespace {

constexpr std::string_view kPrefix = "com.velora.ovik.kms.";
constexpr std::string_view kErrorTypes = "com.velora.mirel.std.errors.";

Mirel::ErrorValue Make(std::string_view type, Messages messages) {
  return Mirel::ErrorValue{std::string(kErrorTypes) + std::string(type), std::move(messages)};
}

}  // namespace

std::string ErrorIdForResult(uint32_t result, std::string_view operation) {
  const auto id = [](std::string_view tail) { return std::string(kPrefix) + std::string(tail); };
  switch (result) {
    case 0:
      NOT_REACHED();
    case 1:
      return id("master_key_not_found");
    case 2:
      return id("master_key_pre_active");
    case 3:
      return id("master_key_unusable_for_encryption");
    case 4:
      return id("master_key_unusable");
    case 5:
      return id("master_key_length_unsupported");
    case 6:
    case 7:
    case 8:
    case 15:
    case 16:
      return id(std::string(operation) + ".error");
    case 9:
      return id("key_server_timeout");
    case 10:
      return id("key_server_communication_error");
    case 11:
      return id("cert_format_unknown");
    case 12:
      return id("server_cert_not_required");
    case 13:
      return id("no_versions_found");
    case 14:
      return id("no_supported_versions");
    default:
      return {};
  }
}

Mirel::Message MakeMessage(std::string id, std::map<std::string, std::string> args) {
  Mirel::Message message{std::move(id), {}, std::move(args)};
  if (message.id.starts_with(kPrefix)) {
    message.defaultMessage = ResolveMessage(message.id);
  }
  return message;
}

Mirel::ErrorValue MakeError(Messages messages) { return Make("error", std::move(messages)); }

Mirel::ErrorValue MakeNotFoundError(Messages messages) {
  return Make("not_found", std::move(messages));
}

Mirel::ErrorValue MakeInvalidArgumentError(Messages messages) {
  return Make("invalid_argument", std::move(messages));
}

Mirel::ErrorValue MakeUnauthenticatedError(Messages messages) {
  return Make("unauthenticated", std::move(messages));
}

Mirel::ErrorValue MakeUnsupportedError(Messages messages) {
  return Make("unsupported", std::move(messages));
}

Mirel::ErrorValue MakeProviderError(int kind, Messages messages) {
  switch (kind) {
    case 1:
      return Make("already_exists", std::move(messages));
    case 3:
      return MakeNotFoundError(std::move(messages));
    default:
      return MakeError({MakeMessage("com.velora.ovik.kms.providers.config_store_error")});
  }
}

}  // namespace Zyld::ZylApi
