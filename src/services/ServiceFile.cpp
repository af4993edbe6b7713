#include "services/ServiceFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <tuple>

// toml++ is compiled into this unit alone (its header-only form), so that the sanitizer and
// fuzzing builds see the parser too. Nothing outside this file includes it.
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <nlohmann/json.hpp>

#include "regex/RegexEngine.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

// The built-in sets, generated from resources/services.toml and services-current.toml at build
// time.
#include "services/BuiltInServices.inc"
#include "services/BuiltInServicesCurrent.inc"

// A file larger than this is not a definitions file (the built-in one is a few kilobytes).
constexpr std::streamoff kMaxFileBytes = 1 << 20;

constexpr const char* kSite = "{site}";

// toml++ 3.3 decides whether a character is a blank with a table that misses some characters:
// for those it reaches a point it declares unreachable (undefined behaviour) whenever it asks
// about one outside a text, as it does while reading a mistyped number or date. The parser
// therefore never sees them: they are moved, one for one, into a private-use block of plane
// 15 (lines and columns stay as they are, since toml++ counts characters), and every text read
// back is moved back. A file that itself holds a character of that block is refused.
struct TCodeRange {
  char32_t First, Last;
};
constexpr TCodeRange kMisread[] = {
    {0xA1, 0x499}, {0x2C5E, 0x2FFF}, {0x3001, 0x3057}, {0xFB26, 0xFEFE}};
constexpr char32_t kMovedTo = 0xF0000;
constexpr char32_t kMovedCount = (0x499 - 0xA1 + 1) + (0x2FFF - 0x2C5E + 1) +
                                 (0x3057 - 0x3001 + 1) + (0xFEFE - 0xFB26 + 1);

char32_t Moved(char32_t c) {
  char32_t offset = 0;
  for (const TCodeRange& r : kMisread) {
    if (c >= r.First && c <= r.Last) return kMovedTo + offset + (c - r.First);
    offset += r.Last - r.First + 1;
  }
  return c;
}

char32_t MovedBack(char32_t c) {
  if (c < kMovedTo || c >= kMovedTo + kMovedCount) return c;
  char32_t offset = c - kMovedTo;
  for (const TCodeRange& r : kMisread) {
    if (offset <= r.Last - r.First) return r.First + offset;
    offset -= r.Last - r.First + 1;
  }
  return c;
}

// `text` with every well-formed character passed through `move`; other bytes stay.
std::string MoveCharacters(std::string_view text, char32_t (*move)(char32_t)) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const long cp = DecodeUtf8(text, i);
    if (cp < 0x80) out.append(text, start, i - start);
    else AppendUtf8(move(static_cast<char32_t>(cp)), out);
  }
  return out;
}

// A text as the file has it.
std::string Text(std::string_view parsed) { return MoveCharacters(parsed, MovedBack); }
std::string Text(const toml::node& n) { return Text(n.as_string()->get()); }
std::string Text(const toml::key& k) { return Text(k.str()); }

void QuietXml(void*, const char*, ...) {}
void QuietXmlError(void*, xmlError*) {}

// Whether libxml2 compiles `xpath`; its complaints stay off stderr.
bool IsXPath(const std::string& xpath) {
  static const bool kReady = (xmlInitParser(), true);
  (void)kReady;
  thread_local const bool kQuiet = (xmlSetGenericErrorFunc(nullptr, QuietXml),
                                    xmlSetStructuredErrorFunc(nullptr, QuietXmlError),
                                    true);
  (void)kQuiet;
  xmlXPathCompExprPtr compiled = xmlXPathCompile(reinterpret_cast<const xmlChar*>(xpath.c_str()));
  if (compiled == nullptr) return false;
  xmlXPathFreeCompExpr(compiled);
  return true;
}

// One [[rank]] entry as read.
struct TRankEntry {
  TRankDef Def;
  int Line = 0;
  bool Faulty = false;
};

// One [[field]] entry as read, with its faults counted.
struct TEntry {
  std::string Name;
  TRequestDef Def;
  int Line = 0;
  bool Faulty = false;
};

class TReader {
 public:
  TReader(const std::string& file, const TServiceTable& base) : file_(file), base_(base) {}

  std::vector<TServiceProblem> Problems;
  std::vector<TRankEntry> Ranks;  // the [[rank]] entries, faulty ones included (marked)

  void Fault(const toml::source_region& where, const std::string& field, std::string message) {
    Problems.push_back(TServiceProblem{file_, static_cast<int>(where.begin.line),
                                       static_cast<int>(where.begin.column), field,
                                       std::move(message)});
  }
  void Fault(const toml::node& where, TEntry& entry, std::string message) {
    Fault(where.source(), entry.Name, std::move(message));
    entry.Faulty = true;
  }

  // The entries of the document, faulty ones included (marked).
  std::vector<TEntry> Read(const toml::table& root) {
    std::vector<TEntry> entries;
    if (const toml::node* defaults = root.get("defaults")) ReadDefaults(*defaults);
    for (auto&& [key, node] : root) {
      if (Text(key) == "base" || Text(key) == "defaults") continue;  // read before
      if (Text(key) == "rank") {
        ReadRanks(node);
        continue;
      }
      if (Text(key) != "field") {
        Fault(key.source(), "",
              "unknown key \"" + Text(key) +
                  "\" (the file holds base, [defaults], [[field]] and [[rank]] entries only)");
        continue;
      }
      const toml::array* list = node.as_array();
      if (list == nullptr || !list->is_array_of_tables()) {
        Fault(node.source(), "", "\"field\" must be a list of [[field]] tables");
        continue;
      }
      for (const toml::node& item : *list) entries.push_back(ReadEntry(*item.as_table()));
    }
    MarkDuplicates(entries);
    return entries;
  }

