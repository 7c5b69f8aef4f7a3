// unit_files: writes the systemd units of the package into a folder, the same texts that
// "paneldriver -install" and "eventsvc --install" write, for programs installed in BINDIR.
//
//   unit_files OUTDIR BINDIR
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/service_control.h"
#include "util/ini.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  using namespace ordane;
  if (argc != 3) {
    std::fprintf(stderr, "usage: unit_files OUTDIR BINDIR\n");
    return 2;
  }
  // The packaged units use the default settings file, whatever the build's environment says.
  ::unsetenv("ORDANE_SETTINGS");
  const fs::path out = argv[1];
  const fs::path bin = argv[2];
  ServiceControl driver(out, bin / "paneldriver");
  if (!driver.Install() || !driver.SaveSetting("Parameters", "TimerInterval", "1000")) {
    std::fprintf(stderr, "unit_files: cannot write %s\n", driver.UnitPath().c_str());
    return 1;
  }
  const fs::path events = out / std::string(kEventServiceUnit);
  if (!WriteFileAtomic(events, EventServiceUnitText(bin / "eventsvc", {}))) {
    std::fprintf(stderr, "unit_files: cannot write %s\n", events.c_str());
    return 1;
  }
  return 0;
}
