// The operator console over real HTTP on loopback, against a driver over fakes: what the page
// is given, who may act, and the files and settings it starts from.
#include "service/console.h"

#include <httplib.h>
#include <sys/stat.h>

#include <future>
#include <thread>

#include "core/metrics.h"
#include "core/testing/driver_fixture.h"
#include "util/files.h"

namespace ordane {
namespace {

TEST(ConsoleText, JsonStringKeepsEveryTextInsideTheString) {
  EXPECT_EQ(JsonString("plain 7.3"), "\"plain 7.3\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("x\0y\n", 4)), "\"x\\u0000y\\u000a\"");
  // Markup never appears as markup, and bytes that are not UTF-8 still give valid JSON.
  EXPECT_EQ(JsonString("<script>&"), "\"\\u003cscript\\u003e\\u0026\"");
  EXPECT_EQ(JsonString("\xe9\xff"), "\"\\u00e9\\u00ff\"");
}

TEST(ConsoleText, PortSetting) {
  FakeSystemLibrary lib;
  std::string problem;
  EXPECT_EQ(ConsolePort(lib, &problem), kConsoleDefaultPort);
  lib.settings["OS/Console_Port"] = " 0 ";
  EXPECT_EQ(ConsolePort(lib, &problem), 0);
  EXPECT_EQ(problem, "");
  for (const char* bad : {"70000", "12ab", "-5", "1e3"}) {
    lib.settings["OS/Console_Port"] = bad;
    problem.clear();
    EXPECT_EQ(ConsolePort(lib, &problem), kConsoleDefaultPort) << bad;
    EXPECT_NE(problem.find(bad), std::string::npos) << problem;
  }
}

class ConsoleTest : public DriverTest {
 protected:
  void SetUp() override {
    StartedDriver();
    for (int i : {0, 3}) {
      d_.panels[i].PortName = i == 3 ? "<script>alert(1)</script>" : "127.0.0.1";
      d_.panels[i].LinkState = kLinkEstablished;
    }
    d_.panels[3].FirmwareText = std::string("7.06\0", 5);
    std::string error;
    ASSERT_TRUE(console_.Start(0, "s3cret", &error)) << error;
  }

  // Makes a request on another thread while this one serves the loop, as the driver's does.
  httplib::Result Call(const std::function<httplib::Result(httplib::Client&)>& f) {
    auto answer = std::async(std::launch::async, [&] {
      httplib::Client c("127.0.0.1", console_.port());
      return f(c);
    });
    while (answer.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready)
      loop_.DoEvents();
    return answer.get();
  }
  httplib::Result Act(const std::string& action, const std::string& panel,
                      const std::string& token) {
    return Call([&](httplib::Client& c) {
      httplib::Headers h;
      if (!token.empty()) h.emplace("X-Console-Token", token);
      return c.Post("/action", h, httplib::Params{{"action", action}, {"panel", panel}});
    });
  }

