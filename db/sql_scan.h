// SQL text as tokens: what is a string literal, a quoted name, a comment or plain text, by the
// quoting rules of a backend. Every rewrite of a statement (bracketed names, "#" dates, the
// dialect translation) and the one-statement check stand on it, so that nothing inside a
// literal or a comment is ever changed or mistaken for a statement's end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"

namespace ordane::db {

enum class TokenKind {
  kSpace,        // blanks, tabs, line breaks
  kComment,      // "-- ..." to the end of the line, or "/* ... */"
  kString,       // '...' with doubled quotes inside (PostgreSQL: also E'...' and $tag$...$tag$)
  kQuotedName,   // "..." (SQLite: also `...`)
  kBracketName,  // [...]
  kWord,         // a name or keyword
  kNumber,       // 12, 1011.12, 1e5
  kSymbol,       // any other single character: ( ) , ; = # ...
};

struct SqlToken {
  TokenKind kind;
  std::string_view text;  // a view into the scanned text, quotes and brackets included
};

// Splits `sql` into tokens whose texts, joined, give `sql` back. `dialect` picks the quoting
// rules: kPostgres adds E'...' strings with backslash escapes, dollar-quoted strings and
// nested block comments; kSqlite adds `...` names; kNone is what both share. A literal or
// comment that is not closed runs to the end of the text.
std::vector<SqlToken> TokenizeSql(std::string_view sql, Backend dialect);

// True when `sql` holds more than one statement: anything other than blanks, comments and
// semicolons after the first semicolon outside literals and comments. A trailing ";" alone
// is one statement.
bool HasSecondStatement(std::string_view sql, Backend dialect);

}  // namespace ordane::db
