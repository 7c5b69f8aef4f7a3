// The connection the driver holds: it chooses the backend from the connection string at Open
// and keeps the rules that do not depend on the backend (never opened, closed, lost).
#include <cctype>
#include <map>
#include <optional>
#include <regex>
#include <string>

#include "db/backend.h"
#include "db/db.h"
#include "db/errors.h"
#include "util/text.h"

namespace ordane::db {
namespace {

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}

// "#...#" contents to an ISO literal, or "" when it is not a date.
std::string DateLiteral(const std::string& body) {
  if (body.size() > 40) return "";
  static const std::regex kUs(
      R"(\s*(\d{1,2})/(\d{1,2})/(\d{4})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?)?\s*)");
  static const std::regex kIso(
      R"(\s*(\d{4})-(\d{1,2})-(\d{1,2})(?:\s+(\d{1,2}):(\d{2})(?::(\d{2}))?)?\s*)");
  std::smatch m;
  std::string y, mo, d, h, mi, s;
  if (std::regex_match(body, m, kUs)) {
    mo = m[1];
    d = m[2];
    y = m[3];
  } else if (std::regex_match(body, m, kIso)) {
    y = m[1];
    mo = m[2];
    d = m[3];
  } else {
    return "";
  }
  std::string out = "'" + y + "-" + ZeroPad(std::stoi(mo), 2) + "-" + ZeroPad(std::stoi(d), 2);
  if (m[4].matched) {
    out += " " + ZeroPad(std::stoi(m[4]), 2) + ":" + m[5].str() + ":" +
           (m[6].matched ? m[6].str() : std::string("00"));
  }
  return out + "'";
}

class DispatchConnection final : public Connection {
 public:
  void Open(const std::string& cxn, const std::string& user, const std::string& pw) override {
    Close();
    std::string text = Trim(cxn);
    Backend kind = BackendOf(text);
    if (kind == Backend::kNone) {
      throw Error(kErrDbUnspecified, "Unrecognised connection string: \"" + text + "\"");
    }
    if (kind == Backend::kSqlite) {
      std::string target = text;
      if (LCase(Left(text, 7)) == "sqlite:") target = text.substr(7);
      // "sqlite:///abs/path" and "sqlite://abs" are accepted as well as "sqlite:/abs/path".
      if (target.starts_with("//")) target = target.substr(2);
      impl_ = OpenSqlite(target);
    } else {
      std::string conninfo = text;
      if (LCase(Left(text, 3)) == "pg:") conninfo = text.substr(3);
      impl_ = OpenPostgres(conninfo, user, pw);
    }
    kind_ = kind;
    ever_opened_ = true;
    lost_ = false;
  }

  void Execute(const std::string& sql) override {
    Run([&] { impl_->Execute(OneStatement(sql)); });
  }

  ResultSet Query(const std::string& sql) override {
    ResultSet rs;
    Run([&] { rs = impl_->Query(OneStatement(sql)); });
    return rs;
  }

  ResultSet QueryParams(const std::string& sql,
                        const std::vector<std::optional<std::string>>& params) override {
    ResultSet rs;
    Run([&] { rs = impl_->QueryParams(OneStatement(sql), params); });
    return rs;
  }

  std::vector<std::string> PrimaryKey(const std::string& table) override {
    // Asked once per table and connection: recordset updates ask on every row.
    std::string name = LCase(table);
    if (auto it = keys_.find(name); it != keys_.end() && IsOpen()) return it->second;
    std::vector<std::string> key;
    Run([&] { key = impl_->PrimaryKey(kind_ == Backend::kPostgres ? name : table); });
    keys_[name] = key;
    return key;
  }

  void Close() override {
    impl_.reset();
    keys_.clear();
    lost_ = false;
  }
  bool IsOpen() const override { return impl_ != nullptr && !lost_; }
  Backend backend() const override { return kind_; }

