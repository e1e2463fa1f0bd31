// Localizable messages: building them from an identifier and named arguments, and rendering their
// text. The Localizer knows the framework's own templates (identifiers under "com.velora.mirel.")
// and asks the application's lookup for identifiers under the application prefix
// ("com.velora.ovik.kms."); for any other identifier the message's own defaultMessage is the
// template. Every locale gets the same templates. A Localizer is immutable and thread-safe.
#pragma once

#include <mirel/provider.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Mirel {

// NamedMessageBuilder(id, defaultText).put("provider", p).put("days", 30) → Message.
class NamedMessageBuilder {
 public:
  NamedMessageBuilder(std::string id, std::string defaultText);
  NamedMessageBuilder& put(const std::string& name, std::string value);
  NamedMessageBuilder& put(const std::string& name, const char* value);
  NamedMessageBuilder& put(const std::string& name, int64_t value);
  Message build() const { return message_; }
  operator Message() const { return message_; }  // NOLINT: a builder is a message in the making

 private:
  Message message_;
};

namespace L10n {

using MessageLookup = std::function<std::string(const std::string& id)>;

inline constexpr std::string_view kFrameworkPrefix = "com.velora.mirel.";
inline constexpr std::string_view kApplicationPrefix = "com.velora.ovik.kms.";

// Replaces every "{name}" of `templ` with args[name]; unknown names are left as they are.
std::string Format(std::string_view templ, const std::map<std::string, std::string>& args);

// The framework's template of `id`, or nullptr when it has none.
const char* FrameworkTemplate(std::string_view id);

class Localizer {
 public:
  Localizer(std::string defaultLocale, MessageLookup lookup);

  const std::string& DefaultLocale() const { return defaultLocale_; }
  // The template of the message (see the file comment).
  std::string Template(const Message& message) const;
  // The text of the message with every argument substituted.
  std::string Render(const Message& message) const;
  // Sets defaultMessage to the rendered text.
  void Resolve(Message& message) const;
  void Resolve(std::vector<Message>& messages) const;

 private:
  std::string defaultLocale_;
  MessageLookup lookup_;
};

// A language preference from an Accept-Language value: the first tag, "en-US" → "en_US";
// `fallback` when the header is empty or unusable.
std::string MakeLanguagePreference(std::string_view acceptLanguage, std::string_view fallback);

}  // namespace L10n
}  // namespace Mirel
