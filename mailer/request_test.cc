#include "mailer/request.h"

#include <gtest/gtest.h>

#include <string>

namespace ordane::mailer {
namespace {

// Every line of a message: ended by CR LF, within the SMTP limit, printable ASCII.
void ExpectWellFormed(const std::string& m) {
  ASSERT_TRUE(m.ends_with("\r\n"));
  std::size_t start = 0;
  while (start < m.size()) {
    const std::size_t end = m.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = m.substr(start, end - start);
    EXPECT_LE(line.size(), 998u);
    for (unsigned char c : line) EXPECT_TRUE((c >= 0x20 && c < 0x7f) || c == '\t') << int(c);
    start = end + 2;
  }
}

const Envelope kEnvelope{"ordane@site.example", "Sun, 06 Dec 2026 19:00:00 +0000",
                         "1.2.3@site"};

TEST(MailRequest, TheDriversRequestBecomesItsMessage) {
  const std::string file =
      "[OS]\r\nCommand=EMail\r\nTo=security@example.com\r\nSubject=Panel 0 Point 7:  Panic "
      "Alarm\r\nBody=Date:  12/06/2026 19:00:00~vbcrlf~Address:  7.0.2.I7- Panel 0 Point "
      "7~vbcrlf~Event:  Panic Alarm~vbcrlf~Name:  Ben O'Brien\r\n";
  MailRequest r;
  std::string why;
  ASSERT_TRUE(ParseRequest(file, &r, &why)) << why;
  EXPECT_EQ(r.recipients, std::vector<std::string>{"security@example.com"});
  EXPECT_EQ(r.subject, "Panel 0 Point 7:  Panic Alarm");
  EXPECT_EQ(r.body,
            "Date:  12/06/2026 19:00:00\r\nAddress:  7.0.2.I7- Panel 0 Point 7\r\nEvent:  Panic "
            "Alarm\r\nName:  Ben O'Brien");
  const std::string m = ComposeMessage(r, kEnvelope);
  ExpectWellFormed(m);
  EXPECT_NE(m.find("\r\nTo: security@example.com\r\n"), std::string::npos);
  EXPECT_NE(m.find("\r\nSubject: Panel 0 Point 7:  Panic Alarm\r\n"), std::string::npos);
  EXPECT_TRUE(m.ends_with("\r\n\r\nDate:  12/06/2026 19:00:00\r\nAddress:  7.0.2.I7- Panel 0 "
                          "Point 7\r\nEvent:  Panic Alarm\r\nName:  Ben O'Brien\r\n"));
}

TEST(MailRequest, WhatIsNotARequestIsRefusedWithItsReason) {
  struct Case {
    const char* file;
    const char* reason;
  } cases[] = {
      {"", "no \"Command\""},
      {"\x01\xff[OS\nCommand", "no \"Command\""},
      {"[OS]\nCommand=Print\nTo=a@b.cc", "\"Print\", not \"EMail\""},
      {"[OS]\nCommand=EMail\nSubject=x", "names no recipient"},
      {"[OS]\nCommand=email\nTo= ; ,", "names no recipient"},
      {"[OS]\nCommand=EMail\nTo=a@b.cc; someone", "\"someone\" is not"},
      {"[OS]\nCommand=EMail\nTo=<a@b.cc>", "is not an e-mail address"},
      {"[OS]\nCommand=EMail\nTo=a b@c.dd", "is not an e-mail address"},
  };
  for (const Case& c : cases) {
    MailRequest r;
    std::string why;
    EXPECT_FALSE(ParseRequest(c.file, &r, &why)) << c.file;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.file << ": " << why;
  }
  // Several recipients, separated either way, blanks around them dropped.
  MailRequest r;
  std::string why;
  ASSERT_TRUE(ParseRequest("[os]\ncommand=EMAIL\nto= a@b.cc ;c.d@e.fg,", &r, &why)) << why;
  EXPECT_EQ(r.recipients, (std::vector<std::string>{"a@b.cc", "c.d@e.fg"}));
  EXPECT_NE(ComposeMessage(r, kEnvelope).find("\r\nTo: a@b.cc,\r\n c.d@e.fg\r\n"),
            std::string::npos);
}

TEST(MailRequest, TextsThatAreNotPlainAsciiAreEncoded) {
  MailRequest r;
  r.recipients = {"a@b.cc"};
  // UTF-8 subject (split only between characters) and a Latin-1 body with a long line, "=",
  // a blank before a line break and a lone line feed.
  r.subject = "Tür " + std::string(60, 'x') + " Zürich ÄÖÜ";
  r.body = BodyLines("Grüße\xe9 = 1 ~vbcrlf~" + std::string(200, 'y') + "\nend");
  const std::string m = ComposeMessage(r, kEnvelope);
  ExpectWellFormed(m);
  EXPECT_NE(m.find("Subject: =?UTF-8?B?"), std::string::npos);
  EXPECT_NE(m.find("Content-Type: text/plain; charset=windows-1252\r\n"), std::string::npos);
  EXPECT_NE(m.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  EXPECT_NE(m.find("Gr=C3=BC=C3=9Fe=E9 =3D 1=20\r\n"), std::string::npos);
  EXPECT_NE(m.find("=\r\n"), std::string::npos);  // the long line broken softly
  EXPECT_TRUE(m.ends_with("\r\nend\r\n"));
  // The long subject takes more than one encoded word, each on its own folded line.
  std::size_t words = 0;
  for (std::size_t at = m.find("=?UTF-8?B?"); at != std::string::npos;
       at = m.find("=?UTF-8?B?", at + 1))
    ++words;
  EXPECT_GE(words, 2u);
  r.subject = "Tür";  // 54 C3 BC 72, padded
  EXPECT_NE(ComposeMessage(r, kEnvelope).find("Subject: =?UTF-8?B?VMO8cg==?=\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace ordane::mailer
