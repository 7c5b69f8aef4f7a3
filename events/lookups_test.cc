#include "events/lookups.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "core/testing/driver_fixture.h"
#include "db/pgtest.h"
#include "util/error.h"
#include "util/paths.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

// The lookups on a real database of each backend: SQLite always, PostgreSQL from a throw-away
// server shared by the suite.
class LookupTest : public DriverTest, public ::testing::WithParamInterface<db::Backend> {
 protected:
  static void TearDownTestSuite() { pg_.reset(); }

  void SetUp() override {
    if (GetParam() == db::Backend::kPostgres) {
      if (!pg_) {
        ORDANE_TEMP_POSTGRES_OR_SKIP(pg);
        pg_ = std::move(pg);
      }
      const std::string uri = pg_->CreateDatabase("lookups" + std::to_string(++databases_));
      lib_.settings["OS/Cxn_Access_Control"] = uri;
      lib_.settings["OS/Cxn_Hardware"] = uri;
      sql_ = db::NewConnection();
      sql_->Open(uri, "", "");
      schema::CreateSchema(*sql_);
    }
    StartedDriver();
    Sql("INSERT INTO devices (address, Description, Device, Device_Type) VALUES "
        "('12.0.2.I17', 'Lobby door', 'PIR', 'Point'), ('12.0.2.I18', NULL, NULL, NULL)");
    Sql("INSERT INTO drivers (driver_id, Description) VALUES (12, 'Front desk'), (13, NULL)");
    Sql("INSERT INTO Secured_Areas (address, id, Description, Open_Window_Time) VALUES "
        "('12-0', 3, '  Vault  ', 800)");
    Sql("INSERT INTO area_control (controller_address, area_number, description) VALUES "
        "('12.0', 2, 'Warehouse'), ('12.0', 4, NULL)");
    Sql("INSERT INTO skeds (controller_address, sked_id, description) VALUES "
        "('12.0', 5, 'Night'), ('12.0', 6, NULL)");
    Sql("INSERT INTO TimeSchedule_Descriptions (timeschedule_id, region_id, description) VALUES "
        "(7, 1, 'Office hours'), (8, 1, NULL)");
    Sql("INSERT INTO event_descriptions (event_id, description, log_type, Email) VALUES "
        "('RD070', 'Alarm', 150, NULL)");
    Sql("INSERT INTO personnel (id, first_name, last_name, ai_id) VALUES "
        "(41, 'Ann', 'Lee', 7), (42, 'Bo;b', '', 0), (43, 'Cy', 'Old', 0)");
    Sql("INSERT INTO credentials (record_id, credential_number) VALUES "
        "(41, 1234567), (42, 7654321), (43, 5555), (0, 4444)");
    Sql("INSERT INTO alarm_integration (AI_ID, reader, Controller_Address, Disarm_Areas) VALUES "
        "(7, '12.0.3.R1', '3.4', '0101')");
  }

  static inline std::unique_ptr<db::TempPostgres> pg_;
  static inline int databases_ = 0;
};

// "<error>" stands for a lookup that lets its error pass to the caller.
std::string Result(const std::function<std::string()>& f) {
  try {
    return f();
  } catch (const Error&) {
    return "<error>";
  }
}

