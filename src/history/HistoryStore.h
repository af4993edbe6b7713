// THistoryStore: the history of every query, shared by the window and the command line. Two
// stores keep it: a SQLite file of the user's own (TSqliteHistoryStore, the default) and a
// PostgreSQL database a team shares (TPgHistoryStore, chosen by a postgresql:// location).
// Both hold the same tables: each finished run (a TQueryRecord) becomes one row of `queries`
// and one row of `fields` per result field and the thumbnail, with the field's text, its
// number when it is one, its outcome and the reason. `fields` is the shape other tools read;
// the store itself reads a run's fields from its `queries` row, where they are also kept
// packed in one text (`packed_fields`, see PackFields), so that a site's long series is read
// as one row per run. Runs stored before there was that column are read from `fields`.
//
// Each check-up (a TAuditReport) becomes one row of `audits`, with its trend numbers in a
// column each (named as AuditNumberName names them), and one row of `audit_checks` per check,
// with the check's and the mark's names (AuditCheckName, AuditMarkName), its value, reason,
// URL and details (joined by newlines). Their texts are UTF-8 as they come.
//
// The history never fails a query. No method raises: a store that cannot be opened, reached
// or written makes the method report false (or nothing read) and leave one message for the
// caller to show (TakeMessage); the next Record tries to open or reach it again. A trouble of
// one kind is reported once until something succeeds.
//
// Every run is stored in one transaction under a run id unique to it, so a run written again
// (after a connection lost while its commit was under way, say) is stored once.
//
// Text: the GBK texts of a record (site, values, reasons) are stored as UTF-8, so that other
// tools read the store as it is, and come back as GBK. Messages are UTF-8 (they name file
// paths), ready for stderr or QString::fromUtf8.
//
// Each alert the watch raises (watch/) becomes one row of `alerts`: the rule, what it looked at,
// before and after, its sentence, the run that raised it, and whether its condition still held
// when the site was last compared (`open`), so that a change is told once.
//
// Each store carries its layout's version (kHistorySchemaVersion); opening an older one brings
// it up to date step by step, inside one transaction; one of a newer program is left alone.
//
// Threads: every method may be called from any thread; calls on one store take turns. Separate
// processes or separate stores on one file or database need nothing further.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/AuditReport.h"
#include "query/QueryRecord.h"
#include "rank/RankRun.h"

// The layout version this program writes.
constexpr int kHistorySchemaVersion = 5;

// One stored query: the run as it was recorded (fields not read stay TFieldState::Pending), with
// each field's number.
struct THistoryQuery {
  int64_t Id = 0;  // row id, increasing in the order of storing
  TQueryRecord Record;
  std::array<std::optional<double>, kTextFieldCount> Numbers;
};

// Which stored runs to read. Runs come in the order they started (then of storing).
struct THistoryFilter {
  std::optional<std::string> Site =
      std::nullopt;                       // GBK, letter case ignored; every site when unset
  std::vector<TResultField> Fields = {};  // only these fields; all when empty
  bool NoFields = false;                  // only the site and the time of each run
  std::optional<int64_t> SinceUnixMs = std::nullopt;  // only runs that started then or later
};

// One alert the watch raised. Texts UTF-8.
struct THistoryAlert {
  int64_t Id = 0;            // row id, increasing in the order of storing; 0 before it is stored
  std::string Site = {};     // letter case ignored
  std::string Kind = {};     // the kind of run compared: "query", "audit", "crawl"
  std::string Rule = {};     // the rule's id
  std::string Subject = {};  // what the rule looked at: a field, a check, a keyword; "" for the run
  std::string Before = {};   // the value before and after, as shown
  std::string After = {};
  std::string Message = {};  // one sentence, Chinese
  std::string RunId = {};    // the run that raised it
  int64_t RaisedUnixMs = 0;
  bool Open = true;  // its condition still held when the site was last compared
};

