// The text inside the seal of a statement file: the identity that names the event the statement
// stores, and the statement. The event service stores each identity once, so a statement file
// written again (a driver that restarted before its panel's acknowledgement went out) never
// stores its event twice.
//
//   "ID " identity LF statement
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ordane {

struct StatementText {
  std::string identity;
  std::string statement;
};

// The envelope of `statement` named `identity`. Line ends and other control characters in the
// identity are replaced by blanks, so it stays one line.
std::string PackStatement(std::string_view identity, std::string_view statement);
// The identity and statement of an envelope; nullopt when `text` is not one (no "ID " line, an
// empty identity or an empty statement).
std::optional<StatementText> UnpackStatement(std::string_view text);

// The key under which an identity is recorded: the identity itself up to 128 characters, a
// longer one (an event file's name and content) as "h:" and 64 hexadecimal digits of its hash.
std::string IdentityKey(std::string_view identity);

}  // namespace ordane
