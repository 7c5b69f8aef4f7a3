#include "core/error_list.h"

#include "core/log.h"
#include "core/metrics.h"

namespace ordane {

void ErrorList::ReportError(std::int64_t number, std::string_view description) {
  LastErrorNumber = number;
  metrics::CountReportedError(number);
  std::string line = ErrorLabel + ":  " + std::string(description);
  {
    std::lock_guard<std::mutex> g(mu_);
    std::size_t count = lines_.size();
    if (count > kReportClearAbove) {
      lines_.clear();
      count = 0;
    }
    lines_.push_front(line);
    if (count > kReportKeepAtMost) lines_.clear();
  }
  LogLine(LogLevel::kError, line + " [" + FormatErrorNumber(number) + "]");
  if ((number == kErrDbUnspecified || number == kErrDbCommand) && sql_server_mode == 1 &&
      on_database_gone)
    on_database_gone();
}

void ErrorList::DebugLine(std::string_view text) {
  if (!debug) return;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (lines_.size() > kDebugClearAbove) lines_.clear();
    lines_.emplace_front(text);
  }
  LogLine(LogLevel::kDebug, text);
}

std::vector<std::string> ErrorList::Lines() const {
  std::lock_guard<std::mutex> g(mu_);
  return {lines_.begin(), lines_.end()};
}

std::size_t ErrorList::Count() const {
  std::lock_guard<std::mutex> g(mu_);
  return lines_.size();
}

void ErrorList::Clear() {
  std::lock_guard<std::mutex> g(mu_);
  lines_.clear();
}

}  // namespace ordane
