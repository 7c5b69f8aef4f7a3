#include "util/error.h"

#include <cstdio>

namespace ordane {

std::string FormatErrorNumber(std::int64_t number) {
  if (number >= 0x10000) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(number));
    return buf;
  }
  return std::to_string(number);
}

}  // namespace ordane
