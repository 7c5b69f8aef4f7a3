#include "service/console.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <thread>

#include "core/log.h"
#include "core/metrics.h"
#include "core/service_control.h"
#include "service/shell.h"
#include "status/status_files.h"
#include "util/ini.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/values.h"

namespace fs = std::filesystem;

namespace ordane {

namespace {

constexpr std::size_t kPanelTextLimit = 64;
// How long a request waits for the message loop before it gives up.
constexpr auto kLoopAnswerLimit = std::chrono::seconds(10);

const char* LinkText(std::int16_t state) {
  switch (state) {
    case kLinkNotConnected:
      return "not connected";
    case kLinkEstablished:
      return "established";
    case kLinkLost:
      return "lost";
    default:
      return "unknown";
  }
}

// Local wall-clock time of a file's last change, "hh:mm:ss"; "" when there is no file.
std::string FileTime(const fs::path& path) {
  std::error_code ec;
  const auto t = fs::last_write_time(path, ec);
  if (ec) return "";
  const std::time_t when = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(t));
  std::tm tm{};
  localtime_r(&when, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

std::string TimeOfDay(const LocalTime& t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return buf;
}

// Compares without stopping at the first difference, so that the time taken says nothing
// about how much of a guess was right.
bool SameToken(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void ExclusivePort(int sock) {
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

class Json {
 public:
  Json& Key(std::string_view k) {
    Sep();
    out_ += JsonString(k) + ":";
    fresh_ = true;
    return *this;
  }
  Json& Str(std::string_view v) { return Raw(JsonString(v)); }
  Json& Num(std::int64_t v) { return Raw(std::to_string(v)); }
  Json& Bool(bool v) { return Raw(v ? "true" : "false"); }
  Json& Open(char c) {
    Sep();
    out_ += c;
    fresh_ = true;
    return *this;
  }
  Json& Close(char c) {
    out_ += c;
    fresh_ = false;
    return *this;
  }
  const std::string& str() const { return out_; }

 private:
  Json& Raw(const std::string& v) {
    Sep();
    out_ += v;
    fresh_ = false;
    return *this;
  }
  void Sep() {
    if (!fresh_ && !out_.empty()) out_ += ',';
    fresh_ = false;
  }
  std::string out_;
  bool fresh_ = true;
};

bool SlotInUse(const PanelSlot& s) {
  return !s.PortName.empty() || !s.ConnectString.empty() || s.LinkState != kLinkNotConnected;
}

std::size_t StatusHash(const PanelSlot& s) {
  const std::string all = s.PanelStatusText + '\x1f' + s.FirmwareText + '\x1f' + s.AreaStatusText +
                          '\x1f' + s.DoorStatusText + '\x1f' + s.OnBoardRelayText + '\x1f' +
                          s.OffBoardRelayText + '\x1f' + s.BypassText + '\x1f' + s.PointStatusText;
  return std::hash<std::string>{}(all);
}

}  // namespace

int ConsolePort(SystemLibrary& lib, std::string* problem) {
  std::string text;
  try {
    text = Trim(lib.ReadSys1("OS", "Console_Port"));
  } catch (...) {
  }
  if (text.empty()) return kConsoleDefaultPort;
  const bool digits = text.find_first_not_of("0123456789") == std::string::npos;
  const std::int64_t port = digits && text.size() <= 5 ? NumericValue(text) : -1;
  if (port < 0 || port > 65535) {
    if (problem)
      *problem = "setting Console_Port = " + text +
                 " is not a port (0 to 65535); the console "
                 "uses " +
                 std::to_string(kConsoleDefaultPort);
    return kConsoleDefaultPort;
  }
  return static_cast<int>(port);
}

fs::path ConsoleTokenPath() { return InstanceLockPath().parent_path() / ".console-token"; }

std::string WriteConsoleToken(const fs::path& path, std::string* error) {
  unsigned char raw[32];
  std::size_t got = 0;
  while (got < sizeof raw) {
    const ssize_t n = ::getrandom(raw + got, sizeof raw - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (error) *error = std::string("no random numbers: ") + std::strerror(errno);
      return "";
    }
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char c : raw) {
    token += kHex[c >> 4];
    token += kHex[c & 15];
  }
  const fs::path temp =
      path.parent_path() / (path.filename().string() + "." + std::to_string(::getpid()) + ".new");
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = "cannot create " + temp.string() + ": " + std::strerror(errno);
    return "";
  }
  const std::string line = token + "\n";
  const bool written = ::fchmod(fd, 0600) == 0 &&
                       ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const int write_errno = errno;
  ::close(fd);
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    if (error)
      *error =
          "cannot write " + path.string() + ": " + std::strerror(written ? errno : write_errno);
    ::unlink(temp.c_str());
    return "";
  }
  return token;
}

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f || c == '<' || c == '>' || c == '&') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string ConsoleStateJson(Driver& d, ConsoleWatch& watch) {
  const LocalTime now = d.clock.Now();
  Json j;
  j.Open('{');
  j.Key("caption").Str(kWindowCaption);
  j.Key("driverId").Num(d.DriverId);
  j.Key("debug").Bool(d.errors.debug);
  j.Key("now").Str(TimeOfDay(now));

  j.Key("list").Open('[');
  for (const std::string& line : d.errors.Lines()) j.Str(line);
  j.Close(']');

  // The driver status file as the workstations read it.
  j.Key("driver").Open('{');
  {
    IniDocument status;
    bool present = false;
    if (!d.DriverFolder.empty()) {
      const fs::path path = ResolvePath(d.DriverFolder, "\\Status\\Driver");
      std::error_code ec;
      present = fs::exists(path, ec);
      if (present) status = IniDocument::Load(path);
    }
    j.Key("present").Bool(present);
    for (const char* key : {"Version", "DT_Info", "Online_Count"})
      j.Key(key).Str(status.Get("Status_Drivers", key).value_or(""));
  }
  j.Close('}');

  j.Key("panels").Open('[');
  for (int i = 0; i < kPanelSlots; ++i) {
    const PanelSlot& s = d.panels[static_cast<std::size_t>(i)];
    const auto index = static_cast<std::size_t>(i);
    const std::size_t hash = StatusHash(s);
    if (hash != watch.status_hash[index]) {
      watch.status_hash[index] = hash;
      watch.status_changed[index] =
          watch.status_changed[index].empty() && !SlotInUse(s) ? std::string() : TimeOfDay(now);
    }
    if (!SlotInUse(s)) continue;
    std::string file_time;
    if (!d.DriverFolder.empty())
      file_time = FileTime(ResolvePath(d.DriverFolder, ControllerStatusFile(i)));
    j.Open('{');
    j.Key("slot").Num(i);
    j.Key("address").Str(d.ControllerAddress(i));
    j.Key("link").Str(s.PortName);
    j.Key("linkState").Num(s.LinkState);
    j.Key("linkText").Str(LinkText(s.LinkState));
    j.Key("lost").Num(s.LostCount);
    j.Key("busy").Str(s.BusyState);
    j.Key("activity").Str(s.ActivityText);
    j.Key("firmware").Str(CString(s.FirmwareText));
    j.Key("area").Str(CString(s.AreaStatusText));
    j.Key("statusChanged").Str(watch.status_changed[index]);
    j.Key("statusFile").Str(file_time);
    j.Close('}');
  }
  j.Close(']');

  j.Key("counts").Open('{');
  j.Key("eventsTaken").Num(static_cast<std::int64_t>(metrics::PanelEventsTaken.Value()));
  j.Key("statementFiles").Num(static_cast<std::int64_t>(metrics::StatementFilesWritten.Value()));
  j.Key("commandsSent").Num(static_cast<std::int64_t>(metrics::CommandsSent.Value()));
  j.Key("commandsParked").Num(static_cast<std::int64_t>(metrics::CommandsParked.Value()));
  j.Key("linksLost").Num(static_cast<std::int64_t>(metrics::LinksLost.Value()));
  j.Key("databaseErrors").Num(static_cast<std::int64_t>(metrics::DatabaseErrors.Value()));
  j.Key("lastEventDelay").Num(metrics::LastEventDelaySeconds.load());
  j.Close('}');
  j.Close('}');
  return j.str();
}

std::string DriverMetricsText(Driver& d) {
  metrics::Text t;
  metrics::DriverCounters(t);
  int up = 0, lost = 0, idle = 0, busy = 0;
  for (const PanelSlot& s : d.panels) {
    if (!SlotInUse(s)) continue;
    if (s.LinkState == kLinkEstablished)
      ++up;
    else if (s.LinkState == kLinkLost)
      ++lost;
    else
      ++idle;
    if (!s.BusyState.empty()) ++busy;
  }
  t.Family("ordane_panel_links", "Panels by the state of their link.", "gauge");
  t.Sample("ordane_panel_links", "state", "established", up);
  t.Sample("ordane_panel_links", "state", "lost", lost);
  t.Sample("ordane_panel_links", "state", "not_connected", idle);
  t.Gauge("ordane_panels_busy", "Panels that say they are busy or unknown.", busy);
  t.Gauge("ordane_uploads_in_progress", "Table uploads under way.", d.TableUploadRunning ? 1 : 0);
  t.Gauge("ordane_error_list_lines", "Lines in the error list.",
          static_cast<double>(d.errors.Count()));
  return t.str();
}

std::string ConsoleAction(Driver& d, std::string_view action, const std::string& panel) {
  if (action == "shutdown") {
    LogLine(LogLevel::kInfo, "operator console: shutdown");
    Shutdown(d);
    return "";
  }
  if (action != "connect" && action != "terminate") return "no such action";
  if (panel.size() > kPanelTextLimit) return "the panel number is too long";
  // The buttons read the number as "0" followed by the text; one outside the panel table is
  // refused here, before a conversion to the routines' int could wrap it onto another panel.
  const std::int64_t n = ValueOf0(panel);
  if (n < 0 || n >= kPanelSlots) return "no panel " + std::to_string(n) + " (0 to 31)";
  LogLine(LogLevel::kInfo, "operator console: " + std::string(action) + " panel " + panel);
  if (action == "connect")
    ConnectButton(d, panel);
  else
    TerminateButton(d, panel);
  return "";
}

struct Console::Impl {
  explicit Impl(Driver& d) : d(d) {}