 private:
  const std::string& file_;
  const TServiceTable& base_;
  std::vector<THeader> default_headers_;  // the file's [defaults]
  static constexpr const char* kKey = "{key}";

  // [defaults]: headers = { Name = 'value', ... }, sent by every field of the file that does not
  // name the header itself.
  void ReadDefaults(const toml::node& n) {
    TEntry sink;  // a fault here belongs to no field
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      Fault(n, sink, "[defaults] must be a table: [defaults] headers = { ... }");
      return;
    }
    for (auto&& [key, value] : *t) {
      if (Text(key) != "headers") {
        Fault(key.source(), "",
              "unknown key \"" + Text(key) + "\" in [defaults] (it takes headers)");
        continue;
      }
      ReadHeaders(value, sink, default_headers_);
    }
  }

  // headers = { Name = 'value', ... }: names are tokens, values one line.
  void ReadHeaders(const toml::node& n, TEntry& entry, std::vector<THeader>& out) {
    const toml::table* t = n.as_table();
    if (t == nullptr) {
      Fault(n, entry, "headers must be a table: headers = { 'User-Agent' = '...' }");
      return;
    }
    for (auto&& [key, value] : *t) {
      const std::string name = Text(key);
      const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
      });
      if (!token) {
        Fault(key.source(), entry.Name,
              "\"" + name + "\" is not a header name (letters, digits, -)");
        entry.Faulty = true;
        continue;
      }
      if (!value.is_string()) {
        Fault(value, entry, "the header " + name + " takes one text");
        continue;
      }
      const std::string text = Text(value);
      if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        Fault(value, entry, "the header " + name + " must be one line");
        continue;
      }
      THeader header{name, ""};
      if (!ToGbk(value, text, entry, header.Value)) continue;
      auto same = std::find_if(out.begin(), out.end(),
                               [&](const THeader& h) { return SameText(h.Name, name); });
      if (same != out.end())
        *same = std::move(header);
      else
        out.push_back(std::move(header));
    }
  }

  // A text key of an entry, converted to GBK; nothing when absent or faulty.
  std::optional<std::string> ReadText(const toml::table& t, const char* key, TEntry& entry) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return std::nullopt;
    if (!n->is_string() || Text(*n).empty()) {
      Fault(*n, entry, std::string(key) + " must be a text that is not empty");
      return std::nullopt;
    }
    std::string gbk;
    if (!ToGbk(*n, Text(*n), entry, gbk)) return std::nullopt;
    return gbk;
  }

  // The keys today's services need: caption, headers, first_visit, retired, key_env,
  // blocked_markers, again_after.
  void ReadServiceKeys(const toml::table& t, TEntry& entry, const TRequestDef* base) {
    TRequestDef& def = entry.Def;
    if (auto caption = ReadText(t, "caption", entry)) def.Caption = *caption;
    if (auto note = ReadText(t, "no_match", entry)) def.NoMatchNote = *note;
    // The file's defaults, else what the set gives the field (a browser's User-Agent the
    // service needs is not lost to an entry that mends a step).
    std::vector<THeader> headers = default_headers_;
    if (headers.empty() && base != nullptr) headers = base->Headers;
    if (const toml::node* n = t.get("headers")) ReadHeaders(*n, entry, headers);
    def.Headers = std::move(headers);
    if (const toml::node* n = t.get("first_visit")) {
      if (CheckUrl(*n, entry, "first_visit")) ToGbk(*n, Text(*n), entry, def.FirstVisit);
    }
    if (const toml::node* n = t.get("retired"); n != nullptr && n->value<bool>() == true) {
      def.Retired = kRetiredWhenUnknown;  // closed, but nobody can say when
    } else if (n != nullptr) {
      // "YYYY" or "YYYY-MM".
      const std::string month = n->is_string() ? Text(*n) : "";
      const bool digits = std::all_of(month.begin(), month.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
      const int m = month.size() == 7 && month[4] == '-' ? std::atoi(month.c_str() + 5) : 0;
      const bool shaped = digits &&
                          month.find('-') == (month.size() == 4 ? std::string::npos : 4) &&
                          month.rfind('-') == month.find('-') &&
                          (month.size() == 4 || (month.size() == 7 && m >= 1 && m <= 12));
      if (!shaped) {
        Fault(*n, entry,
              "retired takes when the service closed: retired = \"2013-03\" (or \"2013\", or "
              "true when that is not known)");
      } else {
        def.Retired = month;
      }
    }
    if (const toml::node* n = t.get("key_env")) {
      const std::string name = n->is_string() ? Text(*n) : "";
      const bool ok = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
                      std::all_of(name.begin(), name.end(), [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                      });
      if (!ok) {
        Fault(*n, entry, "key_env takes the name of an environment variable: key_env = \"NAME\"");
      } else {
        def.KeyEnv = name;
      }
    }
    // {key} and key_env go together.
    bool key_used = def.Url.find(kKey) != std::string::npos;
    for (const THeader& h : def.Headers)
      key_used = key_used || h.Value.find(kKey) != std::string::npos;
    if (key_used && def.KeyEnv.empty() && !entry.Faulty) {
      Fault(t, entry, "{key} stands in the request but no key_env names where the key is");
    } else if (!key_used && !def.KeyEnv.empty()) {
      // A switched-off or retired entry keeps its base set's key_env: then the entry is at fault.
      const toml::node* key_env = t.get("key_env");
      Fault(key_env ? *key_env : t, entry,
            "key_env is set but {key} stands nowhere in url or headers");
    }
    if (const toml::node* n = t.get("blocked_markers")) {
      const toml::array* list = n->as_array();
      if (list == nullptr || list->empty()) {
        Fault(*n, entry, "blocked_markers must be a list of texts: ['...', ...]");
      } else {
        def.BlockedMarkers.clear();
        for (const toml::node& marker : *list) {
          std::string gbk;
          if (!marker.is_string() || Text(marker).empty()) {
            Fault(marker, entry, "a blocked marker is a text that is not empty");
          } else if (ToGbk(marker, Text(marker), entry, gbk)) {
            def.BlockedMarkers.push_back(std::move(gbk));
          }
        }
      }
    }
    if (const toml::node* n = t.get("again_after")) {
      const auto* seconds = n->as_integer();
      if (entry.Name != "Image1") {
        Fault(*n, entry, "again_after is for the thumbnail picture (Image1) only");
      } else if (seconds == nullptr || seconds->get() < 1 || seconds->get() > 60) {
        Fault(*n, entry, "again_after takes whole seconds from 1 to 60");
      } else {
        def.AgainAfterMs = static_cast<int>(seconds->get()) * 1000;
      }
    }
  }

  const TRequestDef* BaseDef(const std::string& name) const {
    for (const TRequestDef& def : base_.Requests) {
      if (def.Field == name) return &def;
    }
    return nullptr;
  }

  TEntry ReadEntry(const toml::table& t) {
    TEntry entry;
    entry.Line = static_cast<int>(t.source().begin.line);
    static const char* const kKeys[] = {
        "name",    "job",     "url",         "mode",    "steps",   "fallbacks",       "enabled",
        "caption", "headers", "first_visit", "retired", "key_env", "blocked_markers", "again_after",
        "no_match"};
    const toml::node* name = t.get("name");
    if (name != nullptr && name->is_string()) entry.Name = Text(*name);
    for (auto&& [key, node] : t) {
      if (std::find(std::begin(kKeys), std::end(kKeys), key.str()) == std::end(kKeys)) {
        Fault(key.source(), entry.Name, "unknown key \"" + Text(key) + "\"");
        entry.Faulty = true;
      }
    }
    if (name == nullptr || !name->is_string() || entry.Name.empty()) {
      Fault(name != nullptr ? name->source() : t.source(), "",
            "a [[field]] needs a name such as name = \"Site1\"");
      entry.Faulty = true;
      entry.Name.clear();
      return entry;
    }
    const TRequestDef* base = BaseDef(entry.Name);
    if (base == nullptr && !base_.Requests.empty()) {
      Fault(*name, entry, "unknown field \"" + entry.Name + "\"");
      return entry;
    }

    bool enabled = true;
    if (const toml::node* n = t.get("enabled")) {
      if (!n->is_boolean()) {
        Fault(*n, entry, "enabled must be true or false");
        return entry;
      }
      enabled = n->as_boolean()->get();
    }
    // A request switched off or retired needs only its name (and the month it closed): what it
    // leaves out stays as it was. A retired field of a set of its own needs no steps.
    const bool retired = t.contains("retired");
    const bool partial = (!enabled || retired) && base != nullptr;
    if (partial) entry.Def = *base;
    entry.Def.Field = entry.Name;
    entry.Def.Enabled = enabled;
    const bool picture = entry.Name == "Image1";

    auto missing = [&](const char* key) {
      if (!partial) Fault(t, entry, "field \"" + entry.Name + "\" has no " + key);
    };
    if (const toml::node* n = t.get("job")) {
      const auto* job = n->as_integer();
      if (job == nullptr || job->get() < 0 || job->get() >= kQueryJobCount) {
        Fault(*n, entry, "job must be a whole number from 0 to 10");
      } else {
        entry.Def.Job = static_cast<int>(job->get());
      }
    } else {
      missing("job");
    }
    if (const toml::node* n = t.get("url")) {
      if (CheckUrl(*n, entry, "url")) ToGbk(*n, Text(*n), entry, entry.Def.Url);
    } else {
      missing("url");
    }
    ReadServiceKeys(t, entry, base);
    if (picture) {
      for (const char* key : {"mode", "steps", "fallbacks"}) {
        if (const toml::node* n = t.get(key)) {
          Fault(*n, entry, "\"Image1\" is the thumbnail picture: it takes no " + std::string(key));
        }
      }
      entry.Def.Mode = TFetchMode::Raw;
      entry.Def.Rules.clear();
      return entry;
    }
    if (const toml::node* n = t.get("mode")) {
      const auto* mode = n->as_integer();
      const auto taken = {TFetchMode::Raw, TFetchMode::Utf8, TFetchMode::Declared};
      const auto named = mode == nullptr ? taken.end()
                                         : std::find_if(taken.begin(), taken.end(), [&](auto m) {
                                             return static_cast<int64_t>(m) == mode->get();
                                           });
      if (named == taken.end()) {
        Fault(*n, entry, "mode must be 0 (bytes as they come), 1 (UTF-8) or 4 (as the page says)");
      } else {
        entry.Def.Mode = *named;
      }
    } else if (!retired) {
      missing("mode");
    }
    const toml::node* steps = t.get("steps");
    const toml::node* fallbacks = t.get("fallbacks");
    if (steps != nullptr || fallbacks != nullptr || !partial) entry.Def.Rules.clear();
    if (steps != nullptr) {
      entry.Def.Rules.push_back(ReadStepList(*steps, entry, "steps"));
    } else if (!partial && !retired) {
      missing("steps");
    } else if (fallbacks != nullptr && base != nullptr && !base->Rules.empty()) {
      entry.Def.Rules.push_back(base->Rules.front());
    }
    if (fallbacks != nullptr) {
      const toml::array* lists = fallbacks->as_array();
      if (lists == nullptr || lists->empty()) {
        Fault(*fallbacks, entry, "fallbacks must be a list of step lists: [[step, ...], ...]");
      } else {
        for (const toml::node& list : *lists) {
          entry.Def.Rules.push_back(ReadStepList(list, entry, "a fallback"));
        }
      }
    }
    return entry;
  }

  // The port an http(s) URL names after its host, as written; nothing when it names none or
  // a placeholder stands in the host part (its port is the host's own).
  static std::optional<std::string> UrlPortText(std::string_view url) {
    std::string_view authority = url.substr(url.find("://") + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
      authority.remove_prefix(at + 1);
    }
    if (authority.find('{') != std::string_view::npos) return std::nullopt;
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos || (bracket != std::string_view::npos && colon < bracket)) {
      return std::nullopt;
    }
    return std::string(authority.substr(colon + 1));
  }

  // Whether `n` (the entry's `what`: url, first_visit) is a URL the fields can ask for.
  bool CheckUrl(const toml::node& n, TEntry& entry, const std::string& what,
                const std::vector<std::string>& also_known = {}) {
    if (!n.is_string()) {
      Fault(n, entry, what + " must be a text");
      return false;
    }
    const std::string url = Text(n);
    if (url.empty()) {
      Fault(n, entry, what + " is empty");
      return false;
    }
    const size_t before = Problems.size();
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
      Fault(n, entry, what + " must begin with http:// or https://");
    } else if (auto port = UrlPortText(url);
               port && !port->empty() && ParsePortNumber(*port) == 0) {
      Fault(n, entry, what + " has the port \"" + *port + "\": a port is a number from 1 to 65535");
    }
    size_t i = 0;
    while ((i = url.find('{', i)) != std::string::npos) {
      const size_t close = url.find('}', i);
      if (close == std::string::npos) {
        Fault(n, entry, what + " has a \"{\" without its \"}\"");
        break;
      }
      const std::string name = url.substr(i + 1, close - i - 1);
      const bool also = std::find(also_known.begin(), also_known.end(), "{" + name + "}") !=
                        also_known.end();
      if (!also && name != "site" && name != "key" && TimePlaceholderSeconds(name) < 0 &&
          FindServiceHost(DefaultServiceHosts(), name) == nullptr) {
        std::string known = "{site}";
        for (const std::string& host : ServiceHostNames()) known += ", {" + host + "}";
        Fault(n, entry, what + " names an unknown host {" + name + "} (known: " + known + ")");
      }
      i = close + 1;
    }
    return Problems.size() == before;
  }

  // UTF-8 text of the file as GBK; a fault when GBK lacks one of its characters.
  bool ToGbk(const toml::node& n, std::string_view utf8, TEntry& entry, std::string& out) {
    const size_t at = Utf8ToGbk(utf8, out, true);
    if (at == std::string_view::npos) return true;
    size_t end = at;
    const long cp = DecodeUtf8(utf8, end);  // the parser passes only well-formed UTF-8
    char code[16];
    std::snprintf(code, sizeof code, "U+%04lX", cp < 0 ? 0xFFFDL : cp);
    Fault(n, entry, "text GBK cannot hold: \"" + std::string(utf8.substr(at, end - at)) + "\" (" +
                        code + ")");
    return false;
  }

  TStepList ReadStepList(const toml::node& n, TEntry& entry, const std::string& what) {
    TStepList list;
    const toml::array* steps = n.as_array();
    if (steps == nullptr || steps->empty()) {
      Fault(n, entry, what + " must be a list of one or more steps: [step, ...]");
      return list;
    }
    for (const toml::node& step : *steps) {
      if (auto s = ReadStep(step, entry)) list.push_back(std::move(*s));
    }
    return list;
  }

  std::optional<TStep> ReadStep(const toml::node& n, TEntry& entry) {
    static const std::string kShape =
        "a step is 'digits' or one of { between = ['start', 'end'] }, { remove = 'text' }, "
        "{ rule = 'pattern' }, { append = 'text' }, { json = '/pointer' }, "
        "{ newest = ['/array', '/member'] }, { date = '%Y%m%d' }";
    if (const auto* word = n.as_string()) {
      if (word->get() == "digits") return TStep{TStepKind::DigitsOnly};
      Fault(n, entry, "unknown step '" + Text(n) + "': " + kShape);
      return std::nullopt;
    }
    const toml::table* t = n.as_table();
    if (t == nullptr || t->size() != 1) {
      Fault(n, entry, t == nullptr || t->empty() ? kShape : "a step does one thing: " + kShape);
      return std::nullopt;
    }
    const toml::key* key_ptr = nullptr;
    const toml::node* value_ptr = nullptr;
    for (auto&& [k, v] : *t) {  // the one key
      key_ptr = &k;
      value_ptr = &v;
    }
    const toml::key& key = *key_ptr;
    const toml::node& value = *value_ptr;
    const std::string kind = Text(key);
    if (kind == "between") return ReadBetween(value, entry);
    if (kind == "newest") return ReadNewest(value, entry);
    TStep step;
    if (kind == "remove")
      step.Kind = TStepKind::Remove;
    else if (kind == "rule")
      step.Kind = TStepKind::Rule;
    else if (kind == "append")
      step.Kind = TStepKind::Append;
    else if (kind == "json")
      step.Kind = TStepKind::Json;
    else if (kind == "date")
      step.Kind = TStepKind::Date;
    else {
      Fault(key.source(), entry.Name, "unknown step \"" + kind + "\": " + kShape);
      entry.Faulty = true;
      return std::nullopt;
    }
    if (!value.is_string()) {
      Fault(value, entry, kind + " takes one text: { " + kind + " = '...' }");
      return std::nullopt;
    }
    const std::string text = Text(value);
    if (text.empty() && step.Kind != TStepKind::Append) {
      Fault(value, entry, "the text of " + kind + " is empty");
      return std::nullopt;
    }
    if (!ToGbk(value, text, entry, step.A)) return std::nullopt;
    if (step.Kind == TStepKind::Rule && !CheckRule(value, entry, step.A)) return std::nullopt;
    if (step.Kind == TStepKind::Json && !CheckPointer(value, entry, text)) return std::nullopt;
    if (step.Kind == TStepKind::Date && !CheckDateFormat(value, entry, text)) return std::nullopt;
    return step;
  }

  // A JSON Pointer (RFC 6901): "/" and the members' names, "~0" for "~" and "~1" for "/".
  bool CheckPointer(const toml::node& n, TEntry& entry, const std::string& pointer) {
    try {
      if (pointer.empty() || pointer[0] != '/') throw std::invalid_argument("");
      nlohmann::json::json_pointer checked(pointer);
      return true;
    } catch (const std::exception&) {
      Fault(n, entry,
            "\"" + pointer +
                "\" is not a JSON Pointer: \"/name/0/name\", with ~0 for ~ and ~1 for /");
      return false;
    }
  }

  // A time-stamp format: %Y, %m and %d, optionally %H, %M, %S, "%%" and plain characters.
  bool CheckDateFormat(const toml::node& n, TEntry& entry, const std::string& format) {
    std::string seen;
    for (size_t i = 0; i < format.size(); ++i) {
      if (format[i] != '%') continue;
      const char d = i + 1 < format.size() ? format[++i] : '\0';
      if (std::strchr("YmdHMS%", d) == nullptr || d == '\0') {
        Fault(n, entry, "a date format takes %Y %m %d %H %M %S and %% only");
        return false;
      }
      seen += d;
    }
    for (char needed : {'Y', 'm', 'd'}) {
      if (seen.find(needed) == std::string::npos) {
        Fault(n, entry, "a date format needs %Y, %m and %d");
        return false;
      }
    }
    return true;
  }

  std::optional<TStep> ReadNewest(const toml::node& n, TEntry& entry) {
    const toml::array* pair = n.as_array();
    if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string() ||
        !(*pair)[1].is_string()) {
      Fault(n, entry, "newest takes two JSON Pointers: { newest = ['/array', '/member'] }");
      return std::nullopt;
    }
    TStep step{TStepKind::Newest, Text((*pair)[0]), Text((*pair)[1])};
    if (!CheckPointer((*pair)[0], entry, step.A) || !CheckPointer((*pair)[1], entry, step.B)) {
      return std::nullopt;
    }
    return step;
  }

  std::optional<TStep> ReadBetween(const toml::node& n, TEntry& entry) {
    const toml::array* pair = n.as_array();
    if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string() ||
        !(*pair)[1].is_string()) {
      Fault(n, entry, "between takes two texts: { between = ['start', 'end'] }");
      return std::nullopt;
    }
    const toml::node& start_node = (*pair)[0];
    const toml::node& end_node = (*pair)[1];
    std::string start = Text(start_node);
    const std::string end = Text(end_node);
    if (start.empty() || end.empty()) {
      Fault(start.empty() ? start_node : end_node, entry, "a text of between is empty");
      return std::nullopt;
    }
    if (end.find(kSite) != std::string::npos) {
      Fault(end_node, entry, "{site} may stand only in the start text of between");
      return std::nullopt;
    }
    TStep step;
    const size_t site = start.find(kSite);
    std::string after;
    if (site != std::string::npos) {
      after = start.substr(site + std::strlen(kSite));
      start.resize(site);
      if (after.find(kSite) != std::string::npos) {
        Fault(start_node, entry, "{site} may stand only once in the start text of between");
        return std::nullopt;
      }
      step.Kind = TStepKind::BetweenSite;
    }
    const bool ok = ToGbk(start_node, start, entry, step.A) &&
                    ToGbk(start_node, after, entry, step.B) &&
                    ToGbk(end_node, end, entry, step.Kind == TStepKind::BetweenSite ? step.C : step.B);
    if (!ok) return std::nullopt;
    return step;
  }

  // Whether our regular-expression engine takes the rule the way the extraction will use it.
  bool CheckRule(const toml::node& n, TEntry& entry, const std::string& rule) {
    const std::string pattern = RulePattern(rule);
    if (pattern.empty()) {
      Fault(n, entry, "the rule is empty");
      return false;
    }
    TRegexEngine engine;
    try {
      engine.SetExpression(pattern);
      engine.SetModifier(1, true);
      engine.Compile();
      return true;
    } catch (const ERegexError& e) {
      Fault(n, entry,
            "the regular-expression engine rejects the rule: error " + std::to_string(e.Code) +
                " at position " + std::to_string(e.Position) + " of \"" + GbkToUtf8(pattern) +
                "\": " + engine.ErrorMessage(e.Code));
    } catch (const std::exception& e) {
      Fault(n, entry, std::string("the regular-expression engine rejects the rule: ") + e.what());
    }
    return false;
  }

  // [[rank]]: how an engine's result pages are read. Over a set that defines the engine, the
  // keys an entry leaves out keep the set's values.
  void ReadRanks(const toml::node& node) {
    const toml::array* list = node.as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
      Fault(node.source(), "", "\"rank\" must be a list of [[rank]] tables");
      return;
    }
    for (const toml::node& item : *list) Ranks.push_back(ReadRank(*item.as_table()));
    std::map<std::string, size_t> first;
    for (size_t i = 0; i < Ranks.size(); ++i) {
      if (Ranks[i].Def.Engine.empty()) continue;
      auto [it, fresh] = first.emplace(Ranks[i].Def.Engine, i);
      if (fresh) continue;
      Problems.push_back(TServiceProblem{file_, Ranks[i].Line, 1, "rank " + Ranks[i].Def.Engine,
                                         "rank \"" + Ranks[i].Def.Engine +
                                             "\" is defined twice (first on line " +
                                             std::to_string(Ranks[it->second].Line) + ")"});
      Ranks[i].Faulty = Ranks[it->second].Faulty = true;
    }
  }

  TRankEntry ReadRank(const toml::table& t) {
    static const char* const kRankKeys[] = {
        "engine", "caption", "url",  "headers",         "first_visit",   "per_page", "result",
        "landing", "skip",   "decode", "blocked_markers", "blocked_nodes", "enabled"};
    TRankEntry rank;
    rank.Line = static_cast<int>(t.source().begin.line);
    TEntry entry;  // carries the name faults are reported under
    const toml::node* engine = t.get("engine");
    if (engine == nullptr || !engine->is_string() || Text(*engine).empty()) {
      Fault(engine != nullptr ? engine->source() : t.source(), "",
            "a [[rank]] needs an engine such as engine = \"baidu\"");
      rank.Faulty = true;
      return rank;
    }
    const std::string name = Text(*engine);
    entry.Name = "rank " + name;
    const auto base = std::find_if(base_.Ranks.begin(), base_.Ranks.end(),
                                   [&](const TRankDef& d) { return d.Engine == name; });
    if (base != base_.Ranks.end()) rank.Def = *base;
    rank.Def.Engine = name;
    for (auto&& [key, node] : t) {
      if (std::find(std::begin(kRankKeys), std::end(kRankKeys), key.str()) == std::end(kRankKeys)) {
        Fault(key.source(), entry.Name, "unknown key \"" + Text(key) + "\" in a [[rank]]");
        entry.Faulty = true;
      }
    }
    auto text = [&](const char* key, std::string& out) {
      const toml::node* n = t.get(key);
      if (n == nullptr) return;
      if (!n->is_string() || Text(*n).empty())
        Fault(*n, entry, std::string(key) + " must be a text that is not empty");
      else
        out = Text(*n);
    };
    auto xpath = [&](const toml::node& n, std::string& out) {
      if (!n.is_string() || !IsXPath(Text(n))) {
        Fault(n, entry, "not an XPath expression libxml2 takes: " +
                            (n.is_string() ? "\"" + Text(n) + "\"" : std::string("not a text")));
        return false;
      }
      out = Text(n);
      return true;
    };
    auto xpaths = [&](const char* key, std::vector<std::string>& out, bool texts) {
      const toml::node* n = t.get(key);
      if (n == nullptr) return;
      const toml::array* list = n->as_array();
      if (list == nullptr || list->empty()) {
        Fault(*n, entry, std::string(key) + " must be a list: ['...', ...]");
        return;
      }
      out.clear();
      for (const toml::node& item : *list) {
        std::string one;
        if (texts) {
          if (!item.is_string() || Text(item).empty())
            Fault(item, entry, std::string("an entry of ") + key + " is a text that is not empty");
          else
            out.push_back(Text(item));
        } else if (xpath(item, one)) {
          out.push_back(std::move(one));
        }
      }
    };
    text("caption", rank.Def.Caption);
    if (const toml::node* n = t.get("enabled")) {
      if (!n->is_boolean())
        Fault(*n, entry, "enabled must be true or false");
      else
        rank.Def.Enabled = n->as_boolean()->get();
    }
    const std::vector<std::string> placeholders = {kRankKeyword, kRankPage, kRankOffset,
                                                   kRankFirst};
    if (const toml::node* n = t.get("url")) {
      if (CheckUrl(*n, entry, "url", placeholders)) {
        const std::string url = Text(*n);
        if (url.find(kRankKeyword) == std::string::npos)
          Fault(*n, entry, "a rank url needs {keyword}");
        else if (url.find(kRankPage) == std::string::npos &&
                 url.find(kRankOffset) == std::string::npos &&
                 url.find(kRankFirst) == std::string::npos)
          Fault(*n, entry, "a rank url needs {page}, {offset} or {offset+1} to turn the page");
        else
          rank.Def.Url = url;
      }
    }
    if (const toml::node* n = t.get("first_visit")) {
      if (CheckUrl(*n, entry, "first_visit")) rank.Def.FirstVisit = Text(*n);
    }
    std::vector<THeader> headers = default_headers_;
    if (base != base_.Ranks.end() && default_headers_.empty()) headers = base->Headers;
    if (const toml::node* n = t.get("headers")) ReadHeaders(*n, entry, headers);
    for (THeader& h : headers) h.Value = GbkToUtf8(h.Value);  // ReadHeaders gives GBK
    rank.Def.Headers = std::move(headers);
    if (const toml::node* n = t.get("per_page")) {
      const auto* count = n->as_integer();
      if (count == nullptr || count->get() < 1 || count->get() > kMaxRankPerPage)
        Fault(*n, entry, "per_page takes the results of a full page, 1 to 100");
      else
        rank.Def.PerPage = static_cast<int>(count->get());
    }
    if (const toml::node* n = t.get("result")) xpath(*n, rank.Def.Result);
    xpaths("landing", rank.Def.Landing, false);
    xpaths("skip", rank.Def.Skip, false);
    xpaths("blocked_nodes", rank.Def.BlockedNodes, false);
    xpaths("blocked_markers", rank.Def.BlockedMarkers, true);
    if (const toml::node* n = t.get("decode")) {
      const toml::array* pair = n->as_array();
      if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string() ||
          !(*pair)[1].is_string() || Text((*pair)[0]).empty()) {
        Fault(*n, entry,
              "decode takes the redirect's parameter and the prefix before its base64url "
              "text: decode = ['u', 'a1']");
      } else {
        rank.Def.DecodeParam = Text((*pair)[0]);
        rank.Def.DecodePrefix = Text((*pair)[1]);
      }
    }
    const std::pair<const char*, bool> needed[] = {{"url", !rank.Def.Url.empty()},
                                                   {"result", !rank.Def.Result.empty()},
                                                   {"landing", !rank.Def.Landing.empty()}};
    for (const auto& [key, has] : needed) {
      if (!has && t.get(key) == nullptr) Fault(t, entry, "rank \"" + name + "\" has no " + key);
    }
    rank.Faulty = entry.Faulty;
    return rank;
  }

  // A field defined twice is used from neither entry.
  void MarkDuplicates(std::vector<TEntry>& entries) {
    std::map<std::string, size_t> first;
    for (size_t i = 0; i < entries.size(); ++i) {
      TEntry& e = entries[i];
      if (e.Name.empty()) continue;
      auto [it, fresh] = first.emplace(e.Name, i);
      if (fresh) continue;
      TEntry& earlier = entries[it->second];
      Problems.push_back(TServiceProblem{file_, e.Line, 1, e.Name,
                                         "field \"" + e.Name +
                                             "\" is defined twice (first on line " +
                                             std::to_string(earlier.Line) + ")"});
      e.Faulty = earlier.Faulty = true;
    }
  }
};

}  // namespace

