#include "events/event_files.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <optional>
#include <random>
#include <system_error>

#include "core/metrics.h"
#include "db/db.h"
#include "events/lookups.h"
#include "syslib/seal.h"
#include "syslib/statement.h"
#include "util/conversions.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr std::int16_t kLogTypeUnknown = 999;

bool NeedsQuotes(const std::string& item) {
  return item.find_first_of(",\"\r\n") != std::string::npos ||
         (!item.empty() && (item.front() == ' ' || item.back() == ' ' || item.front() == '\t'));
}

std::string FileItem(const std::string& item) {
  if (!NeedsQuotes(item)) return item;
  std::string clean = ReplaceAll(ReplaceAll(item, "\r", " "), "\n", " ");
  return "\"" + ReplaceAll(clean, "\"", "\"\"") + "\"";
}

// The panel slot of a device address: the part between its first and second ".".
std::string SlotOf(const std::string& address) {
  std::size_t first = address.find('.');
  if (first == std::string::npos) return {};
  std::size_t second = address.find('.', first + 1);
  return address.substr(first + 1,
                        second == std::string::npos ? std::string::npos : second - first - 1);
}

bool LatchOn(Driver& d, const std::string& address) {
  db::Recordset rs;
  rs.Open(d.lib.TSQL("select latch_mode from devices where address = '" + SqlQuote(address) + "'"),
          d.Hardware(), db::CursorType::kForwardOnly, db::LockType::kReadOnly);
  bool on = !rs.Eof() && ValueOf0(rs.Text("latch_mode")) == 1;
  rs.Close();
  return on;
}

void WriteLatchedCard(Driver& d, const std::string& card_number) {
  const std::string hex = BitsToHex(DecimalToBits(card_number));
  const fs::path first = ResolvePath(d.DriverFolder, "\\admin.srn");
  fs::path status;
  EnsureFolder(d.DriverFolder, "\\status", &status);
  if (!WriteFileAtomic(first, hex + "\n"))
    throw Error(kErrPathAccess, "cannot write " + first.string());
  std::error_code ec;
  fs::copy_file(first, status / "admin.srn.tmp", fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(status / "admin.srn.tmp", status / "admin.srn", ec);
  fs::remove(first);
  if (ec) throw Error(kErrPathAccess, "cannot place the latched card file: " + ec.message());
}

}  // namespace

namespace {
std::atomic<std::int32_t> number_low{1}, number_high{999999};
}  // namespace

std::int32_t RandomFileNumber() {
  static thread_local std::mt19937 rng{std::random_device{}()};
  return std::uniform_int_distribution<std::int32_t>(number_low, number_high)(rng);
}

void SetFileNumberRangeForTests(std::int32_t low, std::int32_t high) {
  const bool reset = low <= 0 || high < low;
  number_low = reset ? 1 : low;
  number_high = reset ? 999999 : high;
}

std::string StatementFileText(const std::string& identity, const std::string& statement) {
  return PackStatement(identity, statement);
}

bool SplitStatementFileText(const std::string& text, std::string* identity,
                            std::string* statement) {
  std::optional<StatementText> t = UnpackStatement(text);
  if (!t) return false;
  *identity = std::move(t->identity);
  *statement = std::move(t->statement);
  return true;
}

fs::path QueueStatement(Driver& d, const std::string& statement, int kind,
                        const std::string& identity) {
  std::string sealed;
  try {
    sealed = d.lib.xKeyHide(StatementFileText(identity, statement), kDriverKey);
  } catch (const Error& e) {
    throw StatementStoreFailure(e.number(), std::string("cannot seal a statement: ") + e.what());
  }
  // The events folder is created when it is missing, but never a share that is not there.
  std::error_code ec;
  if (d.RemotePath.empty() || !fs::is_directory(d.RemotePath, ec))
    throw StatementStoreFailure(kErrPathAccess,
                                "the shared folder " + d.RemotePath + " is not there");
  fs::path folder;
  if (!EnsureFolder(d.RemotePath, "\\Events", &folder) || !fs::is_directory(folder, ec))
    throw StatementStoreFailure(kErrPathAccess, "cannot use the events folder " + folder.string());
  const std::string extension = kind == kEventStatement ? ".evn" : ".aln";
  auto placed = PlaceNewFile(
      folder,
      [&] {
        return std::to_string(d.DriverId) + "_" + std::to_string(RandomFileNumber()) + extension;
      },
      sealed + "\n");
  if (!placed) {
    const int err = errno;
    throw StatementStoreFailure(kErrPathAccess, "cannot write a statement file in " +
                                                    folder.string() + ": " +
                                                    std::generic_category().message(err));
  }
  metrics::StatementFilesWritten.Add();
  return *placed;
}

