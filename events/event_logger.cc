#include "events/event_logger.h"

#include "service/log.h"

namespace ordane {

// The statement path to the database is not in this build: events are written to the log and
// reported as not stored, so that event files stay in their folder and are taken in once it is.
void I_logevent(Driver& d, const std::string& event_time, const std::string& address,
                const std::string& code, const std::string& detail, std::int16_t log_type,
                const std::string& extra) {
  d.db.DatabaseError = true;
  LogLine(LogLevel::kInfo, "event " + code + " at " + address + " (" + event_time + ") " + detail +
                               " log type " + std::to_string(log_type) +
                               (extra.empty() ? "" : " " + extra) + ": not stored");
}

}  // namespace ordane
