#include "panelif/trace.h"

#include <chrono>
#include <ctime>
#include <system_error>

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
  std::error_code ec;
  std::uintmax_t size = out != nullptr ? std::filesystem::file_size(file, ec) : 0;
  std::lock_guard lock(mu_);
  if (out_ != nullptr) std::fclose(out_);
  out_ = out;
  file_ = out != nullptr ? file : std::filesystem::path{};
  size_ = ec ? 0 : size;
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
  std::string line = stamp;
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03lld ", static_cast<long long>(ms));
  line += millis;
  line.append(link).append(" ").append(direction).append(" ").append(text).append("\n");
  if (size_ > 0 && size_ + line.size() > max_bytes_) Rotate();
  if (out_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
  size_ += line.size();
}

void Trace::Rotate() {
  std::fclose(out_);
  std::filesystem::path old = file_;
  old += ".1";
  std::error_code ec;
  std::filesystem::rename(file_, old, ec);
  // When the rename fails the file is begun afresh in place: the trace loses its past rather
  // than the disk its room.
  out_ = std::fopen(file_.c_str(), "w");
  size_ = 0;
}

}  // namespace ordane::panelif
