// The event logger: every system event becomes rows of `events` and `alarms` (through the
// statement files), an integration record and the actions tied to it.
#pragma once

#include <cstdint>
#include <string>

#include "core/driver.h"

namespace ordane {

// Logs one system event. `event_time` "0" means now. Sets d.db.DatabaseError when the event
// could not be stored, so that the caller keeps its source (an event file) for a later try.
// False while this build has no way to store events: the panel events then stay with their
// panels (unacknowledged, so the panels keep them) and the event files stay in their folder,
// instead of being taken and lost.
bool EventLoggerStoresEvents();

void I_logevent(Driver& d, const std::string& event_time, const std::string& address,
                const std::string& code, const std::string& detail, std::int16_t log_type,
                const std::string& extra);

}  // namespace ordane
