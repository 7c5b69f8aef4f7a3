#include "db/sql_scan.h"

#include <cctype>

namespace ordane::db {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool IsNamePart(char c) { return IsNameStart(c) || IsDigit(c) || c == '$'; }

// The end of a quoted run that starts at `i` (the opening quote) and ends at `close`, where a
// doubled `close` stays inside; with `backslash`, a backslash takes the next character.
std::size_t QuotedEnd(std::string_view s, std::size_t i, char close, bool backslash) {
  std::size_t j = i + 1;
  while (j < s.size()) {
    if (backslash && s[j] == '\\') {
      j += 2;
      continue;
    }
    if (s[j] == close) {
      if (j + 1 < s.size() && s[j + 1] == close) {
        j += 2;
        continue;
      }
      return j + 1;
    }
    ++j;
  }
  return s.size();
}

// The length of a dollar-quote tag ("$$", "$body$") starting at `i`, or 0 when there is none.
std::size_t DollarTag(std::string_view s, std::size_t i) {
  std::size_t j = i + 1;
  if (j < s.size() && IsNameStart(s[j])) {
    while (j < s.size() && IsNamePart(s[j]) && s[j] != '$') ++j;
  }
  return j < s.size() && s[j] == '$' ? j + 1 - i : 0;
}

}  // namespace

std::vector<SqlToken> TokenizeSql(std::string_view s, Backend dialect) {
  const bool pg = dialect == Backend::kPostgres;
  const bool lite = dialect == Backend::kSqlite;
  std::vector<SqlToken> out;
  std::size_t i = 0;
  auto emit = [&](TokenKind kind, std::size_t end) {
    out.push_back({kind, s.substr(i, end - i)});
    i = end;
  };
  while (i < s.size()) {
    const char c = s[i];
    const char next = i + 1 < s.size() ? s[i + 1] : '\0';
    if (IsSpace(c)) {
      std::size_t j = i;
      while (j < s.size() && IsSpace(s[j])) ++j;
      emit(TokenKind::kSpace, j);
    } else if (c == '-' && next == '-') {
      std::size_t j = s.find('\n', i);
      emit(TokenKind::kComment, j == std::string_view::npos ? s.size() : j);
    } else if (c == '/' && next == '*') {
      // PostgreSQL nests block comments; SQLite ends one at the first "*/".
      std::size_t j = i + 2;
      int depth = 1;
      while (j < s.size() && depth > 0) {
        if (s[j] == '*' && j + 1 < s.size() && s[j + 1] == '/') {
          --depth;
          j += 2;
        } else if (pg && s[j] == '/' && j + 1 < s.size() && s[j + 1] == '*') {
          ++depth;
          j += 2;
        } else {
          ++j;
        }
      }
      emit(TokenKind::kComment, j);
    } else if (c == '\'') {
      emit(TokenKind::kString, QuotedEnd(s, i, '\'', false));
    } else if (pg && (c == 'E' || c == 'e') && next == '\'' && (i == 0 || !IsNamePart(s[i - 1]))) {
      // An escape string: a backslash takes the next character, quote included.
      emit(TokenKind::kString, QuotedEnd(s, i + 1, '\'', true));
    } else if (c == '"' || (lite && c == '`')) {
      emit(TokenKind::kQuotedName, QuotedEnd(s, i, c, false));
    } else if (c == '[') {
      std::size_t j = s.find(']', i + 1);
      if (j == std::string_view::npos) {
        emit(TokenKind::kSymbol, i + 1);
      } else {
        emit(TokenKind::kBracketName, j + 1);
      }
    } else if (pg && c == '$' && DollarTag(s, i) > 0) {
      std::size_t tag = DollarTag(s, i);
      std::size_t j = s.find(s.substr(i, tag), i + tag);
      emit(TokenKind::kString, j == std::string_view::npos ? s.size() : j + tag);
    } else if (IsNameStart(c)) {
      std::size_t j = i;
      while (j < s.size() && IsNamePart(s[j])) ++j;
      emit(TokenKind::kWord, j);
    } else if (IsDigit(c) || (c == '.' && IsDigit(next))) {
      std::size_t j = i;
      while (j < s.size() && (IsDigit(s[j]) || s[j] == '.')) ++j;
      if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < s.size() && IsDigit(s[k])) {
          while (k < s.size() && IsDigit(s[k])) ++k;
          j = k;
        }
      }
      emit(TokenKind::kNumber, j);
    } else {
      emit(TokenKind::kSymbol, i + 1);
    }
  }
  return out;
}

bool HasSecondStatement(std::string_view sql, Backend dialect) {
  bool ended = false;
  for (const SqlToken& t : TokenizeSql(sql, dialect)) {
    if (t.kind == TokenKind::kSpace || t.kind == TokenKind::kComment) continue;
    if (t.kind == TokenKind::kSymbol && t.text == ";") {
      ended = true;
    } else if (ended) {
      return true;
    }
  }
  return false;
}

}  // namespace ordane::db
