#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "core/error_list.h"
#include "db/backend.h"
#include "db/db.h"
#include "db/errors.h"
#include "db/pgtest.h"
#include "db/sql_scan.h"
#include "util/error.h"
#include "util/report.h"
#include "util/text.h"

namespace ordane::db {
namespace {

namespace fs = std::filesystem;

// The error number `f` throws, 0 when it throws none.
template <class F>
std::int64_t ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(RewriteBracketsTest, FoldsBracketedNamesOutsideLiterals) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"DELETE FROM [cBuffer] WHERE [Address] = '12.0'",
       "DELETE FROM cbuffer WHERE address = '12.0'"},
      {"select '[Keep]' from [T]", "select '[Keep]' from t"},
      {"update x set a='O''Brien [x]' where [b]=1", "update x set a='O''Brien [x]' where b=1"},
      {"select [My Col] from t", "select \"my col\" from t"},
      {"select \"[q]\" from t", "select \"[q]\" from t"},
      {"select a[1 from t", "select a[1 from t"},
      {"select 'unterminated [x]", "select 'unterminated [x]"},
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteBrackets(c.in), c.out) << c.in;
}

TEST(RewriteDateLiteralsTest, DatesOutsideLiteralsOnly) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"set [last_used] = #12/05/2026 10:11:12# where",
       "set [last_used] = '2026-12-05 10:11:12' where"},
      {"VALUES (0,#2026-12-05#,'10:11:12')", "VALUES (0,'2026-12-05','10:11:12')"},
      {"d = #1/2/2026 7:05#", "d = '2026-01-02 07:05:00'"},
      {"a = '#12/05/2026#' and b = #x#", "a = '#12/05/2026#' and b = #x#"},
      {"no dates here", "no dates here"},
      {"select a # b from t", "select a # b from t"},
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteDateLiterals(c.in), c.out) << c.in;
}

// Only a database that is gone gives the lost-database number; what a reachable database
// refuses says what happened.
TEST(ErrorNumberTest, EachFailureItsNumber) {
  struct SqliteCase {
    int rc;
    const char* message;
    std::int64_t number;
  } sqlite_cases[] = {
      {SQLITE_CONSTRAINT_UNIQUE, "UNIQUE constraint failed: t.id", kErrDbIntegrity},
      {SQLITE_TOOBIG, "string or blob too big", kErrDbTooLong},
      {SQLITE_MISMATCH, "datatype mismatch", kErrDbConversion},
      {SQLITE_BUSY, "database is locked", kErrDbAborted},
      {SQLITE_ERROR, "near \"selec\": syntax error", kErrDbStatement},
      {SQLITE_ERROR, "no such table: x", kErrDbStatement},
      {SQLITE_ERROR, "something else", kErrDbFailed},
      {SQLITE_IOERR_WRITE, "disk I/O error", kErrDbUnspecified},
      {SQLITE_CANTOPEN, "unable to open database file", kErrDbUnspecified},
      {SQLITE_READONLY_DBMOVED, "attempt to write a readonly database", kErrDbUnspecified},
      {SQLITE_FULL, "database or disk is full", kErrDbUnspecified},
  };
  for (const auto& c : sqlite_cases) {
    EXPECT_EQ(SqliteError(c.rc, c.message, "x").number(), c.number) << c.rc << " " << c.message;
  }
  struct PgCase {
    const char* state;
    const char* message;
    std::int64_t number;
  } pg_cases[] = {
      {"23505", "duplicate key value", kErrDbIntegrity},
      {"22001", "value too long for type character varying(5)", kErrDbTooLong},
      {"22P02", "invalid input syntax for type integer", kErrDbConversion},
      {"40P01", "deadlock detected", kErrDbAborted},
      {"57014", "canceling statement due to statement timeout", kErrDbAborted},
      {"53100", "could not extend file: No space left on device", kErrDbAborted},
      {"42601", "syntax error at or near", kErrDbStatement},
      {"42601", "cannot insert multiple commands into a prepared statement", kErrDbMultiple},
      {"42501", "permission denied for table t", kErrDbPermission},
      {"25P02", "current transaction is aborted", kErrDbFailed},
      {"", "libpq found it wrong", kErrDbFailed},
      {"57P01", "terminating connection due to administrator command", kErrDbUnspecified},
      {"08006", "connection failure", kErrDbUnspecified},
  };
  for (const auto& c : pg_cases) {
    EXPECT_EQ(PostgresErrorNumber(c.state, c.message), c.number) << c.state << " " << c.message;
  }
  EXPECT_EQ(PostgresError(nullptr, "server closed the connection", true, "").number(),
            kErrDbUnspecified);
}

