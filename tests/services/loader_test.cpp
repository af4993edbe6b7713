// Broken definitions files: each fault is reported with its place and what is wrong, the faulty
// entry is not used at all (its field keeps the built-in definition) and the rest of the file
// still is; where the program finds the user's file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/CodePage.h"
#include "services/ServiceFile.h"

namespace {

// A correct entry for Site1 with `change` spliced in before its steps.
std::string Site1(const std::string& change,
                  const std::string& steps = "steps = [{ between = ['a', 'b'] }, 'digits']") {
  return "[[field]]\nname = \"Site1\"\njob = 1\nurl = \"http://{Baidu}/s?wd={site}\"\nmode = 0\n" +
         change + steps + "\n";
}

struct TBrokenFile {
  const char* What;
  std::string Text;
  std::vector<std::string> Problems;  // exactly, in order
};

TEST(ServiceFile, EachFaultIsReportedWithItsPlaceAndTheFieldStaysBuiltIn) {
  const std::vector<TBrokenFile> cases = {
      {"not TOML",
       "[[field]\nname = \"Site1\"\n",
       {"f.toml:1:9: not a valid TOML file: Error while parsing table header: expected ']', saw "
        "'\\n'"}},
      {"unknown table",
       "[[feild]]\nname = \"Site1\"\n",
       {"f.toml:1:3: unknown key \"feild\" (the file holds base, [defaults], [[field]] and "
        "[[rank]] entries only)"}},
      {"field not a list of tables",
       "field = 3\n",
       {"f.toml:1:9: \"field\" must be a list of [[field]] tables"}},
      {"unknown key", Site1("urls = 'x'\n"), {"f.toml:6:1: unknown key \"urls\""}},
      {"no name",
       "[[field]]\njob = 1\n",
       {"f.toml:1:1: a [[field]] needs a name such as name = \"Site1\""}},
      {"unknown field",
       "[[field]]\nname = \"Site9\"\nenabled = false\n",
       {"f.toml:2:8: unknown field \"Site9\""}},
      {"defined twice",
       Site1("") + Site1(""),
       {"f.toml:7:1: field \"Site1\" is defined twice (first on line 1)"}},
      {"missing url",
       "[[field]]\nname = \"Site1\"\njob = 1\nmode = 0\nsteps = ['digits']\n",
       {"f.toml:1:1: field \"Site1\" has no url"}},
      {"unknown host",
       "[[field]]\nname = \"Site1\"\njob = 1\nurl = \"http://{Baido}/s?wd={site}\"\n"
       "mode = 0\nsteps = ['digits']\n",
       {"f.toml:4:7: url names an unknown host {Baido} (known: {site}, {Baidu}, {Google}, "
        "{Yahoo}, {Soso}, {Sogou}, {Youdao}, {Bing}, {AlexaSearch}, {AlexaInfo}, {ChinaRank}, "
        "{Thumbnail}, {PageRank}, {MakerSite}, {MakerTools}, {So360}, {Tranco}, {OpenRank}, "
        "{Archive}, {Mshots})"}},
      {"not http",
       "[[field]]\nname = \"Site1\"\njob = 1\nurl = \"ftp://{site}\"\nmode = 0\n"
       "steps = ['digits']\n",
       {"f.toml:4:7: url must begin with http:// or https://"}},
      {"port past 65535",
       "[[field]]\nname = \"Site1\"\njob = 1\nurl = \"http://127.0.0.1:83537/x\"\nmode = 0\n"
       "steps = ['digits']\n",
       {"f.toml:4:7: url has the port \"83537\": a port is a number from 1 to 65535"}},
      {"port with a sign",
       "[[field]]\nname = \"Site1\"\njob = 1\nurl = \"https://u@[::1]:-47535/s\"\nmode = 0\n"
       "steps = ['digits']\n",
       {"f.toml:4:7: url has the port \"-47535\": a port is a number from 1 to 65535"}},
      {"job out of range",
       "[[field]]\nname = \"Site1\"\njob = 11\nurl = \"http://{site}\"\n"
       "mode = 0\nsteps = ['digits']\n",
       {"f.toml:3:7: job must be a whole number from 0 to 10"}},
      {"mode 2",
       "[[field]]\nname = \"Site1\"\njob = 1\nurl = \"http://{site}\"\nmode = 2\n"
       "steps = ['digits']\n",
       {"f.toml:5:8: mode must be 0 (bytes as they come), 1 (UTF-8) or 4 (as the page says)"}},
      {"between with one text",
       Site1("", "steps = [{ between = 'a' }]"),
       {"f.toml:6:22: between takes two texts: { between = ['start', 'end'] }"}},
      {"unknown step",
       Site1("", "steps = ['digit']"),
       {"f.toml:6:10: unknown step 'digit': a step is 'digits' or one of { between = ['start', "
        "'end'] }, { remove = 'text' }, { rule = 'pattern' }, { append = 'text' }, { json = "
        "'/pointer' }, { newest = ['/array', '/member'] }, { date = '%Y%m%d' }"}},
      {"two kinds in a step",
       Site1("", "steps = [{ remove = 'a', append = 'b' }]"),
       {"f.toml:6:10: a step does one thing: a step is 'digits' or one of { between = ['start', "
        "'end'] }, { remove = 'text' }, { rule = 'pattern' }, { append = 'text' }, { json = "
        "'/pointer' }, { newest = ['/array', '/member'] }, { date = '%Y%m%d' }"}},
      {"text GBK cannot hold",
       Site1("", "steps = [{ remove = '한' }]"),
       {"f.toml:6:21: text GBK cannot hold: \"한\" (U+D55C)"}},
      {"rule the engine rejects",
       Site1("", "steps = [{ rule = '<b>([velmora]</b>' }]"),
       {"f.toml:6:19: the regular-expression engine rejects the rule: error 103 at position 13 of "
        "\"<b>((.*?)</b>\": TRegexEngine(comp): ParseReg Unmatched ()"}},
      {"empty delimiter",
       Site1("", "steps = [{ between = ['', 'b'] }]"),
       {"f.toml:6:23: a text of between is empty"}},
      {"site in the end text",
       Site1("", "steps = [{ between = ['a', '{site}'] }]"),
       {"f.toml:6:28: {site} may stand only in the start text of between"}},
      {"thumbnail with steps",
       "[[field]]\nname = \"Image1\"\njob = 10\nurl = \"http://{Thumbnail}/i?u={site}\"\n"
       "steps = ['digits']\n",
       {"f.toml:5:9: \"Image1\" is the thumbnail picture: it takes no steps"}},
      {"enabled not a boolean",
       "[[field]]\nname = \"Site1\"\nenabled = 'no'\n",
       {"f.toml:3:11: enabled must be true or false"}},
      {"fallbacks not lists",
       Site1("fallbacks = 'digits'\n"),
       {"f.toml:6:13: fallbacks must be a list of step lists: [[step, ...], ...]"}},
      {"a character the parser misreads outside a text",
       Site1("", "steps = [1'·']"),
       {"f.toml:6:11: not a valid TOML file: Error while parsing decimal integer: expected digit, "
        "saw '''"}},
      {"base names no set",
       "base = \"today\"\n",
       {"f.toml:1:8: base names a built-in set: \"classic\" or \"current\""}},
      {"unknown key in [defaults]",
       "[defaults]\nheader = { A = 'b' }\n",
       {"f.toml:2:1: unknown key \"header\" in [defaults] (it takes headers)"}},
      {"caption not a text",
       Site1("caption = 3\n"),
       {"f.toml:6:11: caption must be a text that is not empty"}},
      {"headers not a table",
       Site1("headers = 'User-Agent: x'\n"),
       {"f.toml:6:11: headers must be a table: headers = { 'User-Agent' = '...' }"}},
      {"header name with a blank",
       Site1("headers = { 'User Agent' = 'x' }\n"),
       {"f.toml:6:13: \"User Agent\" is not a header name (letters, digits, -)"}},
      {"header value of two lines",
       Site1("headers = { Referer = \"a\\r\\nHost: b\" }\n"),
       {"f.toml:6:23: the header Referer must be one line"}},
      {"first_visit not a URL",
       Site1("first_visit = 'www.sogou.com'\n"),
       {"f.toml:6:15: first_visit must begin with http:// or https://"}},
      {"retired without its month's shape",
       Site1("retired = '2013-13'\n"),
       {"f.toml:6:11: retired takes when the service closed: retired = \"2013-03\" (or \"2013\", "
        "or true when that is not known)"}},
      {"key_env not a variable name",
       Site1("key_env = 'MY KEY'\nheaders = { K = '{key}' }\n"),
       {"f.toml:6:11: key_env takes the name of an environment variable: key_env = \"NAME\""}},
      {"{key} without key_env",
       Site1("headers = { API-OPR = '{key}' }\n"),
       {"f.toml:1:1: {key} stands in the request but no key_env names where the key is"}},
      {"key_env without {key}",
       Site1("key_env = 'OPENPAGERANK_KEY'\n"),
       {"f.toml:6:11: key_env is set but {key} stands nowhere in url or headers"}},
      {"a switched-off field keeps its base's key_env, the file's default headers lose its {key}",
       "base = \"current\"\n[defaults]\nheaders = { A = 'b' }\n[[field]]\nname = \"Alexa3\"\n"
       "enabled = false\n",
       {"f.toml:4:1: key_env is set but {key} stands nowhere in url or headers"}},
      {"blocked_markers not a list",
       Site1("blocked_markers = '/antispider'\n"),
       {"f.toml:6:19: blocked_markers must be a list of texts: ['...', ...]"}},
      {"again_after on a text field",
       Site1("again_after = 5\n"),
       {"f.toml:6:15: again_after is for the thumbnail picture (Image1) only"}},
      {"json step without a pointer",
       Site1("", "steps = [{ json = 'ranks/0' }]"),
       {"f.toml:6:19: \"ranks/0\" is not a JSON Pointer: \"/name/0/name\", with ~0 for ~ and ~1 "
        "for /"}},
      {"json pointer with a bad escape",
       Site1("", "steps = [{ json = '/a~2b' }]"),
       {"f.toml:6:19: \"/a~2b\" is not a JSON Pointer: \"/name/0/name\", with ~0 for ~ and ~1 "
        "for /"}},
      {"newest with one pointer",
       Site1("", "steps = [{ newest = '/ranks' }]"),
       {"f.toml:6:21: newest takes two JSON Pointers: { newest = ['/array', '/member'] }"}},
      {"date format without the day",
       Site1("", "steps = [{ date = '%Y%m' }]"),
       {"f.toml:6:19: a date format needs %Y, %m and %d"}},
      {"date format with an unknown directive",
       Site1("", "steps = [{ date = '%Y%m%d%z' }]"),
       {"f.toml:6:19: a date format takes %Y %m %d %H %M %S and %% only"}},
      {"a private-use character",
       "# \U000F0001\n",
       {"f.toml:1:3: the private-use character U+F0001 is not allowed in a definitions file"}},
  };
  for (const TBrokenFile& c : cases) {
    SCOPED_TRACE(c.What);
    const TServiceLoad load = ParseServices(c.Text, "f.toml", BuiltInServiceTable());
    std::vector<std::string> got;
    for (const TServiceProblem& p : load.Problems) got.push_back(p.Text());
    EXPECT_EQ(got, c.Problems);
    EXPECT_EQ(*load.Table, *BuiltInServiceSet(load.Table->Name));  // the set the file names
  }
}

// Characters the TOML parser cannot classify by itself (·, 《, Greek, Cyrillic, ...) arrive in
// texts, keys and messages as written.
TEST(ServiceFile, CharactersTheParserMisreadsArriveAsWritten) {
  const TServiceLoad load = ParseServices(
      Site1("\"Ω·\" = 1\n", "steps = [{ between = ['《·', '》'] }]"), "f.toml", TServiceTable{});
  ASSERT_EQ(load.Problems.size(), 1u);
  EXPECT_EQ(load.Problems[0].Text(), "f.toml:6:1: unknown key \"Ω·\"");
  const TServiceLoad good =
      ParseServices(Site1("", "steps = [{ between = ['《·', '》'] }]"), "f.toml", TServiceTable{});
  ASSERT_TRUE(good.Ok());
  EXPECT_EQ(good.Table->Requests[0].Rules[0][0], (TStep{TStepKind::Between, Gbk(u8"《·"), Gbk(u8"》")}));
}

// Every fault of an entry is listed; the entry is dropped whole, and a sound entry beside it is
// still used.
TEST(ServiceFile, AFaultyEntryIsDroppedWholeWhileTheOthersApply) {
  const std::string text =
      "[[field]]\nname = \"Site2\"\njob = 2\nurl = \"http://{Google}/q={site}\"\nmode = 1\n"
      "steps = [{ between = ['x', 'y'] }]\n" +
      Site1("", "steps = [{ remove = '' }, { append = 7 }]");
  const TServiceLoad load = ParseServices(text, "f.toml", BuiltInServiceTable());
  EXPECT_EQ(ProblemsReport(load),
            "服务定义文件有误：f.toml\n"
            "以下字段使用内置定义：Site1\n"
            "f.toml:12:21: the text of remove is empty\n"
            "f.toml:12:38: append takes one text: { append = '...' }\n");
  for (const TRequestDef& def : load.Table->Requests) {
    if (def.Field == "Site2") {
      EXPECT_EQ(def.Url, "http://{Google}/q={site}");
      EXPECT_EQ(def.Rules, (std::vector<TStepList>{{{TStepKind::Between, "x", "y"}}}));
    } else {
      EXPECT_EQ(def, *std::find_if(BuiltInServiceTable().Requests.begin(),
                                   BuiltInServiceTable().Requests.end(),
                                   [&](const TRequestDef& d) { return d.Field == def.Field; }));
    }
  }
}

TEST(ServiceFile, AFileThatCannotBeReadChangesNothing) {
  const TServiceLoad load = LoadServicesFile("/nonexistent/services.toml");
  EXPECT_EQ(*load.Table, BuiltInServiceTable());
  EXPECT_FALSE(load.FileUsed);
  EXPECT_EQ(ProblemsReport(load),
            "服务定义文件有误：/nonexistent/services.toml\n"
            "整个文件未被采用，所有字段使用内置定义。\n"
            "/nonexistent/services.toml: cannot read the file: No such file or directory\n");
}

// Restores an environment variable when it goes.
class TEnvVar {
 public:
  TEnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~TEnvVar() { old_.empty() ? unsetenv(name_) : setenv(name_, old_.c_str(), 1); }

