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
inline constexpr std::int64_t kErrDbUnspecified = 0x80004005;  // server lost or unreachable
inline constexpr std::int64_t kErrDbCommand = 0x80040E4A;      // statement failed at the server
inline constexpr std::int64_t kErrDbStatement = 0x80040E14;    // statement rejected (syntax)
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
