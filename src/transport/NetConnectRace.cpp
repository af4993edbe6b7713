#include "transport/NetConnectRace.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "transport/NetStackPosix.h"

namespace {

struct TAttempt {
  TNetStackSocketHandle handle;
  size_t index;
};

}  // namespace

TNetRaceWinner NetConnectRace(const std::vector<std::string>& addresses, int port,
                              const TNetDeadline& deadline,
                              const std::function<void(TNetStackSocketHandle)>& prepare,
                              int next_address_delay_ms) {
  TNetStack& stack = *SharedStack();
  std::vector<TAttempt> running;
  TNetRaceWinner winner;
  int last_error = NetErrConnRefused;
  size_t next = 0;
  TNetDeadline next_start;  // when the next address joins in without waiting for a failure

  auto close_all = [&] {
    for (const TAttempt& a : running) stack.CloseSocket(a.handle);
    running.clear();
  };
  // Starts the next address; one that fails at once passes the turn on to the one after it.
  auto start_next = [&] {
    while (next < addresses.size() && winner.Handle == NetInvalidSocket) {
      const size_t index = next++;
      const bool v6 = addresses[index].find(':') != std::string::npos;
      const TNetStackSocketHandle fd = stack.Socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
      if (fd == NetInvalidSocket) {
        last_error = stack.PlatformLastError();
        continue;
      }
      int error = stack.SetBlocking(fd, false) == 0 ? 0 : stack.PlatformLastError();
      if (error == 0 && prepare) prepare(fd);
      if (error == 0 && stack.Connect(fd, addresses[index], port) == 0) {
        winner = TNetRaceWinner{fd, index};
        return;
      }
      if (error == 0) error = stack.PlatformLastError();
      if (error == NetErrInProgress || error == NetErrWouldBlock) {
        running.push_back(TAttempt{fd, index});
        next_start = TNetDeadline::In(next_address_delay_ms);
        return;
      }
      last_error = error;
      stack.CloseSocket(fd);
    }
  };

  try {
    start_next();
    while (winner.Handle == NetInvalidSocket) {
      if (running.empty()) {
        if (next >= addresses.size()) {
          throw ENetConnectException(TNetStack::ErrorText(last_error), last_error);
        }
        start_next();
        continue;
      }
      if (deadline.Passed()) throw ENetConnectTimeout();
      const TNetDeadline wake = next < addresses.size() ? deadline.Sooner(next_start) : deadline;
      std::vector<pollfd> fds;
      for (const TAttempt& a : running) fds.push_back(pollfd{a.handle, POLLOUT, 0});
      const int left = wake.WaitMs();
      const int ready = poll(fds.data(), fds.size(), left == -2 ? -1 : left);
      if (ready < 0 && errno != EINTR) {
        last_error = TNetStackPosix::ErrnoToSocketError(errno);
        throw ENetConnectException(TNetStack::ErrorText(last_error), last_error);
      }
      // The attempts that ended: the first good one wins, failed ones are dropped.
      for (size_t i = 0; i < fds.size() && winner.Handle == NetInvalidSocket; ++i) {
        if (fds[i].revents == 0) continue;
        const TAttempt attempt = running[i];
        running[i].handle = NetInvalidSocket;
        const int error = stack.SocketError(attempt.handle);
        if (error == 0) {
          winner = TNetRaceWinner{attempt.handle, attempt.index};
        } else {
          last_error = error;
          stack.CloseSocket(attempt.handle);
        }
      }
      std::erase_if(running, [](const TAttempt& a) { return a.handle == NetInvalidSocket; });
      if (winner.Handle == NetInvalidSocket && (running.empty() || next_start.Passed())) {
        start_next();
      }
    }
  } catch (...) {
    close_all();
    if (winner.Handle != NetInvalidSocket) stack.CloseSocket(winner.Handle);
    throw;
  }
  close_all();
  if (stack.SetBlocking(winner.Handle, true) != 0) {
    const int error = stack.PlatformLastError();
    stack.CloseSocket(winner.Handle);
    throw ENetConnectException(TNetStack::ErrorText(error), error);
  }
  return winner;
}