TEST(SqlScanTest, SecondStatementsOutsideLiteralsAndComments) {
  struct Case {
    Backend dialect;
    const char* sql;
    bool second;
  } cases[] = {
      {Backend::kNone, "select 1", false},
      {Backend::kNone, "select 1;", false},
      {Backend::kNone, "select 1 ; ;\n -- the end\n", false},
      {Backend::kNone, "select 1; delete from t", true},
      {Backend::kNone, "select 'a;b', \"c;d\", [e;f] from t", false},
      {Backend::kNone, "select 'it''s; delete from t' from t", false},
      {Backend::kNone, "select 1 -- it's; delete from t\n", false},
      {Backend::kNone, "select 1 -- comment\n; delete from t", true},
      {Backend::kNone, "select 1 /* ; */ ; /* x */", false},
      {Backend::kSqlite, "select `a;b` from t", false},
      {Backend::kSqlite, "select 1 /* /* */ ; delete from t", true},
      {Backend::kPostgres, "select 1 /* /* */ ; delete from t */", false},
      {Backend::kPostgres, "select E'\\'; delete from t; --'", false},
      {Backend::kPostgres, "select '\\'; delete from t; --'", true},
      {Backend::kPostgres, "select $$;$$, $b$ $$; $b$; delete from t", true},
      {Backend::kPostgres, "select $1; select $a$;$a$", true},
  };
  for (const auto& c : cases) EXPECT_EQ(HasSecondStatement(c.sql, c.dialect), c.second) << c.sql;
  // Joined again, the tokens are the text.
  std::string sql = "select E'x\\'y' || $q$a'b$q$, [N] -- c\n/* d */ from \"t\" where a = 1.5e3;";
  std::string joined;
  for (const auto& t : TokenizeSql(sql, Backend::kPostgres)) joined += t.text;
  EXPECT_EQ(joined, sql);
}

TEST(PostgresOptionsTest, QueryTimeoutTakenOutOfTheString) {
  struct Case {
    const char* in;
    const char* conninfo;
    int timeout;
  } cases[] = {
      {"postgresql://u@h:5/db", "postgresql://u@h:5/db", kDefaultQueryTimeout},
      {"postgresql://u@h:5/db?query_timeout=7", "postgresql://u@h:5/db", 7},
      {"postgres://h/db?sslmode=disable&query_timeout=0&keepalives_idle=30",
       "postgres://h/db?sslmode=disable&keepalives_idle=30", 0},
      {"host=h query_timeout = 9 dbname='my db'", "host=h dbname='my db'", 9},
      {"host=h application_name='query_timeout=1' dbname=x",
       "host=h application_name='query_timeout=1' dbname=x", kDefaultQueryTimeout},
  };
  for (const auto& c : cases) {
    PostgresOptions o = SplitPostgresOptions(c.in);
    EXPECT_EQ(o.conninfo, c.conninfo) << c.in;
    EXPECT_EQ(o.query_timeout, c.timeout) << c.in;
  }
  EXPECT_THROW(SplitPostgresOptions("host=h query_timeout=soon"), Error);
}

TEST(BackendOfTest, RecognisesEachForm) {
  EXPECT_EQ(BackendOf("sqlite:/var/lib/ordane/ordane.db"), Backend::kSqlite);
  EXPECT_EQ(BackendOf("/tmp/x.db"), Backend::kSqlite);
  EXPECT_EQ(BackendOf("postgresql://u@h:5432/db"), Backend::kPostgres);
  EXPECT_EQ(BackendOf("pg:host=h dbname=d"), Backend::kPostgres);
  EXPECT_EQ(BackendOf("Provider=SQLOLEDB;Data Source=x"), Backend::kNone);
  EXPECT_EQ(BackendOf(""), Backend::kNone);
}