  Console console_{d_};
};

TEST_F(ConsoleTest, StateShowsThePanelTableAndTheListAsText) {
  d_.errors.ErrorLabel = "ERR_Test";
  d_.errors.ReportError(5, "first <b>line</b>");
  auto r = Call([](httplib::Client& c) { return c.Get("/state"); });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  const std::string& s = r->body;
  EXPECT_NE(s.find("\"address\":\"12.3\",\"link\":\"\\u003cscript\\u003ealert(1)"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find("\"firmware\":\"7.06\""), std::string::npos) << s;
  EXPECT_NE(s.find("ERR_Test:  first \\u003cb\\u003eline"), std::string::npos) << s;
  EXPECT_EQ(s.find('<'), std::string::npos);
  EXPECT_EQ(s.find("\"slot\":1,"), std::string::npos) << "an unused slot is not shown";

  auto page = Call([](httplib::Client& c) { return c.Get("/"); });
  ASSERT_TRUE(page);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
            std::string::npos);
}

TEST_F(ConsoleTest, ActionsNeedTheToken) {
  for (const std::string token : {"", "wrong!", "s3cre", "S3CRET"}) {
    auto r = Act("terminate", "3", token);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << token;
    EXPECT_NE(r->body.find("token"), std::string::npos);
  }
  EXPECT_EQ(d_.panels[3].LinkState, kLinkEstablished);
  EXPECT_TRUE(panel_.CallsTo("TERMINATEPANEL").empty());

  auto r = Act("terminate", "3", "s3cret");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  EXPECT_EQ(d_.panels[3].LinkState, kLinkLost);
  EXPECT_EQ(panel_.CallsTo("TERMINATEPANEL").size(), 1u);

  // Bad input: one clear answer, nothing else changes.
  for (const auto& [action, panel] :
       std::vector<std::pair<std::string, std::string>>{{"terminate", "99"},
                                                        {"terminate", "4294967296"},
                                                        {"format", "0"},
                                                        {"connect", std::string(100, '9')}}) {
    auto bad = Act(action, panel, "s3cret");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400) << action << " " << panel;
    EXPECT_EQ(bad->body.rfind("refused: ", 0), 0u) << bad->body;
  }
  EXPECT_EQ(d_.panels[0].LinkState, kLinkEstablished);
  EXPECT_EQ(panel_.CallsTo("TERMINATEPANEL").size(), 1u);
}

TEST_F(ConsoleTest, ASecondConsoleDoesNotShareThePort) {
  Console second(d_);
  std::string error;
  EXPECT_FALSE(second.Start(console_.port(), "other", &error));
  EXPECT_NE(error.find(std::to_string(console_.port())), std::string::npos) << error;
}

TEST_F(ConsoleTest, AnswersOnlyToLoopbackNames) {
  auto r = Call([](httplib::Client& c) {
    return c.Get("/state", httplib::Headers{{"Host", "attacker.example:11080"}});
  });
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 403);
}

TEST_F(ConsoleTest, MetricsCountTheTableAndTheCounters) {
  d_.panels[3].LinkState = kLinkLost;
  d_.panels[0].BusyState = "Busy";
  d_.TableUploadRunning = true;
  const auto before = metrics::StatementFilesWritten.Value();
  metrics::StatementFilesWritten.Add(2);
  auto r = Call([](httplib::Client& c) { return c.Get("/metrics"); });
  ASSERT_TRUE(r);
  const std::string& m = r->body;
  EXPECT_NE(m.find("ordane_panel_links{state=\"established\"} 1\n"), std::string::npos) << m;
  EXPECT_NE(m.find("ordane_panel_links{state=\"lost\"} 1\n"), std::string::npos);
  EXPECT_NE(m.find("ordane_panels_busy 1\n"), std::string::npos);
  EXPECT_NE(m.find("ordane_uploads_in_progress 1\n"), std::string::npos);
  EXPECT_NE(m.find("ordane_statement_files_written_total " + std::to_string(before + 2) + "\n"),
            std::string::npos);
  EXPECT_NE(m.find("# TYPE ordane_statement_files_written_total counter\n"), std::string::npos);
}

TEST_F(ConsoleTest, TokenFileIsTheUsersOnly) {
  const auto path = root_ / ".console-token";
  std::string error;
  const std::string first = WriteConsoleToken(path, &error);
  ASSERT_EQ(first.size(), 64u) << error;
  EXPECT_EQ(ReadWholeFile(path).value_or(""), first + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(WriteConsoleToken(path, &error), first);        // a new one at every start
  EXPECT_EQ(ConsoleTokenPath(), root_ / ".console-token");  // beside $ORDANE_LOCK_FILE

  EXPECT_EQ(WriteConsoleToken(root_ / "missing" / "t", &error), "");
  EXPECT_NE(error.find("missing"), std::string::npos);
}

}  // namespace
}  // namespace ordane
