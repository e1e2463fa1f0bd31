// The configuration store on top of the SQLite file and the JSON codec.
#include <configstore/configstore.h>

#include "codec.h"
#include "database.h"

#include <harlibs/secure.h>

#include <cctype>
#include <deque>
#include <fstream>

namespace OvikConfigStore {

namespace {

const std::string kProvidersKey = "providers";
const std::string kProviderValue = "provider";
const std::string kMemoryPath = ":memory:";
constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";
constexpr std::size_t kMaxBootIdLength = 64;

// The process-wide store and the file it is opened on.
struct Registry {
  std::mutex mutex;
  std::string path = kDefaultDbPath;
  std::shared_ptr<ConfigStore> store;
};

Registry& GlobalRegistry() {
  static Registry registry;
  return registry;
}

// Guards on the bodies of database rows (serialized objects, which can hold credentials): every
// body is wiped when the guards go, on every path. Guards never move, so a deque holds them.
using BodyGuards = std::deque<Har::WipeGuard>;

// Runs a database step, naming the object in any failure.
template <typename F>
decltype(auto) ForObject(const char* operation, const ConfigStoreObjectId& id, F&& step) {
  try {
    return step();
  } catch (const ConfigStoreException& e) {
    throw ConfigStoreException(std::string(operation) + " of object " + id.ToString() +
                               " failed: " + e.what());
  }
}

std::string ReadBootId() {
  std::ifstream in(kBootIdPath);
  std::string line;
  if (!in || !std::getline(in, line) || line.empty() || line.size() > kMaxBootIdLength) {
    throw ConfigStoreException(std::string("cannot read the boot identifier from ") + kBootIdPath);
  }
  for (char c : line) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '-') {
      throw ConfigStoreException(std::string("malformed boot identifier in ") + kBootIdPath);
    }
  }
  return line;
}

// A value name that can be looked up with a quoted SQLite JSON path label: the label is compared
// with the stored member name as written, so it must be one the encoder writes unescaped.
bool IsPlainValueName(const std::string& name) {
  if (name.empty() || name.size() > Codec::kMaxNameLength || !Codec::IsValidUtf8(name)) {
    return false;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
      return false;
    }
  }
  return true;
}

void ApplyStoreValues(ConfigStoreObject& obj) {
  const ConfigStoreObjectId& id = obj.GetConfigStoreObjectId();
  if (id.key == kProvidersKey) {
    obj.SetValue(kProviderValue, id.instance);
  }
}

}  // namespace

// The last ListStringValue answer and the database state it was read in; wiped when replaced.
class ListedValues {
 public:
  using Values = std::vector<std::optional<std::string>>;

  ~ListedValues() { Clear(); }

  const Values* Find(const ConfigStoreObjectId& selection, const std::string& valueName,
                     const Database::ChangeStamp& stamp) const {
    const bool hit =
        valid_ && stamp_ == stamp && selection_ == selection && valueName_ == valueName;
    return hit ? &values_ : nullptr;
  }

  void Keep(const ConfigStoreObjectId& selection, const std::string& valueName,
            const Database::ChangeStamp& stamp, const Values& values) {
    Clear();
    selection_ = selection;
    valueName_ = valueName;
    stamp_ = stamp;
    values_ = values;
    valid_ = true;
  }

 private:
  void Clear() {
    for (auto& v : values_) {
      if (v) {
        Har::Cleanse(v->data(), v->size());
      }
    }
    values_.clear();
    valid_ = false;
  }

  bool valid_ = false;
  ConfigStoreObjectId selection_;
  std::string valueName_;
  Database::ChangeStamp stamp_;
  Values values_;
};

std::string ObjectToJson(const ConfigStoreObject& obj) { return Codec::ObjectText(obj); }

void ConfigStore::Configure(const std::string& dbPath) {
  Registry& reg = GlobalRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (reg.path != dbPath) {
    reg.path = dbPath;
    reg.store.reset();
  }
}

std::shared_ptr<ConfigStore> ConfigStore::GetStore(const std::string& nameSpace) {
  if (nameSpace != sGlobalNamespace) {
    throw ConfigStoreException("configuration store: unknown namespace \"" + nameSpace + "\"");
  }
  Registry& reg = GlobalRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (!reg.store) {
    reg.store = Open(reg.path);
  }
  return reg.store;
}

