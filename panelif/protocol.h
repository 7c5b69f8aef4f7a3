// The panel link's wire format, shared by the panel interface library and the panel simulator:
// frames (BODY "*" CRC CR LF, CRC-16/XMODEM over BODY) and the messages that travel in them.
// Pure functions and one streaming decoder; nothing here does I/O or holds a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ordane::link {

// Longest BODY a frame may carry.
inline constexpr std::size_t kMaxBody = 2048;
// SEQ runs 1..kMaxSeq, EVSEQ 1..kMaxEvSeq; both wrap to 1.
inline constexpr std::uint32_t kMaxSeq = 9999;
inline constexpr std::uint32_t kMaxEvSeq = 65535;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
std::uint16_t Crc16Xmodem(std::string_view bytes);

// The frame that carries `body`: body "*" four upper-case hex digits CR LF. The caller keeps
// the body within the frame rules (printable ASCII and TAB, 1 to kMaxBody bytes).
std::string EncodeFrame(std::string_view body);

// True when `body` may travel in a frame: 1 to kMaxBody bytes, each printable ASCII or TAB.
bool IsValidBody(std::string_view body);

// Cuts a byte stream into frames. One per link; bytes may arrive split anywhere. Line noise
// before a frame is skipped silently; a frame that is too long, holds a byte outside the
// frame alphabet or fails its CRC is dropped and counted, and the decoder resynchronises on
// the next line end. Memory use is bounded whatever arrives.
class FrameDecoder {
 public:
  // Feeds received bytes; calls on_frame(body) for every good frame, in order.
  void Feed(std::string_view bytes, const std::function<void(std::string_view body)>& on_frame);
  // Bad frames seen so far.
  std::uint64_t dropped() const { return dropped_; }
  // Forgets a partial frame (after a reconnect the stream starts afresh).
  void Reset();

 private:
  void EndOfLine(const std::function<void(std::string_view body)>& on_frame);

  std::string line_;       // bytes of the frame being received, without its LF
  bool in_frame_ = false;  // a frame's first printable byte has been seen
  bool overlong_ = false;  // the current frame outgrew the limit; skipping to its LF
  std::uint64_t dropped_ = 0;
};

enum class Kind { kReq, kEvAck, kPing, kOk, kNak, kRsp, kItem, kEnd, kEvt, kBusy, kPong };

struct Message {
  Kind kind;
  std::uint32_t seq = 0;   // SEQ, EVSEQ, or the 0/1 of BUSY
  std::string function{};  // REQ: export name
  std::string type{};      // RSP, END: response type
  std::string text{};      // REQ: ARGS; NAK: REASON; ITEM/EVT: TEXT; RSP: DATA
  std::string extra{};     // RSP: EXTRA (after TAB)
  bool has_extra = false;
};

// The message a frame body holds, or nullopt for anything malformed: an unknown keyword, a
// number out of its range, a missing or surplus word, doubled blanks between words.
std::optional<Message> ParseMessage(std::string_view body);

// The frame body for `m`. Free texts are written as they are; the caller keeps them within
// the frame alphabet.
std::string FormatMessage(const Message& m);

// The keyword of a message kind ("REQ", "EVACK", ...).
std::string_view KindName(Kind kind);

// The next SEQ / EVSEQ after `seq`, wrapping to 1.
inline std::uint32_t NextSeq(std::uint32_t seq) { return seq >= kMaxSeq ? 1 : seq + 1; }
inline std::uint32_t NextEvSeq(std::uint32_t seq) { return seq >= kMaxEvSeq ? 1 : seq + 1; }

}  // namespace ordane::link
