// The sitemap check: the sitemaps robots.txt names (else /sitemap.xml), each fetched and read
// as a stream (a gzip file, by its name or its first bytes, inflated as it is read), an index's
// children followed breadth first, never the same URL twice and at most kSitemapMaxFiles files
// in all. The page URLs of every urlset are added up.
//
// Marks:
//   Unable  not one file could be fetched (no answer from the site)
//   Fail    files were named or found but none of them is a sitemap (an error status, not XML)
//   Warn    no sitemap at all (robots.txt names none and /sitemap.xml is none); a file over
//           kSitemapMaxUrlsPerFile URLs or over the kSitemapMaxBytes a file may hold (inflated;
//           reading stops there); an index naming a file already read (a loop) or more files
//           than may be read; some files missing or malformed beside good ones; no URLs at all
//   Pass    otherwise
// The URL limit is per file, as the sitemaps protocol sets it: an index of three files of
// 40,000 URLs each passes with 120,000.
#include <deque>
#include <set>
#include <string>

#include "audit/AuditChecks.h"
#include "audit/AuditFindings.h"
#include "audit/AuditFormat.h"
#include "audit/GunzipReader.h"
#include "audit/RobotsTxt.h"
#include "audit/Sitemap.h"
#include "runtime/StrUtils.h"

namespace {

// The most sitemap files one check-up reads, indexes included.
constexpr int kSitemapMaxFiles = 50;
// The most page URLs one sitemap file may list.
constexpr std::size_t kSitemapMaxUrlsPerFile = 50'000;

bool IsWebUrl(const std::string& url) {
  return StartsText("http://", url) || StartsText("https://", url);
}

// One fetched file read as a sitemap, gzip undone as it is read.
TSitemap ReadFetchedSitemap(const TAuditPage& page) {
  if (!LooksGzipped(page.Body)) return ParseSitemap(page.Body, kSitemapMaxBytes);
  TGunzipReader gunzip(page.Body);
  return ReadSitemap([&gunzip](char* buffer, int size,
                               std::string& error) { return gunzip.Read(buffer, size, error); },
                     kSitemapMaxBytes);
}

}  // namespace

