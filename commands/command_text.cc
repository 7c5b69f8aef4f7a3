#include "commands/command_text.h"

#include "util/error.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

constexpr std::int64_t kErrTypeMismatch = 13;  // a word that should be a number is not

}  // namespace

std::string Shown(std::string_view message) {
  std::string out;
  for (char c : message.substr(0, 80)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F) ? '?' : c;
  }
  if (message.size() > 80) out += "...";
  return out;
}

CommandMessage ParseCommandMessage(std::string_view message) {
  CommandMessage m;
  const std::string_view text = CString(message);
  auto refuse = [&](std::int64_t number, std::string why) {
    m.refused = true;
    m.error_number = number;
    m.error = std::move(why);
    return m;
  };
  if (text.size() > kMaxCommandMessage)
    return refuse(kErrGeneric,
                  "command message of " + std::to_string(text.size()) + " characters is too long");
  const std::size_t blank = InStr(text, " ");
  if (blank == 0) return m;  // code 0 for slot 0
  try {
    m.code = ToInt16(ValueOf0(Trim(Left(text, blank - 1))));
  } catch (const Error& e) {
    m.error_number = e.number();
    m.error = "command code " + Shown(Left(text, blank - 1)) + " does not fit";
  }
  const std::string rest = Trim(Mid(text, blank + 1));
  const std::size_t second = InStr(rest, " ");
  std::string slot_word;
  if (second > 0) {
    slot_word = Left(rest, second - 1);
    m.arguments = Trim(Mid(rest, second + 1));
    // Read by its leading digits, but a word without any names no panel.
    if (slot_word.empty() || slot_word[0] < '0' || slot_word[0] > '9')
      return refuse(kErrTypeMismatch, "no panel slot in command message");
  } else {
    slot_word = rest;
    if (!AllDigits(slot_word)) return refuse(kErrTypeMismatch, "no panel slot in command message");
  }
  const std::int64_t slot = ValueOf0(slot_word);
  if (slot < 0 || slot >= kCommandSlots)
    return refuse(kErrSubscript, "panel slot " + Shown(slot_word) + " is outside 0 to 31");
  m.slot = static_cast<std::int16_t>(slot);
  return m;
}

std::string PanelClockText(const LocalTime& t) {
  const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  return ZeroPad(t.month, 2) + ZeroPad(t.day, 2) + ZeroPad(t.year % 100, 2) + ZeroPad(hour12, 2) +
         ZeroPad(t.minute, 2) + (t.hour < 12 ? "AM" : "PM");
}

std::string CommandKind(std::string_view command) {
  const std::size_t blank = InStr(command, " ");
  const std::string word = blank == 0 ? std::string(command) : Left(command, blank - 1);
  return LCase(Left(word, 3));
}

std::vector<std::string> ReadCommandFields(std::string_view content) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  const std::size_t n = content.size();
  auto line_end = [&](std::size_t at) { return content[at] == '\n' || content[at] == '\r'; };
  while (i < n) {
    while (i < n && content[i] == ' ') ++i;
    std::string field;
    if (i < n && content[i] == '"') {
      const std::size_t close = content.find('"', i + 1);
      const std::size_t stop = close == std::string_view::npos ? n : close;
      field.assign(content.substr(i + 1, stop - i - 1));
      i = stop == n ? n : stop + 1;
      while (i < n && content[i] != ',' && !line_end(i)) ++i;
    } else {
      const std::size_t start = i;
      while (i < n && content[i] != ',' && !line_end(i)) ++i;
      field.assign(content.substr(start, i - start));
      while (!field.empty() && field.back() == ' ') field.pop_back();
    }
    if (i < n) {
      if (content[i] == '\r' && i + 1 < n && content[i + 1] == '\n') ++i;
      ++i;
    }
    fields.push_back(std::move(field));
  }
  return fields;
}

}  // namespace ordane
