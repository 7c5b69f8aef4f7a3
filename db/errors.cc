#include "db/errors.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <string>

#include "util/text.h"

namespace ordane::db {
namespace {

std::string WithStatement(std::string_view message, std::string_view sql) {
  std::string text = Trim(ReplaceAll(ReplaceAll(message, "\r", " "), "\n", " "));
  if (!sql.empty()) {
    text += " [";
    text += Left(sql, 300);
    text += "]";
  }
  return text;
}

}  // namespace

Error SqliteError(int rc, std::string_view message, std::string_view sql) {
  std::int64_t number = kErrDbCommand;
  switch (rc & 0xff) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_PERM:
    case SQLITE_READONLY:
      number = kErrDbUnspecified;
      break;
    case SQLITE_ERROR:
      // A statement SQLite could not compile (bad syntax, unknown table or column) is what
      // the driver knows as a rejected statement; anything else failed while running.
      if (message.find("syntax error") != std::string_view::npos ||
          message.find("no such") != std::string_view::npos ||
          message.find("incomplete input") != std::string_view::npos ||
          message.find("unrecognized token") != std::string_view::npos ||
          message.find("has no column") != std::string_view::npos) {
        number = kErrDbStatement;
      }
      break;
    default:
      break;
  }
  return Error(number, WithStatement(message, sql));
}

Error PostgresError(const pg_result* result, std::string_view message, bool connection_bad,
                    std::string_view sql) {
  std::string state;
  if (result != nullptr) {
    const char* s = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (s != nullptr) state = s;
  }
  std::int64_t number = kErrDbCommand;
  // A server that went away answers with a connection class state (08...), an operator
  // intervention (57P01 shut down, 57P02 crash, 57P03 cannot connect now) or not at all.
  if (connection_bad || result == nullptr || state.starts_with("08") || state == "57P01" ||
      state == "57P02" || state == "57P03") {
    number = kErrDbUnspecified;
  } else if (state.starts_with("42")) {
    number = kErrDbStatement;
  }
  std::string text(message);
  if (!state.empty()) text = state + ": " + text;
  return Error(number, WithStatement(text, sql));
}

Error NotOpenError(bool ever_opened, bool lost) {
  if (lost) {
    return Error(kErrObjectInvalid, "The connection to the database has been lost");
  }
  if (!ever_opened) {
    return Error(kErrObjectNotSet, "Object variable or With block variable not set");
  }
  return Error(kErrClosedObject, "Operation is not allowed when the object is closed");
}

}  // namespace ordane::db
