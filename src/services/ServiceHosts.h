// The hosts of the outside services the query jobs and the click-to-browse table reach.
//
// The program always uses DefaultServiceHosts(); tests hand the jobs and the window a table
// whose hosts are 127.0.0.1:PORT stand-ins. A host entry is "name" or "name:port", inserted into
// URLs as it stands. Plain value type: copy it freely, share it read-only between threads.
#pragma once

#include <string>
#include <vector>

struct TServiceHosts {
  std::string Baidu;        // web search
  std::string Google;       // search, Hong Kong
  std::string Yahoo;        // China site explorer
  std::string Soso;         // search
  std::string Sogou;        // search (also the Sogou rating)
  std::string Youdao;       // search
  std::string Bing;         // China search
  std::string AlexaSearch;  // Alexa site search (job 10's traffic rank)
  std::string AlexaInfo;    // Alexa China site information (click-to-browse only)
  std::string ChinaRank;    // ChinaRank overview
  std::string Thumbnail;    // site-thumbnail image service
  std::string PageRank;     // the maker's PageRank lookup
  std::string MakerSite;    // the maker's web site: initial site name, the picture's link
  std::string MakerTools;   // the maker's online tool site
  std::string So360;        // 360 search
  std::string Tranco;       // the research traffic-rank list's API
  std::string OpenRank;     // the open PageRank API (needs a key)
  std::string Archive;      // the web archive's capture index
  std::string Mshots;       // today's site-thumbnail service
};

// The production table.
const TServiceHosts& DefaultServiceHosts();

// The names of the entries ("Baidu", ..., "MakerTools"), in the table's order.
const std::vector<std::string>& ServiceHostNames();
// The entry named `name` ("Baidu", "Thumbnail", ... as the members are named); null for any
// other name.
const std::string* FindServiceHost(const TServiceHosts& hosts, const std::string& name);