TEST(ConnectionStateTest, NeverOpenedClosedAndUnreachable) {
  auto c = NewConnection();
  EXPECT_EQ(ErrorOf([&] { c->Execute("select 1"); }), kErrObjectNotSet);
  Recordset rs;
  EXPECT_EQ(ErrorOf([&] { rs.Open("select 1", *c); }), kErrObjectNotSet);
  EXPECT_EQ(ErrorOf([&] { rs.Eof(); }), kErrClosedObject);
  c->Open("sqlite::memory:", "", "");
  c->Close();
  EXPECT_EQ(ErrorOf([&] { c->Execute("select 1"); }), kErrClosedObject);
  EXPECT_EQ(ErrorOf([&] { c->Open("sqlite:/nonexistent-dir/x/y.db", "", ""); }), kErrDbUnspecified);
  EXPECT_EQ(ErrorOf([&] { c->Open("Provider=SQLOLEDB;x=y", "", ""); }), kErrDbUnspecified);
  EXPECT_EQ(ErrorOf([&] { c->Open("postgresql://nobody@127.0.0.1:1/none", "", ""); }),
            kErrDbUnspecified);
  // A file that is not a database fails at Open, not later.
  fs::path junk = fs::temp_directory_path() / ("ordane-junk-" + std::to_string(getpid()));
  std::ofstream(junk) << "this is no database file at all, not one bit of it"
                      << std::string(60, '.');
  EXPECT_EQ(ErrorOf([&] { c->Open("sqlite:" + junk.string(), "", ""); }), kErrDbUnspecified);
  fs::remove(junk);
}

// The same cases on both backends.
class DbTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    c_ = NewConnection();
    if (GetParam() == Backend::kSqlite) {
      file_ = fs::temp_directory_path() / ("ordane-dbtest-" + std::to_string(getpid()) + ".db");
      fs::remove(file_);
      c_->Open("sqlite:" + file_.string(), "", "");
    } else {
      ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
      pg_ = std::move(pg);
      c_->Open(pg_->uri(), "", "");
    }
    c_->Execute(
        "CREATE TABLE cbuffer (id integer PRIMARY KEY, address varchar(50), msg varchar(255))");
    c_->Execute(
        "CREATE TABLE skeds (sked_id integer NOT NULL, controller_address varchar(50) NOT NULL, "
        "description varchar(255), days varchar(10), PRIMARY KEY (sked_id, controller_address))");
    c_->Execute("CREATE TABLE nokey (a varchar(10), b integer)");
  }
  void TearDown() override {
    if (c_) c_->Close();
    if (!file_.empty()) {
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file_.string() + suffix);
    }
  }

  std::unique_ptr<TempPostgres> pg_;
  std::unique_ptr<Connection> c_;
  fs::path file_;
};

TEST_P(DbTest, BracketedNamesAndDoubledQuotes) {
  c_->Execute(
      "INSERT INTO [cBuffer] ([id], [address], [MSG]) VALUES (1, '12.0', 'O''Brien''s 324 2 1')");
  c_->Execute("insert into cBuffer (id, address, msg) values (2, '12.1', '[not a name]')");
  Recordset rs;
  rs.Open("select * from [cBuffer] where [Address] = '12.0'", *c_);
  ASSERT_FALSE(rs.Eof());
  EXPECT_EQ(rs.Text("MSG"), "O'Brien's 324 2 1");
  rs.Open("select msg from cbuffer where address like '12.%' order by id", *c_);
  rs.MoveNext();
  EXPECT_EQ(rs.Text("msg"), "[not a name]");
  // A date literal in the "#" form, in a statement sent as written.
  c_->Execute("CREATE TABLE p (id integer primary key, last_used varchar(30))");
  c_->Execute("insert into p values (1, NULL)");
  c_->Execute("update p set [last_used] = #12/05/2026 10:11:12# where id = 1");
  rs.Open("select last_used from p", *c_);
  EXPECT_EQ(rs.Text("last_used"), "2026-12-05 10:11:12");
  c_->Execute("DELETE FROM [cBuffer] WHERE [Address] = '12.0'");
  rs.Open("select * from cBuffer", *c_);
  EXPECT_EQ(rs.RecordCount(), 1u);
}

