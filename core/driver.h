// The driver's state, in one place: the panel table, the settings, the timers' counters and the
// platform it runs on (clock, message loop, panel interface library, system library, databases,
// error list). The routines are free functions of their subsystem that take the Driver.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/clock.h"
#include "core/error_list.h"
#include "core/message_loop.h"
#include "core/service_control.h"

namespace ordane {

class PanelLibrary;

inline constexpr int kPanelSlots = 32;
inline constexpr int kDelayedCommands = 10;
inline constexpr int kPanelUserPanels = 100;
inline constexpr int kPanelUsersPerPanel = 250;
inline constexpr const char* kDriverType = "11000";

// Link states of a panel slot.
inline constexpr std::int16_t kLinkNotConnected = 0;
inline constexpr std::int16_t kLinkEstablished = 1;
inline constexpr std::int16_t kLinkLost = 3;

// One panel, at index = its controller address.
struct PanelSlot {
  std::string PortName;        // the panel's name in the panel interface library
  std::string ConnectString;   // the text INITIALIZEPANEL was given
  std::int16_t LinkState = kLinkNotConnected;
  std::int16_t LostCount = 0;
  std::int16_t BusyCount = 0;
  std::string BusyState;       // "", "Busy" or "Unknown panel"
  std::string PanelStatusText, FirmwareText, AreaStatusText, DoorStatusText;
  std::string OnBoardRelayText, OffBoardRelayText, BypassText, PointStatusText;
  std::string ActivityText;    // title of the upload under way

  // A modem line's dial command (MODEMCOMMAND text); empty for other lines and after a hang-up.
  std::string DialCommand;
  // When the library will have reopened a lost modem line, so that the dial can be repeated;
  // the epoch when no redial waits.
  Clock::SteadyTime RedialAt{};
  // The panel takes its next command no earlier than this: the pause after each command
  // protects the panel, so it holds for this panel only.
  Clock::SteadyTime CommandPauseUntil{};
  // Parked commands wait in cBuffer to be replayed: a new command for the panel is parked
  // behind them, so the panel gets its commands in order.
  bool ParkedPending = false;
};

struct PanelUser {
  std::int16_t UserNumber = 0;
  std::string Passcode;
  std::int16_t SiteCode = 0;
  std::string Token;
  std::int16_t UserGroup = 0;
  std::array<std::int16_t, 8> AuthorityLevel{};
};

// A camera command that waits for its time: the action ("monitor:protocol text") and the
// minute and second of the hour it is due, as "nnss".
struct DelayedCommand {
  std::string Action;
  std::string Due;
};

class Driver {
 public:
  Driver(Clock& clock, MessageLoop& loop, PanelLibrary& panel, SystemLibrary& lib,
         ServiceControl& service)
      : clock(clock), loop(loop), panel(panel), lib(lib), service(service) {}
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // The connections; a connection that was never opened is error 91, as the routines expect.
  db::Connection& Hardware();
  db::Connection& Access();

  // "DriverId.slot": the key of a panel's controllers row and the prefix of its devices.
  std::string ControllerAddress(int slot) const;
  // The slot for an index read from outside; throws Error(kErrSubscript) outside 0..31.
  PanelSlot& Slot(int index);

  // Platform.
  Clock& clock;
  MessageLoop& loop;
  PanelLibrary& panel;
  SystemLibrary& lib;
  ServiceControl& service;
  ErrorList errors;

  // Settings and databases.
  Settings settings;
  Databases db;
  Regions regions;

  // Found at start-up.
  std::string RemotePath;
  std::string DriverFolder;
  std::string DriverDescription;
  std::string ComputerNameText;
  std::string PanelLibraryInfo;
  std::int16_t DriverId = 0;
  std::int16_t CurrentPanel = 0;
  std::int16_t LostLimit = 2;

  std::array<PanelSlot, kPanelSlots> panels;
  std::vector<std::vector<PanelUser>> PanelUsers;

  // Timers and their counters.
  MessageLoop::TimerId Timer1 = -1;
  MessageLoop::TimerId Timer2 = -1;
  std::int16_t StatusTick = 0;
  std::int16_t PanelCount = 0;
  bool PollingActive = false;
  bool TableUploadRunning = false;
  std::array<DelayedCommand, kDelayedCommands> DelayedCameraCommands;

  // True once a stop has begun: a second stop request lets the first one finish.
  bool stopping = false;
  // The process holds the one-driver-per-computer lock (a restart does not take it again).
  bool InstanceLocked = false;

  // The library trace level last set by a "dbg" command.
  std::int16_t TraceLevel = 0;
  // Set by the start-up sequence, used by the "fin" and "ini" commands: closing the main
  // window (ends the process) and running the start-up sequence again. The command queues
  // cannot reach the service shell directly; unset, "fin" ends the process and "ini" does
  // nothing more than close the links.
  std::function<void()> UnloadMainWindow;
  std::function<void()> RestartDriver;

  // Set by the event logger when the event's log type could not be found.
  bool LogFailed = false;

  // The event path's shared values: what the person lookups resolved last, for the logger's
  // rows, and the reader of the card event being logged.
  std::string LastCredential;
  std::string LastUnknownCredential;
  float LastPersonnelId = 0;
  std::string LastReader;
  // True while events cannot be stored for a failure of the platform (a folder that cannot be
  // written, the database lost): the failure is reported once, not for every retry.
  bool EventStoreFailing = false;
  // Set by the lookups that handle their own errors when the database was lost while they ran:
  // the event they served lacks words and is logged again later.
  bool EventDatabaseLost = false;

  // A panel event taken from the library that could not be stored yet (the library's buffer as
  // it came): it is logged again on later ticks before the library is asked for the next event,
  // since that request is what acknowledges it to the panel. Empty when none is held.
  std::string HeldEventLine;
  int HeldEventTries = 0;
  // Event files whose failure to be stored has been reported, so that it is reported once.
  std::set<std::string> HeldEventFiles;
  // While the logger completes an event, the actions that reach other equipment wait here and
  // run only once the event's statements are stored: an event kept for a later try does not
  // switch a camera or send a request again on every try. Null outside the logger.
  std::vector<std::function<void()>>* PendingActions = nullptr;
};

}  // namespace ordane
