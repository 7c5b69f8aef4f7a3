// The driver's regular work: Timer1 (every 100 ms) takes in event files, runs the file command
// queue and one pass of the response dispatcher; Timer2 (interval "Status_Timer") writes the
// status files, runs the delayed camera commands, asks idle panels for their state on one tick
// in eleven and runs the database command queue.
#pragma once

#include <cstdint>
#include <string>

#include "core/driver.h"
#include "panel/connections.h"  // request_io

namespace ordane {

// The period of the periodic status requests, and the tick of the period that sends them.
inline constexpr std::int16_t kStatusTickPeriodEnd = 10;
inline constexpr std::int16_t kStatusRequestTick = 8;

void Timer1_Timer(Driver& d);
void Timer2_Timer(Driver& d);
// Creates the two timers on the driver's loop, both disabled (the start-up sequence enables
// them): Timer1 at 100 ms, Timer2 at its design interval of 1000 ms.
void CreateTimers(Driver& d);

// Takes in the event files that other programs put in the driver's "\Events" folder: "*.alm"
// files first, then "*.evt", each logged as one event and deleted once stored.
void Process_Evt_Files(Driver& d);

// True when a delayed command due at `due` ("nnss") is to run at local time `now`: its due
// number is below the present minutes and seconds of the hour.
bool DelayedCommandDue(const std::string& due, const LocalTime& now);

}  // namespace ordane
