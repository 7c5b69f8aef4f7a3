// Internal to db/: what each backend offers the dispatching Connection.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"
#include "db/sql_scan.h"

namespace ordane::db {

class BackendConnection {
 public:
  virtual ~BackendConnection() = default;
  virtual void Execute(const std::string& sql) = 0;
  virtual ResultSet Query(const std::string& sql) = 0;
  virtual ResultSet QueryParams(const std::string& sql,
                                const std::vector<std::optional<std::string>>& params) = 0;
  virtual std::vector<std::string> PrimaryKey(const std::string& table) = 0;
  // True when the database can no longer be reached through this connection.
  virtual bool Broken() const = 0;
};

// `target` is the text after "sqlite:" (a path or ":memory:").
std::unique_ptr<BackendConnection> OpenSqlite(const std::string& target);
// A PostgreSQL connection string split into what libpq reads and the driver's own option
// "query_timeout" (seconds a statement's answer may take before the link is given up as lost;
// 0 for no limit), which libpq would refuse: "...?query_timeout=30" or "query_timeout=30".
inline constexpr std::string_view kQueryTimeoutKey = "query_timeout";
inline constexpr int kDefaultQueryTimeout = 20;
struct PostgresOptions {
  std::string conninfo;
  int query_timeout = kDefaultQueryTimeout;
};
// Throws Error(kErrDbUnspecified) when query_timeout is not a whole number.
PostgresOptions SplitPostgresOptions(std::string_view conninfo);

// `conninfo` is a libpq URI or key=value string, with query_timeout allowed.
std::unique_ptr<BackendConnection> OpenPostgres(const std::string& conninfo,
                                                const std::string& user,
                                                const std::string& password);

// Calls `plain(text)` for each run of `sql` outside string literals, quoted names and comments
// (bracketed names are plain text) and `quoted(text)` for each literal, quoted name or comment
// (quotes included), in order, by the quoting rules of `dialect`.
template <class Plain, class Quoted>
void ScanSql(std::string_view sql, Backend dialect, Plain&& plain, Quoted&& quoted) {
  std::size_t start = 0, at = 0;
  for (const SqlToken& t : TokenizeSql(sql, dialect)) {
    if (t.kind == TokenKind::kString || t.kind == TokenKind::kQuotedName ||
        t.kind == TokenKind::kComment) {
      if (at > start) plain(sql.substr(start, at - start));
      quoted(t.text);
      start = at + t.text.size();
    }
    at += t.text.size();
  }
  if (start < sql.size()) plain(sql.substr(start));
}

}  // namespace ordane::db
