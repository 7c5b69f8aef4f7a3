#include "panelif/protocol.h"

#include <array>
#include <charconv>

namespace ordane::link {
namespace {

// Body, "*", four hex digits and the CR that precede a frame's LF.
constexpr std::size_t kMaxLine = kMaxBody + 6;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
    table[i] = crc;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

bool IsBodyByte(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == '\t'; }
bool IsPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

int UpperHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits off the word before the next blank. `rest` gets what follows that blank, and
// `had_blank` says whether there was one.
std::string_view NextWord(std::string_view& rest, bool& had_blank) {
  auto pos = rest.find(' ');
  std::string_view word = rest.substr(0, pos);
  had_blank = pos != std::string_view::npos;
  rest = had_blank ? rest.substr(pos + 1) : std::string_view{};
  return word;
}

// A decimal number within [lo, hi], digits only and without leading zeros: "007" is not how
// a sender writes 7, so a body that holds it is malformed rather than a number to guess at.
std::optional<std::uint32_t> ReadNumber(std::string_view word, std::uint32_t lo, std::uint32_t hi) {
  if (word.empty() || word.size() > 5) return std::nullopt;
  if (word.size() > 1 && word[0] == '0') return std::nullopt;
  std::uint32_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

// A word of a message (export name, response type): non-empty, no TAB.
bool IsWord(std::string_view word) {
  return !word.empty() && word.find('\t') == std::string_view::npos;
}

}  // namespace

std::uint16_t Crc16Xmodem(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (unsigned char c : bytes) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ c) & 0xFF]);
  }
  return crc;
}

std::string EncodeFrame(std::string_view body) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::uint16_t crc = Crc16Xmodem(body);
  std::string frame;
  frame.reserve(body.size() + 7);
  frame.append(body);
  frame.push_back('*');
  for (int shift = 12; shift >= 0; shift -= 4) frame.push_back(kHex[(crc >> shift) & 0xF]);
  frame.append("\r\n");
  return frame;
}

bool IsValidBody(std::string_view body) {
  if (body.empty() || body.size() > kMaxBody) return false;
  for (unsigned char c : body) {
    if (!IsBodyByte(c)) return false;
  }
  return true;
}

void FrameDecoder::Reset() {
  line_.clear();
  in_frame_ = false;
  overlong_ = false;
}

void FrameDecoder::Feed(std::string_view bytes,
                        const std::function<void(std::string_view body)>& on_frame) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    if (!in_frame_) {
      // Line noise (and stray line ends) before a frame's first printable byte.
      while (i < n && !IsPrintable(static_cast<unsigned char>(bytes[i]))) ++i;
      if (i == n) break;
      in_frame_ = true;
    }
    std::size_t lf = bytes.find('\n', i);
    std::size_t end = lf == std::string_view::npos ? n : lf;
    if (!overlong_) {
      std::size_t take = end - i;
      if (line_.size() + take > kMaxLine) {
        // Too long to be a frame: count it once and skip to its line end without keeping it.
        overlong_ = true;
        ++dropped_;
        line_.clear();
      } else {
        line_.append(bytes.substr(i, take));
      }
    }
    i = end;
    if (lf != std::string_view::npos) {
      if (!overlong_) EndOfLine(on_frame);
      line_.clear();
      in_frame_ = false;
      overlong_ = false;
      ++i;
    }
  }
}

void FrameDecoder::EndOfLine(const std::function<void(std::string_view body)>& on_frame) {
  const std::string_view line = line_;
  const std::size_t n = line.size();
  bool good = n >= 7 && line[n - 1] == '\r' && line[n - 6] == '*';
  std::uint16_t crc = 0;
  for (std::size_t k = n - 5; good && k < n - 1; ++k) {
    int digit = UpperHexDigit(line[k]);
    if (digit < 0) good = false;
    crc = static_cast<std::uint16_t>((crc << 4) | (digit & 0xF));
  }
  std::string_view body = good ? line.substr(0, n - 6) : std::string_view{};
  if (good) good = IsValidBody(body) && Crc16Xmodem(body) == crc;
  if (!good) {
    ++dropped_;
    return;
  }
  on_frame(body);
}

