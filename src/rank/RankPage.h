// Reading one engine's result page: the organic results in order with their landing URLs, and
// whether the page is the engine's verification page instead, as the engine's [[rank]]
// definition (TRankDef) describes them. The page is parsed by libxml2's HTML parser and read
// with XPath, never with patterns over the text, so attribute order, quoting and line breaks do
// not matter.
//
// Limits: the page is what the fetch took (8 MiB at most); the parser builds its tree in memory
// (a few times the page) and the XPaths are evaluated once per page and once per result. Texts
// in and out are UTF-8.
//
// Pure functions of their arguments: safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "services/ServiceTable.h"

// One organic result of a page.
struct TRankResult {
  std::string Url;   // the landing URL (decoded from the engine's redirect where it can be)
  std::string Host;  // its host in lower case, without port; "" when Url names none
};

struct TRankPageReading {
  bool Blocked = false;              // the engine's verification page: no results are read
  std::vector<TRankResult> Results;  // the organic results, in page order
  int Skipped = 0;                   // results the definition selected but never counts
  std::string Problem;  // why nothing could be read (not HTML, an XPath libxml2 refused); ""
};

// Reads `page`, the body of an answer that ended at `final_url` (Content-Type `content_type`;
// the charset a browser would find, else UTF-8).
TRankPageReading ReadRankPage(const TRankDef& def, std::string_view page,
                              const std::string& final_url, std::string_view content_type = {});

// `url` decoded from the engine's redirect: when the definition names a redirect parameter and
// `url` has it, its value after the prefix, read as base64url (padding optional); else `url`.
std::string DecodedLandingUrl(const std::string& url, const TRankDef& def);
// The host an absolute URL ("https://a.b/..." or "//a.b/...") names, in lower case, without
// user, port or trailing dot; "" for a relative URL or one without a host.
std::string UrlHostName(std::string_view url);
// Whether a result on `host` is the site's: `site` itself or its "www." twin (either way round),
// or with `subdomains` any name under the site's bare name. A port on `site` is ignored; letter
// case too.
bool SiteMatchesHost(const std::string& site, const std::string& host, bool subdomains);
