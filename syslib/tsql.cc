#include "syslib/tsql.h"

#include <cctype>
#include <regex>

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

// Replaces whole-word `word` (case-insensitive) in a run of plain SQL.
std::string ReplaceWord(const std::string& plain, const std::regex& re, const char* with) {
  return std::regex_replace(plain, re, with);
}

}  // namespace

std::string TranslateSql(std::string_view sql, int dialect, db::Backend target) {
  static const std::regex kToDate(R"(to_date\s*\(\s*'([^']*)'\s*,\s*'([^']*)'\s*\))",
                                  std::regex::icase);
  static const std::regex kNow(R"(\b(getdate\s*\(\s*\)|now\s*\(\s*\)|sysdate\b))",
                               std::regex::icase);
  static const std::regex kNull(R"(\b(isnull|nvl)\s*\()", std::regex::icase);

  // To_Date spans string literals, so it is done on the whole text first.
  std::string text(sql);
  {
    std::string out;
    auto begin = std::sregex_iterator(text.begin(), text.end(), kToDate);
    std::size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
      std::string iso = ToDateIso((*it)[1], (*it)[2]);
      out += text.substr(last, it->position() - last);
      out += iso.empty() ? it->str() : iso;
      last = it->position() + it->length();
    }
    text = db::RewriteDateLiterals(out + text.substr(last));
  }

  // Then, outside string literals: functions and brackets.
  std::string out;
  std::string plain;
  auto flush = [&] {
    if (plain.empty()) return;
    std::string p = ReplaceWord(plain, kNow, "CURRENT_TIMESTAMP");
    p = ReplaceWord(p, kNull, "COALESCE(");
    if (target == db::Backend::kPostgres) p = db::RewriteBrackets(p);
    out += p;
    plain.clear();
  };
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      flush();
      std::size_t j = i + 1;
      while (j < text.size()) {
        if (text[j] == c) {
          if (j + 1 < text.size() && text[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      std::size_t end = j < text.size() ? j + 1 : text.size();
      out.append(text, i, end - i);
      i = end;
    } else {
      plain += c;
      ++i;
    }
  }
  flush();
  (void)dialect;
  return out;
}

}  // namespace ordane
