#include "panelsim/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "util/conversions.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane::panelsim {
namespace {

constexpr std::time_t kNow = 1796500000;  // a December afternoon in 2026

// The command response buffer the driver searches: the items joined by one blank.
std::string Buffer(const std::vector<std::string>& items) {
  std::string b;
  for (const auto& i : items) b += (b.empty() ? "" : " ") + i;
  return b;
}

// The value after `label`, read the way the upload handlers read it: `width` characters.
std::string After(const std::string& buffer, const std::string& label, std::size_t width) {
  const std::size_t at = InStr(buffer, label);
  EXPECT_GT(at, 0u) << label;
  return Mid(buffer, at + label.size(), width);
}

Answer Ask(PanelModel& m, std::string_view function, std::string_view args = "") {
  std::vector<RaisedEvent> events;
  return m.Handle(function, args, kNow, events);
}

TEST(PanelTables, UserClassesReadBackAsTheUploadParsesThem) {
  PanelModel m(1, 32);
  ASSERT_EQ(Ask(m, "UPDATEUSERCLASS", "7 4711 2 F 0 3 0 0 0 0 1").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "UPDATEUSERCLASS", "249 987654 9 12345678").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "UPDATEUSERCLASS", "30 - 0 00000000").kind, Answer::Kind::kOk);
  const std::string buf = Buffer(Ask(m, "READUSERCLASSES").items);
  struct Case {
    int user;
    std::string passcode;
    int group;
    std::vector<int> levels;
  } cases[] = {{7, "4711", 2, {15, 0, 3, 0, 0, 0, 0, 1}},
               {249, "987654", 9, {1, 2, 3, 4, 5, 6, 7, 8}},
               {30, "", 0, {0, 0, 0, 0, 0, 0, 0, 0}},
               {0, "123456", 0, {15, 15, 15, 15, 15, 15, 15, 15}}};
  for (const auto& c : cases) {
    // Item: from the value start up to the character before the next "U", or 25 characters.
    const std::string label = "User Class " + std::to_string(c.user) + ": ";
    const std::size_t start = InStr(buf, label) + label.size();
    const std::size_t u = InStr(buf, "U", start + 1);
    const std::string item = u ? Mid(buf, start, u - 1 - start) : Mid(buf, start, 25);
    const std::size_t s = InStr(item, " ");
    EXPECT_EQ(Left(item, s - 1), c.passcode) << c.user;
    EXPECT_EQ(ValueOf0(Mid(item, s + 1, 1)), c.group) << c.user;
    for (int n = 1; n <= 8; ++n) {
      std::string digit = Mid(item, s + 2 * n + 1, 1);
      EXPECT_EQ(HexToNumber(digit), c.levels[n - 1]) << "user " << c.user << " area " << n;
    }
  }
}

TEST(PanelTables, TokenNamesLevelsAndPointTextsHaveTheirWidths) {
  PanelModel m(2, 40);
  ASSERT_EQ(Ask(m, "UPDATETOKENTABLE", "30 0 10 43981").kind, Answer::Kind::kOk);  // ABCD
  ASSERT_EQ(Ask(m, "UPDATETOKENTABLE", "30,3,255,1").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "UPDATETOKENTABLE", "31 0 10 65535").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "UPDATEUSERNAME", "12 ALICE WONDERLANDERS").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "SETPOINTTEXT", "40 Side_Gate").kind, Answer::Kind::kOk);
  m.authority_level(5) = 0x0F1E2D3C;
  m.point(40).area = 4;

  const std::string tokens = Buffer(Ask(m, "READTOKENTABLES").items);
  const std::string t30 = After(tokens, "Token Table 30: ", 43);
  EXPECT_EQ(Mid(t30, 1, 2), "0A");
  EXPECT_EQ(hexval32(Mid(t30, 3, 4)), 0xABCD);
  EXPECT_EQ(Mid(t30, 34, 6), "FF0001");
  EXPECT_EQ(Mid(t30, 12, 6), "FFFFFF");  // an empty sub token field
  EXPECT_EQ(Mid(After(tokens, "Token Table 31: ", 43), 3, 4), "FFFF");

  const std::string names = Buffer(Ask(m, "READUSERNAMES").items);
  EXPECT_EQ(After(names, "~User Name 12: ", 16), "ALICE WONDERLAND");
  EXPECT_EQ(After(names, "~User Name 249: ", 16), std::string(16, ' '));

  const std::string levels = Buffer(Ask(m, "READAUTHORITYLEVELS").items);
  const std::string l5 = After(levels, "Authority Level 5: ", 12);
  EXPECT_EQ(Mid(l5, 1, 2) + Mid(l5, 4, 2) + Mid(l5, 7, 2) + Mid(l5, 10, 2), "0F1E2D3C");

  const std::string points = Buffer(Ask(m, "READPOINTTEXTALL").items);
  EXPECT_EQ(After(points, "Point text 39: ", 16), "Side_Gate       ");
  EXPECT_EQ(ValueOf0(After(points, "Point Area 39: ", 1)) + 1, 4);
  EXPECT_EQ(Ask(m, "READPOINTTEXTALL").items.size(), 80u);
}

