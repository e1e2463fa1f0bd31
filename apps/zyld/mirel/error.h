// Error values of the daemon's services: the identifier of each key-server result code, and the
// builders that turn catalogue messages into the framework's standard error values.
#pragma once

#include <mirel/provider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Zyld::ZylApi {

using Messages = std::vector<Mirel::Message>;

// Identifier of a failed key-server result for an operation name such as
// "keyoperationsvc.generatekey"; empty for codes outside the table. Code 0 is a programming error.
std::string ErrorIdForResult(uint32_t result, std::string_view operation);

// A message of the catalogue with its named arguments (the template is filled in on rendering).
Mirel::Message MakeMessage(std::string id, std::map<std::string, std::string> args = {});

Mirel::ErrorValue MakeError(Messages messages);
Mirel::ErrorValue MakeNotFoundError(Messages messages);
Mirel::ErrorValue MakeInvalidArgumentError(Messages messages);
Mirel::ErrorValue MakeUnauthenticatedError(Messages messages);
Mirel::ErrorValue MakeUnsupportedError(Messages messages);

// Store failures of the providers' persistence: kind 1 → AlreadyExists and kind 3 → NotFound with
// the given messages; any other kind → Error with the single "config_store_error" message.
Mirel::ErrorValue MakeProviderError(int kind, Messages messages);

}  // namespace Zyld::ZylApi
