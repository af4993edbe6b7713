// velmora-query on pages saved from the stand-in services: the step trace of --try-rule (the
// built-in steps, and a user's fallback after a step that no longer matches), --check-services
// and --dump-services, and command lines it cannot use; --audit's reports, order and flags.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/QueryTool.h"
#include "cli/SiteList.h"
#include "history/HistoryStore.h"
#include "query/UseFunction.h"
#include "services/ServiceFile.h"
#include "support/AuditStandIns.h"
#include "support/CurrentStandIns.h"
#include "support/PeerDaemons.h"
#include "support/PgTestServer.h"
#include "support/StandInHosts.h"
#include "support/StandInServices.h"
#include "transport/NetResolver.h"

namespace {

class QueryToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(dir_), nullptr);
    // No user's file of this machine may take part.
    setenv("XDG_CONFIG_HOME", dir_, 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    ASSERT_EQ(std::system((std::string("rm -rf ") + dir_).c_str()), 0);
  }

  // Saves the page the stand-in answers to `field`'s built-in request, as a browser would
  // (the bytes as they came).
  std::string SavePage(const std::string& field) {
    for (const TRequestDef& def : BuiltInServiceTable().Requests) {
      if (def.Field != field) continue;
      const std::string url = ExpandUrl(def.Url, "site.test", StandInServiceHosts(stand_ins_));
      const TPageResult page = FetchPage(url, "", TFetchMode::Raw);
      EXPECT_TRUE(page.Outcome.Fetched()) << url;
      return Write(field + ".html", page.Text);
    }
    ADD_FAILURE() << field;
    return "";
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = std::string(dir_) + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Run(std::vector<const char*> args) { return RunTo(out_, std::move(args)); }
  int RunTo(std::ostream& out, std::vector<const char*> args) {
    args.insert(args.begin(), "velmora-query");
    out_.str("");
    err_.str("");
    return RunQueryTool(static_cast<int>(args.size()), args.data(), out, err_);
  }

  static size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  StandInServices stand_ins_;
  char dir_[32] = "/tmp/velmora-query-XXXXXX";
  std::ostringstream out_, err_;
};

TEST_F(QueryToolTest, TryRuleTracesTheBuiltInStepsOnASavedPage) {
  const std::string page = SavePage("Site2");  // UTF-8, read as mode 1 reads it
  ASSERT_EQ(Run({"--try-rule", "Site2", page.c_str()}), kToolDone) << err_.str();
  const std::string saved = Slurp(page);
  EXPECT_EQ(out_.str(),
            "Site2: job 2, mode 1, http://{Google}/search?hl=zh-CN&q=site%3A{site}\n"
            "definitions: built in\n"
            "page: " +
                page + ", " + std::to_string(saved.size()) + " bytes, " +
                std::to_string(Utf8PageToGbk(saved).size()) +
                " after mode 1\n"
                "steps:\n"
                "  1. between '获得约 <b>' '</b> 条结果' -> '4,321'\n"
                "  2. digits -> '4,321'\n"
                "value: '4,321'\n");
  EXPECT_EQ(err_.str(), "");

  // A faulty entry in a file: the built-in one is used and named as such.
  const std::string faulty = Write("faulty.toml", "[[field]]\nname = \"Site2\"\nenabled = 1\n");
  ASSERT_EQ(Run({"--try-rule", "Site2", page.c_str(), "--services", faulty.c_str()}), kToolDone);
  EXPECT_NE(out_.str().find("definitions: built in\n"), std::string::npos) << out_.str();
  // A rule whose search runs out of steps says so rather than "no match" (one with a
  // back-reference: without one, the linear matcher answers where backtracking gives up).
  const std::string xs = Write("xs.html", std::string(40, 'x'));
  for (const std::string rule : {"(x+x+)+\\1[yz]", "(x+x+)+[yz]"}) {
    const std::string costly =
        Write("costly.toml",
              "[[field]]\nname = \"Site2\"\njob = 2\nmode = 1\nurl = \"http://{Google}/\"\n"
              "steps = [{ rule = '" +
                  rule + "' }]\n");
    EXPECT_EQ(Run({"--try-rule", "Site2", xs.c_str(), "--services", costly.c_str()}), kToolNo);
    EXPECT_NE(out_.str().find("definitions: " + costly + "\n"), std::string::npos) << out_.str();
    const bool backref = rule.find('\\') != std::string::npos;
    EXPECT_NE(out_.str().find(
                  "  1. rule '" + rule + "' -> " +
                  (backref ? "规则超出计算限制\n" : "no match (answered by the linear matcher)\n")),
              std::string::npos)
        << out_.str();
  }
}

