/* The C interface of libpanelif.so: one function per export of the list in exports.h, upper-case
 * names, C linkage. A TEXT export takes a NUL-terminated text and may answer in place, never
 * past the text's NUL; GETEVENTRESPONSE, GETCOMMANDRESPONSE and GETBUSYSTATE instead fill a
 * buffer of ORDANE_EVENT_BUFFER_SIZE, ORDANE_COMMAND_BUFFER_SIZE and ORDANE_BUSY_BUFFER_SIZE
 * characters. No export throws or blocks for longer than a queue lock, except INITIALIZEPANEL,
 * which only starts the connection. */
#ifndef ORDANE_PANELIF_PANELIF_H_
#define ORDANE_PANELIF_PANELIF_H_

#include <stdint.h>

#include "panelif/exports.h"

#if defined(__GNUC__)
#define ORDANE_PANELIF_API __attribute__((visibility("default")))
#else
#define ORDANE_PANELIF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ORDANE_PANELIF_ARG_TEXT char* text
#define ORDANE_PANELIF_ARG_NONE void
#define ORDANE_PANELIF_DECLARE(name, kind) \
  ORDANE_PANELIF_API int16_t name(ORDANE_PANELIF_ARG_##kind);
ORDANE_PANEL_EXPORTS(ORDANE_PANELIF_DECLARE)
#undef ORDANE_PANELIF_DECLARE

#ifdef __cplusplus
}
#endif

#endif /* ORDANE_PANELIF_PANELIF_H_ */
