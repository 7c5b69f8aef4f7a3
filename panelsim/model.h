// The state of one simulated panel and what it does with a request: the tables a real panel
// holds (areas, points, relays, doors, users, schedules, holidays, authority levels), the texts
// it answers with, and the events its commands raise. Pure logic: no I/O, no clock of its own
// (the caller passes the time), so every answer can be checked in a unit test.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ordane::panelsim {

inline constexpr int kAreas = 8;
inline constexpr int kMaxPoints = 246;
inline constexpr int kDoors = 8;
inline constexpr int kUsers = 250;
inline constexpr int kSkeds = 40;
inline constexpr int kHolidayDays = 366;
inline constexpr int kAuthorityLevels = 80;
inline constexpr int kOnBoardRelays = 3;
inline constexpr int kOffBoardRelays = 16;
inline constexpr int kTextWidth = 16;  // point texts and user names

// Panel event numbers and the panel event type each travels with. The driver turns the event
// number into its system code ("RD" + the decimal number), so the descriptions that come with
// the driver follow this list.
struct EventKind {
  int number;
  const char* type;
  const char* name;  // the name the control interface uses
};
inline constexpr EventKind kPointAlarm{0x01, "01", "point-alarm"};
inline constexpr EventKind kPointRestore{0x02, "01", "point-restore"};
inline constexpr EventKind kPointAccess{0x03, "11", "point-user"};
inline constexpr EventKind kPointTrouble{0x04, "02", "point-trouble"};
inline constexpr EventKind kPointBypass{0x05, "06", "point-bypass"};
inline constexpr EventKind kPointUnbypass{0x06, "06", "point-unbypass"};
inline constexpr EventKind kPointMissing{0x07, "0A", "point-missing"};
inline constexpr EventKind kAreaArmed{0x10, "13", "area-armed"};
inline constexpr EventKind kAreaDisarmed{0x11, "13", "area-disarmed"};
inline constexpr EventKind kAreaPartArmed{0x12, "13", "area-part-armed"};
inline constexpr EventKind kRelayOn{0x14, "09", "relay-on"};
inline constexpr EventKind kRelayOff{0x15, "09", "relay-off"};
inline constexpr EventKind kBellSilenced{0x16, "03", "bell-silenced"};
inline constexpr EventKind kTimeSet{0x17, "0C", "time-set"};
inline constexpr EventKind kDoorUnlocked{0x18, "1C", "door-unlocked"};
inline constexpr EventKind kDoorLocked{0x19, "1C", "door-locked"};
inline constexpr EventKind kUserCodeChanged{0x1A, "03", "user-changed"};
inline constexpr EventKind kInstallerLogon{0x1F, "03", "installer-logon"};
inline constexpr EventKind kAcFail{0x20, "04", "ac-fail"};
inline constexpr EventKind kAcRestore{0x21, "05", "ac-restore"};
inline constexpr EventKind kTamper{0x22, "07", "phone-line-fail"};
inline constexpr EventKind kAllEventKinds[] = {
    kPointAlarm,   kPointRestore, kPointAccess,  kPointTrouble,  kPointBypass,     kPointUnbypass,
    kPointMissing, kAreaArmed,    kAreaDisarmed, kAreaPartArmed, kRelayOn,         kRelayOff,
    kBellSilenced, kTimeSet,      kDoorUnlocked, kDoorLocked,    kUserCodeChanged, kInstallerLogon,
    kAcFail,       kAcRestore,    kTamper};

struct Token {
  int site = 0xFF;      // 0..255; 0xFF marks an empty field
  int number = 0xFFFF;  // 0..65534; 0xFFFF means no token
};

struct User {
  std::string passcode;              // up to six digits; empty for an unused user
  int group = 0;                     // 0..9
  std::array<int, kAreas> levels{};  // authority level per area, 0..15
  std::string name;                  // up to kTextWidth characters
  std::array<Token, 4> tokens{};     // master token and three sub tokens
};

struct Sked {
  bool except_holidays = false;
  int days = 0;      // 7 bits, Sunday the most significant (0x40) to Saturday (0x01)
  int holidays = 0;  // 4 bits, holiday table 1 the most significant (0x8)
  int month = 1;     // 1..12
  int day = 1;       // 1..31
  bool time_edit = false;
  int minutes = 0;  // since midnight
  int function = 0;
  int param1 = 0;
  int param2 = 0;
};

struct Point {
  std::string text;  // up to kTextWidth characters
  int area = 1;      // 1..8
  char state = 'N';  // N normal, O open, S short, M missing
  bool bypassed = false;
};

struct Door {
  int area = 1;  // 1..8, or 16 for a reader that belongs to no area
  bool locked = true;
};

// One event as the panel raises it: its text after the link name (date, time, EVSEQ, event
// number, type, F1, R, separated by blanks). The panel writes the EVSEQ into the third field
// when it numbers the event (NumberEvent); a raw event keeps its text exactly.
struct RaisedEvent {
  std::string text;
  bool numbered = true;
};

// `text` with its third blank-separated field (the EVSEQ) replaced by `evseq` in decimal; the
// text unchanged when it has no third field.
std::string NumberEvent(std::string_view text, std::uint32_t evseq);

