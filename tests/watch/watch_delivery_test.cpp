// The watch end to end and its deliveries, against stand-ins: velmora-query --watch over the
// stand-in services with a falling count (one line on standard output, one webhook delivery that
// a receiver answering 500 first gets again under the same id, signed), an unchanged run after
// it, a second run of one list while the first holds its lock; a mail to a stand-in sendmail; a
// desktop notification on a private session bus.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/QueryTool.h"
#include "history/SqliteHistoryStore.h"
#include "runtime/CodePage.h"
#include "support/ScriptedServer.h"
#include "support/StandInHosts.h"
#include "watch/DesktopDelivery.h"
#include "watch/MailDelivery.h"
#include "watch/WatchLock.h"
#include "watch/WebhookDelivery.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

class WatchDeliveryTest : public ::testing::Test {
 protected:
  WatchDeliveryTest() {
    char tmpl[] = "/tmp/velmora-watch-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    // No user's file or history of this machine may take part.
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    setenv("XDG_DATA_HOME", dir_.c_str(), 1);
  }
  ~WatchDeliveryTest() override {
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "VELMORA_WEBHOOK_SECRET", "VELMORA_WEBHOOK_RETRY_MS"})
      unsetenv(name);
    fs::remove_all(dir_);
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    return dir_ + "/" + name;
  }
  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "velmora-query");
    out_.str("");
    err_.str("");
    return RunQueryTool(static_cast<int>(args.size()), args.data(), out_, err_);
  }
  static size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
  static THistoryAlert Alert() {
    return THistoryAlert{.Site = "a.example",
                         .Kind = "audit",
                         .Rule = "certificate-days",
                         .Subject = "<14",
                         .Before = "15",
                         .After = "13",
                         .Message = "证书只剩 13 天就到期了（不足 14 天）。",
                         .RunId = "run-1",
                         .RaisedUnixMs = 1765200000000};
  }

  std::string dir_;
  std::ostringstream out_, err_;
};

// A webhook receiver: answers `first` (500) to the first request, 204 to the others, and keeps
// each request's head and body.
class TReceiver {
 public:
  explicit TReceiver(int first = 500)
      : server_([this, first](ScriptedConnection& c) {
          const std::string head = c.ReadHead();
          if (head.empty()) return;
          const size_t at = head.find("Content-Length: ");
          const size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
          const std::string body = c.ReadBytes(length);
          bool was_first;
          {
            std::lock_guard<std::mutex> lock(mu_);
            was_first = got_.empty();
            got_.push_back({head, body});
          }
          c.Send(was_first ? "HTTP/1.1 " + std::to_string(first) +
                                 " Oops\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                           : "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        }) {}
  std::string Url() const { return server_.Url("/hook"); }
  std::vector<std::pair<std::string, std::string>> Got() {
    std::lock_guard<std::mutex> lock(mu_);
    return got_;
  }
  // A header's value in a request head.
  static std::string Header(const std::string& head, const std::string& name) {
    const size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    const size_t start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> got_;
  ScriptedServer server_;
};

std::string HmacHex(const std::string& key, const std::string& body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &n);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", mac[i]);
    hex += two;
  }
  return hex;
}

