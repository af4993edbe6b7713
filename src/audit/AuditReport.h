// A site's check-up: what each check found about the site itself, with nobody else asked. The
// checks are fixed and come in this order; each gives a mark, the value it measured, a one-line
// reason and the URL the value came from. A check that could not run is marked Unable with the
// reason; it never passes or fails by default.
//
// Texts are UTF-8 (the check-up is new and shows Chinese reasons beside host names of any
// script).
//
// Thread-safety: plain values.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TAuditCheck {
  Https,        // http://SITE/ answers with one permanent redirect to https
  Certificate,  // the https certificate: verified, days left, issuer, TLS version
  Hsts,         // Strict-Transport-Security on the https answer
  Robots,       // /robots.txt: status, size, Disallow: / for everyone, its Sitemap lines
  Sitemap,      // the sitemaps: URLs counted, indexes followed, gzip inflated
  Head,         // the home page's head: title, description, h1, canonical, noindex, lang, charset
  Compression,  // the home page asked compressed answers compressed
  Speed,        // DNS, connect, TLS, first byte, whole page; the HTML's size
  Addresses,    // A and AAAA records
};
inline constexpr int kAuditCheckCount = 9;
inline constexpr std::array<TAuditCheck, kAuditCheckCount> kAuditChecks = {
    TAuditCheck::Https,  TAuditCheck::Certificate, TAuditCheck::Hsts,
    TAuditCheck::Robots, TAuditCheck::Sitemap,     TAuditCheck::Head,
    TAuditCheck::Compression, TAuditCheck::Speed,  TAuditCheck::Addresses};

enum class TAuditMark { Pass, Warn, Fail, Unable };

// The numbers a check-up keeps for trends (each belongs to one check).
enum class TAuditNumber {
  CertificateDaysLeft,  // Certificate: whole days until notAfter (negative once expired)
  FirstByteMs,          // Speed: time to first byte of the home page, the median of the warm ones
  PageBytes,            // Speed: the home page's HTML, decoded
  SitemapUrls,          // Sitemap: the page URLs counted over every file
};
inline constexpr int kAuditNumberCount = 4;

struct TAuditResult {
  TAuditCheck Check = TAuditCheck::Https;
  TAuditMark Mark = TAuditMark::Unable;
  std::string Value;   // what was measured, short ("301 → https://a.example/", "45 天")
  std::string Reason;  // one line, Chinese: why this mark
  std::string Url;     // where the value came from
  std::vector<std::string> Details;  // further lines: the redirect chain, the Sitemap lines, ...
  // The check's trend numbers it measured (none when it could not run).
  std::vector<std::pair<TAuditNumber, double>> Numbers;
};

struct TAuditReport {
  std::string Site;         // the site as the user typed it (shown form)
  int64_t StartedUnixMs = 0;
  int64_t ElapsedMs = 0;
  std::vector<TAuditResult> Results;  // one per check, in kAuditChecks order

  // The worst mark of any check, Unable counting as worse than Warn but not than Fail.
  TAuditMark Worst() const;
  const TAuditResult* Find(TAuditCheck check) const;
  std::optional<double> Number(TAuditNumber number) const;
};

// Names for files and flags: "https", "certificate", "hsts", "robots", "sitemap", "head",
// "compression", "speed", "addresses"; and back (nullopt for an unknown name).
std::string_view AuditCheckName(TAuditCheck check);
std::optional<TAuditCheck> AuditCheckByName(std::string_view name);
// The check's caption in the window and the table ("HTTPS 跳转", "证书", ...).
std::string_view AuditCheckCaption(TAuditCheck check);
// "通过", "注意", "未通过", "无法检查".
std::string_view AuditMarkWord(TAuditMark mark);
// "pass", "warn", "fail", "unable" (JSON, CSV, the history); and back.
std::string_view AuditMarkName(TAuditMark mark);
std::optional<TAuditMark> AuditMarkByName(std::string_view name);
// "certificate_days_left", "first_byte_ms", "page_bytes", "sitemap_urls"; and back; the caption
// ("证书剩余天数", "首字节时间 (ms)", "首页大小 (字节)", "站点地图 URL 数").
std::string_view AuditNumberName(TAuditNumber number);
std::optional<TAuditNumber> AuditNumberByName(std::string_view name);
std::string_view AuditNumberCaption(TAuditNumber number);
TAuditCheck AuditNumberCheck(TAuditNumber number);
