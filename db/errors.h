// Internal to db/: the one place where the backends' failures become ordane::Error numbers.
#pragma once

#include <string>
#include <string_view>

#include "util/error.h"

struct pg_conn;
struct pg_result;

namespace ordane::db {

// An SQLite result code and message (sqlite3_errmsg) as the error the driver tests.
Error SqliteError(int rc, std::string_view message, std::string_view sql);
// A failed libpq call: `result` may be null (no answer at all). `connection_bad` says whether
// the connection is gone after it.
Error PostgresError(const pg_result* result, std::string_view message, bool connection_bad,
                    std::string_view sql);
// The error of an operation on a connection that is not usable.
Error NotOpenError(bool ever_opened, bool lost);

}  // namespace ordane::db
