// Fuzz target for the e-mail request reader: whatever a request file holds, it is either
// refused with a reason or becomes a message whose every line ends in CR LF, stays within the
// SMTP line limit and holds printable ASCII only, with exactly the headers odn_shell writes (so
// no text of the request can add a header or a recipient, or start the body early).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mailer/request.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordane::mailer;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  MailRequest r;
  std::string why;
  if (!ParseRequest(input, &r, &why)) {
    Check(!why.empty() && why.find('\n') == std::string::npos);
    return 0;
  }
  Check(!r.recipients.empty());
  const std::string m = ComposeMessage(r, Envelope{"a@b.cc", "Sun, 06 Dec 2026", "x@y"});
  Check(m.size() >= 2 && m.ends_with("\r\n"));
  std::size_t start = 0, headers = 0;
  bool in_body = false;
  while (start < m.size()) {
    const std::size_t end = m.find("\r\n", start);
    Check(end != std::string::npos);
    const std::string_view line(m.data() + start, end - start);
    Check(line.size() <= 998);
    for (unsigned char c : line) Check((c >= 0x20 && c < 0x7f) || c == '\t');
    if (!in_body) {
      if (line.empty())
        in_body = true;
      else if (line.front() != ' ')
        ++headers;  // a new header; folded lines go on the one before
    }
    start = end + 2;
  }
  Check(in_body && headers == 8);
  return 0;
}
