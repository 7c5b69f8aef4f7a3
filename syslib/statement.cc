#include "syslib/statement.h"

#include <sodium.h>

namespace ordane {

std::string PackStatement(std::string_view identity, std::string_view statement) {
  std::string out = "ID ";
  for (char c : identity) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
  out += '\n';
  out += statement;
  return out;
}

std::optional<StatementText> UnpackStatement(std::string_view text) {
  if (text.substr(0, 3) != "ID ") return std::nullopt;
  const auto lf = text.find('\n');
  if (lf == std::string_view::npos) return std::nullopt;
  StatementText out{std::string(text.substr(3, lf - 3)), std::string(text.substr(lf + 1))};
  while (!out.statement.empty() && (out.statement.back() == '\n' || out.statement.back() == '\r'))
    out.statement.pop_back();
  if (out.identity.find_first_not_of(' ') == std::string::npos) return std::nullopt;
  if (out.statement.find_first_not_of(" \t\r\n") == std::string::npos) return std::nullopt;
  return out;
}

std::string IdentityKey(std::string_view identity) {
  if (identity.size() <= 128) return std::string(identity);
  unsigned char hash[32];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(identity.data()),
                     identity.size(), nullptr, 0);
  static const char* digits = "0123456789abcdef";
  std::string out = "h:";
  for (unsigned char b : hash) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace ordane
