#include "responses/dispatcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/testing/driver_fixture.h"
#include "events/event_files.h"
#include "util/files.h"
#include "util/paths.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

std::string Buffer(const std::string& text) {
  std::string b = text + std::string(1, '\0');
  b.resize(kCommandBufferLength, ' ');
  return b;
}

TEST(CommandResponses, SplitIntoTypeLinkDataAndExtra) {
  const std::string nul(1, '\0');
  struct Case {
    std::string text;
    CommandResponse want;
  } cases[] = {
      {"", {}},
      {"no line feed", {}},
      {"127.0.0.2\nLostPanel", {"LostPanel", "127.0.0.2", "127.0.0.2", ""}},
      {"  COM3  \n  ReestablishedPanel  ", {"ReestablishedPanel", "COM3", "COM3", ""}},
      {"AreaStatus\n127.0.0.2\nAADP----", {"AreaStatus", "127.0.0.2", "AADP----" + nul, ""}},
      {"FirmwareVersion\n 127.0.0.2 \n  7.06  ",
       {"FirmwareVersion", "127.0.0.2", "7.06  " + nul, ""}},
      {"RetrievePointText\n127.0.0.2\n17\tLobby door  ",
       {"RetrievePointText", "127.0.0.2", "17\tLobby door  " + nul, ""}},
      {"RetrievePointText\n127.0.0.2\n 17 \n Lobby door  ",
       {"RetrievePointText", "127.0.0.2", "17", "Lobby door"}},
      {"T\nP\nD\nE1\nE2", {"T", "P", "D", "E1\nE2"}},
  };
  for (const auto& c : cases) {
    CommandResponse got = SplitCommandResponse(Buffer(c.text));
    if (c.text.empty() || c.text == "no line feed") {
      // No LF at all: nothing waits.
      EXPECT_EQ(got.link_name, "") << c.text;
      continue;
    }
    EXPECT_EQ(got.type, c.want.type) << c.text;
    EXPECT_EQ(got.link_name, c.want.link_name) << c.text;
    EXPECT_EQ(got.data, c.want.data) << c.text;
    EXPECT_EQ(got.extra, c.want.extra) << c.text;
  }
  // The untouched buffer of 30000 blanks holds no response.
  EXPECT_EQ(SplitCommandResponse(std::string(kCommandBufferLength, ' ')).link_name, "");
}

TEST(BusyState, FortyBusyAnswersInARowShowBusy) {
  PanelSlot slot;
  for (int i = 1; i <= 39; ++i) {
    ApplyBusyAnswer(slot, "Busy");
    ASSERT_EQ(slot.BusyState, "") << i;
  }
  ApplyBusyAnswer(slot, "Busy");
  EXPECT_EQ(slot.BusyState, "Busy");
  for (int i = 0; i < 10; ++i) ApplyBusyAnswer(slot, "Busy");
  EXPECT_EQ(slot.BusyCount, 40);
  ApplyBusyAnswer(slot, "Not busy");
  EXPECT_EQ(slot.BusyState, "");
  EXPECT_EQ(slot.BusyCount, 0);

  ApplyBusyAnswer(slot, "Unknown panel");
  EXPECT_EQ(slot.BusyState, "Unknown panel");
  slot.BusyCount = 5;
  ApplyBusyAnswer(slot, "something else");  // none of the three: state emptied, count kept
  EXPECT_EQ(slot.BusyState, "");
  EXPECT_EQ(slot.BusyCount, 5);
}

TEST(EventDates, YearRepairedOnlyBeyond300Days) {
  const LocalTime now{2027, 1, 10, 12, 0, 0};
  EXPECT_EQ(RepairEventYear("03/16/2026", now), "03/16/2026");  // 300 days ago keeps its year
  EXPECT_EQ(RepairEventYear("03/15/2026", now), "03/15/2027");  // 301 days ago gets this year
  EXPECT_EQ(RepairEventYear("1/10/2027", now), "1/10/2027");
  EXPECT_THROW(RepairEventYear("garbage", now), Error);
}

class MainProcessTest : public DriverTest {
 protected:
  void Describe(const std::string& event_id, const std::string& text, int log_type) {
    Sql("insert into event_descriptions (event_id, description, log_type) values ('" + event_id +
        "', '" + text + "', " + std::to_string(log_type) + ")");
  }
};

TEST_F(MainProcessTest, StatusResponsesLandInTheirSlotAndUnknownLinksAreReported) {
  StartedDriver();
  d_.panels[3].PortName = "127.0.0.4";
  panel_.QueueCommandResponse("AreaStatus\n127.0.0.4\nAAD-----");
  Main_Process(d_);
  EXPECT_EQ(d_.panels[3].AreaStatusText, std::string("AAD-----") + '\0');

  panel_.QueueCommandResponse("AreaStatus\n127.0.0.99\nDDDDDDDD");
  Main_Process(d_);
  ASSERT_FALSE(d_.errors.Lines().empty());
  EXPECT_EQ(d_.errors.Lines()[0].rfind("ERR_Main_Process:  ", 0), 0u);
  EXPECT_EQ(d_.panels[3].AreaStatusText, std::string("AAD-----") + '\0');

  // Nothing waiting: every one of the 32 slots is asked for its busy state, used or not.
  panel_.ClearCalls();
  Main_Process(d_);
  auto busy = panel_.CallsTo("GETBUSYSTATE");
  ASSERT_EQ(busy.size(), 32u);
  EXPECT_EQ(busy[3].text, "127.0.0.4");
  EXPECT_EQ(busy[0].text, "");
}

