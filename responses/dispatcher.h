// The response dispatcher: one pass takes at most one panel event and one command response
// from the panel interface library; a command response is split into its fields, matched to
// its panel slot by link name and handled by its type. With no command response waiting, the
// pass asks the library for every slot's busy state instead.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

inline constexpr std::size_t kEventBufferLength = 1026;
inline constexpr std::size_t kCommandBufferLength = 30000;
inline constexpr std::size_t kBusyBufferLength = 1024;
inline constexpr std::int16_t kBusyAnswersToShowBusy = 40;
inline constexpr int kYearRepairDays = 300;

void Main_Process(Driver& d);

// The four fields of a command response buffer (the whole buffer, NUL and blanks included).
struct CommandResponse {
  std::string type, link_name, data, extra;
};
CommandResponse SplitCommandResponse(const std::string& buffer);

// The busy state of every slot, from the library's answers.
void PollBusyStates(Driver& d);

// Applies one GETBUSYSTATE answer to a slot's BusyCount and BusyState.
void ApplyBusyAnswer(PanelSlot& slot, const std::string& answer);

// A panel date ("mm/dd/yyyy") more than 300 days before `now` gets the present year: panels
// with a wrong clock year still log their events in the present.
std::string RepairEventYear(const std::string& date, const LocalTime& now);

}  // namespace ordane
