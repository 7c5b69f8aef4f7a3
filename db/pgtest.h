// A throw-away PostgreSQL server for tests: initialised in a fresh temporary folder, listening
// on a free loopback port, stopped and removed when the object goes. The server programs are
// found in $ORDANE_PG_BIN or the newest /usr/lib/postgresql/<version>/bin. When the process
// runs as root the server runs as the "postgres" system user (initdb and postgres refuse root).
//
//   TempPostgres pg;                 // throws std::runtime_error when it cannot start
//   conn->Open(pg.uri(), "", "");    // postgresql://ordane@127.0.0.1:<port>/ordane
//   pg.Stop();                       // immediate stop: clients see the server vanish
//
// Tests use ORDANE_TEMP_POSTGRES_OR_SKIP: it skips with the reason, or fails when $CI is set.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

namespace ordane::db {

class TempPostgres {
 public:
  TempPostgres();
  ~TempPostgres();
  TempPostgres(const TempPostgres&) = delete;
  TempPostgres& operator=(const TempPostgres&) = delete;

  // The URI of the database "ordane" as superuser "ordane" (no password).
  std::string uri() const { return UriFor("ordane"); }
  // The URI of another database on the same server.
  std::string UriFor(const std::string& database) const;
  // Creates database `name` (empty) and returns its URI.
  std::string CreateDatabase(const std::string& name);
  int port() const { return port_; }
  const std::string& folder() const { return folder_; }
  bool running() const { return running_; }
  // Stops the server at once (in-flight clients lose their connection). Idempotent.
  void Stop();
  // Starts a stopped server again on the same port and data. Throws when it does not start.
  void Restart();

 private:
  bool StartServer();
  std::string bin_;
  std::string folder_;
  int port_ = 0;
  bool running_ = false;
};

// Starts a TempPostgres, or returns null with the reason in *why.
std::unique_ptr<TempPostgres> StartTempPostgres(std::string* why);

}  // namespace ordane::db

// In a GoogleTest body: declares `name` as a started TempPostgres, or skips the test (fails it
// when the environment variable CI is set, so that a CI run cannot pass without PostgreSQL).
#define ORDANE_TEMP_POSTGRES_OR_SKIP(name)                                     \
  std::string name##_why;                                                      \
  auto name = ::ordane::db::StartTempPostgres(&name##_why);                    \
  if (!name) {                                                                 \
    if (std::getenv("CI") != nullptr) {                                        \
      FAIL() << "PostgreSQL could not be started (CI is set): " << name##_why; \
    } else {                                                                   \
      GTEST_SKIP() << "PostgreSQL could not be started: " << name##_why;       \
    }                                                                          \
  }