void RouteAlarm(Driver& d, const std::string& code, const std::string& statement,
                const std::string& identity) {
  std::string route = r_eventdesc(d, code, "routeid");
  const std::string bits = Right(std::string(99, '0') + HexToBits(route), 99);
  if (bits.find('1') == std::string::npos) return;

  Routine r(d.errors, "err_RouteAlarm");
  const fs::path map_folder = d.settings.SiteMapFolder.empty() ? fs::path(d.RemotePath)
                                                               : fs::path(d.settings.SiteMapFolder);
  const fs::path map = ResolvePath(map_folder, "sites.map");
  for (int site = 1; site <= 99; ++site) {
    if (bits[static_cast<std::size_t>(99 - site)] != '1') continue;
    r.Step([&] {
      const std::string section = "Site" + std::to_string(site);
      if (d.lib.read_info(map.string(), section, "Enabled", false) != "1") return;
      const std::string remote = d.lib.read_info(map.string(), section, "RemotePath", true);
      const std::string key_file = d.lib.read_info(map.string(), section, "KeyFile", false);
      if (key_file.empty())
        throw Error(kErrFileNotFound, "site " + std::to_string(site) +
                                          " has no key file in the site map: alarm " + code +
                                          " not routed to it");
      const fs::path key_path =
          fs::path(key_file).is_absolute() ? fs::path(key_file) : map_folder / key_file;
      const std::string sealed =
          Seal(StatementFileText(identity + "/site" + std::to_string(site), statement), kDriverKey,
               LoadSiteKey(key_path));
      const fs::path folder = ResolvePath(remote, "\\Events");
      std::error_code ec;
      if (remote.empty() || !fs::is_directory(folder, ec))
        throw Error(kErrPathAccess, "site " + std::to_string(site) + ": no events folder " +
                                        folder.string() + ": alarm " + code + " not routed");
      if (!PlaceNewFile(
              folder, [] { return std::to_string(RandomFileNumber()) + ".aln"; }, sealed + "\n"))
        throw Error(kErrPathAccess,
                    "site " + std::to_string(site) + ": cannot write in " + folder.string());
    });
  }
}

std::string EventFileText(const std::string& timestamp, const std::string& address,
                          const std::string& code, const std::string& detail, std::int16_t log_type,
                          const std::string& extra) {
  return FileItem(timestamp) + "\n" + FileItem(address) + "\n" + FileItem(code) + "\n" +
         FileItem(detail) + "\n" + std::to_string(log_type) + "\n" + FileItem(extra) + "\n";
}

void F_logevent(Driver& d, std::string& timestamp, std::string& address, std::string& code,
                std::string& detail, std::string& extra) {
  Routine r(d.errors, "err_F_logevent");
  r.Step([&] { d.lib.Update_State(code, address); });
  std::int16_t log_type = kLogTypeUnknown;
  r.Step([&] { log_type = ToInt16(ValueOf0(r_eventdesc(d, code, "Log_Type"))); });

  const std::string family = Left(code, 2);
  if (family == "RO" || family == "RI" || family == "UC" || family == "IO" || family == "II" ||
      family == "OO") {
    r.Step([&] {
      const fs::path dat =
          ResolvePath(d.DriverFolder, "\\Data\\devices." + SlotOf(address) + ".dat");
      const std::int64_t device_type = ValueOf0(ReadProfileString(dat, address, code));
      if (device_type >= 1 && device_type <= 998) log_type = static_cast<std::int16_t>(device_type);
    });
  }
  if (family == "RO") {
    r.Step([&] {
      if (LatchOn(d, address)) WriteLatchedCard(d, detail);
    });
  }

  if (log_type == 0) return;
  std::string extension;
  if ((log_type >= 1 && log_type <= 99) || (log_type >= 111 && log_type <= 208)) {
    extension = ".alm";
  } else if (log_type >= 101 && log_type <= 103) {
    extension = ".evt";
  } else if (log_type == kLogTypeUnknown) {
    d.LogFailed = true;
    return;
  } else {
    return;
  }
  r.Step([&] {
    fs::path folder;
    EnsureFolder(d.DriverFolder, "\\events", &folder);
    auto placed = PlaceNewFile(
        folder, [&] { return std::to_string(RandomFileNumber()) + extension; },
        EventFileText(timestamp, address, code, detail, log_type, extra));
    if (!placed) throw Error(kErrPathAccess, "cannot write an event file in " + folder.string());
  });
}

void WriteCommandFile(Driver& d, const std::string& folder, const std::string& line, int number,
                      const std::string& extension) {
  try {
    const std::string ext = Left(extension + Right("000" + std::to_string(number), 3), 3);
    const fs::path commands = ResolvePath(folder, "\\commands");
    if (!fs::is_directory(commands)) return;
    PlaceNewFile(
        commands,
        [&] { return std::string(kDriverType) + std::to_string(RandomFileNumber()) + "." + ext; },
        line + "\n");
  } catch (...) {
    // A command that cannot be written is lost, as for a driver without a commands folder.
  }
}

void ProtocolForward(Driver& d, const std::string& monitor, const std::string& text) {
  // "7.3.0.M2": driver 7, controller part "7.3" read as a number and rounded (7).
  const std::string driver =
      Left(monitor, InStr(monitor, ".") ? InStr(monitor, ".") - 1 : monitor.size());
  std::size_t second = InStr(monitor, ".", InStr(monitor, ".") + 1);
  std::string controller = second ? Left(monitor, second - 1) : monitor;
  const int number = static_cast<int>(std::lround(std::atof(controller.c_str())));
  WriteCommandFile(d, (ResolvePath(d.RemotePath, "\\Drivers\\" + driver)).string(), "001:" + text,
                   number, "");
}

}  // namespace ordane
