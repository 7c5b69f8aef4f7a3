#include "events/decoder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string_view>

#include "events/lookups.h"
#include "panel/panel_library.h"
#include "util/report.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

constexpr int kNoSlot = kPanelSlots;  // slot 32: the line names no panel of this driver
constexpr int kHighestUser = 249;     // 250 to 255 are not user numbers
constexpr int kFirstOnBoardRelay = 253;
constexpr int kAllOnBoardRelays = 256;

// Runs one decoding step; a step that fails leaves what it would have written as it was. The
// decoder reports nothing: a panel's odd line must not fill the error list.
template <class F>
void Quietly(F&& step) {
  try {
    step();
  } catch (const EndProcess&) {
    throw;
  } catch (...) {
  }
}

bool ValidUser(std::int32_t u) { return u >= 1 && u <= kHighestUser; }

std::string Num(long long v) { return std::to_string(v); }

// 16 x the first hexadecimal digit of F1 + the second + 1: the panel counts points and relays
// from 0. nullopt when F1 is not two hexadecimal digits.
std::optional<int> NumberFromF1(const std::string& f1) {
  if (f1.size() != 2 || !std::isxdigit(static_cast<unsigned char>(f1[0])) ||
      !std::isxdigit(static_cast<unsigned char>(f1[1])))
    return std::nullopt;
  return 16 * hexval(f1.substr(0, 1)) + hexval(f1.substr(1, 1)) + 1;
}

// Types whose detail is one or two labelled values, given when decval(F1) is not 0: label1 F1,
// or label1 F1 label2 R.
struct LabelRule {
  std::string_view type, label1, label2;
  bool with_r;
};
constexpr std::array<LabelRule, 19> kLabelRules{{
    {"07", "Phone Line = ", "", false},
    {"08", "Phone # Index = ", "", false},
    {"0D", "Point Bank = ", " Bit Map = ", true},
    {"16", "Hour = ", " Minute = ", true},
    {"17", "Month = ", " Day = ", true},
    {"18", "Year = ", "", false},
    {"1A", "Previous State = ", "", false},
    {"1B", "Route Group = ", "", false},
    {"1D", "Cross Point Group = ", "", false},
    {"1F", "Path#=", " Condition=", true},
    {"21", "Uplink=", " Downlink=", true},
    {"22", "Ext. Device#=", " Condition=", true},
    {"23", "Level=", " Value=", true},
    {"24", "Route Group=", " Device=", true},
    {"25", "Ext. Event Text Index=", " Ext. Event Text Index=", true},
    {"27", "Ext. Event Text Index=", " Cross Point Group=", true},
    {"28", "Ext. Event Text Index=", " Device=", true},
    {"2A", "Level=", " Path#=", true},
    {"2B", "Device=", " Point=", true},
}};

bool OneOf(const std::string& s, std::initializer_list<std::string_view> list) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

bool IsPointEvent(const std::string& t) {
  return OneOf(t, {"01", "02", "06", "0A", "0B", "11", "1E"});
}

// The detail of a point event with a user (type "11"), from the data bytes of R: the user in
// characters 10-11 (hexadecimal), the sub-number in characters 13-14 (decimal).
void PointUserDetail(const EventLineFields& f, const std::string& code, std::string& detail) {
  if (code != "RD003" && code != "RD115") return;
  const std::int32_t u = hexval32(Mid(f.r, 10, 2));
  const std::int64_t m = decval(Mid(f.r, 13, 2));
  if ((m > 0 || u > 0) && u <= kHighestUser)
    detail = "UserID=" + Num(u) + "." + Num(m);
  else if (m <= 0 && u <= 0)
    detail = "UserID=0";
}

// "New Time=" and "Ext. Event Text Index=" carry a user in R: a user from 1 to 249 is named,
// an R reading 0 gives the value alone, anything else keeps the detail.
void ValueWithUser(const EventLineFields& f, std::string_view label, std::string& detail) {
  if (decval(f.f1) == 0) return;
  const std::int64_t r = decval(f.r);
  if (r != 0 && hexval(f.r) <= kHighestUser)
    detail = std::string(label) + f.f1 + " UserID=" + Num(hexval(f.r));
  else if (r == 0)
    detail = std::string(label) + f.f1;
}