std::string TServiceProblem::Text() const {
  if (Line <= 0) return File + ": " + Message;
  return File + ":" + std::to_string(Line) + ":" + std::to_string(Column) + ": " + Message;
}

std::string_view BuiltInServicesText() { return BuiltInServicesText(kClassicSet); }

std::string_view BuiltInServicesText(const std::string& set) {
  if (set == kCurrentSet) {
    return std::string_view(reinterpret_cast<const char*>(kBuiltInServicesCurrent),
                            sizeof kBuiltInServicesCurrent);
  }
  if (set == kClassicSet) {
    return std::string_view(reinterpret_cast<const char*>(kBuiltInServices),
                            sizeof kBuiltInServices);
  }
  return {};
}

const TServiceTable& BuiltInServiceTable() { return *BuiltInServiceSet(kClassicSet); }

const TServiceTable* BuiltInServiceSet(const std::string& set) {
  // Each read once and never destroyed: workers may still read them while the program exits.
  // The files are checked by the tests; should a broken one ever ship, what it does define is
  // used and the problems are said once.
  auto read = [](const char* name) {
    const std::string file = std::string(name) + " (built in)";
    TServiceLoad load = ParseServices(BuiltInServicesText(name), file, TServiceTable{});
    for (const TServiceProblem& p : load.Problems) std::fprintf(stderr, "%s\n", p.Text().c_str());
    auto* table = new TServiceTable(*load.Table);
    table->Name = name;
    return table;
  };
  if (set == kClassicSet) {
    static const TServiceTable* classic = read(kClassicSet);
    return classic;
  }
  if (set == kCurrentSet) {
    static const TServiceTable* current = read(kCurrentSet);
    return current;
  }
  return nullptr;
}

