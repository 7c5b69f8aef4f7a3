#include "panelsim/model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "util/text.h"
#include "util/values.h"

namespace ordane::panelsim {
namespace {

constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

const char* const kPointNames[] = {
    "Front Door",    "Reception PIR", "Back Door",     "Loading Dock",   "Office 1 PIR",
    "Office 2 PIR",  "Server Room",   "Stock_Room",    "Fire Exit East", "Fire Exit West",
    "Glass Break 1", "Glass Break 2", "Kitchen Smoke", "Corridor PIR",   "Garage Door",
    "Roof Hatch",    "Warehouse PIR", "Cash Office",   "Safe Contact",   "Panic Button",
    "Stairwell PIR", "Meeting Room",  "Workshop PIR",  "Gate Contact"};

const char* const kFirstNames[] = {"JOHN",  "MARY",   "PETER", "ANNA",  "DAVID", "SARAH",
                                   "PAUL",  "LINDA",  "MARK",  "JULIA", "TOM",   "EMMA",
                                   "SIMON", "CLAIRE", "ALAN",  "RUTH",  "KEVIN", "NINA"};
const char* const kLastNames[] = {"SMITH", "JONES", "BROWN", "TAYLOR", "WILSON", "EVANS",
                                  "WHITE", "HALL",  "WOOD",  "CLARKE", "HUGHES", "GREEN"};

std::string Hex(unsigned value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", width, value);
  return buf;
}

// The blank-separated words of `args`.
std::vector<std::string> Words(std::string_view args) {
  std::vector<std::string> out;
  std::istringstream in{std::string(args)};
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// A whole decimal number in `w`, or -1 when `w` is anything else.
int Number(std::string_view w) {
  if (w.empty() || w.size() > 9) return -1;
  for (char c : w)
    if (c < '0' || c > '9') return -1;
  return static_cast<int>(NumericValue(w));
}

// A whole hexadecimal number in `w`, or -1.
int HexNumber(std::string_view w) {
  if (w.empty() || w.size() > 7) return -1;
  for (char c : w)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return -1;
  return static_cast<int>(std::stoul(std::string(w), nullptr, 16));
}

// The text after the first `n` words of `args`, without its leading blanks.
std::string AfterWords(std::string_view args, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    while (pos < args.size() && args[pos] == ' ') ++pos;
    while (pos < args.size() && args[pos] != ' ') ++pos;
  }
  if (pos < args.size()) ++pos;  // the one blank that separates the text
  return std::string(args.substr(std::min(pos, args.size())));
}

bool ParseBool(std::string_view w, bool& out) {
  if (EqualsNoCase(w, "True") || w == "1") return out = true, true;
  if (EqualsNoCase(w, "False") || w == "0") return out = false, true;
  return false;
}

std::string UserHex(int user) { return Hex(static_cast<unsigned>(user), 2); }

}  // namespace

std::string PanelText(std::string_view text) {
  std::string out = PadCut(text, kTextWidth);
  for (char& c : out)
    if (c < 0x20 || c > 0x7E) c = ' ';
  return out;
}

int DayIndex(int month, int day) {
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1]) return -1;
  int index = day - 1;
  for (int m = 0; m < month - 1; ++m) index += kMonthDays[m];
  return index;
}

