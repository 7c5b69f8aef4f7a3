// The panel's hardware tables: authority levels, point texts and areas, the areas of the door
// readers, the holiday tables and the schedules.
#include <array>
#include <cstdint>
#include <string>

#include "db/db.h"
#include "responses/upload.h"
#include "responses/uploads.h"
#include "util/conversions.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

constexpr int kAuthorityLevels = 80;
constexpr int kHolidayTables = 4;
constexpr int kHolidayDays = 366;  // a year in which February has 29 days
constexpr std::array<int, 12> kMonthDays = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kReaders = 8;
constexpr int kSkedsPerPanel = 40;
constexpr int kSkedFields = 9;
constexpr std::size_t kSkedRestWidth = 100;

// A point text as the workstations show it: blanks trimmed, the panel's fill characters as
// spaces.
std::string PointText(const std::string& raw) {
  return ReplaceAll(ReplaceAll(Trim(raw), std::string(1, '\x1f'), " "), "_", " ");
}

// An unsigned hexadecimal field already checked with IsHex (at most eight digits).
std::uint32_t Hex(const std::string& digits) {
  return static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
}

}  // namespace

void UploadAuthorityLevels(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "Authority levels", "Reading Authority Levels");
  const std::string response = ResponseText(in.buffer);
  db::Connection& c = d.Hardware();
  up.Store(c, [&] {
    for (int n = 0; n < kAuthorityLevels; ++n) {
      up.Yield();
      const std::string name = "Authority Level " + std::to_string(n);
      const auto value = ItemAfter(response, name + ": ", 12);
      if (!value) {
        up.Skip(name, "missing");
        continue;
      }
      // Four two-digit bytes with a space between them: "0F 1E 2D 3C".
      const std::string mask = Mid(*value, 1, 2) + Mid(*value, 4, 2) + Mid(*value, 7, 2) +
                               Mid(*value, 10, 2);
      if (mask.size() != 8 || !IsHex(mask)) {
        up.Skip(name, "not four hexadecimal bytes: " + Shown(*value));
        continue;
      }
      up.Item(c, name, [&] {
        db::Recordset rs;
        rs.Open("select * from authority_levels where address = " + Quoted(up.address()) +
                    " and subitem = " + std::to_string(n),
                c);
        if (rs.Eof()) {
          rs.AddNew();
          rs.Set("address", up.address());
          rs.Set("subitem", std::to_string(n));
        }
        rs.Set("smash", mask);
        rs.Update();
      });
    }
  });
  up.Finish("SE080", true);
}

void UploadPointTexts(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "Point texts", "Reading Point Definitions");
  const std::string response = ResponseText(in.buffer);
  db::Connection& c = d.Hardware();
  up.Store(c, [&] {
    db::Recordset rs;
    rs.Open("select * from devices where address like " + Quoted(up.address() + ".2.I%") +
                " order by device_address",
            c);
    for (; !rs.Eof(); rs.MoveNext()) {
      up.Yield();
      // device_address 1 is the panel's point 0.
      const std::int64_t n = ValueOf0(Right("000" + rs.Text("device_address"), 3)) - 1;
      const std::string point = "point " + std::to_string(n);
      const auto text = ItemAfter(response, "Point text " + std::to_string(n) + ": ", 16);
      const auto area = ItemAfter(response, "Point Area " + std::to_string(n) + ": ", 1);
      if (!text || !area) {
        up.Skip(point, "missing");
        continue;
      }
      if (!AllDigits(*area)) {
        up.Skip(point, "area not a digit: " + Shown(*area));
        continue;
      }
      up.Item(c, point, [&] {
        rs.Set("description", PointText(*text));
        rs.Set("group_id", std::to_string(ValueOf0(*area) + 1));
        rs.Update();
      });
    }
  });
  up.Finish("SE081", true);
}

void StorePointText(Driver& d, const UploadInput& in) {
  Routine r(d.errors, "ERR_Main_Process");
  const std::string point = Trim(in.data);
  if (!AllDigits(point)) {
    r.Report(kErrGeneric, "Point text from " + d.ControllerAddress(in.slot) +
                              ": not a point number: " + Shown(in.data));
    return;
  }
  const std::string text = PointText(in.extra);
  if (!r.Step([&] {
        d.Hardware().Execute("UPDATE devices SET [description]=" + Quoted(text) +
                             " where address = " +
                             Quoted(d.ControllerAddress(in.slot) + ".2.I" + point));
      }))
    return;
  if (d.RefreshHardwareTree) r.Step([&] { d.RefreshHardwareTree(); });
}

