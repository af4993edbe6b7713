// The site's A and AAAA records.
#include "audit/AuditChecks.h"
#include "audit/AuditFetch.h"
#include "audit/AuditFormat.h"
#include "transport/NetResolver.h"

TAuditResult CheckAddresses(const TAuditTarget& target, const TNetDeadline& deadline) {
  TAuditResult result = AuditResultFor(TAuditCheck::Addresses, "dns:" + target.Host);
  std::vector<std::string> v4, v6;
  try {
    for (const std::string& address : NetResolveHost(target.Host, deadline, nfBoth)) {
      (address.find(':') == std::string::npos ? v4 : v6).push_back(address);
    }
  } catch (...) {
    std::string detail;
    const std::string word = AuditFailureWord(detail);
    if (!detail.empty()) result.Details.push_back(detail);
    // A name that does not exist, or has no address, is what the site's DNS says; anything
    // else kept the lookup from finishing.
    if (word == "找不到主机") {
      AuditMark(result, TAuditMark::Fail, "无地址", "域名没有 A 或 AAAA 记录");
    } else {
      AuditMark(result, TAuditMark::Unable, "", "无法查询：" + word);
    }
    return result;
  }
  for (const std::string& a : v4) result.Details.push_back("A " + a);
  for (const std::string& a : v6) result.Details.push_back("AAAA " + a);
  const std::string value =
      "A " + std::to_string(v4.size()) + " · AAAA " + std::to_string(v6.size());
  AuditMark(result, TAuditMark::Pass, value,
            v6.empty()   ? "只有 IPv4 地址，没有 IPv6 地址（AAAA）"
            : v4.empty() ? "只有 IPv6 地址，没有 IPv4 地址（A）"
                         : "IPv4 与 IPv6 地址都有");
  return result;
}