PanelModel::PanelModel(int number, int points) {
  if (points < 1) points = 1;
  if (points > kMaxPoints) points = kMaxPoints;
  const int used_areas = 4;
  for (int a = 0; a < kAreas; ++a) areas_[a] = a < used_areas ? 'D' : '-';

  points_.resize(points);
  const int per_area = (points + used_areas - 1) / used_areas;
  constexpr int kNames = sizeof kPointNames / sizeof kPointNames[0];
  for (int p = 0; p < points; ++p) {
    std::string text = kPointNames[p % kNames];
    if (p >= kNames) text += " " + std::to_string(p / kNames + 1);
    points_[p].text = text.substr(0, kTextWidth);
    points_[p].area = p / per_area + 1;
  }

  const int door_areas[kDoors] = {1, 1, 2, 2, 3, 3, 4, 16};
  for (int d = 0; d < kDoors; ++d) doors_[d].area = door_areas[d];

  // The installer, then a staff of plausible users with cards on site code 10 + panel number.
  users_[0].passcode = "123456";
  users_[0].group = 0;
  users_[0].levels.fill(15);
  users_[0].name = "INSTALLER";
  constexpr int kFirst = sizeof kFirstNames / sizeof kFirstNames[0];
  constexpr int kLast = sizeof kLastNames / sizeof kLastNames[0];
  const int staff = 24;
  for (int k = 1; k <= staff; ++k) {
    User& u = users_[k];
    u.passcode = std::to_string(1000 + ((k * 7919 + number * 131) % 9000));
    u.group = 1 + k % 3;
    for (int a = 0; a < kAreas; ++a)
      u.levels[a] = a < used_areas ? (k % 4 == 0 ? 15 : 1 + (k + a) % 5) : 0;
    u.name = std::string(kFirstNames[(k + number) % kFirst]) + " " +
             kLastNames[(k * 5 + number) % kLast];
    u.tokens[0] = Token{(10 + number) & 0xFF, 1000 * number + k};
    if (k % 6 == 0) u.tokens[1] = Token{(10 + number) & 0xFF, 1000 * number + 500 + k};
  }

  // Two working schedules: arm after hours on weekdays, disarm in the morning; a weekend test.
  skeds_[0] = Sked{true, 0x3E, 0x8, 1, 1, false, 18 * 60 + 30, 1, 1, 0};
  skeds_[1] = Sked{true, 0x3E, 0x8, 1, 1, false, 7 * 60, 2, 1, 0};
  skeds_[2] = Sked{false, 0x41, 0x0, 1, 1, true, 12 * 60, 5, 2, 3};
  skeds_[3] = Sked{false, 0x00, 0x0, 12, 31, false, 23 * 60 + 59, 1, 0xF, 0};

  // Holiday table 1: public holidays; table 2: the works' shutdown between the years.
  for (auto [m, d] : {std::pair{1, 1}, {5, 1}, {12, 25}, {12, 26}})
    holidays_[DayIndex(m, d)] |= 0x80;
  for (int d = 24; d <= 31; ++d) holidays_[DayIndex(12, d)] |= 0x40;
  holidays_[DayIndex(2, 29)] |= 0x10;

  authority_levels_[0] = 0xFFFFFFFF;  // installer: everything
  for (int n = 1; n < 16; ++n)
    authority_levels_[n] = (0x0F0F1E2Du * static_cast<std::uint32_t>(n)) ^ (0x01020304u << (n % 8));
}

RaisedEvent PanelModel::MakeEvent(const EventKind& kind, std::string_view f1, std::string_view r,
                                  std::time_t now) const {
  return MakeEvent(kind.number, kind.type, f1, r, now);
}

