#include "panel/panel_library.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "panel/fake_panel_library.h"
#include "util/error.h"

namespace ordane {
namespace {

// An export that answers in place: writes "abc" and its NUL, like the library does.
std::int16_t AnswerAbc(char* text) {
  std::size_t room = std::strlen(text);
  std::size_t n = std::min<std::size_t>(3, room);
  std::memcpy(text, "abc", n);
  text[n] = '\0';
  return 7;
}

TEST(CallTextExportTest, KeepsTheTextsLength) {
  struct Case {
    std::string text;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"          ", std::string("abc\0      ", 10)},
      {"xy", "ab"},  // the answer is cut to the text; its NUL lands in the extra byte
      {"", ""},
      {std::string("PORT\0    ", 9), std::string("abc\0\0    ", 9)},  // sees "PORT" only
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(CallTextExport(&AnswerAbc, text), 7);
    EXPECT_EQ(text, c.want);
  }
}

TEST(LoadPanelLibraryTest, LoadsTheRealLibrary) {
  std::unique_ptr<PanelLibrary> lib = LoadPanelLibrary(ORDANE_PANELIF_PATH);
  std::string info(255, ' ');
  lib->DLLINFORMATION(info);
  EXPECT_EQ(info.size(), 255u);
  EXPECT_EQ(info.rfind("Panel interface library Version ", 0), 0u) << info;
  EXPECT_LT(info.find('\0'), 255u);
  std::string busy = std::string("NOSUCH") + '\0' + std::string(1017, ' ');
  lib->GETBUSYSTATE(busy);
  EXPECT_EQ(busy.size(), 1024u);
  EXPECT_EQ(busy.substr(0, busy.find('\0')), "Unknown panel");
  std::string response(30000, ' ');
  lib->GETCOMMANDRESPONSE(response);
  EXPECT_EQ(response, std::string(30000, ' '));  // nothing waiting: untouched
  EXPECT_EQ(lib->TERMINATEALL(), 0);
}

TEST(LoadPanelLibraryTest, NamesWhatIsMissing) {
  try {
    LoadPanelLibrary("libm.so.6");
    FAIL() << "loaded a library without the exports";
  } catch (const Error& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("libm.so.6"), std::string::npos);
    for (const char* name : {"INITMONITOR", "GETCOMMANDRESPONSE", "TERMINATEPANEL"}) {
      EXPECT_NE(what.find(name), std::string::npos) << name;
    }
  }
  EXPECT_THROW(LoadPanelLibrary("/nonexistent/libpanelif.so"), Error);
}

TEST(LoadPanelLibraryTest, DefaultPathIsBesideTheExecutable) {
  auto path = DefaultPanelLibraryPath();
  EXPECT_EQ(path.filename(), "libpanelif.so");
  EXPECT_TRUE(std::filesystem::exists(path.parent_path() / "panel_library_test"));
}

TEST(FakePanelLibraryTest, RecordsCallsAndReplaysScripts) {
  FakePanelLibrary fake;
  fake.QueueCommandResponse("AreaStatus\nCOM1\nAAD");
  fake.QueueEventLine("COM1-12/05/2026 10:00:00 x 07 01 11 22");
  fake.QueueBusyAnswer("COM1", "Busy");
  fake.SetBusyAnswer("COM2", "Unknown panel");

  std::string arm = "COM1 1";
  fake.ARMAREA(arm);
  fake.INITMONITOR();
  std::string response(20, ' ');
  fake.GETCOMMANDRESPONSE(response);
  EXPECT_EQ(response, std::string("AreaStatus\nCOM1\nAAD\0", 20));
  std::string again(20, ' ');
  fake.GETCOMMANDRESPONSE(again);
  EXPECT_EQ(again, std::string(20, ' '));
  std::string event(1026, ' ');
  fake.GETEVENTRESPONSE(event);
  EXPECT_EQ(event.substr(0, event.find('\0')), "COM1-12/05/2026 10:00:00 x 07 01 11 22");

  struct Busy {
    std::string port, want;
  };
  for (const Busy& b : std::vector<Busy>{
           {"COM1", "Busy"}, {"COM1", "Not busy"}, {"COM2", "Unknown panel"}, {"", "Not busy"}}) {
    std::string buf = b.port + '\0' + std::string(1023 - b.port.size(), ' ');
    fake.GETBUSYSTATE(buf);
    EXPECT_EQ(buf.size(), 1024u);
    EXPECT_EQ(buf.substr(0, buf.find('\0')), b.want) << b.port;
  }
  EXPECT_EQ(fake.CallsTo("ARMAREA"), (std::vector<FakePanelLibrary::Call>{{"ARMAREA", "COM1 1"}}));
  EXPECT_EQ(fake.CallNames().at(1), "INITMONITOR");
  EXPECT_EQ(fake.CallsTo("GETBUSYSTATE").at(0).text, "COM1");
}

}  // namespace
}  // namespace ordane
