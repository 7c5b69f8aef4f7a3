#include "panel/connections.h"

#include <cstdlib>

#include "db/db.h"
#include "panel/message_buffer.h"
#include "panel/panel_library.h"
#include "util/report.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

// The rows that say how a panel is reached.
struct PanelRows {
  bool found = false;
  std::int16_t panel = 0;
  std::string connection_type, ec_1_name;
  std::string port, baud_rate, port2;
};

// Reads the controllers row of `panel` and the channels row whose channel is the controller
// address (not the controller's own channel column). Returns rows.found false, reported, when
// there is no controllers row or the database is gone.
PanelRows ReadPanelRows(Driver& d, Routine& r, std::int16_t panel) {
  PanelRows rows;
  const std::string address = std::to_string(d.DriverId) + "." + std::to_string(panel);
  d.errors.LastErrorNumber = 0;
  bool opened = r.Step([&] {
    db::Recordset rs;
    rs.Open("select * from controllers where address = '" + address + "'", d.Hardware());
    if (rs.Eof()) return;
    rows.found = true;
    rows.panel = ToInt16(ValueOf0(rs.Text("controller_address")));
    rows.connection_type = rs.Text("Connection_Type");
    rows.ec_1_name = rs.Text("EC_1_Name");
    rs.Close();
  });
  if (!opened && d.errors.DatabaseLost()) return PanelRows{};
  if (!rows.found) {
    if (opened) r.Report(kErrSubscript, "no controller " + address + " to connect or hang up");
    return PanelRows{};
  }
  r.Step([&] {
    db::Recordset ch;
    ch.Open("select * from channels where driver_id = " + std::to_string(d.DriverId) +
                " and channel = " + std::to_string(rows.panel),
            d.Hardware());
    if (!ch.Eof()) {
      rows.port = ch.Text("port");
      rows.baud_rate = ch.Text("baud_rate");
      rows.port2 = ch.Text("port2");
    }
    ch.Close();
  });
  return rows;
}

}  // namespace

PanelConnection::Line LineOf(const std::string& connection_type) {
  if (connection_type >= "0" && connection_type <= "3")
    return connection_type >= "1" ? PanelConnection::Line::kModem : PanelConnection::Line::kSerial;
  if (connection_type == "4") return PanelConnection::Line::kTcp;
  return PanelConnection::Line::kNone;
}

PanelConnection BuildConnection(const std::string& connection_type, const std::string& ec_1_name,
                                const std::string& channel_port, const std::string& baud_rate,
                                const std::string& port2) {
  PanelConnection c;
  c.line = LineOf(connection_type);
  switch (c.line) {
    case PanelConnection::Line::kSerial:
    case PanelConnection::Line::kModem:
      c.PortName = "COM" + channel_port;
      c.ConnectString =
          "serial port - " + c.PortName + " baud=" + baud_rate + " parity=n data=8 stop=1";
      if (c.line == PanelConnection::Line::kModem)
        c.DialCommand = c.PortName + " 1000 ATD,T" + ec_1_name + "\r";
      break;
    case PanelConnection::Line::kTcp:
      c.PortName = ec_1_name;
      c.ConnectString = "TCP/IP - " + c.PortName + " " + std::to_string(ValueOf0(port2));
      break;
    case PanelConnection::Line::kNone:
      break;
  }
  return c;
}

std::string ModemEscape(const std::string& port) { return port + " 1000 +++\r"; }
std::string ModemHangUp(const std::string& port) { return port + " 1000 ATH\r"; }

void ConnectPanel(Driver& d, std::int16_t panel) {
  Routine r(d.errors, "");
  if (!r.Step([&] { d.Slot(panel) = PanelSlot{}; })) return;
  const PanelRows rows = ReadPanelRows(d, r, panel);
  if (!rows.found) return;
  d.CurrentPanel = rows.panel;
  const int current = d.CurrentPanel;
  const PanelConnection c =
      BuildConnection(rows.connection_type, rows.ec_1_name, rows.port, rows.baud_rate, rows.port2);
  if (c.line != PanelConnection::Line::kNone) {
    r.Step([&] {
      PanelSlot& slot = d.Slot(current);
      slot.PortName = c.PortName;
      slot.ConnectString = c.ConnectString;
      slot.DialCommand = c.DialCommand;
      std::string text = c.ConnectString;
      d.panel.INITIALIZEPANEL(text);
    });
    if (!c.DialCommand.empty())
      r.Step([&] {
        std::string text = c.DialCommand;
        d.panel.MODEMCOMMAND(text);
      });
  }
  if (!r.Step([&] { d.Slot(current).LinkState = kLinkEstablished; })) return;
  r.Step([&] { Process_Buffer(d, d.CurrentPanel); });
  r.Step([&] { request_io(d, d.CurrentPanel, 0); });
}

