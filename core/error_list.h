// The driver's error list: the lines an operator sees on the console, newest first, with the
// limits that keep it small in a driver that runs for years. Every line also goes to the log.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "util/report.h"

namespace ordane {

class ErrorList final : public ErrorReporter {
 public:
  // Reports are cleared away above these counts.
  static constexpr std::size_t kReportClearAbove = 500;
  static constexpr std::size_t kReportKeepAtMost = 255;
  static constexpr std::size_t kDebugClearAbove = 200;

  // Remembers the number, inserts ErrorLabel + ":  " + description at the top, and keeps the
  // list within its limits: a list of more than 255 lines is cleared after the insert (the
  // new line goes with it). With SqlServerMode 1, a lost-database error calls on_database_gone.
  void ReportError(std::int64_t number, std::string_view description) override;
  // Only while debug is on: clears a list of more than 200 lines, then inserts the line at top.
  void DebugLine(std::string_view text) override;

  std::vector<std::string> Lines() const;  // newest first; safe from any thread
  std::size_t Count() const;
  void Clear();

  bool debug = false;                  // DriverDebug
  std::int16_t sql_server_mode = 0;    // SqlServerMode
  std::function<void()> on_database_gone;

 private:
  mutable std::mutex mu_;  // the console reads the lines from its own thread
  std::deque<std::string> lines_;
};

}  // namespace ordane
