#include "cli/ToolFlags.h"

#include <CLI/CLI.hpp>

#include "cli/SiteList.h"
#include "http/NetProxyRoute.h"

void AddListFlags(CLI::App& app, TToolFlags& flags) {
  TSiteQueryOptions& query = flags.Query;
  app.add_option("sites", flags.Sites, "the sites to query")->type_name("SITE...");
  app.add_option("--file", flags.ListFile,
                 "query the sites listed in FILE (one a line, # comments; - for standard "
                 "input), read as they are asked: a list of any length")
      ->type_name("LIST");
  CLI::Option* json =
      app.add_flag("--json", flags.Json, "write JSON (an array, closed at the end)");
  CLI::Option* jsonl = app.add_flag("--jsonl", flags.JsonLines,
                                    "write JSON Lines (one object a line, as each site ends)");
  CLI::Option* csv = app.add_flag("--csv", flags.Csv, "write CSV");
  json->excludes(csv)->excludes(jsonl);
  jsonl->excludes(csv);
  app.add_option("--timeout", query.ReadTimeoutMs,
                 "time-out of a request's connect and of each read; a whole request, "
                 "redirects included, ends within twice this time")
      ->type_name("MS")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();
  app.add_option("--proxy", query.Proxy,
                 "the proxy for every request (http://, socks4://, socks4a://, socks5://, "
                 "socks5h://, with user:password@); default: http_proxy, https_proxy, all_proxy "
                 "and no_proxy from the environment")
      ->type_name("URL")
      ->check(CLI::Validator(
          [](std::string& url) {
            std::string why;
            return url.empty() || ParseProxyUrl(url, &why) ? std::string() : why;
          },
          ""));
  app.add_option("--jobs", query.Jobs, "sites in flight at once")
      ->type_name("N")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--history-db", flags.HistoryDb,
                 "where the history is kept: a SQLite file, or postgresql://user@host/db for a "
                 "database the team shares (default: VELMORA_HISTORY_DB, else "
                 "~/.local/share/velmora/history.sqlite3)")
      ->type_name("LOCATION");
  app.add_option("--shard", flags.Shard,
                 "query only the sites of the list that fall to part K of N (1 <= K <= N): "
                 "machines given the same list split it between them without talking (the "
                 "part is the FNV-1a hash of the lower-case ASCII name, modulo N, plus 1)")
      ->type_name("K/N")
      ->check(CLI::Validator(
          [](std::string& text) {
            return ParseShard(text) ? std::string() : "K/N with 1 <= K <= N <= 1000";
          },
          ""));
}
