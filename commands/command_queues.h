// The two command queues: rows of controller_commands and files in the driver's "\Commands"
// folder. Each command is a keyword that acts on the driver itself (dnl, fin, ini, pol, rgn,
// dbg) or a command message for the panel command builder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_text.h"
#include "core/driver.h"

namespace ordane {

// A command file larger than this is set aside unread (no command file comes near it).
inline constexpr std::size_t kMaxCommandFile = 16 * 1024 * 1024;

// Carries out the command files of "\Commands" (Timer1), each deleted once carried out. A file
// is taken only when it is complete: files whose names begin with "." or end in ".tmp" are
// being written and wait, and so does a file that some program still holds open for writing.
void Exec_cmds(Driver& d);
// Carries out the controller_commands rows of this driver (Timer2); each row read is deleted
// once it has been carried out, and only the rows read.
void Exec_dbCMDs(Driver& d);

}  // namespace ordane
