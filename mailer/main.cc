// odn_shell: sends the e-mail request file that the driver names on its command line. Started
// by the driver for each request, without waiting; run by hand on a request that stayed, it
// tries again. The request file is deleted once the SMTP server has accepted the message; when
// it cannot be sent the file stays, one line says why (on standard error and in the system
// log), and the exit code is 1.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "mailer/request.h"
#include "mailer/smtp.h"
#include "syslib/syslib.h"

namespace ordane::mailer {
namespace {

// Larger files are not requests the driver wrote.
constexpr off_t kMaxRequestBytes = 1 << 20;

void Log(int priority, const std::string& line) {
  std::fprintf(stderr, "odn_shell: %s\n", line.c_str());
  std::fflush(stderr);
  openlog("odn_shell", LOG_PID, LOG_MAIL);
  syslog(priority, "%s", line.c_str());
  closelog();
}

std::string DateText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local);
  return text;
}

std::string MessageId() {
  std::random_device random;
  char id[80];
  std::snprintf(id, sizeof id, "%lx.%d.%08x%08x", static_cast<unsigned long>(std::time(nullptr)),
                static_cast<int>(::getpid()), random(), random());
  return std::string(id) + "@" + HostName();
}

// The request's text, read from `fd`; false with *why.
bool ReadRequest(int fd, std::string* text, std::string* why) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "it is not a regular file";
    return false;
  }
  if (st.st_size > kMaxRequestBytes) {
    *why = "it is too large for an e-mail request (" + std::to_string(st.st_size) + " bytes)";
    return false;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = std::string("it cannot be read: ") + std::strerror(errno);
      return false;
    }
    text->append(buffer, static_cast<std::size_t>(n));
    if (text->size() > static_cast<std::size_t>(kMaxRequestBytes)) {
      *why = "it is too large for an e-mail request";
      return false;
    }
  }
  return true;
}

int Run(const std::string& file) {
  auto stays = [&](const std::string& why) {
    Log(LOG_ERR, file + ": not sent, the request stays: " + why);
    return 1;
  };
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    Log(LOG_ERR, file + ": cannot open the request: " + std::strerror(errno));
    return 1;
  }
  // Another odn_shell on the same request (a retry by hand while the driver's run still goes)
  // would send it twice.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    Log(LOG_NOTICE, file + ": left alone, another odn_shell is sending it");
    return 1;
  }
  std::string text, why;
  MailRequest request;
  SmtpSettings settings;
  const bool ready = ReadRequest(fd, &text, &why) && ParseRequest(text, &request, &why);
  if (!ready) {
    ::close(fd);
    return stays(why);
  }
  auto lib = NewSystemLibrary();
  if (!ReadSmtpSettings(*lib, &settings, &why)) {
    ::close(fd);
    return stays(why);
  }
  const std::string message =
      ComposeMessage(request, Envelope{settings.from, DateText(), MessageId()});
  if (!SendMail(settings, request.recipients, message, &why)) {
    ::close(fd);
    return stays(settings.server + ": " + why);
  }
  std::string to;
  for (const std::string& r : request.recipients) to += (to.empty() ? "" : ", ") + r;
  // Deleted while still locked, so that no second run can take it in between.
  if (::unlink(file.c_str()) != 0) {
    const int saved = errno;
    ::close(fd);
    Log(LOG_ERR, file + ": sent to " + to + ", but the request cannot be deleted (" +
                     std::strerror(saved) + "); delete it, or it is sent again");
    return 1;
  }
  ::close(fd);
  Log(LOG_INFO, file + ": sent to " + to + " through " + settings.server);
  return 0;
}

}  // namespace
}  // namespace ordane::mailer

int main(int argc, char** argv) {
  // The driver ignores SIGCHLD and its children inherit that; libcurl may want its default.
  ::signal(SIGCHLD, SIG_DFL);
  ::signal(SIGPIPE, SIG_IGN);
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: odn_shell REQUEST_FILE\n");
    return 2;
  }
  return ordane::mailer::Run(argv[1]);
}