std::shared_ptr<ConfigStore> ConfigStore::Open(const std::string& dbPath, OpenMode mode) {
  return std::make_shared<ConfigStore>(std::make_unique<Database>(dbPath, mode));
}

ConfigStore::ConfigStore(std::unique_ptr<Database> db)
    : db_(std::move(db)), path_(db_->Path()), listed_(std::make_unique<ListedValues>()) {}

ConfigStore::~ConfigStore() = default;

Database& ConfigStore::Db() {
  if (!db_) {
    throw ConfigStoreException("configuration store: no database is open");
  }
  if (db_->PathNamesAnotherFile()) {
    Reopen();
  }
  return *db_;
}

void ConfigStore::Reopen() {
  // A failure throws and keeps the old file open: the next operation tries again.
  db_ = std::make_unique<Database>(path_, db_->Mode());
  listed_ = std::make_unique<ListedValues>();
  ++fileOpens_;
}

Database& ConfigStore::StampDb() {
  if (!stampDb_ || stampDb_->PathNamesAnotherFile()) {
    // A failure throws and keeps the old connection: the next call tries again.
    stampDb_ = std::make_unique<Database>(path_);
    // The new connection's counters say nothing about the old one's: forget what was seen.
    seenState_.reset();
  }
  return *stampDb_;
}

std::pair<int64_t, int64_t> ConfigStore::CurrentState() {
  if (path_ == kMemoryPath) {
    // Another connection would open another, empty database.
    std::lock_guard<std::mutex> lock(mutex_);
    return Db().CurrentChangeStamp();
  }
  return StampDb().CurrentChangeStamp();
}

std::shared_ptr<ConfigStoreObject> ConfigStore::Get(const ConfigStoreObjectId& id) {
  std::optional<std::string> body = ForObject("reading", id, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return Db().LoadBody(id);
  });
  if (!body) {
    return nullptr;
  }
  Har::WipeGuard wipe(*body);
  return Codec::DecodeBody(id, *body);
}

void ConfigStore::Write(const std::shared_ptr<ConfigStoreObject>& obj, int* result,
                        bool mustExist) {
  if (!obj) {
    throw ConfigStoreException("configuration store: writing a null object");
  }
  ApplyStoreValues(*obj);
  const ConfigStoreObjectId& id = obj->GetConfigStoreObjectId();
  std::string body = Codec::EncodeBody(*obj);
  Har::WipeGuard wipe(body);
  const bool written = ForObject("writing", id, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mustExist) {
      return Db().Replace(id, body);
    }
    Db().Upsert(id, body);
    return true;
  });
  if (!written) {
    throw ConfigStoreException("object " + id.ToString() + ": not in the store, cannot update it");
  }
  if (result != nullptr) {
    *result = 0;
  }
}

void ConfigStore::Set(const std::shared_ptr<ConfigStoreObject>& obj, int* result) {
  Write(obj, result, false);
}

void ConfigStore::Update(const std::shared_ptr<ConfigStoreObject>& obj, int* result) {
  Write(obj, result, true);
}

bool ConfigStore::Delete(const ConfigStoreObjectId& id) {
  return ForObject("deleting", id, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return Db().Remove(id);
  });
}

ConfigStore::ObjectList ConfigStore::Load(const ConfigStoreObjectId& selection) {
  std::vector<Database::Row> rows = ForObject("listing", selection, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return Db().LoadRows(selection);
  });
  BodyGuards wipes;
  for (Database::Row& row : rows) {
    wipes.emplace_back(row.body);
  }
  ObjectList objects;
  objects.reserve(rows.size());
  for (const Database::Row& row : rows) {
    objects.push_back(Codec::DecodeBody(row.id, row.body));
  }
  return objects;
}

ConfigStore::ObjectList ConfigStore::List(const std::shared_ptr<FilterSpecObject>& filter) {
  if (!filter) {
    throw ConfigStoreException("configuration store: listing without a filter");
  }
  return Load(filter->GetConfigStoreObjectId());
}

std::vector<std::optional<std::string>> ConfigStore::ListDecodedValue(
    const ConfigStoreObjectId& selection, const std::string& valueName) {
  std::vector<std::optional<std::string>> values;
  for (const auto& obj : Load(selection)) {
    std::string value;
    values.push_back(obj->GetValue(valueName, value) ? std::optional(std::move(value))
                                                     : std::nullopt);
  }
  return values;
}