TEST_P(DbTest, EmptySelectThenAddNewAndUpdate) {
  Recordset rs;
  rs.Open("SELECT *\n  FROM [Skeds]\n WHERE controller_address = '12.0' and sked_id = 3", *c_,
          CursorType::kKeyset);
  EXPECT_TRUE(rs.Eof());
  EXPECT_TRUE(rs.Bof());
  EXPECT_EQ(ErrorOf([&] { rs.Text("description"); }), kErrEofOrBof);
  rs.AddNew();
  rs.Set("SKED_ID", "3");
  rs.Set("Controller_Address", "12.0");
  rs.Set("description", "Night's shift");
  rs.Update();
  EXPECT_FALSE(rs.Eof());
  EXPECT_EQ(rs.Text("days"), "");
  EXPECT_EQ(rs.Value("days"), std::nullopt);
  // A second AddNew on the same recordset adds another row.
  rs.AddNew();
  rs.Set("sked_id", "4");
  rs.Set("controller_address", "12.0");
  rs.Update();

  Recordset check;
  check.Open("select * from skeds order by sked_id", *c_);
  ASSERT_EQ(check.RecordCount(), 2u);
  EXPECT_EQ(check.Text("Description"), "Night's shift");
  check.MoveLast();
  EXPECT_EQ(check.Text("sked_id"), "4");
  EXPECT_EQ(check.Text("description"), "");
  check.MoveFirst();
  EXPECT_EQ(check.Text("sked_id"), "3");
  check.MoveNext();
  check.MoveNext();
  EXPECT_TRUE(check.Eof());
  EXPECT_EQ(ErrorOf([&] { check.MoveNext(); }), kErrEofOrBof);
}

TEST_P(DbTest, UpdateChangesOnlyTheCurrentRow) {
  c_->Execute(
      "insert into skeds values (1, '12.0', 'a', '0000000'), (1, '12.1', 'b', '0000000'), "
      "(2, '12.0', 'c', NULL)");
  c_->Execute("insert into nokey values ('x', 1), ('x', 1)");
  Recordset rs;
  rs.Open("select * from skeds where sked_id = 1 order by controller_address", *c_,
          CursorType::kKeyset);
  rs.MoveNext();  // 1 / 12.1
  rs.Set("description", "changed");
  rs.Set("days", std::nullopt);
  rs.Update();
  EXPECT_EQ(rs.Text("description"), "changed");
  // Moving away from a changed row writes it, as the recordsets the driver was written for do.
  rs.MoveFirst();
  rs.Set("days", "1111111");
  rs.MoveNext();

  Recordset check;
  check.Open(
      "select sked_id, controller_address, description, days from skeds order by sked_id, "
      "controller_address",
      *c_);
  std::vector<std::string> seen;
  for (; !check.Eof(); check.MoveNext()) {
    seen.push_back(check.Text("description") + "/" + check.Value("days").value_or("NULL"));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a/1111111", "changed/NULL", "c/NULL"}));

  // Without a primary key exactly one of two equal rows changes.
  rs.Open("select * from nokey", *c_);
  rs.Set("b", "2");
  rs.Update();
  check.Open("select b from nokey order by b", *c_);
  EXPECT_EQ(check.Text("b"), "1");
  check.MoveNext();
  EXPECT_EQ(check.Text("b"), "2");

  // A refused change is dropped: the loop that moves on after it does not write it again.
  rs.Open("select * from skeds order by sked_id, controller_address", *c_, CursorType::kKeyset);
  rs.Set("controller_address", std::nullopt);  // NOT NULL
  EXPECT_EQ(ErrorOf([&] { rs.Update(); }), kErrDbIntegrity);
  EXPECT_EQ(rs.Text("controller_address"), "12.0");
  int moved = 0;
  for (; !rs.Eof() && moved < 10; ++moved) rs.MoveNext();
  EXPECT_EQ(moved, 3);
  rs.AddNew();
  rs.Set("sked_id", "1");
  rs.Set("controller_address", "12.0");  // already there
  EXPECT_EQ(ErrorOf([&] { rs.Update(); }), kErrDbIntegrity);
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.RecordCount(), 3u);

  // A query over two tables cannot be written back.
  rs.Open("select s.description from skeds s join nokey n on n.b = s.sked_id", *c_);
  if (!rs.Eof()) {
    rs.Set("description", "x");
    EXPECT_EQ(ErrorOf([&] { rs.Update(); }), kErrNotSupported);
  }
  rs.Open("select * from skeds", *c_, CursorType::kForwardOnly, LockType::kReadOnly);
  EXPECT_EQ(ErrorOf([&] { rs.Set("days", "1"); }), kErrNotSupported);
}

