// What every table upload shares: reading labelled items out of the command response buffer,
// the progress title in the controller status file, one transaction per table, and the closing
// event and status-file flag.
//
// A table is stored whole or not at all: its rows are written in one transaction, committed
// after the last item, so that a database that fails in the middle leaves the earlier copy.
// An item that is missing or not in its expected form is left out (its row keeps what it held)
// and reported; the rest of the table is stored, and the upload's flag in the controller status
// file stays empty, since the table is not complete. The panel user store of the system library
// writes through its own connection, so its fields are kept aside and written after the commit.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/driver.h"
#include "db/db.h"
#include "util/report.h"

namespace ordane {

// The text of a command response buffer that the library wrote: up to its first NUL.
std::string ResponseText(const std::string& buffer);

// The 1-based position where the value after `label` starts, 0 when the label is absent.
std::size_t ValueStart(const std::string& response, const std::string& label);

// The `width` characters after `label`; nullopt when the label is absent. The text is shorter
// than `width` when the response ends first.
std::optional<std::string> ItemAfter(const std::string& response, const std::string& label,
                                     std::size_t width);

// True when every character of `text` is a hexadecimal digit and there is at least one.
bool IsHex(const std::string& text);

// `text` as an SQL literal: between single quotes, its own quotes doubled.
std::string Quoted(const std::string& text);

// `text` as a report names an item: on one line, between single quotes.
std::string Shown(const std::string& text);

class Upload {
 public:
  // Starts the upload of `title` for panel `slot`: the title goes into the slot's ActivityText
  // and at once into its status file. `type` names the table in reports ("Token tables").
  Upload(Driver& d, int slot, std::string type, const std::string& title);
  ~Upload();
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  // Lets the timers run between two items.
  void Yield();

  // Records that `item` was left out, and why ("missing", "not hexadecimal: 'ZZ'").
  void Skip(const std::string& item, const std::string& why);

  // Runs `f` in one transaction on `conn`. A failure rolls everything back; it is reported and
  // the upload ends incomplete. Returns true when committed.
  bool Store(db::Connection& conn, const std::function<void()>& f);

  // For the uploads that have no rows of their own (the panel-user fields only).
  void NoRows() { stored_ = true; }

  // Inside Store: writes one item. A statement the database refuses undoes this item only, which
  // is then reported as left out; a lost database ends the whole table. True when written.
  bool Item(db::Connection& conn, const std::string& item, const std::function<void()>& f);

  // A panel-user field for the system library, written once the rows are committed.
  void W_Panel(std::int16_t region, std::int16_t user, const std::string& field,
               const std::string& value);

  // The panel's users as this upload changes them; they replace the slot's users on commit.
  std::vector<PanelUser>& Users() { return users_; }

  // Ends the upload: clears the title, writes the kept panel-user fields, logs `event` when the
  // table was stored, and sets `flag` to "1" in the status file when it was stored complete
  // (an empty `flag` sets none). Returns true when the table was stored complete.
  bool Finish(const std::string& event, bool flag);

  Driver& driver() { return d_; }
  int slot() const { return slot_; }
  const std::string& address() const { return address_; }

 private:
  void Report(std::int64_t number, const std::string& text);

  Driver& d_;
  int slot_;
  std::string type_;
  std::string address_;
  Routine routine_;
  std::vector<std::string> skipped_;
  bool stored_ = false;
  bool failed_ = false;
  bool finished_ = false;
  struct Field {
    std::int16_t region, user;
    std::string field, value;
  };
  std::vector<Field> fields_;
  std::vector<PanelUser> users_;
};

}  // namespace ordane
