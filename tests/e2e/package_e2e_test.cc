// The Debian package that scripts/package builds: what it holds, and the installed programs at
// work. It is unpacked below a folder of the test's own (dpkg -x, no maintainer scripts run),
// the installed set-up tool lays down a site as the package's set-up does, and the installed
// driver, event service and simulator carry a panel alarm into the database.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "panelsim/process.h"
#include "tests/e2e/site.h"
#include "tests/e2e/tools.h"
#include "util/text.h"

namespace ordane {
namespace {

namespace fs = std::filesystem;
using e2e::Child;
using e2e::Eventually;
using e2e::Shell;

// The package of this build, or "" (with *why) when there is none or it is older than the
// driver it should hold.
fs::path ThePackage(std::string* why) {
  const fs::path dir = ORDANE_PACKAGE_DIR;
  std::error_code ec;
  fs::path deb;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().extension() == ".deb") deb = e.path();
  if (deb.empty()) {
    *why = "no package in " + dir.string() + "; scripts/package builds it";
    return {};
  }
  if (fs::last_write_time(deb) < fs::last_write_time(e2e::Bin("paneldriver"))) {
    *why = deb.string() + " is older than the build's paneldriver; scripts/package builds it again";
    return {};
  }
  return deb;
}

class Package : public e2e::SiteFixture {
 protected:
  Package() : SiteFixture("package_e2e") {}
  void SetUp() override {
    std::string why;
    deb_ = ThePackage(&why);
    if (deb_.empty()) GTEST_SKIP() << why;
    std::string out;
    ASSERT_EQ(Shell("exec dpkg -x " + deb_.string() + " " + Installed().string(),
                    root_ / "dpkg.log", &out),
              0)
        << out;
  }
  fs::path Installed() const { return root_ / "installed"; }
  std::string Program(const char* name) const {
    return (Installed() / "usr" / "bin" / name).string();
  }

