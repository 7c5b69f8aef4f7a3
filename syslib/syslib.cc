// The real system library: settings from an INI file, its own two database connections, text
// resources from the shared folder tree, sealing with the site key, and the panel-user store.
#include "syslib/syslib.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "syslib/seal.h"
#include "syslib/tsql.h"
#include "util/conversions.h"
#include "util/error.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kResourceFile = "Resources/strings.ini";
constexpr std::string_view kResourceSection = "Strings";
constexpr std::string_view kIntegrationFolder = "Integration";
// The integration log is rotated at 16 MiB unless the settings say otherwise; the log and three
// rotated files are kept (events.log, events.log.1 .. events.log.3).
constexpr std::uint64_t kIntegrationLogDefaultSize = 16 * 1024 * 1024;
constexpr int kIntegrationLogKept = 3;

bool IsName(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// The n-th "."-separated component of an address (1-based), or "".
std::string Component(std::string_view address, int n) {
  std::size_t start = 0;
  for (int i = 1; i < n; ++i) {
    start = address.find('.', start);
    if (start == std::string_view::npos) return "";
    ++start;
  }
  std::size_t end = address.find('.', start);
  return std::string(address.substr(start, end == std::string_view::npos ? end : end - start));
}

// The controller part of an address: up to (not including) its second ".".
std::string ControllerPart(std::string_view address) {
  std::size_t first = address.find('.');
  if (first == std::string_view::npos) return std::string(address);
  std::size_t second = address.find('.', first + 1);
  return std::string(address.substr(0, second));
}

class RealSystemLibrary final : public SystemLibrary {
 public:
  explicit RealSystemLibrary(fs::path settings) : settings_(std::move(settings)) {}

  void init() override {
    // Nothing to prepare beyond what the setters and Init_CXN do; the resources are loaded on
    // first use because RemotePath is set later.
  }

  std::string ReadSys1(std::string_view section, std::string_view key) override {
    return ReadProfileString(settings_, section, key, "");
  }

  std::string SettingsProblem() override {
    const std::string file = settings_.string();
    const std::string fix = "; write it with \"ordanectl settings\" or name another file in "
                            "ORDANE_SETTINGS";
    std::error_code ec;
    if (!fs::exists(settings_, ec)) return "the settings file " + file + " does not exist" + fix;
    if (!fs::is_regular_file(settings_, ec)) return "the settings file " + file + " is not a file";
    int fd = open(settings_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return "cannot read the settings file " + file + ": " + std::strerror(errno);
    }
    close(fd);
    IniDocument doc = IniDocument::Load(settings_);
    if (doc.Keys("OS").empty()) {
      return "the settings file " + file + " holds no section [OS] with the driver's settings" +
             fix;
    }
    for (const char* key : {"Cxn_Access_Control", "Cxn_Hardware"}) {
      std::string cxn = Trim(doc.Get("OS", key).value_or(""));
      if (cxn.empty()) {
        return "the settings file " + file + " names no database: " + key +
               " is missing or empty in section [OS]";
      }
      if (db::BackendOf(cxn) == db::Backend::kNone) {
        return key + std::string(" in the settings file ") + file +
               " is not a connection string this driver knows (\"sqlite:/path/file.db\" or "
               "\"postgresql://user@host:port/database\")";
      }
    }
    return {};
  }

  void set_SQL_Server(std::int16_t mode) override { sql_server_ = mode; }
  std::int16_t SQL_Server() const override { return sql_server_; }
  void set_RemotePath(const std::string& path) override {
    remote_path_ = path;
    resources_.reset();
  }
  std::string RemotePath() const override { return remote_path_; }
  void set_LocalPath(const std::string& path) override { local_path_ = path; }
  std::string LocalPath() const override { return local_path_; }

  void Init_CXN(std::string_view which, int, int) override {
    bool access = EqualsNoCase(which, "access");
    if (!access && !EqualsNoCase(which, "hardware")) {
      throw Error(kErrGeneric, "Init_CXN: unknown database \"" + std::string(which) + "\"");
    }
    std::string cxn = ReadSys1("OS", access ? "Cxn_Access_Control" : "Cxn_Hardware");
    std::string user, password;
    if (ValueOf0(ReadSys1("OS", "SQL_Server")) != 0) {
      user = ReadSys1("OS", "Database_UserName");
      // A sealed password that does not open is used empty, as the driver's own reading of
      // the settings does (which also reports it, once).
      try {
        password = xKeyShow(ReadSys1("OS", "Database_Passwordn"), kDriverKey);
      } catch (const Error&) {
        password.clear();
      }
    }
    auto c = db::NewConnection();
    c->Open(cxn, user, password);
    (access ? access_ : hardware_) = std::move(c);
  }

  std::unique_ptr<db::Connection> AppRole_Set(std::unique_ptr<db::Connection> cxn,
                                              const std::string& name,
                                              std::string& password) override {
    if (cxn == nullptr) throw Error(kErrObjectNotSet, "AppRole_Set: no connection");
    if (cxn->backend() == db::Backend::kPostgres && !Trim(name).empty()) {
      cxn->Execute("SET ROLE \"" + ReplaceAll(Trim(name), "\"", "\"\"") + "\"");
    }
    return cxn;
  }

  std::string xKeyHide(std::string_view plain, std::string_view key) override {
    return Seal(plain, key, SiteKeyOrThrow());
  }

  std::string xKeyShow(std::string_view text, std::string_view key) override {
    if (!IsSealed(text)) return std::string(text);
    return Unseal(text, key, SiteKeyOrThrow());
  }

  std::string TSQL(std::string_view sql) override {
    db::Backend target = db::Backend::kSqlite;
    if (access_ && access_->IsOpen()) {
      target = access_->backend();
    } else {
      db::Backend named = db::BackendOf(ReadSys1("OS", "Cxn_Access_Control"));
      if (named != db::Backend::kNone) target = named;
    }
    return TranslateSql(sql, sql_server_, target);
  }

  std::string Read_Data(std::string_view table, int flag, std::string_view key) override {
    if (!IsName(table) || !IsName(key)) {
      throw Error(kErrGeneric, "Read_Data: bad table or column name");
    }
    db::Connection& c = Hardware();
    db::Recordset rs;
    rs.Open("select [" + std::string(key) + "] from [" + std::string(table) +
                "] where id = " + std::to_string(flag),
            c);
    return rs.Eof() ? "" : rs.Text(key);
  }

  std::int32_t Region_Return(std::string_view address) override {
    db::Recordset rs;
    rs.Open("select region_id from controllers where address = '" +
                SqlQuote(ControllerPart(Trim(address))) + "'",
            Hardware());
    if (rs.Eof()) return 0;
    return static_cast<std::int32_t>(ValueOf0(rs.Text("region_id")));
  }

  std::string Resource_Str(std::int32_t number) override {
    std::lock_guard lock(mu_);
    if (!resources_) {
      resources_ = IniDocument::Load(ResolvePath(remote_path_, kResourceFile));
    }
    return resources_->Get(kResourceSection, std::to_string(number)).value_or("");
  }

  std::string mHex2Dec(std::string_view hex) override {
    std::string text = Trim(hex);
    if (text.empty() || text.size() > 15) return "0";
    double v = HexToNumber(text);
    return std::to_string(static_cast<long long>(std::llround(v)));
  }

  std::string lastmod() override {
    // Milliseconds since the epoch, never repeating within the process, then the process id,
    // so that two processes on one computer do not meet either.
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    long long value = now, previous = last_stamp_.load();
    do {
      value = std::max<long long>(now, previous + 1);
    } while (!last_stamp_.compare_exchange_weak(previous, value));
    return std::to_string(value) + ZeroPad(getpid() % 100000, 5);
  }

  std::int32_t Get_Sub(std::string_view address) override {
    return static_cast<std::int32_t>(ValueOf0(Component(Trim(address), 3)));
  }
  std::int32_t Get_Cnr(std::string_view address) override {
    return static_cast<std::int32_t>(ValueOf0(Component(Trim(address), 2)));
  }

  std::string GetSecuredAreas(std::int32_t driver_id, std::int32_t slot) override {
    db::Recordset rs;
    rs.Open("select id, state from Secured_Areas where address = '" + std::to_string(driver_id) +
                "-" + std::to_string(slot) + "' and id between 1 and 64 order by id",
            Hardware());
    std::string states;
    for (; !rs.Eof(); rs.MoveNext()) {
      auto id = static_cast<std::size_t>(ValueOf0(rs.Text("id")));
      if (states.size() < id) states.insert(0, id - states.size(), '0');
      std::string s = Trim(rs.Text("state"));
      states[states.size() - id] = s.empty() ? '0' : s[0];
    }
    return states;
  }

  void Write_EventAlarm(std::string_view line, int mode) override {
    fs::path folder;
    if (!EnsureFolder(remote_path_, kIntegrationFolder, &folder)) {
      throw Error(kErrPathAccess, "Cannot create the integration folder below " + remote_path_);
    }
    std::string record = std::to_string(mode) + "\t" + std::string(CString(line));
    record = ReplaceAll(ReplaceAll(record, "\r", " "), "\n", " ") + "\n";
    AppendToLog(folder / "events.log", record, IntegrationLogLimit());
  }

  void Alarm_Refresh_ALM() override {
    fs::path folder;
    if (!EnsureFolder(remote_path_, kIntegrationFolder, &folder)) return;
    WriteFileAtomic(folder / "alarm_refresh", lastmod() + "\n");
  }

  void Update_State(std::string_view event_code, std::string_view address) override {
    if (!access_ || !access_->IsOpen()) return;  // nothing to record into yet
    access_->QueryParams(
        "INSERT INTO device_state (address, event_id, changed) VALUES (?, ?, ?) "
        "ON CONFLICT (address) DO UPDATE SET event_id = excluded.event_id, "
        "changed = excluded.changed",
        {std::string(address), std::string(event_code), lastmod()});
  }

  std::string read_info(std::string_view file, std::string_view section, std::string_view key,
                        bool flag) override {
    fs::path path = fs::path(std::string(file)).is_absolute() ? fs::path(std::string(file))
                                                              : ResolvePath(remote_path_, file);
    std::string value = ReadProfileString(path, section, key, "");
    if (flag) {
      while (!value.empty() && (value.back() == '\\' || value.back() == '/')) value.pop_back();
    }
    return value;
  }

  void W_Panel(std::int16_t& region, std::int16_t& user, std::string_view field,
               std::string_view value) override {
    Access().QueryParams(
        "INSERT INTO panel_users (region_id, user_number, field, value) VALUES (?, ?, ?, ?) "
        "ON CONFLICT (region_id, user_number, field) DO UPDATE SET value = excluded.value",
        {std::to_string(region), std::to_string(user), std::string(field),
         std::string(CString(value))});
  }

  std::string r(std::int32_t region, std::int32_t user, std::string_view field) override {
    db::ResultSet rs = Access().QueryParams(
        "SELECT value FROM panel_users WHERE region_id = ? AND user_number = ? AND field = ?",
        {std::to_string(region), std::to_string(user), std::string(field)});
    if (rs.rows.empty()) return "";
    return rs.rows[0][0].value_or("");
  }

  std::string r_panel(std::int32_t region, std::int16_t& user, std::string_view field) override {
    return r(region, user, field);
  }

 private:
  db::Connection& Access() {
    if (!access_) throw Error(kErrObjectNotSet, "The library's access database is not open");
    return *access_;
  }
  db::Connection& Hardware() {
    if (hardware_) return *hardware_;
    return Access();
  }

  fs::path KeyFilePath() {
    std::string configured = Trim(ReadSys1("OS", "KeyFile"));
    if (!configured.empty()) return configured;
    if (const char* env = std::getenv("ORDANE_KEYFILE"); env != nullptr && *env != '\0') {
      return env;
    }
    return settings_.parent_path() / "ordane.key";
  }

  const SiteKey& SiteKeyOrThrow() {
    std::lock_guard lock(mu_);
    if (!site_key_) site_key_ = LoadSiteKey(KeyFilePath());
    return *site_key_;
  }

  // The size at which the integration log is rotated: setting "OS"/"IntegrationLogSize" in
  // bytes, read once; absent or 0 gives kIntegrationLogDefaultSize.
  std::uint64_t IntegrationLogLimit() {
    std::lock_guard lock(mu_);
    if (!integration_log_limit_) {
      std::int64_t configured = ValueOf0(ReadSys1("OS", "IntegrationLogSize"));
      integration_log_limit_ =
          configured > 0 ? static_cast<std::uint64_t>(configured) : kIntegrationLogDefaultSize;
    }
    return *integration_log_limit_;
  }

  // Appends one record with one write (appends of one write never interleave with another
  // writer's, and several drivers share the folder). The record is not synced: the events are
  // stored in the database and the event files, the log only feeds other systems, and a sync
  // per record would hold the driver's one thread on the disk for every event.
  //
  // A log that a record would take past `limit` is rotated first: the rotated files move up one
  // name (the oldest, events.log.3, is replaced) and events.log becomes events.log.1. The rotation runs under an
  // exclusive lock on the full file and only while the name still names that file, so two
  // writers that see it full at once rotate it once.
  static void AppendToLog(const fs::path& file, const std::string& record, std::uint64_t limit) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd < 0) throw Error(kErrPathAccess, "Cannot open " + file.string());
      struct stat st {};
      if (fstat(fd, &st) == 0 && st.st_size > 0 &&
          static_cast<std::uint64_t>(st.st_size) + record.size() > limit) {
        flock(fd, LOCK_EX);
        struct stat now {};
        if (stat(file.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
          for (int n = kIntegrationLogKept - 1; n >= 1; --n) {
            fs::path from = file.string() + "." + std::to_string(n);
            rename(from.c_str(), (file.string() + "." + std::to_string(n + 1)).c_str());
          }
          rename(file.c_str(), (file.string() + ".1").c_str());
        }
        close(fd);  // releases the lock; the next attempt opens the new file
        continue;
      }
      ssize_t n = write(fd, record.data(), record.size());
      close(fd);
      if (n != static_cast<ssize_t>(record.size())) {
        throw Error(kErrPathAccess, "Cannot write " + file.string());
      }
      return;
    }
    throw Error(kErrPathAccess, "Cannot rotate " + file.string());
  }

  fs::path settings_;
  std::int16_t sql_server_ = 0;
  std::string remote_path_, local_path_;
  std::unique_ptr<db::Connection> access_, hardware_;
  std::optional<IniDocument> resources_;
  std::optional<SiteKey> site_key_;
  std::optional<std::uint64_t> integration_log_limit_;
  static inline std::atomic<long long> last_stamp_{0};  // shared by every library object
  std::mutex mu_;
};

}  // namespace

fs::path SettingsFilePath() {
  if (const char* env = std::getenv("ORDANE_SETTINGS"); env != nullptr && *env != '\0') {
    return env;
  }
  return "/etc/ordane/ordane.ini";
}

std::unique_ptr<SystemLibrary> NewSystemLibrary() {
  return std::make_unique<RealSystemLibrary>(SettingsFilePath());
}

std::unique_ptr<SystemLibrary> NewSystemLibrary(const fs::path& settings_file) {
  return std::make_unique<RealSystemLibrary>(settings_file);
}

}  // namespace ordane
