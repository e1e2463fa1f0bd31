#include <mirel/errors.h>
#include <mirel/messages.h>

#include <array>
#include <utility>

namespace Mirel {

NamedMessageBuilder::NamedMessageBuilder(std::string id, std::string defaultText)
    : message_{std::move(id), std::move(defaultText), {}} {}

NamedMessageBuilder& NamedMessageBuilder::put(const std::string& name, std::string value) {
  message_.args.insert_or_assign(name, std::move(value));
  return *this;
}

NamedMessageBuilder& NamedMessageBuilder::put(const std::string& name, const char* value) {
  return put(name, std::string(value != nullptr ? value : ""));
}

NamedMessageBuilder& NamedMessageBuilder::put(const std::string& name, int64_t value) {
  return put(name, std::to_string(value));
}

namespace L10n {
namespace {

struct FrameworkEntry {
  std::string_view id;
  const char* text;
};

constexpr std::array kFrameworkTemplates{
    FrameworkEntry{MessageIds::kInvalidParams, "Invalid value for member '{member}'."},
    FrameworkEntry{MessageIds::kOperationNotFound, "The operation '{operation}' does not exist."},
    FrameworkEntry{MessageIds::kUnauthenticated, "The call requires authentication."},
    FrameworkEntry{MessageIds::kUnauthorized,
                   "The caller is not authorized to call '{operation}'."},
    FrameworkEntry{MessageIds::kInternalServerError, "The call failed with an internal error."},
    FrameworkEntry{MessageIds::kNotFound, "The {kind} '{id}' does not exist."},
    FrameworkEntry{"com.velora.mirel.std.errors.invalid_request", "Invalid request: {reason}"},
};

}  // namespace

std::string Format(std::string_view templ, const std::map<std::string, std::string>& args) {
  std::string out;
  out.reserve(templ.size() + 16);
  size_t pos = 0;
  while (pos < templ.size()) {
    const size_t open = templ.find('{', pos);
    if (open == std::string_view::npos) {
      break;
    }
    const size_t close = templ.find('}', open + 1);
    if (close == std::string_view::npos) {
      break;
    }
    out.append(templ.substr(pos, open - pos));
    const auto it = args.find(std::string(templ.substr(open + 1, close - open - 1)));
    if (it != args.end()) {
      out.append(it->second);
    } else {
      out.append(templ.substr(open, close - open + 1));
    }
    pos = close + 1;
  }
  out.append(templ.substr(pos));
  return out;
}

const char* FrameworkTemplate(std::string_view id) {
  for (const auto& entry : kFrameworkTemplates) {
    if (entry.id == id) {
      return entry.text;
    }
  }
  return nullptr;
}

Localizer::Localizer(std::string defaultLocale, MessageLookup lookup)
    : defaultLocale_(std::move(defaultLocale)), lookup_(std::move(lookup)) {}

std::string Localizer::Template(const Message& message) const {
  if (message.id.starts_with(kFrameworkPrefix)) {
    const char* text = FrameworkTemplate(message.id);
    return text != nullptr ? std::string(text) : message.defaultMessage;
  }
  if (lookup_ && message.id.starts_with(kApplicationPrefix)) {
    return lookup_(message.id);
  }
  return message.defaultMessage;
}

std::string Localizer::Render(const Message& message) const {
  return Format(Template(message), message.args);
}

void Localizer::Resolve(Message& message) const { message.defaultMessage = Render(message); }

void Localizer::Resolve(std::vector<Message>& messages) const {
  for (auto& message : messages) {
    Resolve(message);
  }
}

std::string MakeLanguagePreference(std::string_view acceptLanguage, std::string_view fallback) {
  const size_t end = acceptLanguage.find_first_of(",;");
  std::string_view tag = acceptLanguage.substr(0, end);
  while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) {
    tag.remove_prefix(1);
  }
  while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) {
    tag.remove_suffix(1);
  }
  if (tag.empty() || tag == "*" || tag.size() > 35) {
    return std::string(fallback);
  }
  std::string locale;
  for (char c : tag) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '_') {
      return std::string(fallback);
    }
    locale.push_back(c == '-' ? '_' : c);
  }
  return locale;
}

}  // namespace L10n
}  // namespace Mirel
