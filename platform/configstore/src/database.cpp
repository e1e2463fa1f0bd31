// SQLite storage of configuration objects.
#include "database.h"

#include "codec.h"

#include <configstore/exception.h>
#include <harlibs/dirs.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace OvikConfigStore {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;
constexpr const char* kMemoryPath = ":memory:";

constexpr const char* kSchemaSql =
    "CREATE TABLE IF NOT EXISTS objects("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT NOT NULL, grp TEXT NOT NULL,"
    " component TEXT NOT NULL, instance TEXT NOT NULL, body TEXT NOT NULL,"
    " UNIQUE(key, grp, component, instance));"
    "CREATE TABLE IF NOT EXISTS boot_status("
    " key TEXT NOT NULL, grp TEXT NOT NULL, component TEXT NOT NULL, instance TEXT NOT NULL,"
    " boot_id TEXT NOT NULL, restored INTEGER NOT NULL,"
    " PRIMARY KEY(key, grp, component, instance));"
    "PRAGMA user_version=1;";

#define ID_MATCH "key=?1 AND grp=?2 AND component=?3 AND instance=?4"
// Column 4: '!' when the body is not JSON of the stored form, else the JSON type of the value at
// ?5 ('' when absent); column 5: that value when it is a string. CASE keeps the JSON functions
// off a body that is not JSON (they would fail the whole statement).
#define STRING_VALUE_COLUMNS                                      \
  "key, grp, component, instance,"                                \
  " CASE WHEN NOT json_valid(body) THEN '!'"                      \
  "  WHEN json_type(body, '$.values') IS NOT 'object'"            \
  "   OR json_type(body, '$.subObjects') IS NOT 'array' THEN '!'" \
  "  ELSE coalesce(json_type(body, ?5), '') END,"                 \
  " CASE WHEN NOT json_valid(body) THEN NULL"                     \
  "  WHEN json_type(body, ?5) = 'text' THEN json_extract(body, ?5) END"

constexpr const char* kStatementSql[] = {
    "SELECT body FROM objects WHERE " ID_MATCH,
    "SELECT key, grp, component, instance, body FROM objects"
    " WHERE key=?1 AND grp=?2 AND component=?3 ORDER BY seq",
    "SELECT key, grp, component, instance, body FROM objects WHERE " ID_MATCH " ORDER BY seq",
    "SELECT " STRING_VALUE_COLUMNS
    " FROM objects WHERE key=?1 AND grp=?2 AND component=?3 ORDER BY seq",
    "SELECT " STRING_VALUE_COLUMNS " FROM objects WHERE " ID_MATCH " ORDER BY seq",
    "INSERT INTO objects(key, grp, component, instance, body) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(key, grp, component, instance) DO UPDATE SET body=excluded.body",
    "UPDATE objects SET body=?5 WHERE " ID_MATCH,
    "DELETE FROM objects WHERE " ID_MATCH,
    "DELETE FROM objects WHERE key=?1 AND grp=?2 AND component=?3",
    "INSERT INTO objects(key, grp, component, instance, body) VALUES(?1, ?2, ?3, ?4, ?5)",
    "INSERT INTO boot_status(key, grp, component, instance, boot_id, restored)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(key, grp, component, instance)"
    " DO UPDATE SET boot_id=excluded.boot_id, restored=excluded.restored",
    "SELECT boot_id, restored FROM boot_status WHERE " ID_MATCH,
    "BEGIN IMMEDIATE",
    "COMMIT",
    "PRAGMA data_version",
};

#undef STRING_VALUE_COLUMNS
#undef ID_MATCH

// Creates the missing directories of `path` (0700) and the file itself (0600).
void PrepareFile(const std::string& path) {
  std::string dir;
  if (const int err = Har::CreateParentDirectories(path, Har::kPrivateDirMode, &dir); err != 0) {
    throw ConfigStoreException("configuration store " + path + ": cannot create directory " + dir +
                               ": " + std::strerror(err));
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {
    throw ConfigStoreException("configuration store " + path +
                               ": cannot create the file: " + std::strerror(errno));
  }
}

}  // namespace

