// The sites a run over a list asks about: those named on the command line, then those of a list
// file (or "-", standard input), one a line, read as they are asked for. Nothing here grows with
// the list: a list of any length is read line by line, filtered by --shard and --resume as it is
// read, and let go.
//
// Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <fstream>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "query/SiteName.h"

// The longest line a list file may hold; a longer one is no site name (and is not read whole).
inline constexpr size_t kSiteListMaxLineBytes = 4096;

class TSiteList {
 public:
  // Asked about each site before it is handed out: true leaves it out (its run is stored
  // already); nothing, after a line of its own on the error stream, ends the list as failed.
  using TSkip = std::function<std::optional<bool>(const TSiteName&)>;

  // `named`: sites already read (from the command line). `file`: "" none, "-" standard input,
  // else a file of one name a line ("#" starts a comment line; a byte-order mark at the start
  // is passed over). `shard` {K, N}: only the sites ShardOfSite puts in part K of N.
  TSiteList(std::vector<TSiteName> named, std::string file,
            std::optional<std::pair<int, int>> shard = std::nullopt);
  ~TSiteList();

  // Reads the file once without keeping it, so that a name it cannot use stops everything before
  // any site is asked (false, after one line on err; also for a file that cannot be read) and
  // the sites are counted. Standard input, which cannot be read twice, is checked as it is read.
  bool Check(std::ostream& err);
  // The sites Check counted (past the shard, before any skip); 0 when not known (standard input).
  size_t Count() const { return count_; }

  void SetSkip(TSkip skip) { skip_ = std::move(skip); }
  // The next site; nothing at the end of the list or when it failed (Failed says which).
  std::optional<TSiteName> Next(std::ostream& err);
  bool Failed() const { return failed_; }
  // The sites left out by the skip so far.
  size_t Skipped() const { return skipped_; }

 private:
  // The next line of the file that names something (trimmed, no comment); nothing at its end or
  // after a line it cannot use (failed_ set, after a line on err).
  std::optional<std::string> NextLine(std::istream& in, size_t& line_number, std::ostream& err);
  // Opens the file for a pass; false, after a line on err, when it cannot be read.
  bool Open(std::ostream& err);
  // The site a line names, or nothing after a line on err (failed_ set).
  std::optional<TSiteName> NameOf(const std::string& typed, std::ostream& err);
  bool InShard(const TSiteName& site) const;

  const std::vector<TSiteName> named_;
  const std::string file_;
  const std::optional<std::pair<int, int>> shard_;
  TSkip skip_;
  size_t count_ = 0;
  size_t next_named_ = 0;
  std::unique_ptr<std::ifstream> own_;  // the file under way (null: none, or standard input)
  std::istream* in_ = nullptr;          // the list under way
  size_t line_ = 0;
  bool failed_ = false;
  size_t skipped_ = 0;
};

// The site name `typed` reads as; nothing, after one line on err, when it is none.
std::optional<TSiteName> SiteNameOf(const std::string& typed, std::ostream& err);

// Splitting a list across machines: the part (1 .. count) a site falls to. Every machine given
// the same list and count agrees without talking: the part is the 64-bit FNV-1a hash of the
// site's request name (TSiteName::Request: ASCII, an internationalised name in its xn-- form)
// in lower case, modulo count, plus one.
int ShardOfSite(const std::string& request_name, int count);
// "K/N" with 1 <= K <= N <= 1000 as {K, N}; nothing for any other text.
std::optional<std::pair<int, int>> ParseShard(const std::string& text);
