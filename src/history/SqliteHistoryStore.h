// TSqliteHistoryStore: the history in one SQLite file of the user's own, the default store
// (THistoryStore says what every store promises).
//
// A file that is not a database, or fails SQLite's quick check, is renamed
// "<name>.corrupt-YYYYMMDD-HHMMSS" (local time) and a fresh one is started, with one message.
//
// Several processes may write one file at once: it is kept in WAL mode (readers never wait for
// a writer), every write is one IMMEDIATE transaction, a busy writer is waited for (the busy
// time-out) and a write that still finds the file busy is tried again.
//
// The file's layout carries its version in PRAGMA user_version (see the migration table in
// the source).
#pragma once

#include "history/HistoryStore.h"

struct sqlite3;

class TSqliteHistoryStore : public THistoryStore {
 public:
  TSqliteHistoryStore() = default;
  ~TSqliteHistoryStore() override;

  using THistoryStore::Open;
  using THistoryStore::Record;
  using THistoryStore::RecordRanks;
  // Opens the file at `location` (a path), creating it and its folders as needed. Recovers a
  // corrupt file as described above.
  bool Open(const std::string& location, const TOptions& options) override;
  bool IsOpen() const override;
  // A file that went corrupt meanwhile is set aside first.
  bool Record(const TQueryRecord& record, const std::string& run_id) override;
  bool EachRun(const THistoryFilter& filter,
               const std::function<void(const THistoryQuery&)>& visit) override;
  bool RecordAudit(const TAuditReport& report, const std::string& run_id) override;
  bool EachAudit(const THistoryFilter& filter,
                 const std::function<void(const TAuditReport&)>& visit) override;
  int64_t QueryCount() override;
  bool RecordRanks(const TRankReport& report, const std::string& run_id) override;
  bool EachRank(const std::string& site, const std::string& keyword,
                const std::function<void(const TRankPoint&)>& visit) override;
  bool SetRankKeywords(const std::string& site, const std::vector<std::string>& keywords) override;
  std::vector<std::string> RankKeywords(const std::string& site) override;
  bool UpdateAlerts(const std::vector<THistoryAlert>& raised,
                    const std::vector<int64_t>& closed) override;
  bool EachAlert(const std::string& site, bool open_only,
                 const std::function<void(const THistoryAlert&)>& visit) override;

 private:
  bool OpenLocked(const std::string& path);
  void Close();
  // With mu_ held: runs `write` (which gives an SQLite result code) as the store's writes go:
  // the history opened first if need be, tried again while busy, a corrupt file set aside.
  // `lost` ends the message when it fails ("这次查询没有保存。").
  bool Store(const std::function<int()>& write, const char8_t* lost);
  // Each stores one in a transaction; an SQLite result code.
  int Write(const TQueryRecord& record, const std::string& run_id);
  int WriteAudit(const TAuditReport& report, const std::string& run_id);
  // The end of a read that ended with `rc`: true when it got through, else false with a message.
  bool ReadDone(int rc);
  // With mu_ held: whether the table `name` is in the file.
  bool HasTable(const char* name);

  sqlite3* db_ = nullptr;
};