// A cached prepared statement in use: bound values refer to the caller's strings, which must
// outlive it; the statement is reset when this goes out of scope.
class Database::Statement {
 public:
  Statement(Database& db, StatementId which) : db_(db), stmt_(db.Prepare(which)) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::string_view text) {
    Check(
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC));
    return *this;
  }
  Statement& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& BindId(const ConfigStoreObjectId& id) {
    return Bind(1, id.key).Bind(2, id.group).Bind(3, id.component).Bind(4, id.instance);
  }

  // True while a row is available.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
      return true;
    }
    if (rc != SQLITE_DONE) {
      db_.Fail("statement failed");
    }
    return false;
  }

  std::string Text(int column, std::size_t maxBytes) {
    const int bytes = sqlite3_column_bytes(stmt_, column);
    if (sqlite3_column_type(stmt_, column) != SQLITE_TEXT || bytes < 0 ||
        static_cast<std::size_t>(bytes) > maxBytes) {
      throw ConfigStoreException("configuration store " + db_.path_ +
                                 ": a stored row is malformed (column " + std::to_string(column) +
                                 ")");
    }
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return std::string(p == nullptr ? "" : p, static_cast<std::size_t>(bytes));
  }

  // The object id held by the first four columns (key, group, component, instance).
  ConfigStoreObjectId Id() {
    return ConfigStoreObjectId(Text(0, Codec::kMaxNameLength), Text(1, Codec::kMaxNameLength),
                               Text(2, Codec::kMaxNameLength), Text(3, Codec::kMaxNameLength));
  }

  bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  int Changes() const { return sqlite3_changes(db_.db_.get()); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) {
      db_.Fail("binding a value failed");
    }
  }

  Database& db_;
  sqlite3_stmt* stmt_;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back when left without Commit().
class Database::Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) { Statement(db_, kBegin).Step(); }
  ~Transaction() {
    if (!committed_) {
      sqlite3_exec(db_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit() {
    Statement(db_, kCommit).Step();
    committed_ = true;
  }

 private:
  Database& db_;
  bool committed_ = false;
};

Database::Database(std::string path, OpenMode mode) : path_(std::move(path)), mode_(mode) {
  if (path_.empty()) {
    throw ConfigStoreException("configuration store: empty database path");
  }
  if (mode_ == OpenMode::ReadOnly) {
    OpenReadOnly();
    return;
  }
  if (path_ != kMemoryPath) {
    PrepareFile(path_);
    // Taken before opening: a file replaced meanwhile only costs the owner one more reopen.
    file_ = IdOf(path_);
  }
  OpenConnection();
  CreateSchema();
}

void Database::OpenReadOnly() {
  file_ = IdOf(path_);
  if (!file_) {
    throw ConfigStoreException("configuration store " + path_ + ": " + std::strerror(errno));
  }
  OpenConnection();
  if (const int version = SchemaVersion(); version != kSchemaVersion) {
    throw ConfigStoreException("configuration store " + path_ +
                               ": not a configuration store (schema version " +
                               std::to_string(version) + ")");
  }
}

std::optional<Database::FileId> Database::IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool Database::PathNamesAnotherFile() const {
  if (!file_) {
    return false;
  }
  const std::optional<FileId> now = IdOf(path_);
  return now && *now != *file_;
}

void Database::OpenConnection() {
  sqlite3* raw = nullptr;
  const bool readOnly = mode_ == OpenMode::ReadOnly;
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    Fail("cannot open the database");
  }
  if (!readOnly && sqlite3_db_readonly(db_.get(), "main") != 0) {
    throw ConfigStoreException("configuration store " + path_ + ": the database file is read-only");
  }
  sqlite3_extended_result_codes(db_.get(), 1);
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  Exec("PRAGMA trusted_schema=OFF; PRAGMA cell_size_check=ON; PRAGMA secure_delete=ON;");
  if (readOnly || path_ == kMemoryPath) {
    return;
  }
  Exec("PRAGMA journal_mode=WAL");
  sqlite3_stmt* raw_stmt = nullptr;
  if (sqlite3_prepare_v2(db_.get(), "PRAGMA journal_mode", -1, &raw_stmt, nullptr) != SQLITE_OK) {
    Fail("cannot read the journal mode");
  }
  std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt(raw_stmt);
  const bool wal =
      sqlite3_step(stmt.get()) == SQLITE_ROW && sqlite3_column_type(stmt.get(), 0) == SQLITE_TEXT &&
      std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0))) == "wal";
  if (!wal) {
    Fail("cannot switch to the WAL journal");
  }
  Exec("PRAGMA synchronous=FULL");
}

int Database::SchemaVersion() {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(), "PRAGMA user_version", -1, &raw, nullptr) != SQLITE_OK) {
    Fail("cannot read the schema version");
  }
  std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt(raw);
  const int rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW) {
    Fail("cannot read the schema version");
  }
  return sqlite3_column_int(stmt.get(), 0);
}

