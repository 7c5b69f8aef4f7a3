// The library's trace: every frame in and out and every notable event, with time, link name and
// direction, written to a file while switched on. Safe to call from any thread.
#pragma once

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace ordane::panelif {

class Trace {
 public:
  Trace() = default;
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Turns the trace on, into the file named by key "File" of section "Trace" of the INI file
  // `ini` (default "panelif.trace"; a relative name lies beside the INI file). "\" in `ini` is
  // read as "/". False when the trace file cannot be opened.
  bool Start(std::string_view ini);
  void Stop();
  bool on() const;
  std::filesystem::path file() const;

  // One line: time, link, direction ("<" in, ">" out, "!" a note), text. Nothing while off.
  void Line(std::string_view link, std::string_view direction, std::string_view text);

 private:
  mutable std::mutex mu_;
  std::FILE* out_ = nullptr;
  std::filesystem::path file_;
};

}  // namespace ordane::panelif
