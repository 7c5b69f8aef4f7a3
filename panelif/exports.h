/* The exports of the panel interface library, written once. Every user expands the list with its
 * own X(NAME, KIND) macro: the library defines the C functions, the driver's interface declares
 * one method per export, the loader resolves the names and the test double records them.
 * KIND is TEXT for an export that takes one NUL-terminated text (answered in place) and NONE for
 * one that takes nothing. Every export returns a 16-bit result. */
#ifndef ORDANE_PANELIF_EXPORTS_H_
#define ORDANE_PANELIF_EXPORTS_H_

#define ORDANE_PANEL_EXPORTS(X)   \
  X(INITMONITOR, NONE)            \
  X(DLLINFORMATION, TEXT)         \
  X(INITIALIZEPANEL, TEXT)        \
  X(MODEMCOMMAND, TEXT)           \
  X(GETEVENTRESPONSE, TEXT)       \
  X(GETCOMMANDRESPONSE, TEXT)     \
  X(GETBUSYSTATE, TEXT)           \
  X(DEFAULTSTATUS, TEXT)          \
  X(GETFIRMWAREREVISION, TEXT)    \
  X(GETPANELSTATUS, TEXT)         \
  X(GETAREASTATUS, TEXT)          \
  X(GETONBOARDRELAYSTATUS, TEXT)  \
  X(GETOFFBOARDRELAYSTATUS, TEXT) \
  X(GETACTUALPOINTSTATUS, TEXT)   \
  X(POINTBYPASSSTATUS, TEXT)      \
  X(DOORCOMMAND, TEXT)            \
  X(ARMAREA, TEXT)                \
  X(DISARMAREA, TEXT)             \
  X(SILENCEBELL, TEXT)            \
  X(BYPASSPOINT, TEXT)            \
  X(SETONBOARDRELAY, TEXT)        \
  X(SETOFFBOARDRELAY, TEXT)       \
  X(SETDATETIME, TEXT)            \
  X(UPDATEUSERNAME, TEXT)         \
  X(UPDATETOKENTABLE, TEXT)       \
  X(UPDATEUSERCLASS, TEXT)        \
  X(UPDATESKED, TEXT)             \
  X(SETHOLIDAY, TEXT)             \
  X(SETPOINTTEXT, TEXT)           \
  X(BULKPOINTTEXTUPDATE, TEXT)    \
  X(BULKUSERNAMEUPDATE, TEXT)     \
  X(BULKTOKENTABLEUPDATE, TEXT)   \
  X(BULKUSERCLASSUPDATE, TEXT)    \
  X(READUSERNAMES, TEXT)          \
  X(READUSERCLASSES, TEXT)        \
  X(READTOKENTABLES, TEXT)        \
  X(READHOLIDAYS, TEXT)           \
  X(READSKEDS, TEXT)              \
  X(READPOINTTEXTALL, TEXT)       \
  X(READAUTHORITYLEVELS, TEXT)    \
  X(GETPOINTTEXT, TEXT)           \
  X(GETDOORAREAS, TEXT)           \
  X(STARTTRACE, TEXT)             \
  X(STOPTRACE, NONE)              \
  X(TERMINATEALL, NONE)           \
  X(STOPMONITORING, NONE)         \
  X(TERMINATEPANEL, TEXT)

/* Sizes of the buffers the driver hands to the three polling exports; the library fills them
 * whatever text they hold. */
#define ORDANE_EVENT_BUFFER_SIZE 1026
#define ORDANE_COMMAND_BUFFER_SIZE 30000
#define ORDANE_BUSY_BUFFER_SIZE 1024

#endif /* ORDANE_PANELIF_EXPORTS_H_ */
