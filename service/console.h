// The operator console: a small web page on 127.0.0.1 that shows what the main window shows
// (List1, the panel table, the driver status file) with the driver's counters, offers the
// Connect and Terminate buttons for a panel number and the Shutdown menu, and serves the
// metrics text at /metrics.
//
// The HTTP server runs on its own thread and never touches driver state: every request that
// needs it posts a task to the message loop and waits for the answer. Actions need the token
// the driver writes at start to a file only its user can read.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/driver.h"

namespace ordane {

inline constexpr int kConsoleDefaultPort = 11080;

// "Console_Port" of section OS: empty gives 11080, 0 turns the console off. A value that is not
// a port gives the default and a line in `problem`.
int ConsolePort(SystemLibrary& lib, std::string* problem);

// ".console-token" beside the instance lock file.
std::filesystem::path ConsoleTokenPath();
// A fresh random token (64 hexadecimal digits), written to `path` with mode 0600 (under a new
// name in the same folder, renamed into place). Empty when it cannot be written; `error` says why.
std::string WriteConsoleToken(const std::filesystem::path& path, std::string* error);

// `s` as a JSON string, quotes included. Control characters and every byte above 127 are
// written as \u00XX, so any text from a panel or the database gives valid JSON.
std::string JsonString(std::string_view s);

// What the console remembers between two looks at the driver: when each panel's status texts
// last changed.
struct ConsoleWatch {
  std::array<std::size_t, kPanelSlots> status_hash{};
  std::array<std::string, kPanelSlots> status_changed;
};

// The page's data as JSON, and the metrics text. Loop thread only.
std::string ConsoleStateJson(Driver& d, ConsoleWatch& watch);
std::string DriverMetricsText(Driver& d);
// Runs an operator action on the loop thread: "connect" or "terminate" (through the buttons'
// routines, for `panel` as the operator typed it) or "shutdown". Returns "" when done, else
// the reason it was not. "shutdown" ends the process (throws EndProcess).
std::string ConsoleAction(Driver& d, std::string_view action, const std::string& panel);

// The page and its script (console_page.cc).
extern const char* const kConsolePage;
extern const char* const kConsoleScript;

class Console {
 public:
  explicit Console(Driver& d);
  ~Console();  // stops the server
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Serves on 127.0.0.1:`port` (0: a free port) on a thread of its own. An empty token refuses
  // every action. False, with the reason in `error`, when the port cannot be had.
  bool Start(int port, std::string token, std::string* error);
  void Stop();
  int port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process's console: the port from the settings, the token file, the server, and the
// lines that say where it is. Null when it is off or could not start (the reason is logged).
std::unique_ptr<Console> StartConsole(Driver& d);

}  // namespace ordane
