// Web sites on loopback for the site check-up: each site is a host name (answered by a DNS
// stand-in) with an http and an https server on ports of their own, certificates from the test
// authority (trusted through SSL_CERT_FILE, as Pki() sets it), and pages made to exercise every
// check:
// - "good.test" passes everything: one 301 to https, a certificate for its name valid 90 days,
//   HSTS for two years with includeSubDomains and preload, a robots.txt naming a small sitemap,
//   a home page with a proper head, served gzip when asked;
// - "bad.test" fails what it can: an expired certificate, no HSTS, a redirect loop on http,
//   robots.txt with "Disallow: /" for everyone naming a gzip sitemap index of three gzip files
//   of 120,000 URLs in all (60,000 in the first), a 3 MiB home page with two <h1> and
//   "X-Robots-Tag: noindex", never compressed;
// - "hostile.test" is good but for its limits: a robots.txt of 10 MB (chunked), a sitemap index
//   that names itself and a gzip sitemap that inflates past 50 MiB (comments in a urlset);
// - "silent.test" accepts connections on both ports and never says a word;
// - hostile sites, each a good one but for the faults it plays: "deep.test" (a home page nested
//   100,000 deep, a 3 MiB robots.txt with a length, sitemap children redirecting to one read,
//   HSTS with max-age twice), "large.test" (a 12 MiB home page and a 60 MiB sitemap with a
//   length), "broken.test" (https home page answers 500), "back.test" (https moves back to http,
//   which sends HSTS).
// More good-like sites ("good-N.test") are made on request, for measuring many check-ups.
//
// Thread-safety: the servers serve any number of clients at once; the set is built and torn
// down by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audit/AuditReport.h"
#include "support/DnsStandIn.h"

// One answer of a stand-in server.
struct StandInAnswer {
  std::string status = "HTTP/1.1 200 OK";
  std::vector<std::string> headers;  // "Name: value", besides the framing
  std::string body;
  std::string gzip_body;  // when not empty: sent instead with Content-Encoding: gzip if asked
  bool chunked = false;   // framed by chunks instead of Content-Length
};

// What a server is asked: the path and whether the client takes gzip.
struct StandInAsk {
  std::string path;
  bool accepts_gzip = false;
};

class StandInWebServer;

struct AuditStandInSite {
  std::string host;
  int http_port = 0;
  int https_port = 0;
  std::string HomeUrl() const { return "https://" + host + ":" + std::to_string(https_port) + "/"; }
  std::unique_ptr<StandInWebServer> http;
  std::unique_ptr<StandInWebServer> https;

  AuditStandInSite();
  ~AuditStandInSite();
  AuditStandInSite(AuditStandInSite&&) noexcept;
};

class AuditStandIns {
 public:
  // Starts the DNS stand-in and the four sites. SetNetNameServers(Dns().Server()) is the
  // caller's (the support library knows no network layer).
  AuditStandIns();
  ~AuditStandIns();

  DnsStandIn& Dns() { return dns_; }
  const AuditStandInSite& Good() const { return *good_; }
  const AuditStandInSite& Bad() const { return *bad_; }
  const AuditStandInSite& Hostile() const { return *hostile_; }
  const AuditStandInSite& Silent() const { return *silent_; }
  // "good", "bad", "hostile", "silent", "deep", "large", "broken" or "back".
  const AuditStandInSite& Site(const std::string& name) const;
  // `count` more sites like Good, named "good-1.test", "good-2.test", ...
  std::vector<const AuditStandInSite*> MoreGood(int count);

 private:
  std::unique_ptr<AuditStandInSite> MakeGood(const std::string& host);
  void MakeHostile();

  DnsStandIn dns_;
  std::unique_ptr<AuditStandInSite> good_, bad_, hostile_, silent_, deep_, large_, broken_, back_;
  std::vector<std::unique_ptr<AuditStandInSite>> more_;
};

// The good home page's HTML for `host` and `port` (> 1.4 KiB, a head that passes every rule).
std::string GoodHomePage(const std::string& host, int https_port);

// What a check-up finds on each stand-in site: a row per site (as Site names them) and check, the
// marks it may give and a telling part of its value or reason ("" for none). The check-up's own
// tests, its dialog's and velmora-query --audit's read the one table.
struct AuditStandInRow {
  const char* Site;
  TAuditCheck Check;
  std::vector<TAuditMark> Marks;  // any of these
  const char* Text;
};
const std::vector<AuditStandInRow>& AuditStandInRows();