TEST(PanelTables, HolidaysAndSkedsDecodeToTheirFields) {
  PanelModel m(1, 8);
  ASSERT_EQ(Ask(m, "SETHOLIDAY", "59 90").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "SETHOLIDAY", "12/31 F0").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "UPDATESKED", "40 True 3E A C1F False 21C 3 1 FFFF").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "UPDATESKED", "39 False 41 0 21D True 59F 0 0 0").kind, Answer::Kind::kOk);

  const std::string days = Buffer(Ask(m, "READHOLIDAYS").items);
  std::string d59 = Trim(After(days, "Day # 59: ", 2));
  EXPECT_EQ(HexToBits(d59).substr(0, 4), "1001");
  std::string d365 = Trim(After(days, "Day # 365: ", 2));
  EXPECT_EQ(HexToBits(d365).substr(0, 4), "1111");

  const std::string skeds = Buffer(Ask(m, "READSKEDS").items);
  // Sked 39 (index 38) is followed by another "SKED"; sked 40 is the last item.
  const std::string label = "SKED 38: ";
  const std::size_t start = InStr(skeds, label) + label.size();
  const std::size_t next = InStr(skeds, "SKED", start + 1);
  const std::string item39 = Mid(skeds, start, next - 1 - start);
  EXPECT_EQ(item39, "False 41 0 21D True 59F 0 0 0");
  const std::string item40 = Mid(skeds, InStr(skeds, "SKED 39: ") + 9);
  EXPECT_EQ(item40, "True 3E A C1F False 21C 3 1 FFFF");
}

// Every event a command raises decodes, field by field, to the thing that changed.
TEST(PanelEvents, CommandsRaiseEventsTheDecoderReadsBack) {
  struct Case {
    std::string function, args;
    std::string number, type;  // event number (hex) and panel event type
    std::string f1, r;
  } cases[] = {
      {"ARMAREA", "2 7", "10", "13", "07", "1"},  // user 7, area decval(R)+1 = 2
      {"ARMAREA", "3 P", "12", "13", "00", "2"},  // part armed, no user
      {"DISARMAREA", "1 249", "11", "13", "F9", "0"},
      {"BYPASSPOINT", "12", "05", "06", "0B", "00"},       // point 16*0+11+1 = 12
      {"SETONBOARDRELAY", "1 1", "14", "09", "FC", "01"},  // relay 253: on-board 1
      {"SETOFFBOARDRELAY", "16 1", "14", "09", "0F", "01"},
      {"DOORCOMMAND", "Unlock 3 12", "18", "1C", "0C", "3"},
      {"SILENCEBELL", "4", "16", "03", "04", "00"},
  };
  for (const auto& c : cases) {
    PanelModel m(1, 32);
    std::vector<RaisedEvent> events;
    const Answer a = m.Handle(c.function, c.args, kNow, events);
    ASSERT_EQ(a.kind, Answer::Kind::kOk) << c.function << " " << c.args << ": " << a.data;
    ASSERT_EQ(events.size(), 1u) << c.function << " " << c.args;
    // mm/dd/yyyy hh:mm:ss, a field the decoder skips, then number, type, F1 and R.
    const std::string& t = events[0].text;
    const std::string tail = " " + c.number + " " + c.type + " " + c.f1 + " " + c.r;
    ASSERT_GE(t.size(), 21 + tail.size()) << t;  // the skipped field holds a character at least
    EXPECT_EQ(t.substr(6, 5) + t.substr(19, 1), "2026  ") << t;
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << t;
    EXPECT_EQ(std::count(t.begin(), t.end(), ' '), 6) << t;
  }
}

TEST(PanelEvents, PointsAndClockChangeStateAndRaiseEvents) {
  PanelModel m(1, 16);
  std::vector<RaisedEvent> events;
  EXPECT_EQ(m.SetPoint(16, 'O', kNow, events), "");
  EXPECT_EQ(m.SetPoint(16, 'O', kNow, events), "");  // no change, no event
  EXPECT_EQ(m.SetPoint(16, 'N', kNow, events), "");
  EXPECT_NE(m.SetPoint(17, 'O', kNow, events), "");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[0].text.find(" 01 01 0F "), std::string::npos) << events[0].text;
  EXPECT_NE(events[1].text.find(" 02 01 0F "), std::string::npos) << events[1].text;

  events.clear();
  ASSERT_EQ(m.Handle("SETDATETIME", "031527094 5PM", kNow, events).kind, Answer::Kind::kNak);
  ASSERT_EQ(m.Handle("SETDATETIME", "0315270945PM", kNow, events).kind, Answer::Kind::kOk);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text.substr(0, 17), "03/15/2027 21:45:");
  EXPECT_NE(events[0].text.find(" 17 0C 21 00"), std::string::npos) << events[0].text;
  const Answer status = m.Handle("GETPANELSTATUS", "", kNow, events);
  EXPECT_NE(status.data.find("DATE=03/15/2027"), std::string::npos) << status.data;
}

