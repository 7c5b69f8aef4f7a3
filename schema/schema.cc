#include "schema/schema.h"

#include "util/error.h"
#include "util/text.h"

namespace ordane::schema {
namespace {

using T = Type;

std::string TypeName(Type t, db::Backend b) {
  const bool pg = b == db::Backend::kPostgres;
  switch (t) {
    case T::kSerial:
      return pg ? "serial" : "integer";  // SQLite: "integer primary key" is the row id
    case T::kInteger:
      return "integer";
    case T::kBigInt:
      return "bigint";
    case T::kReal:
      return pg ? "double precision" : "real";
    case T::kText:
      return "varchar(255)";
    case T::kLongText:
      return "text";
    case T::kDate:
      return pg ? "date" : "varchar(20)";
    case T::kTime:
      return pg ? "time" : "varchar(20)";
  }
  return "text";
}

std::string Name(std::string_view name, db::Backend b) {
  std::string n = b == db::Backend::kPostgres ? LCase(name) : std::string(name);
  return "\"" + n + "\"";
}

}  // namespace

const std::vector<Table>& Tables() {
  static const std::vector<Table> tables = [] {
    std::vector<Table> t;
    t.push_back({"drivers",
                 {{"driver_id", T::kInteger, true},
                  {"computer_name", T::kText},
                  {"driver_type", T::kText},
                  {"TCP_Listen_Port", T::kInteger, false, "0"},
                  {"status", T::kInteger, false, "0"},
                  {"Description", T::kText}},
                 {"driver_id"},
                 {{"computer_name"}}});
    t.push_back({"controllers",
                 {{"address", T::kText, true},
                  {"driver_id", T::kInteger},
                  {"controller_address", T::kInteger},
                  {"poll", T::kInteger, false, "0"},
                  {"Connection_Type", T::kText},
                  {"EC_1_Name", T::kText},
                  {"cstatus", T::kInteger, false, "0"},
                  {"Description", T::kText},
                  {"baud_rate", T::kInteger},
                  {"password", T::kText},
                  {"region_id", T::kInteger, false, "0"}},
                 {"address"},
                 {{"driver_id"}}});
    t.push_back({"channels",
                 {{"driver_id", T::kInteger, true},
                  {"channel", T::kInteger, true},
                  {"port", T::kText},
                  {"baud_rate", T::kInteger},
                  {"port2", T::kInteger}},
                 {"driver_id", "channel"}});
    t.push_back({"event_descriptions",
                 {{"event_id", T::kText, true},
                  {"description", T::kLongText},
                  {"log_type", T::kInteger, false, "0"},
                  {"Email", T::kText},
                  {"routeid", T::kText}},
                 {"event_id"}});
    t.push_back({"controller_commands",
                 {{"id", T::kSerial}, {"address", T::kText}, {"cmd", T::kLongText}},
                 {"id"},
                 {{"address"}}});
    t.push_back({"cBuffer",
                 {{"id", T::kSerial}, {"address", T::kText}, {"MSG", T::kLongText}},
                 {"id"},
                 {{"address"}}});
    t.push_back({"workstations", {{"id", T::kSerial}, {"description", T::kText}}, {"id"}});
    t.push_back({"workstations_cmd",
                 {{"id", T::kSerial}, {"description", T::kText}, {"command", T::kLongText}},
                 {"id"}});
    t.push_back({"region_descriptions",
                 {{"region_id", T::kInteger, true}, {"description", T::kText}},
                 {"region_id"}});
    // One row (id 1) whose columns are the system-wide settings; Read_Data reads a column.
    t.push_back(
        {"global_settings", {{"id", T::kInteger, true}, {"Max_Regions", T::kInteger}}, {"id"}});
    t.push_back({"devices",
                 {{"id", T::kSerial},
                  {"address", T::kText},
                  {"device_address", T::kInteger},
                  {"Description", T::kText},
                  {"group_id", T::kInteger, false, "0"},
                  {"Device", T::kText},
                  {"Event_Source", T::kText},
                  {"Device_Type", T::kText},
                  {"latch_mode", T::kInteger, false, "0"},
                  {"region_id", T::kInteger, false, "0"}},
                 {"id"},
                 {{"address"}}});
    t.push_back({"authority_levels",
                 {{"address", T::kText, true}, {"subitem", T::kInteger, true}, {"smash", T::kText}},
                 {"address", "subitem"}});
    {
      Table h{"sked_holidays",
              {{"address", T::kText, true}, {"holiday_index", T::kInteger, true}},
              {"address", "holiday_index"}};
      static const char* const kMonths[] = {"1", "2", "3", "4",  "5",  "6",
                                            "7", "8", "9", "10", "11", "12"};
      for (const char* m : kMonths) h.columns.push_back({m, T::kText});
      t.push_back(h);
    }
    t.push_back({"skeds",
                 {{"controller_address", T::kText, true},
                  {"sked_id", T::kInteger, true},
                  {"description", T::kText},
                  {"Xept_Holidays", T::kInteger, false, "0"},
                  {"sunday", T::kInteger, false, "0"},
                  {"monday", T::kInteger, false, "0"},
                  {"tuesday", T::kInteger, false, "0"},
                  {"wednesday", T::kInteger, false, "0"},
                  {"thursday", T::kInteger, false, "0"},
                  {"friday", T::kInteger, false, "0"},
                  {"saturday", T::kInteger, false, "0"},
                  {"holiday1", T::kText},
                  {"holiday2", T::kText},
                  {"holiday3", T::kText},
                  {"holiday4", T::kText},
                  {"sked_date", T::kText},
                  {"Time_Edit", T::kInteger, false, "0"},
                  {"sked_time", T::kText},
                  {"function_code", T::kInteger, false, "0"},
                  {"parameter1", T::kText},
                  {"parameter2", T::kText}},
                 {"controller_address", "sked_id"}});
    t.push_back({"personnel",
                 {{"id", T::kSerial},
                  {"first_name", T::kText},
                  {"last_name", T::kText},
                  {"name", T::kText},
                  {"card_type", T::kText},
                  {"ai_id", T::kInteger, false, "0"},
                  {"last_reader", T::kText},
                  {"last_used", T::kText}},
                 {"id"}});
    t.push_back({"personnel_rec",
                 {{"id", T::kSerial},
                  {"record_id", T::kInteger},
                  {"region", T::kInteger},
                  {"record_number", T::kInteger},
                  {"user_group", T::kInteger},
                  {"area1", T::kInteger},
                  {"area2", T::kInteger},
                  {"area3", T::kInteger},
                  {"area4", T::kInteger},
                  {"area5", T::kInteger},
                  {"area6", T::kInteger},
                  {"area7", T::kInteger},
                  {"area8", T::kInteger},
                  {"user_id", T::kInteger},
                  {"sub_user_group", T::kInteger}},
                 {"id"},
                 {{"record_id", "region"}}});
    t.push_back({"credentials",
                 {{"id", T::kSerial},
                  {"record_id", T::kInteger},
                  {"credential_number", T::kBigInt},
                  {"record_number", T::kInteger},
                  {"status", T::kInteger},
                  {"facility_code_flag", T::kInteger},
                  {"facility_code", T::kInteger},
                  {"re_issue_code", T::kInteger},
                  {"hot_stamp_number", T::kReal},
                  {"activate_date", T::kText},
                  {"de_activate_date", T::kText}},
                 {"id"},
                 {{"credential_number"}, {"record_id"}}});
    t.push_back({"alarm_integration",
                 {{"id", T::kSerial},
                  {"AI_ID", T::kInteger},
                  {"reader", T::kText},
                  {"Controller_Address", T::kText},
                  {"Disarm_Areas", T::kText}},
                 {"id"}});
    t.push_back({"area_control",
                 {{"controller_address", T::kText, true},
                  {"area_number", T::kInteger, true},
                  {"description", T::kText}},
                 {"controller_address", "area_number"}});
    // state: the area's state character for GetSecuredAreas ("0" unknown, "1" closed, "2" open,
    // "3" open by schedule).
    t.push_back({"Secured_Areas",
                 {{"address", T::kText, true},
                  {"id", T::kInteger, true},
                  {"Description", T::kText},
                  {"Open_Window_Time", T::kInteger},
                  {"Closed_Window_Time", T::kInteger},
                  {"state", T::kText, false, "'0'"}},
                 {"address", "id"}});
    t.push_back({"TimeSchedule_Descriptions",
                 {{"timeschedule_id", T::kInteger, true},
                  {"region_id", T::kInteger, true},
                  {"description", T::kText}},
                 {"timeschedule_id", "region_id"}});
    t.push_back({"triggers",
                 {{"id", T::kSerial},
                  {"event_id", T::kText},
                  {"controller_address", T::kText},
                  {"macro_id", T::kInteger},
                  {"time_schedule", T::kInteger}},
                 {"id"}});
    t.push_back({"sub_controllers",
                 {{"address", T::kText, true},
                  {"driver_id", T::kInteger},
                  {"Description", T::kText},
                  {"comm_channel", T::kInteger}},
                 {"address"}});
    const std::vector<Column> event_head = {{"id", T::kSerial},
                                            {"region_id", T::kInteger, false, "0"},
                                            {"date", T::kDate},
                                            {"time", T::kTime},
                                            {"time_num", T::kReal},
                                            {"time_string", T::kText},
                                            {"address", T::kLongText},
                                            {"address_description", T::kText},
                                            {"device", T::kText},
                                            {"event_id", T::kText},
                                            {"event_description", T::kLongText},
                                            {"name", T::kLongText},
                                            {"data2", T::kLongText},
                                            {"data", T::kLongText}};
    Table events{"events", event_head, {"id"}, {{"address"}, {"event_id"}}};
    events.columns.push_back({"log_type", T::kInteger});
    events.columns.push_back({"group_id", T::kReal});
    t.push_back(events);
    Table alarms{"alarms", event_head, {"id"}, {{"address"}}};
    alarms.columns.push_back({"device_type", T::kText});
    alarms.columns.push_back({"status", T::kText});
    alarms.columns.push_back({"priority", T::kInteger});
    t.push_back(alarms);
    // The system library's own tables: the panel-user store behind W_Panel/r/r_panel and the
    // last event of each device (Update_State).
    t.push_back({"panel_users",
                 {{"region_id", T::kInteger, true},
                  {"user_number", T::kInteger, true},
                  {"field", T::kText, true},
                  {"value", T::kLongText}},
                 {"region_id", "user_number", "field"}});
    t.push_back({"device_state",
                 {{"address", T::kText, true}, {"event_id", T::kText}, {"changed", T::kText}},
                 {"address"}});
    // The event service's record of the statement files it has stored, by their identities,
    // so that a file written or taken twice stores its event once. "applied_at" is a local
    // "yyyy-mm-dd hh:nn:ss" text; old rows are pruned.
    t.push_back({"applied_events",
                 {{"identity", T::kText, true}, {"applied_at", T::kText}},
                 {"identity"}});
    return t;
  }();
  return tables;
}

std::vector<std::string> CreateStatements(db::Backend backend) {
  std::vector<std::string> out;
  const bool pg = backend == db::Backend::kPostgres;
  for (const Table& table : Tables()) {
    std::string sql = "CREATE TABLE IF NOT EXISTS " + Name(table.name, backend) + " (\n";
    bool serial_key = false;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      const Column& c = table.columns[i];
      sql += "  " + Name(c.name, backend) + " " + TypeName(c.type, backend);
      if (c.type == T::kSerial) {
        sql += pg ? " PRIMARY KEY" : " PRIMARY KEY AUTOINCREMENT";
        serial_key = true;
      }
      if (c.not_null) sql += " NOT NULL";
      if (!c.default_value.empty()) sql += " DEFAULT " + std::string(c.default_value);
      if (i + 1 < table.columns.size() || (!serial_key && !table.key.empty())) sql += ",";
      sql += "\n";
    }
    if (!serial_key && !table.key.empty()) {
      sql += "  PRIMARY KEY (";
      for (std::size_t k = 0; k < table.key.size(); ++k) {
        if (k > 0) sql += ", ";
        sql += Name(table.key[k], backend);
      }
      sql += ")\n";
    }
    sql += ")";
    out.push_back(sql);
    for (const auto& index : table.indexes) {
      std::string name = LCase(table.name);
      for (auto c : index) name += "_" + LCase(c);
      std::string idx = "CREATE INDEX IF NOT EXISTS " + Name("ix_" + name, backend) + " ON " +
                        Name(table.name, backend) + " (";
      for (std::size_t k = 0; k < index.size(); ++k) {
        if (k > 0) idx += ", ";
        idx += Name(index[k], backend);
      }
      out.push_back(idx + ")");
    }
  }
  return out;
}

