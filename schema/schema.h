// The database schema of every table the driver and its tools read or write, kept once as data
// and written out as CREATE statements for each backend: the names as the driver spells them
// for SQLite, all lower case for PostgreSQL (where the database layer folds [Name] to name).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"

namespace ordane::schema {

// The portable column types.
enum class Type {
  kSerial,  // integer key the database assigns on insert
  kInteger,
  kBigInt,    // credential numbers
  kReal,      // time_num (hhmm.ss), hot stamp numbers
  kText,      // short texts
  kLongText,  // descriptions and messages
  kDate,      // events/alarms date (yyyymmdd or yyyy-mm-dd literals)
  kTime,      // events/alarms time (hh:nn:ss)
};

struct Column {
  std::string_view name;
  Type type;
  bool not_null = false;
  std::string_view default_value = {};  // SQL text of the default, empty for none
};

struct Table {
  std::string_view name;  // as the driver writes it ("cBuffer")
  std::vector<Column> columns;
  std::vector<std::string_view> key;  // primary key columns (a serial column is alone)
  std::vector<std::vector<std::string_view>> indexes = {};  // extra indexes for lookups
};

// Every table, in creation order.
const std::vector<Table>& Tables();

// The CREATE TABLE and CREATE INDEX statements for `backend`, one statement per entry.
std::vector<std::string> CreateStatements(db::Backend backend);
// The same as one script (statements ended by ";" and a line break).
std::string CreateScript(db::Backend backend);

// Creates every table that does not exist yet on `c`, in one transaction.
void CreateSchema(db::Connection& c);

// The system event codes the driver raises itself (driver, panel, upload, area and time
// schedule events) with their description and log type: loaded into event_descriptions by
// the set-up tool, since the driver's INI file only holds the panel's own event numbers.
struct EventCode {
  std::string_view code;
  std::string_view description;
  int log_type;
};
const std::vector<EventCode>& DriverEventCodes();

}  // namespace ordane::schema