RaisedEvent PanelModel::MakeEvent(int number, std::string_view type, std::string_view f1,
                                  std::string_view r, std::time_t now) const {
  std::time_t t = PanelTime(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", &tm);
  std::string text = stamp;
  text += " 0 " + Hex(static_cast<unsigned>(number), 2) + " " + std::string(type) + " " +
          std::string(f1) + " " + std::string(r);
  return RaisedEvent{text};
}

std::string NumberEvent(std::string_view text, std::uint32_t evseq) {
  const std::size_t a = text.find(' ');
  const std::size_t b = a == std::string_view::npos ? a : text.find(' ', a + 1);
  if (b == std::string_view::npos) return std::string(text);
  const std::size_t c = text.find(' ', b + 1);
  return std::string(text.substr(0, b + 1)) + std::to_string(evseq) +
         (c == std::string_view::npos ? std::string() : std::string(text.substr(c)));
}

std::string PanelModel::SetPoint(int n, char state, std::time_t now,
                                 std::vector<RaisedEvent>& events) {
  if (n < 1 || n > points()) return "no point " + std::to_string(n);
  if (state != 'N' && state != 'O' && state != 'S' && state != 'M')
    return std::string("no point state ") + state;
  Point& p = points_[n - 1];
  if (p.state == state) return "";
  p.state = state;
  const std::string f1 = Hex(static_cast<unsigned>(n - 1), 2);
  if (state == 'N') {
    events.push_back(MakeEvent(kPointRestore, f1, "00", now));
  } else if (state == 'M') {
    events.push_back(MakeEvent(kPointMissing, f1, "00", now));
  } else if (state == 'S') {
    events.push_back(MakeEvent(kPointTrouble, f1, "00", now));
  } else if (!p.bypassed) {
    // An open point raises its event whatever the area's state; the event number tells an
    // alarm (area armed) from a plain opening only by the data byte.
    events.push_back(MakeEvent(kPointAlarm, f1, areas_[p.area - 1] == 'A' ? "01" : "00", now));
  }
  return "";
}

Answer PanelModel::Handle(std::string_view function, std::string_view args, std::time_t now,
                          std::vector<RaisedEvent>& events) {
  auto response = [](std::string type, std::string data) {
    Answer a;
    a.kind = Answer::Kind::kResponse;
    a.type = std::move(type);
    a.data = std::move(data);
    return a;
  };
  auto table = [](std::string type, std::vector<std::string> items) {
    Answer a;
    a.kind = Answer::Kind::kTable;
    a.type = std::move(type);
    a.items = std::move(items);
    return a;
  };

  if (function == "DEFAULTSTATUS") return response("DefaultStatus", "Normal");
  if (function == "GETFIRMWAREREVISION") return response("FirmwareVersion", firmware_);
  if (function == "GETPANELSTATUS") return response("PanelStatus", PanelStatus(now));
  if (function == "GETAREASTATUS") return response("AreaStatus", AreaStatus());
  if (function == "GETONBOARDRELAYSTATUS")
    return response("On-boardRelayStatus", OnBoardRelayStatus());
  if (function == "GETOFFBOARDRELAYSTATUS")
    return response("Off-boardRelayStatus", OffBoardRelayStatus());
  if (function == "GETACTUALPOINTSTATUS") return response("ActualPointStatus", PointStatus());
  if (function == "POINTBYPASSSTATUS") return response("PointBypassStatus", BypassStatus());
  if (function == "GETDOORAREAS") return response("GetDoorAreas", DoorAreas());
  if (function == "GETPOINTTEXT") {
    const auto w = Words(args);
    const int n = w.size() == 1 ? Number(w[0]) : -1;
    if (n < 1 || n > points()) return Answer::Nak("no such point: " + std::string(args));
    Answer a = response("RetrievePointText", std::to_string(n));
    a.extra = PanelText(points_[n - 1].text);
    a.has_extra = true;
    return a;
  }
  if (function == "READAUTHORITYLEVELS") return table("ReadAuthorityLevels", AuthorityLevelItems());
  if (function == "READPOINTTEXTALL") return table("ReadPointTextAll", PointTextItems());
  if (function == "READHOLIDAYS") return table("ReadHolidays", HolidayItems());
  if (function == "READSKEDS") return table("ReadSkeds", SkedItems());
  if (function == "READUSERCLASSES") return table("ReadUserClasses", UserClassItems());
  if (function == "READUSERNAMES") return table("ReadUserNames", UserNameItems());
  if (function == "READTOKENTABLES") return table("ReadTokenTables", TokenTableItems());

  if (function == "ARMAREA") return Arm(args, 'A', kAreaArmed, now, events);
  if (function == "DISARMAREA") return Arm(args, 'D', kAreaDisarmed, now, events);
  if (function == "SILENCEBELL") {
    const auto w = Words(args);
    const int user = w.empty() ? 0 : Number(w[0]);
    if (user < 0 || user >= kUsers) return Answer::Nak("bad user: " + std::string(args));
    events.push_back(MakeEvent(kBellSilenced, UserHex(user), "00", now));
    return Answer::Ok();
  }
  if (function == "BYPASSPOINT") return Bypass(args, now, events);
  if (function == "SETONBOARDRELAY") return Relay(args, true, now, events);
  if (function == "SETOFFBOARDRELAY") return Relay(args, false, now, events);
  if (function == "DOORCOMMAND") {
    const auto w = Words(args);
    if (w.size() == 2 && EqualsNoCase(w[0], "GetStatus"))
      return response("DoorStatus", DoorStatus());
    return DoorAction(args, now, events);
  }
  if (function == "SETDATETIME") return SetDateTime(args, now, events);
  if (function == "UPDATEUSERNAME") return UpdateUserName(args);
  if (function == "UPDATEUSERCLASS") return UpdateUserClass(args);
  if (function == "UPDATETOKENTABLE") return UpdateTokenTable(args);
  if (function == "UPDATESKED") return UpdateSked(args);
  if (function == "SETHOLIDAY") return SetHoliday(args);
  if (function == "SETPOINTTEXT") return SetPointText(args);
  if (function == "BULKPOINTTEXTUPDATE")
    return Bulk(args, [this](std::string_view r) { return SetPointText(r); });
  if (function == "BULKUSERNAMEUPDATE")
    return Bulk(args, [this](std::string_view r) { return UpdateUserName(r); });
  if (function == "BULKUSERCLASSUPDATE")
    return Bulk(args, [this](std::string_view r) { return UpdateUserClass(r); });
  if (function == "BULKTOKENTABLEUPDATE")
    return Bulk(args, [this](std::string_view r) { return UpdateTokenTable(r); });
  return Answer::Nak("unknown function " + std::string(function));
}

template <typename F>
Answer PanelModel::Bulk(std::string_view args, F one) {
  std::size_t start = 0;
  int done = 0;
  while (start <= args.size()) {
    std::size_t end = args.find(';', start);
    if (end == std::string_view::npos) end = args.size();
    const std::string record = Trim(args.substr(start, end - start));
    if (!record.empty()) {
      Answer a = one(record);
      if (a.kind == Answer::Kind::kNak)
        return Answer::Nak("record " + std::to_string(done + 1) + ": " + a.data);
      ++done;
    }
    start = end + 1;
  }
  if (done == 0) return Answer::Nak("no records");
  return Answer::Ok();
}

// ARMAREA / DISARMAREA: "area [user]", area 1..8. Part arming is "area P [user]" on ARMAREA.
Answer PanelModel::Arm(std::string_view args, char state, const EventKind& kind, std::time_t now,
                       std::vector<RaisedEvent>& events) {
  auto w = Words(args);
  const EventKind* raised = &kind;
  if (state == 'A' && w.size() >= 2 && EqualsNoCase(w[1], "P")) {
    state = 'P';
    raised = &kAreaPartArmed;
    w.erase(w.begin() + 1);
  }
  if (w.empty() || w.size() > 2) return Answer::Nak("expected: area [user]");
  const int a = Number(w[0]);
  if (a < 1 || a > kAreas || areas_[a - 1] == '-') return Answer::Nak("no such area: " + w[0]);
  const int user = w.size() == 2 ? Number(w[1]) : 0;
  if (user < 0 || user >= kUsers) return Answer::Nak("no such user: " + w[1]);
  areas_[a - 1] = state;
  events.push_back(MakeEvent(*raised, UserHex(user), std::to_string(a - 1), now));
  return Answer::Ok();
}

// BYPASSPOINT: "point [1|0]", 1 (the default) bypasses, 0 puts the point back in service.
Answer PanelModel::Bypass(std::string_view args, std::time_t now,
                          std::vector<RaisedEvent>& events) {
  const auto w = Words(args);
  if (w.empty() || w.size() > 2) return Answer::Nak("expected: point [1|0]");
  const int n = Number(w[0]);
  if (n < 1 || n > points()) return Answer::Nak("no such point: " + w[0]);
  bool on = true;
  if (w.size() == 2 && !ParseBool(w[1], on)) return Answer::Nak("bad bypass state: " + w[1]);
  Point& p = points_[n - 1];
  if (p.bypassed != on) {
    p.bypassed = on;
    events.push_back(MakeEvent(on ? kPointBypass : kPointUnbypass, Hex(n - 1, 2), "00", now));
  }
  return Answer::Ok();
}

// SETONBOARDRELAY / SETOFFBOARDRELAY: "relay 1|0".
Answer PanelModel::Relay(std::string_view args, bool onboard, std::time_t now,
                         std::vector<RaisedEvent>& events) {
  const auto w = Words(args);
  if (w.size() != 2) return Answer::Nak("expected: relay 1|0");
  const int n = Number(w[0]);
  const int count = onboard ? kOnBoardRelays : kOffBoardRelays;
  if (n < 1 || n > count) return Answer::Nak("no such relay: " + w[0]);
  bool on = false;
  if (!ParseBool(w[1], on)) return Answer::Nak("bad relay state: " + w[1]);
  bool& relay = onboard ? onboard_[n - 1] : offboard_[n - 1];
  if (relay != on) {
    relay = on;
    // The relay byte counts off-board relays from 0; FC to FE are the on-board ones.
    const int code = onboard ? 251 + n : n - 1;
    events.push_back(MakeEvent(on ? kRelayOn : kRelayOff, Hex(code, 2), on ? "01" : "00", now));
  }
  return Answer::Ok();
}

// DOORCOMMAND other than GetStatus: "Lock|Unlock|Cycle door [user]".
Answer PanelModel::DoorAction(std::string_view args, std::time_t now,
                              std::vector<RaisedEvent>& events) {
  const auto w = Words(args);
  if (w.size() < 2 || w.size() > 3) return Answer::Nak("expected: Lock|Unlock|Cycle door [user]");
  const int d = Number(w[1]);
  if (d < 1 || d > kDoors) return Answer::Nak("no such door: " + w[1]);
  const int user = w.size() == 3 ? Number(w[2]) : 0;
  if (user < 0 || user >= kUsers) return Answer::Nak("no such user: " + w[2]);
  Door& door = doors_[d - 1];
  const std::string f1 = UserHex(user), r = std::to_string(d);
  if (EqualsNoCase(w[0], "Lock")) {
    if (!door.locked) events.push_back(MakeEvent(kDoorLocked, f1, r, now));
    door.locked = true;
  } else if (EqualsNoCase(w[0], "Unlock")) {
    if (door.locked) events.push_back(MakeEvent(kDoorUnlocked, f1, r, now));
    door.locked = false;
  } else if (EqualsNoCase(w[0], "Cycle")) {
    // A momentary unlock: the door is locked again by the time anybody asks.
    events.push_back(MakeEvent(kDoorUnlocked, f1, r, now));
    events.push_back(MakeEvent(kDoorLocked, f1, r, now));
    door.locked = true;
  } else {
    return Answer::Nak("unknown door action: " + w[0]);
  }
  return Answer::Ok();
}

// SETDATETIME: "mmddyyhhnnAMPM", the hour on the 12-hour clock.
Answer PanelModel::SetDateTime(std::string_view args, std::time_t now,
                               std::vector<RaisedEvent>& events) {
  const std::string t = Trim(args);
  if (t.size() != 12 || Number(t.substr(0, 5)) < 0 || Number(t.substr(5, 5)) < 0)
    return Answer::Nak("expected mmddyyhhnnAMPM");
  const int month = Number(t.substr(0, 2)), day = Number(t.substr(2, 2));
  const int year = 2000 + Number(t.substr(4, 2)), hour = Number(t.substr(6, 2));
  const int minute = Number(t.substr(8, 2));
  const std::string ampm = UCase(t.substr(10));
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 1 || hour > 12 || minute > 59 ||
      (ampm != "AM" && ampm != "PM"))
    return Answer::Nak("bad date or time: " + t);
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour % 12 + (ampm == "PM" ? 12 : 0);
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  const std::time_t set = std::mktime(&tm);
  if (set == -1) return Answer::Nak("bad date or time: " + t);
  clock_offset_ = set - now;
  char f1[8];
  std::snprintf(f1, sizeof f1, "%02d", tm.tm_hour);
  events.push_back(MakeEvent(kTimeSet, f1, "00", now));
  return Answer::Ok();
}

