#include "panelsim/endpoint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ordane::panelsim {
namespace {

constexpr std::time_t kWall = 1796500000;

// Drives one endpoint and reads back the messages it sends.
class EndpointTest : public ::testing::Test {
 protected:
  EndpointTest() : model_(1, 32), ep_(model_, 30000) {}

  void Send(const std::string& body) { ep_.Receive(link::EncodeFrame(body), now_, kWall); }
  std::vector<link::Message> Take() {
    ep_.Tick(now_);
    std::vector<link::Message> out;
    decoder_.Feed(ep_.TakeOutput(), [&](std::string_view body) {
      auto m = link::ParseMessage(body);
      EXPECT_TRUE(m.has_value()) << body;
      if (m) out.push_back(*m);
    });
    return out;
  }
  void RaiseN(int n) {
    for (int i = 0; i < n; ++i)
      ep_.Raise({"12/05/2026 10:00:00 00 01 01 " + std::to_string(i) + " 00"});
  }
  static std::vector<std::uint32_t> EvSeqs(const std::vector<link::Message>& ms) {
    std::vector<std::uint32_t> v;
    for (const auto& m : ms)
      if (m.kind == link::Kind::kEvt) v.push_back(m.seq);
    return v;
  }

  PanelModel model_;
  Endpoint ep_;
  link::FrameDecoder decoder_;
  std::int64_t now_ = 1000;
};

TEST_F(EndpointTest, SendsAtMostSixteenAheadAndMovesOnWithAcks) {
  RaiseN(20);
  EXPECT_TRUE(Take().empty());  // nobody connected
  ep_.Connected(now_);
  auto first = EvSeqs(Take());
  ASSERT_EQ(first.size(), 16u);
  EXPECT_EQ(first.front(), 1u);
  EXPECT_EQ(first.back(), 16u);
  Send("EVACK 3");
  EXPECT_EQ(EvSeqs(Take()), (std::vector<std::uint32_t>{17, 18, 19}));
  Send("EVACK 99");  // an EVSEQ the panel does not hold: nothing moves
  EXPECT_TRUE(Take().empty());
  Send("EVACK 20");
  EXPECT_EQ(ep_.pending(), 0u);
}

// A full memory loses the oldest event not yet sent; those in flight stay, and the window
// holds: nothing more goes out until the library acknowledges.
TEST_F(EndpointTest, FullMemoryKeepsTheEventsInFlight) {
  ep_.Connected(now_);
  RaiseN(16);
  EXPECT_EQ(EvSeqs(Take()).size(), 16u);
  RaiseN(static_cast<int>(Endpoint::kMaxPending));
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(ep_.dropped_events(), 16u);
  EXPECT_EQ(ep_.pending(), Endpoint::kMaxPending);
  Send("EVACK 16");
  auto next = EvSeqs(Take());
  ASSERT_EQ(next.size(), 16u);
  EXPECT_EQ(next.front(), 33u);  // 17 to 32 were the oldest not yet sent
}

TEST_F(EndpointTest, NumberedEventsCarryTheirEvSeqInTheThirdField) {
  RaiseN(12);
  ep_.Raise({"12/05/2026 10:00:00 x 01 01 0B 00", false});  // raw: exactly as given
  ep_.Connected(now_);
  std::vector<std::string> texts;
  for (const auto& m : Take())
    if (m.kind == link::Kind::kEvt) texts.push_back(std::to_string(m.seq) + ": " + m.text);
  ASSERT_EQ(texts.size(), 13u);
  EXPECT_EQ(texts[0], "1: 12/05/2026 10:00:00 1 01 01 0 00");
  EXPECT_EQ(texts[11], "12: 12/05/2026 10:00:00 12 01 01 11 00");
  EXPECT_EQ(texts[12], "13: 12/05/2026 10:00:00 x 01 01 0B 00");
  EXPECT_EQ(NumberEvent("a b", 7), "a b");
  EXPECT_EQ(NumberEvent("a b c", 65535), "a b 65535");
}

TEST_F(EndpointTest, ResendsAfterReconnectAndAfterSilence) {
  RaiseN(3);
  ep_.Connected(now_);
  EXPECT_EQ(EvSeqs(Take()).size(), 3u);
  Send("EVACK 1");
  now_ += 29999;
  EXPECT_TRUE(Take().empty());
  now_ += 2;
  EXPECT_EQ(EvSeqs(Take()), (std::vector<std::uint32_t>{2, 3}));  // 30 s without EVACK
  ep_.Disconnected();
  RaiseN(1);
  ep_.Connected(now_);
  EXPECT_EQ(EvSeqs(Take()), (std::vector<std::uint32_t>{2, 3, 4}));  // again, in order
}

TEST_F(EndpointTest, AnswersInOrderAndHonoursBusyHoldAndSilence) {
  ep_.Connected(now_);
  Send("REQ 1 GETAREASTATUS");
  Send("REQ 2 ARMAREA 9");
  Send("REQ 3 READHOLIDAYS");
  Send("PING 4");
  auto out = Take();
  ASSERT_EQ(out.size(), 1u + 1u + 366u + 1u + 1u);
  EXPECT_EQ(link::FormatMessage(out[0]), "RSP 1 AreaStatus DDDD----");
  EXPECT_EQ(out[1].kind, link::Kind::kNak);
  EXPECT_EQ(out[1].seq, 2u);
  EXPECT_EQ(out[2].kind, link::Kind::kItem);
  EXPECT_EQ(link::FormatMessage(out[368]), "END 3 ReadHolidays");
  EXPECT_EQ(link::FormatMessage(out[369]), "PONG 4");

  ep_.SetBusy(true);
  Send("REQ 5 ARMAREA 1");
  out = Take();
  ASSERT_EQ(out.size(), 2u);  // BUSY 1 and the area event; the answer waits
  EXPECT_EQ(link::FormatMessage(out[0]), "BUSY 1");
  EXPECT_EQ(out[1].kind, link::Kind::kEvt);
  ep_.SetBusy(false);
  out = Take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(link::FormatMessage(out[0]), "BUSY 0");
  EXPECT_EQ(link::FormatMessage(out[1]), "OK 5");

  ep_.HoldUntil(now_ + 5000);
  Send("REQ 6 GETFIRMWAREREVISION");
  EXPECT_TRUE(Take().empty());
  now_ += 5000;
  EXPECT_EQ(Take().size(), 1u);

  ep_.set_silent(true);
  Send("PING 7");
  EXPECT_TRUE(Take().empty());
}

TEST_F(EndpointTest, GarbageAndCorruptFramesAreNotActedOn) {
  ep_.Connected(now_);
  ep_.Receive(std::string("\x01\x02noise\r\n", 9) + "REQ 1 ARMAREA 1*0000\r\n", now_, kWall);
  Send("REQ 1 DISARM AREA");  // a well-formed frame with a function the panel does not know
  auto out = Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, link::Kind::kNak);
  EXPECT_EQ(model_.AreaStatus(), "DDDD----");
  EXPECT_EQ(ep_.bad_frames(), 2u);  // the noise line and the bad CRC

