#include "events/event_logger.h"


namespace ordane {

// The statement path to the database is not in this build: an event is reported as not stored,
// so that whoever holds it keeps it until it can be stored.
bool EventLoggerStoresEvents() { return false; }

LogOutcome I_logevent(Driver& d, const std::string& event_time, const std::string& address,
                      const std::string& code, const std::string& detail, std::int16_t log_type,
                      const std::string& extra, const std::string& identity) {
  d.db.DatabaseError = true;
  d.errors.DebugLine("event " + code + " at " + address + " (" + event_time + ") " + detail +
                     " log type " + std::to_string(log_type) + (extra.empty() ? "" : " " + extra) +
                     ": not stored");
  return LogOutcome::kRetryLater;
}

}  // namespace ordane
