#include "watch/WatchLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "history/HistoryStore.h"

std::optional<TWatchLock> TWatchLock::Take(const std::string& list, std::string& path,
                                           std::string& problem) {
  std::string folder = THistoryStore::DefaultPath();
  folder = folder.substr(0, folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/'));
  if (folder.empty()) {
    problem = "no data folder for the watch's lock (HOME is not set)";
    return std::nullopt;
  }
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    ::mkdir(folder.substr(0, slash).c_str(), 0700);
    if (slash == std::string::npos) break;
  }
  uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a of the list's name
  for (const unsigned char c : list) hash = (hash ^ c) * 0x100000001b3ull;
  char name[40];
  std::snprintf(name, sizeof name, "/watch-%016llx.lock", static_cast<unsigned long long>(hash));
  path = folder + name;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    problem = errno == EWOULDBLOCK ? "" : path + ": " + std::strerror(errno);
    ::close(fd);
    return std::nullopt;
  }
  return TWatchLock(fd);
}

TWatchLock::~TWatchLock() {
  if (fd_ >= 0) ::close(fd_);
}