  // Runs `f` on the loop thread and waits for its answer; nullopt when the loop does not answer
  // in time or the console is stopping.
  std::optional<std::string> Ask(std::function<std::string()> f) {
    auto promise = std::make_shared<std::promise<std::string>>();
    std::future<std::string> answer = promise->get_future();
    d.loop.Post([promise, f = std::move(f)] {
      try {
        promise->set_value(f());
      } catch (const EndProcess&) {
        promise->set_exception(std::current_exception());
        throw;  // the driver ends
      } catch (...) {
        promise->set_exception(std::current_exception());
      }
    });
    const auto until = std::chrono::steady_clock::now() + kLoopAnswerLimit;
    while (!stopping && std::chrono::steady_clock::now() < until) {
      if (answer.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) {
        try {
          return answer.get();
        } catch (...) {
          return std::nullopt;
        }
      }
    }
    return std::nullopt;
  }

  // Only requests addressed to this machine's loopback name: a page elsewhere that has a name
  // pointed at 127.0.0.1 does not read the console through a visitor's browser.
  bool HostAllowed(const httplib::Request& req) const {
    const std::string host = req.get_header_value("Host");
    const std::string p = ":" + std::to_string(port);
    return host == "127.0.0.1" + p || host == "localhost" + p || host == "127.0.0.1" ||
           host == "localhost";
  }

