// E-mail through the real chain: a panel event on the simulator, the driver's request file,
// odn_shell started by the driver, and a local SMTP server (smtp_sink.py on aiosmtpd).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "panelsim/process.h"
#include "tests/e2e/child.h"
#include "tests/e2e/site.h"
#include "util/files.h"
#include "util/ini.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

using e2e::Bin;
using e2e::Child;
using e2e::Eventually;

std::string Text(const fs::path& file) { return ReadWholeFile(file).value_or(""); }

class MailTest : public e2e::SiteFixture {
 protected:
  MailTest() : SiteFixture("mail_e2e") {}

  // A local SMTP server keeping what it accepts in root_/name; its address.
  std::string StartSink(const std::string& name, bool refuse = false) {
    const fs::path folder = root_ / name;
    fs::create_directories(folder);
    std::vector<std::string> argv{"/usr/bin/python3", SMTP_SINK, folder.string()};
    if (refuse) argv.push_back("--refuse");
    sinks_.push_back(std::make_unique<Child>(argv, e2e::Env{}, root_ / (name + ".log")));
    EXPECT_TRUE(Eventually([&] { return fs::exists(folder / "port"); }, 20))
        << Text(root_ / (name + ".log"));
    return "smtp://127.0.0.1:" + Trim(Text(folder / "port"));
  }

  // Driver 7's site with one panel, odn_shell sending through `server`.
  void StartSite(const std::string& server) {
    ASSERT_TRUE(sim_.Start(Bin("panelsim"), {"--panels", "1", "--base-port", "0"})) << sim_.error();
    MakeSite("sqlite:" + (root_ / "ordane.db").string(), sim_, 1,
             {"--smtp-server", server, "--smtp-from", "driver7@site.test", "--smtp-timeout", "10"});
    driver_ = std::make_unique<Child>(std::vector<std::string>{Bin("paneldriver"), "-debug"},
                                      DriverEnv(), root_ / "driver.log");
    ASSERT_TRUE(Eventually([&] {
      return ReadProfileString(Folder() / "Status" / "Driver", "Status_Drivers", "Online_Count") ==
             "1";
    })) << "the panel did not link";
  }

  // The e-mail requests waiting in the share.
  std::vector<fs::path> Requests() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(root_ / "share"))
      if (e.path().extension() == ".ODN") out.push_back(e.path());
    return out;
  }
  // The lines of `log` that odn_shell wrote.
  static std::vector<std::string> MailLines(const fs::path& log) {
    std::vector<std::string> out;
    std::istringstream in(Text(log));
    for (std::string line; std::getline(in, line);)
      if (line.rfind("odn_shell: ", 0) == 0) out.push_back(line);
    return out;
  }

  panelsim::SimProcess sim_;
  std::unique_ptr<Child> driver_;
  std::vector<std::unique_ptr<Child>> sinks_;
};

// The panic alarm on point 7 has a recipient in the demo data, the burglary alarm on point 5
// none: only the first becomes an e-mail, with the subject and body lines the driver gave.
TEST_F(MailTest, TheEmailOfAnEventWithARecipientArrives) {
  StartSite(StartSink("sink"));
  EXPECT_EQ(fs::read_symlink(root_ / "share" / "odn_shell"), fs::path(Bin("odn_shell")));

  ASSERT_EQ(sim_.Command("1 open 5").substr(0, 2), "ok");
  ASSERT_EQ(sim_.Command("1 missing 7").substr(0, 2), "ok");
  const fs::path sink = root_ / "sink";
  ASSERT_TRUE(Eventually([&] { return fs::exists(sink / "1.eml"); }));
  ASSERT_TRUE(Eventually([&] { return Requests().empty(); }, 10)) << "the request stayed";

  EXPECT_EQ(Text(sink / "1.env"), "driver7@site.test\nsecurity@example.com\n");
  const std::string m = Text(sink / "1.eml");
  EXPECT_NE(m.find("\r\nTo: security@example.com\r\n"), std::string::npos) << m;
  EXPECT_NE(m.find("\r\nSubject: Panel 0 Point 7:  Panic Alarm\r\n"), std::string::npos) << m;
  const std::size_t body = m.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(m.substr(body + 4, 7), "Date:  ");
  EXPECT_TRUE(m.ends_with("\r\nAddress:  7.0.2.I7- Panel 0 Point 7\r\nEvent:  Panic Alarm\r\n"))
      << m;

  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(fs::exists(sink / "2.eml")) << "an event without a recipient sent an e-mail";
  const auto lines = MailLines(root_ / "driver.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(": sent to security@example.com through smtp://127.0.0.1:"),
            std::string::npos)
      << lines[0];
}

// A server that cannot be reached, then one that refuses the recipient: the request stays each
// time with one line that says why; run again by hand once the server takes it, it goes.
TEST_F(MailTest, ARequestThatCannotBeSentStays) {
  StartSite("smtp://127.0.0.1:" + std::to_string(e2e::FreePort()));
  ASSERT_EQ(sim_.Command("1 missing 7").substr(0, 2), "ok");
  ASSERT_TRUE(Eventually([&] { return !MailLines(root_ / "driver.log").empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto lines = MailLines(root_ / "driver.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(": not sent, the request stays: smtp://127.0.0.1:"), std::string::npos)
      << lines[0];
  const auto waiting = Requests();
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_NE(lines[0].find(waiting[0].string()), std::string::npos) << lines[0];
  const std::string request = Text(waiting[0]);

  const fs::path settings = root_ / "ordane.ini";
  const auto again = [&](const std::string& log) {
    Child c({Bin("odn_shell"), waiting[0].string()}, DriverEnv(), root_ / log);
    return c.Wait(30);
  };
  ASSERT_TRUE(WriteProfileString(settings, "OS", "SMTP_Server", StartSink("refusing", true)));
  EXPECT_EQ(again("refused.log"), 1);
  ASSERT_EQ(MailLines(root_ / "refused.log").size(), 1u);
  EXPECT_NE(MailLines(root_ / "refused.log")[0].find("550"), std::string::npos)
      << MailLines(root_ / "refused.log")[0];
  EXPECT_EQ(Text(waiting[0]), request);

  ASSERT_TRUE(WriteProfileString(settings, "OS", "SMTP_Server", StartSink("sink")));
  EXPECT_EQ(again("sent.log"), 0);
  EXPECT_FALSE(fs::exists(waiting[0]));
  EXPECT_NE(Text(root_ / "sink" / "1.eml").find("Subject: Panel 0 Point 7:  Panic Alarm\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace ordane
