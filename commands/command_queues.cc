#include "commands/command_queues.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

#include "commands/panel_commands.h"
#include "db/db.h"
#include "panel/connections.h"
#include "panel/panel_library.h"
#include "util/paths.h"
#include "util/report.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr std::int64_t kErrBadFileName = 52;

enum class Queue { kDatabase, kFiles };

// What the queue does after a command: go on with the next one, or end its pass once the
// command's own clean-up has run (the row deleted or the file removed).
enum class After { kNext, kEndPass };

// Runs `f` with the queue's prefix in front of its error description.
template <class F>
bool PrefixedStep(Routine& r, const char* prefix, F&& f) {
  return r.Step([&] {
    try {
      f();
    } catch (const Error& e) {
      throw Error(e.number(), prefix + std::string(e.what()));
    }
  });
}

void StartDownload(Driver& d) {
  std::string program;
  try {
    program = d.lib.ReadSys1("OS", "DownloadProgram");
  } catch (const Error&) {
  }
  if (program.empty()) program = ResolvePath(d.RemotePath, "\\download").string();
  if (!SpawnDetached({program}))
    throw Error(kErrFileNotFound, "cannot start the download program " + program);
}

// "POLL slot state": state 0 hangs the panel up, 1 connects it. Returns the poll text, which
// replaces the command for the debug line.
std::string Poll(Driver& d, const std::string& command) {
  const std::size_t p = InStr(command, "POLL");
  const std::string poll = Trim(Mid(command, p + 5));
  const std::int64_t state = ValueOf0(Right(poll, 1));
  if (state != 0 && state != 1) return poll;
  const std::size_t blank = InStr(poll, " ");
  if (blank == 0) throw Error(kErrGeneric, "no panel in poll command " + poll);
  const std::int16_t slot = ToInt16(ValueOf0(Left(poll, blank - 1)));
  if (state == 0)
    DisconnectPanel(d, slot);
  else
    ConnectPanel(d, slot);
  return poll;
}

void Trace(Driver& d, const std::string& command) {
  d.TraceLevel = ToInt16(ValueOf0(Right(command, 1)));
  if (d.TraceLevel == 0) {
    d.panel.STOPTRACE();
  } else {
    std::string path = ResolvePath(d.DriverFolder, "\\debug.ini").string();
    d.panel.STARTTRACE(path);
  }
}

bool IsKeyword(const std::string& kind, Queue queue) {
  return kind == "dnl" || kind == "fin" || kind == "ini" || kind == "pol" || kind == "dbg" ||
         (kind == "rgn" && queue == Queue::kDatabase);
}

// The keyword actions common to both queues. `clean_up` removes the queue's own record of the
// command (the row or the file); it runs before a stop or restart, so the command is not
// carried out again by the next driver.
After Act(Driver& d, Routine& r, const char* prefix, Queue queue, std::string& command,
          const std::function<void()>& clean_up) {
  const std::string kind = CommandKind(command);
  auto step = [&](auto&& f) { return PrefixedStep(r, prefix, f); };
  if (kind == "dnl") {
    step([&] { StartDownload(d); });
  } else if (kind == "fin") {
    step([&] { d.panel.TERMINATEALL(); });
    step([&] { WaitSeconds(d.loop, 1); });
    step([&] { d.panel.STOPMONITORING(); });
    step([&] { d.panel.STOPTRACE(); });
    clean_up();
    if (d.UnloadMainWindow) d.UnloadMainWindow();
    throw EndProcess{0};
  } else if (kind == "ini") {
    step([&] { d.panel.TERMINATEALL(); });
    step([&] { d.panel.STOPMONITORING(); });
    step([&] { d.panel.STOPTRACE(); });
    clean_up();
    step([&] { WaitSeconds(d.loop, 3); });
    if (d.RestartDriver) step([&] { d.RestartDriver(); });
    return After::kEndPass;
  } else if (kind == "pol") {
    step([&] { command = Poll(d, command); });
  } else if (kind == "rgn" && queue == Queue::kDatabase) {
    clean_up();
    step([&] { LoadRegions(d.regions, d.Hardware(), d.lib, d.errors); });
    return After::kEndPass;
  } else if (kind == "dbg") {
    step([&] { Trace(d, command); });
  }
  return After::kNext;
}

// Takes a file only when no program holds it open for writing: a read lease is refused while
// one does. Where leases are not available (another owner, a network file system), the name
// rule alone decides. Returns the open descriptor, -1 when the file is still being written;
// throws when it cannot be opened.
int OpenComplete(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    throw Error(kErrBadFileName,
                "cannot open command file " + file.string() + ": " + std::strerror(errno));
  // A writer that opens the file while the lease is held makes the kernel signal the holder;
  // SIGURG, unlike the default SIGIO, is ignored unless handled.
  ::fcntl(fd, F_SETSIG, SIGURG);
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ReadAll(int fd, const fs::path& file) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw Error(kErrBadFileName, "not a command file: " + file.string());
  if (static_cast<std::uint64_t>(st.st_size) > kMaxCommandFile)
    throw Error(kErrBadFileName, "command file " + file.string() + " holds " +
                                     std::to_string(st.st_size) + " bytes");
  std::string content;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      throw Error(kErrBadFileName,
                  "cannot read command file " + file.string() + ": " + std::strerror(errno));
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
    if (content.size() > kMaxCommandFile)
      throw Error(kErrBadFileName, "command file " + file.string() + " is too large");
  }
  return content;
}

