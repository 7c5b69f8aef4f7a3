// The event service: takes the statement files that the panel drivers leave in the shared
// events folder, opens their seals and stores each statement on the access-control database,
// every event exactly once.
//
// A statement file holds one sealed line: the event's identity and one `events` or `alarms`
// INSERT (syslib/statement.h). The statement and its identity are recorded in one transaction,
// many files to a transaction; a file is deleted only after that transaction has committed, and
// a file whose identity is already recorded is deleted unexecuted. So a driver or a service
// killed at any moment, or a statement file written twice, stores its event once.
//
// A file that is not sealed, does not open (another site's key, altered), does not hold an
// identity and one statement, or whose statement the database refuses, moves to the folder
// "Rejected" below the events folder, with "<name>.err" beside it saying why. A lost database
// stops the pass: the files stay where they are until the service has connected again.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "syslib/syslib.h"

namespace ordane {

struct EventServiceOptions {
  std::filesystem::path events_folder;  // RemotePath/Events
  std::size_t batch_size = 200;         // files per transaction
  int keep_days = 30;                   // identities older than this are pruned
};

// What a pass did.
struct PassCounts {
  std::uint64_t stored = 0;      // statements executed and committed
  std::uint64_t duplicates = 0;  // files whose identity was already recorded
  std::uint64_t rejected = 0;    // files moved to Rejected
};

// The table of applied identities, created by the schema on both backends.
inline constexpr const char* kAppliedTable = "applied_events";

class EventService {
 public:
  // `lib` opens the seals and translates the statements; `db` is an open connection to the
  // access-control database.
  EventService(EventServiceOptions options, SystemLibrary& lib, db::Connection& db);

  // Takes every statement file waiting in the events folder, oldest first, in batches, until
  // none is left or `stop()` says so between batches. Throws the database's Error when the
  // connection is lost (the files of the batch in hand stay, nothing of it is committed).
  PassCounts Drain(const std::function<bool()>& stop = [] { return false; });

  // Deletes the identities recorded more than keep_days ago; returns how many.
  std::uint64_t Prune();

  // The files waiting, oldest first (statement files only; temporary names are left alone).
  std::vector<std::filesystem::path> Waiting() const;

  const PassCounts& totals() const { return totals_; }

 private:
  struct Item {
    std::filesystem::path path;
    std::string identity;
    std::string statement;
  };
  enum class ReadResult { kOk, kRejected, kGone };
  // Opens and checks one file; a file that is not usable is moved to Rejected.
  ReadResult Read(const std::filesystem::path& path, Item& item);
  // Stores one batch in one transaction, then deletes its files and rejects the refused ones.
  void StoreBatch(std::vector<Item>& batch, PassCounts& counts);
  void Reject(const std::filesystem::path& path, const std::string& why);

  EventServiceOptions options_;
  SystemLibrary& lib_;
  db::Connection& db_;
  PassCounts totals_;
};

// True for the database errors that mean the connection is gone, as opposed to a statement
// the database refused.
bool IsLostDatabase(const class Error& e);

}  // namespace ordane
