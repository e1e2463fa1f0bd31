// In-memory object model of the configuration store.
//
// A configuration object is named by key, group, component and instance and carries named values
// (string, signed 64-bit integer, string array) and an ordered list of sub-objects. Sub-objects are
// ConfigStoreObjects too, named by (name, "", "", instance); an empty instance is a singleton.
// Objects are plain values held through shared_ptr handles: changes reach the database only when
// the object is written with ConfigStore::Set or ConfigStore::Update. Not thread-safe: a handle is
// used by one thread at a time. String values are wiped from memory when an object is destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace OvikConfigStore {

inline const std::string kEmptyString;

struct ConfigStoreObjectId {
  std::string key;
  std::string group;
  std::string component;
  std::string instance;

  ConfigStoreObjectId() = default;
  ConfigStoreObjectId(std::string k, std::string g, std::string c)
      : key(std::move(k)), group(std::move(g)), component(std::move(c)) {}
  ConfigStoreObjectId(std::string k, std::string g, std::string c, std::string i)
      : key(std::move(k)), group(std::move(g)), component(std::move(c)), instance(std::move(i)) {}

  bool operator==(const ConfigStoreObjectId&) const = default;
  // "key/group/component[instance]" for messages.
  std::string ToString() const;
};

struct SubObjectId {
  std::string name;
  std::string instance;

  SubObjectId() = default;
  SubObjectId(std::string n, std::string i = {}) : name(std::move(n)), instance(std::move(i)) {}
  bool operator==(const SubObjectId&) const = default;
};

// Selects objects (or sub-objects) whose key, group and component equal the held identifier's;
// an empty instance selects every instance, a non-empty one only that instance.
class FilterSpecObject {
 public:
  explicit FilterSpecObject(ConfigStoreObjectId id) : id_(std::move(id)) {}
  const ConfigStoreObjectId& GetConfigStoreObjectId() const { return id_; }
  bool Matches(const ConfigStoreObjectId& id) const;

 private:
  ConfigStoreObjectId id_;
};

class StoreObject {
 public:
  using Value = std::variant<std::string, int64_t, std::vector<std::string>>;
  using ValueMap = std::map<std::string, Value, std::less<>>;

  explicit StoreObject(ConfigStoreObjectId id) : id_(std::move(id)) {}
  StoreObject(const StoreObject&) = delete;
  StoreObject& operator=(const StoreObject&) = delete;
  virtual ~StoreObject();

  const ConfigStoreObjectId& GetConfigStoreObjectId() const { return id_; }

  // True when a value of that name and type exists; `out` is left unchanged otherwise.
  bool GetValue(const std::string& name, std::string& out) const;
  bool GetValue(const std::string& name, int64_t& out) const;
  bool GetValue(const std::string& name, std::vector<std::string>& out) const;

  // Sets (or replaces, whatever its former type) the named value.
  void SetValue(const std::string& name, std::string value);
  void SetValue(const std::string& name, int64_t value);
  void SetValue(const std::string& name, std::vector<std::string> value);
  bool DeleteValue(const std::string& name);

  // All values, ordered by name.
  const ValueMap& Values() const { return values_; }

 private:
  // Stores value under name; a former value of any type is wiped first.
  void Replace(const std::string& name, Value value);

  ConfigStoreObjectId id_;
  ValueMap values_;
};

class ConfigStoreObject : public StoreObject {
 public:
  using Handle = std::shared_ptr<ConfigStoreObject>;

  explicit ConfigStoreObject(ConfigStoreObjectId id) : StoreObject(std::move(id)) {}

  Handle GetSubObject(const SubObjectId& id) const;
  // Appends a new, empty sub-object; throws ConfigStoreException when one with that id exists.
  Handle CreateSubObject(const SubObjectId& id);
  // Removes the sub-object; false when there was none.
  bool DeleteSubObject(const SubObjectId& id);
  // Sub-objects selected by a filter built as (name, "", "", instance), in store order.
  std::vector<Handle> GetSubObjectInstances(const FilterSpecObject& filter) const;
  size_t DeleteSubObjectInstances(const FilterSpecObject& filter);

  // All sub-objects in store order.
  const std::vector<Handle>& SubObjects() const { return subObjects_; }

 private:
  std::vector<Handle> subObjects_;
};

}  // namespace OvikConfigStore