TEST_P(DbTest, FieldsNullsAndErrors) {
  c_->Execute(
      "insert into skeds (sked_id, controller_address, description) values (7, '1.2', NULL)");
  Recordset rs;
  rs.Open("SELECT Sked_ID, Description FROM Skeds", *c_);
  EXPECT_EQ(rs.Text("SKED_ID"), "7");
  EXPECT_EQ(rs.Text("description"), "");
  EXPECT_EQ(rs.Value("description"), std::nullopt);
  EXPECT_EQ(ErrorOf([&] { rs.Required("description"); }), kErrInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([&] { rs.Text("no_such_field"); }), kErrItemNotFound);
  rs.Close();
  EXPECT_EQ(ErrorOf([&] { rs.Text("sked_id"); }), kErrClosedObject);
  EXPECT_EQ(ErrorOf([&] { rs.Open("select * from no_such_table", *c_); }), kErrDbStatement);
  EXPECT_FALSE(rs.IsOpen());
}

// A text with a second statement is refused whole, whatever hides the second one.
TEST_P(DbTest, OneStatementPerText) {
  c_->Execute("insert into nokey values ('a;b', 1)");
  const char* refused[] = {
      "select * from nokey where a = 'x';delete from nokey;",
      "delete from nokey where b = 5 -- comment\n; delete from nokey",
      "update nokey set b = 2 where a = 'a;b'; delete from nokey /* ; */",
  };
  Recordset rs;
  for (const char* sql : refused) {
    EXPECT_EQ(ErrorOf([&] { rs.Open(sql, *c_); }), kErrDbMultiple) << sql;
    EXPECT_EQ(ErrorOf([&] { c_->Execute(sql); }), kErrDbMultiple) << sql;
  }
  rs.Open("select * from nokey", *c_);
  ASSERT_EQ(rs.RecordCount(), 1u);
  EXPECT_EQ(rs.Text("b"), "1");
  // Semicolons inside literals, names and comments, and one trailing semicolon, are fine.
  c_->Execute("insert into nokey values ('x;y', 2); ");
  rs.Open("select a from nokey where a like '%;%' -- it's; not a statement\n order by b;", *c_);
  EXPECT_EQ(rs.RecordCount(), 2u);
  // A quote doubled is always data: on PostgreSQL a backslash has no power to end a literal.
  const std::string trap = "x\\'); delete from nokey; --";
  c_->Execute("insert into cbuffer values (3, '" + ReplaceAll(trap, "'", "''") + "', 'm')");
  rs.Open("select address from cbuffer where id = 3", *c_);
  EXPECT_EQ(rs.Text("address"), trap);
  rs.Open("select * from nokey", *c_);
  EXPECT_EQ(rs.RecordCount(), 2u);
}

// With SqlServerMode 1 the error list stops the driver on the lost-database numbers; a
// statement the reachable database refuses is reported under the routine's label instead,
// and the routine goes on.
TEST_P(DbTest, RefusedStatementsLeaveTheDriverRunning) {
  ErrorList list;
  list.sql_server_mode = 1;
  int gone = 0;
  list.on_database_gone = [&] { ++gone; };
  c_->Execute("insert into skeds values (1, '12.0', 'a', '0000000')");
  c_->Execute("CREATE TABLE short_text (v varchar(5))");
  const bool pg = GetParam() == Backend::kPostgres;
  Recordset rs;
  rs.Open("select * from skeds", *c_, CursorType::kKeyset);
  c_->Execute("delete from skeds");  // the row the recordset holds is gone
  struct Case {
    const char* what;
    std::function<void()> step;
    std::int64_t number;  // 0: the backend takes it
  } cases[] = {
      {"unique", [&] { c_->Execute("insert into cbuffer (id) values (1)"); }, 0},
      {"unique", [&] { c_->Execute("insert into cbuffer (id) values (1)"); }, kErrDbIntegrity},
      {"too long", [&] { c_->Execute("insert into short_text values ('far too long')"); },
       pg ? kErrDbTooLong : 0},
      {"missing row",
       [&] {
         rs.Set("description", "b");
         rs.Update();
       },
       kErrDbRowNotFound},
      {"wrong type", [&] { c_->Execute("insert into cbuffer (id) values ('one')"); },
       kErrDbConversion},
      {"syntax", [&] { c_->Execute("insert into"); }, kErrDbStatement},
      {"second statement", [&] { c_->Execute("select 1; select 2"); }, kErrDbMultiple},
  };
  Routine r(list, "ERR_Test");
  for (const auto& c : cases) {
    list.LastErrorNumber = 0;
    r.Step(c.step);
    EXPECT_EQ(list.LastErrorNumber, c.number) << c.what;
    EXPECT_FALSE(list.DatabaseLost()) << c.what;
  }
  EXPECT_EQ(gone, 0);
  EXPECT_TRUE(c_->IsOpen());
  for (const auto& line : list.Lines()) EXPECT_TRUE(line.starts_with("ERR_Test:  ")) << line;
  c_->Execute("insert into nokey values ('after', 3)");
}

