// Fuzz target for the command texts that other programs and people hand the driver: the
// command message parser and the command file reader. Whatever the bytes, a message is either
// refused or names a panel slot of the table, the arguments come from the message, and a
// command file's fields never hold more than the file did.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "commands/command_text.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckMessage(std::string_view message) {
  const ordane::CommandMessage m = ordane::ParseCommandMessage(message);
  if (m.refused) {
    Check(!m.error.empty());
    return;
  }
  Check(m.slot >= 0 && m.slot < ordane::kCommandSlots);
  Check(m.arguments.size() <= message.size());
  Check(m.arguments.find('\0') == std::string::npos);
  Check(m.arguments.empty() || (m.arguments.front() != ' ' && m.arguments.back() != ' '));
  Check(message.substr(0, message.find('\0')).find(m.arguments) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckMessage(input);
  std::size_t total = 0;
  for (const std::string& field : ordane::ReadCommandFields(input)) {
    total += field.size();
    CheckMessage(field);
    (void)ordane::CommandKind(field);
  }
  Check(total <= input.size());
  return 0;
}
