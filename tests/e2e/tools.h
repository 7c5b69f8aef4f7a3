// Helpers of the end-to-end tests that run a program to its end: its output, and whether this
// machine's systemd-analyze can judge units.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/child.h"
#include "util/files.h"
#include "util/ini.h"

namespace ordane::e2e {

// Runs `argv` to its end (at most `seconds`); its exit code, and its output in *out.
inline int RunToEnd(const std::vector<std::string>& argv, const Env& env, const fs::path& log,
                    std::string* out, int seconds = 60) {
  std::error_code ec;
  fs::remove(log, ec);
  Child c(argv, env, log);
  const int code = c.Wait(seconds);
  *out = ReadWholeFile(log).value_or("");
  return code;
}

// Runs a shell command line to its end; its exit code and output.
inline int Shell(const std::string& line, const fs::path& log, std::string* out) {
  return RunToEnd({"/bin/sh", "-c", line}, {}, log, out);
}

// Why systemd-analyze cannot judge units here, or "" when it can: it must be installed and
// accept a plain unit (`folder` holds the probe).
inline std::string SystemdAnalyzeMissing(const fs::path& folder) {
  const fs::path unit = folder / "probe.service";
  WriteFileAtomic(unit, "[Service]\nExecStart=/bin/true\n");
  std::string out;
  const int code = Shell("exec systemd-analyze verify " + unit.string(), folder / "probe.log", &out);
  std::error_code ec;
  fs::remove(unit, ec);
  if (code == 0) return "";
  return "systemd-analyze cannot verify units on this machine (exit " + std::to_string(code) +
         "): " + out;
}

// The overall exposure line of `systemd-analyze security` for `unit`, and whether it is below
// 2.0 (the command's own --threshold check).
inline bool ExposureBelowTwo(const fs::path& unit, const fs::path& log, std::string* overall) {
  std::string out;
  const int code = Shell("exec systemd-analyze security --offline=true --threshold=19 " +
                             unit.string(),
                         log, &out);
  const std::size_t at = out.find("Overall exposure level");
  *overall = at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  return code == 0 && at != std::string::npos;
}

}  // namespace ordane::e2e
