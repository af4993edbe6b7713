// Stand-ins for the content checks until they are written: each says so and judges nothing.
#include "audit/AuditChecks.h"

namespace {

TAuditResult NotYet(TAuditCheck check, const std::string& url) {
  TAuditResult result;
  result.Check = check;
  result.Url = url;
  result.Reason = "尚未实现";
  return result;
}

}  // namespace

TAuditResult CheckRobots(const TAuditPage& robots) {
  return NotYet(TAuditCheck::Robots, robots.Url);
}

TAuditResult CheckSitemap(const TAuditTarget& target, const TAuditPage& /*robots*/,
                          const TAuditFetch& /*fetch*/) {
  return NotYet(TAuditCheck::Sitemap, AuditHomeUrl(target) + "sitemap.xml");
}

TAuditResult CheckHead(const TAuditPage& home) { return NotYet(TAuditCheck::Head, home.Url); }
