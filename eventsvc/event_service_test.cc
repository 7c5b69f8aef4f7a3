#include "eventsvc/event_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "db/pgtest.h"
#include "schema/schema.h"
#include "syslib/seal.h"
#include "syslib/statement.h"
#include "util/error.h"
#include "util/files.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

void WriteSettings(const fs::path& file, const fs::path& key, const std::string& cxn) {
  std::ofstream(file) << "[OS]\nKeyFile=" << key.string() << "\nCxn_Access_Control=" << cxn
                      << "\nSQL_Server=0\n";
}

// A site: a settings file with its key, the real system library over it (real seals), an
// events folder and a fresh database of either backend.
class EventServiceTest : public ::testing::TestWithParam<db::Backend> {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("eventsvc_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter_));
    fs::create_directories(root_ / "share" / "Events");
    std::string why;
    ASSERT_TRUE(CreateSiteKey(root_ / "site.key", false, &why)) << why;
    ASSERT_TRUE(CreateSiteKey(root_ / "other.key", false, &why)) << why;
    std::string cxn;
    if (GetParam() == db::Backend::kPostgres) {
      ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
      pg_ = std::move(pg);
      cxn = pg_->uri();
    } else {
      cxn = "sqlite:" + (root_ / "ordane.db").string();
    }
    WriteSettings(root_ / "ordane.ini", root_ / "site.key", cxn);
    WriteSettings(root_ / "other.ini", root_ / "other.key", cxn);
    lib_ = NewSystemLibrary(root_ / "ordane.ini");
    other_site_ = NewSystemLibrary(root_ / "other.ini");
    db_ = db::NewConnection();
    db_->Open(cxn, "", "");
    schema::CreateSchema(*db_);
    service_ = std::make_unique<EventService>(
        EventServiceOptions{root_ / "share" / "Events", 3, 30}, *lib_, *db_);
  }
  void TearDown() override {
    service_.reset();
    if (db_) db_->Close();
    pg_.reset();
    fs::remove_all(root_);
  }

  // Drops a statement file as a driver does; returns its name.
  std::string Drop(const std::string& identity, const std::string& statement,
                   SystemLibrary* sealer = nullptr, const std::string& ext = ".evn") {
    const std::string body =
        (sealer ? sealer : lib_.get())->xKeyHide(PackStatement(identity, statement), kDriverKey);
    return DropRaw(body, ext);
  }
  std::string DropRaw(const std::string& line, const std::string& ext = ".evn") {
    auto placed = PlaceNewFile(root_ / "share" / "Events",
                               [&] { return "12_" + std::to_string(++file_number_) + ext; },
                               line + "\n");
    EXPECT_TRUE(placed);
    return placed ? placed->filename().string() : "";
  }

  std::string One(const std::string& query) {
    const db::ResultSet rs = db_->Query(query);
    return rs.rows.empty() || !rs.rows[0][0] ? "<none>" : *rs.rows[0][0];
  }
  std::size_t Waiting() const {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(root_ / "share" / "Events"))
      n += e.is_regular_file();
    return n;
  }
  bool RejectedWith(const std::string& name, const std::string& reason) {
    const fs::path folder = root_ / "share" / "Events" / "Rejected";
    const auto why = ReadWholeFile(folder / (name + ".err"));
    return fs::exists(folder / name) && why && why->find(reason) != std::string::npos;
  }

  static std::string Insert(const std::string& address, const std::string& name) {
    return "insert into [events] ([address], [event_id], [name]) values ('" + address +
           "', 'RD070', '" + name + "')";
  }

  static inline int counter_ = 0;
  int file_number_ = 0;
  fs::path root_;
  std::unique_ptr<db::TempPostgres> pg_;
  std::unique_ptr<SystemLibrary> lib_, other_site_;
  std::unique_ptr<db::Connection> db_;
  std::unique_ptr<EventService> service_;
};

TEST_P(EventServiceTest, EachIdentityIsStoredOnceAcrossBatchesAndPasses) {
  // Seven files in batches of three; the same event written twice in one batch, and again in
  // a later batch, as a restarted driver would.
  Drop("12/0.0/1", Insert("12.0.2.I1", "first"));
  Drop("12/0.0/1", Insert("12.0.2.I1", "first"));
  Drop("12/0.0/2", Insert("12.0.2.I2", "O''Brien"));
  Drop("12/0.0/3", "insert into [alarms] ([address], [event_id], [priority]) values ('12.0', 'PO001', 5)",
       nullptr, ".aln");
  Drop("12/0.0/1", Insert("12.0.2.I1", "first"));
  Drop(std::string(300, 'x'), Insert("12.0.2.I9", "long identity"));
  Drop(std::string(300, 'x'), Insert("12.0.2.I9", "long identity"));
  const PassCounts c = service_->Drain();
  EXPECT_EQ(c.stored, 4u);
  EXPECT_EQ(c.duplicates, 3u);
  EXPECT_EQ(c.rejected, 0u);
  EXPECT_EQ(One("select count(*) from events"), "3");
  EXPECT_EQ(One("select name from events where address = '12.0.2.I2'"), "O'Brien");
  EXPECT_EQ(One("select priority from alarms"), "5");
  EXPECT_EQ(One("select count(*) from applied_events"), "4");
  EXPECT_EQ(Waiting(), 0u);

  // A later pass meets the identity in the table.
  Drop("12/0.0/2", Insert("12.0.2.I2", "O''Brien"));
  EXPECT_EQ(service_->Drain().duplicates, 1u);
  EXPECT_EQ(One("select count(*) from events"), "3");
}

