// The daemon's message catalogue: every identifier under "com.velora.ovik.kms." that an operation
// can raise, with its English template. ResolveMessage is the lookup handed to the localizer; it
// ignores the locale (every locale gets the English text) and treats an unknown identifier as a
// programming error.
#pragma once

#include <mirel/messages.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Zyld::ZylApi {

// The template of a catalogue identifier; panics on an identifier outside the catalogue.
const std::string& ResolveMessage(std::string_view id);

// True when the identifier is in the catalogue (for callers that must not panic, e.g. tests).
bool IsCatalogued(std::string_view id);

// Number of entries, and the identifier of entry i (0-based, catalogue order).
size_t CatalogueSize();
std::string_view CatalogueId(size_t index);

// The daemon's localizer: default locale "en_US", ResolveMessage as the lookup.
std::shared_ptr<const Mirel::L10n::Localizer> MakeLocalizer();

}  // namespace Zyld::ZylApi
