// Internal to db/: what each backend offers the dispatching Connection.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/db.h"

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
// `conninfo` is a libpq URI or key=value string.
std::unique_ptr<BackendConnection> OpenPostgres(const std::string& conninfo,
                                                const std::string& user,
                                                const std::string& password);

// Calls `plain(text)` for each run of `sql` outside string literals and quoted identifiers and
// `quoted(text)` for each literal or quoted identifier (quotes included), in order.
template <class Plain, class Quoted>
void ScanSql(std::string_view sql, Plain&& plain, Quoted&& quoted) {
  std::size_t i = 0, start = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (c == '\'' || c == '"') {
      if (i > start) plain(sql.substr(start, i - start));
      std::size_t j = i + 1;
      while (j < sql.size()) {
        if (sql[j] == c) {
          if (j + 1 < sql.size() && sql[j + 1] == c) {
            j += 2;  // a doubled quote stays inside
            continue;
          }
          break;
        }
        ++j;
      }
      std::size_t end = j < sql.size() ? j + 1 : sql.size();
      quoted(sql.substr(i, end - i));
      i = start = end;
    } else {
      ++i;
    }
  }
  if (start < sql.size()) plain(sql.substr(start));
}

}  // namespace ordane::db