  std::string Prepare(std::string_view sql) const override {
    std::string text = sql.find('#') == std::string_view::npos ? std::string(sql)
                                                               : RewriteDateLiterals(sql, kind_);
    if (kind_ == Backend::kPostgres) return RewriteBrackets(text);
    return text;
  }

 private:
  // The statement as the backend will run it, or the refusal of a text that holds a second
  // statement (the texts are built from panel and file data: this is the net under them).
  // Each backend checks again by its own parser.
  std::string OneStatement(const std::string& sql) const {
    std::string text = Prepare(sql);
    if (HasSecondStatement(text, kind_)) throw MultipleStatementsError(sql);
    return text;
  }

  // Runs one backend call. A connection whose server has gone stays unusable afterwards: the
  // failing call reports the server's loss, every later call reports an invalid object, which
  // is what ends the driver's loops over the database.
  template <class F>
  void Run(F&& f) {
    if (impl_ == nullptr || lost_) throw NotOpenError(ever_opened_, lost_);
    try {
      f();
    } catch (const Error& e) {
      if (IsLost(e) || impl_->Broken()) lost_ = true;
      throw;
    } catch (...) {
      if (impl_->Broken()) lost_ = true;
      throw;
    }
  }

  std::unique_ptr<BackendConnection> impl_;
  std::map<std::string, std::vector<std::string>> keys_;
  Backend kind_ = Backend::kNone;
  bool ever_opened_ = false;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<Connection> NewConnection() { return std::make_unique<DispatchConnection>(); }

Backend BackendOf(std::string_view cxn) {
  std::string text = LCase(Trim(cxn));
  if (text.starts_with("postgresql://") || text.starts_with("postgres://") ||
      text.starts_with("pg:")) {
    return Backend::kPostgres;
  }
  if (text.starts_with("sqlite:")) return Backend::kSqlite;
  // A bare path names an SQLite file.
  if (!text.empty() && text.find("://") == std::string::npos &&
      text.find('=') == std::string::npos) {
    return Backend::kSqlite;
  }
  return Backend::kNone;
}

namespace {

// `sql` with every run open...close outside string literals and comments handed to `replace`;
// a run for which it returns nullopt stays as written.
template <class F>
std::string RewriteDelimited(std::string_view sql, Backend dialect, char open, char close,
                             F&& replace) {
  std::string out;
  out.reserve(sql.size());
  ScanSql(
      sql, dialect,
      [&](std::string_view plain) {
        std::size_t i = 0;
        while (i < plain.size()) {
          std::size_t end;
          if (plain[i] == open && (end = plain.find(close, i + 1)) != std::string_view::npos) {
            if (std::optional<std::string> text = replace(plain.substr(i + 1, end - i - 1))) {
              out += *text;
              i = end + 1;
              continue;
            }
          }
          out += plain[i++];
        }
      },
      [&](std::string_view quoted) { out += quoted; });
  return out;
}

}  // namespace

std::string RewriteDateLiterals(std::string_view sql, Backend dialect) {
  return RewriteDelimited(sql, dialect, '#', '#',
                          [](std::string_view inner) -> std::optional<std::string> {
                            std::string iso = DateLiteral(std::string(inner));
                            if (iso.empty()) return std::nullopt;
                            return iso;
                          });
}

std::string BracketedName(std::string_view inner) {
  std::string name = LCase(inner);
  bool simple = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
  for (char c : name) simple = simple && IsNameChar(c);
  if (simple) return name;
  // A name with blanks or other characters stays one name as a quoted identifier.
  return "\"" + ReplaceAll(name, "\"", "\"\"") + "\"";
}

std::string RewriteBrackets(std::string_view sql) {
  std::string out;
  out.reserve(sql.size());
  for (const SqlToken& t : TokenizeSql(sql, Backend::kPostgres)) {
    if (t.kind == TokenKind::kBracketName) {
      out += BracketedName(t.text.substr(1, t.text.size() - 2));
    } else {
      out += t.text;
    }
  }
  return out;
}

}  // namespace ordane::db
