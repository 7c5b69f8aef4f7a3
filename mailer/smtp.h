// Handing a message to the SMTP server that the settings name, through libcurl.
//
// Settings, section "OS" of the settings file:
//   SMTP_Server    smtp://host[:port] (STARTTLS when the server offers it) or smtps://host[:port]
//   SMTP_From      the sender's address; default "ordane@" and the host name
//   SMTP_User      user name for the server's login (only ever sent over TLS); none when empty
//   SMTP_Password  its password, sealed like the database passwords ("ordanectl scramble")
//   SMTP_TLS       1: refuse to send without TLS; 0 or empty: TLS when the server offers it
//   SMTP_Timeout   seconds for the whole exchange, 1 to 600; default 30
#pragma once

#include <string>
#include <vector>

#include "syslib/syslib.h"

namespace ordane::mailer {

struct SmtpSettings {
  std::string server;
  std::string from;
  std::string user;
  std::string password;  // opened
  bool require_tls = false;
  long timeout_seconds = 30;
};

// This computer's name in lower case, "localhost" when it has none: the default sender's
// domain and the right side of message ids.
std::string HostName();

// Reads the settings above through `lib`; false with *why (one line naming the setting) when
// the server is missing or not an smtp:// or smtps:// address, the sender is not an address,
// or the sealed password does not open.
bool ReadSmtpSettings(SystemLibrary& lib, SmtpSettings* settings, std::string* why);

// Sends `message` (headers and body, CR LF lines) to `recipients`. True once the server has
// accepted it for every recipient; false with *why (one line: what failed and the server's
// answer) when it refused, could not be reached or did not answer in time.
bool SendMail(const SmtpSettings& settings, const std::vector<std::string>& recipients,
              const std::string& message, std::string* why);

}  // namespace ordane::mailer