TEST_P(EventServiceTest, ForgedBrokenAndRefusedFilesAreRejectedAndNeverRun) {
  Drop("12/0.0/1", Insert("12.0.2.I1", "kept"));
  const std::string plain = DropRaw(PackStatement("12/0.0/7", "delete from events"));
  const std::string foreign = Drop("12/0.0/8", "delete from events", other_site_.get());
  std::string sealed = lib_->xKeyHide(PackStatement("12/0.0/9", Insert("x", "y")), kDriverKey);
  sealed[sealed.size() - 5] = sealed[sealed.size() - 5] == 'A' ? 'B' : 'A';
  const std::string altered = DropRaw(sealed);
  const std::string two = Drop("12/0.0/10", Insert("12.0.2.I3", "a") + "; delete from events");
  const std::string bare = DropRaw(lib_->xKeyHide("delete from events", kDriverKey));
  const std::string refused = Drop("12/0.0/11", "insert into [events] ([no_such_column]) values (1)");
  Drop("12/0.0/12", Insert("12.0.2.I4", "after the refused one"));

  const PassCounts c = service_->Drain();
  EXPECT_EQ(c.stored, 2u);
  EXPECT_EQ(c.rejected, 6u);
  EXPECT_EQ(One("select count(*) from events"), "2");
  EXPECT_TRUE(RejectedWith(plain, "not sealed"));
  EXPECT_TRUE(RejectedWith(foreign, "does not open"));
  EXPECT_TRUE(RejectedWith(altered, "does not open"));
  EXPECT_TRUE(RejectedWith(two, "more than one statement"));
  EXPECT_TRUE(RejectedWith(bare, "no identity"));
  EXPECT_TRUE(RejectedWith(refused, "refused"));
  EXPECT_EQ(Waiting(), 0u);
  // A refused statement is not recorded, so nothing of it lingers.
  EXPECT_EQ(One("select count(*) from applied_events"), "2");
}

TEST_P(EventServiceTest, OldIdentitiesArePruned) {
  db_->Execute("insert into applied_events (identity, applied_at) values ('old', '2001-01-01 00:00:00')");
  Drop("12/0.0/1", Insert("12.0.2.I1", "new"));
  service_->Drain();
  EXPECT_EQ(service_->Prune(), 1u);
  EXPECT_EQ(One("select identity from applied_events"), "12/0.0/1");
}

TEST(EventServiceLostDatabaseTest, FilesWaitWhileThePostgresServerIsGone) {
  ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
  const fs::path root = fs::temp_directory_path() / ("eventsvc_lost_" + std::to_string(::getpid()));
  fs::create_directories(root / "Events");
  std::string why;
  ASSERT_TRUE(CreateSiteKey(root / "site.key", false, &why)) << why;
  WriteSettings(root / "ordane.ini", root / "site.key", pg->uri());
  auto lib = NewSystemLibrary(root / "ordane.ini");
  auto c = db::NewConnection();
  c->Open(pg->uri(), "", "");
  schema::CreateSchema(*c);
  for (int i = 0; i < 5; ++i)
    PlaceNewFile(root / "Events", [&] { return "12_" + std::to_string(i) + ".evn"; },
                 lib->xKeyHide(PackStatement("id" + std::to_string(i),
                                             "insert into events (name) values ('x')"),
                               kDriverKey));
  EventService service({root / "Events", 2, 30}, *lib, *c);
  pg->Stop();
  try {
    service.Drain();
    ADD_FAILURE() << "a pass over a stopped server went through";
  } catch (const Error& e) {
    EXPECT_TRUE(IsLostDatabase(e)) << FormatErrorNumber(e.number()) << " " << e.what();
  }
  EXPECT_EQ(service.Waiting().size(), 5u);
  EXPECT_FALSE(fs::exists(root / "Events" / "Rejected"));
  fs::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(Backends, EventServiceTest,
                         ::testing::Values(db::Backend::kSqlite, db::Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == db::Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

TEST(StatementEnvelopeTest, RoundTripAndMalformed) {
  auto t = UnpackStatement(PackStatement("12/P\n1", "insert 1\n"));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->identity, "12/P 1");
  EXPECT_EQ(t->statement, "insert 1");
  EXPECT_FALSE(UnpackStatement("insert into events values (1)"));
  EXPECT_FALSE(UnpackStatement("ID \ninsert"));
  EXPECT_FALSE(UnpackStatement("ID x\n  "));
  EXPECT_EQ(IdentityKey("short"), "short");
  EXPECT_EQ(IdentityKey(std::string(200, 'a')).size(), 66u);
  EXPECT_NE(IdentityKey(std::string(200, 'a')), IdentityKey(std::string(200, 'b')));
}

}  // namespace
}  // namespace ordane
