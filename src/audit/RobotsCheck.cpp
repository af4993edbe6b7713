// The robots.txt check. What crawlers do with the answer decides the mark (RFC 9309, 2.3.1):
//   no answer at all            Unable: nobody can tell what crawlers would get
//   4xx (404, 410, 403...)      Pass with a note: crawlers take the file as absent and crawl all
//   5xx                         Fail: crawlers take the whole site as disallowed
//   any other non-2xx           Unable: redirects the fetch did not end, or a stray status
//   2xx                         read as crawlers read it: Fail on "Disallow: /" for every crawler,
//                               Warn when longer than the kRobotsMaxBytes crawlers read (the
//                               rules past it are lost); its Sitemap lines in Details.
#include <string>
#include <vector>

#include "audit/AuditChecks.h"
#include "audit/AuditFindings.h"
#include "audit/AuditFormat.h"
#include "audit/RobotsTxt.h"

TAuditResult CheckRobots(const TAuditPage& robots) {
  TAuditResult result;
  result.Check = TAuditCheck::Robots;
  result.Url = robots.FinalUrl.empty() ? robots.Url : robots.FinalUrl;
  for (const std::string& hop : robots.Redirects) result.Details.push_back("跳转到 " + hop);
  if (!robots.Answered) {
    result.Mark = TAuditMark::Unable;
    result.Reason = "取不到 robots.txt：" + robots.Failure;
    AuditAddDetailLines(result, robots.Detail);
    return result;
  }
  const std::string status = "HTTP " + std::to_string(robots.Status);
  result.Value = status;
  if (robots.Status >= 500) {
    result.Mark = TAuditMark::Fail;
    result.Reason = "robots.txt 返回 " + status + "，爬虫会把整个站点当作禁止抓取";
    return result;
  }
  if (robots.Status >= 400) {
    result.Mark = TAuditMark::Pass;
    result.Reason = "没有 robots.txt（" + status + "），爬虫可以抓取全部页面";
    return result;
  }
  if (robots.Status < 200 || robots.Status >= 300) {
    result.Mark = TAuditMark::Unable;
    result.Reason = "robots.txt 的回答是 " + status + "，不是文件本身";
    return result;
  }

  const TRobotsTxt parsed = TRobotsTxt::Parse(robots.Body);
  const int64_t size = static_cast<int64_t>(robots.Body.size());
  const std::string size_text =
      robots.BodyCut ? "超过 " + AuditBytesText(size) : AuditBytesText(size);
  result.Value += " · " + size_text;
  if (!parsed.Sitemaps().empty()) {
    result.Value += " · " + std::to_string(parsed.Sitemaps().size()) + " 个 Sitemap";
  }
  for (const std::string& sitemap : parsed.Sitemaps())
    result.Details.push_back("Sitemap: " + sitemap);
  result.Details.push_back(std::string(kRobotsDigestLabel) + RobotsRulesDigest(robots.Body));
  if (parsed.DisallowsAllForEveryone() && parsed.AdmittedAgents().empty())
    result.Details.push_back(std::string(kRobotsShutsEveryone));

  TAuditFindings findings;
  if (parsed.DisallowsAllForEveryone()) {
    // The first few crawlers still admitted by name, then how many in all.
    const std::vector<std::string>& agents = parsed.AdmittedAgents();
    std::string admitted;
    for (std::size_t i = 0; i < agents.size() && i < 3; ++i) {
      admitted += (i == 0 ? "" : "、") + agents[i];
    }
    if (agents.size() > 3) admitted += " 等 " + std::to_string(agents.size()) + " 个";
    findings.Add(TAuditMark::Fail,
                 admitted.empty()
                     ? "User-agent: * 下禁止了全站，所有爬虫都不能抓取全站"
                     : "User-agent: * 下禁止了全站，除 " + admitted + " 外的爬虫都不能抓取全站");
  }
  if (parsed.Truncated() || robots.BodyCut) {
    findings.Add(TAuditMark::Warn, std::string(robots.BodyCut ? "robots.txt " : "robots.txt 有 ") +
                                       size_text + "，爬虫只读前 " +
                                       AuditBytesText(kRobotsMaxBytes) + "，其后的规则不起作用");
  }
  findings.Finish(result, "robots.txt 可读，没有挡住全站");
  return result;
}
