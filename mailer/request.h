// An e-mail request as the driver leaves it for odn_shell: an INI file with section "OS" and the
// keys "Command" ("EMail"), "To", "Subject" and "Body", where "~vbcrlf~" in the body marks a
// line break. This file reads one and turns it into the message that goes to the SMTP server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ordane::mailer {

struct MailRequest {
  std::vector<std::string> recipients;  // plain addresses, in the order given
  std::string subject;
  std::string body;  // lines ended by CR LF where the request marked them
};

// The request in `text`; false with *why (one line) when it is not an e-mail request, names no
// valid recipient, or is otherwise unusable. Several recipients are separated by "," or ";".
bool ParseRequest(std::string_view text, MailRequest* request, std::string* why);

// The addresses of a "To" text; false with *why naming the first one that is not a plain
// address (local part "@" domain, no blanks, quotes, brackets or control characters).
bool SplitRecipients(std::string_view to, std::vector<std::string>* out, std::string* why);

// The body text with each "~vbcrlf~" made a line break, and every other line break (CR, LF or
// CR LF) made CR LF too.
std::string BodyLines(std::string_view marked);

// What goes around the request in the message.
struct Envelope {
  std::string from;        // the sender's address
  std::string date;        // RFC 5322 date text
  std::string message_id;  // without the angle brackets
};

// The whole message as the SMTP server is given it: headers and body, every line ended by
// CR LF and at most 998 characters long (the limit of SMTP), printable US-ASCII only. A subject or body that
// is not plain ASCII is encoded (the subject as encoded words, the body as quoted-printable),
// declared UTF-8 when it is valid UTF-8 and windows-1252 otherwise.
std::string ComposeMessage(const MailRequest& request, const Envelope& envelope);

}  // namespace ordane::mailer
