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

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

Error SqliteError(int rc, std::string_view message, std::string_view sql) {
  std::int64_t number = kErrDbFailed;
  switch (rc & 0xff) {
    // The file is gone, unreadable, read-only or the disk is full: nothing later will succeed
    // either, so these end the loops over the database as a lost server does.
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_FULL:
    case SQLITE_PERM:
    case SQLITE_READONLY:
      number = kErrDbUnspecified;
      break;
    case SQLITE_CONSTRAINT:
      number = kErrDbIntegrity;
      break;
    case SQLITE_TOOBIG:
      number = kErrDbTooLong;
      break;
    case SQLITE_MISMATCH:
      number = kErrDbConversion;
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_INTERRUPT:
    case SQLITE_SCHEMA:
      number = kErrDbAborted;
      break;
    case SQLITE_AUTH:
      number = kErrDbPermission;
      break;
    case SQLITE_ERROR:
      // A statement SQLite could not compile (bad syntax, unknown table or column) is a
      // rejected statement; anything else failed while running.
      for (std::string_view part :
           {"syntax error", "no such", "incomplete input", "unrecognized token", "has no column",
            "ambiguous column", "values were supplied", "wrong number of arguments",
            "already exists"}) {
        if (Contains(message, part)) number = kErrDbStatement;
      }
      if (Contains(message, "datatype mismatch")) number = kErrDbConversion;
      break;
    default:
      break;
  }
  return Error(number, WithStatement(message, sql));
}

std::int64_t PostgresErrorNumber(std::string_view state, std::string_view message) {
  auto cls = state.substr(0, 2);
  // A server that went away answers with a connection class state (08...) or an operator
  // intervention (57P01 shut down, 57P02 crash, 57P03 cannot connect now, 57P04 database
  // dropped).
  if (cls == "08" || state == "57P01" || state == "57P02" || state == "57P03" || state == "57P04") {
    return kErrDbUnspecified;
  }
  // A failure libpq found itself (no state) on a connection that is still good.
  if (state.empty()) return kErrDbFailed;
  if (cls == "23") return kErrDbIntegrity;
  if (state == "22001" || state == "22003" || state == "22026") return kErrDbTooLong;
  if (state == "22012") return kErrDbFailed;  // division by zero
  if (cls == "22") return kErrDbConversion;
  if (state == "42501") return kErrDbPermission;
  if (state == "42601" && Contains(message, "multiple commands")) return kErrDbMultiple;
  if (cls == "42") return kErrDbStatement;
  // Deadlock, serialization failure, lock not available, cancelled or timed out, out of
  // resources (disk full, memory, connections): the server is there and may do it later.
  if (cls == "40" || cls == "53" || state == "55P03" || state == "57014") return kErrDbAborted;
  return kErrDbFailed;
}

Error PostgresError(const pg_result* result, std::string_view message, bool connection_bad,
                    std::string_view sql) {
  std::string state;
  if (result != nullptr) {
    const char* s = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (s != nullptr) state = s;
  }
  std::int64_t number =
      connection_bad || result == nullptr ? kErrDbUnspecified : PostgresErrorNumber(state, message);
  std::string text(message);
  if (!state.empty()) text = state + ": " + text;
  return Error(number, WithStatement(text, sql));
}

Error MultipleStatementsError(std::string_view sql) {
  return Error(kErrDbMultiple,
               WithStatement("The text holds more than one statement; none of it was run", sql));
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
