// The checks of a check-up, one function each (each in a file of its own). Each takes what it
// needs already fetched, or a fetch to ask for more, and never raises.
#pragma once

#include <functional>

#include "audit/AuditPage.h"
#include "audit/AuditReport.h"
#include "audit/Sitemap.h"
#include "audit/SiteAudit.h"
#include "transport/NetDeadline.h"

// http://SITE/ without following redirects, then hop by hop up to 10.
TAuditResult CheckHttps(const TAuditTarget& target, const TAuditFetch& fetch);
// `home`: https://SITE/ as fetched.
TAuditResult CheckCertificate(const TAuditPage& home);
TAuditResult CheckHsts(const TAuditPage& home);
// `robots`: /robots.txt as fetched.
TAuditResult CheckRobots(const TAuditPage& robots);
// One fetched file read as a sitemap (a urlset's page URLs handed to on_url as they are read),
// gzip undone as it is read.
TSitemap ReadFetchedSitemap(const TAuditPage& page, const TSitemapUrlVisit& on_url = {});
// The sitemaps robots.txt names, else /sitemap.xml.
TAuditResult CheckSitemap(const TAuditTarget& target, const TAuditPage& robots,
                          const TAuditFetch& fetch);
// `home`: the home page as fetched (compressed or not); its reading ends at `deadline` or when
// `stopped` says so, and the result says it was cut short.
TAuditResult CheckHead(const TAuditPage& home, const TNetDeadline& deadline = TNetDeadline::Never(),
                       const std::function<bool()>& stopped = {});
TAuditResult CheckCompression(const TAuditPage& home);
// `first`: the home page on a fresh connection; three more on a warm one through fetch.
TAuditResult CheckSpeed(const TAuditPage& first, const TAuditFetch& fetch);
TAuditResult CheckAddresses(const TAuditTarget& target, const TNetDeadline& deadline);

// https://SITE/ and http://SITE/ (the port when it is not the scheme's own).
std::string AuditHomeUrl(const TAuditTarget& target);
std::string AuditHttpUrl(const TAuditTarget& target);
// `reference` (a Location, a sitemap location) resolved against `base` as browsers resolve it;
// as written when it is no http(s) URL, for the caller to report.
std::string AuditResolveUrl(const std::string& base, const std::string& reference);