void DisconnectPanel(Driver& d, std::int16_t panel) {
  Routine r(d.errors, "");
  const PanelRows rows = ReadPanelRows(d, r, panel);
  if (!rows.found) return;
  d.CurrentPanel = rows.panel;
  const int current = d.CurrentPanel;
  const PanelConnection c =
      BuildConnection(rows.connection_type, rows.ec_1_name, rows.port, rows.baud_rate, rows.port2);
  if (c.line != PanelConnection::Line::kNone) {
    r.Step([&] {
      PanelSlot& slot = d.Slot(current);
      slot.PortName = c.PortName;
      // Hung up on purpose: the line is not dialled again when the library reopens it.
      slot.DialCommand.clear();
      slot.RedialAt = {};
    });
  }
  if (c.line == PanelConnection::Line::kModem) {
    r.Step([&] {
      std::string text = ModemEscape(c.PortName);
      d.panel.MODEMCOMMAND(text);
    });
    r.Step([&] {
      std::string text = ModemHangUp(c.PortName);
      d.panel.MODEMCOMMAND(text);
    });
  }
  if (!r.Step([&] { d.Slot(current).LinkState = kLinkNotConnected; })) return;
  r.Step([&] {
    d.Hardware().Execute("update [controllers] set cstatus=0 where address = '" +
                         d.ControllerAddress(current) + "'");
  });
  r.Step([&] { request_io(d, d.CurrentPanel, 0); });
}

namespace {

// Sends one status request with the panel's link name.
template <class Export>
void Request(Driver& d, const std::string& port, Export call) {
  std::string text = port;
  (d.panel.*call)(text);
}

}  // namespace

void request_io(Driver& d, std::int16_t panel, int /*flag*/) {
  Routine r(d.errors, "ERR_request_io");
  std::string port;
  if (!r.Step([&] { port = d.Slot(panel).PortName; }) || port.empty()) return;
  r.Step([&] { Request(d, port, &PanelLibrary::DEFAULTSTATUS); });
  r.Step([&] { Request(d, port, &PanelLibrary::GETFIRMWAREREVISION); });
  r.Step([&] {
    std::string door = port + " GetStatus 0";
    d.panel.DOORCOMMAND(door);
  });
  r.Step([&] { Request(d, port, &PanelLibrary::GETPANELSTATUS); });
  r.Step([&] { Request(d, port, &PanelLibrary::GETAREASTATUS); });
  r.Step([&] { Request(d, port, &PanelLibrary::GETONBOARDRELAYSTATUS); });
  r.Step([&] { Request(d, port, &PanelLibrary::GETOFFBOARDRELAYSTATUS); });
  r.Step([&] { Request(d, port, &PanelLibrary::GETACTUALPOINTSTATUS); });
  r.Step([&] { Request(d, port, &PanelLibrary::POINTBYPASSSTATUS); });
}

std::chrono::milliseconds RedialDelay() {
  // The library reopens a lost line after its retry interval (PANELIF_RETRY_MS, 5 s unless
  // set); a dial sent to a port that is still closed would be dropped, so wait one second more.
  std::int64_t retry = 5000;
  if (const char* v = std::getenv("PANELIF_RETRY_MS"); v != nullptr && *v != '\0')
    retry = ValueOf0(v);
  return std::chrono::milliseconds(retry + 1000);
}

void ScheduleRedial(Driver& d, int slot) {
  PanelSlot& s = d.Slot(slot);
  // A silent line is reported lost once per retry interval; a dial already due stays due, or
  // every new report would push it out again.
  if (s.DialCommand.empty() || s.RedialAt != Clock::SteadyTime{}) return;
  s.RedialAt = d.clock.SteadyNow() + RedialDelay();
}

void RedialModems(Driver& d) {
  Routine r(d.errors, "ERR_RedialModems");
  const auto now = d.clock.SteadyNow();
  for (PanelSlot& slot : d.panels) {
    if (slot.DialCommand.empty() || slot.RedialAt == Clock::SteadyTime{} || now < slot.RedialAt)
      continue;
    slot.RedialAt = {};
    d.errors.DebugLine("Redial:  " + slot.PortName);
    r.Step([&] {
      std::string text = slot.DialCommand;
      d.panel.MODEMCOMMAND(text);
    });
  }
}

}  // namespace ordane