  void Routes() {
    // The library's default also sets SO_REUSEPORT, which would let a second driver (or any
    // program of the same user) listen on the same port and take some of the requests.
    server.set_socket_options(ExclusivePort);
    server.set_payload_max_length(4096);
    server.set_read_timeout(5);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (HostAllowed(req)) return httplib::Server::HandlerResponse::Unhandled;
      res.status = 403;
      res.set_content("refused: the console answers only to 127.0.0.1 and localhost\n",
                      "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; object-src 'none'; frame-ancestors 'none'");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Cache-Control", "no-store");
      res.set_content(kConsolePage, "text/html; charset=utf-8");
    });
    server.Get("/console.js", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_content(kConsoleScript, "text/javascript; charset=utf-8");
    });
    server.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
      auto state = Ask([this] { return ConsoleStateJson(d, watch); });
      res.set_header("Cache-Control", "no-store");
      if (!state) {
        res.status = 503;
        res.set_content("the driver did not answer in time\n", "text/plain");
        return;
      }
      res.set_content(*state, "application/json");
    });
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      auto text = Ask([this] { return DriverMetricsText(d); });
      if (!text) {
        res.status = 503;
        res.set_content("the driver did not answer in time\n", "text/plain");
        return;
      }
      res.set_content(*text, metrics::kContentType);
    });
    server.Post("/action", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string action = req.get_param_value("action");
      const std::string panel = req.get_param_value("panel");
      if (!SameToken(req.get_header_value("X-Console-Token"), token)) {
        LogLine(LogLevel::kWarning, "operator console: " + action.substr(0, 20) +
                                        " refused: the token is missing or wrong");
        res.status = 403;
        res.set_content("refused: the console token is missing or wrong\n", "text/plain");
        return;
      }
      if (action == "shutdown") {
        // The process ends in the task: answer first.
        d.loop.Post([this] { ConsoleAction(d, "shutdown", ""); });
        res.status = 202;
        res.set_content("shutting down\n", "text/plain");
        return;
      }
      auto result = Ask([this, action, panel] { return ConsoleAction(d, action, panel); });
      if (!result) {
        res.status = 503;
        res.set_content("the driver did not answer in time\n", "text/plain");
      } else if (!result->empty()) {
        res.status = 400;
        res.set_content("refused: " + *result + "\n", "text/plain");
      } else {
        res.set_content("done\n", "text/plain");
      }
    });
  }

  Driver& d;
  httplib::Server server;
  std::thread thread;
  std::string token;
  int port = 0;
  std::atomic<bool> stopping{false};
  ConsoleWatch watch;  // loop thread only
};

