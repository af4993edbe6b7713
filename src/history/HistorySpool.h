// THistorySpool: runs that could not reach their store, kept in a local file until it can be
// written to again. One line a run (a line never holds a newline; what it says is the store's
// business, see THistoryStore::RunLine). Several processes may share one spool: each change
// holds an exclusive flock on the file, and emptying it replaces the file by rename, so an
// append that waited on the old file tries again on the new one.
//
// Nothing raises; a spool that cannot be written says so through Append's result.
//
// Threads: one spool belongs to one store, whose lock serialises the calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class THistorySpool {
 public:
  explicit THistorySpool(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  // Adds one line, flushed to the disk before it returns; false (with `error`, UTF-8) when it
  // could not be kept.
  bool Append(const std::string& line, std::string& error);
  // Whether the file holds anything (a cheap look, without its lock).
  bool HasLines() const;
  // Hands each line to `store` in the order they were added and keeps only those it refused
  // (false): the file then holds just those, or is gone. Gives how many are left; -1 when the
  // file could not be read or rewritten (it is then left as it was).
  int64_t Drain(const std::function<bool(const std::string&)>& store);

 private:
  std::string path_;
};
