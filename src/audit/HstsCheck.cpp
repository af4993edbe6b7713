// Strict-Transport-Security on the home page's https answer.
#include <cctype>
#include <string_view>

#include "audit/AuditChecks.h"
#include "audit/AuditFormat.h"
#include "runtime/StrUtils.h"

namespace {

constexpr int64_t kOneYearSeconds = 31536000;

}  // namespace

TAuditResult CheckHsts(const TAuditPage& home) {
  TAuditResult result = AuditResultFor(TAuditCheck::Hsts, home.Url);
  if (AuditUnanswered(home, result)) return result;
  const std::string header = home.Header("Strict-Transport-Security");
  if (header.empty()) {
    AuditMark(result, TAuditMark::Fail, "无", "https 的回应没有 Strict-Transport-Security");
    return result;
  }
  // Directives separated by ";": max-age=SECONDS (the value may be quoted), includeSubDomains,
  // preload; names in any letter case, unknown ones ignored.
  int64_t max_age = -1;
  bool subdomains = false, preload = false;
  std::string_view rest = header;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    const std::string directive = Trim(rest.substr(0, semi));
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    const size_t eq = directive.find('=');
    const std::string name = LowerCase(Trim(std::string_view(directive).substr(0, eq)));
    if (name == "max-age" && eq != std::string_view::npos) {
      std::string value = Trim(std::string_view(directive).substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      int64_t n = 0;
      bool digits = !value.empty() && value.size() <= 12;
      for (char c : value) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
          digits = false;
        else
          n = n * 10 + (c - '0');
      }
      if (digits) max_age = n;
    } else if (name == "includesubdomains") {
      subdomains = true;
    } else if (name == "preload") {
      preload = true;
    }
  }
  std::string value = max_age >= 0 ? "max-age=" + std::to_string(max_age) : "无 max-age";
  if (subdomains) value += "; includeSubDomains";
  if (preload) value += "; preload";
  result.Details.push_back("Strict-Transport-Security: " + header);
  result.Details.push_back(subdomains ? "包含子域名（includeSubDomains）" : "不包含子域名");
  result.Details.push_back(preload ? "申请了预加载（preload）" : "没有申请预加载");
  if (max_age <= 0) {
    AuditMark(result, TAuditMark::Fail, value, "max-age 缺失或为 0，浏览器不会记住 https");
  } else if (max_age < kOneYearSeconds) {
    AuditMark(result, TAuditMark::Warn, value, "max-age 不到一年（31536000 秒）");
  } else {
    AuditMark(result, TAuditMark::Pass, value, "max-age 至少一年");
  }
  return result;
}