// UPDATEUSERNAME: "user name...".
Answer PanelModel::UpdateUserName(std::string_view args) {
  const auto w = Words(args);
  const int k = w.empty() ? -1 : Number(w[0]);
  if (k < 0 || k >= kUsers) return Answer::Nak("no such user: " + std::string(args));
  users_[k].name = PanelText(AfterWords(args, 1));
  users_[k].name = RTrim(users_[k].name);
  return Answer::Ok();
}

// UPDATEUSERCLASS: "user passcode group l1 ... l8" (levels one hexadecimal digit each, or the
// eight digits written together); a passcode of "-" empties it.
Answer PanelModel::UpdateUserClass(std::string_view args) {
  auto w = Words(args);
  if (w.size() == 4 && w[3].size() == kAreas) {
    const std::string levels = w[3];
    w.pop_back();
    for (char c : levels) w.push_back(std::string(1, c));
  }
  if (w.size() != 3 + kAreas) return Answer::Nak("expected: user passcode group l1..l8");
  const int k = Number(w[0]);
  if (k < 0 || k >= kUsers) return Answer::Nak("no such user: " + w[0]);
  const std::string passcode = w[1] == "-" ? "" : w[1];
  // Six digits at most: the driver reads the last user's item as 25 characters.
  if (passcode.size() > 6 || (!passcode.empty() && Number(passcode) < 0))
    return Answer::Nak("bad passcode: " + w[1]);
  const int group = Number(w[2]);
  if (group < 0 || group > 9) return Answer::Nak("bad user group: " + w[2]);
  std::array<int, kAreas> levels{};
  for (int a = 0; a < kAreas; ++a) {
    levels[a] = w[3 + a].size() == 1 ? HexNumber(w[3 + a]) : -1;
    if (levels[a] < 0) return Answer::Nak("bad authority level: " + w[3 + a]);
  }
  users_[k].passcode = passcode;
  users_[k].group = group;
  users_[k].levels = levels;
  return Answer::Ok();
}

