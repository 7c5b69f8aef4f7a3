// The panel interface library as the driver sees it: one method per export, named as the export.
// A text export takes the driver's text by reference; after the call the text has the same
// length as before and holds what the library left in it: its NUL-terminated answer at the
// start, the caller's remaining characters after it. The 16-bit result is the library's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "panelif/exports.h"

namespace ordane {

class PanelLibrary {
 public:
  virtual ~PanelLibrary() = default;

#define ORDANE_PANEL_PARAM_TEXT std::string& text
#define ORDANE_PANEL_PARAM_NONE
#define ORDANE_PANEL_METHOD(name, kind) virtual std::int16_t name(ORDANE_PANEL_PARAM_##kind) = 0;
  ORDANE_PANEL_EXPORTS(ORDANE_PANEL_METHOD)
#undef ORDANE_PANEL_METHOD
};

// Calls a C text export the way the driver's runtime does: `text` is copied into a buffer one
// longer than itself (the last byte a NUL), the export answers in it, and the buffer's first
// text.size() bytes are copied back.
std::int16_t CallTextExport(std::int16_t (*fn)(char*), std::string& text);

// Opens the panel interface library at `path` and resolves every export. Throws ordane::Error
// naming the file and every missing symbol when it cannot.
std::unique_ptr<PanelLibrary> LoadPanelLibrary(const std::filesystem::path& path);

// The libpanelif.so beside the running executable, or, where there is none, the installed one
// (its folder below the library folder, reached from the executable's folder).
std::filesystem::path DefaultPanelLibraryPath();

}  // namespace ordane