// A file that cannot be taken is moved to "\Commands\Rejected", so that it neither blocks the
// files after it nor is lost; an operator can look at it there.
void SetAside(Driver& d, const fs::path& file) {
  fs::path rejected;
  if (!EnsureFolder(file.parent_path(), "Rejected", &rejected)) return;
  std::error_code ec;
  fs::rename(file, rejected / file.filename(), ec);
  if (!ec) d.errors.DebugLine("command file set aside: " + (rejected / file.filename()).string());
}

bool BeingWritten(const std::string& name) {
  return name.empty() || name[0] == '.' || (name.size() >= 4 && LCase(Right(name, 4)) == ".tmp");
}

// The command files in the order they were written (then by name).
std::vector<fs::path> CommandFiles(const fs::path& folder) {
  struct Entry {
    fs::file_time_type written;
    fs::path path;
  };
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e2;
    if (!it->is_regular_file(e2) || BeingWritten(it->path().filename().string())) continue;
    entries.push_back({it->last_write_time(e2), it->path()});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.written != b.written ? a.written < b.written : a.path < b.path;
  });
  std::vector<fs::path> files;
  for (auto& e : entries) files.push_back(std::move(e.path));
  return files;
}

}  // namespace

void Exec_dbCMDs(Driver& d) {
  Routine r(d.errors, "err_exec_dbcmds");
  constexpr const char* kPrefix = "Exec_dbCMDs:  ";
  const std::string mine = std::to_string(d.DriverId) + ".%";
  db::Recordset rs;
  // In the order the commands were queued: a connect queued before a command goes first.
  if (!PrefixedStep(r, kPrefix, [&] {
        rs.Open(d.lib.TSQL("select * from controller_commands where address like '" + mine +
                           "' order by id"),
                d.Hardware());
      }))
    return;
  d.errors.LastErrorNumber = 0;
  // Only the rows that were read go, each once it has been carried out: a row inserted meanwhile,
  // with a lower id that committed late, is read by the next pass.
  auto delete_row = [&d, &r, kPrefix, mine](const std::string& id) {
    if (id.empty()) return;
    PrefixedStep(r, kPrefix, [&] {
      d.Hardware().Execute("Delete from controller_commands where id = " + id +
                           " and address like '" + mine + "'");
    });
  };
  PacedCommands paced(d);
  while (!rs.Eof()) {
    d.loop.DoEvents();
    std::string command;
    PrefixedStep(r, kPrefix, [&] { command = Trim(rs.Text("cmd")); });
    if (!command.empty() && InStr(command, " ") == 0) command += " ";
    std::string id;
    PrefixedStep(r, kPrefix, [&] {
      id = rs.Text("id");
      if (!AllDigits(id)) {
        id.clear();
        throw Error(kErrDbCommand, "controller_commands row without an id");
      }
    });
    if (InStr(command, " ") == 0) {  // empty: nothing to do, but the row goes
      delete_row(id);
    } else if (IsKeyword(CommandKind(command), Queue::kDatabase)) {
      paced.Flush();  // the commands before it first
      const After after = Act(d, r, kPrefix, Queue::kDatabase, command, [&] {
        delete_row(id);
        id.clear();
        rs.Close();
      });
      d.errors.DebugLine(command);
      if (after == After::kEndPass) return;
      delete_row(id);
    } else {
      command = Trim(command);
      d.errors.DebugLine(command);
      paced.Submit(command, [delete_row, id] { delete_row(id); });
    }
    rs.MoveNext();
  }
  // What waits for a panel's pause is parked; the pass ends without waiting.
  paced.Park();
  rs.Close();
}

void Exec_cmds(Driver& d) {
  Routine r(d.errors, "ERR_Exec_cmds");
  const fs::path folder = ResolvePath(d.DriverFolder, "\\Commands");
  for (const fs::path& file : CommandFiles(folder)) {
    std::string content;
    d.errors.LastErrorNumber = 0;
    int fd = -1;
    const bool read = r.Step([&] {
      fd = OpenComplete(file);
      if (fd < 0) return;
      struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
      } closer{fd};
      content = ReadAll(fd, file);
    });
    if (read && fd < 0) continue;  // still being written: a later tick takes it
    if (!read) {
      // A file that cannot be read ends this pass; it is set aside so that the files after it
      // are taken on the next tick.
      if (d.errors.LastErrorNumber == kErrBadFileName) SetAside(d, file);
      return;
    }
    bool removed = false;
    auto remove = [&] {
      if (removed) return;
      removed = true;
      std::error_code ec;
      fs::remove(file, ec);
      if (ec)
        r.Report(kErrPathAccess,
                 "cannot delete command file " + file.string() + ": " + ec.message());
    };
    // The file goes once all of its commands have been carried out.
    PacedCommands paced(d);
    for (std::string command : ReadCommandFields(content)) {
      d.errors.DebugLine("Command:  " + command);
      if (IsKeyword(CommandKind(command), Queue::kFiles)) {
        paced.Flush();
        if (Act(d, r, "", Queue::kFiles, command, remove) == After::kEndPass) return;
      } else if (!command.empty()) {
        paced.Submit(Trim(command), nullptr);
      }
    }
    paced.Park();
    remove();
  }
}

}  // namespace ordane