// UPDATETOKENTABLE: "user field site token" with field 0 (master) to 3, site 0..255 and token
// 0..65534 in decimal; token 65535 empties the field. Blanks or commas separate the words.
Answer PanelModel::UpdateTokenTable(std::string_view args) {
  const auto w = Words(ReplaceAll(args, ",", " "));
  if (w.size() != 4) return Answer::Nak("expected: user field site token");
  const int k = Number(w[0]), j = Number(w[1]), site = Number(w[2]), token = Number(w[3]);
  if (k < 0 || k >= kUsers) return Answer::Nak("no such user: " + w[0]);
  if (j < 0 || j > 3) return Answer::Nak("no such token field: " + w[1]);
  if (site < 0 || site > 255) return Answer::Nak("bad site code: " + w[2]);
  if (token < 0 || token > 65535) return Answer::Nak("bad token: " + w[3]);
  users_[k].tokens[j] = token == 0xFFFF ? Token{} : Token{site, token};
  return Answer::Ok();
}

// UPDATESKED: "sked" followed by the nine fields of the schedule item.
Answer PanelModel::UpdateSked(std::string_view args) {
  const auto w = Words(args);
  if (w.size() != 10) return Answer::Nak("expected: sked and nine fields");
  const int n = Number(w[0]);
  if (n < 1 || n > kSkeds) return Answer::Nak("no such sked: " + w[0]);
  Sked s;
  const int days = HexNumber(w[2]), hol = HexNumber(w[3]), date = HexNumber(w[4]);
  const int minutes = HexNumber(w[6]), fn = HexNumber(w[7]), p1 = HexNumber(w[8]),
            p2 = HexNumber(w[9]);
  if (!ParseBool(w[1], s.except_holidays) || !ParseBool(w[5], s.time_edit) || days < 0 ||
      days > 0x7F || hol < 0 || hol > 0xF || w[4].size() != 3 || date < 0 || minutes < 0 ||
      minutes >= 24 * 60 || fn < 0 || fn > 0xFF || p1 < 0 || p1 > 0xFF || p2 < 0 || p2 > 0xFFFF)
    return Answer::Nak("bad sked field in: " + std::string(args));
  s.days = days;
  s.holidays = hol;
  s.month = date >> 8;
  s.day = date & 0xFF;
  if (DayIndex(s.month, s.day) < 0) return Answer::Nak("bad sked date: " + w[4]);
  s.minutes = minutes;
  s.function = fn;
  s.param1 = p1;
  s.param2 = p2;
  skeds_[n - 1] = s;
  return Answer::Ok();
}

