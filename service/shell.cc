#include "service/shell.h"

#include <filesystem>
#include <system_error>

#include "db/db.h"
#include "events/event_files.h"
#include "panel/connections.h"
#include "panel/message_buffer.h"
#include "panel/panel_library.h"
#include "core/log.h"
#include "service/timers.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

void ReportServiceError(Driver& d, const Error& e) {
  d.service.LogEvent(kMessageError, kEventError,
                     "[" + FormatErrorNumber(e.number()) + "] " + e.what());
}

namespace {

// Runs a service event under the service shell's handler: failures go to the event log.
template <class F>
void ServiceEvent(Driver& d, F&& f) {
  try {
    f();
  } catch (const EndProcess&) {
    throw;
  } catch (const Error& e) {
    ReportServiceError(d, e);
  } catch (const std::exception& e) {
    ReportServiceError(d, Error(kErrGeneric, e.what()));
  }
}

int PanelNumber(const std::string& text) { return static_cast<int>(ValueOf0(text)); }

}  // namespace

void Init_Service(Driver& d, const std::string& command_line) {
  ServiceEvent(d, [&] {
    const std::string cmd = LCase(Trim(command_line));
    if (cmd == "-install") {
      d.service.interactive = true;
      // The unit lets the driver write to the shared tree and the database folder its
      // settings name.
      const auto writable = WritableFolders(d.settings.RemotePath, d.settings.LocalPath,
                                            {d.settings.CxnAccessControl, d.settings.CxnHardware});
      if (d.service.Install(writable))
        d.service.SaveSetting("Parameters", "TimerInterval", "1000");
      throw EndProcess{0};
    }
    if (cmd == "-uninstall" || cmd == "-uninstallq") {
      d.service.Uninstall();
      throw EndProcess{0};
    }
    if (cmd == "-debug") {
      d.service.debug = true;
    } else if (!cmd.empty()) {
      ShutDriver(d);
    }
    d.service.StartService();
  });
}

void OnServiceStop(Driver& d) {
  ServiceEvent(d, [&] { ShutDriver(d, true); });
}

void OnServicePause(Driver& d) {
  ServiceEvent(d, [&] { d.service.LogEvent(kEventInformation, kMessageInformation, "Service paused"); });
}

void OnServiceContinue(Driver& d) {
  ServiceEvent(d, [&] { d.service.LogEvent(kEventInformation, kMessageInformation, "Service continued"); });
}

void Shutdown(Driver& d) {
  if (d.stopping) return;
  d.stopping = true;
  Routine r(d.errors, "ERR_Shutdown");
  d.loop.SetEnabled(d.Timer1, false);
  d.loop.SetEnabled(d.Timer2, false);
  r.Step([&] { d.panel.TERMINATEALL(); });
  r.Step([&] { d.panel.STOPMONITORING(); });
  r.Step([&] { d.panel.STOPTRACE(); });
  r.Step([&] { WaitSeconds(d.loop, 2); });
  UnloadMain(d);
  throw EndProcess{0};
}

void ShutDriver(Driver& d, bool from_service_manager) {
  if (d.stopping) return;
  d.stopping = true;
  Routine r(d.errors, "ERR_ShutDriver");
  r.Step([&] { d.panel.TERMINATEALL(); });
  r.Step([&] { WaitSeconds(d.loop, 1); });
  r.Step([&] { d.panel.STOPMONITORING(); });
  r.Step([&] { d.panel.STOPTRACE(); });
  UnloadMain(d);
  if (!from_service_manager) d.service.RequestStop();
  throw EndProcess{0};
}

void UnloadMain(Driver& d) {
  Routine r(d.errors, "ERR_MDIForm_Unload");
  NotifySystemd("STOPPING=1");
  d.loop.SetEnabled(d.Timer1, false);
  r.Step([&] {
    for (const fs::path& f : ListMatching(ResolvePath(d.DriverFolder, "\\status"), "*.srn")) {
      std::error_code ec;
      fs::remove(f, ec);
    }
  });
  r.Step([&] {
    std::string when = "0", address = std::to_string(d.DriverId), code = "HS002", detail, extra;
    F_logevent(d, when, address, code, detail, extra);
  });
  r.Step([&] {
    d.Hardware().Execute("update [drivers] set status=0 where driver_id =" +
                         std::to_string(d.DriverId));
  });
  r.Step([&] { d.db.OpenDatabases(0, d.settings, d.lib, d.errors); });
  LogLine(LogLevel::kInfo, "panel driver stopped");
}

void TerminateMain(Driver& d) {
  if (d.stopping) return;
  d.stopping = true;
  Routine r(d.errors, "err_MDIForm_Terminate");
  r.Step([&] { d.panel.TERMINATEALL(); });
  r.Step([&] { d.panel.STOPMONITORING(); });
  r.Step([&] { d.panel.STOPTRACE(); });
  UnloadMain(d);
  throw EndProcess{0};
}

void ConnectButton(Driver& d, const std::string& panel_text) {
  Routine r(d.errors, "ERR_Command1_Click");
  const int n = PanelNumber(panel_text);
  if (!r.Step([&] { d.Slot(n); })) return;
  // The connection texts come from the database, as for a connect command; the connect sends
  // the parked messages and asks the panel for its state.
  r.Step([&] { ConnectPanel(d, static_cast<std::int16_t>(n)); });
  if (d.Slot(n).LinkState != kLinkEstablished) return;  // no controller row
  r.Step([&] {
    d.Hardware().Execute("update [controllers] set cstatus=1 where address = '" +
                         d.ControllerAddress(n) + "'");
  });
}

void TerminateButton(Driver& d, const std::string& panel_text) {
  Routine r(d.errors, "ERR_Command1_Click");
  const int n = PanelNumber(panel_text);
  if (!r.Step([&] { d.Slot(n); })) return;
  // A modem line is hung up before the library lets it go, and is not dialled again.
  r.Step([&] { DisconnectPanel(d, static_cast<std::int16_t>(n)); });
  // The library knows the panel by its link name; an empty text would name no link.
  r.Step([&] {
    std::string text = d.Slot(n).PortName;
    d.panel.TERMINATEPANEL(text);
  });
  r.Step([&] { d.Slot(n).LinkState = kLinkLost; });
  r.Step([&] {
    d.Slot(n);
    d.Hardware().Execute("update [controllers] set cstatus=0 where address = '" +
                         d.ControllerAddress(n) + "'");
  });
  r.Step([&] { d.Slot(n).LostCount = 0; });
}

void Refresh_ORDANE_HW_Tree(Driver& d) {
  Routine r(d.errors, "ERR_Refresh_ORDANE_HW_Tree");
  constexpr int kWorkstations = 11;
  std::vector<std::string> names(kWorkstations);
  r.Step([&] {
    db::Recordset rs;
    rs.Open(d.lib.TSQL("select description from workstations"), d.Access());
    const auto start = d.clock.SteadyNow();
    for (int i = 0; i < kWorkstations && !rs.Eof(); ++i, rs.MoveNext()) {
      if (d.clock.SteadyNow() - start > std::chrono::seconds(5)) break;
      names[static_cast<std::size_t>(i)] = rs.Text("description");
    }
    rs.Close();
  });
  r.Step([&] {
    db::Recordset cmd;
    cmd.Open("select * from workstations_cmd", d.Access());
    for (const auto& name : names) {
      if (name.empty()) continue;
      cmd.AddNew();
      cmd.Set("description", name);
      cmd.Set("command", "rc:");
      cmd.Update();
    }
    cmd.Close();
  });
}

}  // namespace ordane
