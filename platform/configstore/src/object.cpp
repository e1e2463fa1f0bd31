// Object model: values, sub-objects and filters.
#include <configstore/exception.h>
#include <configstore/object.h>

#include <harlibs/secure.h>

#include <algorithm>

namespace OvikConfigStore {

namespace {

// Overwrites the text of a value that is being replaced or dropped: values can be credentials.
void WipeValue(StoreObject::Value& value) {
  if (std::string* text = std::get_if<std::string>(&value)) {
    Har::Cleanse(text->data(), text->size());
  } else if (auto* texts = std::get_if<std::vector<std::string>>(&value)) {
    for (std::string& t : *texts) {
      Har::Cleanse(t.data(), t.size());
    }
  }
}

template <typename T>
bool CopyValue(const StoreObject::ValueMap& values, const std::string& name, T& out) {
  auto it = values.find(name);
  if (it == values.end()) {
    return false;
  }
  const T* v = std::get_if<T>(&it->second);
  if (v == nullptr) {
    return false;
  }
  out = *v;
  return true;
}

ConfigStoreObjectId SubId(const SubObjectId& id) {
  return ConfigStoreObjectId(id.name, kEmptyString, kEmptyString, id.instance);
}

}  // namespace

std::string ConfigStoreObjectId::ToString() const {
  std::string s = key + "/" + group + "/" + component;
  if (!instance.empty()) {
    s += "[" + instance + "]";
  }
  return s;
}

bool FilterSpecObject::Matches(const ConfigStoreObjectId& id) const {
  return id.key == id_.key && id.group == id_.group && id.component == id_.component &&
         (id_.instance.empty() || id.instance == id_.instance);
}

StoreObject::~StoreObject() {
  for (auto& [name, value] : values_) {
    WipeValue(value);
  }
}

bool StoreObject::GetValue(const std::string& name, std::string& out) const {
  return CopyValue(values_, name, out);
}

bool StoreObject::GetValue(const std::string& name, int64_t& out) const {
  return CopyValue(values_, name, out);
}

bool StoreObject::GetValue(const std::string& name, std::vector<std::string>& out) const {
  return CopyValue(values_, name, out);
}

void StoreObject::Replace(const std::string& name, Value value) {
  auto it = values_.find(name);
  if (it != values_.end()) {
    WipeValue(it->second);
    it->second = std::move(value);
  } else {
    values_.emplace(name, std::move(value));
  }
}

void StoreObject::SetValue(const std::string& name, std::string value) {
  Replace(name, std::move(value));
}

void StoreObject::SetValue(const std::string& name, int64_t value) { Replace(name, value); }

void StoreObject::SetValue(const std::string& name, std::vector<std::string> value) {
  Replace(name, std::move(value));
}

bool StoreObject::DeleteValue(const std::string& name) {
  auto it = values_.find(name);
  if (it == values_.end()) {
    return false;
  }
  WipeValue(it->second);
  values_.erase(it);
  return true;
}

ConfigStoreObject::Handle ConfigStoreObject::GetSubObject(const SubObjectId& id) const {
  const ConfigStoreObjectId wanted = SubId(id);
  for (const auto& sub : subObjects_) {
    if (sub->GetConfigStoreObjectId() == wanted) {
      return sub;
    }
  }
  return nullptr;
}

ConfigStoreObject::Handle ConfigStoreObject::CreateSubObject(const SubObjectId& id) {
  if (id.name.empty()) {
    throw ConfigStoreException("object " + GetConfigStoreObjectId().ToString() +
                               ": a sub-object needs a name");
  }
  if (GetSubObject(id) != nullptr) {
    throw ConfigStoreException("object " + GetConfigStoreObjectId().ToString() + ": sub-object " +
                               id.name + "[" + id.instance + "] already exists");
  }
  auto sub = std::make_shared<ConfigStoreObject>(SubId(id));
  subObjects_.push_back(sub);
  return sub;
}

bool ConfigStoreObject::DeleteSubObject(const SubObjectId& id) {
  const ConfigStoreObjectId wanted = SubId(id);
  auto it = std::find_if(subObjects_.begin(), subObjects_.end(),
                         [&](const Handle& s) { return s->GetConfigStoreObjectId() == wanted; });
  if (it == subObjects_.end()) {
    return false;
  }
  subObjects_.erase(it);
  return true;
}

std::vector<ConfigStoreObject::Handle> ConfigStoreObject::GetSubObjectInstances(
    const FilterSpecObject& filter) const {
  std::vector<Handle> out;
  for (const auto& sub : subObjects_) {
    if (filter.Matches(sub->GetConfigStoreObjectId())) {
      out.push_back(sub);
    }
  }
  return out;
}

size_t ConfigStoreObject::DeleteSubObjectInstances(const FilterSpecObject& filter) {
  return std::erase_if(
      subObjects_, [&](const Handle& s) { return filter.Matches(s->GetConfigStoreObjectId()); });
}

}  // namespace OvikConfigStore
