#include "panel/message_buffer.h"

namespace ordane {

// Parked messages are replayed through the panel command builder, which is not in this build;
// until then they stay in cBuffer untouched.
void Process_Buffer(Driver&, std::int16_t) {}

}  // namespace ordane