  fs::path deb_;
};

TEST_F(Package, HoldsTheProgramsTheLibraryTheUnitsAndTheSettings) {
  std::string out;
  for (const char* file :
       {"usr/bin/paneldriver", "usr/bin/eventsvc", "usr/bin/ordanectl", "usr/bin/panelsim",
        "lib/systemd/system/11000.service", "lib/systemd/system/ordane-eventsvc.service",
        "etc/ordane/ordane.ini"})
    EXPECT_TRUE(fs::is_regular_file(Installed() / file)) << file;
  // The panel interface library in a folder of its own, not beside the programs.
  std::vector<fs::path> libraries;
  for (const auto& e : fs::recursive_directory_iterator(Installed()))
    if (e.path().filename() == "libpanelif.so") libraries.push_back(e.path());
  ASSERT_EQ(libraries.size(), 1u);
  EXPECT_EQ(libraries[0].parent_path().filename(), "ordane");

  // The maintainer scripts: the settings file is a conffile, the scripts are shell scripts
  // that parse, and removal keeps the database.
  const fs::path control = root_ / "control";
  ASSERT_EQ(Shell("exec dpkg-deb -e " + deb_.string() + " " + control.string(),
                  root_ / "dpkg.log", &out),
            0)
      << out;
  EXPECT_EQ(ReadWholeFile(control / "conffiles").value_or(""), "/etc/ordane/ordane.ini\n");
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    SCOPED_TRACE(script);
    struct stat st {};
    ASSERT_EQ(::stat((control / script).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(Shell("exec sh -n " + (control / script).string(), root_ / "sh.log", &out), 0) << out;
  }
  const std::string postrm = ReadWholeFile(control / "postrm").value_or("");
  EXPECT_EQ(postrm.find("rm -rf"), std::string::npos);
  EXPECT_EQ(postrm.find("/var/lib/ordane/ordane.db"), std::string::npos);
  ASSERT_EQ(Shell("exec dpkg-deb -f " + deb_.string() + " Depends", root_ / "dpkg.log", &out), 0);
  for (const char* dependency : {"adduser", "libpq5", "libsqlite3-0", "libsodium23"})
    EXPECT_NE(out.find(dependency), std::string::npos) << out;

  // The default settings name the database and the tree below /var/lib/ordane, and read
  // without a problem.
  EXPECT_EQ(e2e::RunToEnd({Program("ordanectl"), "show-settings", "--file",
                           (Installed() / "etc" / "ordane" / "ordane.ini").string()},
                          {}, root_ / "tools.log", &out),
            0)
      << out;
  EXPECT_NE(out.find(PadCut("Cxn_Access_Control", 22) + "sqlite:/var/lib/ordane/ordane.db"), std::string::npos)
      << out;
  EXPECT_NE(out.find(PadCut("RemotePath", 22) + "/var/lib/ordane/share"), std::string::npos) << out;

  // The packaged units start the installed programs and pass systemd-analyze (pointed at the
  // programs of this unpacked copy).
  if (std::string why = e2e::SystemdAnalyzeMissing(root_); !why.empty()) GTEST_SKIP() << why;
  for (const char* name : {"11000.service", "ordane-eventsvc.service"}) {
    SCOPED_TRACE(name);
    std::string text = ReadWholeFile(Installed() / "lib/systemd/system" / name).value_or("");
    EXPECT_NE(text.find("\nExecStart=/usr/bin/"), std::string::npos) << text;
    EXPECT_NE(text.find("\nUser=ordane\n"), std::string::npos) << text;
    const fs::path unit = root_ / name;
    WriteFileAtomic(unit, ReplaceAll(text, "\nExecStart=/usr/bin/",
                                     "\nExecStart=" + (Installed() / "usr/bin/").string()));
    EXPECT_EQ(Shell("exec systemd-analyze verify " + unit.string(), root_ / "analyze.log", &out),
              0);
    EXPECT_EQ(out, "");
    std::string overall;
    EXPECT_TRUE(e2e::ExposureBelowTwo(unit, root_ / "analyze.log", &overall)) << overall;
  }
}

TEST_F(Package, InstalledProgramsCarryAPanelAlarmIntoTheDatabase) {
  // The site as the package's set-up lays it down, by the installed set-up tool.
  tool_ = Program("ordanectl");
  panelsim::SimProcess sim;
  ASSERT_TRUE(sim.Start(Program("panelsim"), {"--panels", "2", "--base-port", "0"})) << sim.error();
  MakeSite("sqlite:" + (root_ / "ordane.db").string(), sim, 2);

  Child driver({Program("paneldriver"), "-debug"}, DriverEnv(), root_ / "driver.log");
  Child events({Program("eventsvc")}, DriverEnv(), root_ / "eventsvc.log");
  // Both panels linked: the driver found the installed panel interface library.
  ASSERT_TRUE(Eventually([&] {
    return One("select count(*) from controllers where cstatus = 1 and driver_id = 7") == "2";
  })) << "the installed driver did not link the panels";
  ASSERT_EQ(sim.Command("2 open 3").substr(0, 2), "ok");
  EXPECT_TRUE(Eventually([&] {
    return One("select count(*) from events where event_id like 'RD%'") != "0";
  })) << "the alarm did not reach the database";

  driver.Signal(SIGTERM);
  events.Signal(SIGTERM);
  EXPECT_EQ(driver.Wait(30), 0);
  EXPECT_EQ(events.Wait(30), 0);
  EXPECT_EQ(One("select status from drivers where driver_id = 7"), "0");
}

// The maintainer scripts as dpkg runs them, in a mount namespace of the test's own so that
// nothing outside its folder changes: there /etc is a copy, /var/lib and /run/lock are empty.
// After the package's set-up and the README's one set-up command the installed driver runs as
// user ordane on the default settings file and links the simulator's panel; removing and
// purging the package keep the database.
TEST_F(Package, MaintainerScriptsGiveAWorkingDriverAndKeepTheDatabase) {
  std::string out;
  if (::geteuid() != 0 || Shell("exec unshare --mount true", root_ / "sh.log", &out) != 0)
    GTEST_SKIP() << "a mount namespace of the test's own needs root and unshare: " << out;
  const bool host_had_user = ::getpwnam("ordane") != nullptr;
  const fs::path control = root_ / "control";
  ASSERT_EQ(Shell("exec dpkg-deb -e " + deb_.string() + " " + control.string(),
                  root_ / "dpkg.log", &out),
            0)
      << out;
  panelsim::SimProcess sim;
  ASSERT_TRUE(sim.Start(Program("panelsim"), {"--panels", "1", "--base-port", "0"})) << sim.error();
  const auto& panel = sim.panels().at(0);

  const std::string script = R"SH(set -eu
cp -a /etc "$T/etc"
mount --bind "$T/etc" /etc
mount -t tmpfs -o mode=0755 tmpfs /var/lib
mount -t tmpfs -o mode=1777 tmpfs /run/lock
# What dpkg unpacks outside /usr.
mkdir -p /etc/ordane
cp "$R/etc/ordane/ordane.ini" /etc/ordane/
export PATH="$R/usr/bin:$PATH"
unset ORDANE_SETTINGS ORDANE_LOCK_FILE ORDANE_UNIT_DIR ORDANE_KEYFILE
sh "$C/postinst" configure
sh "$C/postinst" configure 1.0.0
echo "user: $(id -Gn ordane)"
echo "key: $(stat -c '%U %a' /etc/ordane/ordane.key)"
db=/var/lib/ordane/ordane.db
runuser -u ordane -- ordanectl demo-data --db "sqlite:$db" --panels 1
runuser -u ordane -- sqlite3 "$db" "update channels set port2 = $PORT where channel = 0;
  update controllers set ec_1_name = '$HOST'"
setpriv --reuid=ordane --regid=ordane --init-groups paneldriver -debug > "$T/driver.log" 2>&1 &
driver=$!
linked=no
for i in $(seq 1 300); do
  if [ "$(sqlite3 "$db" "select cstatus from controllers where address = '1.0'")" = 1 ]; then
    linked=yes
    break
  fi
  sleep 0.1
done
echo "linked: $linked"
echo "driver runs as: $(stat -c %U /proc/$driver)"
kill -TERM $driver
code=0
wait $driver || code=$?
echo "driver exit: $code"
sh "$C/prerm" remove
sh "$C/postrm" remove
sh "$C/postrm" purge
echo "database kept: $(sqlite3 "$db" "select count(*) from controllers where address = '1.0'")"
)SH";
  WriteFileAtomic(root_ / "setup.sh", script);
  fs::create_directories(root_ / "ns");
  const e2e::Env env{{"R", Installed().string()},  {"C", control.string()},
                     {"T", (root_ / "ns").string()}, {"PORT", std::to_string(panel.port)},
                     {"HOST", panel.host}};
  const int code = e2e::RunToEnd({"/usr/bin/unshare", "--mount", "--fork", "/bin/sh",
                                  (root_ / "setup.sh").string()},
                                 env, root_ / "setup.log", &out, 120);
  const std::string driver_log = ReadWholeFile(root_ / "ns" / "driver.log").value_or("");
  EXPECT_EQ(code, 0) << out << "--- driver\n" << driver_log;
  for (const char* line : {"user: ordane dialout\n", "key: ordane 600\n", "linked: yes\n",
                           "driver runs as: ordane\n", "driver exit: 0\n", "database kept: 1\n",
                           "kept /var/lib/ordane (the database and the shared tree)"})
    EXPECT_NE(out.find(line), std::string::npos) << line << " missing in\n" << out
                                                 << "--- driver\n" << driver_log;
  // Nothing of it reached this machine.
  EXPECT_EQ(::getpwnam("ordane") != nullptr, host_had_user);
}

}  // namespace
}  // namespace ordane
