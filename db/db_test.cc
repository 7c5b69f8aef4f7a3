#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/db.h"
#include "db/pgtest.h"
#include "util/error.h"
#include "util/report.h"

namespace ordane::db {
namespace {

namespace fs = std::filesystem;

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
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteDateLiterals(c.in), c.out) << c.in;
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
  auto number = [&](auto f) -> std::int64_t {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(number([&] { c->Execute("select 1"); }), kErrObjectNotSet);
  Recordset rs;
  EXPECT_EQ(number([&] { rs.Open("select 1", *c); }), kErrObjectNotSet);
  EXPECT_EQ(number([&] { rs.Eof(); }), kErrClosedObject);
  c->Open("sqlite::memory:", "", "");
  c->Close();
  EXPECT_EQ(number([&] { c->Execute("select 1"); }), kErrClosedObject);
  EXPECT_EQ(number([&] { c->Open("sqlite:/nonexistent-dir/x/y.db", "", ""); }), kErrDbUnspecified);
  EXPECT_EQ(number([&] { c->Open("Provider=SQLOLEDB;x=y", "", ""); }), kErrDbUnspecified);
  EXPECT_EQ(number([&] { c->Open("postgresql://nobody@127.0.0.1:1/none", "", ""); }),
            kErrDbUnspecified);
  // A file that is not a database fails at Open, not later.
  fs::path junk = fs::temp_directory_path() / ("ordane-junk-" + std::to_string(getpid()));
  {
    std::FILE* f = std::fopen(junk.c_str(), "w");
    std::fputs(
        "this is no database file at all, not one bit of "
        "it......................................................",
        f);
    std::fclose(f);
  }
  EXPECT_EQ(number([&] { c->Open("sqlite:" + junk.string(), "", ""); }), kErrDbUnspecified);
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
      std::string why;
      pg_ = StartTempPostgres(&why);
      if (!pg_) {
        if (std::getenv("CI") != nullptr) FAIL() << "PostgreSQL could not be started: " << why;
        GTEST_SKIP() << "PostgreSQL could not be started: " << why;
      }
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
      fs::remove(file_);
      fs::remove(file_.string() + "-wal");
      fs::remove(file_.string() + "-shm");
    }
  }
  std::int64_t ErrorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
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
  EXPECT_EQ(check.Text("sked_id"), "3");
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
  c_->Execute("insert into skeds values (1, '12.0', 'a', '0000000')");
  c_->Execute("insert into skeds values (1, '12.1', 'b', '0000000')");
  c_->Execute("insert into skeds values (2, '12.0', 'c', NULL)");
  c_->Execute("insert into nokey values ('x', 1)");
  c_->Execute("insert into nokey values ('x', 1)");
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
  EXPECT_EQ(ErrorOf([&] { rs.Update(); }), kErrDbCommand);
  EXPECT_EQ(rs.Text("controller_address"), "12.0");
  int moved = 0;
  for (; !rs.Eof() && moved < 10; ++moved) rs.MoveNext();
  EXPECT_EQ(moved, 3);
  rs.AddNew();
  rs.Set("sked_id", "1");
  rs.Set("controller_address", "12.0");  // already there
  EXPECT_EQ(ErrorOf([&] { rs.Update(); }), kErrDbCommand);
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.RecordCount(), 3u);

  // A query over two tables cannot be written back.
  rs.Open("select s.description from skeds s join nokey n on n.b = s.sked_id", *c_);
  if (!rs.Eof()) {
    rs.Set("description", "x");
    EXPECT_EQ(ErrorOf([&] { rs.Update(); }), kErrDbCommand);
  }
  rs.Open("select * from skeds", *c_, CursorType::kForwardOnly, LockType::kReadOnly);
  EXPECT_EQ(ErrorOf([&] { rs.Set("days", "1"); }), kErrDbCommand);
}

TEST_P(DbTest, FieldsNullsAndErrors) {
  c_->Execute(
      "insert into skeds (sked_id, controller_address, description) values (7, '1.2', NULL)");
  Recordset rs;
  rs.Open("SELECT Sked_ID, Description FROM Skeds", *c_);
  EXPECT_EQ(rs.Text("sked_id"), "7");
  EXPECT_EQ(rs.Text("SKED_ID"), "7");
  EXPECT_EQ(rs.Text("description"), "");
  EXPECT_EQ(rs.Value("description"), std::nullopt);
  EXPECT_EQ(ErrorOf([&] { rs.Required("description"); }), kErrDbCommand);
  EXPECT_EQ(ErrorOf([&] { rs.Text("no_such_field"); }), kErrItemNotFound);
  rs.Close();
  EXPECT_EQ(ErrorOf([&] { rs.Text("sked_id"); }), kErrClosedObject);

  EXPECT_EQ(ErrorOf([&] { c_->Execute("selec * from skeds"); }), kErrDbStatement);
  EXPECT_EQ(ErrorOf([&] { c_->Execute("select * from no_such_table"); }), kErrDbStatement);
  EXPECT_EQ(ErrorOf([&] { c_->Execute("insert into skeds (sked_id) values (1)"); }),
            kErrDbCommand);  // NOT NULL
  EXPECT_EQ(ErrorOf([&] { rs.Open("select * from no_such_table", *c_); }), kErrDbStatement);
  EXPECT_FALSE(rs.IsOpen());
  // The connection stays usable after rejected statements.
  c_->Execute("insert into nokey values ('after', 3)");
}

class Reporter : public ErrorReporter {
 public:
  void ReportError(std::int64_t number, std::string_view description) override {
    LastErrorNumber = number;
    numbers.push_back(number);
  }
  void DebugLine(std::string_view) override {}
  std::vector<std::int64_t> numbers;
};

TEST(PostgresLossTest, StoppedServerGivesUnspecifiedThenEndsLoops) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  auto c = NewConnection();
  c->Open(pg->uri(), "", "");
  c->Execute("create table t (id integer primary key)");
  c->Execute("insert into t values (1), (2), (3)");
  Recordset rs;
  rs.Open("select * from t", *c);
  pg->Stop();

  // A loop in the driver's manner: each row runs a statement; a failure is reported and the
  // loop goes on until DatabaseLost() says the database is gone.
  Reporter reporter;
  int rows = 0;
  while (!rs.Eof() && rows < 10) {
    Routine r(reporter, "ERR_Test");
    r.Step([&] { c->Execute("update t set id = id where id = " + rs.Text("id")); });
    if (reporter.DatabaseLost()) break;
    ++rows;
    rs.MoveNext();
  }
  ASSERT_GE(reporter.numbers.size(), 2u);
  EXPECT_EQ(reporter.numbers[0], kErrDbUnspecified);
  EXPECT_EQ(reporter.numbers[1], kErrObjectInvalid);
  EXPECT_EQ(rows, 1);
  EXPECT_FALSE(c->IsOpen());
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
