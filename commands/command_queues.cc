#include "commands/command_queues.h"

namespace ordane {

// The panel command builder is not in this build. The queues leave their commands where they
// are (files in their folder, rows in their table), so that none is lost before it can be sent.
void Exec_cmds(Driver&) {}
void Exec_dbCMDs(Driver&) {}

}  // namespace ordane