TServiceLoad ParseServices(std::string_view text, const std::string& file,
                           const TServiceTable& base) {
  TServiceLoad load;
  TReader reader(file, base);
  std::vector<TEntry> entries;
  std::vector<TRankEntry> ranks;
  // A character of the block the parser's blind spots are moved to refuses the file.
  int line = 1, column = 1;
  for (size_t i = 0; i < text.size(); ++column) {
    const size_t start = i;
    const long cp = DecodeUtf8(text, i);
    if (cp >= static_cast<long>(kMovedTo) && cp < static_cast<long>(kMovedTo + kMovedCount)) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%lX", cp);
      reader.Problems.push_back(TServiceProblem{file, line, column, "",
                                                std::string("the private-use character ") + code +
                                                    " is not allowed in a definitions file"});
      load.FileUsed = false;
      break;
    }
    if (text[start] == '\n') ++line, column = 0;
  }
  const TServiceTable* over = &base;
  if (load.FileUsed) {
    try {
      const toml::table root = toml::parse(MoveCharacters(text, Moved), file);
      // base = "current" lays the file over that built-in set instead.
      if (const toml::node* n = root.get("base")) {
        const TServiceTable* named = n->is_string() ? BuiltInServiceSet(Text(*n)) : nullptr;
        if (named == nullptr) {
          reader.Fault(n->source(), "", "base names a built-in set: \"classic\" or \"current\"");
        } else if (base.Requests.empty()) {
          reader.Fault(n->source(), "", "a built-in set has no base");
        } else {
          over = named;
        }
      }
      TReader fields(file, *over);
      entries = fields.Read(root);
      ranks = std::move(fields.Ranks);
      reader.Problems.insert(reader.Problems.end(), fields.Problems.begin(), fields.Problems.end());
    } catch (const toml::parse_error& e) {
      reader.Fault(e.source(), "", "not a valid TOML file: " + Text(e.description()));
      load.FileUsed = false;
    }
  }
  auto table = std::make_shared<TServiceTable>(*over);
  for (TRankEntry& rank : ranks) {
    if (rank.Faulty) continue;
    auto at = std::find_if(table->Ranks.begin(), table->Ranks.end(),
                           [&](const TRankDef& d) { return d.Engine == rank.Def.Engine; });
    if (at != table->Ranks.end())
      *at = std::move(rank.Def);
    else
      table->Ranks.push_back(std::move(rank.Def));
  }
  for (TEntry& entry : entries) {
    if (entry.Faulty) continue;
    auto at = std::find_if(table->Requests.begin(), table->Requests.end(),
                           [&](const TRequestDef& d) { return d.Field == entry.Name; });
    if (at != table->Requests.end())
      *at = std::move(entry.Def);
    else
      table->Requests.push_back(std::move(entry.Def));
  }
  std::stable_sort(reader.Problems.begin(), reader.Problems.end(),
                   [](const TServiceProblem& a, const TServiceProblem& b) {
                     return std::tie(a.Line, a.Column) < std::tie(b.Line, b.Column);
                   });
  load.Problems = std::move(reader.Problems);
  load.Table = std::move(table);
  return load;
}