TEST(PanelRequests, StatusTextsHaveOneCharacterPerThing) {
  PanelModel m(3, 20);
  std::vector<RaisedEvent> ev;
  m.SetPoint(2, 'S', kNow, ev);
  Ask(m, "BYPASSPOINT", "20");
  Ask(m, "ARMAREA", "4");
  Ask(m, "SETOFFBOARDRELAY", "2 1");
  Ask(m, "DOORCOMMAND", "Unlock 8");
  struct Case {
    std::string function, args, type, data;
  } cases[] = {
      {"GETAREASTATUS", "", "AreaStatus", "DDDA----"},
      {"GETACTUALPOINTSTATUS", "", "ActualPointStatus", "NSNNNNNNNNNNNNNNNNNN"},
      {"POINTBYPASSSTATUS", "", "PointBypassStatus", "00000000000000000001"},
      {"GETONBOARDRELAYSTATUS", "", "On-boardRelayStatus", "000"},
      {"GETOFFBOARDRELAYSTATUS", "", "Off-boardRelayStatus", "0100000000000000"},
      {"DOORCOMMAND", "GetStatus 0", "DoorStatus", "LLLLLLLU"},
      {"GETDOORAREAS", "", "GetDoorAreas", "1 1 2 2 3 3 4 16 "},
      {"GETFIRMWAREREVISION", "", "FirmwareVersion", "7.06"},
      {"GETPOINTTEXT", "2", "RetrievePointText", "2"},
  };
  for (const auto& c : cases) {
    const Answer a = Ask(m, c.function, c.args);
    EXPECT_EQ(a.kind, Answer::Kind::kResponse) << c.function;
    EXPECT_EQ(a.type, c.type) << c.function;
    EXPECT_EQ(a.data, c.data) << c.function;
  }
  EXPECT_EQ(Ask(m, "GETPOINTTEXT", "2").extra, "Reception PIR   ");
}

TEST(PanelRequests, BadArgumentsAreRefusedAndChangeNothing) {
  const std::string cases[] = {
      // The function, then its arguments (area 5 is not in use).
      "ARMAREA", "ARMAREA 9", "ARMAREA 5", "ARMAREA 1 250", "DISARMAREA -1", "DISARMAREA x",
      "BYPASSPOINT 0", "BYPASSPOINT 33", "BYPASSPOINT 3 maybe", "SETONBOARDRELAY 4 1",
      "SETOFFBOARDRELAY 1", "DOORCOMMAND Open 1", "DOORCOMMAND Lock 9", "SETDATETIME 1399991261AM",
      "SETDATETIME", "UPDATEUSERNAME 250 X", "UPDATEUSERCLASS 1 12U4 1 00000000",
      "UPDATEUSERCLASS 1 1234 1 0000000G", "UPDATETOKENTABLE 1 4 10 10",
      "UPDATETOKENTABLE 1 0 256 10", "UPDATESKED 41 True 3E A C1F False 21C 3 1 0",
      "UPDATESKED 1 True 3E A D01 False 21C 3 1 0", "SETHOLIDAY 366 80", "SETHOLIDAY 2/30 80",
      "SETHOLIDAY 1 81", "SETPOINTTEXT 99 x", "GETPOINTTEXT", "BULKUSERNAMEUPDATE",
      "BULKUSERNAMEUPDATE 1 A;300 B", "NOSUCHFUNCTION 1"};
  for (const std::string& c : cases) {
    SCOPED_TRACE(c);
    const std::size_t blank = c.find(' ');
    const std::string function = c.substr(0, blank);
    const std::string args = blank == std::string::npos ? "" : c.substr(blank + 1);
    PanelModel m(1, 32);
    auto state = [&] {
      return Buffer(Ask(m, "READUSERCLASSES").items) + m.AreaStatus() + m.BypassStatus() +
             m.DoorStatus() + Buffer(m.SkedItems());
    };
    const std::string before = state();
    std::vector<RaisedEvent> events;
    const Answer a = m.Handle(function, args, kNow, events);
    EXPECT_EQ(a.kind, Answer::Kind::kNak);
    EXPECT_FALSE(a.data.empty());
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(state(), before);
  }
}

TEST(PanelRequests, BulkUpdatesApplyEveryRecord) {
  PanelModel m(1, 32);
  ASSERT_EQ(Ask(m, "BULKPOINTTEXTUPDATE", "1 North Door; 2 South Door ;").kind, Answer::Kind::kOk);
  ASSERT_EQ(Ask(m, "BULKTOKENTABLEUPDATE", "5,0,10,500;6,1,11,600").kind, Answer::Kind::kOk);
  EXPECT_EQ(m.point(1).text, "North Door");
  EXPECT_EQ(m.point(2).text, "South Door");
  EXPECT_EQ(m.user(5).tokens[0].number, 500);
  EXPECT_EQ(m.user(6).tokens[1].site, 11);
}

}  // namespace
}  // namespace ordane::panelsim
