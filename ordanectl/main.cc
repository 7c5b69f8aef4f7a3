// ordanectl: the set-up tool. Creates the schema, loads demo data, lays down the shared folder
// tree, writes the settings file with its sealed passwords and site key, and shows the
// settings as the driver reads them. See README.md beside this file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "config/config.h"
#include "db/db.h"
#include "schema/demo.h"
#include "schema/schema.h"
#include "schema/share.h"
#include "syslib/seal.h"
#include "syslib/syslib.h"
#include "util/error.h"
#include "util/ini.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = R"(usage: ordanectl COMMAND [options]

  init-db      --db CXN [--user U] [--password P]
               create every table (existing ones are kept) and the base rows
  demo-data    --db CXN [--panels N] [--first-port P] [--driver-id D] [--computer NAME]
               [--replace] [--user U] [--password P]
               init-db, then a driver record for this computer and N panels on
               127.0.0.1, 127.0.0.2, ... ports P, P+1, ... (defaults: 2 panels, port 7700)
  share        --root DIR [--force] [--demo [--driver-id D]]
               lay down Drivers/11000.ini, hardware/11000.dvr, Resources/strings.ini, sites.map
               and the link odn_shell to the e-mail program installed beside ordanectl; --demo
               adds the demo's event actions for driver D (default 1): a camera, an intercom
               and a second site that takes the burglary alarms
  settings     --file F --db CXN [--hardware-db CXN] --remote DIR [--local DIR]
               [--sql-server N] [--user U] [--password P] [--app-role NAME]
               [--app-password P] [--status-timer MS] [--debug 0|1] [--key-file K]
               [--smtp-server smtp://HOST:PORT|smtps://HOST:PORT] [--smtp-from ADDRESS]
               [--smtp-user U] [--smtp-password P] [--smtp-tls 0|1] [--smtp-timeout S]
               write the settings file (passwords sealed; the site key is created if missing;
               e-mail settings not given keep their earlier values)
  keygen       --key-file K [--force]      create a site key file (owner-only)
  scramble     TEXT [--file F]             print TEXT sealed with the site key
  unscramble   TEXT [--file F]             print a sealed TEXT opened
  show-settings [--file F]                 print the settings as the driver reads them
  schema-sql   --backend sqlite|postgresql print the CREATE statements
  --help       print this text; --version prints the version

CXN is "sqlite:/path/to/file.db" (or a bare path) or a PostgreSQL URI
"postgresql://user@host:port/dbname". F defaults to $ORDANE_SETTINGS or /etc/ordane/ordane.ini.
)";

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool Has(const std::string& k) const { return options.count(k) != 0; }
  std::string Get(const std::string& k, const std::string& fallback = "") const {
    auto it = options.find(k);
    return it == options.end() ? fallback : it->second;
  }
};

const char* const kFlags[] = {"--replace", "--force", "--demo"};

bool Parse(int argc, char** argv, Args* a, std::string* why) {
  if (argc < 2) {
    *why = "no command given";
    return false;
  }
  a->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.starts_with("--")) {
      a->positional.push_back(arg);
      continue;
    }
    std::string value;
    if (auto eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else if (std::find(std::begin(kFlags), std::end(kFlags), arg) != std::end(kFlags)) {
      value = "1";
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *why = "option " + arg + " needs a value";
      return false;
    }
    a->options[arg] = value;
  }
  return true;
}

std::string Require(const Args& a, const std::string& option) {
  std::string v = a.Get(option);
  if (v.empty()) throw Error(kErrGeneric, "missing " + option);
  return v;
}

int Number(const Args& a, const std::string& option, int fallback) {
  if (!a.Has(option)) return fallback;
  std::string v = Trim(a.Get(option));
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 6) {
    throw Error(kErrGeneric, option + " must be a number");
  }
  return static_cast<int>(ValueOf0(v));
}

std::unique_ptr<db::Connection> Connect(const Args& a) {
  auto c = db::NewConnection();
  c->Open(Require(a, "--db"), a.Get("--user"), a.Get("--password"));
  return c;
}

fs::path SettingsFile(const Args& a) {
  return a.Has("--file") ? fs::path(a.Get("--file")) : SettingsFilePath();
}

// The key file a settings file names, or the one beside it.
fs::path KeyFileFor(const fs::path& settings) {
  std::string configured = Trim(ReadProfileString(settings, "OS", "KeyFile"));
  if (!configured.empty()) return configured;
  if (const char* env = std::getenv("ORDANE_KEYFILE"); env != nullptr && *env != '\0') return env;
  return settings.parent_path() / "ordane.key";
}

