// THistoryStore: the history of every query, one SQLite file shared by the window and the
// command line. Each finished run (a TQueryRecord) becomes one row of `queries` and one row of
// `fields` per result field and the thumbnail, with the field's text, its number when it is
// one, its outcome and the reason.
//
// The history never fails a query. No method raises: a file that cannot be opened or written
// (read-only folder, full disk, a file of a newer version) makes the store report false and
// leave one message for the caller to show (TakeMessage). A file that is not a database, or
// fails SQLite's quick check, is renamed "<name>.corrupt-YYYYMMDD-HHMMSS" (local time) and a
// fresh one is started, again with one message.
//
// Several processes may write one file at once: it is kept in WAL mode (readers never wait for
// a writer), every write is one IMMEDIATE transaction, a busy writer is waited for (the busy
// time-out) and a write that still finds the file busy is tried again.
//
// Text: the GBK texts of a record (site, values, reasons) are stored as UTF-8, so that other
// tools read the file as it is, and come back as GBK. Messages are UTF-8 (they name file
// paths), ready for stderr or QString::fromUtf8.
//
// The file's layout carries its version in PRAGMA user_version; opening an older file brings
// it up to date step by step (kHistorySchemaVersion; see the migration table in the source).
//
// Threads: every method may be called from any thread; calls on one store take turns. Separate
// processes or separate stores on one file need nothing further.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "query/QueryRecord.h"

struct sqlite3;

// The layout version this program writes.
constexpr int kHistorySchemaVersion = 1;

// One stored query: the run as it was recorded (fields not read stay TFieldState::Pending), with each
// field's number.
struct THistoryQuery {
  int64_t Id = 0;  // row id, increasing in the order of storing
  TQueryRecord Record;
  std::array<std::optional<double>, kTextFieldCount> Numbers;
};

class THistoryStore {
 public:
  struct TOptions {
    int BusyTimeoutMs = 5000;  // how long one attempt waits for another writer
    int WriteAttempts = 3;     // attempts of a write that keeps finding the file busy
    int64_t MaxPageCount = 0;  // a cap on the file's size in pages; 0: none
    // Only reads: the file is neither created, brought up to date nor set aside when corrupt,
    // so a history the user may only read can be shown. Record fails.
    bool ReadOnly = false;
  };

  THistoryStore();
  ~THistoryStore();
  THistoryStore(const THistoryStore&) = delete;
  THistoryStore& operator=(const THistoryStore&) = delete;

  // $XDG_DATA_HOME/velmora/history.sqlite3, or ~/.local/share/velmora/history.sqlite3 when
  // XDG_DATA_HOME is unset, empty or not absolute. "" when not even HOME is known.
  static std::string DefaultPath();

  // Opens (creating the file and its folders as needed) and brings the layout up to date.
  // Recovers a corrupt file as described above. Returns whether the store can be used; a
  // store that is not open reads nothing, and each Record tries to open it again. Closes what
  // was open before.
  bool Open(const std::string& path, const TOptions& options);
  bool Open(const std::string& path) { return Open(path, TOptions{}); }
  bool IsOpen() const;
  const std::string& Path() const { return path_; }

  // Stores one finished run in one transaction. false (with a message) when it could not be
  // stored; the caller carries on. A file that went corrupt meanwhile is set aside first.
  bool Record(const TQueryRecord& record);

  // The stored runs of `site` (letter case ignored) in the order they started, oldest first:
  // every field, or only `field` (rfWebTitle, ...). Empty when nothing is stored or the store
  // cannot be read.
  std::vector<THistoryQuery> Series(const std::string& site) { return Read(site, std::nullopt); }
  std::vector<THistoryQuery> Series(const std::string& site, TResultField field) {
    return Read(site, field);
  }
  // How many runs are stored, over all sites; -1 when the store cannot be read.
  int64_t QueryCount();

  // The message about the last trouble (UTF-8), once: "" when there is none or it was already
  // taken. A trouble of the same kind is reported again only after a success.
  std::string TakeMessage();

 private:
  std::vector<THistoryQuery> Read(const std::string& site, std::optional<TResultField> field);
  bool OpenLocked(const std::string& path);
  void Close();
  void Report(int kind, const std::string& message);

  mutable std::mutex mu_;  // guards everything below
  sqlite3* db_ = nullptr;
  std::string path_;
  TOptions options_;
  std::string message_;    // not yet taken
  unsigned reported_ = 0;  // kinds of trouble reported since the last success (bit set)
};
