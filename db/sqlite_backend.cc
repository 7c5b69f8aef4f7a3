// The SQLite backend: the embedded default, one database file shared by the driver, the event
// service and the tools (write-ahead log and a busy timeout let them take turns).
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "db/backend.h"
#include "db/errors.h"

namespace ordane::db {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// The file's identity, to notice that the database file was removed or replaced under an open
// connection: SQLite goes on writing to the removed file (no error at all in write-ahead
// mode), and every row written after that would be lost with it.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> IdOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

class SqliteConnection final : public BackendConnection {
 public:
  // `path` is the file to watch, empty for an in-memory database.
  SqliteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  // From now on a statement first checks that the file is still the one opened.
  void Watch() {
    if (!path_.empty()) id_ = IdOf(path_);
  }
  ~SqliteConnection() override { sqlite3_close_v2(db_); }

  void Execute(const std::string& sql) override { QueryParams(sql, {}); }

  ResultSet Query(const std::string& sql) override { return QueryParams(sql, {}); }

  ResultSet QueryParams(const std::string& sql,
                        const std::vector<std::optional<std::string>>& params) override {
    if (id_ && IdOf(path_) != id_) {
      throw SqliteError(SQLITE_CANTOPEN,
                        "The database file \"" + path_ + "\" has been removed or replaced", sql);
    }
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
    if (rc != SQLITE_OK) Fail(rc, sqlite3_errmsg(db_), sql);
    struct Finalizer {
      sqlite3_stmt* s;
      ~Finalizer() { sqlite3_finalize(s); }
    } finalizer{stmt};
    // Whatever follows the first statement must be blanks, comments or semicolons, as SQLite
    // itself reads them; a second statement refuses the whole text before anything runs.
    const char* end = sql.c_str() + sql.size();
    while (tail != nullptr && tail < end) {
      sqlite3_stmt* more = nullptr;
      const char* after = nullptr;
      int mrc = sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &more, &after);
      sqlite3_finalize(more);
      if (mrc != SQLITE_OK || more != nullptr) throw MultipleStatementsError(sql);
      if (after == nullptr || after <= tail) break;
      tail = after;
    }
    if (stmt == nullptr) return {};  // only blanks or a comment
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

  // A file that is gone shows in the error number (see errors.cc), which the connection
  // marks as lost; there is no other state to ask.
  bool Broken() const override { return false; }

 private:
  [[noreturn]] void Fail(int rc, const std::string& message, const std::string& sql) {
    throw SqliteError(rc, message, sql);
  }

  sqlite3* db_;
  std::string path_;
  std::optional<FileId> id_;
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
  // The file as SQLite opened it (a "file:" URI or ":memory:" is not watched).
  std::string watched;
  if (target != ":memory:" && !target.starts_with("file:")) {
    std::error_code ec;
    watched = std::filesystem::absolute(target, ec).string();
    if (ec) watched = target;
  }
  auto conn = std::make_unique<SqliteConnection>(db, watched);
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
    conn->Watch();
  } catch (const Error& e) {
    throw Error(kErrDbUnspecified, "Cannot open database \"" + target + "\": " + e.what());
  }
  return conn;
}

}  // namespace ordane::db
