// The two command queues: rows of controller_commands and files in the driver's "\Commands"
// folder, each command carried out through the panel command builder.
#pragma once

#include "core/driver.h"

namespace ordane {

// Carries out the command files of "\Commands" (Timer1).
void Exec_cmds(Driver& d);
// Carries out the controller_commands rows of this driver (Timer2).
void Exec_dbCMDs(Driver& d);

}  // namespace ordane