TEST_F(MainProcessTest, EveryStatusTypeLandsInItsOwnField) {
  StartedDriver();
  d_.panels[5].PortName = "127.0.0.6";
  const struct {
    const char* type;
    std::string PanelSlot::*field;
  } table[] = {
      {"PanelStatus", &PanelSlot::PanelStatusText},
      {"FirmwareVersion", &PanelSlot::FirmwareText},
      {"AreaStatus", &PanelSlot::AreaStatusText},
      {"DoorStatus", &PanelSlot::DoorStatusText},
      {"On-boardRelayStatus", &PanelSlot::OnBoardRelayText},
      {"Off-boardRelayStatus", &PanelSlot::OffBoardRelayText},
      {"PointBypassStatus", &PanelSlot::BypassText},
      {"ActualPointStatus", &PanelSlot::PointStatusText},
  };
  // Each type carries its own data; after all of them every field holds its own type's data,
  // so two types whose fields were swapped show up here.
  for (const auto& row : table) {
    panel_.QueueCommandResponse(std::string(row.type) + "\n127.0.0.6\ndata of " + row.type);
    Main_Process(d_);
  }
  panel_.QueueCommandResponse("DefaultStatus\n127.0.0.6\nignored");
  Main_Process(d_);
  for (const auto& row : table)
    EXPECT_EQ(d_.panels[5].*row.field, std::string("data of ") + row.type + '\0') << row.type;
  EXPECT_TRUE(d_.errors.Lines().empty());
}

TEST_F(MainProcessTest, BusyStateIsAskedByTheUpperCasedLinkName) {
  StartedDriver();
  d_.panels[1].PortName = "lobby";
  std::string text = "TCP/IP - lobby 7701";
  panel_.INITIALIZEPANEL(text);
  panel_.ClearCalls();
  Main_Process(d_);
  const auto busy = panel_.CallsTo("GETBUSYSTATE");
  ASSERT_EQ(busy.size(), 32u);
  EXPECT_EQ(busy[1].text, "LOBBY");
  EXPECT_EQ(d_.panels[1].BusyState, "");
  // The library holds no link for an unused slot: it is shown as an unknown panel.
  EXPECT_EQ(d_.panels[0].BusyState, "Unknown panel");
}

TEST_F(MainProcessTest, APanelIsLostAtTheThirdNotificationInARow) {
  Sql("insert into controllers (address, driver_id, controller_address, cstatus) values ('12.0', "
      "12, 0, 1)");
  Describe("PO003", "Lost", 5);
  StartedDriver();
  d_.errors.debug = true;
  d_.panels[0].PortName = "COM1";
  d_.panels[0].LinkState = kLinkEstablished;
  auto notify = [&](const char* what) {
    panel_.QueueCommandResponse(std::string("COM1\n") + what);
    Main_Process(d_);
  };
  notify("LostPanel");
  notify("ReestablishedPanel");  // already established: only the debug line, count kept
  EXPECT_EQ(d_.errors.Lines()[0], "Reestablished Panel:  12.0  (status=1)");
  notify("LostPanel");
  EXPECT_EQ(d_.panels[0].LinkState, kLinkEstablished);
  EXPECT_EQ(One("select cstatus from controllers where address = '12.0'"), "1");
  notify("LostPanel");
  EXPECT_EQ(d_.panels[0].LinkState, kLinkLost);
  EXPECT_EQ(d_.panels[0].LostCount, 0);
  EXPECT_EQ(One("select cstatus from controllers where address = '12.0'"), "0");
  notify("LostPanel");  // already lost: nothing counts
  EXPECT_EQ(d_.panels[0].LostCount, 0);

  notify("ReestablishedPanel");
  EXPECT_EQ(d_.panels[0].LinkState, kLinkEstablished);
  EXPECT_EQ(One("select cstatus from controllers where address = '12.0'"), "1");
}

