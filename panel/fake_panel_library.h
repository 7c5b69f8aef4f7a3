// An in-process stand-in for the panel interface library, for unit tests of the driver. It
// records every call (export name and the text the library would have seen, up to its first
// NUL) and answers the polling exports from scripts: queued command responses and event lines,
// and busy answers per link name. Answers are written the way the real library writes them:
// NUL-terminated at the start of the caller's text, cut to its length, the rest left as it was.
// Like the real library it holds the links that INITIALIZEPANEL opened (by link name, without
// regard to case) until TERMINATEPANEL or TERMINATEALL, and answers GETBUSYSTATE for any other
// name with "Unknown panel".
// Not thread-safe: the driver calls it from its one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "panel/panel_library.h"

namespace ordane {

class FakePanelLibrary : public PanelLibrary {
 public:
  struct Call {
    std::string name;  // export name, for example "ARMAREA"
    std::string text;  // the text up to its first NUL; empty for exports without one
    bool operator==(const Call&) const = default;
  };

#define ORDANE_FAKE_TEXT(name) \
  std::int16_t name(std::string& text) override { return Handle(#name, &text); }
#define ORDANE_FAKE_NONE(name) \
  std::int16_t name() override { return Handle(#name, nullptr); }
#define ORDANE_FAKE(name, kind) ORDANE_FAKE_##kind(name)
  ORDANE_PANEL_EXPORTS(ORDANE_FAKE)
#undef ORDANE_FAKE
#undef ORDANE_FAKE_TEXT
#undef ORDANE_FAKE_NONE

  // Scripts. Each GETCOMMANDRESPONSE / GETEVENTRESPONSE call hands over the oldest queued text
  // (LF-separated fields; the NUL is added) or leaves the buffer untouched when none waits.
  void QueueCommandResponse(std::string response) {
    command_responses_.push_back(std::move(response));
  }
  void QueueEventLine(std::string line) { event_lines_.push_back(std::move(line)); }
  // GETBUSYSTATE for `port` (matched exactly, as the caller upper-cases it) answers the queued
  // answers first, then the standing one; a held link with neither gets default_busy_answer,
  // a name the library does not hold "Unknown panel".
  void QueueBusyAnswer(const std::string& port, std::string answer) {
    busy_queue_[port].push_back(std::move(answer));
  }
  void SetBusyAnswer(const std::string& port, std::string answer) {
    busy_[port] = std::move(answer);
  }

  std::string default_busy_answer = "Not busy";
  // Runs after each call is recorded: lets a test change the world in the middle of a routine
  // (a database that goes away while panels are connected).
  std::function<void(const Call&)> on_call;
  std::string information = "Panel interface library Version 1.0.0";
  std::int16_t result = 0;  // what every call returns

  const std::vector<Call>& calls() const { return calls_; }
  // The names of the calls made, in order, optionally only those whose name is `only`.
  std::vector<std::string> CallNames() const;
  std::vector<Call> CallsTo(std::string_view name) const;
  void ClearCalls() { calls_.clear(); }
  std::size_t pending_command_responses() const { return command_responses_.size(); }
  std::size_t pending_event_lines() const { return event_lines_.size(); }

  // Writes `answer` NUL-terminated at the start of `text`, cut to fit its length.
  static void Answer(std::string& text, std::string_view answer);

 private:
  std::int16_t Handle(const char* name, std::string* text);

  std::vector<Call> calls_;
  std::deque<std::string> command_responses_;
  std::deque<std::string> event_lines_;
  std::map<std::string, std::deque<std::string>> busy_queue_;
  std::map<std::string, std::string> busy_;
  std::set<std::string> links_;  // held link names, upper-cased
};

}  // namespace ordane
