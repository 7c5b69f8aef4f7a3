// The PostgreSQL backend (libpq), for installations where many computers share one database.
//
// Every statement goes through the extended query protocol, which the server refuses to run
// with more than one statement in it, and waits for its answer at most `query_timeout` seconds:
// the driver has one thread, and a server behind a link that silently stopped answering must
// not freeze it. TCP keepalives and a TCP user timeout catch a dead peer while the link is idle
// or data goes unacknowledged; the answer time limit catches a link whose far end still
// acknowledges but never answers (a stuck middlebox or server). The session's statement_timeout
// is set a little shorter, so that a statement that is merely slow is cancelled by the server
// (an ordinary, non-fatal error) before the link is given up as lost.
#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "db/backend.h"
#include "db/errors.h"
#include "util/text.h"

namespace ordane::db {
namespace {

void IgnoreNotice(void*, const char*) {}

// "?" placeholders outside literals become $1, $2, ...
std::string NumberPlaceholders(const std::string& sql) {
  std::string out;
  int n = 0;
  ScanSql(
      sql, Backend::kPostgres,
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
  PgConnection(PGconn* conn, int query_timeout) : conn_(conn), query_timeout_(query_timeout) {
    PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
  }
  ~PgConnection() override { PQfinish(conn_); }

  void Execute(const std::string& sql) override { Run(sql, sql, {}); }

  ResultSet Query(const std::string& sql) override { return Run(sql, sql, {}); }

  ResultSet QueryParams(const std::string& sql,
                        const std::vector<std::optional<std::string>>& params) override {
    return Run(NumberPlaceholders(sql), sql, params);
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

  bool Broken() const override { return silent_ || PQstatus(conn_) == CONNECTION_BAD; }

 private:
  // Sends one statement and waits for its answer within the time limit.
  ResultSet Run(const std::string& sql, const std::string& shown,
                const std::vector<std::optional<std::string>>& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                          values.data(), nullptr, nullptr, 0) == 0) {
      throw PostgresError(nullptr, PQerrorMessage(conn_), true, shown);
    }
    Await(shown);
    // One statement gives one result; any further ones are read and dropped.
    PGresult* first = PQgetResult(conn_);
    while (PGresult* more = PQgetResult(conn_)) PQclear(more);
    return Check(first, shown);
  }

  // Waits until the answer has arrived, or gives the link up after query_timeout_ seconds.
  void Await(const std::string& shown) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(query_timeout_);
    while (PQisBusy(conn_)) {
      int wait = -1;
      if (query_timeout_ > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        wait = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      }
      pollfd p{PQsocket(conn_), POLLIN, 0};
      int ready = poll(&p, 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        // Closed at once, so that nothing later (the final goodbye included) waits on it.
        silent_ = true;
        shutdown(PQsocket(conn_), SHUT_RDWR);
        throw Error(kErrDbUnspecified,
                    "No answer from the database server within " + std::to_string(query_timeout_) +
                        " seconds; the connection is given up [" + Left(shown, 300) + "]");
      }
      if (ready < 0 || PQconsumeInput(conn_) == 0) return;  // PQgetResult reports it
    }
  }

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
  int query_timeout_;
  bool silent_ = false;  // an answer did not come in time: the link is given up
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

PostgresOptions SplitPostgresOptions(std::string_view conninfo) {
  PostgresOptions out;
  std::string text(conninfo);
  std::string value;
  bool found = false;
  std::string lower = LCase(text);
  if (lower.starts_with("postgresql://") || lower.starts_with("postgres://")) {
    // URI: "?a=1&query_timeout=5&b=2"
    std::size_t q = text.find('?');
    if (q != std::string::npos) {
      std::string kept;
      std::size_t i = q + 1;
      while (i <= text.size()) {
        std::size_t amp = text.find('&', i);
        if (amp == std::string::npos) amp = text.size();
        std::string pair = text.substr(i, amp - i);
        if (LCase(pair).starts_with(std::string(kQueryTimeoutKey) + "=")) {
          value = pair.substr(kQueryTimeoutKey.size() + 1);
          found = true;
        } else if (!pair.empty()) {
          kept += (kept.empty() ? "" : "&") + pair;
        }
        i = amp + 1;
      }
      text = text.substr(0, q) + (kept.empty() ? "" : "?" + kept);
    }
  } else {
    // key = value pairs; a value may be quoted with '...' (backslash escapes inside).
    std::string kept;
    std::size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && IsBlank(text[i])) ++i;
      if (i >= text.size()) break;
      std::size_t start = i;
      while (i < text.size() && text[i] != '=' && !IsBlank(text[i])) ++i;
      std::string key = LCase(text.substr(start, i - start));
      while (i < text.size() && IsBlank(text[i])) ++i;
      std::string raw;
      if (i < text.size() && text[i] == '=') {
        ++i;
        while (i < text.size() && IsBlank(text[i])) ++i;
        std::size_t vstart = i;
        if (i < text.size() && text[i] == '\'') {
          ++i;
          while (i < text.size() && text[i] != '\'') i += text[i] == '\\' ? 2 : 1;
          i = std::min(i + 1, text.size());
          raw = text.substr(vstart + 1, i - vstart - 2);
        } else {
          while (i < text.size() && !IsBlank(text[i])) i += text[i] == '\\' ? 2 : 1;
          i = std::min(i, text.size());
          raw = text.substr(vstart, i - vstart);
        }
      }
      if (key == kQueryTimeoutKey) {
        value = raw;
        found = true;
      } else {
        kept += (kept.empty() ? "" : " ") + text.substr(start, i - start);
      }
    }
    text = kept;
  }
  out.conninfo = text;
  if (found) {
    std::string v = Trim(value);
    bool digits =
        !v.empty() && v.size() <= 6 && v.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) {
      throw Error(kErrDbUnspecified, std::string(kQueryTimeoutKey) +
                                         " must be a whole number of seconds (0 for no limit), "
                                         "not \"" +
                                         value + "\"");
    }
    out.query_timeout = std::stoi(v);
  }
  return out;
}

std::unique_ptr<BackendConnection> OpenPostgres(const std::string& conninfo,
                                                const std::string& user,
                                                const std::string& password) {
  PostgresOptions options = SplitPostgresOptions(conninfo);
  // Later keywords override earlier ones: the time limits are defaults the string may change
  // (it is expanded in place of "dbname"), the user and password given to Open win over the
  // string's. A peer that is gone is noticed within about 25 s: keepalive probes after 10 s
  // idle, 3 more 5 s apart; data unacknowledged for 20 s drops the connection.
  std::vector<const char*> keys = {
      "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
      "keepalives_count", "tcp_user_timeout", "dbname"};
  std::vector<const char*> values = {"10", "1", "10", "5", "3", "20000", options.conninfo.c_str()};
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
  auto pg = std::make_unique<PgConnection>(conn, options.query_timeout);
  pg->Execute("SET client_min_messages = warning");
  // Doubled quotes are the only escape inside a literal, whatever the server's default: the
  // driver builds statements from panel and file texts by doubling their quotes.
  pg->Execute("SET standard_conforming_strings = on");
  if (options.query_timeout > 0) {
    int ms = options.query_timeout * 1000 - std::min(5000, options.query_timeout * 250);
    pg->Execute("SET statement_timeout = " + std::to_string(ms));
  }
  return pg;
}

}  // namespace ordane::db
