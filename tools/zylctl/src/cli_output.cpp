#include "cli_output.h"

#include <harlibs/base64.h>
#include <harlibs/secure.h>

#include <boost/json/serialize.hpp>
#include <boost/json/serializer.hpp>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace Zylctl {
namespace {

constexpr std::string_view kErrorPrefix = "com.velora.mirel.std.errors.";
constexpr int kIndentStep = 2;
constexpr size_t kSerializeChunk = 4096;

struct ErrorExit {
  std::string_view type;
  Exit exit;
};
constexpr std::array kErrorExits{
    ErrorExit{"unauthenticated", Exit::kUnauthenticated},
    ErrorExit{"unauthorized", Exit::kUnauthorized},
    ErrorExit{"not_found", Exit::kNotFound},
    ErrorExit{"invalid_argument", Exit::kInvalidArgument},
};

std::string Scalar(const boost::json::value& v) {
  if (v.is_string()) return std::string(v.get_string());
  if (v.is_null()) return "-";
  return boost::json::serialize(v);
}

bool IsScalar(const boost::json::value& v) { return !v.is_object() && !v.is_array(); }

// A message record of the API: printed as its rendered text.
const boost::json::string* MessageText(const boost::json::value& v) {
  const auto* o = v.if_object();
  const auto* text = o ? o->if_contains("defaultMessage") : nullptr;
  return text ? text->if_string() : nullptr;
}

void PrintValue(std::FILE* out, const boost::json::value& v, int indent);

// One "key value" line (key is "name:" or "-"); a value of several lines (PEM) starts on the
// next line, kept as it is; a nested value follows indented.
void PrintLine(std::FILE* out, int indent, const std::string& key, const boost::json::value& v) {
  std::string line(static_cast<size_t>(indent), ' ');
  line += key;
  if (const auto* text = MessageText(v)) {
    line += (key.empty() ? "" : " ") + std::string(*text) + "\n";
  } else if (IsScalar(v)) {
    const std::string value = Scalar(v);
    const bool block = value.find('\n') != std::string::npos;
    line += (key.empty() || value.empty() ? "" : block ? "\n" : " ") + value;
    if (value.empty() || value.back() != '\n') line += '\n';
  } else {
    const bool empty = v.is_array() ? v.get_array().empty() : v.get_object().empty();
    line += empty ? " (none)\n" : "\n";
  }
  std::fputs(line.c_str(), out);
  if (!IsScalar(v) && MessageText(v) == nullptr) PrintValue(out, v, indent + kIndentStep);
}

void PrintValue(std::FILE* out, const boost::json::value& v, int indent) {
  if (const auto* o = v.if_object(); o && MessageText(v) == nullptr) {
    for (const auto& [key, member] : *o) PrintLine(out, indent, std::string(key) + ":", member);
  } else if (const auto* a = v.if_array()) {
    for (const auto& element : *a) PrintLine(out, indent, "-", element);
  } else {
    PrintLine(out, indent, "", v);
  }
}

// A list of records whose members are all scalars, with the same members: a table.
bool PrintTable(std::FILE* out, const boost::json::array& rows) {
  if (rows.empty() || !rows.front().is_object()) return false;
  std::vector<std::string> columns;
  for (const auto& [key, value] : rows.front().get_object()) columns.emplace_back(key);
  std::vector<size_t> widths;
  for (const auto& c : columns) widths.push_back(c.size());
  for (const auto& row : rows) {
    const auto* o = row.if_object();
    if (o == nullptr || o->size() != columns.size()) return false;
    for (size_t i = 0; i < columns.size(); ++i) {
      const auto* cell = o->if_contains(columns[i]);
      if (cell == nullptr || !IsScalar(*cell) || Scalar(*cell).find('\n') != std::string::npos) {
        return false;
      }
      widths[i] = std::max(widths[i], Scalar(*cell).size());
    }
  }
  auto line = [&](auto cell) {
    for (size_t i = 0; i < columns.size(); ++i) {
      std::string text = cell(i);
      if (i + 1 < columns.size()) text.resize(widths[i] + kIndentStep, ' ');
      std::fputs(text.c_str(), out);
    }
    std::fputc('\n', out);
  };
  line([&](size_t i) {
    std::string h = KebabCase(columns[i]);
    std::transform(h.begin(), h.end(), h.begin(), ::toupper);
    return h;
  });
  for (const auto& row : rows)
    line([&](size_t i) { return Scalar(row.get_object().at(columns[i])); });
  return true;
}

// The binary member of the command's result structure, decoded, onto out.
Exit PrintBlob(const Command& command, const boost::json::value& result, std::FILE* out,
               std::FILE* err) {
  const boost::json::string* text = nullptr;
  const auto& names = command.binaryResults;
  if (const auto* o = result.if_object()) {
    for (const auto& [key, value] : *o) {
      if (value.is_string() && std::find(names.begin(), names.end(), key) != names.end()) {
        text = &value.get_string();
      }
    }
  }
  if (text == nullptr) {
    std::fprintf(err, "zylctl: the result of '%s' has no binary value\n", command.Path().c_str());
    return Exit::kServerError;
  }
  Har::Secret bytes(Base64_DecodedLength(text->data(), text->size()));
  size_t len = 0;
  if (!Base64_Decode(text->data(), text->size(), bytes.bytes(), bytes.size(), &len)) {
    std::fprintf(err, "zylctl: the binary value is not Base64\n");
    return Exit::kServerError;
  }
  std::fwrite(bytes.data(), 1, len, out);
  return Exit::kOk;
}

}  // namespace

Har::Secret SerializeSecret(const boost::json::value& v) {
  boost::json::serializer serializer;
  serializer.reset(&v);
  char chunk[kSerializeChunk];
  Har::WipeGuard wipe(chunk, sizeof chunk);
  Har::Secret text;
  while (!serializer.done()) text.append(serializer.read(chunk));
  return text;
}

Exit ExitForErrorType(std::string_view type) {
  if (type.starts_with(kErrorPrefix)) type.remove_prefix(kErrorPrefix.size());
  for (const auto& e : kErrorExits) {
    if (e.type == type) return e.exit;
  }
  return Exit::kServerError;
}

Exit PrintAnswer(const Command& command, const boost::json::value& answer, Format format,
                 std::FILE* out, std::FILE* err) {
  const auto* o = answer.if_object();
  if (const auto* error = o ? o->if_contains("error") : nullptr) {
    const auto* e = error->if_object();
    const auto* message = e ? e->if_contains("message") : nullptr;
    const auto* data = e ? e->if_contains("data") : nullptr;
    const auto* type = data && data->is_object() ? data->get_object().if_contains("type") : nullptr;
    const std::string typeText = type && type->is_string() ? Scalar(*type) : "error";
    std::fprintf(err, "zylctl: %s (%s)\n", message ? Scalar(*message).c_str() : "error",
                 typeText.c_str());
    return ExitForErrorType(typeText);
  }
  const auto* result = o ? o->if_contains("result") : nullptr;
  if (result == nullptr) {
    std::fprintf(err, "zylctl: the answer is not a JSON-RPC response\n");
    return Exit::kConnection;
  }
  if (format == Format::kBlob) return PrintBlob(command, *result, out, err);
  if (format == Format::kJson) {
    std::fprintf(out, "%s\n", SerializeSecret(*result).c_str());
  } else if (!result->is_null()) {
    const auto* rows = result->if_array();
    if (rows == nullptr || !PrintTable(out, *rows)) PrintValue(out, *result, 0);
  }
  return Exit::kOk;
}

}  // namespace Zylctl
