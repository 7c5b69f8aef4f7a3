#include "service/startup.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "db/db.h"
#include "events/event_files.h"
#include "panel/message_buffer.h"
#include "panel/panel_library.h"
#include "core/log.h"
#include "service/shell.h"
#include "service/timers.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr std::size_t kPanelLibraryInfoLength = 256;
constexpr int kEventDescriptionSections = 170;

// The setting "RemotePath" names the root of every file the driver reads and writes.
void RequireSharedFolder(const Driver& d) {
  if (d.RemotePath.empty())
    throw Error(kErrPathAccess, "the shared folder is not set (setting RemotePath of section OS)");
}

void ConnectPolledPanel(Driver& d, Routine& r, db::Recordset& controllers) {
  std::string connection_type, ec_1_name;
  r.Step([&] { d.CurrentPanel = ToInt16(ValueOf0(controllers.Text("controller_address"))); });
  r.Step([&] { connection_type = controllers.Text("Connection_Type"); });
  r.Step([&] { ec_1_name = controllers.Text("EC_1_Name"); });
  const int panel = d.CurrentPanel;

  db::Recordset channel;
  r.Step([&] {
    channel.Open("select * from channels where driver_id = " + std::to_string(d.DriverId) +
                     " and channel = " + std::to_string(panel),
                 d.Hardware());
  });
  switch (LineOf(connection_type)) {
    case PanelConnection::Line::kSerial:
    case PanelConnection::Line::kModem:
      r.Step([&] { d.Slot(panel).PortName = "COM" + channel.Text("port"); });
      r.Step([&] {
        PanelSlot& slot = d.Slot(panel);
        slot.ConnectString = "serial port - " + slot.PortName + " baud=" +
                             channel.Text("baud_rate") + " parity=n data=8 stop=1";
        std::string text = slot.ConnectString;
        d.panel.INITIALIZEPANEL(text);
      });
      if (LineOf(connection_type) == PanelConnection::Line::kModem) {
        r.Step([&] {
          PanelSlot& slot = d.Slot(panel);
          slot.DialCommand = slot.PortName + " 1000 ATD,T" + ec_1_name + "\r";
          std::string text = slot.DialCommand;
          d.panel.MODEMCOMMAND(text);
        });
      }
      break;
    case PanelConnection::Line::kTcp:
      r.Step([&] {
        PanelSlot& slot = d.Slot(panel);
        std::string port = std::to_string(ValueOf0(channel.Text("port2")));
        slot.PortName = controllers.Text("ec_1_name");
        slot.ConnectString = "TCP/IP - " + slot.PortName + " " + port;
        // Event lines name their panel by the text before their first hyphen.
        if (slot.PortName.find('-') != std::string::npos)
          r.Report(kErrGeneric, "panel " + d.ControllerAddress(panel) + ": link name " +
                                    slot.PortName + " holds a hyphen; its events cannot be told apart");
        d.errors.DebugLine(slot.ConnectString);
        std::string text = slot.ConnectString;
        d.panel.INITIALIZEPANEL(text);
      });
      break;
    case PanelConnection::Line::kNone:
      break;
  }
  r.Step([&] { channel.Close(); });
  // A controller address outside the panel table fails each of these steps in Slot().
  r.Step([&] { d.Slot(panel).LinkState = kLinkEstablished; });
  r.Step([&] {
    d.Slot(panel);
    Process_Buffer(d, d.CurrentPanel);
  });
  r.Step([&] {
    d.Slot(panel);
    d.Hardware().Execute("update [controllers] set cstatus=1 where address = '" +
                         d.ControllerAddress(panel) + "'");
  });
  r.Step([&] {
    d.Slot(panel);
    request_io(d, d.CurrentPanel, 0);
  });
}

}  // namespace

void StartUpLine(LogLevel level, const std::string& text) {
  LogLine(level, text);
  if (!LogToStderr() && isatty(STDERR_FILENO))
    std::fprintf(stderr, "paneldriver: %s\n", text.c_str());
}

void EndStartUp(int code, const std::string& text) {
  StartUpLine(LogLevel::kError, text);
  throw EndProcess{code};
}