// What a request gets back: OK, NAK with a reason, a single response or a table of items.
struct Answer {
  enum class Kind { kOk, kNak, kResponse, kTable } kind = Kind::kOk;
  std::string type;   // response type (kResponse, kTable)
  std::string data;   // kResponse data; kNak reason
  std::string extra;  // kResponse extra field
  bool has_extra = false;
  std::vector<std::string> items;  // kTable

  static Answer Ok() { return {}; }
  static Answer Nak(std::string reason) {
    Answer a;
    a.kind = Kind::kNak;
    a.data = std::move(reason);
    return a;
  }
};

class PanelModel {
 public:
  // A panel with plausible site data; `number` (1-based) varies the names so panels differ,
  // `points` is clamped to 1..kMaxPoints.
  PanelModel(int number, int points);

  // Carries out the request FUNCTION with ARGS at time `now` (the host's clock; the panel adds
  // its own offset) and returns its answer. Events the request raises are appended to `events`.
  Answer Handle(std::string_view function, std::string_view args, std::time_t now,
                std::vector<RaisedEvent>& events);

  // Operations of the control interface. Each returns an empty text on success or the reason
  // it could not be done; events go to `events`.
  std::string SetPoint(int point, char state, std::time_t now, std::vector<RaisedEvent>& events);
  // An event built from its parts, dated by the panel clock.
  RaisedEvent MakeEvent(const EventKind& kind, std::string_view f1, std::string_view r,
                        std::time_t now) const;
  RaisedEvent MakeEvent(int number, std::string_view type, std::string_view f1, std::string_view r,
                        std::time_t now) const;

  // The panel's clock at host time `now`.
  std::time_t PanelTime(std::time_t now) const { return now + clock_offset_; }

  // Table texts, item by item, exactly as the panel sends them.
  std::vector<std::string> AuthorityLevelItems() const;
  std::vector<std::string> PointTextItems() const;
  std::vector<std::string> HolidayItems() const;
  std::vector<std::string> SkedItems() const;
  std::vector<std::string> UserClassItems() const;
  std::vector<std::string> UserNameItems() const;
  std::vector<std::string> TokenTableItems() const;

  // Status texts.
  std::string AreaStatus() const;
  std::string DoorStatus() const;
  std::string OnBoardRelayStatus() const;
  std::string OffBoardRelayStatus() const;
  std::string PointStatus() const;
  std::string BypassStatus() const;
  std::string DoorAreas() const;
  std::string PanelStatus(std::time_t now) const;

  // Direct access for the control interface and tests.
  int points() const { return static_cast<int>(points_.size()); }
  Point& point(int n) { return points_.at(n - 1); }
  User& user(int k) { return users_.at(k); }
  Sked& sked(int n) { return skeds_.at(n - 1); }
  Door& door(int n) { return doors_.at(n - 1); }
  char& area(int n) { return areas_.at(n - 1); }
  std::uint8_t& holiday(int day) { return holidays_.at(day); }
  std::uint32_t& authority_level(int n) { return authority_levels_.at(n); }
  bool& onboard_relay(int n) { return onboard_.at(n - 1); }
  bool& offboard_relay(int n) { return offboard_.at(n - 1); }
  const std::string& firmware() const { return firmware_; }
  void set_firmware(std::string v) { firmware_ = std::move(v); }
  bool ac_ok() const { return ac_ok_; }
  void set_ac_ok(bool ok) { ac_ok_ = ok; }

 private:
  Answer Arm(std::string_view args, char state, const EventKind& kind, std::time_t now,
             std::vector<RaisedEvent>& events);
  Answer Bypass(std::string_view args, std::time_t now, std::vector<RaisedEvent>& events);
  Answer Relay(std::string_view args, bool onboard, std::time_t now,
               std::vector<RaisedEvent>& events);
  Answer DoorAction(std::string_view args, std::time_t now, std::vector<RaisedEvent>& events);
  Answer SetDateTime(std::string_view args, std::time_t now, std::vector<RaisedEvent>& events);
  Answer UpdateUserName(std::string_view args);
  Answer UpdateUserClass(std::string_view args);
  Answer UpdateTokenTable(std::string_view args);
  Answer UpdateSked(std::string_view args);
  Answer SetHoliday(std::string_view args);
  Answer SetPointText(std::string_view args);
  // Runs `one` on every record of a bulk update (records separated by ';').
  template <typename F>
  Answer Bulk(std::string_view args, F one);

  std::array<char, kAreas> areas_{};  // A armed, P part armed, D disarmed, - unused
  std::vector<Point> points_;
  std::array<bool, kOnBoardRelays> onboard_{};
  std::array<bool, kOffBoardRelays> offboard_{};
  std::array<Door, kDoors> doors_{};
  std::array<User, kUsers> users_{};
  std::array<Sked, kSkeds> skeds_{};
  std::array<std::uint8_t, kHolidayDays> holidays_{};
  std::array<std::uint32_t, kAuthorityLevels> authority_levels_{};
  std::string firmware_ = "7.06";
  std::time_t clock_offset_ = 0;
  bool ac_ok_ = true;
};

// Helpers shared with the tests.
// `text` cut or padded with blanks to kTextWidth, anything outside printable ASCII made a blank.
std::string PanelText(std::string_view text);
// The day index (0..365, February always 29 days) of month/day; -1 when there is none.
int DayIndex(int month, int day);

}  // namespace ordane::panelsim
