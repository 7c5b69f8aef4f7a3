#include "util/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "util/ini.h"

namespace ordane {

std::optional<std::filesystem::path> PlaceNewFile(const std::filesystem::path& folder,
                                                  const std::function<std::string()>& next_name,
                                                  std::string_view content, int attempts) {
  const std::filesystem::path tmp =
      folder / (".new." + std::to_string(::getpid()) + "." + std::to_string(::gettid()) + ".tmp");
  if (!WriteFileAtomic(tmp, content)) return std::nullopt;
  for (int i = 0; i < attempts; ++i) {
    std::filesystem::path target = folder / next_name();
    if (::link(tmp.c_str(), target.c_str()) == 0) {
      ::unlink(tmp.c_str());
      return target;
    }
    if (errno != EEXIST) break;
  }
  int saved = errno;
  ::unlink(tmp.c_str());
  errno = saved;
  return std::nullopt;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return ss.str();
}

}  // namespace ordane