TAuditResult CheckSitemap(const TAuditTarget& target, const TAuditPage& robots,
                          const TAuditFetch& fetch) {
  TAuditResult result;
  result.Check = TAuditCheck::Sitemap;

  std::deque<std::string> queue;
  if (robots.Answered && robots.Status >= 200 && robots.Status < 300) {
    const TRobotsTxt parsed = TRobotsTxt::Parse(robots.Body);
    const std::string& base = robots.FinalUrl.empty() ? robots.Url : robots.FinalUrl;
    for (const std::string& named : parsed.Sitemaps()) {
      queue.push_back(AuditResolveUrl(base, named));
    }
  }
  const bool named_by_robots = !queue.empty();
  if (!named_by_robots) queue.push_back(AuditHomeUrl(target) + "sitemap.xml");
  result.Url = queue.front();
  std::set<std::string> seen(queue.begin(), queue.end());
  std::set<std::string> read;  // the final URLs of the files answered

  TAuditFindings findings;
  int fetched = 0, answered = 0, sitemaps = 0, bad = 0;
  std::size_t urls = 0;
  std::string first_failure;
  int repeats = 0;     // children already listed or read: each is read once
  int read_again = 0;  // files fetched that redirected to one already read
  std::string first_repeat;
  // Only as many files are queued as can still be read; the rest are counted, so that indexes
  // listing millions of children hold no more than a few URLs.
  const auto room = [&] { return kSitemapMaxFiles - fetched - static_cast<int>(queue.size()); };
  std::size_t left_out = 0;
  if (room() < 0) {
    left_out = queue.size() - kSitemapMaxFiles;
    queue.resize(kSitemapMaxFiles);
  }
  while (!queue.empty()) {
    const std::string url = std::move(queue.front());
    queue.pop_front();
    ++fetched;
    if (!IsWebUrl(url)) {
      ++bad;
      result.Details.push_back(url + "：不是 http(s) 地址");
      continue;
    }
    TAuditFetchOptions options;
    options.MaxBodyBytes = kSitemapMaxBytes;
    const TAuditPage page = fetch(url, options);
    if (!page.FinalUrl.empty()) seen.insert(page.FinalUrl);
    // A file reached again by a redirect is not read again: each final URL counts once.
    if (page.Answered && !read.insert(page.FinalUrl.empty() ? url : page.FinalUrl).second) {
      ++answered;
      ++read_again;
      if (repeats++ == 0) first_repeat = url + " 跳转到已读过的 " + page.FinalUrl;
      continue;
    }
    if (!page.Answered) {
      if (first_failure.empty()) first_failure = page.Failure;
      result.Details.push_back(url + "：取不到（" + page.Failure + "）");
      continue;
    }
    ++answered;
    if (page.Status < 200 || page.Status >= 300) {
      ++bad;
      result.Details.push_back(url + "：HTTP " + std::to_string(page.Status));
      continue;
    }

    const TSitemap sitemap = ReadFetchedSitemap(page);
    const bool too_big = sitemap.Truncated || page.BodyCut;
    if (sitemap.Kind == TSitemapKind::Unknown) {
      ++bad;
      result.Details.push_back(url + "：不是站点地图（" + sitemap.Error + "）");
      continue;
    }
    ++sitemaps;
    if (sitemap.Kind == TSitemapKind::UrlSet) {
      urls += sitemap.UrlCount;
      result.Details.push_back(url + "：" + std::to_string(sitemap.UrlCount) + " 个 URL");
      if (sitemap.UrlCount > kSitemapMaxUrlsPerFile) {
        findings.Add(TAuditMark::Warn, url + " 有 " + std::to_string(sitemap.UrlCount) +
                                           " 个 URL，超过一个文件 50,000 个的上限");
      }
    } else {
      result.Details.push_back(url + "：索引，列出 " +
                               std::to_string(sitemap.ChildSitemaps.size()) + " 个站点地图");
      for (const std::string& listed : sitemap.ChildSitemaps) {
        const std::string child =
            AuditResolveUrl(page.FinalUrl.empty() ? page.Url : page.FinalUrl, listed);
        if (seen.count(child) == 0 && room() <= 0) {
          ++left_out;
        } else if (seen.insert(child).second) {
          queue.push_back(child);
        } else if (repeats++ == 0) {
          first_repeat = url + " 列出了已列出的 " + child;
        }
      }
    }
    if (too_big) {
      findings.Add(TAuditMark::Warn, url + " 超过一个文件 " + AuditBytesText(kSitemapMaxBytes) +
                                         " 的上限（解压后），只读到上限为止");
    } else if (!sitemap.Error.empty()) {
      findings.Add(TAuditMark::Warn, url + " 读到中途出错：" + sitemap.Error);
    }
  }

  if (left_out > 0) {
    findings.Add(TAuditMark::Warn, "站点地图超过 " + std::to_string(kSitemapMaxFiles) +
                                       " 个文件，其余 " + std::to_string(left_out) + " 个没有读取");
  }
  if (repeats > 0) {
    findings.Add(TAuditMark::Warn,
                 first_repeat + (repeats > 1 ? " 等 " + std::to_string(repeats) + " 处重复" : "") +
                     "，不再重复读取");
  }
  if (answered == 0 && bad == 0) {
    result.Mark = TAuditMark::Unable;
    result.Reason = "取不到站点地图：" + first_failure;
    return result;
  }
  if (sitemaps == 0) {
    result.Value = "无";
    // /sitemap.xml is only a guess: whatever it answers, the site has no sitemap there.
    const bool absent = !named_by_robots;
    result.Mark = absent ? TAuditMark::Warn : TAuditMark::Fail;
    result.Reason = absent ? "没有站点地图：robots.txt 没有列出，/sitemap.xml 也不存在"
                           : "列出的站点地图都读不出来";
    return result;
  }
  result.Value = std::to_string(urls) + " 个 URL · " + std::to_string(sitemaps) + " 个文件";
  result.Numbers.emplace_back(TAuditNumber::SitemapUrls, static_cast<double>(urls));
  if (bad > 0 || answered < fetched) {
    findings.Add(TAuditMark::Warn,
                 "有 " + std::to_string(fetched - sitemaps - read_again) + " 个文件读不出来");
  }
  if (urls == 0) findings.Add(TAuditMark::Warn, "站点地图里没有一个 URL");
  findings.Finish(result, "站点地图共 " + std::to_string(urls) + " 个 URL");
  return result;
}