TServiceLoad LoadServicesToUse(const std::string& requested) {
  const TServiceTable* named = BuiltInServiceSet(requested);
  const std::string path = named != nullptr ? "" : ServicesFileToUse(requested);
  if (!path.empty()) return LoadServicesFile(path);
  TServiceLoad load;
  // The built-in tables live as long as the program: shared without an owner.
  load.Table = std::shared_ptr<const TServiceTable>(
      std::shared_ptr<void>(), named != nullptr ? named : &BuiltInServiceTable());
  return load;
}

TServiceLoad LoadServicesFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string failure;
  std::string text;
  struct stat st;
  if (!in) {
    failure = std::string("cannot read the file: ") + std::strerror(errno);
  } else if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    failure = "a folder, not a definitions file";
  } else {
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) {
      failure = "cannot read the file";
    } else if (size > kMaxFileBytes) {
      failure = "the file is larger than 1 MiB: not a definitions file";
    } else {
      text.resize(static_cast<size_t>(size));
      if (!in.read(text.data(), size)) failure = "cannot read the file";
    }
  }
  if (!failure.empty()) {
    TServiceLoad load;
    load.Table = std::make_shared<TServiceTable>(BuiltInServiceTable());
    load.Problems.push_back(TServiceProblem{path, 0, 0, "", failure});
    load.FileUsed = false;
    return load;
  }
  return ParseServices(text, path, BuiltInServiceTable());
}

