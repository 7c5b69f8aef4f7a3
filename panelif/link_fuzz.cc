// Fuzz target for the panel link's frame decoder and message parser: whatever bytes a panel
// sends, the decoder hands over only valid bodies, and every message that parses is written
// back to a body that parses to the same message and survives framing unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "panelif/protocol.h"

namespace {

using ordane::link::Message;

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Same(const Message& a, const Message& b) {
  return a.kind == b.kind && a.seq == b.seq && a.function == b.function && a.type == b.type &&
         a.text == b.text && a.extra == b.extra && a.has_extra == b.has_extra;
}

void CheckBody(std::string_view body) {
  auto m = ordane::link::ParseMessage(body);
  if (!m) return;
  std::string again = ordane::link::FormatMessage(*m);
  auto m2 = ordane::link::ParseMessage(again);
  Check(m2.has_value() && Same(*m, *m2));
  if (ordane::link::IsValidBody(again)) {
    ordane::link::FrameDecoder d;
    int frames = 0;
    d.Feed(ordane::link::EncodeFrame(again), [&](std::string_view b) {
      Check(b == again);
      ++frames;
    });
    Check(frames == 1 && d.dropped() == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The whole input as a body, as if a frame had carried it.
  CheckBody(input);
  // The input as a stream, cut into reads whose sizes the first byte chooses.
  std::size_t step = size > 0 ? 1 + data[0] % 64 : 1;
  ordane::link::FrameDecoder decoder;
  for (std::size_t at = 0; at < size; at += step) {
    decoder.Feed(input.substr(at, step), [](std::string_view body) {
      Check(ordane::link::IsValidBody(body));
      CheckBody(body);
    });
  }
  return 0;
}
