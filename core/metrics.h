// Counters the operator console and the metrics endpoints show: plain atomics that any thread
// may add to or read without a lock, and the text format monitoring systems scrape
// (Prometheus exposition format 0.0.4).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace ordane::metrics {

// A count that only grows, for the life of the process.
class Counter {
 public:
  void Add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// The driver's counters.
inline Counter PanelEventsTaken;       // panel events stored (statements queued) and acknowledged
inline Counter StatementFilesWritten;  // statement files placed in the events folder
inline Counter CommandsSent;           // commands handed to the panel interface library
inline Counter CommandsParked;         // commands parked in cBuffer for a panel not linked
inline Counter LinksReestablished;     // links that came back
inline Counter LinksLost;              // links declared lost
inline Counter DatabaseErrors;         // errors reported with a database error number
// Seconds between a panel's time on its last taken event and the driver's clock when it took
// it (never below 0); -1 before the first event.
inline std::atomic<std::int64_t> LastEventDelaySeconds{-1};

// The event service's counters.
inline Counter EventsStored;    // statements executed and committed
inline Counter DuplicateFiles;  // files whose identity was already recorded
inline Counter RejectedFiles;   // files set aside in Rejected
inline Counter DatabaseLosses;  // times the event service lost its database

// Counts a reported error when its number is one of the database's.
void CountReportedError(std::int64_t number);
// Counts a taken panel event and notes its delay: `date` "mm/dd/yyyy" and `time` "hh:mm:ss"
// (an "AM"/"PM" after it is understood) as the panel dated it, `now` the driver's local time.
// A date or time that cannot be read leaves the delay as it was.
void EventTaken(std::string_view date, std::string_view time, const LocalTime& now);

// The exposition text, one family after another.
class Text {
 public:
  void Counter(std::string_view name, std::string_view help, std::uint64_t value);
  void Gauge(std::string_view name, std::string_view help, double value);
  // A gauge family with one label: call Family first, then Sample for each label value.
  void Family(std::string_view name, std::string_view help, std::string_view type);
  void Sample(std::string_view name, std::string_view label, std::string_view label_value,
              double value);
  const std::string& str() const { return out_; }

 private:
  void Head(std::string_view name, std::string_view help, std::string_view type);
  std::string out_;
};

// The content type of the exposition text.
inline constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

// The driver's counters (without the gauges that need the driver's state).
void DriverCounters(Text& t);
// The event service's counters.
void EventServiceCounters(Text& t);

}  // namespace ordane::metrics