// A loop in the driver's manner over the rows of `rs` (table t) once the database is gone: each
// row runs a statement, a failure is reported, and the loop goes on until DatabaseLost() says
// the database is gone. The loss is reported once, then the lost connection, and the loop ends.
void ExpectLoopEndsOnLostDatabase(Connection& c, Recordset& rs) {
  struct Reporter : ErrorReporter {
    void ReportError(std::int64_t number, std::string_view) override {
      LastErrorNumber = number;
      numbers.push_back(number);
    }
    void DebugLine(std::string_view) override {}
    std::vector<std::int64_t> numbers;
  } reporter;
  int rows = 0;
  for (; !rs.Eof() && rows < 10; ++rows, rs.MoveNext()) {
    Routine(reporter, "ERR_Test").Step([&] {
      c.Execute("update t set id = id where id = " + rs.Text("id"));
    });
    if (reporter.DatabaseLost()) break;
  }
  EXPECT_EQ(rows, 1);
  EXPECT_EQ(reporter.numbers,
            (std::vector<std::int64_t>{kErrDbUnspecified, kErrObjectInvalid}));
  EXPECT_FALSE(c.IsOpen());
}

TEST(PostgresLossTest, StoppedServerGivesUnspecifiedThenEndsLoops) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  auto c = NewConnection();
  c->Open(pg->uri(), "", "");
  c->Execute("create table t (id integer primary key)");
  c->Execute("insert into t values (1), (2), (3)");
  Recordset rs;
  rs.Open("select * from t", *c);
  pg->Stop();
  ExpectLoopEndsOnLostDatabase(*c, rs);
}

// In mode 1 a server that ends the session (an administrator's command) or stops still stops
// the driver.
TEST(PostgresLossTest, EndedSessionAndStoppedServerStopTheDriverInModeOne) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  auto c = NewConnection(), admin = NewConnection();
  c->Open(pg->uri(), "", "");
  admin->Open(pg->uri(), "", "");
  ErrorList list;
  list.sql_server_mode = 1;
  int gone = 0;
  list.on_database_gone = [&] { ++gone; };
  admin->Execute(
      "select pg_terminate_backend(pid) from pg_stat_activity where pid <> pg_backend_pid() "
      "and backend_type = 'client backend'");
  Routine(list, "ERR_Test").Step([&] { c->Execute("select 1"); });
  EXPECT_EQ(gone, 1);
  EXPECT_EQ(list.LastErrorNumber, kErrDbUnspecified);
  pg->Stop();
  Routine(list, "ERR_Test").Step([&] { admin->Execute("select 1"); });
  EXPECT_EQ(gone, 2);
}

