#include "mirel/error.h"

#include <harlibs/log.h>

#include <utility>

namespace Zyld::ZylApi {
namespace {

namespace StdErrors = Com::Velora::Mirel::Std::Errors;

constexpr std::string_view kPrefix = "com.velora.ovik.kms.";

template <class StdError>
Mirel::ErrorValue Make(Messages messages) {
  return Mirel::Data::NativeToValueAdapter::Adapt(StdError{std::move(messages)});
}

std::string Id(std::string_view tail) {
  std::string id(kPrefix);
  id.append(tail);
  return id;
}

}  // namespace

std::string ErrorIdForResult(uint32_t result, std::string_view operation) {
  switch (result) {
    case 0:
      NOT_REACHED();
    case 1:
      return Id("master_key_not_found");
    case 2:
      return Id("master_key_pre_active");
    case 3:
      return Id("master_key_unusable_for_encryption");
    case 4:
      return Id("master_key_unusable");
    case 5:
      return Id("master_key_length_unsupported");
    case 6:
    case 7:
    case 8:
    case 15:
    case 16:
      return Id(std::string(operation) + ".error");
    case 9:
      return Id("key_server_timeout");
    case 10:
      return Id("key_server_communication_error");
    case 11:
      return Id("cert_format_unknown");
    case 12:
      return Id("server_cert_not_required");
    case 13:
      return Id("no_versions_found");
    case 14:
      return Id("no_supported_versions");
    default:
      return {};
  }
}

Mirel::Message MakeMessage(std::string id, const std::map<std::string, std::string>& args) {
  Mirel::NamedMessageBuilder builder(std::move(id), std::string());
  for (const auto& [name, value] : args) {
    builder.put(name, value);
  }
  return builder.build();
}

Mirel::ErrorValue MakeError(Messages messages) {
  return Make<StdErrors::Error>(std::move(messages));
}

Mirel::ErrorValue MakeNotFoundError(Messages messages) {
  return Make<StdErrors::NotFound>(std::move(messages));
}

Mirel::ErrorValue MakeInvalidArgumentError(Messages messages) {
  return Make<StdErrors::InvalidArgument>(std::move(messages));
}

Mirel::ErrorValue MakeAlreadyExistsError(Messages messages) {
  return Make<StdErrors::AlreadyExists>(std::move(messages));
}

Mirel::ErrorValue MakeUnauthenticatedError(Messages messages) {
  return Make<StdErrors::Unauthenticated>(std::move(messages));
}

Mirel::ErrorValue MakeUnsupportedError(Messages messages) {
  return Make<StdErrors::Unsupported>(std::move(messages));
}

Mirel::ErrorValue MakeProviderError(int kind, Messages messages) {
  switch (kind) {
    case 1:
      return MakeAlreadyExistsError(std::move(messages));
    case 3:
      return MakeNotFoundError(std::move(messages));
    default:
      return MakeError({MakeMessage(Id("providers.config_store_error"))});
  }
}

Mirel::ErrorValue MakeProviderArgumentError(std::string_view parameter) {
  return MakeInvalidArgumentError(
      {MakeMessage(Id("providers.invalid_argument"), {{"parameter", std::string(parameter)}})});
}

Mirel::ErrorValue MakeProviderStoreError(int kind, const std::string& provider) {
  constexpr int kAlreadyExists = 1;
  constexpr int kNotFound = 3;
  if (kind == kAlreadyExists) {
    return MakeAlreadyExistsError(
        {MakeMessage(Id("providers.already_exists"), {{"provider", provider}})});
  }
  if (kind == kNotFound) {
    return MakeNotFoundError({MakeMessage(Id("providers.not_found"), {{"provider", provider}})});
  }
  return MakeProviderError(kind, {});
}

Mirel::ErrorValue MakeInvalidConfigValueError(std::string_view parameter) {
  return MakeError(
      {MakeMessage(Id("invalid_config_value"), {{"parameter", std::string(parameter)}})});
}

}  // namespace Zyld::ZylApi
