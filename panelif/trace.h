// The library's trace: every frame in and out and every notable event, with time, link name and
// direction, written to a file while switched on. Safe to call from any thread. The file never
// grows past its size limit: before a line would take it there, the file is renamed to
// "<file>.1" (replacing the previous old copy) and a new one begun, so a trace left on for
// months holds at most twice the limit on disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace ordane::panelif {

class Trace {
 public:
  explicit Trace(std::uint64_t max_bytes = 10 * 1024 * 1024) : max_bytes_(max_bytes) {}
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
  // Moves the full file aside and opens a new one; called with mu_ held and the file open.
  void Rotate();

  mutable std::mutex mu_;
  std::FILE* out_ = nullptr;
  std::filesystem::path file_;
  std::uint64_t size_ = 0;  // bytes in the current file
  std::uint64_t max_bytes_;
};

}  // namespace ordane::panelif
