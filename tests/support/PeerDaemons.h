// Real servers as test peers: a private nginx (web server) and a private tinyproxy (HTTP proxy),
// each started by the test on 127.0.0.1 and a free port, with a config generated into a fresh
// temporary directory, and stopped (by its process id) and cleaned up when the object dies.
//
// Usage:
//   NginxServer web;
//   if (!web.Start()) GTEST_SKIP() << web.SkipReason();
//   web.WriteFile("/a.html", "hello");   // under the document root
//   ... GET http://127.0.0.1:<web.Port()>/a.html ...
//
// Start() returns false (with SkipReason() telling why) when the binary is not installed or
// the daemon did not come up; tests then skip rather than fail. Nothing here touches a system
// location: logs, pid files, temp paths and the document root all live in the temp directory.
//
// Thread-safety: one object is driven by one thread; the daemon itself serves any number of
// client threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A daemon process started in the foreground, owned by this object.
class PeerDaemon {
 public:
  PeerDaemon();
  virtual ~PeerDaemon();
  PeerDaemon(const PeerDaemon&) = delete;
  PeerDaemon& operator=(const PeerDaemon&) = delete;

  // Starts the daemon on a free port and waits until it accepts connections. Retries a few
  // times with a fresh port (another process may take the port between choice and start).
  bool Start();
  // Stops the daemon (SIGTERM, then SIGKILL after a grace period) and reaps it.
  void Stop();
  bool Running() const { return pid_ > 0; }

  uint16_t Port() const { return port_; }
  // "127.0.0.1:PORT".
  std::string HostPort() const;
  // Why Start() failed, for GTEST_SKIP.
  const std::string& SkipReason() const { return skip_reason_; }
  // The private temporary directory (config, logs, pid file).
  const std::string& Dir() const { return dir_; }
  // The daemon's log file contents, for failure messages.
  std::string Log() const;

 protected:
  // The binary to run; Start() skips when it does not exist.
  virtual std::string Binary() const = 0;
  // Writes the config for `port` into Dir() and returns the arguments after the binary.
  virtual std::vector<std::string> PrepareRun(uint16_t port) = 0;
  virtual std::string LogPath() const = 0;

  static void WriteText(const std::string& path, const std::string& text);

 private:
  bool StartOnce(uint16_t port);

  std::string dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string skip_reason_;
};

// nginx serving static files from Root(), keep-alive on (long time-out, many requests per
// connection), with room for extra directives inside the server block (redirects, say:
// "location = /old { return 302 /new.html; }"). UseTls turns the port into an https port.
class NginxServer : public PeerDaemon {
 public:
  explicit NginxServer(std::string server_directives = "");
  ~NginxServer() override { Stop(); }

  // Before Start: the port speaks TLS with this certificate chain and key (PEM files);
  // `ssl_directives` may add to or narrow the TLS settings ("ssl_protocols TLSv1;").
  void UseTls(const std::string& certificate_file, const std::string& key_file,
              const std::string& ssl_directives = "");

  // The document root.
  std::string Root() const { return Dir() + "/www"; }
  // Writes a file below the root; `path` starts with "/". Parent folders are created.
  void WriteFile(const std::string& path, const std::string& bytes) const;

 protected:
  std::string Binary() const override { return "/usr/sbin/nginx"; }
  std::vector<std::string> PrepareRun(uint16_t port) override;
  std::string LogPath() const override { return Dir() + "/error.log"; }

 private:
  std::string directives_;
  std::string tls_directives_;  // empty: plain http
};

// tinyproxy accepting clients from 127.0.0.1, forwarding plain requests and CONNECT to any port.
class TinyproxyServer : public PeerDaemon {
 public:
  TinyproxyServer() = default;
  ~TinyproxyServer() override { Stop(); }

 protected:
  std::string Binary() const override { return "/usr/bin/tinyproxy"; }
  std::vector<std::string> PrepareRun(uint16_t port) override;
  std::string LogPath() const override { return Dir() + "/tinyproxy.log"; }
};

// microsocks (SOCKS 5) on 127.0.0.1; with a user name, only that user and password get through.
class MicrosocksServer : public PeerDaemon {
 public:
  explicit MicrosocksServer(std::string user = "", std::string password = "")
      : user_(std::move(user)), password_(std::move(password)) {}
  ~MicrosocksServer() override { Stop(); }

 protected:
  std::string Binary() const override { return "/usr/bin/microsocks"; }
  std::vector<std::string> PrepareRun(uint16_t port) override;
  std::string LogPath() const override { return Dir() + "/stdout.log"; }

 private:
  std::string user_;
  std::string password_;
};

// `size` pseudo-random bytes, the same for every call: file contents for the servers to hand
// out, where a byte lost, doubled or moved shows.
std::string PatternBytes(size_t size);

// A port on 127.0.0.1 that was free a moment ago (bound to 0 and released).
uint16_t FreeLoopbackPort();
// True when process `pid` holds a TCP socket listening on `port` (on any local address). A
// daemon started on a port chosen a moment earlier is known to be up only when this holds:
// another process may have taken the port meanwhile.
bool ProcessListensOn(pid_t pid, uint16_t port);

// A port on 127.0.0.1 that refuses every connection for as long as this object lives: a socket
// is bound to it without listening, so no other test can take the port meanwhile and no client
// can be handed it as its own local port (which would connect the client to itself).
class RefusedLoopbackPort {
 public:
  RefusedLoopbackPort();
  ~RefusedLoopbackPort();
  RefusedLoopbackPort(const RefusedLoopbackPort&) = delete;
  RefusedLoopbackPort& operator=(const RefusedLoopbackPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};
