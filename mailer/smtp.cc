#include "mailer/smtp.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cstring>

#include "mailer/request.h"
#include "util/error.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane::mailer {

namespace {

constexpr long kDefaultTimeout = 30;
constexpr long kMaxTimeout = 600;

bool ServerAddress(const std::string& url) {
  const std::string lower = LCase(url);
  if (!lower.starts_with("smtp://") && !lower.starts_with("smtps://")) return false;
  for (unsigned char c : url)
    if (c <= 0x20 || c >= 0x7f) return false;
  return url.size() > (lower.starts_with("smtps://") ? 8u : 7u);
}

// The message handed to libcurl piece by piece.
struct Upload {
  const std::string* text;
  std::size_t at = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* u = static_cast<Upload*>(user);
  const std::size_t n = std::min(size * count, u->text->size() - u->at);
  std::memcpy(buffer, u->text->data() + u->at, n);
  u->at += n;
  return n;
}

// libcurl's global set-up, once per process.
struct CurlGlobal {
  CurlGlobal() { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }
  ~CurlGlobal() { curl_global_cleanup(); }
  bool ok = false;
};

}  // namespace

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return LCase(name);
}

bool ReadSmtpSettings(SystemLibrary& lib, SmtpSettings* s, std::string* why) {
  try {
    if (std::string problem = lib.SettingsProblem(); !problem.empty()) {
      *why = problem;
      return false;
    }
    s->server = Trim(lib.ReadSys1("OS", "SMTP_Server"));
    if (s->server.empty()) {
      *why = "SMTP_Server is not set in the settings file";
      return false;
    }
    if (!ServerAddress(s->server)) {
      *why = "SMTP_Server \"" + Left(s->server, 80) +
             "\" is not an smtp://host[:port] or smtps://host[:port] address";
      return false;
    }
    s->from = Trim(lib.ReadSys1("OS", "SMTP_From"));
    if (s->from.empty()) s->from = "ordane@" + HostName();
    std::vector<std::string> one;
    std::string bad;
    if (!SplitRecipients(s->from, &one, &bad) || one.size() != 1) {
      *why = "SMTP_From \"" + Left(s->from, 80) + "\" is not one e-mail address";
      return false;
    }
    s->user = Trim(lib.ReadSys1("OS", "SMTP_User"));
    const std::string sealed = Trim(lib.ReadSys1("OS", "SMTP_Password"));
    if (!sealed.empty()) {
      try {
        s->password = lib.xKeyShow(sealed, kDriverKey);
      } catch (const Error& e) {
        *why = std::string("SMTP_Password does not open (") + e.what() +
               "); seal it again with \"ordanectl settings --smtp-password\"";
        return false;
      }
    }
    s->require_tls = ValueOf0(lib.ReadSys1("OS", "SMTP_TLS")) != 0;
    const std::int64_t timeout = ValueOf0(lib.ReadSys1("OS", "SMTP_Timeout"));
    s->timeout_seconds = timeout <= 0 ? kDefaultTimeout : std::min<std::int64_t>(timeout, kMaxTimeout);
    return true;
  } catch (const std::exception& e) {
    *why = std::string("the settings cannot be read: ") + e.what();
    return false;
  }
}

bool SendMail(const SmtpSettings& settings, const std::vector<std::string>& recipients,
              const std::string& message, std::string* why) {
  static CurlGlobal global;
  if (!global.ok) {
    *why = "libcurl cannot be initialised";
    return false;
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    *why = "libcurl cannot be initialised";
    return false;
  }
  curl_slist* rcpt = nullptr;
  for (const std::string& r : recipients) rcpt = curl_slist_append(rcpt, ("<" + r + ">").c_str());
  const std::string from = "<" + settings.from + ">";
  char error[CURL_ERROR_SIZE] = {};
  Upload upload{&message};

  curl_easy_setopt(curl, CURLOPT_URL, settings.server.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
  // A login never goes over a connection without TLS.
  const bool tls = settings.require_tls || !settings.user.empty();
  curl_easy_setopt(curl, CURLOPT_USE_SSL,
                   tls ? static_cast<long>(CURLUSESSL_ALL) : static_cast<long>(CURLUSESSL_TRY));
  if (!settings.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, settings.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, settings.password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);

  const CURLcode rc = curl_easy_perform(curl);
  long reply = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
  curl_slist_free_all(rcpt);
  curl_easy_cleanup(curl);
  if (rc == CURLE_OK) return true;
  *why = std::string(error[0] != '\0' ? error : curl_easy_strerror(rc));
  if (reply != 0 && why->find(std::to_string(reply)) == std::string::npos)
    *why += " (server reply " + std::to_string(reply) + ")";
  return false;
}

}  // namespace ordane::mailer
