// A small web site on 127.0.0.1 for the crawl, with each rule's fault planted at a known path and
// pages that must stay clean beside them (a 429-then-200 page, a page only VelmoraBot's group of
// robots.txt allows, a fragment link, a calendar whose pages link to the next month for ever,
// links to mailto:/javascript:/tel:), a second server standing for another site, and an external
// link to a port where nothing listens. Changed() makes it the site "a week later": /missing
// answers, /new-missing is linked and missing.
//
// /a carries an ETag and answers 304 to it. Every request the site's server read is kept
// (Requests(), Heads()), to tell a page asked twice.
//
// Thread-safety: the servers answer any number of clients at once.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "support/ScriptedServer.h"

class CrawlStandInSite {
 public:
  CrawlStandInSite();
  ~CrawlStandInSite();

  // "127.0.0.1:PORT", the site name a crawl is given.
  std::string Site() const;
  // "http://127.0.0.1:PORT" + path.
  std::string Url(const std::string& path) const;
  // The other site's URL for path, and the URL where nothing listens.
  std::string OtherUrl(const std::string& path) const;
  std::string DeadUrl() const;

  void Change() { changed_ = true; }
  // The request targets the site's server read, in arrival order ("/a", "/calendar?m=1", ...).
  std::vector<std::string> Requests() const;
  // The request heads the site's server read, whole.
  std::vector<std::string> Heads() const { return site_->Heads(); }

 private:
  void Serve(ScriptedConnection& connection);
  std::string Answer(const std::string& target, const std::string& head);

  std::atomic<bool> changed_{false};
  std::atomic<int> throttle_asked_{0};
  int dead_port_ = 0;
  std::unique_ptr<ScriptedServer> other_;
  std::unique_ptr<ScriptedServer> site_;
};

// What a crawl of the stand-in finds: rule id and the path of the page it is about (the detail
// holds `detail` when it is not empty). Before Change(), and after it.
struct CrawlStandInFinding {
  const char* Rule;
  const char* Path;
  const char* Detail;
};
const std::vector<CrawlStandInFinding>& CrawlStandInFindings();
