// The panel interface library behind the C exports: the links to the panels, run by one I/O
// thread, and the two queues (event lines, command responses) where that thread meets the
// driver's calls. The C exports in exports.cc forward to one instance; tests make their own.
//
// Every method may be called from any thread and returns at once: none waits for a panel, and
// none holds a lock for longer than a queue operation. Results are 0 for a call that was taken
// and negative for one that could not be (bad text, unknown link); the driver ignores them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "panelif/config.h"

namespace ordane::panelif {

inline constexpr std::int16_t kOk = 0;
inline constexpr std::int16_t kBadText = -1;
inline constexpr std::int16_t kUnknownLink = -2;

// Counts of what the library dropped, for the trace and for tests.
struct Stats {
  std::uint64_t bad_frames = 0;        // CRC, length or alphabet failures
  std::uint64_t bad_messages = 0;      // good frames that hold no message a panel may send
  std::uint64_t stray_answers = 0;     // answers to requests never sent (or already given up)
  std::uint64_t duplicate_events = 0;  // resent events dropped
  std::uint64_t overflow_drops = 0;    // events or items beyond what the library keeps
};

// The version the library reports.
std::string_view LibraryVersion();

class Library {
 public:
  explicit Library(Config config);
  ~Library();  // closes every link and stops the I/O thread
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The exports, by family. `text` is the caller's NUL-terminated text; the methods that answer
  // in place never write past its NUL, except the polling calls, which fill their fixed sizes.
  std::int16_t InitMonitor();
  std::int16_t DllInformation(char* text);
  std::int16_t InitializePanel(const char* text);
  std::int16_t ModemCommand(const char* text);
  std::int16_t GetEventResponse(char* buffer);    // ORDANE_EVENT_BUFFER_SIZE characters
  std::int16_t GetCommandResponse(char* buffer);  // ORDANE_COMMAND_BUFFER_SIZE characters
  std::int16_t GetBusyState(char* buffer);        // ORDANE_BUSY_BUFFER_SIZE characters
  // Every export that travels to the panel as a REQ: `text` is PortName, a blank, the arguments.
  std::int16_t Request(std::string_view function, const char* text);
  std::int16_t StartTrace(const char* text);
  std::int16_t StopTrace();
  std::int16_t TerminateAll();
  // `text` names the link: its PortName (first word) or its connection text.
  std::int16_t TerminatePanel(const char* text);

  Stats stats() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ordane::panelif
