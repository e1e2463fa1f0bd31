// JSON form of configuration objects: the stored body of one object, the object as shown by the
// tool, and the export/import text. Everything read here is bounded and validated; what is
// encoded is checked so that it can always be decoded again. Internal to the store.
#pragma once

#include <configstore/exception.h>
#include <configstore/object.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace OvikConfigStore::Codec {

inline constexpr size_t kMaxTextSize = 16u * 1024u * 1024u;
inline constexpr size_t kMaxNameLength = 4096;
inline constexpr int kMaxSubObjectDepth = 16;
inline constexpr size_t kMaxErrors = 64;
inline constexpr const char* kExportFormat = "ovik-configstore-export";
inline constexpr int64_t kExportVersion = 1;

using Objects = std::vector<std::shared_ptr<ConfigStoreObject>>;

// {"values":{...},"subObjects":[...]}; throws ConfigStoreException naming the object when it
// holds something that cannot be stored (empty or oversized names, invalid UTF-8, too deep).
std::string EncodeBody(const ConfigStoreObject& obj);

// Rebuilds an object from its stored body; throws ConfigStoreException when it is malformed.
std::shared_ptr<ConfigStoreObject> DecodeBody(const ConfigStoreObjectId& id, std::string_view body);

// One top-level object with its identifier members, compact canonical JSON.
std::string ObjectText(const ConfigStoreObject& obj);

// The export text of the objects of one selection (key, group, component).
std::string ExportText(const ConfigStoreObjectId& selection, const Objects& objects);

struct ImportSet {
  ConfigStoreObjectId selection;
  Objects objects;
};

// Parses and validates a whole export text; on any problem returns nothing and appends to errors.
std::optional<ImportSet> ParseImport(std::string_view text, std::vector<ErrorInfo>& errors);

bool IsValidUtf8(std::string_view s);

}  // namespace OvikConfigStore::Codec