void Database::CreateSchema() {
  Exec("BEGIN IMMEDIATE");
  const int version = SchemaVersion();
  if (version != 0 && version != kSchemaVersion) {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw ConfigStoreException("configuration store " + path_ + ": unsupported schema version " +
                               std::to_string(version));
  }
  if (version == 0) {
    Exec(kSchemaSql);
  }
  Exec("COMMIT");
}

void Database::Exec(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message);
  std::string text = message != nullptr ? message : "";
  sqlite3_free(message);
  if (rc != SQLITE_OK) {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw ConfigStoreException("configuration store " + path_ + ": " + text);
  }
}

sqlite3_stmt* Database::Prepare(StatementId which) {
  auto& slot = statements_[which];
  if (!slot) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db_.get(), kStatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, &raw,
                           nullptr) != SQLITE_OK) {
      Fail("cannot prepare a statement");
    }
    slot.reset(raw);
  }
  return slot.get();
}

void Database::Fail(const std::string& what) const {
  std::string cause = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
  throw ConfigStoreException("configuration store " + path_ + ": " + what + ": " + cause);
}

std::optional<std::string> Database::LoadBody(const ConfigStoreObjectId& id) {
  Statement s(*this, kLoadBody);
  s.BindId(id);
  if (!s.Step()) {
    return std::nullopt;
  }
  return s.Text(0, Codec::kMaxTextSize);
}

std::vector<Database::Row> Database::LoadRows(const ConfigStoreObjectId& id) {
  Statement s(*this, id.instance.empty() ? kLoadAll : kLoadOne);
  s.Bind(1, id.key).Bind(2, id.group).Bind(3, id.component);
  if (!id.instance.empty()) {
    s.Bind(4, id.instance);
  }
  std::vector<Row> rows;
  while (s.Step()) {
    Row row;
    row.id = s.Id();
    row.body = s.Text(4, Codec::kMaxTextSize);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Database::ValueRow> Database::LoadStringValues(const ConfigStoreObjectId& id,
                                                           const std::string& jsonPath) {
  Statement s(*this, id.instance.empty() ? kValuesAll : kValuesOne);
  s.Bind(1, id.key).Bind(2, id.group).Bind(3, id.component).Bind(5, jsonPath);
  if (!id.instance.empty()) {
    s.Bind(4, id.instance);
  }
  std::vector<ValueRow> rows;
  while (s.Step()) {
    ValueRow row;
    row.id = s.Id();
    row.wellFormed = s.Text(4, Codec::kMaxNameLength) != "!";
    if (row.wellFormed && !s.IsNull(5)) {
      row.value = s.Text(5, Codec::kMaxTextSize);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

Database::ChangeStamp Database::CurrentChangeStamp() {
  Statement s(*this, kDataVersion);
  if (!s.Step()) {
    Fail("cannot read the data version");
  }
  return {s.Int(0), sqlite3_total_changes64(db_.get())};
}

void Database::Upsert(const ConfigStoreObjectId& id, const std::string& body) {
  Statement s(*this, kUpsert);
  s.BindId(id).Bind(5, body).Step();
}

bool Database::Replace(const ConfigStoreObjectId& id, const std::string& body) {
  Statement s(*this, kReplace);
  s.BindId(id).Bind(5, body).Step();
  return s.Changes() > 0;
}

bool Database::Remove(const ConfigStoreObjectId& id) {
  Statement s(*this, kRemove);
  s.BindId(id).Step();
  return s.Changes() > 0;
}

void Database::ReplaceSelection(const ConfigStoreObjectId& selection,
                                const std::vector<Row>& rows) {
  Transaction tx(*this);
  {
    Statement s(*this, kRemoveSelection);
    s.Bind(1, selection.key).Bind(2, selection.group).Bind(3, selection.component).Step();
  }
  for (const Row& row : rows) {
    Statement s(*this, kInsert);
    s.BindId(row.id).Bind(5, row.body).Step();
  }
  tx.Commit();
}

void Database::SaveBootStatus(const ConfigStoreObjectId& id, const std::string& bootId,
                              bool restored) {
  Statement s(*this, kSaveBoot);
  s.BindId(id).Bind(5, bootId).Bind(6, int64_t{restored ? 1 : 0}).Step();
}

std::optional<std::pair<std::string, bool>> Database::LoadBootStatus(
    const ConfigStoreObjectId& id) {
  Statement s(*this, kLoadBoot);
  s.BindId(id);
  if (!s.Step()) {
    return std::nullopt;
  }
  std::string bootId = s.Text(0, Codec::kMaxNameLength);
  return std::make_pair(std::move(bootId), s.Int(1) != 0);
}

}  // namespace OvikConfigStore
