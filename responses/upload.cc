#include "responses/upload.h"

#include <cctype>
#include <utility>

#include "events/event_logger.h"
#include "events/lookups.h"
#include "status/status_files.h"
#include "util/error.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

constexpr const char* kLabel = "ERR_Main_Process";

bool DatabaseGone(std::int64_t number) {
  return number == kErrDbUnspecified || number == kErrObjectInvalid ||
         number == kErrClosedObject || number == kErrObjectNotSet;
}

// How many panel-user fields are written between two yields.
constexpr std::size_t kFieldsPerYield = 32;

// The names of the items left out, at most this many of them in the report line.
constexpr std::size_t kNamedSkips = 8;

}  // namespace

std::string ResponseText(const std::string& buffer) { return std::string(CString(buffer)); }

std::size_t ValueStart(const std::string& response, const std::string& label) {
  const std::size_t at = InStr(response, label);
  return at == 0 ? 0 : at + label.size();
}

std::optional<std::string> ItemAfter(const std::string& response, const std::string& label,
                                     std::size_t width) {
  const std::size_t start = ValueStart(response, label);
  if (start == 0) return std::nullopt;
  return Mid(response, start, width);
}

bool IsHex(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string Quoted(const std::string& text) { return "'" + SqlQuote(text) + "'"; }

std::string Shown(const std::string& text) { return "'" + OneLine(text) + "'"; }

Upload::Upload(Driver& d, int slot, std::string type, const std::string& title)
    : d_(d),
      slot_(slot),
      type_(std::move(type)),
      address_(d.ControllerAddress(slot)),
      routine_(d.errors, kLabel) {
  d_.TableUploadRunning = true;
  if (static_cast<std::size_t>(slot) < d_.PanelUsers.size())
    users_ = d_.PanelUsers[static_cast<std::size_t>(slot)];
  if (title.empty()) return;
  d_.Slot(slot).ActivityText = title;
  // The workstations follow the upload in the status file; the next status tick may be a
  // second away, and a whole table can arrive within it.
  routine_.Step([&] { scrn_controller(d_, slot_); });
}

Upload::~Upload() {
  d_.TableUploadRunning = false;
  if (!finished_) d_.Slot(slot_).ActivityText.clear();
}

void Upload::Yield() { d_.loop.DoEvents(); }

void Upload::Skip(const std::string& item, const std::string& why) {
  skipped_.push_back(item + " " + why);
}

void Upload::Report(std::int64_t number, const std::string& text) {
  routine_.Report(number, type_ + " from " + address_ + ": " + text);
}

bool Upload::Store(db::Connection& conn, const std::function<void()>& f) {
  try {
    db::InTransaction(conn, f);
    stored_ = true;
  } catch (const EndProcess&) {
    throw;
  } catch (const Error& e) {
    failed_ = true;
    Report(e.number(), std::string("not stored, the earlier copy stays: ") + e.what());
  } catch (const std::exception& e) {
    failed_ = true;
    Report(kErrGeneric, std::string("not stored, the earlier copy stays: ") + e.what());
  }
  return stored_;
}

bool Upload::Item(db::Connection& conn, const std::string& item, const std::function<void()>& f) {
  conn.Execute("SAVEPOINT upload_item");
  try {
    f();
  } catch (const Error& e) {
    if (DatabaseGone(e.number())) throw;
    conn.Execute("ROLLBACK TO SAVEPOINT upload_item");
    conn.Execute("RELEASE SAVEPOINT upload_item");
    Skip(item, std::string("refused by the database: ") + e.what());
    return false;
  }
  conn.Execute("RELEASE SAVEPOINT upload_item");
  return true;
}

void Upload::W_Panel(std::int16_t region, std::int16_t user, const std::string& field,
                     const std::string& value) {
  fields_.push_back({region, user, field, value});
}

bool Upload::Finish(const std::string& event, bool flag) {
  finished_ = true;
  d_.Slot(slot_).ActivityText.clear();
  if (stored_) {
    if (static_cast<std::size_t>(slot_) < d_.PanelUsers.size())
      d_.PanelUsers[static_cast<std::size_t>(slot_)] = std::move(users_);
    std::size_t refused = 0;
    std::string first_failure;
    std::size_t written = 0;
    for (Field& f : fields_) {
      // Each field is a statement of its own on the library's connection: a thousand of them
      // take a while, so the timers get their turn between them too.
      if (++written % kFieldsPerYield == 0) Yield();
      try {
        d_.lib.W_Panel(f.region, f.user, f.field, f.value);
      } catch (const EndProcess&) {
        throw;
      } catch (const std::exception& e) {
        if (refused++ == 0) first_failure = e.what();
      }
    }
    if (refused > 0)
      Report(kErrGeneric, std::to_string(refused) + " of " + std::to_string(fields_.size()) +
                              " panel-user fields not kept by the system library: " +
                              first_failure);
  }
  if (!skipped_.empty()) {
    std::string named;
    for (std::size_t i = 0; i < skipped_.size() && i < kNamedSkips; ++i)
      named += (i ? "; " : "") + OneLine(skipped_[i]);
    if (skipped_.size() > kNamedSkips) named += "; ...";
    Report(kErrGeneric, std::to_string(skipped_.size()) +
                            " item(s) left out, their rows keep what they held: " + named);
  }
  const bool complete = stored_ && !failed_ && skipped_.empty();
  routine_.Step([&] { scrn_controller(d_, slot_); });  // the title goes from the status file
  if (stored_ && !event.empty()) {
    routine_.Step([&] {
      const std::int16_t log_type = ToInt16(ValueOf0(r_eventdesc(d_, event, "Log_Type")));
      I_logevent(d_, "0", address_, event, "", log_type, "");
    });
  }
  if (complete && flag)
    WriteIni(d_, "Status_Controllers", event, "1", ControllerStatusFile(slot_));
  return complete;
}

}  // namespace ordane
