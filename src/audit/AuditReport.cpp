#include "audit/AuditReport.h"

#include <algorithm>

namespace {

struct TCheckWords {
  std::string_view Name;
  std::string_view Caption;
};
constexpr std::array<TCheckWords, kAuditCheckCount> kCheckWords = {{
    {"https", "HTTPS 跳转"},
    {"certificate", "证书"},
    {"hsts", "HSTS"},
    {"robots", "robots.txt"},
    {"sitemap", "站点地图"},
    {"head", "首页头部"},
    {"compression", "压缩"},
    {"speed", "速度与大小"},
    {"addresses", "地址"},
}};

struct TMarkWords {
  std::string_view Name;
  std::string_view Word;
};
constexpr std::array<TMarkWords, 4> kMarkWords = {{
    {"pass", "通过"},
    {"warn", "注意"},
    {"fail", "未通过"},
    {"unable", "无法检查"},
}};

struct TNumberWords {
  std::string_view Name;
  std::string_view Caption;
  TAuditCheck Check;
};
constexpr std::array<TNumberWords, kAuditNumberCount> kNumberWords = {{
    {"certificate_days_left", "证书剩余天数", TAuditCheck::Certificate},
    {"first_byte_ms", "首字节时间 (ms)", TAuditCheck::Speed},
    {"page_bytes", "首页大小 (字节)", TAuditCheck::Speed},
    {"sitemap_urls", "站点地图 URL 数", TAuditCheck::Sitemap},
}};

// Severity for Worst: Unable sits between Warn and Fail.
int Severity(TAuditMark mark) {
  switch (mark) {
    case TAuditMark::Pass: return 0;
    case TAuditMark::Warn: return 1;
    case TAuditMark::Unable: return 2;
    case TAuditMark::Fail: return 3;
  }
  return 3;
}

}  // namespace

TAuditMark TAuditReport::Worst() const {
  TAuditMark worst = TAuditMark::Pass;
  for (const TAuditResult& result : Results)
    if (Severity(result.Mark) > Severity(worst)) worst = result.Mark;
  return worst;
}

const TAuditResult* TAuditReport::Find(TAuditCheck check) const {
  auto it = std::find_if(Results.begin(), Results.end(),
                         [check](const TAuditResult& r) { return r.Check == check; });
  return it == Results.end() ? nullptr : &*it;
}

std::optional<double> TAuditReport::Number(TAuditNumber number) const {
  for (const TAuditResult& result : Results)
    for (const auto& [which, value] : result.Numbers)
      if (which == number) return value;
  return std::nullopt;
}

std::string_view AuditCheckName(TAuditCheck check) {
  return kCheckWords[static_cast<int>(check)].Name;
}
std::optional<TAuditCheck> AuditCheckByName(std::string_view name) {
  for (TAuditCheck check : kAuditChecks)
    if (AuditCheckName(check) == name) return check;
  return std::nullopt;
}
std::string_view AuditCheckCaption(TAuditCheck check) {
  return kCheckWords[static_cast<int>(check)].Caption;
}
std::string_view AuditMarkWord(TAuditMark mark) { return kMarkWords[static_cast<int>(mark)].Word; }
std::string_view AuditMarkName(TAuditMark mark) { return kMarkWords[static_cast<int>(mark)].Name; }
std::optional<TAuditMark> AuditMarkByName(std::string_view name) {
  for (int i = 0; i < static_cast<int>(kMarkWords.size()); ++i)
    if (kMarkWords[i].Name == name) return static_cast<TAuditMark>(i);
  return std::nullopt;
}
std::string_view AuditNumberName(TAuditNumber number) {
  return kNumberWords[static_cast<int>(number)].Name;
}
std::optional<TAuditNumber> AuditNumberByName(std::string_view name) {
  for (int i = 0; i < kAuditNumberCount; ++i)
    if (kNumberWords[i].Name == name) return static_cast<TAuditNumber>(i);
  return std::nullopt;
}
std::string_view AuditNumberCaption(TAuditNumber number) {
  return kNumberWords[static_cast<int>(number)].Caption;
}
TAuditCheck AuditNumberCheck(TAuditNumber number) {
  return kNumberWords[static_cast<int>(number)].Check;
}