TEST_F(WatchDeliveryTest, AFallingCountIsToldOnceOnStandardOutputAndToASignedWebhook) {
  StandInServices stand_ins;
  const std::string services = Write("services.toml", StandInDefinitions(stand_ins));
  const std::string site = stand_ins.HostFor(StandIn::Site);
  {  // yesterday's run: Baidu counted ten times as many pages
    TQueryRecord before;
    before.Site = site;
    before.StartedUnixMs = 1765100000000;
    for (const auto& [name, text] : StandInServices::ExpectedFields(site)) {
      TFieldResult& r = before.Fields[*ResultFieldByName(name)];
      r.State = TFieldState::Value;
      r.Text = name == "Site1" ? "12,340" : text;
    }
    TSqliteHistoryStore history;
    ASSERT_TRUE(history.Open(dir_ + "/velmora/history.sqlite3"));
    ASSERT_TRUE(history.Record(before));
  }
  setenv("VELMORA_WEBHOOK_SECRET", "s3cret", 1);
  setenv("VELMORA_WEBHOOK_RETRY_MS", "10", 1);
  TReceiver receiver;
  const std::string hook = receiver.Url();
  const std::vector<const char*> watch = {"--services", services.c_str(), "--delay", "0",
                                          "--watch",    "--notify",       "-",       "--notify",
                                          hook.c_str(), site.c_str()};
  ASSERT_EQ(Run(watch), kToolDone) << err_.str();
  EXPECT_EQ(Count(out_.str(), "index-drop"), 1u) << out_.str();
  EXPECT_NE(out_.str().find(site + " index-drop Site1: 12340 -> 1234  "), std::string::npos)
      << out_.str();
  const auto got = receiver.Got();
  ASSERT_EQ(got.size(), 2u);  // the 500, then the same delivery again
  const std::string id = TReceiver::Header(got[0].first, "X-Velmora-Delivery");
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(TReceiver::Header(got[1].first, "X-Velmora-Delivery"), id);
  EXPECT_EQ(got[0].second, got[1].second);
  EXPECT_EQ(got[1].first.rfind("POST /hook HTTP/1.1\r\n", 0), 0u) << got[1].first;
  EXPECT_EQ(TReceiver::Header(got[1].first, "X-Velmora-Event"), "alert");
  EXPECT_EQ(TReceiver::Header(got[1].first, "Content-Type"), "application/json");
  EXPECT_EQ(TReceiver::Header(got[1].first, "X-Velmora-Signature"),
            "sha256=" + HmacHex("s3cret", got[1].second));
  const auto body = nlohmann::json::parse(got[1].second);
  EXPECT_EQ(body["site"], site);
  EXPECT_EQ(body["rule"], "index-drop");
  EXPECT_EQ(body["field"], "Site1");
  EXPECT_EQ(body["before"], "12340");
  EXPECT_EQ(body["after"], "1234");
  EXPECT_EQ(body["run"].get<std::string>().size(), 32u);
  EXPECT_NE(body["message"].get<std::string>().find("少了 90%"), std::string::npos);

  // Nothing changed since: nothing is told.
  ASSERT_EQ(Run(watch), kToolDone) << err_.str();
  EXPECT_EQ(Count(out_.str(), "index-drop"), 0u) << out_.str();
  EXPECT_EQ(receiver.Got().size(), 2u);

  // A run of the same list while another holds its lock starts nothing and says so.
  std::string lock_path, problem;
  const std::optional<TWatchLock> held = TWatchLock::Take("\n" + site, lock_path, problem);
  ASSERT_TRUE(held) << problem;
  EXPECT_EQ(Run(watch), kToolDone);
  EXPECT_EQ(out_.str(), "");
  EXPECT_NE(err_.str().find("another watch of this list is still running"), std::string::npos)
      << err_.str();
  // A target that is none is refused before anything runs.
  EXPECT_EQ(Run({"--watch", "--notify", "ftp://x", site.c_str()}), kToolError);
  EXPECT_NE(err_.str().find("--notify ftp://x: not a target"), std::string::npos);
}

TEST_F(WatchDeliveryTest, AWebhookIsAskedAgainAfterAFailedConnectionButNotAfterA4xx) {
  const TAlertDeliveryOptions options{.TimeoutMs = 2000, .RetryBaseMs = 1};
  TReceiver refusing(404);
  std::string trouble;
  EXPECT_FALSE(TWebhookDelivery(refusing.Url(), options).Deliver({Alert()}, trouble));
  EXPECT_EQ(refusing.Got().size(), 1u);
  EXPECT_EQ(trouble, refusing.Url() + ": HTTP 404");
  ScriptedServer hanging_up([](ScriptedConnection&) {});  // closes every connection at once
  EXPECT_FALSE(TWebhookDelivery(hanging_up.Url("/"), options).Deliver({Alert()}, trouble));
  EXPECT_EQ(hanging_up.ConnectionCount(), 1 + kWebhookRetries);
}