std::vector<std::optional<std::string>> ConfigStore::ListStringValue(
    const std::shared_ptr<FilterSpecObject>& filter, const std::string& valueName) {
  if (!filter) {
    throw ConfigStoreException("configuration store: listing without a filter");
  }
  const ConfigStoreObjectId& selection = filter->GetConfigStoreObjectId();
  if (!IsPlainValueName(valueName)) {
    // Rare names: decode whole objects (an empty or oversized name is never found).
    return ListDecodedValue(selection, valueName);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Database& db = ForObject("listing", selection, [&]() -> Database& { return Db(); });
  // The stamp is taken before reading: a change in between only costs a later re-read.
  const Database::ChangeStamp stamp =
      ForObject("listing", selection, [&] { return db.CurrentChangeStamp(); });
  if (const auto* kept = listed_ ? listed_->Find(selection, valueName, stamp) : nullptr) {
    return *kept;
  }
  std::vector<Database::ValueRow> rows = ForObject("listing", selection, [&] {
    return db.LoadStringValues(selection, "$.values.\"" + valueName + "\"");
  });
  std::vector<std::optional<std::string>> values;
  values.reserve(rows.size());
  for (Database::ValueRow& row : rows) {
    if (!row.wellFormed || (row.value && !Codec::IsValidUtf8(*row.value))) {
      throw ConfigStoreException("object " + row.id.ToString() +
                                 ": stored data is malformed: body: not JSON of the stored form");
    }
    values.push_back(std::move(row.value));
  }
  if (listed_) {
    listed_->Keep(selection, valueName, stamp, values);
  }
  return values;
}

uint64_t ConfigStore::ChangeStamp() {
  std::lock_guard<std::mutex> lock(stampMutex_);
  const Database::ChangeStamp state = CurrentState();
  if (!seenState_ || *seenState_ != state) {
    seenState_ = state;
    ++changeCount_;
  }
  return changeCount_;
}

uint64_t ConfigStore::FileOpens() { return fileOpens_.load(); }

std::string ConfigStore::Export(const std::vector<std::shared_ptr<FilterSpecObject>>& filters) {
  if (filters.size() != 1 || !filters.front()) {
    throw ConfigStoreException("configuration store: export takes exactly one selection");
  }
  const ConfigStoreObjectId& selection = filters.front()->GetConfigStoreObjectId();
  if (selection.key.empty() || !selection.instance.empty()) {
    throw ConfigStoreException("configuration store: export selection " + selection.ToString() +
                               " must name a key and no instance");
  }
  return Codec::ExportText(selection, Load(selection));
}

bool ConfigStore::Import(const std::string& text, std::vector<ErrorInfo>& errors) {
  std::optional<Codec::ImportSet> set = Codec::ParseImport(text, errors);
  if (!set) {
    return false;
  }
  std::vector<Database::Row> rows;
  rows.reserve(set->objects.size());  // no reallocation: the guards watch the rows in place
  BodyGuards wipes;
  for (const auto& obj : set->objects) {
    ApplyStoreValues(*obj);
    rows.push_back(Database::Row{obj->GetConfigStoreObjectId(), Codec::EncodeBody(*obj)});
    wipes.emplace_back(rows.back().body);
  }
  ForObject("importing", set->selection, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    Db().ReplaceSelection(set->selection, rows);
  });
  return true;
}

ConfigStore::ObjectList ConfigStore::GetDesiredUserConfigInstances(const ConfigStoreObjectId& id) {
  return Load(ConfigStoreObjectId(id.key, id.group, id.component));
}

const std::string& ConfigStore::BootId() {
  if (!bootId_) {
    bootId_ = ReadBootId();
  }
  return *bootId_;
}

void ConfigStore::SetBootStatus(const ConfigStoreObjectId& id, bool restored) {
  ForObject("recording the boot status", id, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    Db().SaveBootStatus(id, BootId(), restored);
  });
}

bool ConfigStore::IsRestoredThisBoot(const ConfigStoreObjectId& id) {
  return ForObject("reading the boot status", id, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    auto status = Db().LoadBootStatus(id);
    return status && status->second && status->first == BootId();
  });
}

}  // namespace OvikConfigStore
