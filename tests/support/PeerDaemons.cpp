#include "support/PeerDaemons.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr int kStartAttempts = 3;
constexpr int kReadyWaitMs = 5000;
constexpr int kStopGraceMs = 3000;

// A TCP socket bound to 127.0.0.1 and an ephemeral port, not listening; -1 when none could be had.
int BindLoopbackEphemeral(uint16_t& port) {
  port = 0;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Inodes of the TCP sockets listening on `port`, from one of /proc/net/tcp and /proc/net/tcp6.
void ListeningInodes(const char* table, uint16_t port, std::set<std::string>& inodes) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // column names
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    const bool listening = state == "0A";
    if (listening && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
      inodes.insert(inode);
  }
}

}  // namespace

std::string PatternBytes(size_t size) {
  std::string s(size, '\0');
  uint32_t x = 2463534242u;  // xorshift32
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  int fd = BindLoopbackEphemeral(port);
  if (fd >= 0) ::close(fd);
  return port;
}

RefusedLoopbackPort::RefusedLoopbackPort() { fd_ = BindLoopbackEphemeral(port_); }

RefusedLoopbackPort::~RefusedLoopbackPort() {
  if (fd_ >= 0) ::close(fd_);
}

bool ProcessListensOn(pid_t pid, uint16_t port) {
  std::set<std::string> inodes;
  ListeningInodes("/proc/net/tcp", port, inodes);
  ListeningInodes("/proc/net/tcp6", port, inodes);
  if (inodes.empty()) return false;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    // "socket:[12345]"
    if (!ec && target.size() > 9 && target.compare(0, 8, "socket:[") == 0 &&
        inodes.count(target.substr(8, target.size() - 9)))
      return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// PeerDaemon

PeerDaemon::PeerDaemon() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "velmora-peer-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) != nullptr) dir_ = tmpl;
}

PeerDaemon::~PeerDaemon() {
  // Subclasses stop the daemon in their own destructors; this is the safety net.
  Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string PeerDaemon::HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

void PeerDaemon::WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string PeerDaemon::Log() const {
  std::ifstream in(LogPath(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool PeerDaemon::Start() {
  if (dir_.empty()) {
    skip_reason_ = "cannot create a temporary directory";
    return false;
  }
  if (::access(Binary().c_str(), X_OK) != 0) {
    skip_reason_ = Binary() + " is not installed (tools/install-deps.sh installs it)";
    return false;
  }
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    uint16_t port = FreeLoopbackPort();
    if (port != 0 && StartOnce(port)) {
      port_ = port;
      return true;
    }
  }
  skip_reason_ = Binary() + " did not start; log: " + Log();
  return false;
}

bool PeerDaemon::StartOnce(uint16_t port) {
  std::vector<std::string> args = PrepareRun(port);
  std::vector<char*> argv;
  std::string binary = Binary();
  argv.push_back(binary.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The daemon's own output goes to a file in the temp dir, never into the test's output.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string out_path = dir_ + "/stdout.log";
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {  // exited: port taken or bad config
      pid_ = -1;
      return false;
    }
    if (ProcessListensOn(pid_, port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return false;
}

void PeerDaemon::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

// ---------------------------------------------------------------------------------------------
// NginxServer

NginxServer::NginxServer(std::string server_directives)
    : directives_(std::move(server_directives)) {
  if (!Dir().empty()) std::filesystem::create_directories(Root());
}

void NginxServer::WriteFile(const std::string& path, const std::string& bytes) const {
  std::filesystem::path full = Root() + path;
  std::filesystem::create_directories(full.parent_path());
  WriteText(full.string(), bytes);
}

void NginxServer::UseTls(const std::string& certificate_file, const std::string& key_file,
                         const std::string& ssl_directives) {
  tls_directives_ = "ssl_certificate " + certificate_file + ";\n    ssl_certificate_key " +
                    key_file + ";\n    " + ssl_directives + "\n";
}

std::vector<std::string> NginxServer::PrepareRun(uint16_t port) {
  const std::string& d = Dir();
  // One process that stays in the foreground and keeps the test's user, so files in the
  // private (0700) temp dir stay readable.
  std::string conf =
      "daemon off;\n"
      "master_process off;\n"
      "worker_processes 1;\n"
      "pid " +
      d +
      "/nginx.pid;\n"
      "error_log " +
      d +
      "/error.log warn;\n"
      "events { worker_connections 256; }\n"
      "http {\n"
      "  access_log off;\n"
      "  default_type application/octet-stream;\n"
      "  client_body_temp_path " +
      d +
      "/body;\n"
      "  proxy_temp_path " +
      d +
      "/proxy;\n"
      "  fastcgi_temp_path " +
      d +
      "/fastcgi;\n"
      "  uwsgi_temp_path " +
      d +
      "/uwsgi;\n"
      "  scgi_temp_path " +
      d +
      "/scgi;\n"
      "  keepalive_timeout 60s;\n"
      "  keepalive_requests 100000;\n"
      "  sendfile on;\n"
      "  server {\n"
      "    listen 127.0.0.1:" +
      std::to_string(port) + (tls_directives_.empty() ? "" : " ssl") + ";\n    " + tls_directives_ +
      "\n"
      "    server_name localhost;\n"
      "    root " +
      Root() +
      ";\n"
      "    " +
      directives_ +
      "\n"
      "  }\n"
      "}\n";
  WriteText(d + "/nginx.conf", conf);
  return {"-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"};
}

// ---------------------------------------------------------------------------------------------
// MicrosocksServer

std::vector<std::string> MicrosocksServer::PrepareRun(uint16_t port) {
  std::vector<std::string> args = {"-i", "127.0.0.1", "-p", std::to_string(port)};
  if (!user_.empty()) args.insert(args.end(), {"-u", user_, "-P", password_});
  return args;
}

// ---------------------------------------------------------------------------------------------
// TinyproxyServer

std::vector<std::string> TinyproxyServer::PrepareRun(uint16_t port) {
  const std::string& d = Dir();
  // No ConnectPort line: CONNECT is allowed to every port.
  std::string conf = "Port " + std::to_string(port) +
                     "\n"
                     "Listen 127.0.0.1\n"
                     "Timeout 60\n"
                     "MaxClients 64\n"
                     "Allow 127.0.0.1\n"
                     "LogFile \"" +
                     LogPath() +
                     "\"\n"
                     "LogLevel Info\n"
                     "PidFile \"" +
                     d +
                     "/tinyproxy.pid\"\n"
                     "DisableViaHeader Yes\n";
  WriteText(d + "/tinyproxy.conf", conf);
  return {"-d", "-c", d + "/tinyproxy.conf"};
}