// Writes the settings file so that it never exists with a wider mode than `mode`, not even for
// a moment: a new file beside it, created with that mode, then renamed into place.
void WriteSettingsFile(const fs::path& file, const std::string& text, mode_t mode) {
  fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  fs::path tmp = dir / ("." + file.filename().string() + "." + std::to_string(getpid()) + ".new");
  ::unlink(tmp.c_str());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) throw Error(kErrPathAccess, "cannot create " + tmp.string() + ": " + std::strerror(errno));
  ::fchmod(fd, mode);
  // The file keeps the owner and group of the one it replaces (the driver's service user reads
  // it through its group), where this user may give them.
  if (struct stat old; ::stat(file.c_str(), &old) == 0 &&
                       ::fchown(fd, old.st_uid, old.st_gid) != 0) {
    (void)!::fchown(fd, static_cast<uid_t>(-1), old.st_gid);  // a member of its group
  }
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    if (ok) saved = errno;
    ::unlink(tmp.c_str());
    throw Error(kErrPathAccess, "cannot write " + file.string() + ": " + std::strerror(saved));
  }
}

// The advice given when a connection string carries its own password.
void WarnAboutPasswords(const Settings& s, std::ostream& out) {
  for (auto [key, cxn] : {std::pair{"Cxn_Access_Control", &s.CxnAccessControl},
                          std::pair{"Cxn_Hardware", &s.CxnHardware}}) {
    if (!ConnectionHoldsPassword(*cxn)) continue;
    out << "warning: " << key << " holds a password in the clear; leave it out of the "
        << "connection string and give it to \"ordanectl settings --password\", which seals it "
        << "into Database_Passwordn (SQL_Server 1 or 2)\n";
  }
}

int InitDb(const Args& a) {
  auto c = Connect(a);
  schema::InitDatabase(*c);
  std::cout << "schema created in " << a.Get("--db") << " (" << schema::Tables().size()
            << " tables)\n";
  return 0;
}

int DemoData(const Args& a) {
  schema::DemoOptions o;
  o.panels = Number(a, "--panels", o.panels);
  o.first_port = Number(a, "--first-port", o.first_port);
  o.driver_id = Number(a, "--driver-id", o.driver_id);
  o.computer_name = a.Get("--computer");
  o.replace = a.Has("--replace");
  auto c = Connect(a);
  schema::LoadDemoData(*c, o);
  std::cout << "demo data loaded: driver " << o.driver_id << " for computer "
            << (o.computer_name.empty() ? ComputerName() : UCase(o.computer_name)) << ", "
            << o.panels << " panel(s) on 127.0.0.1.."
            << "127.0.0." << o.panels << " ports " << o.first_port << ".."
            << o.first_port + o.panels - 1 << "\n";
  return 0;
}

// RemotePath/odn_shell, which the driver starts for each e-mail request: a link to the program
// installed beside this one. A link already there is brought up to date; a file of another
// kind is kept unless `force`.
void LinkMailProgram(const fs::path& root, bool force) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  const fs::path program = self.parent_path() / "odn_shell";
  const fs::path link = root / "odn_shell";
  if (ec || ::access(program.c_str(), X_OK) != 0) {
    std::cerr << "warning: no e-mail program at " << program.string() << "; " << link.string()
              << " not linked, and e-mail requests stay in " << root.string() << "\n";
    return;
  }
  const auto status = fs::symlink_status(link, ec);
  if (fs::exists(status) && !fs::is_symlink(status) && !force) {
    std::cerr << "warning: " << link.string() << " exists and is not a link; kept (--force "
              << "replaces it by a link to " << program.string() << ")\n";
    return;
  }
  // A new link beside the old one, renamed over it: the driver never finds none.
  const fs::path tmp = root / (".odn_shell." + std::to_string(::getpid()));
  fs::remove(tmp, ec);
  fs::create_symlink(program, tmp, ec);
  if (!ec) fs::rename(tmp, link, ec);
  if (ec) {
    fs::remove(tmp);
    throw Error(kErrPathAccess, "cannot link " + link.string() + " to " + program.string() +
                                    ": " + ec.message());
  }
}

int Share(const Args& a) {
  fs::path root = Require(a, "--root");
  std::string why;
  const int demo_driver = a.Has("--demo") ? Number(a, "--driver-id", 1) : 0;
  if (!schema::LayDownShare(root, a.Has("--force"), &why, demo_driver))
    throw Error(kErrPathAccess, why);
  LinkMailProgram(root, a.Has("--force"));
  std::cout << "shared folder tree laid down in " << root.string() << "\n";
  return 0;
}

