#include "window/ProgramOptions.h"

#include <CLI/CLI.hpp>
#include <string_view>

bool AsksForHelpOrVersion(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help" || arg == "--version") return true;
  }
  return false;
}

std::optional<int> ReadProgramOptions(int argc, const char* const* argv, TProgramOptions& options,
                                      std::ostream& out, std::ostream& err) {
  CLI::App app{
      "velmora: the site toolbox's window. Type a site's host name and press 查询: "
      "search engines and ranking services are asked about the site at once and "
      "their numbers shown; right-click for the history, the definitions in use and "
      "the site's check-up"};
  app.name("velmora");
  app.set_version_flag("--version", "velmora " VELMORA_VERSION);
  app.add_option("--services", options.Services,
                 "the built-in set \"classic\" or \"current\", or a definitions file to use over "
                 "the classic set (or the set its base names); default: the set last chosen in "
                 "the window, else the user's ~/.config/velmora/services.toml when it exists, "
                 "else classic")
      ->type_name("SET|FILE");
  app.add_option("site", options.Site,
                 "a site name or URL to put in the box and query at once (the desktop entry "
                 "passes one when a link is opened with the program)")
      ->type_name("SITE");
  app.footer(
      "Qt's own options (-platform, -style, ...) are accepted as well.\n"
      "VELMORA_HISTORY_DB names a history the team shares (postgresql://user@host/db); "
      "http_proxy, https_proxy, all_proxy and no_proxy name the proxies. See also "
      "velmora-query(1).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? 0 : 2;
  }
  return std::nullopt;
}