std::string CreateScript(db::Backend backend) {
  std::string script;
  for (const auto& s : CreateStatements(backend)) script += s + ";\n\n";
  return script;
}

void CreateSchema(db::Connection& c) {
  if (!c.IsOpen()) c.Execute("SELECT 1");  // reports why the connection cannot be used
  db::InTransaction(c, [&] {
    for (const auto& s : CreateStatements(c.backend())) c.Execute(s);
    if (c.backend() != db::Backend::kPostgres) return;
    // A database made when these columns were varchar(255) would refuse long texts; widening
    // to text changes no stored value and rewrites nothing.
    db::ResultSet narrow = c.Query(
        "SELECT table_name, column_name FROM information_schema.columns WHERE table_schema = "
        "current_schema() AND data_type = 'character varying'");
    for (const auto& row : narrow.rows) {
      std::string table = row[0].value_or(""), column = row[1].value_or("");
      for (const Table& t : Tables()) {
        if (LCase(t.name) != table) continue;
        for (const Column& col : t.columns) {
          if (col.type == T::kLongText && LCase(col.name) == column) {
            c.Execute("ALTER TABLE " + Name(t.name, db::Backend::kPostgres) + " ALTER COLUMN " +
                      Name(col.name, db::Backend::kPostgres) + " TYPE text");
          }
        }
      }
    }
  });
}

const std::vector<EventCode>& DriverEventCodes() {
  static const std::vector<EventCode> codes = {
      {"HS001", "Driver Started", 102},
      {"HS002", "Driver Stopped", 102},
      {"PO001", "Panel Communications Restored", 102},
      {"PO002", "Panel Communications Trouble", 102},
      {"PO003", "Panel Communications Lost", 111},
      {"SE080", "Authority Levels Uploaded", 102},
      {"SE081", "Point Definitions Uploaded", 102},
      {"SE082", "User Names Uploaded", 102},
      {"SE083", "Token Tables Uploaded", 102},
      {"SE084", "User Classes Uploaded", 102},
      {"SE085", "Schedules Uploaded", 102},
      {"SE086", "Holiday Tables Uploaded", 102},
      {"SA005", "Secured Area Not Closed In Window", 111},
      {"SA006", "Secured Area Not Opened In Window", 111},
      {"TS001", "Time Schedule Window", 102},
  };
  return codes;
}

}  // namespace ordane::schema
