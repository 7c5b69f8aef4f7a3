// The driver as a systemd service: installing and removing its unit, the service settings kept
// in the unit, readiness, the event log (syslog), the one-instance lock and the stop request
// that ends a service from inside.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ordane {

inline constexpr std::string_view kServiceName = "11000";
inline constexpr std::string_view kServiceDisplayName = "MORVA Corporation- Intrusion Panel Driver";
// The system's services share this group word; the unit carries it as a documentation field.
inline constexpr std::string_view kServiceGroup = "ORDANE";
// The event service's unit, beside the driver's "11000.service".
inline constexpr std::string_view kEventServiceUnit = "ordane-eventsvc.service";
// The system user both services run as (the package creates it), and their own folder, which
// systemd creates for that user: the database and the shared tree of a default installation.
inline constexpr std::string_view kServiceUser = "ordane";
inline constexpr std::string_view kStateFolder = "/var/lib/ordane";
// systemd restarts a service that has not said it is alive for this long.
inline constexpr int kWatchdogSeconds = 60;

// Event log entry types, and the message ids of the service shell's entries. The shell writes
// its error entries as (109, 1), message id first, and its notes as (4, 110), type first, the
// way the service control it was built around took them; LogEvent reads either order.
inline constexpr int kEventError = 1;
inline constexpr int kEventWarning = 2;
inline constexpr int kEventInformation = 4;
inline constexpr int kMessageError = 109;
inline constexpr int kMessageInformation = 110;

// Where the services' units are written: $ORDANE_UNIT_DIR, else /etc/systemd/system.
std::filesystem::path UnitFolder();

class ServiceControl {
 public:
  // unit_dir: where the unit lives ($ORDANE_UNIT_DIR, default /etc/systemd/system);
  // executable: the program the unit starts.
  ServiceControl(std::filesystem::path unit_dir, std::filesystem::path executable);
  static ServiceControl FromEnvironment();

  std::filesystem::path UnitPath() const;
  // Writes the unit "11000.service", letting the driver write to `writable` besides its own
  // folders (see DriverUnitText); false when it cannot be written.
  bool Install(const std::vector<std::filesystem::path>& writable = {});
  // Removes the unit; true when it is gone.
  bool Uninstall();
  // Stores a service setting. systemd ignores unit sections whose names start with "X-", so
  // section "Parameters" is kept as "[X-Parameters]" in the unit itself.
  bool SaveSetting(std::string_view section, std::string_view key, std::string_view value);
  std::string ReadSetting(std::string_view section, std::string_view key) const;

  // Tells systemd the service is up (when started by systemd with a notify socket).
  void StartService();
  // An entry in the system log: type, message id, text. The entry has error priority when
  // either number says error (kEventError or kMessageError), warning priority for the type
  // kEventWarning, information priority otherwise.
  void LogEvent(int type, int id, std::string_view text);
  // Asks systemd to stop service "11000" when the process runs under systemd; otherwise does
  // nothing (the process is about to end anyway).
  void RequestStop();

  bool debug = false;      // running in the foreground from a console
  bool interactive = false;

 private:
  std::filesystem::path unit_dir_;
  std::filesystem::path executable_;
};

// The text of a systemd unit of this system's services: started with readiness notification
// after the network (and a local PostgreSQL server), on the settings file of $ORDANE_SETTINGS
// when it is set, restarted on failure and when it stops telling the watchdog it is alive; run
// as user "ordane" in a sandbox that lets it write only to its own folder (kStateFolder), to
// `writable` and to /run/lock. `service_lines` adds to its [Service] section.
std::string ServiceUnitText(std::string_view description, const std::filesystem::path& executable,
                            const std::vector<std::filesystem::path>& writable,
                            std::string_view service_lines);
// The driver's unit (what "-install" writes, without the stored settings) and the event
// service's. The driver may also open serial lines.
std::string DriverUnitText(const std::filesystem::path& executable,
                           const std::vector<std::filesystem::path>& writable);
std::string EventServiceUnitText(const std::filesystem::path& executable,
                                 const std::vector<std::filesystem::path>& writable);

// The folders a service on these settings writes to: the shared tree (RemotePath, LocalPath)
// and the folder of an SQLite database; those below kStateFolder are left out.
std::vector<std::filesystem::path> WritableFolders(std::string_view remote_path,
                                                   std::string_view local_path,
                                                   const std::vector<std::string>& connections);

// The lock file that keeps a second driver from running: $ORDANE_LOCK_FILE, else
// /run/lock/ordane-11000.lock, else a file of this user's in the temporary folder.
std::filesystem::path InstanceLockPath();

// Takes that lock. False when another process holds it. The lock lasts as long as the process.
bool AcquireInstanceLock();

// Starts a program without waiting for it; its output goes to the log. False when it could not
// be started.
bool SpawnDetached(const std::vector<std::string>& argv);

// Sends a datagram to systemd's notify socket ("READY=1", "STOPPING=1"); nothing when absent.
void NotifySystemd(std::string_view state);

// How often this process should tell systemd it is alive ("WATCHDOG=1"): half the watchdog
// time systemd gave it, or 0 when it has none (not under systemd, or meant for another process).
std::chrono::milliseconds WatchdogPingInterval();

}  // namespace ordane
