// The C exports of libpanelif.so. Each forwards to the one Library of the process, created at
// the first call with the settings of the environment and closed when the library is unloaded
// or the process ends. No exception crosses into the caller.
#include <cstring>

#include "panelif/library.h"
#include "panelif/panelif.h"

namespace {

using ordane::panelif::Config;
using ordane::panelif::Library;

constexpr std::int16_t kFailed = -3;

Library& Instance() {
  static Library library(Config::FromEnvironment());
  return library;
}

std::int16_t CallText(const char* name, char* text) noexcept {
  try {
    Library& l = Instance();
    if (std::strcmp(name, "DLLINFORMATION") == 0) return l.DllInformation(text);
    if (std::strcmp(name, "INITIALIZEPANEL") == 0) return l.InitializePanel(text);
    if (std::strcmp(name, "MODEMCOMMAND") == 0) return l.ModemCommand(text);
    if (std::strcmp(name, "GETEVENTRESPONSE") == 0) return l.GetEventResponse(text);
    if (std::strcmp(name, "GETCOMMANDRESPONSE") == 0) return l.GetCommandResponse(text);
    if (std::strcmp(name, "GETBUSYSTATE") == 0) return l.GetBusyState(text);
    if (std::strcmp(name, "STARTTRACE") == 0) return l.StartTrace(text);
    if (std::strcmp(name, "TERMINATEPANEL") == 0) return l.TerminatePanel(text);
    return l.Request(name, text);
  } catch (...) {
    return kFailed;
  }
}

std::int16_t CallNone(const char* name) noexcept {
  try {
    Library& l = Instance();
    if (std::strcmp(name, "INITMONITOR") == 0) return l.InitMonitor();
    if (std::strcmp(name, "STOPTRACE") == 0) return l.StopTrace();
    if (std::strcmp(name, "TERMINATEALL") == 0 || std::strcmp(name, "STOPMONITORING") == 0) {
      return l.TerminateAll();
    }
    return kFailed;
  } catch (...) {
    return kFailed;
  }
}

}  // namespace

extern "C" {

#define ORDANE_DEFINE_TEXT(name) \
  int16_t name(char* text) { return CallText(#name, text); }
#define ORDANE_DEFINE_NONE(name) \
  int16_t name(void) { return CallNone(#name); }
#define ORDANE_DEFINE(name, kind) ORDANE_DEFINE_##kind(name)
ORDANE_PANEL_EXPORTS(ORDANE_DEFINE)
#undef ORDANE_DEFINE
#undef ORDANE_DEFINE_TEXT
#undef ORDANE_DEFINE_NONE

}  // extern "C"
