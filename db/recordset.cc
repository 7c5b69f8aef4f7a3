// Recordsets held on the client: the query's rows are read at Open, the current row moves over
// them, and AddNew/Update write back through the table's primary key with bound parameters.
#include <algorithm>
#include <cctype>
#include <string>

#include "db/db.h"
#include "util/error.h"
#include "util/text.h"

namespace ordane::db {
namespace {

// The one table of "select <list> from <table> [where|order ...]", or "" when the query reads
// more than one table or is no plain select. Written by hand rather than as a regular
// expression so that a long statement cannot exhaust the stack.
std::string SingleTable(const std::string& sql) {
  std::string lower = LCase(sql);
  std::size_t i = lower.find_first_not_of(" \t\r\n");
  if (i == std::string::npos || lower.compare(i, 6, "select") != 0) return "";
  // The first " from " outside string literals.
  std::size_t from = std::string::npos;
  bool quoted = false;
  for (std::size_t k = i + 6; k + 6 <= lower.size(); ++k) {
    if (lower[k] == '\'') quoted = !quoted;
    if (!quoted && std::isspace(static_cast<unsigned char>(lower[k])) &&
        lower.compare(k + 1, 4, "from") == 0 && k + 5 < lower.size() &&
        std::isspace(static_cast<unsigned char>(lower[k + 5]))) {
      from = k + 5;
      break;
    }
  }
  if (from == std::string::npos) return "";
  std::size_t start = lower.find_first_not_of(" \t\r\n", from);
  if (start == std::string::npos) return "";
  std::size_t end = start;
  if (sql[start] == '[' || sql[start] == '"') {
    end = sql.find(sql[start] == '[' ? ']' : '"', start + 1);
    if (end == std::string::npos) return "";
    ++end;
  } else {
    while (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) ||
                                sql[end] == '_' || sql[end] == '.')) {
      ++end;
    }
  }
  std::string table = sql.substr(start, end - start);
  std::string rest =
      Trim(ReplaceAll(ReplaceAll(ReplaceAll(lower.substr(end), "\t", " "), "\r", " "), "\n", " "));
  if (!rest.empty() && rest != ";" && !rest.starts_with("where ") && !rest.starts_with("order ")) {
    return "";  // a join, a second table or something else after the table
  }
  if (rest.find(" join ") != std::string::npos) return "";
  if (table.empty()) return "";
  if (table.front() == '[' || table.front() == '"') table = table.substr(1, table.size() - 2);
  return table;
}

std::string QuoteName(std::string_view name) {
  return "\"" + ReplaceAll(name, "\"", "\"\"") + "\"";
}

}  // namespace

void Recordset::Open(const std::string& sql, Connection& c, CursorType, LockType lock,
                     CursorLocation) {
  Close();
  if (!c.IsOpen()) {
    // Let the connection say why it cannot run anything (never opened, closed or lost).
    c.Query("SELECT 1");
  }
  ResultSet rs = c.Query(sql);
  conn_ = &c;
  lock_ = lock;
  table_ = SingleTable(sql);
  columns_ = std::move(rs.columns);
  rows_ = std::move(rs.rows);
  pos_ = 0;
  bof_ = rows_.empty();
  adding_ = false;
  dirty_.assign(columns_.size(), false);
  if (!rows_.empty()) original_ = rows_[0];
  open_ = true;
}

void Recordset::Close() {
  open_ = false;
  conn_ = nullptr;
  columns_.clear();
  rows_.clear();
  dirty_.clear();
  original_.clear();
  adding_ = false;
  pos_ = 0;
  bof_ = false;
}

void Recordset::CheckOpen() const {
  if (!open_) throw Error(kErrClosedObject, "Operation is not allowed when the object is closed");
}

void Recordset::CheckRow() const {
  CheckOpen();
  if (pos_ >= rows_.size() || bof_) {
    throw Error(kErrEofOrBof, "Either BOF or EOF is True, or the current record has been deleted");
  }
}

bool Recordset::Eof() const {
  CheckOpen();
  return pos_ >= rows_.size();
}

bool Recordset::Bof() const {
  CheckOpen();
  return bof_ || rows_.empty();
}

std::size_t Recordset::RecordCount() const {
  CheckOpen();
  return rows_.size();
}

void Recordset::MoveNext() {
  CheckRow();
  if (adding_ || std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end()) Update();
  ++pos_;
  if (pos_ < rows_.size()) original_ = rows_[pos_];
}

void Recordset::MoveFirst() {
  CheckOpen();
  if (adding_ || std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end()) Update();
  pos_ = 0;
  bof_ = rows_.empty();
  if (!rows_.empty()) original_ = rows_[0];
}

void Recordset::MoveLast() {
  CheckOpen();
  if (adding_ || std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end()) Update();
  bof_ = rows_.empty();
  pos_ = rows_.empty() ? 0 : rows_.size() - 1;
  if (!rows_.empty()) original_ = rows_[pos_];
}

std::size_t Recordset::Column(std::string_view field) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (EqualsNoCase(columns_[i], field)) return i;
  }
  throw Error(kErrItemNotFound,
              "Item cannot be found in the collection corresponding to the requested name or "
              "ordinal: " +
                  std::string(field));
}

