#include "mailer/request.h"

#include <sodium.h>

#include <cstdint>

#include "util/ini.h"
#include "util/text.h"

namespace ordane::mailer {

namespace {

constexpr std::string_view kLineMark = "~vbcrlf~";
constexpr std::size_t kMaxAddress = 254;

bool PrintableAscii(unsigned char c) { return c >= 0x20 && c < 0x7f; }

bool AllPrintable(std::string_view s) {
  for (unsigned char c : s)
    if (!PrintableAscii(c)) return false;
  return true;
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return false;
    i += extra + 1;
  }
  return true;
}

const char* Charset(std::string_view s) { return ValidUtf8(s) ? "UTF-8" : "windows-1252"; }

std::string Base64(std::string_view in) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  std::string out(sodium_base64_encoded_len(in.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes, in.size(), sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the terminating NUL
  return out;
}

// The subject as one header: itself when it is short printable ASCII, else encoded words of at
// most 45 bytes each (60 base64 characters), one per folded line, never splitting a UTF-8
// character between two words.
std::string SubjectHeader(std::string_view subject) {
  if (AllPrintable(subject) && subject.size() <= 900) return "Subject: " + std::string(subject);
  const std::string charset = Charset(subject);
  const bool utf8 = charset == "UTF-8";
  std::string out = "Subject:";
  std::size_t i = 0;
  do {
    std::size_t n = std::min<std::size_t>(45, subject.size() - i);
    while (utf8 && n > 0 && i + n < subject.size() &&
           (static_cast<unsigned char>(subject[i + n]) & 0xC0) == 0x80)
      --n;
    if (i != 0) out += "\r\n";
    out += " =?" + charset + "?B?" + Base64(subject.substr(i, n)) + "?=";
    i += n;
  } while (i < subject.size());
  return out;
}

// Quoted-printable (RFC 2045): lines of at most 76 characters, soft breaks "=" at their end.
std::string QuotedPrintable(std::string_view body) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out, line;
  auto flush_soft = [&] {
    out += line + "=\r\n";
    line.clear();
  };
  for (std::size_t i = 0; i < body.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
      // A blank or tab before a line break is encoded, so that no transport strips it.
      if (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
        const char last = line.back();
        line.pop_back();
        const std::string enc = {'=', kHex[static_cast<unsigned char>(last) >> 4],
                                 kHex[static_cast<unsigned char>(last) & 15]};
        if (line.size() + enc.size() > 76) flush_soft();
        line += enc;
      }
      out += line + "\r\n";
      line.clear();
      ++i;
      continue;
    }
    std::string enc;
    if ((PrintableAscii(c) && c != '=') || c == '\t')
      enc = std::string(1, static_cast<char>(c));
    else
      enc = {'=', kHex[c >> 4], kHex[c & 15]};
    if (line.size() + enc.size() > 75) flush_soft();
    line += enc;
  }
  if (!line.empty()) {
    if (line.back() == ' ' || line.back() == '\t') line += "=";  // soft break keeps the blank
    out += line + "\r\n";
  }
  return out;
}

bool NeedsEncoding(std::string_view body) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
      if (i > 0 && (body[i - 1] == ' ' || body[i - 1] == '\t')) return true;
      run = 0;
      ++i;
      continue;
    }
    if (!PrintableAscii(c) && c != '\t') return true;
    if (++run > 76) return true;
  }
  return false;
}

bool PlainAddress(std::string_view a) {
  if (a.empty() || a.size() > kMaxAddress) return false;
  const std::size_t at = a.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == a.size()) return false;
  for (unsigned char c : a)
    if (!PrintableAscii(c) || c == ' ' || c == '"' || c == '<' || c == '>' || c == '(' ||
        c == ')' || c == ',' || c == ';' || c == ':' || c == '\\' || c == '[' || c == ']')
      return false;
  return true;
}

}  // namespace

std::string BodyLines(std::string_view marked) {
  std::string text = ReplaceAll(std::string(marked), std::string(kLineMark), "\n");
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

bool SplitRecipients(std::string_view to, std::vector<std::string>* out, std::string* why) {
  out->clear();
  std::size_t start = 0;
  while (start <= to.size()) {
    std::size_t end = to.find_first_of(",;", start);
    if (end == std::string_view::npos) end = to.size();
    const std::string one = Trim(std::string(to.substr(start, end - start)));
    if (!one.empty()) {
      if (!PlainAddress(one)) {
        *why = "\"" + Left(one, 80) + "\" is not an e-mail address";
        return false;
      }
      out->push_back(one);
    }
    start = end + 1;
  }
  if (out->empty()) {
    *why = "it names no recipient";
    return false;
  }
  return true;
}

bool ParseRequest(std::string_view text, MailRequest* request, std::string* why) {
  const IniDocument doc = IniDocument::Parse(text);
  const auto command = doc.Get("OS", "Command");
  if (!command) {
    *why = "it is not an e-mail request (no \"Command\" in section [OS])";
    return false;
  }
  if (LCase(*command) != "email") {
    *why = "its command is \"" + Left(*command, 40) + "\", not \"EMail\"";
    return false;
  }
  MailRequest r;
  if (!SplitRecipients(doc.Get("OS", "To").value_or(""), &r.recipients, why)) return false;
  r.subject = doc.Get("OS", "Subject").value_or("");
  r.body = BodyLines(doc.Get("OS", "Body").value_or(""));
  *request = std::move(r);
  return true;
}

std::string ComposeMessage(const MailRequest& request, const Envelope& envelope) {
  std::string m;
  m += "Date: " + envelope.date + "\r\n";
  m += "From: " + envelope.from + "\r\n";
  m += "To:";
  for (std::size_t i = 0; i < request.recipients.size(); ++i)
    m += (i == 0 ? " " : ",\r\n ") + request.recipients[i];
  m += "\r\n";
  m += SubjectHeader(request.subject) + "\r\n";
  m += "Message-ID: <" + envelope.message_id + ">\r\n";
  m += "MIME-Version: 1.0\r\n";
  if (NeedsEncoding(request.body)) {
    m += std::string("Content-Type: text/plain; charset=") + Charset(request.body) + "\r\n";
    m += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    m += QuotedPrintable(request.body);
  } else {
    m += "Content-Type: text/plain; charset=US-ASCII\r\n";
    m += "Content-Transfer-Encoding: 7bit\r\n\r\n";
    m += request.body;
    if (!request.body.empty() && !request.body.ends_with("\r\n")) m += "\r\n";
  }
  return m;
}

}  // namespace ordane::mailer