std::string UserServicesPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/velmora/services.toml";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0')
    return std::string(home) + "/.config/velmora/services.toml";
  return "";
}

std::string ServicesFileToUse(const std::string& requested) {
  if (!requested.empty()) return requested;
  const std::string user = UserServicesPath();
  struct stat st;
  if (!user.empty() && ::stat(user.c_str(), &st) == 0) return user;
  return "";
}

std::string ProblemsReport(const TServiceLoad& load) {
  if (load.Problems.empty()) return "";
  std::vector<std::string> fields;
  for (const TServiceProblem& p : load.Problems) {
    if (!p.Field.empty() && std::find(fields.begin(), fields.end(), p.Field) == fields.end()) {
      fields.push_back(p.Field);
    }
  }
  std::string out = "服务定义文件有误：" + load.Problems.front().File + "\n";
  if (!load.FileUsed) {
    out += "整个文件未被采用，所有字段使用内置定义。\n";
  } else if (!fields.empty()) {
    out += "以下字段使用内置定义：";
    for (size_t i = 0; i < fields.size(); ++i) out += (i ? ", " : "") + fields[i];
    out += "\n";
  }
  for (const TServiceProblem& p : load.Problems) out += p.Text() + "\n";
  return out;
}

std::string TomlParserText(std::string_view text) { return MoveCharacters(text, Moved); }

std::string TomlFileText(std::string_view parsed) { return MoveCharacters(parsed, MovedBack); }