std::string_view KindName(Kind kind) {
  switch (kind) {
    case Kind::kReq:
      return "REQ";
    case Kind::kEvAck:
      return "EVACK";
    case Kind::kPing:
      return "PING";
    case Kind::kOk:
      return "OK";
    case Kind::kNak:
      return "NAK";
    case Kind::kRsp:
      return "RSP";
    case Kind::kItem:
      return "ITEM";
    case Kind::kEnd:
      return "END";
    case Kind::kEvt:
      return "EVT";
    case Kind::kBusy:
      return "BUSY";
    case Kind::kPong:
      return "PONG";
  }
  return "";
}

std::optional<Message> ParseMessage(std::string_view body) {
  static constexpr Kind kKinds[] = {Kind::kReq, Kind::kEvAck, Kind::kPing, Kind::kOk,
                                    Kind::kNak, Kind::kRsp,   Kind::kItem, Kind::kEnd,
                                    Kind::kEvt, Kind::kBusy,  Kind::kPong};
  std::string_view rest = body;
  bool blank = false;
  std::string_view keyword = NextWord(rest, blank);
  if (!blank) return std::nullopt;  // every message has a number after its keyword
  std::optional<Kind> kind;
  for (Kind k : kKinds) {
    if (KindName(k) == keyword) kind = k;
  }
  if (!kind) return std::nullopt;

  Message m{*kind};
  std::string_view number = NextWord(rest, blank);
  std::uint32_t lo = 1, hi = kMaxSeq;
  if (m.kind == Kind::kEvAck || m.kind == Kind::kEvt) hi = kMaxEvSeq;
  if (m.kind == Kind::kBusy) lo = 0, hi = 1;
  auto value = ReadNumber(number, lo, hi);
  if (!value) return std::nullopt;
  m.seq = *value;

  switch (m.kind) {
    case Kind::kEvAck:
    case Kind::kPing:
    case Kind::kOk:
    case Kind::kBusy:
    case Kind::kPong:
      if (blank) return std::nullopt;
      return m;
    case Kind::kNak:
    case Kind::kItem:
      m.text = std::string(rest);
      return m;
    case Kind::kEvt:
      if (rest.empty()) return std::nullopt;
      m.text = std::string(rest);
      return m;
    case Kind::kEnd: {
      if (!blank) return std::nullopt;
      std::string_view type = NextWord(rest, blank);
      if (blank || !IsWord(type)) return std::nullopt;
      m.type = std::string(type);
      return m;
    }
    case Kind::kReq: {
      if (!blank) return std::nullopt;
      std::string_view function = NextWord(rest, blank);
      if (!IsWord(function)) return std::nullopt;
      m.function = std::string(function);
      m.text = std::string(rest);
      return m;
    }
    case Kind::kRsp: {
      if (!blank) return std::nullopt;
      // The first TAB ends TYPE and DATA; what follows it is EXTRA.
      auto tab = rest.find('\t');
      if (tab != std::string_view::npos) {
        m.has_extra = true;
        m.extra = std::string(rest.substr(tab + 1));
        rest = rest.substr(0, tab);
      }
      std::string_view type = NextWord(rest, blank);
      if (type.empty()) return std::nullopt;
      m.type = std::string(type);
      m.text = std::string(rest);
      return m;
    }
  }
  return std::nullopt;
}

std::string FormatMessage(const Message& m) {
  std::string body(KindName(m.kind));
  body += ' ';
  body += std::to_string(m.seq);
  switch (m.kind) {
    case Kind::kEvAck:
    case Kind::kPing:
    case Kind::kOk:
    case Kind::kBusy:
    case Kind::kPong:
      break;
    case Kind::kNak:
    case Kind::kItem:
    case Kind::kEvt:
      body += ' ';
      body += m.text;
      break;
    case Kind::kEnd:
      body += ' ';
      body += m.type;
      break;
    case Kind::kReq:
      body += ' ';
      body += m.function;
      if (!m.text.empty()) {
        body += ' ';
        body += m.text;
      }
      break;
    case Kind::kRsp:
      body += ' ';
      body += m.type;
      if (!m.text.empty()) {
        body += ' ';
        body += m.text;
      }
      if (m.has_extra) {
        body += '\t';
        body += m.extra;
      }
      break;
  }
  return body;
}

}  // namespace ordane::link