// An event that cannot be stored is held: it is logged again on the next ticks, the library
// is not asked for another event (that request would acknowledge the held one to its panel),
// its status requests go out once and its failure is reported once.
TEST_F(MainProcessTest, AnEventThatCannotBeStoredIsHeldAndNotAcknowledged) {
  Describe("RD001", "Alarm", 101);
  Describe("RD002", "Restore", 101);
  StartedDriver();
  d_.panels[0].PortName = "127.0.0.1";
  fs::remove_all(d_.RemotePath + "/Events");
  std::ofstream(d_.RemotePath + "/Events") << "not a folder";
  panel_.QueueEventLine("127.0.0.1-12/05/2026 10:00:00 17 01 01 0B 00");
  panel_.QueueEventLine("127.0.0.1-12/05/2026 10:00:01 18 02 01 0B 00");
  for (int tick = 0; tick < 3; ++tick) Main_Process(d_);
  EXPECT_EQ(panel_.CallsTo("GETEVENTRESPONSE").size(), 1u);
  EXPECT_EQ(panel_.pending_event_lines(), 1u);
  EXPECT_EQ(panel_.CallsTo("GETACTUALPOINTSTATUS").size(), 1u);
  EXPECT_EQ(CString(d_.HeldEventLine), "127.0.0.1-12/05/2026 10:00:00 17 01 01 0B 00");
  int held = 0;
  for (const auto& line : d_.errors.Lines())
    held += line.rfind(
                "ERR_Main_Process:  panel event held until it can be stored: "
                "127.0.0.1-12/05/2026 10:00:00 17 01 01 0B 00",
                0) == 0;
  EXPECT_EQ(held, 1);
  EXPECT_TRUE(ListMatching(d_.RemotePath, "*.evn").empty());

  // The folder is back: one pass stores the held event, then drains what waits (the next
  // event, then an empty answer), asking for each only once the one before is stored.
  fs::remove(d_.RemotePath + "/Events");
  Main_Process(d_);
  EXPECT_TRUE(d_.HeldEventLine.empty());
  EXPECT_EQ(panel_.CallsTo("GETEVENTRESPONSE").size(), 3u);
  EXPECT_EQ(panel_.pending_event_lines(), 0u);
  EXPECT_EQ(ListMatching(d_.RemotePath + "/Events", "*.evn").size(), 2u);
}

// A pass takes every event and every command response that waits, not one of each per tick;
// with a budget of time it stops and leaves the rest to the next pass.
TEST_F(MainProcessTest, APassDrainsWhatWaitsWithinItsBudget) {
  Describe("RD001", "Alarm", 101);
  StartedDriver();
  d_.panels[0].PortName = "127.0.0.1";
  for (int n = 0; n < 25; ++n)
    panel_.QueueEventLine("127.0.0.1-12/05/2026 10:00:00 " + std::to_string(n + 1) +
                          " 01 01 0B 00");
  for (int n = 0; n < 12; ++n)
    panel_.QueueCommandResponse(n % 2 ? "AreaStatus\n127.0.0.1\nAAD" : "PanelStatus\n127.0.0.1\nAC=OK");
  Main_Process(d_);
  EXPECT_EQ(panel_.pending_event_lines(), 0u);
  EXPECT_EQ(ListMatching(d_.RemotePath + "/Events", "*.evn").size(), 25u);
  EXPECT_EQ(CString(d_.panels[0].AreaStatusText), "AAD");
  EXPECT_TRUE(panel_.CallsTo("GETBUSYSTATE").empty());  // responses waited: no busy polling

  // A budget that is spent at once takes one event and one response per pass.
  d_.settings.DrainBudgetMs = 1;
  clock_.steady_step = std::chrono::milliseconds(5);
  panel_.QueueEventLine("127.0.0.1-12/05/2026 10:00:01 30 01 01 0B 00");
  panel_.QueueEventLine("127.0.0.1-12/05/2026 10:00:01 31 01 01 0B 00");
  Main_Process(d_);
  EXPECT_EQ(panel_.pending_event_lines(), 1u);
}

// Quotes and SQL text from the panel are data: the statement the event gives inserts one row
// and changes nothing else, and it carries the event's identity.
TEST_F(MainProcessTest, QuotesAndSqlTextFromThePanelStayData) {
  Describe("RD001", "Alarm", 101);
  StartedDriver();
  d_.panels[0].PortName = "127.0.0.1";
  const std::string text = "O'Brien'); DELETE FROM event_descriptions; --";
  panel_.QueueEventLine("127.0.0.1-12/05/2026 10:00:00 17 01 0D 02 " + text);
  Main_Process(d_);
  const auto files = ListMatching(d_.RemotePath + "/Events", "*.evn");
  ASSERT_EQ(files.size(), 1u);
  std::string line = *ReadWholeFile(files[0]);
  line.pop_back();
  std::string identity, statement;
  ASSERT_TRUE(SplitStatementFileText(lib_.xKeyShow(line, kDriverKey), &identity, &statement));
  EXPECT_EQ(identity, "12 17 12/05/2026 10:00:00 01 127.0.0.1/events");
  Sql(statement);
  EXPECT_EQ(One("select count(*) from events"), "1");
  EXPECT_EQ(One("select count(*) from event_descriptions where event_id = 'RD001'"), "1");
  EXPECT_NE(One("select name from events").find("Bit Map = O`Brien`); DELETE FROM"),
            std::string::npos)
      << One("select name from events");
}

// A buffer without a hyphen holds no event: nothing is held and the library is asked again.
TEST_F(MainProcessTest, NoHyphenNoEvent) {
  StartedDriver();
  panel_.QueueEventLine("no event here");
  for (int tick = 0; tick < 2; ++tick) Main_Process(d_);
  EXPECT_EQ(panel_.CallsTo("GETEVENTRESPONSE").size(), 2u);
  EXPECT_TRUE(d_.HeldEventLine.empty());
}

}  // namespace
}  // namespace ordane