// A deadlock between two connections aborts one statement; that connection stays usable.
TEST(PostgresLossTest, DeadlockIsNoLostDatabase) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  auto a = NewConnection(), b = NewConnection();
  a->Open(pg->uri(), "", "");
  b->Open(pg->uri(), "", "");
  a->Execute("create table t (id integer primary key, v integer)");
  a->Execute("insert into t values (1, 0), (2, 0)");
  a->Execute("BEGIN");
  b->Execute("BEGIN");
  a->Execute("update t set v = 1 where id = 1");
  b->Execute("update t set v = 2 where id = 2");
  std::int64_t a_error = 0, b_error = 0;
  std::thread other([&] {
    try {
      a->Execute("update t set v = 1 where id = 2");  // waits for b
    } catch (const Error& e) {
      a_error = e.number();
      a->Execute("ROLLBACK");
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  try {
    b->Execute("update t set v = 2 where id = 1");  // closes the circle
  } catch (const Error& e) {
    b_error = e.number();
    b->Execute("ROLLBACK");  // lets the other one go on
  }
  other.join();
  EXPECT_EQ(a_error + b_error, kErrDbAborted);  // exactly one of them
  EXPECT_TRUE(a->IsOpen());
  EXPECT_TRUE(b->IsOpen());
  b->Execute("select 1");
}

// A transaction that reads before it writes, while another connection commits in between,
// still gets to write: on SQLite it takes the write lock when it begins, so it never holds a
// snapshot that is too old to write from.
TEST(SqliteTransactionTest, AReadThenAWriteSurvivesAnotherWriter) {
  const auto path = fs::temp_directory_path() /
                    ("tx_test_" + std::to_string(::getpid()) + ".db");
  fs::remove(path);
  auto a = NewConnection(), b = NewConnection();
  a->Open("sqlite:" + path.string(), "", "");
  b->Open("sqlite:" + path.string(), "", "");
  a->Execute("create table t (id integer primary key, v integer)");
  std::thread other;
  std::string failure;
  try {
    InTransaction(*a, [&] {
      a->Query("select count(*) from t");
      other = std::thread([&] { b->Execute("insert into t (v) values (2)"); });  // waits for a
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      a->Execute("insert into t (v) values (1)");
    });
  } catch (const Error& e) {
    failure = e.what();
  }
  if (other.joinable()) other.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(a->Query("select group_concat(v) from t").rows.at(0).at(0), "1,2");
  fs::remove(path);
}

// An SQLite file that is removed under the driver counts as a lost database: the loop ends
// instead of failing row after row.
TEST(SqliteLossTest, RemovedFileEndsLoops) {
  fs::path dir = fs::temp_directory_path() / ("ordane-gone-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto c = NewConnection();
  c->Open("sqlite:" + (dir / "x.db").string(), "", "");
  c->Execute("create table t (id integer primary key)");
  c->Execute("insert into t values (1), (2), (3)");
  Recordset rs;
  rs.Open("select * from t", *c);
  fs::remove_all(dir);
  ExpectLoopEndsOnLostDatabase(*c, rs);
}

// A query on a link that stopped answering fails within the answer time limit, as a lost
// database (the driver stops in mode 1); the limit is the default or the connection string's.
// The connection's server process is frozen: the link stays open and acknowledged, but silent.
TEST(PostgresLossTest, SilentLinkFailsInBoundedTime) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  for (const std::string option : {"", "?query_timeout=2"}) {
    auto c = NewConnection();
    c->Open(pg->uri() + option, "", "");
    const pid_t server = std::stoi(c->Query("select pg_backend_pid()").rows.at(0).at(0).value());
    ErrorList list;
    list.sql_server_mode = 1;
    int gone = 0;
    list.on_database_gone = [&] { ++gone; };
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    auto start = std::chrono::steady_clock::now();
    Routine(list, "ERR_Test").Step([&] { c->Execute("select 1"); });
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(server, SIGCONT);
    int limit = option.empty() ? kDefaultQueryTimeout : 2;
    std::printf("dead link (query_timeout %d s) detected after %.2f s\n", limit, seconds);
    EXPECT_EQ(list.LastErrorNumber, kErrDbUnspecified) << option;
    EXPECT_EQ(gone, 1) << option;
    EXPECT_LT(seconds, limit + 10) << option;  // bounded: the link is given up, not waited on
    EXPECT_FALSE(c->IsOpen());
  }
}

// Without a server the PostgreSQL cases skip, except under CI, where they must fail.
TEST(TempPostgresTest, MissingServerSkipsOrFailsUnderCi) {
  std::string self = fs::read_symlink("/proc/self/exe").string();
  auto run = [&](const std::string& env) {
    std::string command =
        env + " ORDANE_PG_BIN=/nonexistent " + self + " --gtest_filter=PostgresLossTest.* 2>&1";
    std::string output;
    FILE* p = popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
    int status = pclose(p);
    return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  };
  auto [rc, out] = run("env -u CI");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("SKIPPED"), std::string::npos) << out;
  std::tie(rc, out) = run("CI=1");
  EXPECT_NE(rc, 0) << out;
  EXPECT_NE(out.find("PostgreSQL could not be started (CI is set)"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Backends, DbTest, ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace ordane::db
