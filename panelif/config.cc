#include "panelif/config.h"

#include <cstdlib>
#include <fstream>

#include "util/text.h"
#include "util/values.h"

namespace ordane::panelif {
namespace {

Millis FromEnv(const char* name, Millis fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  std::int64_t ms = NumericValue(value);
  return ms > 0 ? Millis(ms) : fallback;
}

// Looks `name` up in a map text of "NAME=path" entries separated by any of `separators`.
std::optional<std::string> LookUp(std::string_view map, std::string_view separators,
                                  std::string_view name) {
  std::size_t start = 0;
  while (start <= map.size()) {
    std::size_t end = map.find_first_of(separators, start);
    if (end == std::string_view::npos) end = map.size();
    std::string_view entry = map.substr(start, end - start);
    std::string trimmed = Trim(entry);
    if (!trimmed.empty() && trimmed[0] != '#' && trimmed[0] != ';' && trimmed[0] != '[') {
      auto eq = trimmed.find('=');
      if (eq != std::string::npos && EqualsNoCase(Trim(trimmed.substr(0, eq)), name)) {
        return Trim(trimmed.substr(eq + 1));
      }
    }
    start = end + 1;
  }
  return std::nullopt;
}

// The words of a text separated by runs of blanks.
std::string_view TakeWord(std::string_view& rest) {
  std::size_t begin = rest.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(begin);
  std::size_t end = rest.find(' ');
  std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
  return word;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

Config Config::FromEnvironment() {
  Config c;
  c.ping = FromEnv("PANELIF_PING_MS", c.ping);
  c.down = FromEnv("PANELIF_DOWN_MS", c.down);
  c.retry = FromEnv("PANELIF_RETRY_MS", c.retry);
  c.request = FromEnv("PANELIF_REQUEST_MS", c.request);
  c.table = FromEnv("PANELIF_TABLE_MS", c.table);
  c.busy = FromEnv("PANELIF_BUSY_MS", c.busy);
  if (const char* value = std::getenv("PANELIF_TRACE_MAX_BYTES")) {
    if (std::int64_t bytes = NumericValue(value); bytes > 0) {
      c.trace_max_bytes = static_cast<std::uint64_t>(bytes);
    }
  }
  return c;
}

std::optional<ConnectTarget> ParseConnectText(std::string_view text, std::string* why) {
  static constexpr std::string_view kTcp = "TCP/IP - ";
  static constexpr std::string_view kSerial = "serial port - ";
  ConnectTarget t;
  std::string_view rest = CString(text);
  if (StartsWithNoCase(rest, kTcp)) {
    rest.remove_prefix(kTcp.size());
    std::string_view host = TakeWord(rest);
    std::string_view port = TakeWord(rest);
    std::int64_t number = NumericValue(port);
    if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != port.npos ||
        number < 1 || number > 65535) {
      *why = "a TCP/IP connection needs a host and a port from 1 to 65535";
      return std::nullopt;
    }
    t.name = std::string(host);
    t.host = t.name;
    t.port = static_cast<std::uint16_t>(number);
    return t;
  }
  if (StartsWithNoCase(rest, kSerial)) {
    rest.remove_prefix(kSerial.size());
    t.serial = true;
    t.name = std::string(TakeWord(rest));
    if (t.name.empty()) {
      *why = "a serial connection needs a port name";
      return std::nullopt;
    }
    for (std::string_view word = TakeWord(rest); !word.empty(); word = TakeWord(rest)) {
      if (StartsWithNoCase(word, "baud=")) {
        std::int64_t baud = NumericValue(word.substr(5));
        if (baud <= 0 || baud > 4000000) {
          *why = "the baud rate is not a rate";
          return std::nullopt;
        }
        t.baud = static_cast<unsigned>(baud);
      }
    }
    return t;
  }
  *why = "the connection text is neither \"TCP/IP - \" nor \"serial port - \"";
  return std::nullopt;
}

std::string SerialDevicePath(std::string_view name) {
  if (const char* map = std::getenv("PANELIF_PORTMAP")) {
    if (auto path = LookUp(map, ";,", name)) return *path;
  }
  if (const char* file = std::getenv("PANELIF_PORTMAP_FILE")) {
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (auto path = LookUp(content, "\r\n", name)) return *path;
  }
  if (name.size() > 3 && EqualsNoCase(name.substr(0, 3), "COM") &&
      name.substr(3).find_first_not_of("0123456789") == std::string_view::npos) {
    std::int64_t n = NumericValue(name.substr(3));
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return {};
}

}  // namespace ordane::panelif
