#include "events/decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/testing/driver_fixture.h"
#include "util/text.h"

namespace ordane {
namespace {

// The library's buffer: the line, its NUL, blanks up to 1026 characters.
std::string Buffer(const std::string& line) {
  std::string b = line + std::string(1, '\0');
  b.resize(1026, ' ');
  return b;
}

std::string Line(const std::string& number, const std::string& type, const std::string& f1,
                 const std::string& r, const std::string& link = "127.0.0.1") {
  return Buffer(link + "-12/05/2026 10:00:00 17 " + number + " " + type + " " + f1 + " " + r);
}

class DecoderTest : public DriverTest {
 protected:
  void SetUp() override {
    StartedDriver();
    d_.panels[0].PortName = "127.0.0.1";
    d_.panels[3].PortName = "COM4";
    Sql("insert into Secured_Areas (address, id, Description) values ('12.0', 3, 'Warehouse')");
    Sql("insert into skeds (controller_address, sked_id, description) values ('12.0', 6, "
        "'Night shift')");
  }
};

TEST_F(DecoderTest, EveryPanelEventType) {
  struct Case {
    const char* number;  // event number (hexadecimal)
    const char* type;
    const char* f1;
    const char* r;
    const char* address;  // after the controller address "12.0"
    const char* detail;
  };
  const std::vector<Case> cases = {
      // Users are hexadecimal and 1 to 249; 0 is named, 250 keeps the type.
      {"1F", "03", "00", "00", "", "UserID=0"},
      {"16", "03", "0C", "00", "", "UserID=12"},
      {"16", "03", "F9", "00", "", "UserID=249"},
      {"16", "03", "FA", "00", "", "03"},
      {"20", "04", "01", "02", "", "04"},
      // Labelled values need decval(F1) <> 0: "0A" reads 0; F1 keeps its two characters.
      {"22", "07", "0A", "", "", "07"},
      {"22", "07", "12", "", "", "Phone Line = 12"},
      {"22", "07", "5", "", "", "Phone Line = 05"},
      {"01", "08", "03", "", "", "Phone # Index = 03"},
      // Points: 16 x first digit + second + 1; R replaces the detail when there is one.
      {"01", "01", "0B", "", ".2.I12", "01"},
      {"01", "01", "0B", "open", ".2.I12", "open"},
      {"46", "01", "0B", "x", "", "x"},  // RD070 and RD071 stay on the controller
      {"47", "02", "0B", "x", "", "x"},
      {"04", "02", "1F", "y", ".2.I32", "y"},
      {"05", "06", "A0", "z", ".2.I161", "z"},
      {"07", "0A", "00", "", ".2.I1", "0A"},
      {"01", "0B", "FF", "", ".2.I256", "0B"},
      {"01", "1E", "10", "01", ".2.I17", "01"},
      // Point with user: only RD003 and RD115; user in characters 10-11 (hexadecimal), the
      // sub-number in 13-14 (decimal: "1A" reads 1).
      {"03", "11", "02", "01 02 03 0C 05", ".2.I3", "UserID=12.5"},
      {"73", "11", "02", "01 02 03 0C 00", ".2.I3", "UserID=12.0"},
      {"03", "11", "02", "01 02 03 00 1A", ".2.I3", "UserID=0.1"},
      {"03", "11", "02", "01 02 03 00 00", ".2.I3", "UserID=0"},
      {"03", "11", "02", "01 02 03 FA 05", ".2.I3", "11"},
      {"01", "11", "02", "01 02 03 0C 05", ".2.I3", "11"},
      // Relays: below 253 off-board, 253-255 on-board 1-3, 256 on-board 256; detail R.
      {"14", "09", "00", "01", ".1.O1", "01"},
      {"14", "09", "F9", "01", ".1.O250", "01"},
      {"14", "09", "FC", "01", ".0.O1", "01"},
      {"15", "09", "FE", "00", ".0.O3", "00"},
      {"15", "12", "FD", "00", ".0.O2", "00"},
      {"15", "12", "FF", "00", ".0.O256", "00"},
      // Area event: area decval(F1) + 1 described by its secured area (no row: "Area=n"), the
      // user from R (hexadecimal) when it is at most 249.
      {"30", "10", "02", "0C", "", "UserID=12 (Warehouse)"},
      {"30", "10", "02", "FA", "", "(Warehouse)"},
      {"30", "10", "10", "FF", "", "(Area=11)"},
      {"30", "10", "05", "", "", "UserID=0 (Area=6)"},
      {"30", "10", "00", "0C", "", "10"},
      // Area event with user: user F1, area decval(R) + 1, no blank before the parenthesis.
      {"10", "13", "0C", "2", "", "UserID=12(Warehouse)"},
      {"10", "13", "0C", "10", "", "UserID=12(Area=11)"},
      {"10", "13", "FA", "2", "", "(Warehouse)"},
      {"10", "13", "00", "2", "", "UserID=0"},
      // Time set: the user in R when decval(R) <> 0 and hexval(R) <= 249.
      {"17", "0C", "21", "00", "", "New Time=21"},
      {"17", "0C", "21", "12", "", "New Time=21 UserID=18"},
      {"17", "0C", "21", "1FF", "", "0C"},
      {"17", "0C", "0A", "12", "", "0C"},
      {"01", "0D", "02", "FF 00", "", "Point Bank = 02 Bit Map = FF 00"},
      // Sked with user: sked hexval(R) + 1 with its description; a sked without a row keeps
      // the type.
      {"01", "14", "0C", "05", "", "UserID=12 Sked=6:  Night shift"},
      {"01", "14", "FA", "05", "", "Sked=6"},
      {"01", "14", "00", "05", "", "UserID=0"},
      {"01", "14", "0C", "00", "", "14"},
      {"01", "15", "10", "", "", "Sked=17"},
      {"01", "15", "0F", "", "", "15"},
      {"01", "16", "08", "30", "", "Hour = 08 Minute = 30"},
      {"01", "17", "12", "05", "", "Month = 12 Day = 05"},
      {"01", "18", "26", "", "", "Year = 26"},
      {"01", "1A", "02", "", "", "Previous State = 02"},
      {"01", "1B", "03", "", "", "Route Group = 03"},
      {"18", "1C", "0C", "3", "", "UserID=12.3"},
      {"18", "1C", "00", "3", "", "UserID=0"},
      {"18", "1C", "FA", "3", "", "1C"},
      {"01", "1D", "04", "", "", "Cross Point Group = 04"},
      {"01", "1F", "01", "02", "", "Path#=01 Condition=02"},
      {"01", "21", "01", "02", "", "Uplink=01 Downlink=02"},
      {"01", "22", "01", "02", "", "Ext. Device#=01 Condition=02"},
      {"01", "23", "01", "02", "", "Level=01 Value=02"},
      {"01", "24", "01", "02", "", "Route Group=01 Device=02"},
      {"01", "25", "03", "05", "", "Ext. Event Text Index=03 Ext. Event Text Index=05"},
      {"01", "26", "03", "0C", "", "Ext. Event Text Index=03"},
      {"01", "26", "03", "12", "", "Ext. Event Text Index=03 UserID=18"},
      {"01", "27", "03", "05", "", "Ext. Event Text Index=03 Cross Point Group=05"},
      {"01", "28", "03", "05", "", "Ext. Event Text Index=03 Device=05"},
      {"01", "29", "03", "0F", "", "Ext. Event Text Index=03 Sked=16"},
      {"01", "2A", "01", "02", "", "Level=01 Path#=02"},
      {"01", "2B", "01", "02", "", "Device=01 Point=02"},
      // Types without a rule keep the controller address and the type.
      {"01", "0E", "01", "02", "", "0E"},
      {"01", "2C", "01", "02", "", "2C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " F1 " + c.f1 + " R " + c.r + " number " + c.number);
    const DecodedEvent e = Decode_PanelEvent(d_, Line(c.number, c.type, c.f1, c.r));
    EXPECT_EQ(e.address, std::string("12.0") + c.address);
    EXPECT_EQ(e.detail, c.detail);
    EXPECT_EQ(e.code, "RD" + Right("000" + lib_.mHex2Dec(c.number), 3));
    EXPECT_EQ(e.link_name, "127.0.0.1");
    EXPECT_EQ(e.date, "12/05/2026");
    EXPECT_EQ(e.time, "10:00:00");
  }
}

TEST_F(DecoderTest, StatusRequestsAfterPointAreaAndRelayEvents) {
  using Calls = std::vector<FakePanelLibrary::Call>;
  const FakePanelLibrary::Call point{"GETACTUALPOINTSTATUS", "127.0.0.1"};
  const FakePanelLibrary::Call area{"GETAREASTATUS", "127.0.0.1"};
  const Calls relays{{"GETONBOARDRELAYSTATUS", "127.0.0.1"},
                     {"GETOFFBOARDRELAYSTATUS", "127.0.0.1"}};
  const struct {
    const char* type;
    const char* f1;
    Calls calls;
  } cases[] = {
      {"01", "00", {point}}, {"02", "00", {point}}, {"06", "00", {point}}, {"0A", "00", {point}},
      {"0B", "00", {point}}, {"11", "00", {point}}, {"1E", "00", {point}}, {"10", "00", {area}},
      {"13", "00", {area}},  {"09", "FC", relays},  {"12", "00", relays},  {"03", "01", {}},
      {"0C", "01", {}},      {"14", "01", {}},      {"2B", "01", {}},      {"0E", "01", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    panel_.ClearCalls();
    Decode_PanelEvent(d_, Line("01", c.type, c.f1, "00"));
    EXPECT_EQ(panel_.calls(), c.calls);
  }
  // Not for a line of no slot of this driver, nor for an event decoded again.
  panel_.ClearCalls();
  EXPECT_EQ(Decode_PanelEvent(d_, Line("01", "01", "0B", "", "127.0.0.9")).address, "12.32.2.I12");
  EXPECT_EQ(Decode_PanelEvent(d_, Line("01", "01", "0B", "", "127.0.0.1"), false).address,
            "12.0.2.I12");
  EXPECT_TRUE(panel_.calls().empty());
  // The slot is the first whose link name matches exactly; the request names that slot.
  EXPECT_EQ(Decode_PanelEvent(d_, Line("01", "10", "00", "", "COM4")).address, "12.3");
  EXPECT_EQ(panel_.calls(), (Calls{{"GETAREASTATUS", "COM4"}}));
  EXPECT_EQ(Decode_PanelEvent(d_, Line("01", "10", "00", "", "com4")).address, "12.32");
}

TEST_F(DecoderTest, MissingBlanksLeaveTheFieldsAfterThemEmpty) {
  struct Case {
    std::string line;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {Buffer("L-d t 9 1F 16 08 30"), {"L", "d", "t", "9", "1F", "16", "08", "30"}},
      // No blank after the type: F1 and R stay empty.
      {Buffer("L-d t 9 1F 16"), {"L", "d", "t", "9", "1F", "16", "", ""}},
      // F1 is taken only with a blank after it; then it is two characters.
      {Buffer("L-d t 9 1F 16 8"), {"L", "d", "t", "9", "1F", "16", "", ""}},
      {Buffer("L-d t 9 1F 16 8 "), {"L", "d", "t", "9", "1F", "16", "08", ""}},
      {Buffer("L-d t 9 1F 16 ABC x"), {"L", "d", "t", "9", "1F", "16", "BC", "x"}},
      // Blanks around fields and after the hyphen; R runs to the NUL and keeps inner blanks.
      {Buffer("  L 1 -  d   t 9 1F 16  08   a  b  "),
       {"L 1", "d", "t", "9", "1F", "16", "08", "a  b"}},
      // A line that fills the buffer has no NUL: R is empty.
      {"L-d t 9 1F 16 08 30", {"L", "d", "t", "9", "1F", "16", "08", ""}},
      {Buffer("L-d"), {"L", "d", "", "", "", "", "", ""}},
      {Buffer("no hyphen"), {"no hyphen", "", "", "", "", "", "", ""}},
      {Buffer("L-d t\0 9 1F 16 08 30"), {"L", "d", "t", "", "", "", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 40));
    const EventLineFields f = SplitEventLine(c.line);
    EXPECT_EQ((std::vector<std::string>{f.link_name, f.date, f.time, f.evseq, f.number, f.type,
                                        f.f1, f.r}),
              c.want);
  }
  // No blank after the type: the detail stays the type (no labelled value without F1).
  const DecodedEvent e = Decode_PanelEvent(d_, Buffer("127.0.0.1-12/05/2026 10:00:00 9 1F 16"));
  EXPECT_EQ(e.detail, "16");
  EXPECT_EQ(e.code, "RD031");
  // No event number: no code. A non-hexadecimal one reads 0.
  EXPECT_EQ(Decode_PanelEvent(d_, Buffer("127.0.0.1-12/05/2026 10:00:00 9")).code, "");
  EXPECT_EQ(Decode_PanelEvent(d_, Buffer("127.0.0.1-12/05/2026 10:00:00 9 ZZ 01 0B ")).code,
            "RD000");
}

TEST_F(DecoderTest, BadInputDecodesWithoutHarm) {
  const std::string quotes = "'; drop table events; --\"";
  const std::string long_r(960, 'F');  // as much as the buffer holds after the other fields
  const struct {
    std::string line;
    const char* address;
    std::string detail;
  } cases[] = {
      // Quotes and SQL text are data: they pass into the detail as they are.
      {Line("01", "01", "0B", quotes), "12.0.2.I12", quotes},
      {Line("01", "0D", "02", quotes), "12.0", "Point Bank = 02 Bit Map = " + quotes},
      // A point that cannot be read keeps the controller address.
      {Line("01", "01", "G5", "x"), "12.0", "x"},
      {Line("01", "09", "'", "x"), "12.0", "x"},
      // An R too long to read as a user leaves the detail as it was.
      {Line("30", "10", "02", long_r), "12.0", "10"},
      {Line("01", "14", "0C", long_r), "12.0", "14"},
      {Line("03", "11", "02", long_r), "12.0.2.I3", "11"},
      {Line("01", "01", "0B", long_r), "12.0.2.I12", long_r},
      {Buffer(std::string(1026, '-')), "12.32", ""},
      {Buffer("'-''' '''' ' ' ' ' '"), "12.32", "'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 60));
    const DecodedEvent e = Decode_PanelEvent(d_, c.line);
    EXPECT_EQ(e.address, c.address);
    EXPECT_EQ(e.detail, c.detail);
  }
  EXPECT_TRUE(d_.errors.Lines().empty());  // the decoder reports nothing
}

TEST_F(DecoderTest, IdentityNamesThePanelsEventAsItWasSent) {
  const DecodedEvent a = Decode_PanelEvent(d_, Line("01", "01", "0B", ""));
  EXPECT_EQ(a.identity, "12 17 12/05/2026 10:00:00 01 127.0.0.1");
  EXPECT_EQ(Decode_PanelEvent(d_, Line("01", "01", "0B", "")).identity, a.identity);
  // Another EVSEQ, link, date, time or number is another event; F1 and R are not part of it.
  for (const std::string& other : {Buffer("127.0.0.1-12/05/2026 10:00:00 18 01 01 0B "),
                                   Buffer("COM4-12/05/2026 10:00:00 17 01 01 0B "),
                                   Buffer("127.0.0.1-12/06/2026 10:00:00 17 01 01 0B "),
                                   Buffer("127.0.0.1-12/05/2026 10:00:01 17 01 01 0B "),
                                   Buffer("127.0.0.1-12/05/2026 10:00:00 17 02 01 0B ")})
    EXPECT_NE(Decode_PanelEvent(d_, other).identity, a.identity) << other.substr(0, 45);
  EXPECT_EQ(Decode_PanelEvent(d_, Line("01", "01", "0C", "x")).identity, a.identity);
  // One line, whatever the link name holds.
  EXPECT_EQ(Decode_PanelEvent(d_, Buffer("a\nb-12/05/2026 10:00:00 17 01 01 0B ")).identity,
            "12 17 12/05/2026 10:00:00 01 a%0Ab");
  d_.DriverId = 13;
  EXPECT_NE(Decode_PanelEvent(d_, Line("01", "01", "0B", "")).identity, a.identity);
}

}  // namespace
}  // namespace ordane
