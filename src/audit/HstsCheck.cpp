// Strict-Transport-Security on the home page's https answer.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>
#include <vector>

#include "audit/AuditChecks.h"
#include "audit/AuditFormat.h"
#include "http/NetURI.h"
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
  // preload; names in any letter case, unknown ones ignored. A directive given twice makes the
  // whole header invalid (RFC 6797, 6.1), and browsers then ignore it. A max-age too large to
  // hold is the largest there is, not a missing one.
  int64_t max_age = -1;
  std::string max_age_text;  // the digits as written
  bool subdomains = false, preload = false;
  std::vector<std::string> names;
  std::string repeated;
  std::string_view rest = header;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    const std::string directive = Trim(rest.substr(0, semi));
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    const size_t eq = directive.find('=');
    const std::string name = LowerCase(Trim(std::string_view(directive).substr(0, eq)));
    if (name.empty()) continue;
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      if (repeated.empty()) repeated = name;
      continue;
    }
    names.push_back(name);
    if (name == "max-age" && eq != std::string_view::npos) {
      std::string value = Trim(std::string_view(directive).substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      int64_t n = 0;
      bool digits = !value.empty();
      for (char c : value) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
          digits = false;
        } else {
          n = n > (INT64_MAX - 9) / 10 ? INT64_MAX : n * 10 + (c - '0');
        }
      }
      if (digits) {
        max_age = n;
        max_age_text = value;
      }
    } else if (name == "includesubdomains") {
      subdomains = true;
    } else if (name == "preload") {
      preload = true;
    }
  }
  std::string value = max_age >= 0 ? "max-age=" + max_age_text : "无 max-age";
  if (subdomains) value += "; includeSubDomains";
  if (preload) value += "; preload";
  result.Details.push_back("Strict-Transport-Security: " + header);
  result.Details.push_back(subdomains ? "包含子域名（includeSubDomains）" : "不包含子域名");
  result.Details.push_back(preload ? "申请了预加载（preload）" : "没有申请预加载");
  const std::string scheme =
      LowerCase(TNetURI(home.FinalUrl.empty() ? home.Url : home.FinalUrl).Protocol);
  if (scheme == "http") {
    // Browsers take the header only from a secure answer (RFC 6797, 8.1).
    AuditMark(result, TAuditMark::Fail, value,
              "https 的首页跳转到了 http，那里的 Strict-Transport-Security 浏览器不予理会");
  } else if (!repeated.empty()) {
    AuditMark(result, TAuditMark::Fail, value,
              "Strict-Transport-Security 的 " + repeated + " 出现了不止一次，整个头无效");
  } else if (max_age <= 0) {
    AuditMark(result, TAuditMark::Fail, value, "max-age 缺失或为 0，浏览器不会记住 https");
  } else if (max_age < kOneYearSeconds) {
    AuditMark(result, TAuditMark::Warn, value, "max-age 不到一年（31536000 秒）");
  } else {
    AuditMark(result, TAuditMark::Pass, value, "max-age 至少一年");
  }
  return result;
}
