#include "support/PgTestServer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

TPgTestServer::~TPgTestServer() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

std::string TPgTestServer::ProgramFolder() {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", error)) {
    if (fs::exists(e.path() / "bin" / "initdb") && fs::exists(e.path() / "bin" / "pg_ctl")) {
      found.push_back(e.path() / "bin");
    }
  }
  if (found.empty()) return "";
  // The newest: version folders are numbers.
  return std::max_element(found.begin(), found.end(),
                          [](const fs::path& a, const fs::path& b) {
                            return std::atoi(a.parent_path().filename().c_str()) <
                                   std::atoi(b.parent_path().filename().c_str());
                          })
      ->string();
}

bool TPgTestServer::Run(const std::string& command) {
  const std::string as_user = ::getuid() == 0 ? "runuser -u nobody -- " : "";
  const std::string line =
      "cd " + dir_ + " && " + as_user + command + " >>" + dir_ + "/commands.log 2>&1";
  return std::system(line.c_str()) == 0;
}

bool TPgTestServer::Start() {
  if (running_) return true;
  if (bin_.empty()) {
    bin_ = ProgramFolder();
    if (bin_.empty()) {
      skip_reason_ =
          "the PostgreSQL server programs are not installed (/usr/lib/postgresql/*/bin/initdb; "
          "Debian package postgresql, see tools/install-deps.sh)";
      return false;
    }
    char tmpl[] = "/tmp/velmora-pg-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      skip_reason_ = "no temporary folder";
      return false;
    }
    dir_ = tmpl;
    if (::getuid() == 0 && ::chown(dir_.c_str(), 65534, 65534) != 0) {
      skip_reason_ = "cannot hand " + dir_ + " to nobody";
      return false;
    }
    if (!Run(bin_ + "/initdb -D " + dir_ + "/data -U velmora --auth=trust -E UTF8 --locale=C")) {
      skip_reason_ = "initdb failed; see " + dir_ + "/commands.log";
      return false;
    }
  }
  running_ =
      Run(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 60 -o \"-k " +
          dir_ + " -c listen_addresses='' -c fsync=off -c synchronous_commit=off" +
          " -c full_page_writes=off\" start");
  if (!running_) {
    std::ifstream log(dir_ + "/server.log");
    std::ostringstream text;
    text << log.rdbuf();
    skip_reason_ = "the server did not start: " + text.str();
  }
  return running_;
}

void TPgTestServer::Stop() {
  if (!running_) return;
  Run(bin_ + "/pg_ctl -D " + dir_ + "/data -m fast -w -t 60 stop");
  running_ = false;
}

std::string TPgTestServer::Url() const { return "postgresql://velmora@/postgres?host=" + dir_; }