 private:
  const char* name_;
  std::string old_;
};

TEST(ServiceFile, TheUsersFileIsFoundWhereTheDesktopKeepsSettings) {
  char dir[] = "/tmp/velmora-services-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string home = dir;
  TEnvVar h("HOME", home.c_str());
  {
    TEnvVar x("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(UserServicesPath(), home + "/.config/velmora/services.toml");
  }
  TEnvVar x("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(UserServicesPath(), home + "/.config/velmora/services.toml");
  setenv("XDG_CONFIG_HOME", (home + "/cfg").c_str(), 1);
  EXPECT_EQ(UserServicesPath(), home + "/cfg/velmora/services.toml");
  EXPECT_EQ(ServicesFileToUse(""), "");  // none there: the built-in definitions alone
  EXPECT_EQ(ServicesFileToUse("given.toml"), "given.toml");
  ASSERT_EQ(std::system(("mkdir -p " + home + "/cfg/velmora").c_str()), 0);
  std::ofstream(home + "/cfg/velmora/services.toml")
      << "[[field]]\nname = \"Site1\"\nenabled = false\n";
  EXPECT_EQ(ServicesFileToUse(""), home + "/cfg/velmora/services.toml");
  const TServiceLoad load = LoadServicesFile(ServicesFileToUse(""));
  EXPECT_TRUE(load.Ok());
  EXPECT_FALSE(load.Table->Requests[1].Enabled);
  ASSERT_EQ(std::system(("rm -rf " + home).c_str()), 0);
}

}  // namespace
