// velmora-query --url: the canonical form and parts of a URL, or why it is none. One row a case.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/QueryTool.h"

namespace {

TEST(UrlMode, PrintsTheCanonicalUrlOrWhyItIsNone) {
  struct Row {
    std::vector<const char*> args;
    int status;
    const char* out_part;  // "" for no output
    const char* err_part;
  };
  const Row rows[] = {
      {{"--url", "HTTP://Faß.ExAmPlE:80/a/./b/../c d?q=路#x"},
       kToolDone,
       "http://xn--fa-hia.example/a/c%20d?q=%E8%B7%AF#x\n  protocol  http:\n",
       ""},
      {{"--url", "?a=b", "--base", "http://h/dir/page"}, kToolDone, "  pathname  /dir/page\n", ""},
      {{"--json", "--url", "/go?to=https://x", "--base", "https://h:8443/a"},
       kToolDone,
       "{\n  \"href\": \"https://h:8443/go?to=https://x\",\n  \"protocol\": \"https:\"",
       ""},
      {{"--url", "http://1.2.3.08/"}, kToolError, "", "不是有效的网址：IPv4"},
      {{"--url", "x", "--json"}, kToolError, "\"error\": \"不是有效的网址\"", "基准地址"},
      {{"--url", "x", "--base", "mailto:a@b"}, kToolError, "", "基准地址无效"},
      {{"--url"}, kToolError, "", "--url"},
  };
  for (const Row& row : rows) {
    std::vector<const char*> argv{"velmora-query"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    std::ostringstream out, err;
    SCOPED_TRACE(row.args[0] + std::string(" ") + (row.args.size() > 1 ? row.args[1] : ""));
    EXPECT_EQ(RunQueryTool(static_cast<int>(argv.size()), argv.data(), out, err), row.status)
        << err.str();
    if (row.out_part[0] == '\0') {
      EXPECT_EQ(out.str().find("http"), std::string::npos) << out.str();
    } else {
      EXPECT_NE(out.str().find(row.out_part), std::string::npos) << out.str();
    }
    EXPECT_NE(err.str().find(row.err_part), std::string::npos) << err.str();
  }
}

}  // namespace
