#include "panelif/trace.h"

#include <chrono>
#include <ctime>

#include "util/ini.h"
#include "util/text.h"

namespace ordane::panelif {

Trace::~Trace() { Stop(); }

bool Trace::Start(std::string_view ini) {
  std::filesystem::path ini_path = ReplaceAll(CString(ini), "\\", "/");
  std::string name = ReadProfileString(ini_path, "Trace", "File", "panelif.trace");
  if (name.empty()) name = "panelif.trace";
  std::filesystem::path file = ReplaceAll(name, "\\", "/");
  if (file.is_relative()) file = ini_path.parent_path() / file;
  std::FILE* out = std::fopen(file.c_str(), "a");
  std::lock_guard lock(mu_);
  if (out_ != nullptr) std::fclose(out_);
  out_ = out;
  file_ = out != nullptr ? file : std::filesystem::path{};
  return out != nullptr;
}

void Trace::Stop() {
  std::lock_guard lock(mu_);
  if (out_ != nullptr) std::fclose(out_);
  out_ = nullptr;
}

bool Trace::on() const {
  std::lock_guard lock(mu_);
  return out_ != nullptr;
}

std::filesystem::path Trace::file() const {
  std::lock_guard lock(mu_);
  return file_;
}

void Trace::Line(std::string_view link, std::string_view direction, std::string_view text) {
  std::lock_guard lock(mu_);
  if (out_ == nullptr) return;
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(out_, "%s.%03lld %.*s %.*s %.*s\n", stamp, static_cast<long long>(ms),
               static_cast<int>(link.size()), link.data(), static_cast<int>(direction.size()),
               direction.data(), static_cast<int>(text.size()), text.data());
  std::fflush(out_);
}

}  // namespace ordane::panelif
