#include "watch/MailDelivery.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "http/NetCoderMIME.h"
#include "runtime/DateUtils.h"

extern char** environ;

namespace {

bool Executable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A header text as RFC 2047 writes one that is not ASCII.
std::string EncodedWord(const std::string& utf8) {
  return "=?UTF-8?B?" + EncodeString<TNetEncoderMIME>(utf8) + "?=";
}

std::string MailDate() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text;
}

}  // namespace

bool TMailDelivery::IsAddress(const std::string& text) {
  const size_t at = text.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= text.size() ||
      text.find('@', at + 1) != std::string::npos)
    return false;
  for (const unsigned char c : text) {
    if (c <= ' ' || c == 0x7F || c == ',' || c == '<' || c == '>' || c == '"' || c == ';')
      return false;
  }
  return true;
}

std::string TMailDelivery::FindSendmail() {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  dirs += ":/usr/sbin:/usr/lib";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && Executable(dir + "/sendmail")) return dir + "/sendmail";
    start = end + 1;
  }
  return "";
}

std::string TMailDelivery::Compose(const std::string& address,
                                   const std::vector<THistoryAlert>& alerts) {
  const std::string& site = alerts.front().Site;
  std::string subject =
      "Velmora 提醒：" + site + " 有 " + std::to_string(alerts.size()) + " 项变化";
  std::string mail = "To: " + address + "\n";
  mail += "Subject: " + EncodedWord(subject) + "\n";
  mail += "Date: " + MailDate() + "\n";
  mail += "MIME-Version: 1.0\n";
  mail += "Content-Type: text/plain; charset=UTF-8\n";
  mail += "Content-Transfer-Encoding: 8bit\n";
  mail += "X-Velmora-Event: alert\n";
  mail += "\n";
  for (const THistoryAlert& a : alerts) {
    mail += AlertLine(a) + "\n";
  }
  // (in steps: GCC 12 warns of "\n" + a temporary)
  mail += "\n";
  mail += IsoTime(alerts.front().RaisedUnixMs) + " " + alerts.front().RunId + "\n";
  return mail;
}

bool TMailDelivery::Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) {
  const std::string sendmail = FindSendmail();
  if (sendmail.empty()) {
    trouble = "mailto:" + address_ +
              ": no sendmail on this system (install a mail transfer agent, or use another "
              "--notify target)";
    return false;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    trouble = std::string("mailto: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
  const char* argv[] = {sendmail.c_str(), "-t", nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, sendmail.c_str(), &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[0]);
  if (spawned != 0) {
    ::close(pipe_fds[1]);
    trouble = sendmail + ": " + std::strerror(spawned);
    return false;
  }
  const std::string mail = Compose(address_, alerts);
  bool written = true;
  for (size_t done = 0; done < mail.size();) {
    const ssize_t n = ::write(pipe_fds[1], mail.data() + done, mail.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;  // sendmail ended without reading it all (SIGPIPE is ignored by the tool)
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(pipe_fds[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (written && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  trouble = sendmail + " -t did not take the mail to " + address_ +
            (WIFEXITED(status) ? " (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
                               : std::string(" (it ended by a signal)"));
  return false;
}
