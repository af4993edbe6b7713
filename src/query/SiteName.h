// What the user typed as a site, read as a site name: the one reading of the window and the
// command line alike.
//
// Pure functions: safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A site name as a query takes it from what the user typed (UTF-8), for the window and the
// command line alike: blanks and a byte-order mark around it, any "scheme://" before it, a path
// after it and a trailing dot dropped; then a host name, an IPv4 address or a bracketed IPv6
// address, with ":port" (1-65535) or without. An internationalised name is asked for in its
// ASCII form (IDNA 2008 as UTS 46 maps it) and shown as typed; one whose label mixes Latin,
// Greek or Cyrillic letters ("аpple.com" with a Cyrillic "а") is shown with its ASCII form beside
// it, and that shown form reads back as the same name.
struct TSiteName {
  std::string Shown;    // UTF-8: the name as the user sees it ("straße.de:8080",
                        // "аpple.com (xn--pple-43d.com)")
  std::string Request;  // ASCII: the name requests carry ("xn--strae-oqa.de:8080")
  std::string Site;     // GBK: the name of the run and its history (Shown, or Request where
                        // GBK cannot write Shown)
  std::string Problem;  // UTF-8: why the text is not a site name; "" when it is one
};
TSiteName ParseSiteName(const std::string& typed);
// The run's name (TSiteName::Site) for a GBK text; "" when it is no site name.
std::string NormaliseSiteName(const std::string& typed);
inline constexpr size_t kMinSiteNameBytes = 3;

// Every name the runs of a site may be stored under (UTF-8), for a lookup in the history: the
// site as ParseSiteName reads `typed` (UTF-8), its ASCII form and that form's Unicode reading,
// each once; `typed` alone when it is no site name. Different spellings of one site
// ("BÜCHER.test", "bücher.test", "xn--bcher-kva.test") share a name of their sets, letter case
// aside.
std::vector<std::string> SiteSpellings(const std::string& typed);
// What tells sites apart (ASCII, lower case): the name requests carry for a run's name (GBK), or
// the name itself in lower case when it is no site name.
std::string SiteKey(const std::string& site);
