// The table uploads through the dispatcher, over a real SQLite file: what each table stores,
// what an item that is missing or garbled leaves, and when the closing event and flag appear.
#include "responses/uploads.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/testing/driver_fixture.h"
#include "events/event_files.h"
#include "responses/dispatcher.h"
#include "status/status_files.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

class UploadTest : public DriverTest {
 protected:
  UploadTest() {
    StartedDriver();
    d_.PanelUsers.assign(kPanelUserPanels, std::vector<PanelUser>(kPanelUsersPerPanel));
    d_.panels[0].PortName = "127.0.0.1";
    d_.panels[0].LinkState = kLinkEstablished;
    lib_.region = 3;
    for (const char* code : {"SE080", "SE081", "SE082", "SE083", "SE084", "SE085", "SE086"})
      Sql(std::string("insert into event_descriptions (event_id, description, log_type) values ('") +
          code + "', 'Upload', 5)");
  }

  // A table response of panel 0: its items joined by one blank, as the library hands them over.
  void Dispatch(const std::string& type, const std::vector<std::string>& items) {
    std::string text = type + "\n127.0.0.1\n";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i ? " " : "") + items[i];
    panel_.QueueCommandResponse(text);
    Main_Process(d_);
  }
  std::string Flag(const std::string& key) {
    return ReadProfileString(ResolvePath(d_.DriverFolder, ControllerStatusFile(0)),
                             "Status_Controllers", key, "<none>");
  }
  // How many statement files the driver wrote for events of `code`.
  int Logged(const std::string& code) {
    int n = 0;
    for (const auto& [name, content] : FilesIn(fs::path(d_.RemotePath) / "Events")) {
      std::string identity, statement;
      std::string line = content.substr(0, content.size() - 1);
      if (SplitStatementFileText(lib_.xKeyShow(line, kDriverKey), &identity, &statement) &&
          name.size() > 3 && name.substr(name.size() - 3) == "evn" &&
          statement.find("'" + code + "'") != std::string::npos)
        ++n;
    }
    return n;
  }
  bool Reported(const std::string& text) {
    for (const auto& line : d_.errors.Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

std::vector<std::string> Numbered(const std::string& label, int first, int last,
                                  const std::string& value) {
  std::vector<std::string> items;
  for (int n = first; n <= last; ++n) items.push_back(label + std::to_string(n) + ": " + value);
  return items;
}

TEST_F(UploadTest, AuthorityLevelsKeepTheirMaskAndAGarbledLevelKeepsItsRow) {
  Sql("insert into authority_levels (address, subitem, smash) values ('12.0', 7, 'AAAAAAAA')");
  auto items = Numbered("Authority Level ", 0, 79, "00 00 00 01");
  items[5] = "Authority Level 5: 0F 1E 2D 3C";
  items[6] = "Authority Level 6: ab cd ef 01";
  items[7] = "Authority Level 7: 0G 00 00 00";
  items[79] = "Authority Level 79: FF FF FF FF";  // the last item: no label follows it
  Dispatch("ReadAuthorityLevels", items);
  EXPECT_EQ(One("select smash from authority_levels where subitem = 5"), "0F1E2D3C");
  EXPECT_EQ(One("select smash from authority_levels where subitem = 6"), "abcdef01");
  EXPECT_EQ(One("select smash from authority_levels where subitem = 7"), "AAAAAAAA");
  EXPECT_EQ(One("select smash from authority_levels where subitem = 79"), "FFFFFFFF");
  EXPECT_EQ(One("select count(*) from authority_levels where address = '12.0'"), "80");
  EXPECT_TRUE(Reported("Authority levels from 12.0: 1 item(s) left out"));
  EXPECT_EQ(Logged("SE080"), 1);
  EXPECT_NE(Flag("SE080"), "1");  // not complete
  EXPECT_EQ(d_.panels[0].ActivityText, "");

  items[7] = "Authority Level 7: 01 02 03 04";
  Dispatch("ReadAuthorityLevels", items);
  EXPECT_EQ(One("select smash from authority_levels where subitem = 7"), "01020304");
  EXPECT_EQ(One("select count(*) from authority_levels"), "80");
  EXPECT_EQ(Flag("SE080"), "1");
  EXPECT_FALSE(d_.TableUploadRunning);
}

TEST_F(UploadTest, PointTextsPairWithDeviceRowsByNumberMinusOne) {
  Sql("insert into devices (address, device_address, description, group_id) values "
      "('12.0.2.I1', 1, 'old', 0), ('12.0.2.I2', 2, 'kept', 9), ('12.0.2.I12', 12, 'old', 0), "
      "('12.0.2.I13', 13, 'not on the panel', 5), ('12.1.2.I1', 1, 'other panel', 0)");
  Dispatch("ReadPointTextAll", {"Point text 0: O'Brien's desk   ", "Point Area 0: 0",
                                "Point text 1: Cellar          ", "Point Area 1: x",
                                "Point text 11:   Back_door_west", "Point Area 11: 3"});
  EXPECT_EQ(One("select description from devices where address = '12.0.2.I1'"), "O'Brien's desk");
  EXPECT_EQ(One("select group_id from devices where address = '12.0.2.I1'"), "1");
  EXPECT_EQ(One("select description from devices where address = '12.0.2.I12'"), "Back door west");
  EXPECT_EQ(One("select group_id from devices where address = '12.0.2.I12'"), "4");
  // An area that is not a digit, and a point the panel did not report, keep their rows.
  EXPECT_EQ(One("select description || group_id from devices where address = '12.0.2.I2'"), "kept9");
  EXPECT_EQ(One("select description from devices where address = '12.0.2.I13'"), "not on the panel");
  EXPECT_EQ(One("select description from devices where address = '12.1.2.I1'"), "other panel");
  EXPECT_TRUE(Reported("2 item(s) left out"));
  EXPECT_EQ(Logged("SE081"), 1);
  EXPECT_NE(Flag("SE081"), "1");
}

TEST_F(UploadTest, OnePointTextAndDoorAreas) {
  Sql("insert into devices (address, device_address, description, group_id) values "
      "('12.0.2.I17', 17, 'old', 0), ('12.0.3.R1', 1, 'r', 9), ('12.0.3.R2', 2, 'r', 9), "
      "('12.0.3.R4', 4, 'r', 9), ('12.0.3.R8', 8, 'r', 9)");
  panel_.QueueCommandResponse("RetrievePointText\n127.0.0.1\n17\nLobby_O'Brien  ");
  Main_Process(d_);
  EXPECT_EQ(One("select description from devices where address = '12.0.2.I17'"), "Lobby O'Brien");
  panel_.QueueCommandResponse("RetrievePointText\n127.0.0.1\n17' or '1'='1\nx");
  Main_Process(d_);
  EXPECT_EQ(One("select description from devices where address = '12.0.2.I17'"), "Lobby O'Brien");
  EXPECT_TRUE(Reported("not a point number"));

  // Reader 3 has no row and is skipped; 16 is "no area"; reader 4's area is garbled.
  panel_.QueueCommandResponse("GetDoorAreas\n127.0.0.1\n2 16 5 x 1 1 1 7 ");
  Main_Process(d_);
  EXPECT_EQ(One("select group_id from devices where address = '12.0.3.R1'"), "2");
  EXPECT_EQ(One("select group_id from devices where address = '12.0.3.R2'"), "0");
  EXPECT_EQ(One("select group_id from devices where address = '12.0.3.R4'"), "9");
  EXPECT_EQ(One("select group_id from devices where address = '12.0.3.R8'"), "7");
  EXPECT_EQ(d_.panels[0].ActivityText, "");
}

TEST_F(UploadTest, HolidaysFillTwelveMonthTextsWithA29DayFebruary) {
  auto items = Numbered("Day # ", 0, 365, "00");
  items[59] = "Day # 59: 90";    // 29 February: tables 1 and 4
  items[60] = "Day # 60: 4f";    // 1 March: table 2
  items[365] = "Day # 365: F0";  // 31 December, the last item: every table
  Dispatch("ReadHolidays", items);
  const auto month = [&](int table, int m) {
    return One("select \"" + std::to_string(m) + "\" from sked_holidays where address = '12.0' "
               "and holiday_index = " + std::to_string(table));
  };
  EXPECT_EQ(month(1, 1), std::string(31, '0'));
  EXPECT_EQ(month(1, 2), std::string(28, '0') + "1");
  EXPECT_EQ(month(4, 2), std::string(28, '0') + "1");
  EXPECT_EQ(month(2, 2), std::string(29, '0'));
  EXPECT_EQ(month(2, 3), "1" + std::string(30, '0'));
  EXPECT_EQ(month(3, 4), std::string(30, '0'));
  for (int t = 1; t <= 4; ++t) EXPECT_EQ(month(t, 12), std::string(30, '0') + "1") << t;
  EXPECT_EQ(Flag("SE086"), "1");

  // A day that is missing keeps what the table held for it; the rest is new.
  items.erase(items.begin() + 59);
  items[0] = "Day # 0: 80";
  Dispatch("ReadHolidays", items);
  EXPECT_EQ(month(1, 1), "1" + std::string(30, '0'));
  EXPECT_EQ(month(1, 2), std::string(28, '0') + "1");
  EXPECT_EQ(One("select count(*) from sked_holidays"), "4");
  EXPECT_EQ(Logged("SE086"), 2);
}

TEST_F(UploadTest, SchedulesAreCreatedOnceAndReadFieldByField) {
  auto items = Numbered("SKED ", 0, 39, "False 00 0 000 False 0 0 0 0");
  items[0] = "SKED 0: True 3E 8 C1F False 21C 5 A 1F";
  items[1] = "SKED 1: False 41 F 105 True 5DC 0 0 0";  // 1500 minutes: past 24 hours
  items[2] = "SKED 2: True ZZ 0 000 False 0 0 0 0";
  items[39] = "SKED 39: False 7F 0 000 False 59 1 2 3";  // the last item
  Dispatch("ReadSkeds", items);
  const auto row = [&](int id, const std::string& columns) {
    return One("select " + columns + " from skeds where controller_address = '12.0' and sked_id = " +
               std::to_string(id));
  };
  EXPECT_EQ(row(1, "Xept_Holidays || sunday || monday || tuesday || wednesday || thursday || "
                   "friday || saturday"),
            "10111110");
  EXPECT_EQ(row(1, "holiday1 || holiday2 || holiday3 || holiday4"), "1000");
  EXPECT_EQ(row(1, "sked_date"), "12/31/2026");
  EXPECT_EQ(row(1, "Time_Edit || ' ' || sked_time"), "0 9:00");
  EXPECT_EQ(row(1, "function_code || '/' || parameter1 || '/' || parameter2"), "5/10/31");
  EXPECT_EQ(row(2, "sked_time || ' ' || sked_date || ' ' || Time_Edit"), "00:00 1/5/2026 1");
  EXPECT_EQ(row(3, "description || ' ' || coalesce(sked_time, 'none')"), "Sked#3 none");
  EXPECT_EQ(row(40, "sunday || saturday || ' ' || sked_time || ' ' || parameter2"), "11 1:29 3");
  EXPECT_EQ(One("select count(*) from skeds"), "40");
  EXPECT_NE(Flag("SE085"), "1");

  items[2] = "SKED 2: True 01 0 000 False 3C 0 0 0";
  Dispatch("ReadSkeds", items);
  EXPECT_EQ(One("select count(*) from skeds"), "40");
  EXPECT_EQ(row(3, "description || ' ' || sked_time"), "Sked#3 1:00");
  EXPECT_EQ(Flag("SE085"), "1");
}

// User classes, then token tables, then names, as command 404 asks for them.
class PanelUsersTest : public UploadTest {
 protected:
  PanelUsersTest() {
    Sql("insert into personnel (id, first_name, last_name, name) values "
        "(41, 'Ann', 'O''Lee', 'Ann O''Lee')");
    Sql("insert into credentials (record_id, credential_number, record_number) values (41, 777, 1)");
  }
  static std::vector<std::string> Classes() {
    auto items = Numbered("User Class ", 0, 249, "0 0 0 0 0 0 0 0 0 0");
    items[0] = "User Class 0: 9999 1 F F F F F F F F";
    items[7] = "User Class 7: 1234 2 F 0 3 0 0 0 0 1";
    items[8] = "User Class 8: 555 1 1 1 1 1 1 1 1 1";
    items[9] = "User Class 9:  0 0 0 0 0 0 0 0 0";  // no passcode
    items[249] = "User Class 249: 42 3 a b c d e f 0 1";  // the last item
    return items;
  }
  static std::vector<std::string> Tokens() {
    const std::string none = "FFFFFFFFFF";
    auto items = Numbered("Token Table ", 0, 249, none + " " + none + " " + none + " " + none);
    items[0] = "Token Table 0: 0100C8FFFF " + none + " " + none + " " + none;
    items[7] = "Token Table 7: 0A04D2FFFF " + none + " " + none + " " + none;
    items[10] = "Token Table 10: " + none + " 010309FFFF " + none + " " + none;  // 777: Ann's
    items[11] = "Token Table 11: " + none + " " + none + " 05FFFEFFFF " + none;
    items[12] = "Token Table 12: 0AXYZ1FFFF " + none + " " + none + " " + none;
    return items;
  }
};

TEST_F(PanelUsersTest, ClassesTokensAndNamesReachTheStoreAndThePersonnelRecords) {
  Dispatch("ReadUserClasses", Classes());
  const PanelUser& u7 = d_.PanelUsers[0][7];
  EXPECT_EQ(u7.Passcode, "1234");
  EXPECT_EQ(u7.UserGroup, 2);
  EXPECT_EQ(u7.AuthorityLevel, (std::array<std::int16_t, 8>{15, 0, 3, 0, 0, 0, 0, 1}));
  EXPECT_EQ(d_.PanelUsers[0][249].AuthorityLevel[0], 10);
  EXPECT_EQ(lib_.panel_users["3/7/Auth1"], "15");
  EXPECT_EQ(lib_.panel_users["3/249/UserGroup"], "3");
  EXPECT_EQ(Logged("SE084"), 1);
  EXPECT_EQ(Flag("SE084"), "<none>");  // user classes set no flag

  lib_.w_panel_calls.clear();
  Dispatch("ReadTokenTables", Tokens());
  EXPECT_EQ(d_.PanelUsers[0][0].Token, "200");
  EXPECT_EQ(d_.PanelUsers[0][0].SiteCode, 1);
  // User 7: site 0A, token 04D2 gives a new person with credential 1234 in region 3.
  EXPECT_EQ(d_.PanelUsers[0][7].Token, "1234");
  const std::string p7 = One("select record_id from credentials where credential_number = 1234");
  EXPECT_EQ(One("select facility_code || ' ' || record_number || ' ' || activate_date from "
                "credentials where credential_number = 1234"),
            "10 1 1/1/2010");
  EXPECT_EQ(One("select card_type from personnel where id = " + p7), "Normal");
  EXPECT_EQ(One("select region || ' ' || record_number || ' ' || user_group || ' ' || area1 || "
                "area3 || area8 || ' ' || sub_user_group from personnel_rec where record_id = " + p7),
            "3 7 2 1531 0");
  // User 8: no master token but a passcode, which becomes the token.
  EXPECT_EQ(d_.PanelUsers[0][8].Token, "555");
  EXPECT_EQ(One("select count(*) from credentials where credential_number = 555"), "1");
  // User 9: no token, no passcode: only the store hears of it.
  EXPECT_EQ(lib_.panel_users["3/9/Master"], " ");
  // User 10's sub token is Ann's: her name, no new row.
  EXPECT_EQ(lib_.panel_users["3/10/Name1"], "Ann O'Lee");
  EXPECT_EQ(One("select count(*) from credentials where credential_number = 777"), "1");
  // User 11's sub token 65534 is new: a sub user of the region.
  EXPECT_EQ(One("select p.name || ' ' || r.sub_user_group from personnel p join credentials c on "
                "c.record_id = p.id join personnel_rec r on r.record_id = p.id where "
                "c.credential_number = 65534"),
            "Group 3 Sub User 11.2 2");
  EXPECT_TRUE(Reported("user 12 field 0 not a site code and token"));
  // Ann, users 7, 8 and 249 (passcode 42), and the sub user.
  EXPECT_EQ(One("select count(*) from personnel"), "5");
  EXPECT_EQ(One("select count(*) from personnel_rec"), "4");

  // A second token upload adds nobody.
  Dispatch("ReadTokenTables", Tokens());
  EXPECT_EQ(One("select count(*) from personnel"), "5");
  EXPECT_EQ(One("select count(*) from personnel_rec"), "4");
  EXPECT_EQ(Logged("SE083"), 2);

  auto names = Numbered("~User Name ", 0, 249, std::string(16, ' '));
  names[0] = "~User Name 0: Somebody Else   ";
  names[7] = "~User Name 7: JOHN SMITH      ";
  names[8] = "~User Name 8: D'ARCY O'NEIL';-";
  names[249] = "~User Name 249: PRINCE";
  Dispatch("ReadUserNames", names);
  EXPECT_EQ(One("select first_name || '|' || last_name || '|' || name from personnel where id = " + p7),
            "John|Smith|John Smith");
  EXPECT_EQ(One("select name from personnel p join credentials c on c.record_id = p.id where "
                "c.credential_number = 555"),
            "D'arcy O'neil';-");
  EXPECT_EQ(lib_.panel_users["3/0/Name"], "INSTALLER");
  EXPECT_EQ(lib_.panel_users["3/0/Token"], "200");
  EXPECT_EQ(lib_.panel_users["3/0/Auth1"], "15");
  EXPECT_EQ(lib_.panel_users["3/249/Name"], "PRINCE");
  EXPECT_EQ(One("select count(*) from personnel"), "5");
  EXPECT_EQ(Flag("SE082"), "1");
}

TEST_F(UploadTest, NoiseStoresNothingAndLeavesNoFlag) {
  Sql("insert into devices (address, device_address, description) values ('12.0.2.I1', 1, 'door')");
  std::string noise;
  for (int i = 0; noise.size() < 29000; ++i)
    noise += "Token Table " + std::to_string(i % 300) + ": ' or 1=1; drop table personnel; -- ";
  for (const char* type : {"ReadAuthorityLevels", "ReadPointTextAll", "ReadHolidays", "ReadSkeds",
                           "ReadUserClasses", "ReadTokenTables", "ReadUserNames"})
    Dispatch(type, {noise});
  EXPECT_EQ(One("select count(*) from personnel"), "0");
  EXPECT_EQ(One("select count(*) from authority_levels"), "0");
  EXPECT_EQ(One("select description from devices where address = '12.0.2.I1'"), "door");
  for (const char* key : {"SE080", "SE081", "SE085", "SE086"}) EXPECT_NE(Flag(key), "1") << key;
  EXPECT_FALSE(d_.TableUploadRunning);
}

// A row the database refuses undoes that item only; the rest of the table is stored.
TEST_F(UploadTest, ARefusedRowIsLeftOutAndTheRestIsStored) {
  Sql("create unique index one_mask_each on authority_levels (smash)");
  std::vector<std::string> items;
  for (int n = 0; n < 80; ++n)
    items.push_back("Authority Level " + std::to_string(n) + ": 00 00 00 " +
                    ZeroPad(n == 3 ? 2 : n, 2));
  Dispatch("ReadAuthorityLevels", items);
  EXPECT_EQ(One("select count(*) from authority_levels"), "79");
  EXPECT_TRUE(Reported("Authority Level 3 refused by the database"));
  EXPECT_NE(Flag("SE080"), "1");
}

}  // namespace
}  // namespace ordane
