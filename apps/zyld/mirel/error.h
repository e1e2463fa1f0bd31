// Error values of the daemon's services. ErrorIdForResult names the catalogue identifier of a
// failed key-server result; MakeMessage builds a catalogue message with its named arguments (its
// text is rendered later by the localizer); the Make*Error builders wrap messages into the
// framework's standard errors (Com::Velora::Mirel::Std::Errors) and adapt them into the error
// value that a result callback takes.
#pragma once

#include <mirel/errors.h>
#include <mirel/messages.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Zyld::ZylApi {

using Messages = std::vector<Mirel::Message>;

// Operation names of the generic result identifiers ("com.velora.ovik.kms." + name + ".error").
inline constexpr std::string_view kGenerateKeyOperation = "keyoperationsvc.generatekey";
inline constexpr std::string_view kDecryptOperation = "keyoperationsvc.decrypt";
inline constexpr std::string_view kRemoteCertificateListOperation =
    "providers.server_certificates.remotesvc.list";

// Identifier of a failed key-server result for an operation name such as
// "keyoperationsvc.generatekey"; empty for codes outside the table. Code 0 (success) has no
// identifier: asking for it is a programming error and panics.
std::string ErrorIdForResult(uint32_t result, std::string_view operation);

// A catalogue message: identifier, empty default text, named arguments.
Mirel::Message MakeMessage(std::string id, const std::map<std::string, std::string>& args = {});

Mirel::ErrorValue MakeError(Messages messages);
Mirel::ErrorValue MakeNotFoundError(Messages messages);
Mirel::ErrorValue MakeInvalidArgumentError(Messages messages);
Mirel::ErrorValue MakeAlreadyExistsError(Messages messages);
Mirel::ErrorValue MakeUnauthenticatedError(Messages messages);
Mirel::ErrorValue MakeUnsupportedError(Messages messages);

// Store failures of the providers' persistence: kind 1 → AlreadyExists and kind 3 → NotFound with
// the given messages; any other kind → Error with the single "config_store_error" message.
Mirel::ErrorValue MakeProviderError(int kind, Messages messages);

// InvalidArgument with the "providers.invalid_argument" message naming the parameter.
Mirel::ErrorValue MakeProviderArgumentError(std::string_view parameter);
// The error of a store call about one provider: kind 1 → AlreadyExists and kind 3 → NotFound,
// each with its "providers." message naming the provider; other kinds as MakeProviderError.
Mirel::ErrorValue MakeProviderStoreError(int kind, const std::string& provider);
// Error with the "invalid_config_value" message: a stored value named `parameter` is unusable.
Mirel::ErrorValue MakeInvalidConfigValueError(std::string_view parameter);

}  // namespace Zyld::ZylApi