// SETHOLIDAY: "day HH", the day index 0..365 and its two hexadecimal digits (bit 7 table 1 to
// bit 4 table 4); or "month/day HH".
Answer PanelModel::SetHoliday(std::string_view args) {
  const auto w = Words(args);
  if (w.size() != 2) return Answer::Nak("expected: day HH");
  int d = Number(w[0]);
  if (const auto slash = w[0].find('/'); slash != std::string::npos)
    d = DayIndex(Number(w[0].substr(0, slash)), Number(w[0].substr(slash + 1)));
  const int bits = w[1].size() == 2 ? HexNumber(w[1]) : -1;
  if (d < 0 || d >= kHolidayDays) return Answer::Nak("no such day: " + w[0]);
  if (bits < 0 || (bits & 0x0F)) return Answer::Nak("bad holiday bits: " + w[1]);
  holidays_[d] = static_cast<std::uint8_t>(bits);
  return Answer::Ok();
}

// SETPOINTTEXT: "point text...".
Answer PanelModel::SetPointText(std::string_view args) {
  const auto w = Words(args);
  const int n = w.empty() ? -1 : Number(w[0]);
  if (n < 1 || n > points()) return Answer::Nak("no such point: " + std::string(args));
  points_[n - 1].text = RTrim(PanelText(AfterWords(args, 1)));
  return Answer::Ok();
}