TEST_F(QueryToolTest, TryRuleShowsWhereAStepStopsMatchingAndTheFallbackThatMendsIt) {
  const std::string page = SavePage("Alexa2");
  const std::string services = Write("services.toml", R"([[field]]
name = "Alexa2"
job = 10
url = "http://{ChinaRank}/overview/Info.do?url={site}"
mode = 0
steps = [{ between = ['排名已改版', '</span>'] }, 'digits']
fallbacks = [[{ rule = '当前排名：</span><span class="rank_font_y2">[velmora]</span>' }, { remove = '7' }, 'digits']]
)");
  ASSERT_EQ(Run({"--try-rule", "Alexa2", page.c_str(), "--services", services.c_str()}), kToolDone)
      << err_.str();
  const std::string out = out_.str();
  EXPECT_NE(out.find("definitions: " + services + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("steps:\n"
                     "  1. between '排名已改版' '</span>' -> not found\n"
                     "fallback 1:\n"
                     "  1. rule '当前排名：</span><span class=\"rank_font_y2\">[velmora]</span>' "
                     "-> '567'\n"
                     "  2. remove '7' -> '56'\n"
                     "  3. digits -> '56'\n"
                     "value: '56'\n"),
            std::string::npos)
      << out;

  // A page without the value: every list is tried and the tool says so.
  const std::string blank = Write("blank.html", "<html>moved</html>");
  EXPECT_EQ(Run({"--try-rule", "Alexa2", blank.c_str(), "--services", services.c_str()}), kToolNo);
  EXPECT_NE(out_.str().find("  1. rule '当前排名：</span><span class=\"rank_font_y2\">[velmora]"
                            "</span>' -> no match\nno value: no step list finds one\n"),
            std::string::npos)
      << out_.str();
}

TEST_F(QueryToolTest, CheckAndDumpServicesAndCommandLinesItCannotUse) {
  const std::string bad = Write("bad.toml", "[[field]]\nname = \"Site1\"\nenabled = 1\n");
  EXPECT_EQ(Run({"--check-services", bad.c_str()}), kToolNo);
  EXPECT_EQ(out_.str(), bad + ":3:11: enabled must be true or false\n");
  const std::string good = Write("good.toml", "[[field]]\nname = \"Dmy2\"\nenabled = false\n");
  EXPECT_EQ(Run({"--check-services", good.c_str()}), kToolDone);
  EXPECT_EQ(out_.str(), good + ": no problems; it changes Dmy2\n");
  EXPECT_EQ(Run({"--check-services", dir_}), kToolNo);
  EXPECT_EQ(out_.str(), std::string(dir_) + ": a folder, not a definitions file\n");

  EXPECT_EQ(Run({"--dump-services"}), kToolDone);
  EXPECT_EQ(out_.str(), BuiltInServicesText());

  const std::string page = Write("p.html", "x");
  EXPECT_EQ(Run({"--try-rule", "Site9", page.c_str()}), kToolError);
  EXPECT_EQ(err_.str(), "no field \"Site9\" in the definitions\n");
  EXPECT_EQ(Run({"--try-rule", "Image1", page.c_str()}), kToolError);
  EXPECT_EQ(Run({"--try-rule", "Site1", (std::string(dir_) + "/none.html").c_str()}), kToolError);
  EXPECT_EQ(Run({"--try-rule", "Site1"}), kToolError);  // PAGE missing
  EXPECT_EQ(Run({"--dump-services", "--check-services", good.c_str()}), kToolError);
  EXPECT_EQ(Run({}), kToolError);  // no task: the help
  EXPECT_NE(err_.str().find("--try-rule"), std::string::npos);

  // Output that cannot be written (a full disk): one line and a status of its own.
  struct FullDisk : std::streambuf {
    int overflow(int) override { return traits_type::eof(); }
  } full_disk;
  std::ostream full(&full_disk);
  setenv("XDG_DATA_HOME", dir_, 1);
  for (const std::vector<const char*>& args :
       std::vector<std::vector<const char*>>{{"--dump-services"},
                                             {"--check-services", good.c_str()},
                                             {"--history", "a.test", "--csv"},
                                             {"--help"}}) {
    full.clear();
    EXPECT_EQ(RunTo(full, args), kToolOutputFailed) << args[0];
    EXPECT_EQ(err_.str(), "velmora-query: the output could not be written\n") << args[0];
  }
}

// The current set against stand-ins of today's services: live and replacement fields show their
// values, retired ones when their service closed (nothing sent), the key-gated one its value only
// with the key, each verification page "被拦截", and the thumbnail comes once it is made.
TEST_F(QueryToolTest, TheCurrentSetShowsTodaysValuesAndSaysWhatItCannot) {
  setenv("XDG_DATA_HOME", dir_, 1);
  // A key that would add a header line of its own counts as none.
  setenv("OPENPAGERANK_KEY", "k\r\nX-Injected: 1", 1);
  CurrentStandIns today;
  const TServiceHosts hosts = today.Hosts(StandInServiceHosts(stand_ins_));
  std::string text = "base = \"current\"\n" + std::string(BuiltInServicesText(kCurrentSet));
  for (const std::string& name : ServiceHostNames()) {
    text = ReplaceAll(text, "{" + name + "}", *FindServiceHost(hosts, name));
  }
  const std::string services =
      Write("current.toml", ReplaceAll(text, "again_after = 5", "again_after = 1"));
  const std::string site = stand_ins_.HostFor(StandIn::Site);
  auto run = [&] {
    EXPECT_EQ(Run({"--services", services.c_str(), "--json", "--delay", "0", site.c_str()}),
              kToolSomeFailed)  // Google's fields are blocked
        << err_.str();
    return nlohmann::json::parse(out_.str())[0];
  };

  auto one = run();
  EXPECT_EQ(one["services"], "current");
  auto expected = CurrentStandIns::ExpectedValues();
  expected.erase("Alexa3");
  expected["WebTitle"] = GbkToUtf8(StandInServices::ExpectedTitle());
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(one["fields"][name]["outcome"], "value") << name << one["fields"][name]["reason"];
    EXPECT_EQ(one["fields"][name]["text"], value) << name;
  }
  for (const char* name : {"Site2", "Dmy4", "Dmy5", "Dmy6"}) {
    EXPECT_EQ(one["fields"][name]["outcome"], "blocked") << name;
  }
  for (const char* name :
       {"Link2", "Link3", "Link4", "Link5", "Link6", "Site4", "Site6", "Alexa2", "Alexa4"}) {
    EXPECT_EQ(one["fields"][name]["outcome"], "retired") << name;
  }
  EXPECT_EQ(one["fields"]["Link7"]["reason"], "已停用：服务已于 2007 关闭");
  EXPECT_EQ(one["fields"]["Alexa2"]["reason"], "已停用");  // closed, nobody says when
  EXPECT_EQ(one["fields"]["Alexa3"]["reason"], "需要密钥：设置 OPENPAGERANK_KEY");
  EXPECT_EQ(one["fields"]["Site3"]["caption"], "360");
  EXPECT_EQ(one["fields"]["Alexa1"]["caption"], "Tranco排名");
  EXPECT_EQ(one["thumbnail"]["outcome"], "value");
  EXPECT_EQ(today.RequestHeads(CurrentService::Mshots).size(), 3u);
  EXPECT_TRUE(today.RequestHeads(CurrentService::OpenRank).empty());
  for (StandIn gone : {StandIn::Yahoo, StandIn::Soso, StandIn::Youdao, StandIn::ChinaRank}) {
    EXPECT_TRUE(stand_ins_.RequestsFor(gone).empty());
  }

  // With the key, its value; Baidu's and Sogou's verification pages are blocked, never a count.
  setenv("OPENPAGERANK_KEY", CurrentStandIns::kKey, 1);
  today.SetVerification(CurrentService::Baidu, true);
  today.SetVerification(CurrentService::Sogou, true);
  one = run();
  unsetenv("OPENPAGERANK_KEY");
  EXPECT_EQ(one["fields"]["Alexa3"]["text"], "4.57");
  for (const char* name : {"Site1", "Link1", "Dmy1", "Dmy2", "Dmy3", "Site5"}) {
    EXPECT_EQ(one["fields"][name]["outcome"], "blocked") << name;
  }
  EXPECT_EQ(one["fields"]["Alexa3"]["url"].get<std::string>().find(CurrentStandIns::kKey),
            std::string::npos);
}

