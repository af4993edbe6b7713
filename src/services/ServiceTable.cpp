#include "services/ServiceTable.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "runtime/CodePage.h"
#include "runtime/Exception.h"

std::string RulePattern(const std::string& rule) {
  std::string pattern = rule;
  while (pattern.size() >= 2 && pattern[pattern.size() - 2] == '\r' && pattern.back() == '\n') {
    pattern.resize(pattern.size() - 2);
  }
  if (pattern.empty()) return pattern;
  static const std::string* const kParameter = new std::string(Gbk(u8"[参数]"));
  pattern = ReplaceAll(pattern, "[velmora]", "(.*?)");
  pattern = ReplaceAll(pattern, "(*)", ".*?");
  return ReplaceAll(pattern, *kParameter, "(.*?)");
}

int64_t TimePlaceholderSeconds(const std::string& name) {
  if (name == "now") return 0;
  if (name == "day_ago") return 86400;
  if (name == "month_ago") return 30 * 86400;
  if (name == "year_ago") return 365 * 86400;
  return -1;
}

std::string ExpandUrl(const std::string& url_template, const std::string& site,
                      const TServiceHosts& hosts) {
  std::string url;
  url.reserve(url_template.size() + site.size());
  size_t i = 0;  // copied up to here
  for (size_t open = 0; open < url_template.size();) {
    const auto b = static_cast<unsigned char>(url_template[open]);
    // A double-byte character's second byte may be '{' (0x7B): only whole characters count.
    if (b != '{') {
      open += IsLeadByte(b) ? 2 : 1;
      continue;
    }
    const size_t close = url_template.find('}', open);
    if (close == std::string::npos) throw Exception("Unclosed \"{\" in URL template");
    url.append(url_template, i, open - i);
    const std::string name = url_template.substr(open + 1, close - open - 1);
    if (name == "site") {
      url += url.find('?') == std::string::npos ? site : QueryText(site);
    } else if (const int64_t back = TimePlaceholderSeconds(name); back >= 0) {
      url += std::to_string(static_cast<int64_t>(std::time(nullptr)) - back);
    } else if (const std::string* host = FindServiceHost(hosts, name)) {
      url += *host;
    } else {
      throw Exception("Unknown host \"" + name + "\" in URL template");
    }
    i = open = close + 1;
  }
  url.append(url_template, i, std::string::npos);
  return url;
}

std::string QueryText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
        (b != 0 && std::strchr("-._~:@/?", b) != nullptr)) {
      out += c;
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", b);
      out += code;
    }
  }
  return out;
}

std::string WithKey(const std::string& text, const std::string& key, bool in_url) {
  return ReplaceAll(text, "{key}", in_url ? QueryText(key) : key);
}
