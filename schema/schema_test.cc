#include "schema/schema.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/db.h"
#include "db/pgtest.h"
#include "util/error.h"
#include "util/text.h"

namespace ordane::schema {
namespace {

namespace fs = std::filesystem;

class SchemaTest : public ::testing::TestWithParam<db::Backend> {
 protected:
  void SetUp() override {
    c_ = db::NewConnection();
    if (GetParam() == db::Backend::kSqlite) {
      c_->Open("sqlite::memory:", "", "");
    } else {
      std::string why;
      pg_ = db::StartTempPostgres(&why);
      if (!pg_) {
        if (std::getenv("CI") != nullptr) FAIL() << "PostgreSQL could not be started: " << why;
        GTEST_SKIP() << "PostgreSQL could not be started: " << why;
      }
      c_->Open(pg_->uri(), "", "");
    }
    CreateSchema(*c_);
  }
  std::unique_ptr<db::TempPostgres> pg_;
  std::unique_ptr<db::Connection> c_;
};

// The statements the driver sends as written, with sample values; each must run on the
// schema of both backends (names in any case, brackets, numbers compared with numbers).
TEST_P(SchemaTest, DriverStatementsRunAsWritten) {
  CreateSchema(*c_);  // a second run changes nothing
  const char* statements[] = {
      "insert into drivers (driver_id, computer_name, driver_type, TCP_Listen_Port, status, "
      "Description) values (12, 'HOST', '11000', 0, 1, 'Panel driver')",
      "select * from [drivers] where [computer_name] = 'HOST' and [driver_type] = '11000' and "
      "[TCP_Listen_Port] not in (1,2)",
      "update [drivers] set status=0 where driver_id =12",
      "insert into controllers (address, driver_id, controller_address, poll, Connection_Type, "
      "EC_1_Name) values ('12.0', 12, 0, 1, '4', '127.0.0.1')",
      "insert into channels (driver_id, channel, port, baud_rate, port2) values (12, 0, '1', 9600, "
      "7700)",
      "select * from controllers where driver_id = 12 order by controller_address",
      "select * from channels where driver_id = 12 and channel = 0",
      "update [controllers] set cstatus=1 where address = '12.0'",
      "delete from [event_descriptions] where event_id = '000'",
      "select * from event_descriptions where Event_ID = 'RD010'",
      "select Log_Type from EVENT_Descriptions where event_id = 'RD010'",
      "select routeid from EVENT_Descriptions where event_id = 'RD010'",
      "select region_id,description from region_descriptions order by region_id",
      "Delete from controller_commands where address like '12.%'",
      "select * from controller_commands where address like '12.%'",
      "Delete from controller_commands where id < 5",
      "INSERT INTO cBuffer ([address], [MSG]) VALUES ('12.0','324 0 1') ",
      "select * from cBuffer where address = '12.0'",
      "DELETE FROM [cBuffer] WHERE [Address] = '12.0'",
      "select * from authority_levels where address = '12.0' and subitem = 5",
      "select * from devices where address like '12.0.2.I%' order by device_address",
      "UPDATE devices SET [description]='Front door' where address = '12.0.2.I1'",
      "select id from devices where address = '12.0.3.R1'",
      "UPDATE devices SET [group_id]=4 where address = '12.0.3.R1'",
      "select latch_mode from devices where address = '12.0.3.R1'",
      "select Device_Type from devices where address = '12.0.3.R1'",
      "select * from sked_holidays where address = '12.0' and holiday_index = 1",
      "select * from skeds where controller_address = '12.0' order by sked_id",
      "select description from skeds where sked_id = 3 and controller_address = '12.0'",
      "UPDATE personnel set [first_name] = 'Ann' where id =1",
      "select * from credentials where credential_number = 1234 and record_id <> 5",
      "select record_id from credentials where credential_number =1234 and record_id > 0",
      "select * from personnel_rec where record_id =5 and region = 1",
      "select id,first_name, last_name,ai_id from PERSONNEL where id = 0",
      "update Personnel set [last_reader] = '12.0.3.R1' where id = 0",
      "update Personnel set [last_used] = '20261205 10:11:12' where id = 0",
      "select Controller_Address,Disarm_Areas from alarm_integration where AI_ID = 1 and reader = "
      "'12.0.3.R1'",
      "select description from area_control where area_number = 1 and controller_address = '12.0'",
      "select Open_Window_Time from Secured_Areas where address = '12-0' and id = 3",
      "select description from TimeSchedule_Descriptions where timeschedule_id = 1 and region_id = "
      "0",
      "select macro_id,time_schedule from triggers where event_id = 'PO001' and controller_address "
      "= '12.0'",
      "select comm_channel from sub_controllers where address = '12.0.1'",
      "select connection_type, baud_rate, password from controllers where address = '12.0'",
      "select Description from Sub_Controllers where address = '12.0.1'",
      "select description from workstations",
      "select * from workstations_cmd",
      "select Max_Regions from global_settings where id = 1",
      "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
      "address_description, device, event_id, event_description, name, log_type) VALUES "
      "(0,'20261205','10:11:12',1011.12,'10:11:12','12.0','Panel','','PO001','Restored','Panel "
      "driver 1.0.0',102) ",
      "INSERT INTO events ([region_id],[date], [time], time_num, time_string, address, "
      "address_description, device, event_id, event_description, name, data2, log_type, data, "
      "group_id) VALUES "
      "(1,'20261205','10:11:12',1011.12,'10:11:12','12.0.2.I3','Door','D','RD003','Opened','Ann "
      "Lee','12.0',102,0,5) ",
      "INSERT INTO alarms ([region_id],[date], [time], time_num, time_string, address, "
      "address_description, device, event_id, event_description, name, data2, "
      "device_type,status,priority,data) VALUES "
      "(1,'20261205','10:11:12',1011.12,'10:11:12','12.0.2.I3','Door','D','RD003','Opened','O`"
      "Brien',' ','Point','Active',40,1234) ",
  };
  for (const char* s : statements) {
    try {
      c_->Execute(s);
    } catch (const Error& e) {
      ADD_FAILURE() << s << "\n  -> " << e.what();
    }
  }
  db::Recordset rs;
  rs.Open("select * from events where event_id = 'RD003'", *c_);
  ASSERT_FALSE(rs.Eof());
  EXPECT_EQ(rs.Text("NAME"), "Ann Lee");
  EXPECT_EQ(rs.Text("data2"), "12.0");
}

// Every table the driver names exists with a primary key the recordset updates can use.
TEST_P(SchemaTest, EveryTableHasItsKey) {
  for (const Table& t : Tables()) {
    auto key = c_->PrimaryKey(std::string(t.name));
    EXPECT_EQ(key.size(), t.key.size()) << t.name;
  }
  // sked_holidays has columns named by month numbers.
  db::Recordset rs;
  rs.Open("select * from sked_holidays", *c_, db::CursorType::kKeyset);
  rs.AddNew();
  rs.Set("address", "12.0");
  rs.Set("holiday_index", "1");
  rs.Set("12", std::string(31, '0'));
  rs.Update();
  rs.Open("select * from sked_holidays", *c_);
  EXPECT_EQ(rs.Text("12"), std::string(31, '0'));
}

// Texts from outside of no fixed length (a whole panel detail moves into the name) fit, also
// in a PostgreSQL database made when those columns were varchar(255).
TEST_P(SchemaTest, LongOutsideTextsFit) {
  std::vector<std::unique_ptr<db::Connection>> targets;
  targets.push_back(std::move(c_));
  if (GetParam() == db::Backend::kPostgres) {
    auto old = db::NewConnection();
    old->Open(pg_->CreateDatabase("old"), "", "");
    for (const auto& statement : CreateStatements(db::Backend::kPostgres)) {
      old->Execute(ReplaceAll(statement, " text", " varchar(255)"));
    }
    old->Execute("INSERT INTO events (name) VALUES ('kept')");
    CreateSchema(*old);
    db::Recordset kept;
    kept.Open("select name from events", *old);
    EXPECT_EQ(kept.Text("name"), "kept");
    targets.push_back(std::move(old));
  }
  const std::string text(1000, 'x');
  for (auto& c : targets) {
    for (const char* table : {"events", "alarms"}) {
      db::Recordset rs;
      rs.Open(std::string("select * from ") + table + " where id = 0", *c, db::CursorType::kKeyset);
      rs.AddNew();
      for (const char* field : {"address", "event_description", "name", "data2", "data"}) {
        if (rs.HasField(field)) rs.Set(field, text);
      }
      rs.Update();
      EXPECT_EQ(rs.Text("name"), text) << table;
      EXPECT_EQ(rs.Text("data"), text) << table;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, SchemaTest,
                         ::testing::Values(db::Backend::kSqlite, db::Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == db::Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

// The shipped scripts are what the code creates.
TEST(SchemaScriptTest, ShippedScriptsMatch) {
  for (auto [backend, file] : {std::pair{db::Backend::kSqlite, "sqlite.sql"},
                               std::pair{db::Backend::kPostgres, "postgresql.sql"}}) {
    std::ifstream in(fs::path(ORDANE_SCHEMA_DIR) / file);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), CreateScript(backend))
        << file << " is out of date: regenerate it with ordanectl schema-sql";
  }
}

}  // namespace
}  // namespace ordane::schema
