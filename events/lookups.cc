#include "events/lookups.h"

#include "db/db.h"
#include "util/text.h"

namespace ordane {

std::string r_eventdesc(Driver& d, const std::string& code, const std::string& column) {
  db::Recordset rs;
  rs.Open("select " + column + " from EVENT_Descriptions where event_id = '" + SqlQuote(code) + "'",
          d.Access(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  std::string value = rs.Eof() ? std::string() : rs.Text(column);
  rs.Close();
  return value;
}

}  // namespace ordane
