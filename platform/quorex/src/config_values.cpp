// Typed configuration values.
#include <quorex/quorex.h>

#include <harlibs/log.h>

#include <charconv>

namespace Quorex::Service {

namespace {

const char* TypeName(ConfigValues::Type type) {
  switch (type) {
    case ConfigValues::Type::kInt:
      return "an integer";
    case ConfigValues::Type::kBool:
      return "a boolean";
    default:
      return "a string";
  }
}

void LogMismatch(const std::string& key, const std::string& text, ConfigValues::Type wanted) {
  Log_Level(kLogFailure, "Configuration key %s: value \"%s\" is not %s\n", key.c_str(),
            text.c_str(), TypeName(wanted));
}

}  // namespace

bool ParseConfigInt(std::string_view text, int64_t* out) {
  if (text.empty() || text.front() == '+') {
    return false;
  }
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseConfigBool(std::string_view text, bool* out) {
  if (text == "true" || text == "false") {
    *out = text == "true";
    return true;
  }
  return false;
}

ConfigValues::ConfigValues(const ConfigValues& other) {
  std::shared_lock lock(other.mutex_);
  entries_ = other.entries_;
}

ConfigValues& ConfigValues::operator=(const ConfigValues& other) {
  if (this != &other) {
    std::map<std::string, Entry> copy;
    {
      std::shared_lock lock(other.mutex_);
      copy = other.entries_;
    }
    std::unique_lock lock(mutex_);
    entries_ = std::move(copy);
  }
  return *this;
}

void ConfigValues::Put(const std::string& key, Type type, std::string text) {
  std::unique_lock lock(mutex_);
  entries_[key] = Entry{type, std::move(text)};
}

void ConfigValues::SetString(const std::string& key, std::string value) {
  Put(key, Type::kString, std::move(value));
}

void ConfigValues::SetInt(const std::string& key, int64_t value) {
  Put(key, Type::kInt, std::to_string(value));
}

void ConfigValues::SetBool(const std::string& key, bool value) {
  Put(key, Type::kBool, value ? "true" : "false");
}

void ConfigValues::SetText(const std::string& key, std::string value) {
  Put(key, Type::kText, std::move(value));
}

bool ConfigValues::Find(const std::string& key, Entry* out) const {
  std::shared_lock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    return false;
  }
  *out = it->second;
  return true;
}

bool ConfigValues::GetInt(const std::string& key, int64_t* out) const {
  Entry e;
  if (!Find(key, &e)) {
    return false;
  }
  int64_t value = 0;
  if (e.type == Type::kBool || !ParseConfigInt(e.text, &value)) {
    LogMismatch(key, e.text, Type::kInt);
    return false;
  }
  *out = value;
  return true;
}

bool ConfigValues::GetBool(const std::string& key, bool* out) const {
  Entry e;
  if (!Find(key, &e)) {
    return false;
  }
  bool value = false;
  if (e.type == Type::kInt || !ParseConfigBool(e.text, &value)) {
    LogMismatch(key, e.text, Type::kBool);
    return false;
  }
  *out = value;
  return true;
}

bool ConfigValues::GetString(const std::string& key, std::string* out) const {
  Entry e;
  if (!Find(key, &e)) {
    return false;
  }
  *out = std::move(e.text);
  return true;
}

bool ConfigValues::Has(const std::string& key) const {
  std::shared_lock lock(mutex_);
  return entries_.count(key) != 0;
}

bool ConfigValues::GetType(const std::string& key, Type* out) const {
  Entry e;
  if (!Find(key, &e)) {
    return false;
  }
  *out = e.type;
  return true;
}

std::map<std::string, std::string> ConfigValues::WithPrefix(const std::string& prefix) const {
  std::map<std::string, std::string> out;
  std::shared_lock lock(mutex_);
  for (auto it = entries_.lower_bound(prefix);
       it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    out.emplace(it->first, it->second.text);
  }
  return out;
}

void ConfigValues::Overlay(const ConfigValues& other) {
  if (this == &other) {
    return;
  }
  std::map<std::string, Entry> copy;
  {
    std::shared_lock lock(other.mutex_);
    copy = other.entries_;
  }
  std::unique_lock lock(mutex_);
  for (auto& [key, entry] : copy) {
    entries_[key] = std::move(entry);
  }
}

}  // namespace Quorex::Service
