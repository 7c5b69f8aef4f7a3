// The default shared folder tree the set-up tool lays down, and the panel's event table that
// fills its "Drivers/11000.ini": what each panel event number means and how it is logged.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ordane::schema {

// One panel event number: its description and the log type the system gives it (1-99 and
// 111-208 raise an alarm, 101-103 log an event only; see the driver's log type rules).
struct PanelEventText {
  int number;
  std::string_view description;
  int log_type;
};

// Panel event numbers 0 to 170, in order.
const std::vector<PanelEventText>& PanelEvents();

// The text resource number of a system event code ("RD070" → 21570), as the driver computes it.
int ResourceNumber(std::string_view code);

// The texts of Resources/strings.ini, section "Strings": number → text.
std::vector<std::pair<int, std::string>> ResourceTexts();

// Lays down below `root`: Drivers/11000.ini, hardware/11000.dvr, Resources/strings.ini,
// sites.map (no site enabled) and the folders Drivers, Events, info and Data. Existing files are
// kept unless `overwrite`. Returns false with *why set when a file or folder cannot be written.
//
// With a `demo_driver` it also lays down what shows that driver's event actions: a video
// switcher driver (90, hardware/CAMDEMO.dvr) with a camera INI that puts camera 1 on monitor 1
// for point 1 of panel 0, an intercom entry for point 2 of panel 0 (intercom driver 199), and a
// second site in sites.map (site 2, enabled, with its own key file sites/site2.key and its
// events folder sites/site2/Events).
bool LayDownShare(const std::filesystem::path& root, bool overwrite, std::string* why,
                  int demo_driver = 0);

}  // namespace ordane::schema