int Keygen(const Args& a) {
  fs::path key = Require(a, "--key-file");
  std::string why;
  if (!CreateSiteKey(key, a.Has("--force"), &why)) throw Error(kErrPathAccess, why);
  std::cout << "site key written to " << key.string() << " (mode 0600)\n";
  return 0;
}

int WriteSettings(const Args& a) {
  fs::path file = Require(a, "--file");
  std::string db = Require(a, "--db");
  std::string remote = Require(a, "--remote");
  if (db::BackendOf(db) == db::Backend::kNone) {
    throw Error(kErrGeneric, "--db: not a connection string this system knows: " + db);
  }
  std::error_code ec;
  if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
  fs::path key =
      a.Has("--key-file") ? fs::path(a.Get("--key-file")) : file.parent_path() / "ordane.key";
  if (key.is_relative()) key = fs::absolute(key);
  if (!fs::exists(key)) {
    std::string why;
    if (!CreateSiteKey(key, false, &why)) throw Error(kErrPathAccess, why);
    std::cout << "site key written to " << key.string() << " (mode 0600)\n";
  }
  SiteKey site = LoadSiteKey(key);
  // An SQLite database has no users; PostgreSQL defaults to the SQL Server dialect, which
  // reads the user and password and stops the driver when the server goes away.
  int mode = Number(a, "--sql-server", db::BackendOf(db) == db::Backend::kPostgres ? 1 : 0);
  IniDocument ini = IniDocument::Load(file);
  auto set = [&](std::string_view k, const std::string& v) { ini.Set("OS", k, v); };
  set("SQL_Server", std::to_string(mode));
  set("Cxn_Access_Control", db);
  set("Cxn_Hardware", a.Get("--hardware-db", db));
  set("RemotePath", fs::absolute(remote).string());
  set("LocalPath", fs::absolute(a.Get("--local", remote)).string());
  set("Status_Timer", std::to_string(Number(a, "--status-timer", 1000)));
  set("DriverDebug", a.Get("--debug", "0"));
  set("KeyFile", key.string());
  set("Database_UserName", a.Get("--user"));
  set("Database_Passwordn", a.Has("--password") ? Seal(a.Get("--password"), kDriverKey, site) : "");
  set("SQL_AppRole", a.Has("--app-role") ? "1" : "0");
  set("Database_AppName", a.Get("--app-role"));
  set("Database_AppPassword",
      a.Has("--app-password") ? Seal(a.Get("--app-password"), kDriverKey, site) : "");
  // The e-mail program's settings (odn_shell reads them for each request).
  if (a.Has("--smtp-server")) {
    const std::string server = Trim(a.Get("--smtp-server"));
    const std::string lower = LCase(server);
    if (!server.empty() && !lower.starts_with("smtp://") && !lower.starts_with("smtps://"))
      throw Error(kErrGeneric, "--smtp-server: an smtp://HOST:PORT or smtps://HOST:PORT address");
    set("SMTP_Server", server);
  }
  if (a.Has("--smtp-from")) set("SMTP_From", Trim(a.Get("--smtp-from")));
  if (a.Has("--smtp-user")) set("SMTP_User", a.Get("--smtp-user"));
  if (a.Has("--smtp-password"))
    set("SMTP_Password",
        a.Get("--smtp-password").empty() ? "" : Seal(a.Get("--smtp-password"), kDriverKey, site));
  if (a.Has("--smtp-tls")) set("SMTP_TLS", std::to_string(Number(a, "--smtp-tls", 0) != 0));
  if (a.Has("--smtp-timeout")) set("SMTP_Timeout", std::to_string(Number(a, "--smtp-timeout", 30)));
  WriteSettingsFile(file, ini.Text(), 0640);
  std::cout << "settings written to " << file.string() << " (mode 0640)\n";
  Settings written;
  written.CxnAccessControl = db;
  written.CxnHardware = a.Get("--hardware-db", db);
  WarnAboutPasswords(written, std::cerr);
  return 0;
}

int Scramble(const Args& a, bool open) {
  if (a.positional.size() != 1) throw Error(kErrGeneric, "give exactly one TEXT");
  SiteKey site = LoadSiteKey(KeyFileFor(SettingsFile(a)));
  std::cout << (open ? Unseal(a.positional[0], kDriverKey, site)
                     : Seal(a.positional[0], kDriverKey, site))
            << "\n";
  return 0;
}

