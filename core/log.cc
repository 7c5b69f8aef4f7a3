#include "core/log.h"

#include <errno.h>
#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace ordane {

namespace {

std::mutex mu;
bool to_stderr = false;
bool opened = false;
std::function<void(LogLevel, std::string_view)> test_sink;

int Priority(LogLevel level) {
  switch (level) {
    case LogLevel::kError: return LOG_ERR;
    case LogLevel::kWarning: return LOG_WARNING;
    case LogLevel::kInfo: return LOG_INFO;
    case LogLevel::kDebug: return LOG_DEBUG;
  }
  return LOG_INFO;
}

}  // namespace

void LogLine(LogLevel level, std::string_view text) {
  std::lock_guard<std::mutex> g(mu);
  if (test_sink) {
    test_sink(level, text);
    return;
  }
  if (!opened) {
    // Tagged with the program's own name: the driver's and the event service's lines apart.
    openlog(program_invocation_short_name, LOG_PID, LOG_DAEMON);
    opened = true;
  }
  std::string line(text);
  syslog(Priority(level), "%s", line.c_str());
  if (to_stderr) std::fprintf(stderr, "%s\n", line.c_str());
}

void SetLogToStderr(bool on) {
  std::lock_guard<std::mutex> g(mu);
  to_stderr = on;
}

bool LogToStderr() {
  std::lock_guard<std::mutex> g(mu);
  return to_stderr;
}

void SetLogSink(std::function<void(LogLevel, std::string_view)> sink) {
  std::lock_guard<std::mutex> g(mu);
  test_sink = std::move(sink);
}

}  // namespace ordane