void ApplyTypeRule(Driver& d, const EventLineFields& f, int slot, DecodedEvent& e) {
  const std::string& t = f.type;
  const std::string controller = d.ControllerAddress(slot);
  const auto area_text = [&](std::int64_t area) {
    return "(" + r_securedarea(d, static_cast<int>(area), controller, "Description") + ")";
  };

  for (const LabelRule& rule : kLabelRules) {
    if (t != rule.type) continue;
    if (decval(f.f1) != 0)
      e.detail = std::string(rule.label1) + f.f1 +
                 (rule.with_r ? std::string(rule.label2) + f.r : std::string());
    return;
  }

  if (IsPointEvent(t)) {
    Quietly([&] {
      if (e.code == "RD070" || e.code == "RD071") return;
      if (auto p = NumberFromF1(f.f1)) e.address = controller + ".2.I" + Num(*p);
    });
    if (f.r.empty()) return;
    if (t == "11")
      Quietly([&] { PointUserDetail(f, e.code, e.detail); });
    else
      e.detail = f.r;
    return;
  }
  if (t == "09" || t == "12") {
    Quietly([&] {
      auto r = NumberFromF1(f.f1);
      if (!r) return;
      if (*r < kFirstOnBoardRelay)
        e.address = controller + ".1.O" + Num(*r);
      else if (*r < kAllOnBoardRelays)
        e.address = controller + ".0.O" + Num(*r - kFirstOnBoardRelay + 1);
      else
        e.address = controller + ".0.O" + Num(*r);
    });
    e.detail = f.r;
    return;
  }
  if (t == "03" || t == "1C") {
    if (f.f1.empty()) return;
    const std::int32_t u = hexval(f.f1);
    if (u == 0)
      e.detail = "UserID=0";
    else if (ValidUser(u))
      e.detail = "UserID=" + Num(u) + (t == "1C" ? "." + f.r : "");
    return;
  }
  if (t == "10") {
    if (decval(f.f1) == 0) return;
    Quietly([&] {
      std::string text = area_text(decval(f.f1) + 1);
      const std::int32_t u = hexval(f.r);
      if (u <= kHighestUser) text = "UserID=" + Num(u) + " " + text;
      e.detail = text;
    });
    return;
  }
  if (t == "13") {
    if (f.f1.empty()) return;
    const std::int32_t u = hexval(f.f1);
    if (u == 0) {
      e.detail = "UserID=0";
      return;
    }
    Quietly([&] {
      const std::string text = area_text(decval(f.r) + 1);
      e.detail = u > kHighestUser ? text : "UserID=" + Num(u) + text;
    });
    return;
  }
  if (t == "14") {
    if (f.f1.empty()) return;
    const std::int32_t u = hexval(f.f1);
    if (u == 0) {
      e.detail = "UserID=0";
      return;
    }
    const std::int32_t s = hexval(f.r) + 1;
    if (u > kHighestUser)
      e.detail = "Sked=" + Num(s);
    else
      Quietly([&] {
        e.detail = "UserID=" + Num(u) + " Sked=" + Num(s) + ":  " + r_sked(d, s, e.address);
      });
    return;
  }
  if (t == "0C") return ValueWithUser(f, "New Time=", e.detail);
  if (t == "26") return ValueWithUser(f, "Ext. Event Text Index=", e.detail);
  if (t == "15") {
    if (decval(f.f1) != 0) e.detail = "Sked=" + Num(hexval(f.f1) + 1);
    return;
  }
  if (t == "29") {
    if (decval(f.f1) != 0)
      e.detail = "Ext. Event Text Index=" + f.f1 + " Sked=" + Num(hexval(f.r) + 1);
    return;
  }
  // "04", "05" and the types without a rule keep the controller address and the type.
}

// Asks the panel for the status that an event of type `t` may have changed.
void RequestStatus(Driver& d, const std::string& t, const std::string& port) {
  using Export = std::int16_t (PanelLibrary::*)(std::string&);
  const auto request = [&](Export call) {
    Quietly([&] {
      std::string text = port;
      (d.panel.*call)(text);
    });
  };
  if (IsPointEvent(t)) {
    request(&PanelLibrary::GETACTUALPOINTSTATUS);
  } else if (t == "10" || t == "13") {
    request(&PanelLibrary::GETAREASTATUS);
  } else if (t == "09" || t == "12") {
    request(&PanelLibrary::GETONBOARDRELAYSTATUS);
    request(&PanelLibrary::GETOFFBOARDRELAYSTATUS);
  }
}

}  // namespace

EventLineFields SplitEventLine(const std::string& line) {
  EventLineFields f;
  // The fields end at the line's NUL. A blank just before the NUL still ends a field (the
  // library writes "F1 " when R is empty); a line that fills its buffer has no NUL, and its
  // trailing blanks are padding.
  const bool has_nul = line.find('\0') != std::string::npos;
  const std::string text = has_nul ? std::string(CString(line)) : RTrim(line);
  const std::size_t hyphen = InStr(text, "-");
  if (hyphen == 0) {
    f.link_name = Trim(text);
    return f;
  }
  f.link_name = Trim(Left(text, hyphen - 1));
  std::string rest = LTrim(Mid(text, hyphen + 1));
  // Takes the next field up to its blank, or the rest when no blank follows.
  const auto next = [&rest] {
    const std::size_t blank = InStr(rest, " ");
    std::string field = Trim(blank ? Left(rest, blank - 1) : rest);
    rest = blank ? LTrim(Mid(rest, blank + 1)) : std::string();
    return field;
  };
  f.date = next();
  f.time = next();
  f.evseq = next();
  f.number = next();
  f.type = next();
  const std::size_t blank = InStr(rest, " ");
  if (blank == 0) return f;
  f.f1 = Right("00" + Left(rest, blank - 1), 2);
  if (has_nul) f.r = Trim(Mid(rest, blank + 1));
  return f;
}

std::string PanelEventIdentity(std::int16_t driver_id, const EventLineFields& f) {
  return OneLine(Num(driver_id) + " " + f.evseq + " " + f.date + " " + f.time + " " + f.number +
                 " " + f.link_name);
}

DecodedEvent Decode_PanelEvent(Driver& d, const std::string& line, bool request_status) {
  DecodedEvent e;
  EventLineFields f;
  Quietly([&] { f = SplitEventLine(line); });
  e.link_name = f.link_name;
  e.date = f.date;
  e.time = f.time;
  e.detail = f.type;
  e.identity = PanelEventIdentity(d.DriverId, f);
  if (!f.number.empty())
    Quietly([&] { e.code = "RD" + Right("000" + d.lib.mHex2Dec(Trim(f.number)), 3); });

  // A slot without a link name holds no panel, so an empty link name names none.
  int slot = 0;
  while (slot < kNoSlot &&
         (f.link_name.empty() || d.panels[static_cast<std::size_t>(slot)].PortName != f.link_name))
    ++slot;
  e.address = d.ControllerAddress(slot);

  Quietly([&] { ApplyTypeRule(d, f, slot, e); });
  if (request_status && slot != kNoSlot)
    RequestStatus(d, f.type, d.panels[static_cast<std::size_t>(slot)].PortName);
  return e;
}

}  // namespace ordane
