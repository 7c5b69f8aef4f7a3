// The dialect translation behind SystemLibrary::TSQL, as a plain function.
#pragma once

#include <string>
#include <string_view>

#include "db/db.h"

namespace ordane {

// Translates `sql`, written in `dialect` (the SQL_Server setting: 0 "#...#" date literals,
// 1 SQL Server, 2 "To_Date(...)" and NVL/SYSDATE), into SQL for `target`:
//  - "#mm/dd/yyyy[ hh:nn:ss]#" and "#yyyy-mm-dd[ hh:nn:ss]#" become 'yyyy-mm-dd[ hh:nn:ss]';
//  - To_Date('text','format') becomes the quoted ISO text ('hh:nn:ss' for a time format);
//  - getdate(), SYSDATE and Now() become CURRENT_TIMESTAMP; ISNULL( and NVL( become COALESCE(;
//  - for PostgreSQL, bracketed names become lower-case plain names.
// The translation works on the statement's tokens (db/sql_scan.h): string literals, quoted
// names and comments are never changed, and To_Date is translated only when its two arguments
// are whole literals. Every construct is translated whatever the dialect, since
// a statement may mix them; `dialect` only decides how an ambiguous date ("#01/02/2026#") is
// read, which is month first in every dialect the system has.
std::string TranslateSql(std::string_view sql, int dialect, db::Backend target);

}  // namespace ordane
