#include "eventsvc/event_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <unordered_set>
#include <utility>

#include "core/log.h"
#include "core/metrics.h"
#include "db/sql_scan.h"
#include "syslib/seal.h"
#include "syslib/statement.h"
#include "util/error.h"
#include "util/files.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

bool IsStatementFileName(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;  // temporary names of files being placed
  const std::string lower = LCase(name);
  return lower.size() > 4 &&
         (lower.ends_with(".evn") || lower.ends_with(".aln"));
}

// A file's modification time in nanoseconds; 0 when it cannot be read.
std::int64_t ModifiedNs(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

std::string NowIso(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// The first line of a file without its line end.
std::string OneLine(const std::string& content) {
  std::string line = content.substr(0, content.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool IsLostDatabase(const Error& e) {
  return e.number() == kErrDbUnspecified || e.number() == kErrDbCommand ||
         e.number() == kErrClosedObject || e.number() == kErrObjectNotSet;
}

EventService::EventService(EventServiceOptions options, SystemLibrary& lib, db::Connection& db)
    : options_(std::move(options)), lib_(lib), db_(db) {}

std::vector<fs::path> EventService::Waiting() const {
  std::vector<std::pair<std::int64_t, fs::path>> found;
  std::error_code ec;
  for (fs::directory_iterator it(options_.events_folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsStatementFileName(name)) continue;
    if (!it->is_regular_file(ec)) continue;
    found.emplace_back(ModifiedNs(it->path()), it->path());
  }
  std::sort(found.begin(), found.end());
  std::vector<fs::path> out;
  out.reserve(found.size());
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

void EventService::Reject(const fs::path& path, const std::string& why) {
  metrics::RejectedFiles.Add();
  const fs::path folder = options_.events_folder / "Rejected";
  std::error_code ec;
  fs::create_directories(folder, ec);
  fs::path target = folder / path.filename();
  for (int n = 1; fs::exists(target, ec) && n < 1000; ++n)
    target = folder / (path.filename().string() + "." + std::to_string(n));
  fs::rename(path, target, ec);
  if (ec) {
    LogLine(LogLevel::kError, "event service: cannot move " + path.string() + " to " +
                                  folder.string() + ": " + ec.message() + "; removing it");
    fs::remove(path, ec);
  } else {
    PlaceNewFile(folder, [&] { return target.filename().string() + ".err"; }, why + "\n", 1);
  }
  LogLine(LogLevel::kError, "event service: rejected " + path.filename().string() + ": " + why);
}

EventService::ReadResult EventService::Read(const fs::path& path, Item& item) {
  const std::optional<std::string> content = ReadWholeFile(path);
  if (!content) return ReadResult::kGone;  // taken meanwhile, or not readable yet
  const std::string line = OneLine(*content);
  std::string why;
  std::optional<StatementText> text;
  if (!IsSealed(line)) {
    why = "not sealed";
  } else {
    try {
      text = UnpackStatement(lib_.xKeyShow(line, kDriverKey));
      if (!text) why = "no identity and statement inside the seal";
      else if (db::HasSecondStatement(text->statement, db::Backend::kNone))
        why = "holds more than one statement";
    } catch (const Error& e) {
      why = std::string("the seal does not open (another site's key, or altered): ") + e.what();
    }
  }
  if (!why.empty()) {
    Reject(path, why);
    return ReadResult::kRejected;
  }
  item.path = path;
  item.identity = IdentityKey(text->identity);
  item.statement = std::move(text->statement);
  return ReadResult::kOk;
}

void EventService::StoreBatch(std::vector<Item>& batch, PassCounts& counts) {
  struct Refused {
    fs::path path;
    std::string why;
  };
  std::vector<fs::path> done;
  std::vector<Refused> refused;
  std::unordered_set<std::string> seen;
  std::uint64_t stored = 0, duplicates = 0;

  db::InTransaction(db_, [&] {
    for (Item& item : batch) {
      if (!seen.insert(item.identity).second ||
          !db_.QueryParams(std::string("select 1 from ") + kAppliedTable + " where identity = ?",
                           {item.identity})
               .rows.empty()) {
        ++duplicates;
        done.push_back(item.path);
        continue;
      }
      std::string sql;
      try {
        sql = lib_.TSQL(item.statement);
      } catch (const Error& e) {
        refused.push_back({item.path, std::string("cannot translate: ") + e.what()});
        continue;
      }
      db_.Execute("SAVEPOINT one_file");
      try {
        db_.Execute(sql);
        db_.QueryParams(std::string("insert into ") + kAppliedTable +
                            " (identity, applied_at) values (?, ?)",
                        {item.identity, NowIso(std::time(nullptr))});
        db_.Execute("RELEASE SAVEPOINT one_file");
        ++stored;
        done.push_back(item.path);
      } catch (const Error& e) {
        // A lost database, or a deadlock or busy database that may pass: the whole batch is
        // rolled back and tried again later, nothing of it is set aside.
        if (IsLostDatabase(e) || e.number() == kErrDbAborted) throw;
        db_.Execute("ROLLBACK TO SAVEPOINT one_file");
        db_.Execute("RELEASE SAVEPOINT one_file");
        refused.push_back({item.path, "the database refused the statement (" +
                                          FormatErrorNumber(e.number()) + "): " + e.what() +
                                          "\n" + item.statement});
      }
    }
  });

  // Committed: now, and only now, the files may go.
  std::error_code ec;
  for (const fs::path& p : done) fs::remove(p, ec);
  for (const Refused& r : refused) Reject(r.path, r.why);
  counts.stored += stored;
  counts.duplicates += duplicates;
  counts.rejected += refused.size();
  metrics::EventsStored.Add(stored);
  metrics::DuplicateFiles.Add(duplicates);
}

PassCounts EventService::Drain(const std::function<bool()>& stop) {
  PassCounts counts;
  for (;;) {
    std::vector<fs::path> waiting = Waiting();
    if (waiting.empty()) break;
    std::size_t next = 0;
    while (next < waiting.size()) {
      if (stop()) {
        totals_.stored += counts.stored;
        totals_.duplicates += counts.duplicates;
        totals_.rejected += counts.rejected;
        return counts;
      }
      std::vector<Item> batch;
      while (next < waiting.size() && batch.size() < options_.batch_size) {
        Item item;
        switch (Read(waiting[next++], item)) {
          case ReadResult::kOk: batch.push_back(std::move(item)); break;
          case ReadResult::kRejected: ++counts.rejected; break;
          case ReadResult::kGone: break;
        }
      }
      if (!batch.empty()) {
        try {
          StoreBatch(batch, counts);
        } catch (...) {
          totals_.stored += counts.stored;
          totals_.duplicates += counts.duplicates;
          totals_.rejected += counts.rejected;
          throw;
        }
      }
    }
  }
  totals_.stored += counts.stored;
  totals_.duplicates += counts.duplicates;
  totals_.rejected += counts.rejected;
  return counts;
}

std::uint64_t EventService::Prune() {
  const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(options_.keep_days) * 86400;
  return db_
      .QueryParams(std::string("delete from ") + kAppliedTable +
                       " where applied_at < ? returning identity",
                   {NowIso(cutoff)})
      .rows.size();
}

}  // namespace ordane
