// The event logger: every system event becomes rows of `events` and `alarms` (through the
// statement files), an integration record and the actions tied to it.
#pragma once

#include <cstdint>
#include <string>

#include "core/driver.h"

namespace ordane {

// False while this build has no way to store events: the panel events then stay with their
// panels (unacknowledged, so the panels keep them) and the event files stay in their folder,
// instead of being taken and lost.
bool EventLoggerStoresEvents();

// What became of an event handed to the logger.
enum class LogOutcome {
  // Its statements and files are written, or its own rules gave it up for good (reported).
  kTaken,
  // A failure of the platform that passes (a folder that cannot be written, the database lost
  // during its lookups): nothing of it was kept, and the caller keeps the event's source (the
  // panel's unacknowledged event, the event file) to log it again on a later tick.
  kRetryLater,
};

// Logs one system event. `event_time` "0" means now. `identity` names the event for the event
// service, which stores each identity once: for a panel event it is derived from the panel's
// event line, for an event file from its name and content; empty means a fresh random one.
// An event that the caller logs again after kRetryLater must be given the same identity each
// time: its statements may have been written in part (the events statement, not yet the
// alarms one), and only the identity keeps the event service from storing them twice. The
// event's actions (cameras, intercom, e-mail, requests to other drivers) run once, when it is
// stored.
LogOutcome I_logevent(Driver& d, const std::string& event_time, const std::string& address,
                      const std::string& code, const std::string& detail, std::int16_t log_type,
                      const std::string& extra, const std::string& identity = {});

}  // namespace ordane
