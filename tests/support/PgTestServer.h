// A private PostgreSQL server for tests: a fresh cluster (initdb) in a temporary folder,
// started with pg_ctl on a Unix socket in that folder (no TCP port), superuser "velmora" with
// trust authentication, fsync off. Run as root, the server runs as the unprivileged "nobody"
// (the server refuses root). Stopped and removed when the object dies.
//
// Usage:
//   TPgTestServer pg;
//   if (!pg.Start()) GTEST_SKIP() << pg.SkipReason();
//   ... connect to pg.Url() ...
//   pg.Stop(); pg.Start();   // the same cluster again, its data kept
//
// Start() returns false (SkipReason() says why) when the server programs are not installed
// (Debian's postgresql package: /usr/lib/postgresql/<version>/bin) or the server did not come up.
#pragma once

#include <string>

class TPgTestServer {
 public:
  TPgTestServer() = default;
  ~TPgTestServer();
  TPgTestServer(const TPgTestServer&) = delete;
  TPgTestServer& operator=(const TPgTestServer&) = delete;

  // Makes the cluster on the first call; waits until the server accepts connections.
  bool Start();
  // Stops the server at once (the fast mode: sessions are cut off) and waits for it.
  void Stop();
  // postgresql://velmora@/postgres?host=<the socket folder>
  std::string Url() const;
  const std::string& SkipReason() const { return skip_reason_; }

  // The folder holding initdb and pg_ctl (the newest version installed), "" when none is.
  static std::string ProgramFolder();

 private:
  // Runs `command` as the server's user in dir_; its output goes to dir_/commands.log.
  bool Run(const std::string& command);

  std::string bin_, dir_, skip_reason_;
  bool running_ = false;
};