TEST_F(WatchDeliveryTest, AMailGoesToSendmailWhole) {
  const std::string bin = dir_ + "/bin";
  fs::create_directory(bin);
  const std::string sendmail = Write(
      "bin/sendmail", "#!/bin/sh\necho \"$@\" > " + dir_ + "/args\ncat > " + dir_ + "/mail\n");
  ::chmod(sendmail.c_str(), 0755);
  const std::string path = std::getenv("PATH");
  setenv("PATH", (bin + ":" + path).c_str(), 1);
  TMailDelivery mail("ops@example.com");
  std::string trouble;
  const bool sent = mail.Deliver({Alert()}, trouble);
  const auto slurp = [&](const char* name) {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(sent) << trouble;
  EXPECT_EQ(slurp("args"), "-t\n");
  const std::string text = slurp("mail");
  const size_t blank = text.find("\n\n");
  ASSERT_NE(blank, std::string::npos) << text;
  const std::string head = text.substr(0, blank + 1), body = text.substr(blank + 2);
  EXPECT_EQ(head.rfind("To: ops@example.com\n", 0), 0u) << head;
  for (const char* line :
       {"\nSubject: =?UTF-8?B?", "\nDate: ", "\nMIME-Version: 1.0\n",
        "\nContent-Type: text/plain; charset=UTF-8\n", "\nContent-Transfer-Encoding: 8bit\n"}) {
    EXPECT_NE(head.find(line), std::string::npos) << line;
  }
  for (const char c : head) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << "a header not ASCII";
  EXPECT_EQ(body.rfind("a.example certificate-days <14: 15 -> 13  证书只剩 13 天", 0), 0u) << body;

  // sendmail refusing the mail, and no sendmail at all, are failures that say so.
  Write("bin/sendmail", "#!/bin/sh\ncat >/dev/null\nexit 75\n");
  EXPECT_FALSE(mail.Deliver({Alert()}, trouble));
  EXPECT_NE(trouble.find("exit status 75"), std::string::npos) << trouble;
  setenv("PATH", dir_.c_str(), 1);
  if (TMailDelivery::FindSendmail().empty()) {
    EXPECT_FALSE(mail.Deliver({Alert()}, trouble));
    EXPECT_NE(trouble.find("no sendmail"), std::string::npos) << trouble;
  }
  setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(TMailDelivery::IsAddress("ops@example.com\nBcc: x@y"));
  EXPECT_FALSE(TMailDelivery::IsAddress("nobody"));
}

// A private session bus (dbus-daemon) for one test, and a stand-in notification service on it.
class TPrivateBus {
 public:
  TPrivateBus() {
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const char* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
    if (posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char* const*>(argv),
                     environ) != 0)
      pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char c;
    while (pid_ != 0 && ::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
    ::close(out[0]);
  }
  ~TPrivateBus() {
    StopService();
    if (pid_ != 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Address() const { return address_; }

  // Owns org.freedesktop.Notifications and answers each Notify, keeping its summary and body.
  bool StartService() {
    DBusError error;
    dbus_error_init(&error);
    service_ = dbus_connection_open_private(address_.c_str(), &error);
    if (service_ == nullptr || !dbus_bus_register(service_, &error) ||
        dbus_bus_request_name(service_, "org.freedesktop.Notifications",
                              DBUS_NAME_FLAG_DO_NOT_QUEUE,
                              &error) != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
      dbus_error_free(&error);
      return false;
    }
    thread_ = std::thread([this] {
      while (!stop_ && dbus_connection_read_write(service_, 50)) {
        while (DBusMessage* m = dbus_connection_pop_message(service_)) {
          if (dbus_message_is_method_call(m, "org.freedesktop.Notifications", "Notify")) {
            const char *app, *icon, *summary, *body;
            dbus_uint32_t replaces;
            if (dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &app, DBUS_TYPE_UINT32,
                                      &replaces, DBUS_TYPE_STRING, &icon, DBUS_TYPE_STRING,
                                      &summary, DBUS_TYPE_STRING, &body, DBUS_TYPE_INVALID)) {
              std::lock_guard<std::mutex> lock(mu_);
              shown_.push_back(std::string(app) + "|" + summary + "|" + body);
            }
            DBusMessage* reply = dbus_message_new_method_return(m);
            const dbus_uint32_t id = 7;
            dbus_message_append_args(reply, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
            dbus_connection_send(service_, reply, nullptr);
            dbus_message_unref(reply);
          }
          dbus_message_unref(m);
        }
      }
    });
    return true;
  }
  void StopService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (service_ != nullptr) {
      dbus_connection_close(service_);
      dbus_connection_unref(service_);
      service_ = nullptr;
    }
  }
  std::vector<std::string> Shown() {
    std::lock_guard<std::mutex> lock(mu_);
    return shown_;
  }

 private:
  pid_t pid_ = 0;
  std::string address_;
  DBusConnection* service_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> shown_;
};

TEST_F(WatchDeliveryTest, ADesktopNotificationReachesTheSessionBusService) {
  TPrivateBus bus;
  if (bus.Address().empty()) GTEST_SKIP() << "no dbus-daemon";
  ASSERT_TRUE(bus.StartService());
  const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = old != nullptr ? old : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().c_str(), 1);
  TDesktopDelivery desktop;
  std::string trouble;
  EXPECT_TRUE(desktop.Deliver({Alert(), Alert()}, trouble)) << trouble;
  const std::vector<std::string> shown = bus.Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0],
            "velmora|Velmora 提醒：a.example|证书只剩 13 天就到期了（不足 14 天）。\n15 → 13");
  // Without the service, the failure says so.
  bus.StopService();
  EXPECT_FALSE(desktop.Deliver({Alert()}, trouble));
  EXPECT_NE(trouble.find("desktop: the notification was not shown"), std::string::npos) << trouble;
  if (old != nullptr)
    setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  else
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
