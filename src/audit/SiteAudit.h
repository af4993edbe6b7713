// Checking up on a site: every check of TAuditCheck run against the site itself, through a fetch
// session of the check-up's own, at most MaxParallel requests to the site at once and the
// politeness delay between requests to one host. The whole check-up ends within the fetch
// time-out plus a little; a check that cannot run says so (TAuditMark::Unable) with the reason.
//
// Thread-safety: RunAudit may run on any number of threads at once (one site each).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "audit/AuditReport.h"
#include "http/NetFetchSession.h"

// Which site to check, and where its servers listen.
struct TAuditTarget {
  std::string Host;   // ASCII, as requests carry it (an IDN in its xn-- form, [v6] in brackets)
  std::string Shown;  // UTF-8, as the user typed it (the report's Site)
  int HttpPort = 80;  // the ports of the site's http and https servers (stand-ins use others)
  int HttpsPort = 443;
};

struct TAuditOptions {
  int TimeoutMs = 20000;  // each connect and read, as the queries' --timeout
  TProxySettings Proxies;
  // Spaces the requests to each host; null: the check-up's own, kAuditPolitenessMs apart.
  std::shared_ptr<TRequestPacing> Pacing;
  std::function<bool()> Stopped;  // true: end the check-up; the checks not done are Unable
  std::string UserAgent;          // "": the program's own
  int MaxParallel = 4;            // requests to the site at once
};

// The delay between two requests to one host when the caller gives no pacing.
inline constexpr int kAuditPolitenessMs = 250;

// Never raises: every check's trouble is in its result.
TAuditReport RunAudit(const TAuditTarget& target, const TAuditOptions& options);
