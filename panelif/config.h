// Settings of the panel interface library and the readings of the texts that name a link.
// Every interval can be changed from the environment, so tests run in seconds:
//   PANELIF_PING_MS     silence on a link before a PING is sent (10000)
//   PANELIF_DOWN_MS     silence after which a link counts as down (30000)
//   PANELIF_RETRY_MS    wait between connection attempts while a link is down (5000)
//   PANELIF_REQUEST_MS  time a request may stay unanswered (10000)
//   PANELIF_TABLE_MS    the same for the READ... table requests (60000)
//   PANELIF_BUSY_MS     age of an unanswered request that makes a panel "Busy" (2000)
// and the trace file's size limit:
//   PANELIF_TRACE_MAX_BYTES  size at which the trace file is moved aside to "<file>.1" (10 MiB)
// Serial port names COMn map to /dev/ttyS<n-1> unless a map says otherwise:
//   PANELIF_PORTMAP       "COM1=/dev/pts/3;COM2=/tmp/line2" (";" or "," between entries)
//   PANELIF_PORTMAP_FILE  a file of "COMn=path" lines ("#" or ";" starts a comment)
// The environment map wins over the file, the file over the default.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ordane::panelif {

using Millis = std::chrono::milliseconds;

struct Config {
  Millis ping{10000};
  Millis down{30000};
  Millis retry{5000};
  Millis request{10000};
  Millis table{60000};
  Millis busy{2000};
  // The trace file is moved aside (one old copy kept) before it would grow past this size.
  std::uint64_t trace_max_bytes = 10 * 1024 * 1024;

  // The defaults above, overridden by the environment variables that hold a positive number.
  static Config FromEnvironment();
};

// Where a connection text points.
struct ConnectTarget {
  bool serial = false;
  std::string name;        // the link name: the host text, or "COMn"
  std::string host;        // TCP/IP
  std::uint16_t port = 0;  // TCP/IP
  unsigned baud = 9600;    // serial
};

// Reads "TCP/IP - host port" or "serial port - COMn baud=rate parity=n data=8 stop=1" (the
// keywords without regard to case). nullopt, with the reason in `why`, for anything else.
std::optional<ConnectTarget> ParseConnectText(std::string_view text, std::string* why);

// The device path of serial port `name` ("COM3"), by the port map described above; empty when
// the name is not COM followed by a number and no map entry names it.
std::string SerialDevicePath(std::string_view name);

}  // namespace ordane::panelif
