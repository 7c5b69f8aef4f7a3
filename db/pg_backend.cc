// The PostgreSQL backend (libpq), for installations where many computers share one database.
#include <libpq-fe.h>

#include <string>

#include "db/backend.h"
#include "db/errors.h"

namespace ordane::db {
namespace {

void IgnoreNotice(void*, const char*) {}

// "?" placeholders outside literals become $1, $2, ...
std::string NumberPlaceholders(const std::string& sql) {
  std::string out;
  int n = 0;
  ScanSql(
      sql,
      [&](std::string_view plain) {
        for (char c : plain) {
          if (c == '?') {
            out += '$' + std::to_string(++n);
          } else {
            out += c;
          }
        }
      },
      [&](std::string_view quoted) { out += quoted; });
  return out;
}

class PgConnection final : public BackendConnection {
 public:
  explicit PgConnection(PGconn* conn) : conn_(conn) {
    PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
  }
  ~PgConnection() override { PQfinish(conn_); }

  void Execute(const std::string& sql) override { Check(PQexec(conn_, sql.c_str()), sql); }

  ResultSet Query(const std::string& sql) override {
    return Check(PQexec(conn_, sql.c_str()), sql);
  }

  ResultSet QueryParams(const std::string& sql,
                        const std::vector<std::optional<std::string>>& params) override {
    std::string numbered = NumberPlaceholders(sql);
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    return Check(PQexecParams(conn_, numbered.c_str(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0),
                 sql);
  }

  std::vector<std::string> PrimaryKey(const std::string& table) override {
    ResultSet exists = QueryParams("SELECT to_regclass(?) IS NOT NULL", {table});
    if (exists.rows.empty() || exists.rows[0][0].value_or("f") != "t") {
      throw Error(kErrDbStatement, "no such table: " + table);
    }
    ResultSet rs = QueryParams(
        "SELECT a.attname FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid "
        "AND a.attnum = ANY(i.indkey) WHERE i.indrelid = to_regclass(?) AND i.indisprimary "
        "ORDER BY array_position(i.indkey::int2[], a.attnum)",
        {table});
    std::vector<std::string> key;
    for (const auto& row : rs.rows) key.push_back(row[0].value_or(""));
    return key;
  }

  bool Broken() const override { return PQstatus(conn_) == CONNECTION_BAD; }

 private:
  // Takes ownership of `res`: its rows, or the error it carries.
  ResultSet Check(PGresult* res, const std::string& sql) {
    struct Clear {
      PGresult* r;
      ~Clear() { PQclear(r); }
    } clear{res};
    ExecStatusType status = res != nullptr ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_EMPTY_QUERY) {
      std::string message = res != nullptr ? PQresultErrorMessage(res) : PQerrorMessage(conn_);
      if (message.empty()) message = PQerrorMessage(conn_);
      throw PostgresError(res, message, Broken(), sql);
    }
    ResultSet out;
    if (status != PGRES_TUPLES_OK) return out;
    int columns = PQnfields(res), rows = PQntuples(res);
    for (int c = 0; c < columns; ++c) out.columns.emplace_back(PQfname(res, c));
    out.rows.reserve(rows);
    for (int r = 0; r < rows; ++r) {
      auto& row = out.rows.emplace_back();
      row.reserve(columns);
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(res, r, c)) {
          row.emplace_back(std::nullopt);
        } else {
          row.emplace_back(std::string(PQgetvalue(res, r, c), PQgetlength(res, r, c)));
        }
      }
    }
    return out;
  }

  PGconn* conn_;
};

}  // namespace

std::unique_ptr<BackendConnection> OpenPostgres(const std::string& conninfo,
                                                const std::string& user,
                                                const std::string& password) {
  // Later keywords override earlier ones: the timeout is a default the string may change, the
  // user and password given to Open win over the string's.
  std::vector<const char*> keys = {"connect_timeout", "dbname"};
  std::vector<const char*> values = {"10", conninfo.c_str()};
  if (!user.empty()) {
    keys.push_back("user");
    values.push_back(user.c_str());
  }
  if (!password.empty()) {
    keys.push_back("password");
    values.push_back(password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    std::string message = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
    PQfinish(conn);
    throw PostgresError(nullptr, "Cannot connect to the database: " + message, true, {});
  }
  auto pg = std::make_unique<PgConnection>(conn);
  pg->Execute("SET client_min_messages = warning");
  return pg;
}

}  // namespace ordane::db
