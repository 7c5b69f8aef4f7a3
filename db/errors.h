// Internal to db/: the one place where the backends' failures become ordane::Error numbers.
//
// Only a database that is gone gives kErrDbUnspecified (80004005): the server unreachable or
// shut down, the connection broken or silent past its time limit, the SQLite file that cannot
// be opened, read or written. The connection is then marked lost. Everything a reachable
// database refuses gets a number that says what happened (README.md lists them), so that the
// routine reports it under its label and goes on.
#pragma once

#include <string>
#include <string_view>

#include "util/error.h"

struct pg_conn;
struct pg_result;

namespace ordane::db {

// An SQLite result code (extended codes allowed) and message (sqlite3_errmsg) as the error the
// driver tests.
Error SqliteError(int rc, std::string_view message, std::string_view sql);
// A failed libpq call: `result` may be null (no answer at all). `connection_bad` says whether
// the connection is gone after it.
Error PostgresError(const pg_result* result, std::string_view message, bool connection_bad,
                    std::string_view sql);
// The number for a PostgreSQL SQLSTATE of a statement the server answered (`connection_bad`
// false); exposed for the table-driven tests.
std::int64_t PostgresErrorNumber(std::string_view sqlstate, std::string_view message);
// A text that holds a second statement; it was not run.
Error MultipleStatementsError(std::string_view sql);
// The error of an operation on a connection that is not usable.
Error NotOpenError(bool ever_opened, bool lost);
// True when `e` says the database is gone, after which the connection is not used again.
inline bool IsLost(const Error& e) { return e.number() == kErrDbUnspecified; }

}  // namespace ordane::db
