// "Report and resume": every routine runs its steps under one label; a step that fails is
// reported to the error list under that label and the routine goes on with its next step.
//
//   Routine r(reporter, "ERR_Start_Up");
//   r.Step([&] { OpenDatabases(1); });
//   r.Step([&] { LoadRegions(); });
//
// A routine whose failures carry the label last set by someone else (the few that have no
// label of their own) passes an empty label.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "util/error.h"

namespace ordane {

// The driver's error list and debug console (the in-memory list, mirrored to the log).
class ErrorReporter {
 public:
  virtual ~ErrorReporter() = default;

  // Records `number` as LastErrorNumber and writes ErrorLabel + ":  " + description.
  virtual void ReportError(std::int64_t number, std::string_view description) = 0;
  // A progress or diagnostic line, shown only while debugging is on.
  virtual void DebugLine(std::string_view text) = 0;

  // True when the last recorded error says the database connection is gone (not set, no
  // longer valid, closed); resets LastErrorNumber so that it answers true once per error.
  bool DatabaseLost() {
    if (LastErrorNumber == kErrObjectNotSet || LastErrorNumber == kErrObjectInvalid ||
        LastErrorNumber == kErrClosedObject) {
      LastErrorNumber = 0;
      return true;
    }
    return false;
  }

  std::string ErrorLabel;           // label of the routine that reported last
  std::int64_t LastErrorNumber = 0;  // number of the error reported last
};

// Thrown to end the process from wherever the driver decides to (an unrecognised switch, no
// driver record, the end of the unload sequence). Report-and-resume steps let it pass; the
// program's main catches it and exits with `code`.
struct EndProcess {
  int code = 0;
};

class Routine {
 public:
  Routine(ErrorReporter& reporter, std::string label)
      : reporter_(reporter), label_(std::move(label)) {}

  // Runs `step`; on failure reports it and returns false. EndProcess passes through.
  template <class F>
  bool Step(F&& step) {
    try {
      std::forward<F>(step)();
      return true;
    } catch (const EndProcess&) {
      throw;
    } catch (const Error& e) {
      Report(e.number(), e.what());
    } catch (const std::exception& e) {
      Report(kErrGeneric, e.what());
    } catch (...) {
      Report(kErrGeneric, "unknown failure");
    }
    return false;
  }

  // Reports under this routine's label. The report itself may end the process (a lost
  // database); any other failure of the report is swallowed.
  void Report(std::int64_t number, std::string_view description) {
    try {
      if (!label_.empty()) reporter_.ErrorLabel = label_;
      reporter_.ReportError(number, description);
    } catch (const EndProcess&) {
      throw;
    } catch (...) {
    }
  }

  ErrorReporter& reporter() { return reporter_; }
  const std::string& label() const { return label_; }

 private:
  ErrorReporter& reporter_;
  std::string label_;
};

}  // namespace ordane