  ep_.SendGarbage(100);
  link::FrameDecoder d;
  int frames = 0;
  d.Feed(ep_.TakeOutput(), [&](std::string_view) { ++frames; });
  EXPECT_EQ(frames, 0);
  EXPECT_GE(d.dropped(), 1u);
}

// A cut answers only the first items of the chosen table, without END, asks for the link to
// go, and sends nothing more; other requests and the next connection are answered in full.
TEST_F(EndpointTest, CutTableStopsAfterItsItemsAndAsksForTheDrop) {
  ep_.Connected(now_);
  ep_.CutNextTable(5, "readtokentables");
  Send("REQ 1 READUSERNAMES");  // not the table named: whole
  auto whole = Take();
  ASSERT_EQ(whole.size(), 251u);
  EXPECT_EQ(whole.back().kind, link::Kind::kEnd);
  EXPECT_FALSE(ep_.drop_requested());

  Send("REQ 2 READTOKENTABLES");
  Send("REQ 3 GETAREASTATUS");
  auto cut = Take();
  ASSERT_EQ(cut.size(), 5u);
  EXPECT_EQ(cut[4].kind, link::Kind::kItem);
  EXPECT_EQ(cut[4].text.rfind("Token Table 4: ", 0), 0u) << cut[4].text;
  EXPECT_TRUE(ep_.drop_requested());
  RaiseN(1);
  EXPECT_TRUE(Take().empty());  // the link has failed: no answer, no event after the cut

  ep_.Disconnected();
  ep_.Connected(now_);
  EXPECT_FALSE(ep_.drop_requested());
  Send("REQ 4 READTOKENTABLES");  // the cut was for one answer only
  auto again = Take();
  EXPECT_EQ(EvSeqs(again).size(), 1u);
  EXPECT_EQ(again.size(), 252u);
}

}  // namespace
}  // namespace ordane::panelsim
