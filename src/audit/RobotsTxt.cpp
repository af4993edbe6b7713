#include "audit/RobotsTxt.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// The named agents asked whether the file still admits them when it shuts everyone else out.
constexpr std::size_t kRobotsMaxAgentsAsked = 64;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// The product token of a User-agent line's value ("FooBot/1.2 (+url)" -> "foobot"), lower-cased:
// its leading letters, "_" and "-".
std::string ProductToken(std::string_view value) {
  value = Trim(value);
  if (value.substr(0, 1) == "*") return "*";
  std::string token;
  for (char c : value) {
    const bool token_char =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
    if (!token_char) break;
    token.push_back(AsciiLower(c));
  }
  return token;
}

// The product tokens a crawler's User-Agent may go by, in the order they are tried: the products
// it names ("Mozilla/5.0 (compatible; ExampleBot/0.1; +url)" names "mozilla" and "examplebot"),
// "mozilla" last, since every browser-like User-Agent opens with it; a bare token as it is.
std::vector<std::string> CrawlerTokens(std::string_view user_agent) {
  constexpr std::string_view kBetweenWords = " \t;,()";
  std::vector<std::string> tokens;
  bool mozilla = false;
  const std::size_t first_word = user_agent.find_first_not_of(kBetweenWords);
  std::size_t i = 0;
  while (i < user_agent.size()) {
    const std::size_t start = user_agent.find_first_not_of(kBetweenWords, i);
    if (start == std::string_view::npos) break;
    const std::size_t end =
        std::min(user_agent.find_first_of(kBetweenWords, start), user_agent.size());
    const std::string_view word = user_agent.substr(start, end - start);
    i = end;
    // A product is "name/version"; the first word counts without a version too.
    if (word.find('/') == std::string_view::npos && start != first_word) continue;
    std::string token = ProductToken(word);
    if (token.empty() || token == "*") continue;
    if (token == "mozilla") {
      mozilla = true;
    } else if (std::find(tokens.begin(), tokens.end(), token) == tokens.end()) {
      tokens.push_back(std::move(token));
    }
  }
  if (mozilla) tokens.emplace_back("mozilla");
  return tokens;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendEscaped(std::string& out, unsigned char c) {
  out.push_back('%');
  out.push_back(kHexDigits[c >> 4]);
  out.push_back(kHexDigits[c & 0xF]);
}

// One spelling for every way of writing the same path: escapes of unreserved characters decoded,
// other escapes upper-cased, octets outside printable ASCII escaped. "*" and "$" are escaped too,
// but for a pattern's "*", which is its wildcard: so a pattern's "%2A" and "%24" match the
// characters themselves (RFC 9309, 2.2.3).
std::string NormalisePath(std::string_view path, bool pattern = false) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 &&
        HexValue(path[i + 2]) >= 0) {
      const auto decoded =
          static_cast<unsigned char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]));
      if (IsUnreserved(decoded)) {
        out.push_back(static_cast<char>(decoded));
      } else {
        AppendEscaped(out, decoded);
      }
      i += 2;
    } else if (c <= 0x20 || c >= 0x7F || c == '$' || (c == '*' && !pattern)) {
      AppendEscaped(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// Whether path starts with pattern ("*" any run of octets), or equals it when anchored. Each
// literal piece is found at its leftmost place, which is enough for a pattern whose only
// wildcard is "*".
bool PatternMatches(std::string_view pattern, bool anchored, std::string_view path) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t star = pattern.find('*', start);
    pieces.push_back(pattern.substr(
        start, star == std::string_view::npos ? std::string_view::npos : star - start));
    if (star == std::string_view::npos) break;
    start = star + 1;
  }
  if (pieces.size() == 1) {
    return anchored ? path == pattern : path.substr(0, pattern.size()) == pattern;
  }
  if (path.substr(0, pieces.front().size()) != pieces.front()) return false;
  std::size_t pos = pieces.front().size();
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
    pos = path.find(pieces[i], pos);
    if (pos == std::string_view::npos) return false;
    pos += pieces[i].size();
  }
  const std::string_view last = pieces.back();
  if (anchored) {
    return path.size() - pos >= last.size() && path.substr(path.size() - last.size()) == last;
  }
  return path.find(last, pos) != std::string_view::npos;
}

}  // namespace