TEST_F(QueryToolTest, QueriesSitesIntoJsonAndCsvStoresThemAndSaysWhatFailed) {
  setenv("XDG_DATA_HOME", dir_, 1);
  const std::string services = Write("services.toml", StandInDefinitions(stand_ins_));
  const std::string site = stand_ins_.HostFor(StandIn::Site);
  const std::string list =
      Write("sites.txt", "\xEF\xBB\xBF# my sites\n\nhttps://" + site + "/index.html\r\n");
  const auto expected = StandInServices::ExpectedFields(site);

  ASSERT_EQ(Run({"--services", services.c_str(), "--json", "--delay", "0", "--file", list.c_str(),
                 site.c_str()}),
            kToolDone)
      << err_.str();
  const auto json = nlohmann::json::parse(out_.str());
  ASSERT_EQ(json.size(), 2u);
  for (const auto& one : json) {
    EXPECT_EQ(one["site"], site);
    for (const auto& [name, value] : expected) {
      EXPECT_EQ(one["fields"][name]["text"], GbkToUtf8(value)) << name;
      EXPECT_EQ(one["fields"][name]["outcome"], "value") << name;
    }
  }

  // A service that fails: its fields say so, the rest still come, the exit status tells.
  stand_ins_.SetFault(StandIn::Bing, StandInFault::NotFound);
  ASSERT_EQ(Run({"--services", services.c_str(), "--csv", "--delay", "0", site.c_str()}),
            kToolSomeFailed);
  std::istringstream csv(out_.str());
  std::string header, row;
  std::getline(csv, header);
  std::getline(csv, row);
  EXPECT_NE(header.find(",Site7,Site7 outcome,"), std::string::npos);
  EXPECT_NE(row.find(",,failed,"), std::string::npos) << row;
  EXPECT_NE(row.find(",\"" + expected.at("Site1") + "\",value,"), std::string::npos) << row;

  // Every run went into the history.
  ASSERT_EQ(Run({"--history", site.c_str(), "--field", "Site7", "--csv"}), kToolDone) << err_.str();
  std::vector<std::string> lines;
  std::istringstream stored(out_.str());
  for (std::string line; std::getline(stored, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);  // the proxied run comes later
  EXPECT_EQ(lines[0], "site,started,Site7,Site7 outcome\r");
  EXPECT_NE(lines[3].find(",failed"), std::string::npos);
  // One field reads each run as the whole run does: its thumbnail and load time.
  ASSERT_EQ(Run({"--history", site.c_str(), "--field", "Site7", "--json"}), kToolDone);
  const auto one_field = nlohmann::json::parse(out_.str());
  EXPECT_EQ(one_field[0]["thumbnail"]["outcome"], "value");
  EXPECT_TRUE(one_field[0]["load_time"].is_number());

  // A proxy named on the command line that nobody answers: every field says so.
  RefusedLoopbackPort gone;
  const std::string proxy = "socks5h://127.0.0.1:" + std::to_string(gone.Port());
  ASSERT_EQ(Run({"--services", services.c_str(), "--json", "--delay", "0", "--proxy", proxy.c_str(),
                 site.c_str()}),
            kToolSomeFailed);
  const auto proxied = nlohmann::json::parse(out_.str());
  EXPECT_EQ(proxied[0]["fields"]["Site1"]["reason"], "无法访问：代理无法连接");
  EXPECT_EQ(proxied[0]["thumbnail"]["outcome"], "failed");

  // A home page and a thumbnail that redirect to themselves: no page, so no load time either.
  stand_ins_.SetFault(StandIn::Site, StandInFault::RedirectLoop);
  stand_ins_.SetFault(StandIn::Thumbnail, StandInFault::RedirectLoop);
  ASSERT_EQ(Run({"--services", services.c_str(), "--json", "--delay", "0", site.c_str()}),
            kToolSomeFailed);
  const auto looped = nlohmann::json::parse(out_.str());
  const std::string home = "http://" + site + "/";
  EXPECT_EQ(looped[0]["fields"]["WebTitle"]["reason"],
            "无法访问：重定向过多：" + home + " -> " + home);
  EXPECT_EQ(looped[0]["load_time"], nullptr);
  EXPECT_EQ(looped[0]["thumbnail"]["reason"].get<std::string>().find("无法访问：重定向过多："), 0u);

  // Command lines and lists it cannot use.
  const std::string bad_list = Write("bad.txt", "ok.test\nab\n");
  EXPECT_EQ(Run({"--file", bad_list.c_str()}), kToolError);
  EXPECT_NE(err_.str().find("not a site name: \"ab\""), std::string::npos);
  for (const char* name : {"a b.com", "a.com?x=1&", "127.0.0.1:83537", "[::1", "a\x01.com"}) {
    EXPECT_EQ(Run({name}), kToolError) << name;
    EXPECT_EQ(err_.str().rfind("velmora-query: not a site name: \"", 0), 0u) << err_.str();
    EXPECT_EQ(Run({"--history", name}), kToolError) << name;
  }
  EXPECT_EQ(Run({"--jobs", "0", site.c_str()}), kToolError);
  EXPECT_EQ(Run({"--json", "--csv", site.c_str()}), kToolError);
  EXPECT_EQ(Run({"--history", site.c_str(), "--field", "Nope"}), kToolError);
  // Proxies that cannot be used are refused before anything is sent.
  for (const char* proxy : {"ftp://127.0.0.1:21", "https://127.0.0.1:3128", "127.0.0.1:65536"}) {
    EXPECT_EQ(Run({"--proxy", proxy, site.c_str()}), kToolError) << proxy;
  }
  EXPECT_NE(err_.str().find("from 1 to 65535"), std::string::npos) << err_.str();

  // A long series is read while it is written: every run once, in order, across the reader's
  // batches and the report's blocks (300 runs: more than two of each).
  const std::string stored_at = std::string(dir_) + "/velmora/history.sqlite3";
  {
    const auto history = OpenHistoryStore(stored_at);
    TQueryRecord run;
    run.Site = "many.test";
    for (int i = 0; i < 300; ++i) {
      run.StartedUnixMs = 1796688000000 + (299 - i) * 60000LL;  // stored newest first
      run.Fields[rfSite1].State = TFieldState::Value;
      run.Fields[rfSite1].Text = std::to_string(299 - i);
      ASSERT_TRUE(history->Record(run));
    }
  }
  ASSERT_EQ(Run({"--history", "many.test"}), kToolDone) << err_.str();
  EXPECT_EQ(Count(out_.str(), "many.test  ("), 300u);
  std::vector<int> values;  // Site1's, run by run
  std::istringstream table(out_.str());
  for (std::string line; std::getline(table, line);) {
    if (line.rfind("  Site1 ", 0) == 0) values.push_back(std::stoi(line.substr(line.rfind(' '))));
  }
  ASSERT_EQ(values.size(), 300u);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(values[i], i) << "a run missing or out of order";

  // History trouble: a read that fails is an error; a corrupt file set aside is told once.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(stored_at.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "ALTER TABLE fields RENAME COLUMN outcome TO result", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(Run({"--history", site.c_str(), "--json"}), kToolError);
  EXPECT_NE(err_.str().find("f.outcome"), std::string::npos) << err_.str();
  std::ofstream(stored_at, std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
  Run({"--services", services.c_str(), "--delay", "0", "--json", site.c_str(), site.c_str()});
  EXPECT_EQ(Count(err_.str(), ".corrupt-"), 1u) << err_.str();
}

TEST_F(QueryToolTest, FourMachinesSplitAListAndShareOneHistory) {
  // The shared history: a private PostgreSQL server, or one SQLite file without its programs.
  TPgTestServer pg;
  std::string history = std::string(dir_) + "/shared.sqlite3";
  if (!TPgTestServer::ProgramFolder().empty()) {
    ASSERT_TRUE(pg.Start()) << pg.SkipReason();
    history = pg.Url();
  }
  const std::string services = Write("services.toml", StandInDefinitions(stand_ins_));
  std::string names;  // home pages that refuse at once; the services answer for every name
  for (int i = 2; i <= 201; ++i) names += "127.0.0." + std::to_string(i) + ":1\n";
  const std::string list = Write("sites.txt", names);
  constexpr int kDelayMs = 5;
  auto shard_run = [&](int k, const std::vector<const char*>& more) {
    const std::string shard = std::to_string(k) + "/4";
    std::vector<const char*> args = {"--history-db", history.c_str(),
                                     "--services",   services.c_str(),
                                     "--file",       list.c_str(),
                                     "--shard",      shard.c_str(),
                                     "--delay",      "5",
                                     "--jobs",       "4",
                                     "--csv"};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  };
  pid_t machines[4];
  for (int k = 1; k <= 4; ++k) {
    machines[k - 1] = ::fork();
    ASSERT_GE(machines[k - 1], 0);
    if (machines[k - 1] == 0) {
      shard_run(k, {});
      std::ofstream(std::string(dir_) + "/shard" + std::to_string(k) + ".csv") << out_.str();
      ::_exit(err_.str().find("velmora-query:") == std::string::npos ? 0 : 1);
    }
  }
  for (pid_t machine : machines) {
    int status = 0;
    ASSERT_EQ(::waitpid(machine, &status, 0), machine);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  // Every site asked once, by the machine its part names.
  std::map<std::string, int> asked;
  for (int k = 1; k <= 4; ++k) {
    std::istringstream csv(Slurp(std::string(dir_) + "/shard" + std::to_string(k) + ".csv"));
    std::string line;
    std::getline(csv, line);  // the header
    while (std::getline(csv, line)) {
      const std::string site = line.substr(0, line.find(','));
      ++asked[site];
      EXPECT_EQ(ShardOfSite(site, 4), k) << site;
    }
  }
  EXPECT_EQ(asked.size(), 200u);
  for (const auto& [site, times] : asked) EXPECT_EQ(times, 1) << site;
  // 200 runs in the shared history, one export row each.
  ASSERT_EQ(Run({"--history-db", history.c_str(), "--history-export", "--csv"}), kToolDone)
      << err_.str();
  EXPECT_EQ(Count(out_.str(), "\n"), 201u);
  // Each machine kept the delay: of any five requests in a row to one service, two came from
  // one machine, so the five span at least the delay.
  std::map<StandIn, std::vector<std::chrono::steady_clock::time_point>> arrivals;
  for (const StandInRequest& r : stand_ins_.Requests()) arrivals[r.service].push_back(r.at);
  for (auto& [service, at] : arrivals) {
    std::sort(at.begin(), at.end());
    for (size_t i = 4; i < at.size(); ++i) {
      ASSERT_GE(at[i] - at[i - 4], std::chrono::milliseconds(kDelayMs))
          << static_cast<int>(service) << " " << i;
    }
  }
  // A machine started again with --resume asks nothing that is stored since then.
  const size_t requests = stand_ins_.RequestCount();
  EXPECT_EQ(shard_run(2, {"--resume", "--since", "2000-01-01"}), kToolDone) << err_.str();
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(stand_ins_.RequestCount(), requests);
}

TEST_F(QueryToolTest, CtrlCStopsTheRunUnderWayAndWhatItFoundIsWrittenAndStored) {
  setenv("XDG_DATA_HOME", dir_, 1);
  const std::string services = Write("services.toml", StandInDefinitions(stand_ins_));
  const std::string site = stand_ins_.HostFor(StandIn::Site);
  stand_ins_.SetFault(StandIn::Bing, StandInFault::Silent);
  for (const char* format : {"--json", "--jsonl", "--csv"}) {
    // Ctrl-C once Bing has the first site's request it will never answer.
    const size_t asked = stand_ins_.RequestsFor(StandIn::Bing).size();
    std::thread ctrl_c([&] {
      while (stand_ins_.RequestsFor(StandIn::Bing).size() == asked) std::this_thread::yield();
      ::kill(::getpid(), SIGINT);
    });
    EXPECT_EQ(Run({"--services", services.c_str(), format, "--delay", "0", "--timeout", "1000",
                   site.c_str(), site.c_str()}),
              kToolSomeFailed);
    ctrl_c.join();
    if (std::string(format) == "--json") {
      const auto json = nlohmann::json::parse(out_.str());  // closed
      ASSERT_EQ(json.size(), 1u);                           // the second site never started
      EXPECT_EQ(json[0]["fields"]["Site7"]["reason"], "已停止");
    } else if (std::string(format) == "--jsonl") {
      EXPECT_EQ(Count(out_.str(), "\n"), 1u);
      EXPECT_EQ(nlohmann::json::parse(out_.str())["fields"]["Site7"]["outcome"], "stopped");
    } else {
      EXPECT_EQ(Count(out_.str(), "\r\n"), 2u) << out_.str();
    }
  }
  ASSERT_EQ(Run({"--history", site.c_str(), "--field", "Site7", "--csv"}), kToolDone);
  EXPECT_EQ(Count(out_.str(), ",stopped\r\n"), 3u) << out_.str();
}

// --audit: sites that refuse every connection, three at once, come out in the order given with
// every check, each kept in the history; flags that only make sense for queries are refused.
TEST_F(QueryToolTest, AuditChecksUpOnSitesInTheirOrderAndRefusesQueryFlags) {
  setenv("XDG_DATA_HOME", dir_, 1);
  RefusedLoopbackPort a, b, c;
  std::vector<std::string> sites;
  for (const RefusedLoopbackPort* p : {&a, &b, &c})
    sites.push_back("127.0.0.1:" + std::to_string(p->Port()));
  const std::string https = std::to_string(a.Port());
  ASSERT_EQ(Run({"--audit", "--json", "--jobs", "3", "--timeout", "2000", "--https-port",
                 https.c_str(), sites[0].c_str(), sites[1].c_str(), sites[2].c_str()}),
            kToolSomeFailed)  // nothing could be checked
      << err_.str();
  const auto json = nlohmann::json::parse(out_.str());
  ASSERT_EQ(json.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(json[i]["site"], sites[i]);
    ASSERT_EQ(json[i]["checks"].size(), 9u);
    EXPECT_EQ(json[i]["checks"][0]["check"], "https");
    EXPECT_NE(json[i]["worst"], "pass");
  }
  ASSERT_EQ(Run({"--audit", "--csv", "--timeout", "2000", sites[0].c_str()}), kToolSomeFailed);
  EXPECT_EQ(Count(out_.str(), "\r\n" + sites[0] + ","), 9u) << out_.str();
  ASSERT_EQ(Run({"--audit", "--timeout", "2000", sites[0].c_str()}), kToolSomeFailed);
  EXPECT_NE(out_.str().find("\n  站点地图    "), std::string::npos) << out_.str();
  // The stored check-ups read back as a JSON array (what is in it is the store's business).
  ASSERT_EQ(Run({"--history", sites[0].c_str(), "--audit", "--json"}), kToolDone) << err_.str();
  EXPECT_TRUE(nlohmann::json::parse(out_.str()).is_array());

  const char* site = sites[0].c_str();
  const std::vector<std::vector<const char*>> refused = {
      {"--audit", "--services", "classic", site},
      {"--audit", "--delay", "5", site},
      {"--audit", "--resume", "--since", "2026-01-01", site},
      {"--audit", "--history", site, "--field", "Site1"},
      {"--audit", "--history-export"},
      {"--audit", "--https-port", "0", site},
      {"--https-port", "8443", site},  // without --audit
      {"--audit", "a b.example"},
      {"--audit"},  // no site
  };
  for (const std::vector<const char*>& args : refused) {
    EXPECT_EQ(Run(args), kToolError) << args[1];
    EXPECT_EQ(out_.str(), "") << args[1];
  }
}

// --audit on the stand-in sites: the one that passes everything exits 0, the one that fails what
// it can and the one that never answers exit 3, and each check's mark in the JSON is the table's.
TEST_F(QueryToolTest, AuditOfTheStandInSitesGivesEachCheckItsMark) {
  setenv("XDG_DATA_HOME", dir_, 1);
  AuditStandIns sites;
  SetNetNameServers(sites.Dns().Server());
  for (const std::string name : {"good", "bad", "silent"}) {
    const AuditStandInSite& site = sites.Site(name);
    const std::string typed = site.host + ":" + std::to_string(site.http_port);
    const std::string https = std::to_string(site.https_port);
    // The time-out bounds the whole check-up: short only where nothing will come.
    const char* timeout = name == "silent" ? "1500" : "10000";
    ASSERT_EQ(Run({"--audit", "--json", "--timeout", timeout, "--https-port", https.c_str(),
                   typed.c_str()}),
              name == "good" ? kToolDone : kToolSomeFailed)
        << name << "\n"
        << out_.str() << err_.str();
    const auto checks = nlohmann::json::parse(out_.str())[0]["checks"];
    for (const AuditStandInRow& row : AuditStandInRows()) {
      if (row.Site != name) continue;
      const auto& check = checks[static_cast<int>(row.Check)];
      EXPECT_EQ(check["check"], AuditCheckName(row.Check));
      EXPECT_TRUE(std::any_of(row.Marks.begin(), row.Marks.end(),
                              [&](TAuditMark m) { return check["mark"] == AuditMarkName(m); }))
          << name << " " << check.dump();
      EXPECT_NE((check["value"].get<std::string>() + " " + check["reason"].get<std::string>())
                    .find(row.Text),
                std::string::npos)
          << check.dump();
    }
  }
  SetNetNameServers("");
}

}  // namespace