class THistoryStore {
 public:
  struct TOptions {
    int BusyTimeoutMs = 5000;  // SQLite: how long one attempt waits for another writer
    int WriteAttempts = 3;     // attempts of a write that finds the store busy or the link lost
    int64_t MaxPageCount = 0;  // SQLite: a cap on the file's size in pages; 0: none
    int ConnectTimeoutS = 5;   // PostgreSQL: unless the location says connect_timeout
    // PostgreSQL: where runs that could not reach the server are kept until they can (a file
    // in this folder, named after the database); "" for the folder of DefaultPath().
    std::string SpoolFolder;
    // Only reads: the store is neither created, brought up to date nor set aside when corrupt,
    // so a history the user may only read can be shown. Record fails.
    bool ReadOnly = false;
    // The layout a new or older store is brought up to; lower only to test the migrations.
    int SchemaVersion = kHistorySchemaVersion;
  };

  THistoryStore() = default;
  virtual ~THistoryStore() = default;
  THistoryStore(const THistoryStore&) = delete;
  THistoryStore& operator=(const THistoryStore&) = delete;

  // $XDG_DATA_HOME/velmora/history.sqlite3, or ~/.local/share/velmora/history.sqlite3 when
  // XDG_DATA_HOME is unset, empty or not absolute. "" when not even HOME is known.
  static std::string DefaultPath();
  // Whether `location` names a PostgreSQL database (postgresql:// or postgres://) rather than
  // a SQLite file.
  static bool IsDatabaseUrl(const std::string& location);

  // Opens the store at `location` and brings its layout up to date. Returns whether it can be
  // used; a store that is not open reads nothing, and each Record tries to open it again.
  // Closes what was open before.
  virtual bool Open(const std::string& location, const TOptions& options) = 0;
  bool Open(const std::string& location) { return Open(location, TOptions{}); }
  virtual bool IsOpen() const = 0;
  // The location as given to Open, a password left out (for messages and titles).
  const std::string& Path() const { return path_; }

  // Stores one finished run in one transaction. false (with a message) when it could not be
  // stored; the caller carries on. A run whose id is stored already is not stored again (and
  // that counts as stored). The first form gives the run a fresh id.
  bool Record(const TQueryRecord& record) { return Record(record, NewRunId()); }
  virtual bool Record(const TQueryRecord& record, const std::string& run_id) = 0;

  // Hands each run the filter picks to `visit`, one at a time in their order, so that a long
  // series is never held whole. false (with a message, unless opening gave one already) when
  // the store cannot be read; a run was handed over only when it was read whole.
  virtual bool EachRun(const THistoryFilter& filter,
                       const std::function<void(const THistoryQuery&)>& visit) = 0;
  // The runs the filter picks; empty when nothing is stored or the store cannot be read.
  std::vector<THistoryQuery> Runs(const THistoryFilter& filter);
  // The stored runs of `site` (letter case ignored) in the order they started, oldest first:
  // every field, or only `field` (rfWebTitle, ...).
  std::vector<THistoryQuery> Series(const std::string& site) { return Runs({.Site = site}); }
  std::vector<THistoryQuery> Series(const std::string& site, TResultField field) {
    return Runs({.Site = site, .Fields = {field}});
  }
  // How many runs are stored, over all sites; -1 when the store cannot be read.
  virtual int64_t QueryCount() = 0;

  // Check-ups, kept beside the queries on the same terms: one transaction each, stored once
  // under its run id, never raising.
  bool RecordAudit(const TAuditReport& report) { return RecordAudit(report, NewRunId()); }
  virtual bool RecordAudit(const TAuditReport& report, const std::string& run_id) = 0;
  // Hands each stored check-up the filter picks to `visit`, in the order they started. The
  // filter's Site is matched against TAuditReport::Site (UTF-8 here, letter case ignored);
  // Fields and NoFields do not apply.
  // A number that belongs to a check (AuditNumberCheck) comes back in that check's result.
  virtual bool EachAudit(const THistoryFilter& filter,
                         const std::function<void(const TAuditReport&)>& visit) = 0;
  // One trend number of `site`'s stored check-ups (UTF-8, letter case ignored), oldest first:
  // the start of each check-up that measured it, and the value. Empty when none did or the
  // store cannot be read.
  struct TAuditPoint {
    int64_t StartedUnixMs = 0;
    double Value = 0;
  };
  std::vector<TAuditPoint> AuditSeries(const std::string& site, TAuditNumber number);

