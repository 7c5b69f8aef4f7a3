// The driver's log: syslog (facility daemon), and standard error while running in the
// foreground for debugging. Tests can catch the lines with a sink.
#pragma once

#include <functional>
#include <string_view>

namespace ordane {

enum class LogLevel { kError, kWarning, kInfo, kDebug };

void LogLine(LogLevel level, std::string_view text);
// Lines also go to standard error while on.
void SetLogToStderr(bool on);
bool LogToStderr();
// Replaces syslog with `sink` (nullptr restores syslog). For tests.
void SetLogSink(std::function<void(LogLevel, std::string_view)> sink);

}  // namespace ordane