void START_UP(Driver& d, const std::string& command_line) {
  Routine r(d.errors, "ERR_Start_Up");

  // 1. One driver per computer.
  if (!d.InstanceLocked && !AcquireInstanceLock()) {
    LogLine(LogLevel::kError, "another panel driver is already running; this one ends");
    throw EndProcess{1};
  }
  d.InstanceLocked = true;
  // 2. The panel users of every panel.
  d.PanelUsers.assign(kPanelUserPanels, std::vector<PanelUser>(kPanelUsersPerPanel));
  // 3. Command line and service manager.
  Init_Service(d, command_line);
  // Without its settings every later step would fail for the same reason; say the reason.
  if (std::string problem = d.lib.SettingsProblem(); !problem.empty())
    EndStartUp(kExitConfiguration, problem);
  // 4-6.
  r.Step([&] {
    d.PanelLibraryInfo.assign(kPanelLibraryInfoLength, ' ');
    d.panel.DLLINFORMATION(d.PanelLibraryInfo);
  });
  r.Step([&] { d.ComputerNameText = ComputerName(); });
  for (auto& c : d.DelayedCameraCommands) c = DelayedCommand{};
  d.StatusTick = 0;
  // 7. The shared folder tree.
  r.Step([&] {
    d.RemotePath = d.lib.ReadSys1("OS", "RemotePath");
    d.lib.set_RemotePath(d.RemotePath);
  });
  r.Step([&] { d.lib.set_LocalPath(d.lib.ReadSys1("OS", "LocalPath")); });
  // 8.
  r.Step([&] {
    d.DriverDescription = ReadIni(
        ResolvePath(d.RemotePath, std::string("\\hardware\\") + kDriverType + ".dvr"),
        "Parameters", "Description");
  });
  // 9-11. Databases and regions.
  r.Step([&] { d.db.OpenDatabases(1, d.settings, d.lib, d.errors); });
  if (d.db.DatabaseError)
    EndStartUp(kExitNoDatabase, "cannot open the database of " + d.db.OpenFailure);
  // A database that opens but holds none of the system's tables (a new file at a mistyped
  // path, the wrong database on the server) would fail every step that follows; one probe of
  // the table the driver cannot do without says so first.
  try {
    d.Hardware().Query("select driver_id from drivers where driver_id = 0");
  } catch (const std::exception& e) {
    EndStartUp(kExitNoDatabase, "the database of Cxn_Hardware (" + ShownConnection(d.settings.CxnHardware) +
                                    ") cannot be read: " + e.what() +
                                    "; \"ordanectl init-db\" creates the tables");
  }
  r.Step([&] { d.lib.Init_CXN("access", 1, 1); });
  r.Step([&] { d.lib.Init_CXN("hardware", 1, 1); });
  r.Step([&] { LoadRegions(d.regions, d.Hardware(), d.lib, d.errors); });
  // 12. Event descriptions.
  r.Step([&] {
    d.Access().Execute(d.lib.TSQL("delete from [event_descriptions] where event_id = '000'"));
  });
  r.Step([&] { Add_EventDes(d); });
  r.Step([&] { WaitSeconds(d.loop, 1); });
  // 13.
  r.Step([&] {
    d.loop.SetInterval(d.Timer2,
                       std::chrono::milliseconds(ValueOf0(d.lib.ReadSys1("OS", "Status_Timer"))));
  });
  // 14.
  r.Step([&] {
    RequireSharedFolder(d);
    EnsureFolder(d.RemotePath, "\\info");
  });
  // 15. This computer's driver record.
  d.DriverId = 0;
  r.Step([&] {
    db::Recordset rs;
    rs.Open("select * from [drivers] where [computer_name] = '" + SqlQuote(d.ComputerNameText) +
                "' and [driver_type] = '" + kDriverType + "' and [TCP_Listen_Port] not in (1,2)",
            d.Hardware());
    if (!rs.Eof()) {
      d.DriverId = ToInt16(ValueOf0(rs.Text("driver_id")));
      d.Hardware().Execute("Delete from controller_commands where address like '" +
                           std::to_string(d.DriverId) + ".%'");
      d.LostLimit = 2;
    }
    rs.Close();
  });
  // 16-17.
  d.DriverFolder = ResolvePath(d.RemotePath, "\\Drivers\\" + std::to_string(d.DriverId)).string();
  if (d.DriverId == 0) {
    // Not a failure: this computer runs no panel driver. One line says which name was looked
    // for, since a computer that was renamed looks just like this.
    StartUpLine(LogLevel::kInfo, "no driver record of type " + std::string(kDriverType) +
                                     " for computer " + d.ComputerNameText + "; the driver ends");
    throw EndProcess{0};
  }
  // Without its shared folder the driver would write its files wherever it was started.
  if (!r.Step([&] { RequireSharedFolder(d); })) throw EndProcess{1};
  // 18.
  r.Step([&] {
    std::string when = "0", address = std::to_string(d.DriverId), code = "HS001", detail,
                extra;
    F_logevent(d, when, address, code, detail, extra);
  });
  // The "fin" and "ini" commands end the driver and start it again through these.
  d.UnloadMainWindow = [&d] {
    if (d.stopping) return;
    d.stopping = true;
    UnloadMain(d);
    throw EndProcess{0};
  };
  d.RestartDriver = [&d, command_line] { START_UP(d, command_line); };
  d.RefreshHardwareTree = [&d] { Refresh_ORDANE_HW_Tree(d); };
  // 19.
  d.loop.SetEnabled(d.Timer2, true);
  d.loop.SetEnabled(d.Timer1, false);
  // 20. The driver's folders; stop files left from before are stale.
  r.Step([&] {
    EnsureFolder(d.DriverFolder, "");
    EnsureFolder(d.DriverFolder, "\\Status");
    fs::path commands;
    EnsureFolder(d.DriverFolder, "\\Commands", &commands);
    for (const fs::path& f : ListMatching(commands, "*.stp")) {
      std::error_code ec;
      fs::remove(f, ec);
    }
  });
  // 21-22.
  for (auto& slot : d.panels) slot = PanelSlot{};
  r.Step([&] { d.panel.INITMONITOR(); });
  // 23. Every polled panel of this driver.
  db::Recordset controllers;
  r.Step([&] {
    controllers.Open("select * from controllers where driver_id = " + std::to_string(d.DriverId) +
                         " order by controller_address",
                     d.Hardware());
    while (!controllers.Eof()) {
      // A database that has gone away ends the loop.
      if (d.errors.DatabaseLost()) return;
      d.errors.LastErrorNumber = 0;
      std::string poll;
      r.Step([&] { poll = controllers.Text("poll"); });
      if (ValueOf0(poll) == 1) ConnectPolledPanel(d, r, controllers);
      controllers.MoveNext();
    }
  });
  // 24.
  r.Step([&] { controllers.Close(); });
  d.loop.SetEnabled(d.Timer1, true);
}

void Add_EventDes(Driver& d) {
  const fs::path file = ResolvePath(d.RemotePath, "\\Drivers\\" + std::string(kDriverType) + ".ini");
  Routine r(d.errors, "ERR_Add_EventDes");
  for (int s = 0; s <= kEventDescriptionSections; ++s) r.Step([&] {
    const std::string section = std::to_string(s);
    const std::string id = ReadIni(file, section, "Event_ID");
    if (id.empty()) return;
    // "HS0A" becomes "HS010": the last two characters are a hexadecimal number.
    const std::string code = Left(id, 2) + Right("000" + d.lib.mHex2Dec(Right(id, 2)), 3);
    db::Recordset rs;
    rs.Open("select * from event_descriptions where Event_ID = '" + SqlQuote(code) + "'",
            d.Access());
    if (rs.Eof() && code.size() == 5) {
      rs.AddNew();
      rs.Set("event_id", code);
      rs.Set("description", ReadIni(file, section, "Description"));
      rs.Set("log_type", std::to_string(ValueOf0(ReadIni(file, section, "Log_Type"))));
      rs.Update();
    }
    rs.Close();
  });
}

}  // namespace ordane
