// The requests a query makes and how each value is cut out of its answer page, as plain data.
//
// A query runs eleven jobs; each job sends its requests in the table's order, one request per
// result field (job 10 also fetches the thumbnail). A request names its URL as a template, its
// fetch mode, and one or more step lists: the first list is tried first, each further list is a
// fallback tried when the lists before it found nothing; the first that finds a value wins.
//
// Plain value types: copy freely, share read-only between threads. Texts are GBK bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "services/ServiceHosts.h"

// What one step does to the text it is given.
enum class TStepKind {
  Between,      // the bytes between the first A and the next B after it
  BetweenSite,  // as Between with start A + site name + B and end C
  Remove,       // every occurrence of A removed, letter case ignored
  DigitsOnly,   // the text when its trimmed bytes are only digits and commas
  Rule,         // the first group of extraction rule A (see RulePattern)
  Append,       // A appended to the value found
  Json,         // the member at JSON Pointer A of the JSON text; nothing for a missing one or null
  Newest,       // the element of the array at JSON Pointer A whose member at B sorts last
  Date,         // the time stamp read by format A ("%Y%m%d..."), given as YYYY-MM-DD
};

struct TStep {
  TStepKind Kind = TStepKind::Between;
  std::string A{}, B{}, C{};
  bool operator==(const TStep&) const = default;
};
using TStepList = std::vector<TStep>;

// The jobs of one query, numbered 0 .. kQueryJobCount - 1.
inline constexpr int kQueryJobCount = 11;

// How a page's bytes become the query's GBK text. The numbers are the ones definitions files
// write (`mode = 4`) and never change; the files take Raw, Utf8 and Declared. The thumbnail
// request is a picture request and has no mode.
enum class TFetchMode {
  Raw = 0,       // the bytes as they come
  Utf8 = 1,      // UTF-8, converted to GBK
  Big5 = 2,      // Big5, converted to GB2312
  Declared = 4,  // as the page's own charset declaration says: Utf8, Big5 or Raw
};

// A request header a field sends ("User-Agent", "Accept-Language", ...).
struct THeader {
  std::string Name, Value;  // Value may hold "{key}"
  bool operator==(const THeader&) const = default;
};

// TRequestDef::Retired of a service known to have closed, but not when (`retired = true`).
inline constexpr const char* kRetiredWhenUnknown = "?";

struct TRequestDef {
  int Job = 0;                     // 0 .. kQueryJobCount - 1
  std::string Field;               // result field name ("Site1", "WebTitle", ...); "Image1" is the thumbnail
  std::string Url;                 // template: "{site}" and "{HostName}" (a TServiceHosts entry)
  TFetchMode Mode = TFetchMode::Raw;
  std::vector<TStepList> Rules;    // the steps, then the fallbacks; empty for the thumbnail
  bool Enabled = true;             // false: no request is made, the field shows it is off
  std::string Caption{};           // the caption cell naming the field's service; "": the window's
  std::vector<THeader> Headers{};  // sent with the request (the set's defaults merged in)
  std::string FirstVisit{};        // URL template fetched first; the request carries its cookies
  // When the service closed, "YYYY-MM" or "YYYY", or kRetiredWhenUnknown: nothing is sent.
  std::string Retired{};
  std::string NoMatchNote{};  // why an answer without the value has none ("不在前一百万")
  std::string KeyEnv{};       // the environment variable holding "{key}"; "": no key
  std::vector<std::string> BlockedMarkers{};  // texts of the service's own verification page
  int AgainAfterMs = 0;  // thumbnail: ask again this often while no JPEG comes (0: never)
  bool operator==(const TRequestDef&) const = default;
};