std::vector<std::string> PanelModel::AuthorityLevelItems() const {
  std::vector<std::string> items;
  for (int n = 0; n < kAuthorityLevels; ++n) {
    const std::uint32_t v = authority_levels_[n];
    items.push_back("Authority Level " + std::to_string(n) + ": " + Hex(v >> 24, 2) + " " +
                    Hex((v >> 16) & 0xFF, 2) + " " + Hex((v >> 8) & 0xFF, 2) + " " +
                    Hex(v & 0xFF, 2));
  }
  return items;
}

std::vector<std::string> PanelModel::PointTextItems() const {
  std::vector<std::string> items;
  for (int n = 0; n < points(); ++n) {
    items.push_back("Point text " + std::to_string(n) + ": " + PanelText(points_[n].text));
    items.push_back("Point Area " + std::to_string(n) + ": " + std::to_string(points_[n].area - 1));
  }
  return items;
}

std::vector<std::string> PanelModel::HolidayItems() const {
  std::vector<std::string> items;
  for (int d = 0; d < kHolidayDays; ++d)
    items.push_back("Day # " + std::to_string(d) + ": " + Hex(holidays_[d], 2));
  return items;
}

std::vector<std::string> PanelModel::SkedItems() const {
  std::vector<std::string> items;
  for (int n = 0; n < kSkeds; ++n) {
    const Sked& s = skeds_[n];
    items.push_back("SKED " + std::to_string(n) + ": " + (s.except_holidays ? "True" : "False") +
                    " " + Hex(s.days, 2) + " " + Hex(s.holidays, 1) + " " + Hex(s.month, 1) +
                    Hex(s.day, 2) + " " + (s.time_edit ? "True" : "False") + " " +
                    Hex(s.minutes, 1) + " " + Hex(s.function, 1) + " " + Hex(s.param1, 1) + " " +
                    Hex(s.param2, 1));
  }
  return items;
}

