// The SQLite backend: the embedded default, one database file shared by the driver, the event
// service and the tools (write-ahead log and a busy timeout let them take turns).
#include <sqlite3.h>

#include <string>

#include "db/backend.h"
#include "db/errors.h"

namespace ordane::db {
namespace {

constexpr int kBusyTimeoutMs = 10000;

class SqliteConnection final : public BackendConnection {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) {}
  ~SqliteConnection() override { sqlite3_close_v2(db_); }

  void Execute(const std::string& sql) override {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      std::string text = message != nullptr ? message : sqlite3_errstr(rc);
      sqlite3_free(message);
      Fail(rc, text, sql);
    }
  }

  ResultSet Query(const std::string& sql) override { return QueryParams(sql, {}); }

  ResultSet QueryParams(const std::string& sql,
                        const std::vector<std::optional<std::string>>& params) override {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
    if (rc != SQLITE_OK) Fail(rc, sqlite3_errmsg(db_), sql);
    if (stmt == nullptr) return {};  // only blanks or a comment
    struct Finalizer {
      sqlite3_stmt* s;
      ~Finalizer() { sqlite3_finalize(s); }
    } finalizer{stmt};
    for (std::size_t i = 0; i < params.size(); ++i) {
      int b = params[i] ? sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i]->data(),
                                            static_cast<int>(params[i]->size()), SQLITE_TRANSIENT)
                        : sqlite3_bind_null(stmt, static_cast<int>(i + 1));
      if (b != SQLITE_OK) Fail(b, sqlite3_errmsg(db_), sql);
    }
    ResultSet result;
    int n = sqlite3_column_count(stmt);
    for (int c = 0; c < n; ++c) result.columns.emplace_back(sqlite3_column_name(stmt, c));
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      auto& row = result.rows.emplace_back();
      row.reserve(n);
      for (int c = 0; c < n; ++c) {
        if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
          row.emplace_back(std::nullopt);
        } else {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
          row.emplace_back(std::string(text, sqlite3_column_bytes(stmt, c)));
        }
      }
    }
    if (rc != SQLITE_DONE) Fail(rc, sqlite3_errmsg(db_), sql);
    return result;
  }

  std::vector<std::string> PrimaryKey(const std::string& table) override {
    ResultSet info = QueryParams("SELECT name, pk FROM pragma_table_info(?) ORDER BY pk", {table});
    if (info.rows.empty()) {
      throw Error(kErrDbStatement, "no such table: " + table);
    }
    std::vector<std::string> key;
    for (const auto& row : info.rows) {
      if (row[1] && *row[1] != "0") key.push_back(row[0].value_or(""));
    }
    return key;
  }

  bool Broken() const override { return broken_; }

 private:
  [[noreturn]] void Fail(int rc, const std::string& message, const std::string& sql) {
    Error e = SqliteError(rc, message, sql);
    if ((rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT) broken_ = true;
    throw e;
  }

  sqlite3* db_;
  bool broken_ = false;
};

}  // namespace

std::unique_ptr<BackendConnection> OpenSqlite(const std::string& target) {
  if (target.empty()) throw Error(kErrDbUnspecified, "No database file given");
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(target.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw Error(kErrDbUnspecified, "Cannot open database \"" + target + "\": " + message);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  auto conn = std::make_unique<SqliteConnection>(db);
  // Opening is lazy in SQLite: touch the file now so that a file that is not a database fails
  // here, as an unreachable server would, and not at the first statement.
  try {
    conn->Execute("PRAGMA foreign_keys = OFF");
    if (target != ":memory:") {
      // Readers and the one writer do not block each other in the write-ahead log; a commit
      // is safe from the process dying at once and reaches the disk at the next checkpoint.
      conn->Query("PRAGMA journal_mode = WAL");
      conn->Execute("PRAGMA synchronous = NORMAL");
    }
    conn->Query("SELECT count(*) FROM sqlite_master");
  } catch (const Error& e) {
    throw Error(kErrDbUnspecified, "Cannot open database \"" + target + "\": " + e.what());
  }
  return conn;
}

}  // namespace ordane::db
