// What an event makes the driver do to other equipment before it is stored: the card holder's
// name on the reader's event source, a camera switched onto a monitor, an intercom call, an
// e-mail. The driver does none of it itself: it leaves one-line command files in other
// drivers' command folders, the intercom command file, or an e-mail request for the system's
// shell program. A missing settings file or key reads as empty and ends an action quietly.
#pragma once

#include <functional>
#include <string>

#include "core/driver.h"

namespace ordane {

// Runs `action` now, or, while the logger completes an event, once the event is stored.
void AfterStore(Driver& d, std::function<void()> action);

// Card events: sends the event description and the name, 16 characters each, to the device
// that the reader's "Event_Source" names, when that device belongs to another driver.
void EventSourceAction(Driver& d, const std::string& address, const std::string& description,
                       const std::string& name);

// The intercom message for a one-letter command ("" for a letter the intercom does not know).
std::string InterCommMessage(const std::string& command, const std::string& aa,
                             const std::string& bb);
// Writes the intercom message as the intercom driver's (199) command file "it.000"; a newer
// call replaces a file the intercom driver has not taken yet. Reports its own errors.
void Send_InterComm(Driver& d, const std::string& command, const std::string& aa,
                    const std::string& bb);
// Reads the intercom settings of `address` ("InterComm" DriverId ".ini") and calls it.
void IntercomAction(Driver& d, const std::string& address);

// Point events: the camera settings of `address` ("camera" DriverId ".ini") either forward a
// protocol text (its part after a ":" is sent about 5 seconds later by the polling timer) or
// switch the camera onto the monitor with its preset; then the intercom action.
void CameraActions(Driver& d, const std::string& address);
// One camera command built from the monitor driver's ".dvr" template for `mode` and sent as
// the connection type of the monitor's controller says. Errors are ignored.
void CameraCommand(Driver& d, int mode, const std::string& monitor, const std::string& camera,
                   const std::string& preset);
// Puts the part after the first ":" of `protocol` into the first free delayed camera command
// (dropped when all ten are in use) and returns the part before it.
std::string DelayProtocolRest(Driver& d, const std::string& monitor, const std::string& protocol);

// Every event: when the event code has an e-mail recipient, writes an e-mail request file into
// RemotePath and starts RemotePath/odn_shell with it (when that is missing or not executable,
// the request stays and one error line says so).
void EmailAction(Driver& d, const std::string& code, const std::string& timestamp,
                 const std::string& address, const std::string& address_description,
                 const std::string& event_description, const std::string& name);

// Control points and triggers are read and shown in debug lines only; nothing is run.
void ControlPointAction(Driver& d, const std::string& address);
void TriggerAction(Driver& d, const std::string& code, const std::string& address);

}  // namespace ordane
