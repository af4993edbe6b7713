#include "cli/UrlMode.h"

#include <CLI/CLI.hpp>
#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "cli/ExitStatus.h"
#include "http/NetUrl.h"

namespace {

constexpr char kNotAUrl[] = "不是有效的网址";

// The parts in the URL Standard's names, in the order they stand in the href.
std::array<std::pair<const char*, std::string>, 9> Parts(const TNetUrl& url) {
  return {{{"protocol", url.Protocol()},
           {"username", url.Username()},
           {"password", url.Password()},
           {"host", url.Host()},
           {"hostname", url.Hostname()},
           {"port", url.Port()},
           {"pathname", url.Pathname()},
           {"search", url.Search()},
           {"hash", url.Hash()}}};
}

std::string Json(const nlohmann::ordered_json& j) {
  return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

bool IsUrlMode(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--url" || arg.starts_with("--url=")) return true;
  }
  return false;
}

void DescribeUrlMode(CLI::App& app) {
  app.add_option("--url")
      ->description(
          "read INPUT as browsers read a URL (against --base URL) and print its canonical form "
          "and parts (--json: as an object)")
      ->type_name("INPUT");
  app.add_option("--base")
      ->description("with --url: the URL INPUT is relative to")
      ->type_name("URL");
}

int RunUrlMode(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"velmora-query --url: a URL read as browsers read it"};
  app.name("velmora-query");
  std::string input;
  std::optional<std::string> base;
  bool json = false;
  app.add_option("--url", input, "the URL (or reference) to read")->required();
  app.add_option("--base", base, "the URL the input is relative to");
  app.add_flag("--json", json, "write one JSON object");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? kToolDone : kToolError;
  }
  const TNetUrlResult url = base ? TNetUrl::Parse(input, *base) : TNetUrl::Parse(input);
  if (!url) {
    if (json) {
      nlohmann::ordered_json j = {{"input", input}, {"error", kNotAUrl}, {"reason", url.Error}};
      if (base) j["base"] = *base;
      out << Json(j) << '\n';
    }
    err << kNotAUrl << "：" << url.Error << '\n';
    return kToolError;
  }
  if (json) {
    nlohmann::ordered_json j = {{"href", url.Url->Href()}};
    for (const auto& [name, value] : Parts(*url.Url)) j[name] = value;
    out << Json(j) << '\n';
    return kToolDone;
  }
  out << url.Url->Href() << '\n';
  for (const auto& [name, value] : Parts(*url.Url)) {
    out << "  " << name << std::string(10 - std::string_view(name).size(), ' ') << value << '\n';
  }
  return kToolDone;
}