Console::Console(Driver& d) : impl_(std::make_unique<Impl>(d)) {}

Console::~Console() { Stop(); }

bool Console::Start(int port, std::string token, std::string* error) {
  impl_->token = std::move(token);
  impl_->Routes();
  if (port == 0) {
    impl_->port = impl_->server.bind_to_any_port("127.0.0.1");
    if (impl_->port <= 0) impl_->port = 0;
  } else if (impl_->server.bind_to_port("127.0.0.1", port)) {
    impl_->port = port;
  }
  if (impl_->port == 0) {
    if (error)
      *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // A stop before the server runs would not reach it: Start returns once it runs.
  for (int i = 0; i < 2000 && !impl_->server.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void Console::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->stopping = true;
  impl_->server.stop();
  impl_->thread.join();
}

int Console::port() const { return impl_->port; }

std::unique_ptr<Console> StartConsole(Driver& d) {
  std::string problem;
  const int port = ConsolePort(d.lib, &problem);
  if (!problem.empty()) LogLine(LogLevel::kWarning, problem);
  if (port == 0) return nullptr;
  const fs::path token_path = ConsoleTokenPath();
  std::string token_error;
  std::string token = WriteConsoleToken(token_path, &token_error);
  if (token.empty())
    LogLine(LogLevel::kError, "operator console: " + token_error + "; its actions are refused");
  auto console = std::make_unique<Console>(d);
  std::string error;
  if (!console->Start(port, token, &error)) {
    LogLine(LogLevel::kError, "operator console off: " + error);
    return nullptr;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(console->port()) + "/";
  LogLine(LogLevel::kInfo, "operator console on " + url + " (token in " + token_path.string() +
                               "), metrics on " + url + "metrics");
  // The address with the token only where the operator who started the driver sees it.
  if (!token.empty() && (LogToStderr() || ::isatty(STDERR_FILENO)))
    std::fprintf(stderr, "paneldriver: operator console: %s#token=%s\n", url.c_str(),
                 token.c_str());
  return console;
}

}  // namespace ordane
