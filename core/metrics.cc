#include "core/metrics.h"

#include <cmath>
#include <cstdio>

#include "util/error.h"

namespace ordane::metrics {

namespace {

// A label value or help text as the format wants it: backslash, newline (and in labels the
// double quote) escaped.
std::string Escaped(std::string_view s, bool label) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' && label)
      out += "\\\"";
    else
      out += c;
  }
  return out;
}

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else
    std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

void CountReportedError(std::int64_t number) {
  const bool database = number == kErrObjectNotSet || number == kErrObjectInvalid ||
                        number == kErrClosedObject ||
                        (number >= 0x80004000LL && number <= 0x8004FFFFLL);
  if (database) DatabaseErrors.Add();
}

void EventTaken(std::string_view date, std::string_view time, const LocalTime& now) {
  PanelEventsTaken.Add();
  int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char s1 = 0, s2 = 0;
  const std::string d(date), t(time);
  if (std::sscanf(d.c_str(), "%d%c%d%c%d", &month, &s1, &day, &s2, &year) != 5) return;
  if (std::sscanf(t.c_str(), "%d:%d:%d", &hour, &minute, &second) < 2) return;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return;
  const bool pm = t.find("PM") != std::string::npos || t.find("pm") != std::string::npos;
  const bool am = t.find("AM") != std::string::npos || t.find("am") != std::string::npos;
  if (pm && hour < 12) hour += 12;
  if (am && hour == 12) hour = 0;
  LocalTime when{year, month, day, hour, minute, second};
  const std::int64_t delay = now.LocalSeconds() - when.LocalSeconds();
  LastEventDelaySeconds.store(delay < 0 ? 0 : delay, std::memory_order_relaxed);
}

void Text::Head(std::string_view name, std::string_view help, std::string_view type) {
  out_ += "# HELP ";
  out_ += name;
  out_ += ' ';
  out_ += Escaped(help, false);
  out_ += "\n# TYPE ";
  out_ += name;
  out_ += ' ';
  out_ += type;
  out_ += '\n';
}

void Text::Counter(std::string_view name, std::string_view help, std::uint64_t value) {
  Head(name, help, "counter");
  out_ += name;
  out_ += ' ' + std::to_string(value) + '\n';
}

void Text::Gauge(std::string_view name, std::string_view help, double value) {
  Head(name, help, "gauge");
  out_ += name;
  out_ += ' ' + Number(value) + '\n';
}

void Text::Family(std::string_view name, std::string_view help, std::string_view type) {
  Head(name, help, type);
}

void Text::Sample(std::string_view name, std::string_view label, std::string_view label_value,
                  double value) {
  out_ += name;
  out_ += '{';
  out_ += label;
  out_ += "=\"" + Escaped(label_value, true) + "\"} " + Number(value) + '\n';
}

void DriverCounters(Text& t) {
  t.Counter("ordane_panel_events_taken_total", "Panel events stored and acknowledged.",
            PanelEventsTaken.Value());
  t.Counter("ordane_statement_files_written_total", "Statement files placed in the events folder.",
            StatementFilesWritten.Value());
  t.Counter("ordane_commands_sent_total", "Commands handed to the panel interface library.",
            CommandsSent.Value());
  t.Counter("ordane_commands_parked_total", "Commands parked for a panel that was not linked.",
            CommandsParked.Value());
  t.Counter("ordane_links_reestablished_total", "Panel links that came back.",
            LinksReestablished.Value());
  t.Counter("ordane_links_lost_total", "Panel links declared lost.", LinksLost.Value());
  t.Counter("ordane_database_errors_total", "Errors reported with a database error number.",
            DatabaseErrors.Value());
  const std::int64_t delay = LastEventDelaySeconds.load(std::memory_order_relaxed);
  t.Gauge("ordane_last_event_delay_seconds",
          "Panel time of the last taken event to the driver's clock when it took it; -1 before "
          "the first.",
          static_cast<double>(delay));
}

void EventServiceCounters(Text& t) {
  t.Counter("ordane_eventsvc_events_stored_total", "Statements executed and committed.",
            EventsStored.Value());
  t.Counter("ordane_eventsvc_duplicate_files_total",
            "Statement files whose identity was already recorded.", DuplicateFiles.Value());
  t.Counter("ordane_eventsvc_rejected_files_total", "Statement files set aside in Rejected.",
            RejectedFiles.Value());
  t.Counter("ordane_eventsvc_database_losses_total", "Times the database was lost.",
            DatabaseLosses.Value());
}

}  // namespace ordane::metrics