bool Recordset::HasField(std::string_view field) const {
  return std::any_of(columns_.begin(), columns_.end(),
                     [&](const std::string& c) { return EqualsNoCase(c, field); });
}

std::optional<std::string> Recordset::Value(std::string_view field) const {
  CheckOpen();
  std::size_t c = Column(field);
  CheckRow();
  return rows_[pos_][c];
}

std::string Recordset::Text(std::string_view field) const { return Value(field).value_or(""); }

std::string Recordset::Required(std::string_view field) const {
  auto v = Value(field);
  if (!v) throw Error(kErrInvalidUseOfNull, "Invalid use of Null: " + std::string(field));
  return *v;
}

void Recordset::AddNew() {
  CheckOpen();
  if (lock_ == LockType::kReadOnly) {
    throw Error(kErrNotSupported, "The recordset is read-only");
  }
  if (adding_ || std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end()) Update();
  rows_.emplace_back(columns_.size());
  pos_ = rows_.size() - 1;
  bof_ = false;
  adding_ = true;
  original_ = rows_[pos_];
  dirty_.assign(columns_.size(), false);
}

void Recordset::Set(std::string_view field, std::optional<std::string> value) {
  CheckOpen();
  std::size_t c = Column(field);
  CheckRow();
  if (lock_ == LockType::kReadOnly) {
    throw Error(kErrNotSupported, "The recordset is read-only");
  }
  rows_[pos_][c] = std::move(value);
  dirty_[c] = true;
}

void Recordset::CancelUpdate() {
  CheckOpen();
  if (adding_) {
    rows_.pop_back();
    adding_ = false;
    pos_ = rows_.size();
  } else if (pos_ < rows_.size()) {
    rows_[pos_] = original_;
  }
  dirty_.assign(columns_.size(), false);
}

void Recordset::Update() {
  CheckRow();
  bool any = std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end();
  if (!adding_ && !any) return;
  if (table_.empty()) {
    throw Error(kErrNotSupported, "Insufficient key column information for updating or refreshing");
  }
  const bool pg = conn_->backend() == Backend::kPostgres;
  const std::string table = QuoteName(pg ? LCase(table_) : table_);
  std::vector<std::optional<std::string>> params;
  std::string sql;
  auto& row = rows_[pos_];

  if (adding_) {
    std::string names, marks;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (!dirty_[c]) continue;
      if (!names.empty()) {
        names += ", ";
        marks += ", ";
      }
      names += QuoteName(columns_[c]);
      marks += "?";
      params.push_back(row[c]);
    }
    sql = names.empty()
              ? "INSERT INTO " + table + " DEFAULT VALUES RETURNING *"
              : "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ") RETURNING *";
  } else {
    std::string sets;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (!dirty_[c]) continue;
      if (!sets.empty()) sets += ", ";
      sets += QuoteName(columns_[c]) + " = ?";
      params.push_back(row[c]);
    }
    // The row is found by its primary key as read; a table without one (or a query that left
    // the key out) is matched on every column as read, one row only.
    std::vector<std::string> key = conn_->PrimaryKey(table_);
    bool by_key = !key.empty();
    std::vector<std::size_t> key_columns;
    for (const auto& k : key) {
      auto it = std::find_if(columns_.begin(), columns_.end(),
                             [&](const std::string& c) { return EqualsNoCase(c, k); });
      if (it == columns_.end() || !original_[it - columns_.begin()]) {
        by_key = false;
        break;
      }
      key_columns.push_back(it - columns_.begin());
    }
    if (!by_key) {
      key_columns.clear();
      for (std::size_t c = 0; c < columns_.size(); ++c) key_columns.push_back(c);
    }
    std::string where;
    for (std::size_t c : key_columns) {
      if (!where.empty()) where += " AND ";
      if (original_[c]) {
        where += QuoteName(columns_[c]) + " = ?";
        params.push_back(original_[c]);
      } else {
        where += QuoteName(columns_[c]) + " IS NULL";
      }
    }
    if (by_key) {
      sql = "UPDATE " + table + " SET " + sets + " WHERE " + where + " RETURNING *";
    } else {
      const char* id = pg ? "ctid" : "rowid";
      sql = "UPDATE " + table + " SET " + sets + " WHERE " + id + " = (SELECT " + id + " FROM " +
            table + " WHERE " + where + " LIMIT 1) RETURNING *";
    }
  }

  ResultSet back;
  try {
    back = conn_->QueryParams(sql, params);
    if (back.rows.empty()) {
      throw Error(kErrDbRowNotFound,
                  "Row cannot be located for updating. Some values may have been changed "
                  "since it was last read");
    }
  } catch (...) {
    // A change the database refused is dropped, so that the next move goes on to the next
    // row instead of trying the same write again and again.
    if (adding_) {
      rows_.pop_back();
      pos_ = rows_.size();
      adding_ = false;
    } else {
      row = original_;
    }
    dirty_.assign(columns_.size(), false);
    throw;
  }
  // The row as the database now holds it: defaults, generated keys and conversions included.
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    for (std::size_t b = 0; b < back.columns.size(); ++b) {
      if (EqualsNoCase(back.columns[b], columns_[c])) {
        row[c] = back.rows[0][b];
        break;
      }
    }
  }
  original_ = row;
  adding_ = false;
  dirty_.assign(columns_.size(), false);
}

}  // namespace ordane::db