// How one search engine's result pages are asked for and read, to find where a site stands for
// a keyword: the `[[rank]]` entries of a definitions file, as plain data beside the fields.
//
// A result page is read with an HTML parser and XPath (src/rank): the organic results are the
// nodes `Result` selects, in document order, less those that are, lie inside or hold a node one
// of `Skip` selects (ads, related searches, cards without a real URL). A result's landing URL is
// the first of `Landing` (XPaths relative to the result) that gives a text; a link through the
// engine's own redirect that carries the target base64url-coded (DecodeParam) is decoded.
//
// Its texts are UTF-8, as the file has them (the XPaths and the pages they read are UTF-8).
//
// The placeholders of a rank URL template besides the hosts: the keyword (percent-encoded
// UTF-8), the 1-based page number, the 0-based offset of the page's first result, and that
// offset plus one.
inline constexpr const char* kRankKeyword = "{keyword}";
inline constexpr const char* kRankPage = "{page}";
inline constexpr const char* kRankOffset = "{offset}";
inline constexpr const char* kRankFirst = "{offset+1}";
// The most organic results a definition may say one page holds.
inline constexpr int kMaxRankPerPage = 100;

struct TRankDef {
  std::string Engine;   // the name runs ask for it by: "baidu", "360", "sogou", "bing"
  std::string Caption;  // how it is shown ("百度"); "": Engine
  std::string Url;      // template: the placeholders above and "{Baidu}"-style hosts
  std::vector<THeader> Headers{};  // sent with every page (the set's defaults merged in)
  std::string FirstVisit{};        // URL template fetched once before the first page; "": none
  int PerPage = 10;                // organic results a full page holds, 1..100
  std::string Result;              // XPath of one organic result
  std::vector<std::string> Landing;  // XPaths relative to a result, tried in order
  std::vector<std::string> Skip{};   // XPaths of blocks never counted
  // The query parameter of a redirect link that carries the landing URL base64url-coded, and
  // the kind prefix written before the coding ("u", "a1"); empty: links are taken as they are.
  std::string DecodeParam{}, DecodePrefix{};
  // Texts of the engine's verification page, in the page or the URL it ended at (case ignored).
  std::vector<std::string> BlockedMarkers{};
  std::vector<std::string> BlockedNodes{};  // XPaths: a page with any such node is blocked
  bool Enabled = true;
  bool operator==(const TRankDef&) const = default;

  const std::string& Shown() const { return Caption.empty() ? Engine : Caption; }
};

// Every request of a query, jobs in ascending order, each job's requests in the order it sends
// them.
struct TServiceTable {
  // The built-in set the table is ("classic", "current"), or the one its file lays over.
  std::string Name = "classic";
  std::vector<TRequestDef> Requests;
  std::vector<TRankDef> Ranks{};  // how each engine's result pages are read, in the file's order
  bool operator==(const TServiceTable&) const = default;
};


// The regular expression an extraction rule stands for: trailing CR LF pairs dropped, then every
// "[velmora]" (letter case ignored) becomes "(.*?)", every "(*)" ".*?" and every "[参数]" (GBK)
// "(.*?)". Empty for a rule that is empty or only CR LF pairs. GBK in, GBK out.
std::string RulePattern(const std::string& rule);

// The request URL for `site`: "{site}" becomes the site name, percent-encoded (QueryText) where
// it stands in the query, as it stands elsewhere, "{Name}" the host of that name in `hosts`, and
// the time placeholders ("{now}", "{day_ago}", ...) the Unix seconds they name.
// Raises Exception on a placeholder that names no host or is not closed.
std::string ExpandUrl(const std::string& url_template, const std::string& site,
                      const TServiceHosts& hosts);
// How far back a time placeholder of a URL reaches, in seconds: "now" 0, "day_ago" a day,
// "month_ago" 30 days, "year_ago" 365 days; -1 for any other name.
int64_t TimePlaceholderSeconds(const std::string& name);
// `text` with every "{key}" replaced by `key`, percent-encoded (QueryText) when `in_url`.
std::string WithKey(const std::string& text, const std::string& key, bool in_url);
// `text` for a URL's query: every byte but letters, digits, "-._~:@/?" as %XX.
std::string QueryText(const std::string& text);
