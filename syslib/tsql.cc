#include "syslib/tsql.h"

#include <cctype>
#include <optional>
#include <utility>
#include <vector>

#include "db/sql_scan.h"
#include "util/text.h"

namespace ordane {
namespace {

// To_Date's text read by its format (YYYY, MM, DD, HH24, HH, MI, SS; other characters are
// separators); the ISO text, or "" when they do not agree.
std::string ToDateIso(const std::string& text, const std::string& format) {
  std::string f = UCase(format);
  std::string y, mo, d, h, mi, s;
  std::size_t t = 0, i = 0;
  auto take = [&](std::string& into, std::size_t max) {
    std::size_t start = t;
    while (t < text.size() && t - start < max && std::isdigit(static_cast<unsigned char>(text[t])))
      ++t;
    into = text.substr(start, t - start);
    return !into.empty();
  };
  while (i < f.size()) {
    if (f.compare(i, 4, "YYYY") == 0) {
      if (!take(y, 4)) return "";
      i += 4;
    } else if (f.compare(i, 4, "HH24") == 0) {
      if (!take(h, 2)) return "";
      i += 4;
    } else if (f.compare(i, 2, "MM") == 0) {
      if (!take(mo, 2)) return "";
      i += 2;
    } else if (f.compare(i, 2, "DD") == 0) {
      if (!take(d, 2)) return "";
      i += 2;
    } else if (f.compare(i, 2, "HH") == 0) {
      if (!take(h, 2)) return "";
      i += 2;
    } else if (f.compare(i, 2, "MI") == 0) {
      if (!take(mi, 2)) return "";
      i += 2;
    } else if (f.compare(i, 2, "SS") == 0) {
      if (!take(s, 2)) return "";
      i += 2;
    } else {
      if (t >= text.size()) return "";
      ++t;
      ++i;
    }
  }
  auto two = [](const std::string& v) {
    return v.empty() ? std::string("00") : ZeroPad(std::stoi(v), 2);
  };
  std::string time = two(h) + ":" + two(mi) + ":" + two(s);
  if (y.empty()) return "'" + time + "'";
  std::string date = y + "-" + two(mo) + "-" + two(d);
  return "'" + date + (h.empty() && mi.empty() && s.empty() ? "" : " " + time) + "'";
}

// The text of a '...' literal without its quotes, doubled quotes made single; nullopt for any
// other token (an escape string, a dollar-quoted string).
std::optional<std::string> LiteralText(const db::SqlToken& t) {
  if (t.kind != db::TokenKind::kString || t.text.size() < 2 || t.text.front() != '\'' ||
      t.text.back() != '\'') {
    return std::nullopt;
  }
  return ReplaceAll(t.text.substr(1, t.text.size() - 2), "''", "'");
}

class Tokens {
 public:
  explicit Tokens(std::vector<db::SqlToken> tokens) : t_(std::move(tokens)) {}
  std::size_t size() const { return t_.size(); }
  const db::SqlToken& operator[](std::size_t i) const { return t_[i]; }
  // The index of the first token from `i` on that is neither blank nor a comment.
  std::size_t Skip(std::size_t i) const {
    while (i < t_.size() &&
           (t_[i].kind == db::TokenKind::kSpace || t_[i].kind == db::TokenKind::kComment)) {
      ++i;
    }
    return i;
  }
  bool IsSymbol(std::size_t i, char c) const {
    return i < t_.size() && t_[i].kind == db::TokenKind::kSymbol && t_[i].text[0] == c;
  }

 private:
  std::vector<db::SqlToken> t_;
};

// The end (one past ")") of "To_Date ( 'text' , 'format' )" whose name is at `i`, with the ISO
// literal it stands for; 0 when the call has another shape or the text does not fit the format.
std::size_t ToDateCall(const Tokens& t, std::size_t i, std::string* iso) {
  std::size_t a = t.Skip(i + 1);
  if (!t.IsSymbol(a, '(')) return 0;
  std::size_t text = t.Skip(a + 1);
  std::size_t comma = t.Skip(text + 1);
  std::size_t format = t.Skip(comma + 1);
  std::size_t close = t.Skip(format + 1);
  if (format >= t.size() || !t.IsSymbol(comma, ',') || !t.IsSymbol(close, ')')) return 0;
  auto value = LiteralText(t[text]);
  auto shape = LiteralText(t[format]);
  if (!value || !shape) return 0;
  *iso = ToDateIso(*value, *shape);
  return iso->empty() ? 0 : close + 1;
}

// The end of "name ( )" whose name is at `i`, or 0.
std::size_t EmptyCall(const Tokens& t, std::size_t i) {
  std::size_t open = t.Skip(i + 1);
  if (!t.IsSymbol(open, '(')) return 0;
  std::size_t close = t.Skip(open + 1);
  return t.IsSymbol(close, ')') ? close + 1 : 0;
}

}  // namespace

std::string TranslateSql(std::string_view sql, int dialect, db::Backend target) {
  (void)dialect;  // every construct is translated whatever the dialect (see tsql.h)
  const db::Backend rules = target == db::Backend::kPostgres ? target : db::Backend::kNone;
  Tokens t(db::TokenizeSql(sql, rules));
  std::string out;
  out.reserve(sql.size());
  for (std::size_t i = 0; i < t.size();) {
    const db::SqlToken& token = t[i];
    if (token.kind == db::TokenKind::kWord) {
      std::string word = LCase(token.text);
      std::string iso;
      std::size_t end = 0;
      if (word == "to_date" && (end = ToDateCall(t, i, &iso)) != 0) {
        out += iso;
        i = end;
        continue;
      }
      if ((word == "getdate" || word == "now") && (end = EmptyCall(t, i)) != 0) {
        out += "CURRENT_TIMESTAMP";
        i = end;
        continue;
      }
      if (word == "sysdate") {
        out += "CURRENT_TIMESTAMP";
        ++i;
        continue;
      }
      if ((word == "isnull" || word == "nvl") && t.IsSymbol(t.Skip(i + 1), '(')) {
        out += "COALESCE(";
        i = t.Skip(i + 1) + 1;
        continue;
      }
    } else if (token.kind == db::TokenKind::kBracketName && target == db::Backend::kPostgres) {
      out += db::BracketedName(token.text.substr(1, token.text.size() - 2));
      ++i;
      continue;
    }
    out += token.text;
    ++i;
  }
  // "#...#" dates last: nothing above writes a "#".
  return db::RewriteDateLiterals(out, rules);
}

}  // namespace ordane
