#include "events/decoder.h"

#include "util/text.h"

namespace ordane {

// Only the fields that name the panel and the time are taken apart in this build; the event
// number is kept as the detail so that the line can still be read in the log.
DecodedEvent Decode_PanelEvent(Driver& d, const std::string& line) {
  DecodedEvent e;
  std::string rest(CString(line));
  std::size_t hyphen = InStr(rest, "-");
  if (hyphen == 0) return e;
  e.link_name = Trim(Left(rest, hyphen - 1));
  rest = Trim(Mid(rest, hyphen + 1));
  auto next = [&rest]() {
    std::size_t blank = InStr(rest, " ");
    std::string field = Trim(blank ? Left(rest, blank - 1) : rest);
    rest = blank ? Trim(Mid(rest, blank + 1)) : std::string();
    return field;
  };
  e.date = next();
  e.time = next();
  e.detail = rest;
  for (int i = 0; i < kPanelSlots; ++i)
    if (d.panels[static_cast<std::size_t>(i)].PortName == e.link_name)
      e.address = d.ControllerAddress(i);
  return e;
}

}  // namespace ordane
