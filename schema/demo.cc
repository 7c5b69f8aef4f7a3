#include "schema/demo.h"

#include <unistd.h>

#include "schema/schema.h"
#include "schema/share.h"
#include "util/error.h"
#include "util/text.h"

namespace ordane::schema {
namespace {

using Params = std::vector<std::optional<std::string>>;

std::string S(long long n) { return std::to_string(n); }

std::string HostName() {
  char name[200] = {};
  gethostname(name, sizeof name - 1);
  std::string text(name);
  if (auto dot = text.find('.'); dot != std::string::npos) text.resize(dot);
  return UCase(text);
}

void Insert(db::Connection& c, const std::string& table, const std::string& columns,
            const Params& values) {
  std::string marks;
  for (std::size_t i = 0; i < values.size(); ++i) marks += i ? ", ?" : "?";
  c.QueryParams("INSERT INTO " + table + " (" + columns + ") VALUES (" + marks + ")", values);
}

long long InsertReturningId(db::Connection& c, const std::string& table, const std::string& columns,
                            const Params& values) {
  std::string marks;
  for (std::size_t i = 0; i < values.size(); ++i) marks += i ? ", ?" : "?";
  db::ResultSet rs = c.QueryParams(
      "INSERT INTO " + table + " (" + columns + ") VALUES (" + marks + ") RETURNING id", values);
  return std::stoll(rs.rows.at(0).at(0).value_or("0"));
}

void AddBaseRows(db::Connection& c) {
  for (const auto& e : DriverEventCodes()) {
    db::ResultSet rs =
        c.QueryParams("SELECT 1 FROM event_descriptions WHERE event_id = ?", {std::string(e.code)});
    if (rs.rows.empty()) {
      Insert(c, "event_descriptions", "event_id, description, log_type",
             {std::string(e.code), std::string(e.description), S(e.log_type)});
    }
  }
  if (c.Query("SELECT 1 FROM global_settings WHERE id = 1").rows.empty()) {
    Insert(c, "global_settings", "id, Max_Regions", {"1", "20"});
  }
}

}  // namespace

void InitDatabase(db::Connection& c) {
  CreateSchema(c);
  db::InTransaction(c, [&] { AddBaseRows(c); });
}

void LoadDemoData(db::Connection& c, const DemoOptions& o) {
  if (o.panels < 1 || o.panels > 32) throw Error(kErrGeneric, "--panels must be 1 to 32");
  if (o.first_port < 1 || o.first_port + o.panels - 1 > 65535) {
    throw Error(kErrGeneric, "--first-port out of range");
  }
  if (o.driver_id < 1 || o.driver_id > 32767) {
    throw Error(kErrGeneric, "--driver-id must be 1 to 32767");
  }
  CreateSchema(c);
  const std::string d = S(o.driver_id);
  const std::string computer = o.computer_name.empty() ? HostName() : UCase(o.computer_name);
  db::InTransaction(c, [&] {
    AddBaseRows(c);
    bool exists = !c.QueryParams("SELECT 1 FROM drivers WHERE driver_id = ?", {d}).rows.empty();
    if (exists && !o.replace) {
      throw Error(kErrGeneric, "driver " + d + " is already in the database (use --replace)");
    }
    const std::string like = d + ".%";
    for (const char* table : {"controllers", "devices", "controller_commands", "cBuffer",
                              "authority_levels", "sked_holidays"}) {
      c.QueryParams("DELETE FROM " + std::string(table) + " WHERE address LIKE ?", {like});
    }
    for (const char* table : {"skeds", "area_control", "triggers"}) {
      c.QueryParams("DELETE FROM " + std::string(table) + " WHERE controller_address LIKE ?",
                    {like});
    }
    c.QueryParams("DELETE FROM Secured_Areas WHERE address LIKE ?", {d + "-%"});
    c.QueryParams("DELETE FROM channels WHERE driver_id = ?", {d});
    c.QueryParams("DELETE FROM drivers WHERE driver_id = ?", {d});

    Insert(c, "drivers",
           "driver_id, computer_name, driver_type, TCP_Listen_Port, status, Description",
           {d, computer, "11000", "0", "0", "Intrusion Alarm Panel Driver"});

    // Regions: replaced as a whole, they belong to the site rather than to one driver.
    c.Execute("DELETE FROM region_descriptions");
    const char* regions[] = {"Default Region", "North Building", "South Building"};
    for (int r = 0; r < 3; ++r)
      Insert(c, "region_descriptions", "region_id, description", {S(r), regions[r]});
    c.Execute("DELETE FROM TimeSchedule_Descriptions");
    const char* schedules[] = {"Always", "Business Hours", "Night Shift"};
    for (int t = 1; t <= 3; ++t) {
      for (int r = 0; r < 3; ++r) {
        Insert(c, "TimeSchedule_Descriptions", "timeschedule_id, region_id, description",
               {S(t), S(r), schedules[t - 1]});
      }
    }

    for (int i = 0; i < o.panels; ++i) {
      const std::string ca = d + "." + S(i);
      const int region = 1 + i % 2;
      Insert(c, "controllers",
             "address, driver_id, controller_address, poll, Connection_Type, EC_1_Name, cstatus, "
             "Description, baud_rate, password, region_id",
             {ca, d, S(i), "1", "4", "127.0.0." + S(i + 1), "0", "Panel " + S(i), "9600", "",
              S(region)});
      Insert(c, "channels", "driver_id, channel, port, baud_rate, port2",
             {d, S(i), S(i + 1), "9600", S(o.first_port + i)});
      // Every point and reader a simulated panel has (32 points, 8 readers), so that the
      // point-text and door-area uploads find a row for each of them to update.
      for (int p = 1; p <= kDemoPoints; ++p) {
        Insert(c, "devices",
               "address, device_address, Description, group_id, Device, Device_Type, region_id",
               {ca + ".2.I" + S(p), S(p), "Panel " + S(i) + " Point " + S(p),
                S(1 + (p - 1) / 4 % 4), "Point " + S(p), "Point", S(region)});
      }
      for (int r = 1; r <= kDemoReaders; ++r) {
        Insert(c, "devices",
               "address, device_address, Description, group_id, Device, Device_Type, latch_mode, "
               "region_id",
               {ca + ".3.R" + S(r), S(r), "Panel " + S(i) + " Door " + S(r), S(1 + (r - 1) % 4),
                "Reader " + S(r), "Reader", "0", S(region)});
      }
      for (int k = 1; k <= 3; ++k) {
        Insert(c, "devices", "address, device_address, Description, Device, Device_Type, region_id",
               {ca + ".0.O" + S(k), S(k), "Panel " + S(i) + " Relay " + S(k), "Relay " + S(k),
                "Relay", S(region)});
      }
      for (int k = 1; k <= 2; ++k) {
        Insert(c, "devices", "address, device_address, Description, Device, Device_Type, region_id",
               {ca + ".1.O" + S(k), S(k), "Panel " + S(i) + " Output " + S(k), "Output " + S(k),
                "Relay", S(region)});
      }
      for (int a = 1; a <= 4; ++a) {
        Insert(c, "area_control", "controller_address, area_number, description",
               {ca, S(a), "Panel " + S(i) + " Area " + S(a)});
      }
      for (int a = 1; a <= 2; ++a) {
        Insert(c, "Secured_Areas",
               "address, id, Description, Open_Window_Time, Closed_Window_Time, state",
               {d + "-" + S(i), S(a), "Secured Area " + S(a), "2", "3", "0"});
      }
    }

    // What shows the event actions: a video switcher driver (its .dvr file and the camera INI
    // come with the shared folder tree), an e-mail recipient for the panic alarm, and the
    // burglary alarm routed to site 2 of the site map.
    c.Execute("DELETE FROM controllers WHERE address = '90.1'");
    c.Execute("DELETE FROM drivers WHERE driver_id = 90");
    Insert(c, "drivers",
           "driver_id, computer_name, driver_type, TCP_Listen_Port, status, Description",
           {"90", computer, "CAMDEMO", "0", "0", "Demo Video Switcher"});
    Insert(c, "controllers",
           "address, driver_id, controller_address, poll, Connection_Type, cstatus, Description, "
           "baud_rate, region_id",
           {"90.1", "90", "1", "0", "0", "0", "Video switcher", "9600", "1"});
    struct Action {
      int number;
      const char* column;
      const char* value;
    } actions[] = {{7, "Email", "security@example.com"}, {1, "routeid", "2"}};
    for (const Action& a : actions) {
      const PanelEventText& e = PanelEvents().at(static_cast<std::size_t>(a.number));
      const std::string code = "RD" + Right("000" + S(a.number), 3);
      if (c.QueryParams("SELECT 1 FROM event_descriptions WHERE event_id = ?", {code}).rows.empty())
        Insert(c, "event_descriptions", "event_id, description, log_type",
               {code, std::string(e.description), S(e.log_type)});
      c.QueryParams(
          "UPDATE event_descriptions SET " + std::string(a.column) + " = ? WHERE event_id = ?",
          {std::string(a.value), code});
    }

    // People with a card each; card numbers are unique to the demo.
    struct Person {
      const char* first;
      const char* last;
      long long card;
    } people[] = {{"Ann", "Lee", 1001}, {"Ben", "O'Brien", 1002}, {"Carla", "Diaz", 1003}};
    for (const auto& p : people) {
      bool known =
          !c.QueryParams("SELECT 1 FROM credentials WHERE credential_number = ?", {S(p.card)})
               .rows.empty();
      if (known) continue;
      long long id =
          InsertReturningId(c, "personnel", "first_name, last_name, name, card_type, ai_id",
                            {p.first, p.last, std::string(p.first) + " " + p.last, "Normal", "0"});
      Insert(c, "credentials",
             "record_id, credential_number, record_number, status, facility_code, activate_date, "
             "de_activate_date",
             {S(id), S(p.card), "1", "1", "0", "1/1/2010", "1/1/2029"});
      Insert(c, "personnel_rec",
             "record_id, region, record_number, user_group, area1, area2, area3, area4, area5, "
             "area6, area7, area8, user_id, sub_user_group",
             {S(id), "1", "1", "1", "1", "1", "0", "0", "0", "0", "0", "0", "1", "0"});
    }
  });
}

}  // namespace ordane::schema