int ShowSettings(const Args& a) {
  fs::path file = SettingsFile(a);
  if (!fs::exists(file)) throw Error(kErrFileNotFound, "no settings file at " + file.string());
  auto lib = NewSystemLibrary(file);
  Settings s = ProcessEntry(*lib);
  auto mask = [](const std::string& v) {
    return v.empty() ? std::string("(empty)") : std::string("(set)");
  };
  std::cout << "settings file         " << file.string() << "\n";
  std::cout << "key file              " << KeyFileFor(file).string() << "\n";
  std::cout << "computer name         " << ComputerName() << "\n";
  for (const auto& row : SettingsTable()) {
    std::string key(row.key);
    std::string value;
    if (key == "SQL_Server")
      value = std::to_string(s.SqlServerMode);
    else if (key == "SQL_AppRole")
      value = std::to_string(s.UseAppRole);
    else if (key == "Database_AppName")
      value = s.AppRoleName;
    else if (key == "Database_AppPassword")
      value = mask(s.AppRolePassword);
    else if (key == "Database_UserName")
      value = s.DatabaseUser;
    else if (key == "Database_Passwordn")
      value = mask(s.DatabasePassword);
    else if (key == "Cxn_Access_Control")
      value = s.CxnAccessControl;
    else if (key == "Cxn_Hardware")
      value = s.CxnHardware;
    else if (key == "DriverDebug")
      value = s.DriverDebug ? "on" : "off";
    else if (key == "LocalPath")
      value = s.LocalPath;
    else if (key == "RemotePath")
      value = s.RemotePath;
    else if (key == "Status_Timer")
      value = std::to_string(s.StatusTimer);
    std::cout << PadCut(key, 22) << value << "\n";
  }
  // The e-mail program's settings, read by odn_shell for each request.
  std::vector<std::string> problems = s.problems;
  for (const char* key :
       {"SMTP_Server", "SMTP_From", "SMTP_User", "SMTP_Password", "SMTP_TLS", "SMTP_Timeout"}) {
    std::string value = Trim(lib->ReadSys1("OS", key));
    if (std::string_view(key) == "SMTP_Password" && !value.empty()) {
      try {
        lib->xKeyShow(value, kDriverKey);
      } catch (const Error& e) {
        problems.push_back(std::string(key) + ": the sealed password does not open (" + e.what() +
                           "); seal it again with \"ordanectl settings --smtp-password\"");
      }
      value = "(set)";
    }
    std::cout << PadCut(key, 22) << (value.empty() ? "(empty)" : value) << "\n";
  }
  // A sealed password that does not open reads as empty: say so instead of hiding it.
  for (const std::string& problem : problems) std::cout << "error: " << problem << "\n";
  WarnAboutPasswords(s, std::cout);
  return problems.empty() ? 0 : 1;
}

int SchemaSql(const Args& a) {
  std::string b = LCase(Require(a, "--backend"));
  db::Backend backend = b == "sqlite" ? db::Backend::kSqlite
                        : (b == "postgresql" || b == "postgres" || b == "pg")
                            ? db::Backend::kPostgres
                            : db::Backend::kNone;
  if (backend == db::Backend::kNone) throw Error(kErrGeneric, "--backend: sqlite or postgresql");
  std::cout << schema::CreateScript(backend);
  return 0;
}

int Main(int argc, char** argv) {
  Args a;
  std::string why;
  if (!Parse(argc, argv, &a, &why)) {
    std::cerr << "ordanectl: " << why << "\n" << kUsage;
    return 2;
  }
  try {
    const std::string& c = a.command;
    if (c == "init-db") return InitDb(a);
    if (c == "demo-data") return DemoData(a);
    if (c == "share") return Share(a);
    if (c == "settings") return WriteSettings(a);
    if (c == "keygen") return Keygen(a);
    if (c == "scramble") return Scramble(a, false);
    if (c == "unscramble") return Scramble(a, true);
    if (c == "show-settings") return ShowSettings(a);
    if (c == "schema-sql") return SchemaSql(a);
    if (c == "help" || c == "--help" || c == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (c == "--version") {
      std::cout << "ordanectl (ORDANE) " << ORDANE_VERSION << "\n";
      return 0;
    }
    std::cerr << "ordanectl: unknown command \"" << c << "\"\n" << kUsage;
    return 2;
  } catch (const Error& e) {
    std::cerr << "ordanectl " << a.command << ": error " << FormatErrorNumber(e.number()) << ": "
              << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "ordanectl " << a.command << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace
}  // namespace ordane

int main(int argc, char** argv) { return ordane::Main(argc, argv); }
