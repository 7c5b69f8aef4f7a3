// A system library for the driver's unit tests: settings from a map, statements unchanged by
// TSQL, and a record of the calls whose effect the tests look for.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "syslib/syslib.h"
#include "util/conversions.h"
#include "util/error.h"
#include "util/ini.h"
#include "util/values.h"

namespace ordane {

class FakeSystemLibrary final : public SystemLibrary {
 public:
  void init() override {}
  std::string SettingsProblem() override { return settings_problem; }
  std::string ReadSys1(std::string_view section, std::string_view key) override {
    auto it = settings.find(std::string(section) + "/" + std::string(key));
    return it == settings.end() ? std::string() : it->second;
  }
  void set_SQL_Server(std::int16_t mode) override { sql_server_ = mode; }
  std::int16_t SQL_Server() const override { return sql_server_; }
  void set_RemotePath(const std::string& p) override { remote_ = p; }
  std::string RemotePath() const override { return remote_; }
  void set_LocalPath(const std::string& p) override { local_ = p; }
  std::string LocalPath() const override { return local_; }
  void Init_CXN(std::string_view which, int, int) override { cxn.emplace_back(which); }
  std::unique_ptr<db::Connection> AppRole_Set(std::unique_ptr<db::Connection> c,
                                              const std::string& name,
                                              std::string& password) override {
    app_roles.push_back(name + "/" + password);
    return c;
  }
  std::string xKeyHide(std::string_view plain, std::string_view) override {
    return "sealed:" + std::string(plain);
  }
  // "sealed:broken" is a seal that does not open.
  std::string xKeyShow(std::string_view text, std::string_view) override {
    std::string t(text);
    if (t == "sealed:broken") throw Error(kErrGeneric, "tampered");
    return t.rfind("sealed:", 0) == 0 ? t.substr(7) : t;
  }
  std::string TSQL(std::string_view sql) override { return std::string(sql); }
  std::string Read_Data(std::string_view, int, std::string_view) override {
    if (max_regions == "throw") throw Error(kErrDbCommand, "no table");
    return max_regions;
  }
  std::int32_t Region_Return(std::string_view) override { return region; }
  std::string Resource_Str(std::int32_t n) override { return "resource " + std::to_string(n); }
  std::string mHex2Dec(std::string_view hex) override {
    std::string h(hex);
    return std::to_string(static_cast<long long>(HexToNumber(h)));
  }
  std::string lastmod() override { return std::to_string(++lastmod_); }
  std::int32_t Get_Sub(std::string_view a) override { return Component(a, 3); }
  std::int32_t Get_Cnr(std::string_view a) override { return Component(a, 2); }
  std::string GetSecuredAreas(std::int32_t, std::int32_t) override { return secured_areas; }
  void Write_EventAlarm(std::string_view line, int) override { event_alarms.emplace_back(line); }
  void Alarm_Refresh_ALM() override { ++alarm_refreshes; }
  void Update_State(std::string_view code, std::string_view address) override {
    states.emplace_back(std::string(code), std::string(address));
  }
  std::string read_info(std::string_view file, std::string_view section, std::string_view key,
                        bool flag) override {
    std::string v = ReadProfileString(std::string(file), section, key, "");
    while (flag && !v.empty() && (v.back() == '/' || v.back() == '\\')) v.pop_back();
    return v;
  }
  void W_Panel(std::int16_t& region, std::int16_t& user, std::string_view field,
               std::string_view value) override {
    const std::string key =
        std::to_string(region) + "/" + std::to_string(user) + "/" + std::string(field);
    w_panel_calls.push_back(key + "=" + std::string(value));
    panel_users[key] = std::string(value);
  }
  std::string r(std::int32_t region, std::int32_t user, std::string_view field) override {
    auto it = panel_users.find(std::to_string(region) + "/" + std::to_string(user) + "/" +
                               std::string(field));
    return it == panel_users.end() ? std::string() : it->second;
  }
  std::string r_panel(std::int32_t region, std::int16_t& user, std::string_view field) override {
    return r(region, user, field);
  }

  std::map<std::string, std::string> settings;  // "OS/RemotePath" -> value
  std::string max_regions;                         // what Read_Data answers; "throw" throws
  std::vector<std::string> app_roles;              // "name/password" of each AppRole_Set
  std::string settings_problem;  // what SettingsProblem answers
  std::vector<std::string> cxn;
  std::vector<std::string> event_alarms;
  std::vector<std::pair<std::string, std::string>> states;
  std::int32_t region = 0;                         // what Region_Return answers
  std::string secured_areas;                       // what GetSecuredAreas answers
  std::map<std::string, std::string> panel_users;  // "region/user/field" -> credential
  std::vector<std::string> w_panel_calls;          // "region/user/field=value", in order
  int alarm_refreshes = 0;

 private:
  std::int16_t sql_server_ = 0;
  std::string remote_, local_;
  int lastmod_ = 0;

  static std::int32_t Component(std::string_view a, int n) {
    std::size_t start = 0;
    for (int i = 1; i < n; ++i) {
      start = a.find('.', start);
      if (start == std::string_view::npos) return 0;
      ++start;
    }
    return static_cast<std::int32_t>(ValueOf0(a.substr(start, a.find('.', start) - start)));
  }
};

}  // namespace ordane
