#include "panel/panel_library.h"

#include <dlfcn.h>

#include <vector>

#include "util/error.h"

namespace ordane {
namespace {

using TextExport = std::int16_t (*)(char*);
using PlainExport = std::int16_t (*)();

// A library opened with dlopen. Every export is resolved before the object is handed out, so
// a method never meets a missing function.
class SharedPanelLibrary final : public PanelLibrary {
 public:
  explicit SharedPanelLibrary(void* handle) : handle_(handle) {}
  ~SharedPanelLibrary() override {
    // The library's own teardown (its I/O thread) runs at dlclose.
    if (handle_ != nullptr) dlclose(handle_);
  }
  SharedPanelLibrary(const SharedPanelLibrary&) = delete;
  SharedPanelLibrary& operator=(const SharedPanelLibrary&) = delete;

  // Resolves every export; returns the names that are missing.
  std::vector<std::string> Resolve() {
    std::vector<std::string> missing;
#define ORDANE_RESOLVE(name, kind)                                      \
  name##_ = reinterpret_cast<decltype(name##_)>(dlsym(handle_, #name)); \
  if (name##_ == nullptr) missing.emplace_back(#name);
    ORDANE_PANEL_EXPORTS(ORDANE_RESOLVE)
#undef ORDANE_RESOLVE
    return missing;
  }

#define ORDANE_METHOD_TEXT(name) \
  std::int16_t name(std::string& text) override { return CallTextExport(name##_, text); }
#define ORDANE_METHOD_NONE(name) \
  std::int16_t name() override { return name##_(); }
#define ORDANE_METHOD(name, kind) ORDANE_METHOD_##kind(name)
  ORDANE_PANEL_EXPORTS(ORDANE_METHOD)
#undef ORDANE_METHOD
#undef ORDANE_METHOD_TEXT
#undef ORDANE_METHOD_NONE

 private:
  void* handle_;
#define ORDANE_POINTER_TEXT TextExport
#define ORDANE_POINTER_NONE PlainExport
#define ORDANE_POINTER(name, kind) ORDANE_POINTER_##kind name##_ = nullptr;
  ORDANE_PANEL_EXPORTS(ORDANE_POINTER)
#undef ORDANE_POINTER
};

}  // namespace

std::int16_t CallTextExport(TextExport fn, std::string& text) {
  std::vector<char> buffer(text.size() + 1, '\0');
  text.copy(buffer.data(), text.size());
  std::int16_t result = fn(buffer.data());
  text.assign(buffer.data(), text.size());
  return result;
}

std::unique_ptr<PanelLibrary> LoadPanelLibrary(const std::filesystem::path& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    throw Error(kErrFileNotFound, "cannot load the panel interface library " + path.string() +
                                      ": " + (why != nullptr ? why : "unknown reason"));
  }
  auto library = std::make_unique<SharedPanelLibrary>(handle);
  std::vector<std::string> missing = library->Resolve();
  if (!missing.empty()) {
    std::string names;
    for (const auto& name : missing) names += (names.empty() ? "" : ", ") + name;
    throw Error(kErrGeneric,
                "the panel interface library " + path.string() + " lacks the exports: " + names);
  }
  return library;
}

std::filesystem::path DefaultPanelLibraryPath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "libpanelif.so";
  std::filesystem::path beside = exe.parent_path() / "libpanelif.so";
#ifdef ORDANE_PANELIF_INSTALL_DIR
  // Installed, the library has a folder of its own, found from the program's folder so that
  // an installation unpacked below another root works as well.
  std::filesystem::path installed =
      (exe.parent_path() / ORDANE_PANELIF_INSTALL_DIR / "libpanelif.so").lexically_normal();
  if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(installed, ec))
    return installed;
#endif
  return beside;
}

}  // namespace ordane
