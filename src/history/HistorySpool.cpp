#include "history/HistorySpool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// The spool's file opened with `flags` and locked exclusively, and still the one at `path` (a
// drain may have renamed a new file over it while this one waited); -1 when it cannot be had.
int OpenLocked(const std::string& path, int flags) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat held, named;
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0) {
      if (::stat(path.c_str(), &named) == 0 && named.st_ino == held.st_ino &&
          named.st_dev == held.st_dev) {
        return fd;
      }
      ::close(fd);
      if (errno == ENOENT && !(flags & O_CREAT)) return -1;
      continue;  // replaced or removed meanwhile: the file at path now
    }
    ::close(fd);
    return -1;
  }
}

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool THistorySpool::Append(const std::string& line, std::string& error) {
  const int fd = OpenLocked(path_, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  const bool kept = WriteAll(fd, line + "\n") && ::fdatasync(fd) == 0;
  if (!kept) error = std::strerror(errno);
  ::close(fd);
  return kept;
}

bool THistorySpool::HasLines() const {
  struct stat st;
  return ::stat(path_.c_str(), &st) == 0 && st.st_size > 0;
}

int64_t THistorySpool::Drain(const std::function<bool(const std::string&)>& store) {
  const int fd = OpenLocked(path_, O_RDONLY);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  std::string text;
  char block[64 * 1024];
  ssize_t n = 0;
  while ((n = ::read(fd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text.append(block, static_cast<size_t>(n));
  }
  if (n < 0) {
    ::close(fd);
    return -1;
  }
  // A last line without its newline was cut short by a crash while it was added: dropped.
  std::string left;
  int64_t count = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (line.empty() || store(line)) continue;
    left += line + "\n";
    ++count;
  }
  bool done = true;
  if (left.empty()) {
    done = ::unlink(path_.c_str()) == 0;
  } else if (left.size() != text.size()) {
    const std::string fresh = path_ + ".new";
    const int out = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    done = out >= 0 && WriteAll(out, left) && ::fdatasync(out) == 0;
    if (out >= 0) ::close(out);
    done = done && ::rename(fresh.c_str(), path_.c_str()) == 0;
    if (!done) ::unlink(fresh.c_str());
  }
  ::close(fd);  // the lock goes with it, after the file was replaced
  return done ? count : -1;
}