  // Keyword positions, kept beside the queries on the same terms: one transaction a run (a row
  // of `ranks` per keyword and engine), stored once under its run id, never raising. Texts are
  // UTF-8 as they come. The tables (`ranks`, and `rank_keywords` for the keywords kept for a
  // site) are made by the first write that needs them, so a history of any layout takes them.
  bool RecordRanks(const TRankReport& report) { return RecordRanks(report, NewRunId()); }
  virtual bool RecordRanks(const TRankReport& report, const std::string& run_id) = 0;
  // One stored position and the start of its run.
  struct TRankPoint {
    int64_t StartedUnixMs = 0;
    TRankPosition Position{};
  };
  // Hands each stored position of `site` (letter case ignored) to `visit`, runs oldest first,
  // within a run in the order asked: every keyword, or only `keyword`. None when no positions
  // were ever stored.
  virtual bool EachRank(const std::string& site, const std::string& keyword,
                        const std::function<void(const TRankPoint&)>& visit) = 0;
  // The keywords kept for `site` (letter case of the site ignored), in the order they were
  // given; SetRankKeywords replaces them all.
  virtual bool SetRankKeywords(const std::string& site,
                               const std::vector<std::string>& keywords) = 0;
  virtual std::vector<std::string> RankKeywords(const std::string& site) = 0;
  // Alerts, on the same terms: both calls never raise. UpdateAlerts stores `raised` (open) and
  // closes the alerts whose ids are in `closed`, all in one transaction; an alert whose run,
  // rule and subject are stored already is not stored again.
  virtual bool UpdateAlerts(const std::vector<THistoryAlert>& raised,
                            const std::vector<int64_t>& closed) = 0;
  // Hands each stored alert of `site` (letter case ignored) to `visit`, oldest first; only the
  // open ones when `open_only`.
  virtual bool EachAlert(const std::string& site, bool open_only,
                         const std::function<void(const THistoryAlert&)>& visit) = 0;

  // The message about the last trouble (UTF-8), once: "" when there is none or it was already
  // taken. A trouble of the same kind is reported again only after a success.
  std::string TakeMessage();

  // 32 random hex digits.
  static std::string NewRunId();

  // Runs of Record that are not in the store, after one more attempt to write those a spool
  // keeps (a store that has no spool keeps none): how many still wait in the spool, how many
  // could not even be kept there, and a line (UTF-8) that says so; all zero and "" when every
  // run is stored.
  struct TUnstored {
    int64_t Waiting = 0;
    int64_t Lost = 0;
    std::string Message;
  };
  virtual TUnstored WriteSpooled() { return {}; }

 protected:
  // Kinds of trouble, each reported once until a success (reported_).
  enum : unsigned { kTroubleOpen = 1, kTroubleWrite = 2, kTroubleRead = 4 };

  // One stored field as both stores keep it; texts UTF-8.
  struct TFieldRow {
    std::string Field;  // the label name (Site1 ... Alexa6, Image1)
    std::string Text;   // '' without a value
    std::optional<double> Number;
    std::string Outcome;   // value, no-match, blocked, failed, stopped, disabled
    std::string Reason;    // why there is no value; '' for a value
    std::string FetchEnd;  // how the request ended: fetched, read-timeout, ...
    int HttpStatus = 0;
    int64_t ElapsedMs = 0;
    std::string Url;
    std::string Detail;  // the network layer's own message, English
  };
  // The rows a record is stored as: every text field, then the thumbnail.
  static std::vector<TFieldRow> FieldRows(const TQueryRecord& record);
  // The rows packed into one text, as `packed_fields` keeps them: a line per row, its columns
  // (field, text, number, outcome, fetch end, status, elapsed, URL, detail; the reason is
  // derived again on reading) apart by tabs, with backslash, tab and newline escaped as \\,
  // \t and \n. What repeats is left out: no field name for the field after the row before's,
  // "=" for a number written as the text is, nothing for an outcome, end, status or time that
  // is the row before's, \= for the row before's URL.
  static std::string PackFields(const std::vector<TFieldRow>& rows);
  // A run as one line of text (no newline in it: its id, start, site, definition set and packed
  // fields, escaped as packed columns are), and the run of such a line; false for a line that
  // is none.
  static std::string RunLine(const TQueryRecord& record, const std::string& run_id);
  static bool RunOfLine(std::string_view line, TQueryRecord& record, std::string& run_id);
  // Puts the rows of a read together into runs: each row names its run (id, site, start) and,
  // unless the run has none, one field or all of them packed. A run goes to `visit` when a row
  // of the next one comes or at Finish. `only`: the fields a packed row gives; all when empty.
  class TRunAssembler {
   public:
    TRunAssembler(const std::function<void(const THistoryQuery&)>& visit,
                  const std::vector<TResultField>& only);
    void Add(int64_t id, std::string_view site_utf8, int64_t started_ms,
             std::string_view service_set, const std::optional<TFieldRow>& row);
    // The current run's fields from its packed text.
    void AddPacked(std::string_view packed);
    void Finish();