std::vector<std::string> PanelModel::UserClassItems() const {
  std::vector<std::string> items;
  for (int k = 0; k < kUsers; ++k) {
    const User& u = users_[k];
    std::string item =
        "User Class " + std::to_string(k) + ": " + u.passcode + " " + std::to_string(u.group);
    for (int level : u.levels) item += " " + Hex(level, 1);
    items.push_back(item);
  }
  return items;
}

std::vector<std::string> PanelModel::UserNameItems() const {
  std::vector<std::string> items;
  for (int k = 0; k < kUsers; ++k)
    items.push_back("~User Name " + std::to_string(k) + ": " + PanelText(users_[k].name));
  return items;
}

std::vector<std::string> PanelModel::TokenTableItems() const {
  std::vector<std::string> items;
  for (int k = 0; k < kUsers; ++k) {
    std::string item = "Token Table " + std::to_string(k) + ": ";
    for (int j = 0; j < 4; ++j) {
      const Token& t = users_[k].tokens[j];
      if (j > 0) item += " ";
      item += t.number == 0xFFFF ? "FFFFFFFFFF" : Hex(t.site, 2) + Hex(t.number, 4) + "0000";
    }
    items.push_back(item);
  }
  return items;
}

std::string PanelModel::AreaStatus() const { return std::string(areas_.begin(), areas_.end()); }

std::string PanelModel::DoorStatus() const {
  std::string s;
  for (const auto& d : doors_) s += d.locked ? 'L' : 'U';
  return s;
}

std::string PanelModel::OnBoardRelayStatus() const {
  std::string s;
  for (bool r : onboard_) s += r ? '1' : '0';
  return s;
}

std::string PanelModel::OffBoardRelayStatus() const {
  std::string s;
  for (bool r : offboard_) s += r ? '1' : '0';
  return s;
}

std::string PanelModel::PointStatus() const {
  std::string s;
  for (const auto& p : points_) s += p.state;
  return s;
}

std::string PanelModel::BypassStatus() const {
  std::string s;
  for (const auto& p : points_) s += p.bypassed ? '1' : '0';
  return s;
}

std::string PanelModel::DoorAreas() const {
  std::string s;
  for (const auto& d : doors_) s += std::to_string(d.area) + " ";
  return s;
}

std::string PanelModel::PanelStatus(std::time_t now) const {
  const std::time_t t = PanelTime(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "DATE=%m/%d/%Y TIME=%H:%M:%S", &tm);
  int open = 0, bypassed = 0;
  for (const auto& p : points_) {
    open += p.state != 'N';
    bypassed += p.bypassed;
  }
  return std::string("AC=") + (ac_ok_ ? "OK" : "FAIL") + " BATTERY=OK PHONE=OK TAMPER=OK" +
         " POINTS=" + std::to_string(points()) + " OPEN=" + std::to_string(open) +
         " BYPASSED=" + std::to_string(bypassed) + " " + stamp;
}

}  // namespace ordane::panelsim
