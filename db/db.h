// The database layer: one open connection and recordsets over it, in the manner the driver's
// routines were written for (cursor types, field reads by name, AddNew/Update), with two
// backends behind one interface:
//
//   SQLite (the embedded default)   "sqlite:/var/lib/ordane/ordane.db"  (also a bare path, and
//                                   "sqlite::memory:" for a private in-memory database)
//   PostgreSQL (libpq)              "postgresql://host:port/dbname?..." or "postgres://...", or
//                                   "pg:" followed by a libpq key=value string
//                                   ("pg:host=127.0.0.1 port=5432 dbname=ordane")
//
// User and password given to Open override those in the string when not empty (SQLite ignores
// them). Statements are written in the SQL Server style with bracketed names ("[cBuffer]");
// both backends accept them: for PostgreSQL every bracketed name outside string literals is
// rewritten as the plain lower-case name, which is how the tables are created there.
//
// Every text runs exactly one statement (a trailing ";" is allowed): a text that holds a second
// statement is refused whole and nothing of it runs. On PostgreSQL the session has
// standard_conforming_strings on, so a doubled quote is the only escape inside a literal.
//
// Every failure is an ordane::Error with the number the routines test (README.md has the list):
//   kErrObjectNotSet (91)         a connection that was never opened
//   kErrClosedObject (3704)       a closed connection or recordset
//   kErrObjectInvalid (3420)      a connection whose database was lost earlier
//   kErrDbUnspecified (80004005)  the database is gone: unreachable, shut down, connection
//                                 broken or silent past its time limit, file gone or unwritable;
//                                 the connection is lost from then on
//   other 80040Exx numbers        a statement the reachable database refused (syntax, constraint,
//                                 value too long, deadlock, ...); the connection stays usable
//   kErrItemNotFound (3265)       a field that the recordset does not have
//   kErrEofOrBof (3021)           a field read or update with no current row
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ordane::db {

enum class CursorType { kForwardOnly = 0, kKeyset = 1, kDynamic = 2, kStatic = 3 };
enum class LockType { kReadOnly = 1, kPessimistic = 2, kOptimistic = 3, kBatchOptimistic = 4 };
enum class CursorLocation { kServer = 2, kClient = 3 };

enum class Backend { kNone, kSqlite, kPostgres };

// The rows a query returned, read completely: column names as the database gives them and each
// value as text (nullopt for NULL).
struct ResultSet {
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

// One open database connection. Not thread-safe: one thread uses a connection at a time.
class Connection {
 public:
  virtual ~Connection() = default;

  // Opens the database named by `cxn` (forms above). Throws Error(kErrDbUnspecified) when it
  // cannot be reached or opened; an already open connection is closed first.
  virtual void Open(const std::string& cxn, const std::string& user, const std::string& pw) = 0;
  // Runs one statement and discards any rows.
  virtual void Execute(const std::string& sql) = 0;
  // Runs one query and returns all of its rows.
  virtual ResultSet Query(const std::string& sql) = 0;
  // Runs one statement with $1..$n style parameters (given as "?" in `sql`), returning the rows
  // of a RETURNING clause if it has one. Used by Recordset::Update so that no value is ever
  // spliced into SQL text.
  virtual ResultSet QueryParams(const std::string& sql,
                                const std::vector<std::optional<std::string>>& params) = 0;
  // The columns of `table`'s primary key, in key order; empty when it has none. Throws when the
  // table does not exist.
  virtual std::vector<std::string> PrimaryKey(const std::string& table) = 0;
  // Closes the connection; closing a closed connection does nothing.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual Backend backend() const = 0;
  // The statement as this backend will run it ("#...#" dates as ISO texts; bracketed names
  // rewritten for PostgreSQL).
  virtual std::string Prepare(std::string_view sql) const = 0;
};

// A connection that picks its backend from the string given to Open.
std::unique_ptr<Connection> NewConnection();

// The backend a connection string names (kNone when the form is not recognised).
Backend BackendOf(std::string_view cxn);

// `sql` with every [name] outside string literals replaced by the lower-cased name (and every
// other name outside literals left as written): how a statement is sent to PostgreSQL.
std::string RewriteBrackets(std::string_view sql);
// One bracketed name's inside ("My Col" of "[My Col]") as PostgreSQL is sent it: the lower-cased
// name, or a quoted identifier when it is not a plain name.
std::string BracketedName(std::string_view inner);

// `sql` with every "#...#" date literal outside string literals ("#12/05/2026 10:11:12#",
// "#2026-12-05#"; month first) written as an ISO text literal ('2026-12-05 10:11:12'), which
// both backends read as a date. Done for every statement, since some are sent as written.
// `dialect` picks the quoting rules of the text (kNone: what both backends share).
std::string RewriteDateLiterals(std::string_view sql, Backend dialect = Backend::kNone);

// Runs `f` in one transaction on `c`: committed when it returns, rolled back when it throws (the
// exception goes on to the caller). On SQLite the transaction takes the write lock when it
// begins (waiting for another writer as any statement does): one that began as a reader could
// not write once another connection had committed after its first read.
template <class F>
void InTransaction(Connection& c, F&& f) {
  c.Execute(c.backend() == Backend::kSqlite ? "BEGIN IMMEDIATE" : "BEGIN");
  try {
    f();
    c.Execute("COMMIT");
  } catch (...) {
    try {
      c.Execute("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
}

// A recordset: the rows of one query held on the client, a current row, and for single-table
// queries ("select * from skeds where ...") the means to add and change rows.
//
// All cursor types behave as a static client-side cursor (the driver reads every recordset to
// its end and closes it); forward-only is accepted for MoveFirst as well. Field names are
// matched without regard to case. An Update writes only the fields that were set, and finds
// the row to change by the table's primary key (the database's row identity when it has none).
class Recordset {
 public:
  Recordset() = default;
  ~Recordset() = default;
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Runs `sql` on `c` and places the current row on the first row. Throws Error(kErrClosedObject)
  // when `c` is closed, or the statement's error.
  void Open(const std::string& sql, Connection& c, CursorType = CursorType::kForwardOnly,
            LockType = LockType::kOptimistic, CursorLocation = CursorLocation::kClient);
  bool IsOpen() const { return open_; }
  void Close();

  // True when there is no current row (an empty result, or moved past the last row). Spelled
  // Eof because EOF is a macro of the C library.
  bool Eof() const;
  bool Bof() const;
  void MoveNext();
  void MoveFirst();
  void MoveLast();
  std::size_t RecordCount() const;

  // The field of the current row as text: NULL reads as "", a missing field throws
  // Error(kErrItemNotFound), no current row throws Error(kErrEofOrBof).
  std::string Text(std::string_view field) const;
  // The same with NULL read as nullopt.
  std::optional<std::string> Value(std::string_view field) const;
  // The same, but NULL is an error (kErrInvalidUseOfNull, "Invalid use of Null").
  std::string Required(std::string_view field) const;
  // The names of the fields, as the database gives them.
  const std::vector<std::string>& Fields() const { return columns_; }
  bool HasField(std::string_view field) const;

  // Starts a new row (all fields NULL) that becomes the current row; Update inserts it.
  void AddNew();
  // Sets a field of the current row (or of the new row); nullopt sets NULL.
  void Set(std::string_view field, std::optional<std::string> value);
  // Inserts the new row or updates the current row with the fields that were set, then reads
  // back the row as the database holds it (defaults and generated keys included). Throws
  // Error(kErrNotSupported) on a read-only recordset or a query that joins tables, and
  // Error(kErrDbRowNotFound) when the row is no longer in the table. A change the
  // database refuses is dropped (a refused new row is removed), so a loop that reports the
  // error and moves on does not meet it again. Moving off a changed row updates it first.
  void Update();
  // Forgets the changes to the current row (or the new row).
  void CancelUpdate();

 private:
  std::size_t Column(std::string_view field) const;  // throws kErrItemNotFound
  void CheckOpen() const;
  void CheckRow() const;

  Connection* conn_ = nullptr;
  bool open_ = false;
  LockType lock_ = LockType::kOptimistic;
  std::string table_;  // the one table of the query, or empty
  std::vector<std::string> columns_;
  std::vector<std::vector<std::optional<std::string>>> rows_;
  std::size_t pos_ = 0;      // rows_.size() means EOF
  bool bof_ = false;         // moved before the first row
  bool adding_ = false;      // the current row is a new row (at rows_.back())
  std::vector<bool> dirty_;  // fields set since the last Update
  std::vector<std::optional<std::string>> original_;  // the current row as read
};

}  // namespace ordane::db