   private:
    // One field of a row, its texts UTF-8 (and unescaped); its outcome and end as SetWords
    // last met them, its number set apart.
    struct TFieldView {
      std::string_view Text;
      int HttpStatus;
      int64_t ElapsedMs;
      std::string_view Url, Detail;
    };
    // What Set fills, as a fresh run has it.
    static void Clear(TFieldResult& r);
    // The outcome and fetch end words of the fields Set fills next.
    void SetWords(std::string_view outcome, std::string_view fetch_end);
    void Set(TResultField field, const TFieldView& view);

    const std::function<void(const THistoryQuery&)>& visit_;
    std::array<bool, kTextFieldCount + 1> wanted_;
    THistoryQuery run_;
    bool open_ = false;  // run_ holds a run not yet handed over
    // The last outcome and end words met, and what they mean.
    std::string outcome_word_, end_word_;
    TFieldState outcome_state_;
    TFetchEnd end_;
    std::string text_, url_, detail_;  // room for packed texts with escapes undone
  };

  // One stored check of a check-up, as both stores keep it.
  struct TAuditCheckRow {
    std::string Check;  // AuditCheckName
    std::string Mark;   // AuditMarkName
    std::string Value, Reason, Url;
    std::string Details;  // joined by newlines
  };
  static std::vector<TAuditCheckRow> AuditCheckRows(const TAuditReport& report);
  // The tables of keyword positions, as both stores make them (the id column's type given).
  static std::vector<std::string> RankTablesSql(const std::string& id_column);
  // Puts the rows of a read together into check-ups, as TRunAssembler does runs: each row names
  // its check-up (id, site, start, time taken, trend numbers by TAuditNumber) and one check,
  // unless it has none.
  class TAuditAssembler {
   public:
    using TNumbers = std::array<std::optional<double>, kAuditNumberCount>;
    explicit TAuditAssembler(const std::function<void(const TAuditReport&)>& visit)
        : visit_(visit) {}
    void Add(int64_t id, std::string_view site, int64_t started_ms, int64_t elapsed_ms,
             const TNumbers& numbers, const std::optional<TAuditCheckRow>& row);
    void Finish();

   private:
    const std::function<void(const TAuditReport&)>& visit_;
    TAuditReport report_;
    TNumbers numbers_;
    int64_t id_ = 0;
    bool open_ = false;
  };

  // Both with mu_ held.
  void Report(unsigned kind, const std::string& message);
  void Succeeded(unsigned kind) { reported_ &= ~kind; }

  mutable std::mutex mu_;  // guards everything below and the derived stores' state
  std::string path_;
  TOptions options_;
  // The open store's layout version: older than kHistorySchemaVersion when it was opened only
  // to read (or, in tests, brought up to an older one), so reads and writes keep to its tables.
  int layout_ = 0;
  std::string message_;    // not yet taken
  unsigned reported_ = 0;  // kinds of trouble reported since the last success (bit set)
};

// The history location to use: `given` (a command-line flag) when set, else VELMORA_HISTORY_DB
// when set, else DefaultPath().
std::string HistoryLocation(const std::string& given);
// A store of the kind `location` names (a PostgreSQL URL or a file path), opened there; open
// or not, as Open left it (its message waits in TakeMessage).
std::unique_ptr<THistoryStore> OpenHistoryStore(const std::string& location,
                                                const THistoryStore::TOptions& options = {});
