// velmora-query --rank against the stand-in engines: the positions in every output format, the
// exit status, the stored series through --history --rank, and --try-rank on a saved page.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/QueryTool.h"
#include "support/RankStandIns.h"

namespace {

class RankModeTest : public ::testing::Test {
 protected:
  RankModeTest() {
    char tmpl[] = "/tmp/velmora-rank-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    services_ = Write("services.toml", stand_ins_.Definitions());
    history_ = dir_ + "/history.sqlite3";
  }
  ~RankModeTest() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"velmora-query", "--services", services_, "--history-db", history_,
                               "--delay", "0"});
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    out_.str("");
    err_.str("");
    return RunQueryTool(static_cast<int>(argv.size()), argv.data(), out_, err_);
  }

  RankStandIns stand_ins_;
  std::string dir_, services_, history_;
  std::ostringstream out_, err_;
};

TEST_F(RankModeTest, PositionsOfEveryEngineAsJsonStoredAndShownOverTime) {
  const std::string keywords = Write("keywords.txt", "\xEF\xBB\xBF# mine\n站长工具\r\n\nseo\n");
  // A blocked engine makes the exit status 3.
  ASSERT_EQ(Run({"--keywords", keywords, "--json", RankStandIns::kSite}), kToolSomeFailed)
      << err_.str();
  const auto json = nlohmann::json::parse(out_.str());
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["site"], RankStandIns::kSite);
  const auto& positions = json[0]["positions"];
  ASSERT_EQ(positions.size(), 8u);
  EXPECT_EQ(positions[0]["keyword"], "站长工具");
  EXPECT_EQ(positions[0]["engine"], "baidu");
  EXPECT_EQ(positions[0]["position"], 13);
  EXPECT_EQ(positions[0]["pages"], 2);
  EXPECT_EQ(positions[1]["position"], 7);
  EXPECT_EQ(positions[1]["url"], "https://velmora.test/page");
  EXPECT_EQ(positions[2]["outcome"], "not-in-depth");
  EXPECT_EQ(positions[2]["text"], "不在前 100");
  EXPECT_TRUE(positions[2]["position"].is_null());
  EXPECT_EQ(positions[3]["outcome"], "blocked");
  EXPECT_EQ(positions[3]["text"], "被验证页面拦截");
  EXPECT_EQ(positions[7]["outcome"], "blocked");
  EXPECT_EQ(positions[7]["pages"], 0);
  EXPECT_EQ(stand_ins_.PagesAsked("sogou"), 1);

  ASSERT_EQ(Run({"--rank", "seo", "--engines", "bing", "--csv", RankStandIns::kSite}), kToolDone)
      << err_.str();
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "site,started,keyword,engine,outcome,position,url,pages,depth,reason\r");
  EXPECT_NE(out_.str().find(",seo,bing,found,7,https://velmora.test/page,1,100,"),
            std::string::npos)
      << out_.str();

  ASSERT_EQ(Run({"--history", RankStandIns::kSite, "--rank", "seo", "--jsonl"}), kToolDone)
      << err_.str();
  std::vector<nlohmann::json> stored;
  std::istringstream lines(out_.str());
  for (std::string line; std::getline(lines, line);) stored.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(stored.size(), 5u);  // four engines, then bing again
  EXPECT_EQ(stored[1]["position"], 7);
  EXPECT_EQ(stored[4]["engine"], "bing");
  EXPECT_EQ(stored[4]["position"], 7);
  EXPECT_LE(stored[0]["started"].get<std::string>(), stored[4]["started"].get<std::string>());
}

TEST_F(RankModeTest, SaysWhatItCannotUse) {
  struct TCase {
    std::vector<std::string> Args;
    std::string Said;
  } cases[] = {
      {{"--rank", "k", "--engines", "google", "a.test"}, "no engine \"google\""},
      {{"--rank", "k"}, "needs a keyword"},
      {{"--rank", " ", "a.test"}, "needs a keyword"},
      {{"--rank", "k", "not a site"}, "not a site name"},
      {{"--rank", "k", "--depth", "0", "a.test"}, "--depth"},
      {{"--keywords", "/nonexistent/k.txt", "a.test"}, "cannot read"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Run(c.Args), kToolError) << c.Said;
    EXPECT_NE(err_.str().find(c.Said), std::string::npos) << err_.str();
  }
}

TEST_F(RankModeTest, TryRankShowsWhatTheDefinitionReadsFromASavedPage) {
  const std::string page = Write("bing.html", RankStandIns::BingPage(1));
  ASSERT_EQ(Run({"--try-rank", "bing", page, "www.velmora.test"}), kToolDone) << err_.str();
  EXPECT_NE(out_.str().find("10 个自然结果，1 个不计"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("7  https://velmora.test/page  <- www.velmora.test"), std::string::npos)
      << out_.str();
  const std::string blocked = Write("sogou.html", RankStandIns::SogouVerificationPage());
  EXPECT_EQ(Run({"--try-rank", "sogou", blocked, "www.velmora.test"}), kToolNo);
  EXPECT_NE(out_.str().find("被验证页面拦截"), std::string::npos);
  const std::string baidu = Write("baidu.html", RankStandIns::BaiduPage(1));
  EXPECT_EQ(Run({"--try-rank", "baidu", baidu, "www.velmora.test"}), kToolNo);
  EXPECT_EQ(Run({"--try-rank", "baidu", baidu, "www.velmora.test", "--rank-subdomains"}),
            kToolDone);
  EXPECT_NE(out_.str().find("在此页第 4 位"), std::string::npos) << out_.str();
}

}  // namespace
