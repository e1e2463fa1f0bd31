// The configuration store: configuration objects kept durably in one SQLite file.
//
// Contract:
// - Get reads the database every time (another process may have written); it returns a fresh
//   object that the caller may change and write back with Set (insert or replace, whole object)
//   or Update (replace an existing object, ConfigStoreException when it is gone). Each write,
//   Delete and Import is one transaction: after a crash the old or the new object is there, whole.
// - Store order (List, export) is insertion order; replacing an object keeps its position.
// - Objects of the key "providers" get the string value "provider" = instance on every write.
// - Export/Import exchange the canonical text of one selection (key, group, component); Import
//   validates the whole text first and then replaces the selection, all or nothing. A rejected
//   text gives false with the problems in `errors`; database failures throw.
// - Every failure is a ConfigStoreException naming the object or database and the cause.
// - Thread-safe: one connection guarded by a mutex.
// - A store on a file notices when its path names another file (the file was replaced, or removed
//   and created anew): the next operation or ChangeStamp reopens the path and works on the new
//   file (one stat of the path each). While the path names no file at all, the open file is kept
//   and the path is looked at again by each later operation.
#pragma once

#include <configstore/exception.h>
#include <configstore/object.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace OvikConfigStore {

inline const std::string sGlobalNamespace = "global";
inline const std::string kDefaultDbPath = "/var/lib/velora/configstore/ovik.db";

class Database;
class ListedValues;

// ReadOnly opens an existing store without creating a file or directory and without changing the
// file (no journal switch, no schema); writes through it fail with ConfigStoreException.
enum class OpenMode { ReadWrite, ReadOnly };

// One top-level object as compact canonical JSON: the form of an entry of the export text.
std::string ObjectToJson(const ConfigStoreObject& obj);

class ConfigStore {
 public:
  using ObjectList = std::vector<std::shared_ptr<ConfigStoreObject>>;

  // Sets the database file of the process-wide store (called once at start-up; a later call
  // makes the next GetStore open the new file). Unconfigured, kDefaultDbPath is used.
  static void Configure(const std::string& dbPath);
  // The process-wide store of a namespace (only sGlobalNamespace exists), opened on first use.
  static std::shared_ptr<ConfigStore> GetStore(const std::string& nameSpace);
  // A store on an explicit file (":memory:" for a private in-memory one).
  static std::shared_ptr<ConfigStore> Open(const std::string& dbPath,
                                           OpenMode mode = OpenMode::ReadWrite);

  explicit ConfigStore(std::unique_ptr<Database> db);
  virtual ~ConfigStore();
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // The object, or null when absent.
  virtual std::shared_ptr<ConfigStoreObject> Get(const ConfigStoreObjectId& id);
  // Writes the whole object with its sub-objects, new or stored; *result (nullable) is set to 0.
  virtual void Set(const std::shared_ptr<ConfigStoreObject>& obj, int* result);
  // Writes back an object that is stored; *result (nullable) is set to 0.
  virtual void Update(const std::shared_ptr<ConfigStoreObject>& obj, int* result);
  // Removes the object and its sub-objects; false when it was absent.
  virtual bool Delete(const ConfigStoreObjectId& id);
  // Objects selected by the filter, in store order.
  virtual ObjectList List(const std::shared_ptr<FilterSpecObject>& filter);
  // The top-level string value `valueName` of each object List would give, in the same order:
  // nullopt where the object has no such value or it is not a string. Reads only that value
  // (a stored body is checked to be JSON of the stored form, the rest is not decoded); a
  // malformed row throws as in List. The last answer is kept and given again while the database
  // is unchanged (by this store or any other writer).
  virtual std::vector<std::optional<std::string>> ListStringValue(
      const std::shared_ptr<FilterSpecObject>& filter, const std::string& valueName);

  // A number that differs from every earlier answer once the stored data may have changed
  // since (written through this store or by any other writer, another process included) and
  // stays the same otherwise. Reads no data: a caller may keep what it read while it is equal.
  // A store on a file asks a read connection of its own (SQLite's data version), so the answer
  // never waits for the writers' mutex, a commit or a checkpoint.
  virtual uint64_t ChangeStamp();
  // How many times this store opened its file: 1, plus one per reopening of a replaced file.
  uint64_t FileOpens();

  // Canonical text of one selection: exactly one filter without instance.
  virtual std::string Export(const std::vector<std::shared_ptr<FilterSpecObject>>& filters);
  virtual bool Import(const std::string& text, std::vector<ErrorInfo>& errors);

  // The stored instances of the identifier's key, group and component, in store order.
  virtual ObjectList GetDesiredUserConfigInstances(const ConfigStoreObjectId& id);
  // Records the current boot identifier and the flag against the identifier.
  virtual void SetBootStatus(const ConfigStoreObjectId& id, bool restored);
  // True when the identifier was marked restored during the current boot.
  bool IsRestoredThisBoot(const ConfigStoreObjectId& id);

  const std::string& Path() const { return path_; }

 protected:
  // For test doubles that override every operation: no database behind it.
  ConfigStore() = default;

 private:
  void Write(const std::shared_ptr<ConfigStoreObject>& obj, int* result, bool mustExist);
  ObjectList Load(const ConfigStoreObjectId& selection);
  std::vector<std::optional<std::string>> ListDecodedValue(const ConfigStoreObjectId& selection,
                                                           const std::string& valueName);
  // The open database, reopened first when the path names another file. Called with mutex_
  // held, once per operation.
  Database& Db();
  void Reopen();
  const std::string& BootId();

  // The state ChangeStamp compares, read under stampMutex_: from the stamp connection for a
  // store on a file, from the main connection (under mutex_ as well) for an in-memory one.
  std::pair<int64_t, int64_t> CurrentState();
  // The stamp connection, opened on first use and again when the path names another file.
  Database& StampDb();

  std::mutex mutex_;
  std::unique_ptr<Database> db_;
  std::string path_;
  std::optional<std::string> bootId_;
  std::unique_ptr<ListedValues> listed_;
  std::atomic<uint64_t> fileOpens_{1};
  // ChangeStamp's own read connection, the count of the database states seen and the last state
  // (data version, changes made through the connection). Guarded by stampMutex_, which is taken
  // before mutex_ when both are held.
  std::mutex stampMutex_;
  std::unique_ptr<Database> stampDb_;
  uint64_t changeCount_ = 0;
  std::optional<std::pair<int64_t, int64_t>> seenState_;
};

}  // namespace OvikConfigStore