void StoreDoorAreas(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "Door areas", "Retrieving Area# for Reader " + OneLine(in.data));
  std::string rest = Left(in.data, in.data.empty() ? 0 : in.data.size() - 1);
  db::Connection& c = d.Hardware();
  up.Store(c, [&] {
    for (int r = 1; r <= kReaders; ++r) {
      up.Yield();
      const std::size_t space = InStr(rest, " ");
      const std::string area = space ? Left(rest, space - 1) : rest;
      rest = space ? Mid(rest, space + 1, 50) : std::string();
      const std::string reader = "reader " + std::to_string(r);
      if (!AllDigits(area) || area.size() > 3) {
        up.Skip(reader, area.empty() ? "missing" : "area not a number: " + Shown(area));
        continue;
      }
      // 16 is the panel's "no area".
      const std::int64_t group = ValueOf0(area) == 16 ? 0 : ValueOf0(area);
      const std::string address = Quoted(up.address() + ".3.R" + std::to_string(r));
      up.Item(c, reader, [&] {
        db::Recordset rs;
        rs.Open("select id from devices where address = " + address, c);
        if (rs.Eof()) return;  // a reader the site has not set up
        c.Execute("UPDATE devices SET [group_id]=" + std::to_string(group) +
                  " where address = " + address);
      });
    }
  });
  up.Finish("", false);
}

void UploadHolidays(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "Holiday tables", "Reading Holiday Table");
  const std::string response = ResponseText(in.buffer);
  // flags[t][day]: '0' or '1'; a day whose item is missing or garbled stays unknown and keeps
  // what the stored table holds for it.
  std::array<std::string, kHolidayTables> flags;
  flags.fill(std::string(kHolidayDays, '?'));
  for (int day = 0; day < kHolidayDays; ++day) {
    up.Yield();
    const std::string name = "Day # " + std::to_string(day);
    const auto value = ItemAfter(response, name + ": ", 2);
    if (!value) {
      up.Skip(name, "missing");
      continue;
    }
    std::string digits = Trim(*value);
    if (!IsHex(digits)) {
      up.Skip(name, "not hexadecimal: " + Shown(*value));
      continue;
    }
    const std::string bits = HexToBits(digits);
    for (int t = 0; t < kHolidayTables; ++t)
      flags[static_cast<std::size_t>(t)][static_cast<std::size_t>(day)] =
          bits.size() > static_cast<std::size_t>(t) ? bits[static_cast<std::size_t>(t)] : '0';
  }
  db::Connection& c = d.Hardware();
  up.Store(c, [&] {
    for (int t = 1; t <= kHolidayTables; ++t) {
      const std::string& table = flags[static_cast<std::size_t>(t - 1)];
      up.Item(c, "holiday table " + std::to_string(t), [&] {
        db::Recordset rs;
        rs.Open("select * from sked_holidays where address = " + Quoted(up.address()) +
                    " and holiday_index = " + std::to_string(t),
                c, db::CursorType::kKeyset);
        if (rs.Eof()) {
          rs.AddNew();
          rs.Set("address", up.address());
          rs.Set("holiday_index", std::to_string(t));
        }
        int day = 0;
        for (int m = 1; m <= 12; ++m) {
          const std::size_t length = static_cast<std::size_t>(kMonthDays[static_cast<std::size_t>(m - 1)]);
          const std::string column = std::to_string(m);
          std::string month = rs.Text(column);
          month.resize(length, '0');
          for (std::size_t n = 0; n < length; ++n, ++day) {
            const char flag = table[static_cast<std::size_t>(day)];
            if (flag != '?') month[n] = flag;
          }
          rs.Set(column, month);
        }
        rs.Update();
      });
    }
  });
  up.Finish("SE086", true);
}