TEST_P(LookupTest, RowsPresentAbsentAndNull) {
  struct Case {
    const char* what;
    std::function<std::string()> lookup;
    std::string want;
  } cases[] = {
      {"eventdesc row", [&] { return r_eventdesc(d_, "RD070", "Log_Type"); }, "150"},
      {"eventdesc NULL", [&] { return r_eventdesc(d_, "RD070", "Email"); }, ""},
      {"eventdesc no row", [&] { return r_eventdesc(d_, "XX999", "Log_Type"); }, ""},
      {"eventdesc quote", [&] { return r_eventdesc(d_, "RD'070", "Log_Type"); }, ""},
      {"device row", [&] { return r_device(d_, "devices", "12.0.2.I17", "Description"); },
       "Lobby door"},
      {"device NULL", [&] { return r_device(d_, "devices", "12.0.2.I18", "Device_Type"); }, ""},
      {"device no row", [&] { return r_device(d_, "devices", "12.0.2.I99", "Device"); }, ""},
      {"device quote", [&] { return r_device(d_, "devices", "x' OR '1'='1", "Device"); }, ""},
      {"driver row", [&] { return r_driver(d_, "drivers", "12", "Description"); }, "Front desk"},
      {"driver NULL", [&] { return r_driver(d_, "drivers", "13", "Description"); }, ""},
      {"driver no row", [&] { return r_driver(d_, "drivers", "99", "Description"); }, ""},
      {"driver not a number", [&] { return r_driver(d_, "drivers", "12 or 1=1", "Description"); },
       ""},
      {"secured area trimmed", [&] { return r_securedarea(d_, 3, "12-0", "Description"); },
       "Vault"},
      {"secured area number", [&] { return r_securedarea(d_, 3, "12-0", "Open_Window_Time"); },
       "800"},
      {"secured area NULL", [&] { return r_securedarea(d_, 3, "12-0", "Closed_Window_Time"); }, ""},
      {"secured area no row", [&] { return r_securedarea(d_, 5, "12-0", "Description"); },
       "Area=5"},
      {"secured area no row time", [&] { return r_securedarea(d_, 5, "12-0", "Open_Window_Time"); },
       ""},
      {"area row", [&] { return r_area(d_, "0", 2); }, "Warehouse"},
      {"area NULL", [&] { return r_area(d_, "0", 4); }, ""},
      {"area no row", [&] { return r_area(d_, "0", 9); }, "<error>"},
      {"sked row", [&] { return r_sked(d_, 5, "12.0"); }, "Night"},
      {"sked NULL", [&] { return r_sked(d_, 6, "12.0"); }, "<error>"},
      {"sked no row", [&] { return r_sked(d_, 9, "12.0"); }, "<error>"},
      {"time schedule row", [&] { return r_timeschedule(d_, 7, 1); }, "Office hours"},
      {"time schedule NULL", [&] { return r_timeschedule(d_, 8, 1); }, "<error>"},
      {"time schedule no row", [&] { return r_timeschedule(d_, 7, 2); }, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Result(c.lookup), c.want) << c.what;
  // The lookups with their own handler reported nothing for rows that are missing or NULL,
  // and the one for a driver id that is no number.
  EXPECT_EQ(d_.errors.Count(), 1u);

  EXPECT_EQ(CredentialLookup(d_, "1234567"), 41);
  EXPECT_EQ(CredentialLookup(d_, "4444"), 0);  // record_id 0 is nobody
  EXPECT_EQ(CredentialLookup(d_, "999"), 0);
  EXPECT_EQ(CredentialLookup(d_, "12 or 1=1"), 0);
  EXPECT_EQ(CredentialLookup(d_, ""), 0);
}

TEST_P(LookupTest, PanelUsersAndTheirCredentials) {
  lib_.panel_users["1/12/Master"] = "1234567";
  lib_.panel_users["1/12/Sub2"] = "5555";
  lib_.panel_users["1/13/Master"] = "999";
  struct Case {
    int user, sub;
    std::string want, credential;
  } cases[] = {
      {12, 0, "Ann Lee", "1234567"},
      {12, 2, "Cy Old", "5555"},
      {13, 0, "UserID not found in Database", "before"},
      {14, 0, "UserID not found in Database", "before"},
  };
  for (const Case& c : cases) {
    d_.LastCredential = "before";
    d_.LastUnknownCredential = "unknown";
    EXPECT_EQ(r_user(d_, c.user, c.sub, 1), c.want) << c.user << "." << c.sub;
    EXPECT_EQ(d_.LastCredential, c.credential) << c.user << "." << c.sub;
    EXPECT_EQ(d_.LastUnknownCredential, c.credential == "before" ? "unknown" : "")
        << c.user << "." << c.sub;
  }
}

TEST_P(LookupTest, CardsRecordTheirUseAndSendDisarmRequests) {
  const fs::path commands = fs::path(d_.RemotePath) / "Drivers" / "3" / "commands";
  fs::create_directories(commands);
  d_.ComputerNameText = "HOST";
  auto requests = [&] {
    std::multiset<std::string> lines;
    for (const auto& [name, content] : FilesIn(commands)) {
      EXPECT_EQ(fs::path(name).extension(), ".cm0");
      lines.insert(content.substr(0, content.find('\n')));
      fs::remove(commands / name);
    }
    return lines;
  };
  const std::string when = "#2026-12-05 10:11:12#";
  struct Case {
    std::string card, code;
    std::string name, credential, unknown;
    float person;
    bool recorded;
    std::multiset<std::string> requests;
  } cases[] = {
      {"1234567", "RO001", "Ann Lee", "1234567", "", 41, true, {"001 004 !O01,", "001 004 !O03,"}},
      {"1234567", "RO020", "Ann Lee", "1234567", "", 41, true, {}},
      {"1234567", "RO003", "Ann Lee", "1234567", "", 41, false, {}},
      {"7654321", "RO001", "Bob", "7654321", "", 42, true, {}},  // no ";", no blank, ai_id 0
      {"999", "RO001", "Not in Database", "999", "999", 0, false, {}},
      {"", "RO001", "Not in Database", "", "", 0, false, {}},
      {"12 34", "RO001", "", "kept", "kept", 0, false, {}},
  };
  for (const Case& c : cases) {
    Sql("UPDATE personnel SET last_reader = NULL, last_used = NULL");
    d_.LastCredential = d_.LastUnknownCredential = "kept";
    d_.LastPersonnelId = 99;
    d_.LastReader = "12.0.3.R1";
    EXPECT_EQ(r_card(d_, c.card, "Name", c.code, when), c.name) << c.card << " " << c.code;
    EXPECT_EQ(d_.LastCredential, c.credential) << c.card;
    EXPECT_EQ(d_.LastUnknownCredential, c.unknown) << c.card;
    EXPECT_EQ(d_.LastPersonnelId, c.person) << c.card;
    const std::string id = std::to_string(static_cast<int>(c.person));
    const std::string reader = c.recorded ? "12.0.3.R1" : c.person ? "" : "<none>";
    EXPECT_EQ(One("SELECT last_reader FROM personnel WHERE id = " + id), reader)
        << c.card << " " << c.code;
    if (c.recorded) {
      EXPECT_EQ(One("SELECT last_used FROM personnel WHERE id = " + id).substr(0, 19),
                "2026-12-05 10:11:12");
    }
    EXPECT_EQ(requests(), c.requests) << c.card << " " << c.code;
  }
  EXPECT_EQ(d_.errors.Count(), 0u);
}

TEST_P(LookupTest, ARequestForADriverWithoutCommandsFolderIsReported) {
  DynScrn_Req(d_, (fs::path(d_.RemotePath) / "Drivers" / "77").string(), "001 001 !O01,");
  ASSERT_EQ(d_.errors.Count(), 1u);
  EXPECT_EQ(d_.errors.Lines()[0].rfind("err_DynScrn_Req:  75", 0), 0u) << d_.errors.Lines()[0];
}

TEST_P(LookupTest, ALostDatabaseMarksTheEventForALaterTry) {
  d_.db.HardwareConnection->Close();
  d_.EventDatabaseLost = false;
  EXPECT_EQ(r_device(d_, "devices", "12.0.2.I17", "Description"), "");
  EXPECT_TRUE(d_.EventDatabaseLost);
  EXPECT_EQ(d_.errors.Count(), 1u);
  // While the event path already reports its failure, the lookup does not repeat it.
  d_.EventStoreFailing = true;
  EXPECT_EQ(r_device(d_, "devices", "12.0.2.I17", "Description"), "");
  EXPECT_EQ(d_.errors.Count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, LookupTest,
                         ::testing::Values(db::Backend::kSqlite, db::Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == db::Backend::kSqlite ? "SQLite" : "PostgreSQL";
                         });

TEST(EventTexts, ResourceNumbersByPrefix) {
  struct Case {
    const char* code;
    std::int32_t want;
  } cases[] = {{"RD070", 21570}, {"RD001", 21501}, {"MC001", 21001}, {"AZ012", 15012},
               {"PC999", 31999}, {"XX123", 123},   {"RO", 25000},    {"", 0}};
  for (const Case& c : cases) EXPECT_EQ(EventTextResource(c.code), c.want) << c.code;
}

}  // namespace
}  // namespace ordane