TRobotsTxt TRobotsTxt::Parse(std::string_view text) {
  TRobotsTxt robots;
  if (text.size() > kRobotsMaxBytes) {
    robots.truncated_ = true;
    text = text.substr(0, kRobotsMaxBytes);
    // The line the limit cuts is not read: half a rule could say the opposite of the whole.
    const std::size_t last_break = text.find_last_of("\r\n");
    text =
        last_break == std::string_view::npos ? std::string_view() : text.substr(0, last_break + 1);
  }
  robots.bytes_read_ = text.size();
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());

  bool in_agent_lines = false;  // the previous member line was a User-agent line
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

    line = line.substr(0, line.find('#'));
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));

    if (EqualsNoCase(key, "user-agent")) {
      if (!in_agent_lines) robots.groups_.emplace_back();
      in_agent_lines = true;
      std::string token = ProductToken(value);
      if (!token.empty()) robots.groups_.back().Agents.push_back(std::move(token));
    } else if (EqualsNoCase(key, "allow") || EqualsNoCase(key, "disallow")) {
      in_agent_lines = false;
      if (robots.groups_.empty() || value.empty()) continue;  // no group, or a rule of nothing
      TRule rule;
      rule.Allow = EqualsNoCase(key, "allow");
      std::string_view pattern = value;
      if (pattern.back() == '$') {
        rule.Anchored = true;
        pattern.remove_suffix(1);
      }
      rule.Pattern = NormalisePath(pattern, true);
      rule.Length = rule.Pattern.size() + (rule.Anchored ? 1 : 0);
      robots.groups_.back().Rules.push_back(std::move(rule));
    } else if (EqualsNoCase(key, "sitemap")) {
      if (!value.empty()) robots.sitemaps_.emplace_back(value);
    } else if (EqualsNoCase(key, "crawl-delay") && !robots.groups_.empty()) {
      char* end = nullptr;
      const std::string number(value);
      const double seconds = std::strtod(number.c_str(), &end);
      if (end != number.c_str() && seconds > 0) {
        robots.groups_.back().CrawlDelay = std::min(seconds, kRobotsMaxCrawlDelaySeconds);
      }
    }
    // Other keys (Host, typos) neither count as rules nor end a group's agent lines.
  }

  bool disallows_root = false;
  bool any_allow = false;
  for (const TGroup& group : robots.groups_) {
    if (std::find(group.Agents.begin(), group.Agents.end(), "*") == group.Agents.end()) continue;
    for (const TRule& rule : group.Rules) {
      // "/", "*", "/*", "**": a pattern every path matches.
      const std::string_view rest =
          std::string_view(rule.Pattern).substr(rule.Pattern.starts_with('/') ? 1 : 0);
      if (rule.Allow) {
        any_allow = true;
      } else if (!rule.Anchored && rest.find_first_not_of('*') == std::string_view::npos) {
        disallows_root = true;
      }
    }
  }
  robots.disallows_all_ = disallows_root && !any_allow;
  if (robots.disallows_all_) {
    // Each agent asked costs a pass over every group: a file naming thousands is asked about
    // its first few only.
    std::vector<std::string> asked;
    for (const TGroup& group : robots.groups_) {
      for (const std::string& agent : group.Agents) {
        if (agent == "*" || asked.size() >= kRobotsMaxAgentsAsked ||
            std::find(asked.begin(), asked.end(), agent) != asked.end()) {
          continue;
        }
        asked.push_back(agent);
        if (robots.Allowed(agent, "/")) robots.admitted_.push_back(agent);
      }
    }
  }
  return robots;
}

bool TRobotsTxt::Allowed(std::string_view user_agent, std::string_view path) const {
  const std::string normalised = NormalisePath(path.empty() ? std::string_view("/") : path);
  if (normalised == "/robots.txt") return true;

  const std::string chosen = ChosenAgent(user_agent);
  bool allowed = true;
  std::size_t best_length = 0;
  bool matched = false;
  for (const TGroup& group : groups_) {
    if (!Names(group, chosen)) continue;
    for (const TRule& rule : group.Rules) {
      if (!PatternMatches(rule.Pattern, rule.Anchored, normalised)) continue;
      if (!matched || rule.Length > best_length || (rule.Length == best_length && rule.Allow)) {
        allowed = rule.Allow;
        best_length = rule.Length;
        matched = true;
      }
    }
  }
  return allowed;
}

bool TRobotsTxt::Names(const TGroup& group, std::string_view agent) {
  return std::find(group.Agents.begin(), group.Agents.end(), agent) != group.Agents.end();
}

std::string TRobotsTxt::ChosenAgent(std::string_view user_agent) const {
  for (std::string& token : CrawlerTokens(user_agent)) {
    if (std::any_of(groups_.begin(), groups_.end(),
                    [&](const TGroup& group) { return Names(group, token); })) {
      return std::move(token);
    }
  }
  return "*";
}

double TRobotsTxt::CrawlDelaySeconds(std::string_view user_agent) const {
  const std::string chosen = ChosenAgent(user_agent);
  double delay = 0;
  for (const TGroup& group : groups_) {
    if (Names(group, chosen)) delay = std::max(delay, group.CrawlDelay);
  }
  return delay;
}

std::string RobotsRulesDigest(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a, 64 bits
  const auto add = [&](std::string_view bytes) {
    for (const unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
  };
  while (!text.empty()) {
    const size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = line.substr(0, line.find('#'));
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) continue;
    add(line);
    add("\n");
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}
