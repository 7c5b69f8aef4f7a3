#include "panelif/protocol.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ordane::link {
namespace {

std::vector<std::string> FeedAll(FrameDecoder& d, const std::vector<std::string>& chunks) {
  std::vector<std::string> bodies;
  for (const auto& c : chunks) {
    d.Feed(c, [&](std::string_view body) { bodies.emplace_back(body); });
  }
  return bodies;
}

TEST(Crc16XmodemTest, CheckValues) {
  EXPECT_EQ(Crc16Xmodem("123456789"), 0x31C3);
  EXPECT_EQ(Crc16Xmodem(""), 0x0000);
  EXPECT_EQ(Crc16Xmodem("A"), 0x58E5);
  EXPECT_EQ(EncodeFrame("123456789"), "123456789*31C3\r\n");
}

TEST(FrameDecoderTest, CutsStreams) {
  const std::string a = EncodeFrame("PONG 1");
  const std::string b = EncodeFrame("EVT 7 12/05/26 10:00:00 x 1 2 3 4");
  const std::string star = EncodeFrame("ITEM 3 a*b*c");
  std::string long_body(kMaxBody, 'x');
  std::string too_long_body(kMaxBody + 1, 'x');
  std::string bad_crc = a;
  bad_crc[bad_crc.size() - 3] = bad_crc[bad_crc.size() - 3] == '0' ? '1' : '0';
  std::string lower = EncodeFrame("OK 1:");  // CRC with letters, written in lower case
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> want;
    std::uint64_t dropped;
  };
  const std::vector<Case> cases = {
      {"one frame", {a}, {"PONG 1"}, 0},
      {"two in one read", {a + b}, {"PONG 1", "EVT 7 12/05/26 10:00:00 x 1 2 3 4"}, 0},
      {"split byte by byte", {}, {"PONG 1"}, 0},
      {"split across CR LF", {a.substr(0, a.size() - 1), "\n"}, {"PONG 1"}, 0},
      {"noise before a frame", {std::string("\x00\xff\r\n\x01", 5) + a}, {"PONG 1"}, 0},
      {"star inside the body", {star}, {"ITEM 3 a*b*c"}, 0},
      {"longest body", {EncodeFrame(long_body)}, {long_body}, 0},
      {"too long, then good", {EncodeFrame(too_long_body), a}, {"PONG 1"}, 1},
      {"too long over many reads", {too_long_body, too_long_body, "*0000\r\n", a}, {"PONG 1"}, 1},
      {"bad CRC", {bad_crc, a}, {"PONG 1"}, 1},
      {"lower-case CRC", {lower}, {}, 1},
      {"control byte inside", {"PO\x01NG 1*0000\r\n", a}, {"PONG 1"}, 1},
      {"LF without CR", {"PONG 1*1234\n", a}, {"PONG 1"}, 1},
      {"no CRC", {"PONG 1\r\n", a}, {"PONG 1"}, 1},
      {"empty body", {"*0000\r\n"}, {}, 1},
      {"eight-bit byte inside", {std::string("PONG\xe9") + "1*0000\r\n"}, {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameDecoder d;
    std::vector<std::string> chunks = c.chunks;
    if (chunks.empty()) {
      for (char ch : a) chunks.emplace_back(1, ch);
    }
    EXPECT_EQ(FeedAll(d, chunks), c.want);
    EXPECT_EQ(d.dropped(), c.dropped);
  }
}

TEST(FrameDecoderTest, ResetForgetsPartialFrame) {
  FrameDecoder d;
  FeedAll(d, {"OK 1*"});
  d.Reset();
  EXPECT_EQ(FeedAll(d, {EncodeFrame("PONG 2")}), std::vector<std::string>{"PONG 2"});
  EXPECT_EQ(d.dropped(), 0u);
}

TEST(MessageTest, ParsesEveryKind) {
  struct Case {
    std::string body;
    Kind kind;
    std::uint32_t seq;
    std::string function{}, type{}, text{}, extra{};
    bool has_extra = false;
  };
  const std::vector<Case> cases = {
      {"REQ 12 ARMAREA 1 2", Kind::kReq, 12, "ARMAREA", "", "1 2"},
      {"REQ 9999 GETAREASTATUS", Kind::kReq, 9999, "GETAREASTATUS"},
      {"EVACK 65535", Kind::kEvAck, 65535},
      {"PING 1", Kind::kPing, 1},
      {"OK 77", Kind::kOk, 77},
      {"NAK 3 area 9 does not exist", Kind::kNak, 3, "", "", "area 9 does not exist"},
      {"RSP 4 GetDoorAreas 1 2 3 4 5 6 7 8 ", Kind::kRsp, 4, "", "GetDoorAreas",
       "1 2 3 4 5 6 7 8 "},
      {"RSP 4 RetrievePointText 12\tFront door", Kind::kRsp, 4, "", "RetrievePointText", "12",
       "Front door", true},
      {"RSP 4 FirmwareVersion", Kind::kRsp, 4, "", "FirmwareVersion"},
      {"ITEM 5 Point text 0: Front door  ", Kind::kItem, 5, "", "", "Point text 0: Front door  "},
      {"END 5 ReadPointTextAll", Kind::kEnd, 5, "", "ReadPointTextAll"},
      {"EVT 65535 12/05/26 10:00:00 x 7 2 17 0", Kind::kEvt, 65535, "", "",
       "12/05/26 10:00:00 x 7 2 17 0"},
      {"BUSY 0", Kind::kBusy, 0},
      {"BUSY 1", Kind::kBusy, 1},
      {"PONG 9999", Kind::kPong, 9999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    auto got = ParseMessage(c.body);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->kind, c.kind);
    EXPECT_EQ(got->seq, c.seq);
    EXPECT_EQ(got->function, c.function);
    EXPECT_EQ(got->type, c.type);
    EXPECT_EQ(got->text, c.text);
    EXPECT_EQ(got->extra, c.extra);
    EXPECT_EQ(got->has_extra, c.has_extra);
    EXPECT_EQ(FormatMessage(*got), c.body);
  }
}

TEST(MessageTest, RejectsMalformed) {
  const char* bodies[] = {
      // Shape: missing, doubled or trailing blanks and fields, unknown or lower-case names.
      "", "OK", "OK ", "ok 1", "OK 1 ", "OK 1 x", "OK  1", "HELLO 1", "PONG 1\t", "BUSY", "EVT 5",
      "EVT 5 ", "REQ 1", "REQ 1 ", "REQ 1 \tX", "END 1", "END 1 ", "END 1 A B", "END 1 A\tB",
      "RSP 1", "RSP 1 ", "RSP 1 \tx",
      // Numbers out of range or not plain decimal.
      "OK 0", "OK 10000", "OK -1", "OK +1", "OK 1x", "OK 4294967297", "PING 99999999", "EVACK 0",
      "EVACK 65536", "BUSY 2",
      // Leading zeros: the number is written as the sender counts, never padded.
      "OK 01", "NAK 007 no such area", "EVT 0042 12/05/26 10:00:00 x 42 2 17 0", "EVACK 00001",
      "BUSY 00"};
  for (const char* body : bodies) {
    EXPECT_FALSE(ParseMessage(body).has_value()) << '"' << body << '"';
  }
}

TEST(MessageTest, SequenceNumbersWrap) {
  EXPECT_EQ(NextSeq(1), 2u);
  EXPECT_EQ(NextSeq(kMaxSeq), 1u);
  EXPECT_EQ(NextEvSeq(kMaxSeq), kMaxSeq + 1);
  EXPECT_EQ(NextEvSeq(kMaxEvSeq), 1u);
}

}  // namespace
}  // namespace ordane::link
