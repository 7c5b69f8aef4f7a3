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

// The fake stands in for the real library in the driver's tests, so it must answer the busy
// question as the real one does: the same calls on both give the same answers.
TEST(FakePanelLibraryTest, AnswersBusyStateAsTheRealLibraryDoes) {
  std::unique_ptr<PanelLibrary> real = LoadPanelLibrary(ORDANE_PANELIF_PATH);
  FakePanelLibrary fake;
  struct Step {
    std::string call, text, want;  // want: the GETBUSYSTATE answer
  };
  const std::vector<Step> steps = {
      {"GETBUSYSTATE", "127.0.0.2", "Unknown panel"},  // before any link
      {"INITIALIZEPANEL", "TCP/IP - 127.0.0.2 9", ""},
      {"INITIALIZEPANEL", "TCP/IP - localhost 9", ""},
      {"GETBUSYSTATE", "127.0.0.2", "Not busy"},
      {"GETBUSYSTATE", "LOCALHOST", "Not busy"},  // the driver asks in upper case
      {"GETBUSYSTATE", "127.0.0.3", "Unknown panel"},
      {"GETBUSYSTATE", "", "Unknown panel"},  // an unused slot
      {"TERMINATEPANEL", "127.0.0.2", ""},
      {"GETBUSYSTATE", "127.0.0.2", "Unknown panel"},
      {"TERMINATEALL", "", ""},
      {"GETBUSYSTATE", "LOCALHOST", "Unknown panel"},
  };
  for (PanelLibrary* lib : {real.get(), static_cast<PanelLibrary*>(&fake)}) {
    const char* which = lib == real.get() ? "real" : "fake";
    for (const Step& step : steps) {
      std::string text = step.text + '\0' + std::string(1023 - step.text.size(), ' ');
      if (step.call == "INITIALIZEPANEL") lib->INITIALIZEPANEL(text);
      if (step.call == "TERMINATEPANEL") lib->TERMINATEPANEL(text);
      if (step.call == "TERMINATEALL") lib->TERMINATEALL();
      if (step.call != "GETBUSYSTATE") continue;
      lib->GETBUSYSTATE(text);
      EXPECT_EQ(text.size(), 1024u);
      EXPECT_EQ(text.substr(0, text.find('\0')), step.want) << which << " " << step.text;
    }
  }
  real->STOPMONITORING();
}

}  // namespace
}  // namespace ordane
