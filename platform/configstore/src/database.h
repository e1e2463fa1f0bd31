// SQLite file behind the configuration store: one row per top-level object (its identifier, an
// insertion sequence giving the store order, and its JSON body) and a boot-status table.
// Opening creates the directory (0700) and the file (0600) when missing, switches to WAL with
// synchronous=FULL, and rejects read-only, foreign or corrupt files with ConfigStoreException.
// Opened read-only, a missing file or one without the store's schema is rejected instead and the
// file is left as it is.
// Not thread-safe: the owner serialises calls. Rows read back are bounded and type-checked.
// The device and inode of the file are noted when it is opened, so the owner can tell when the
// path names another file. Closing a file that is no longer at its path leaves the WAL and
// shared-memory files at the path alone (SQLite checks that the file has not moved).
#pragma once

#include <configstore/configstore.h>
#include <configstore/object.h>

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace OvikConfigStore {

class Database {
 public:
  struct Row {
    ConfigStoreObjectId id;
    std::string body;
  };
  // One object's named value as read by LoadStringValues: `value` is set when it is a string;
  // `wellFormed` is false when the body is not JSON of the stored form.
  struct ValueRow {
    ConfigStoreObjectId id;
    bool wellFormed = false;
    std::optional<std::string> value;
  };

  // Opens (or creates) the file; ":memory:" opens a private in-memory database.
  explicit Database(std::string path, OpenMode mode = OpenMode::ReadWrite);
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& Path() const { return path_; }
  OpenMode Mode() const { return mode_; }
  // True when the path now names another file than the open one (replaced, or removed and
  // created anew); false while it names the open file, or no file at all.
  bool PathNamesAnotherFile() const;

  std::optional<std::string> LoadBody(const ConfigStoreObjectId& id);
  // Rows of key/group/component (one instance when id.instance is set), in store order.
  std::vector<Row> LoadRows(const ConfigStoreObjectId& id);
  // For the same rows, the string at `jsonPath` (an SQLite JSON path into the body) without
  // decoding the rest of the body.
  std::vector<ValueRow> LoadStringValues(const ConfigStoreObjectId& id,
                                         const std::string& jsonPath);

  // Differs from any earlier stamp once the stored data may have changed since, by this
  // connection or by any other (another process included).
  using ChangeStamp = std::pair<int64_t, int64_t>;
  ChangeStamp CurrentChangeStamp();

  // Inserts, or replaces in place keeping the row's position.
  void Upsert(const ConfigStoreObjectId& id, const std::string& body);
  // Replaces an existing row in place; false when there is none.
  bool Replace(const ConfigStoreObjectId& id, const std::string& body);
  bool Remove(const ConfigStoreObjectId& id);
  // Replaces every instance of key/group/component with the given rows, in their order, at the
  // end of the store order: one transaction.
  void ReplaceSelection(const ConfigStoreObjectId& selection, const std::vector<Row>& rows);

  void SaveBootStatus(const ConfigStoreObjectId& id, const std::string& bootId, bool restored);
  // The boot identifier and flag recorded for the object, when any.
  std::optional<std::pair<std::string, bool>> LoadBootStatus(const ConfigStoreObjectId& id);

 private:
  enum StatementId {
    kLoadBody,
    kLoadAll,
    kLoadOne,
    kValuesAll,
    kValuesOne,
    kUpsert,
    kReplace,
    kRemove,
    kRemoveSelection,
    kInsert,
    kSaveBoot,
    kLoadBoot,
    kBegin,
    kCommit,
    kDataVersion,
    kStatementCount
  };
  class Statement;
  class Transaction;

  struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
  };
  static std::optional<FileId> IdOf(const std::string& path);

  struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
  };

  void OpenConnection();
  void OpenReadOnly();
  void CreateSchema();
  // The schema version the file holds (0: none).
  int SchemaVersion();
  void Exec(const char* sql);
  sqlite3_stmt* Prepare(StatementId which);
  [[noreturn]] void Fail(const std::string& what) const;

  std::string path_;
  OpenMode mode_;
  std::optional<FileId> file_;  // unset for an in-memory database
  std::unique_ptr<sqlite3, DbCloser> db_;
  std::array<std::unique_ptr<sqlite3_stmt, StatementFinalizer>, kStatementCount> statements_;
};

}  // namespace OvikConfigStore
