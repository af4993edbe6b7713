// TWatchLock: keeps two watch runs of one site list from overlapping (a timer that fires while
// yesterday's run still goes, cron and the timer both). The lock is an flock on a file in the
// data folder named after the list, so it goes when its process ends, however it ends.
//
// Threads: a plain value owned by one thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

class TWatchLock {
 public:
  // Takes the lock of the list `list` names (its file's real path, or its sites); none when
  // another process holds it, or it could not be taken (`problem` says which: "" when held).
  // `path` is the lock file's.
  static std::optional<TWatchLock> Take(const std::string& list, std::string& path,
                                        std::string& problem);
  TWatchLock(TWatchLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TWatchLock& operator=(TWatchLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~TWatchLock();

 private:
  explicit TWatchLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};