namespace {

// One schedule item cut into its nine fields; empty fields when the item has fewer.
std::array<std::string, kSkedFields> SkedFields(std::string item) {
  std::array<std::string, kSkedFields> fields;
  for (int f = 0; f < kSkedFields - 1; ++f) {
    const std::size_t space = InStr(item, " ");
    if (space == 0) {
      fields[static_cast<std::size_t>(f)] = item;
      item.clear();
      continue;
    }
    fields[static_cast<std::size_t>(f)] = Left(item, space - 1);
    item = Mid(item, space + 1, kSkedRestWidth);
  }
  fields[kSkedFields - 1] = Trim(item);
  return fields;
}

// Why the fields of a schedule are not in the panel's form; empty when they are.
std::string SkedProblem(const std::array<std::string, kSkedFields>& f) {
  if (f[0].empty() || f[4].empty()) return "a holiday or time-edit field is empty";
  if (f[1].size() != 2 || !IsHex(f[1])) return "days not two hexadecimal digits";
  if (f[2].empty() || !IsHex(f[2].substr(0, 1))) return "holidays not hexadecimal";
  if (f[3].size() < 3 || f[3].size() > 8 || !IsHex(f[3])) return "date not hexadecimal";
  for (std::size_t i : {5u, 6u, 7u, 8u})
    if (f[i].size() > 8 || !IsHex(f[i])) return "field " + std::to_string(i + 1) + " not hexadecimal";
  return {};
}

}  // namespace

void UploadSkeds(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "Schedules", "Reading Skeds");
  const std::string response = ResponseText(in.buffer);
  const std::string year = std::to_string(d.clock.Now().year);
  db::Connection& c = d.Access();
  up.Store(c, [&] {
    const std::string query = "select * from skeds where controller_address = " +
                              Quoted(up.address()) + " order by sked_id";
    db::Recordset rs;
    rs.Open(query, c, db::CursorType::kKeyset);
    if (rs.Eof()) {
      for (int n = 1; n <= kSkedsPerPanel; ++n) {
        rs.AddNew();
        rs.Set("controller_address", up.address());
        rs.Set("sked_id", std::to_string(n));
        rs.Set("description", "Sked#" + std::to_string(n));
        rs.Set("function_code", "0");
        rs.Set("time_edit", "0");
        rs.Update();
      }
      rs.Open(query, c);
    }
    for (; !rs.Eof(); rs.MoveNext()) {
      const std::string n = std::to_string(ValueOf0(rs.Text("sked_id")) - 1);
      const std::string name = "SKED " + n;
      const std::size_t start = ValueStart(response, name + ": ");
      if (start == 0) {
        up.Skip(name, "missing");
        continue;
      }
      // The item ends before the blank that precedes the next "SKED"; the last one ends with
      // the line it stands on.
      std::string item;
      if (const std::size_t next = InStr(response, "SKED", start + 1); next > 0) {
        item = Mid(response, start, next > start + 1 ? next - 1 - start : 0);
      } else {
        item = Mid(response, start);
        if (const std::size_t lf = InStr(item, "\n"); lf > 0) item = Left(item, lf - 1);
      }
      const auto f = SkedFields(RTrim(item));
      if (const std::string problem = SkedProblem(f); !problem.empty()) {
        up.Skip(name, problem + ": " + Shown(item));
        continue;
      }
      up.Item(c, name, [&] {
        rs.Set("Xept_Holidays", f[0] == "True" ? "1" : "0");
        std::string day_digits = f[1];
        const std::string days = HexToBits(day_digits).substr(1);  // the last 7 of 8 bits
        const char* weekdays[] = {"sunday",   "monday", "tuesday", "wednesday",
                                  "thursday", "friday", "saturday"};
        for (std::size_t w = 0; w < 7; ++w) rs.Set(weekdays[w], std::string(1, days[w]));
        std::string holiday_digit = f[2].substr(0, 1);
        const std::string holidays = HexToBits(holiday_digit);
        for (std::size_t t = 0; t < 4; ++t)
          rs.Set("holiday" + std::to_string(t + 1), std::string(1, holidays[t]));
        const std::uint32_t month = Hex(f[3].substr(0, 1));
        const std::uint32_t day = Hex(f[3].substr(f[3].size() - 2));
        rs.Set("sked_date", std::to_string(month) + "/" + std::to_string(day) + "/" + year);
        rs.Set("Time_Edit", f[4] == "True" ? "1" : "0");
        const std::uint32_t minutes = Hex(f[5]);
        const std::uint32_t hours = minutes / 60;
        rs.Set("sked_time", hours > 24 ? std::string("00:00")
                                       : std::to_string(hours) + ":" + ZeroPad(minutes % 60, 2));
        rs.Set("function_code", std::to_string(Hex(f[6])));
        rs.Set("parameter1", std::to_string(Hex(f[7])));
        rs.Set("parameter2", std::to_string(Hex(f[8])));
        rs.Update();
      });
    }
  });
  up.Finish("SE085", true);
}

}  // namespace ordane
