// The one error type of the driver: a number in the numbering the routines test (the database
// layer's and the runtime's) and a description for the error list.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ordane {

// Error numbers the driver reacts to.
inline constexpr std::int64_t kErrOverflow = 6;             // a number does not fit its field
inline constexpr std::int64_t kErrSubscript = 9;            // index outside a fixed table
inline constexpr std::int64_t kErrFileNotFound = 53;
inline constexpr std::int64_t kErrInputPastEnd = 62;        // reading past the end of a file
inline constexpr std::int64_t kErrPathAccess = 75;
inline constexpr std::int64_t kErrObjectNotSet = 91;        // connection never opened
inline constexpr std::int64_t kErrObjectInvalid = 3420;     // object no longer valid
inline constexpr std::int64_t kErrClosedObject = 3704;      // operation on a closed object
inline constexpr std::int64_t kErrEofOrBof = 3021;          // no current record
inline constexpr std::int64_t kErrItemNotFound = 3265;      // no such field
inline constexpr std::int64_t kErrInvalidUseOfNull = 94;    // a NULL read where a value must be
inline constexpr std::int64_t kErrNotSupported = 3251;      // the recordset cannot do this
// The two numbers that mean "the database has gone away" (with SqlServerMode 1 the error
// reporter stops the driver on either). The database layer gives 80004005 for a lost or
// unreachable database and never gives 80040E4A.
inline constexpr std::int64_t kErrDbUnspecified = 0x80004005;  // server lost or unreachable
inline constexpr std::int64_t kErrDbCommand = 0x80040E4A;
// Statements a reachable database refuses; the routine reports them and goes on.
inline constexpr std::int64_t kErrDbStatement = 0x80040E14;    // syntax, unknown table or column
inline constexpr std::int64_t kErrDbConversion = 0x80040E07;   // a value of the wrong type
inline constexpr std::int64_t kErrDbPermission = 0x80040E09;   // permission denied
inline constexpr std::int64_t kErrDbFailed = 0x80040E21;       // any other refused statement
inline constexpr std::int64_t kErrDbMultiple = 0x80040E2E;     // a second statement in one text
inline constexpr std::int64_t kErrDbIntegrity = 0x80040E2F;    // unique, key, not null, check
inline constexpr std::int64_t kErrDbAborted = 0x80040E31;      // deadlock, lock wait, time limit
inline constexpr std::int64_t kErrDbRowNotFound = 0x80040E38;  // the row to update is not there
inline constexpr std::int64_t kErrDbTooLong = 0x80040E57;      // value too long or out of range
inline constexpr std::int64_t kErrGeneric = 5;              // invalid call or argument

class Error : public std::runtime_error {
 public:
  Error(std::int64_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  std::int64_t number() const { return number_; }

 private:
  std::int64_t number_;
};

// How error numbers are shown: the database numbers as eight hexadecimal digits
// ("80004005"), the small runtime numbers in decimal ("91").
std::string FormatErrorNumber(std::int64_t number);

}  // namespace ordane
