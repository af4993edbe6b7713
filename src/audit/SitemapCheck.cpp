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


}  // namespace

namespace {

// One check's walk over the sitemap files: the queue of files still to read (no more than can
// still be read: the rest are counted, so that indexes listing millions of children hold no more
// than a few URLs), what was read, and what the check has to say about it.
class TSitemapWalk {
 public:
  TSitemapWalk(const TAuditTarget& target, const TAuditPage& robots, const TAuditFetch& fetch)
      : fetch_(fetch) {
    result_.Check = TAuditCheck::Sitemap;
    if (robots.Answered && robots.Status >= 200 && robots.Status < 300) {
      const TRobotsTxt parsed = TRobotsTxt::Parse(robots.Body);
      const std::string& base = robots.FinalUrl.empty() ? robots.Url : robots.FinalUrl;
      for (const std::string& named : parsed.Sitemaps()) {
        queue_.push_back(AuditResolveUrl(base, named));
      }
    }
    named_by_robots_ = !queue_.empty();
    if (!named_by_robots_) queue_.push_back(AuditHomeUrl(target) + "sitemap.xml");
    result_.Url = queue_.front();
    seen_.insert(queue_.begin(), queue_.end());
    if (Room() < 0) {
      left_out_ = queue_.size() - kSitemapMaxFiles;
      queue_.resize(kSitemapMaxFiles);
    }
  }

  TAuditResult Run() {
    while (!queue_.empty()) {
      const std::string url = std::move(queue_.front());
      queue_.pop_front();
      ++fetched_;
      Read(url);
    }
    return Conclude();
  }

 private:
  int Room() const { return kSitemapMaxFiles - fetched_ - static_cast<int>(queue_.size()); }

  // Fetches one file and reads it, unless it is one already read.
  void Read(const std::string& url) {
    if (!IsWebUrl(url)) {
      ++bad_;
      result_.Details.push_back(url + "：不是 http(s) 地址");
      return;
    }
    TAuditFetchOptions options;
    options.MaxBodyBytes = kSitemapMaxBytes;
    const TAuditPage page = fetch_(url, options);
    if (!page.FinalUrl.empty()) seen_.insert(page.FinalUrl);
    // A file reached again by a redirect is not read again: each final URL counts once.
    if (page.Answered && !read_.insert(page.FinalUrl.empty() ? url : page.FinalUrl).second) {
      ++answered_;
      ++read_again_;
      Repeat(url + " 跳转到已读过的 " + page.FinalUrl);
      return;
    }
    if (!page.Answered) {
      if (first_failure_.empty()) first_failure_ = page.Failure;
      result_.Details.push_back(url + "：取不到（" + page.Failure + "）");
      return;
    }
    ++answered_;
    if (page.Status < 200 || page.Status >= 300) {
      ++bad_;
      result_.Details.push_back(url + "：HTTP " + std::to_string(page.Status));
      return;
    }
    const TSitemap sitemap = ReadFetchedSitemap(page);
    if (sitemap.Kind == TSitemapKind::Unknown) {
      ++bad_;
      result_.Details.push_back(url + "：不是站点地图（" + sitemap.Error + "）");
      return;
    }
    ++sitemaps_;
    if (sitemap.Kind == TSitemapKind::UrlSet) {
      CountUrls(url, sitemap);
    } else {
      QueueChildren(url, page, sitemap);
    }
    if (sitemap.Truncated || page.BodyCut) {
      findings_.Add(TAuditMark::Warn, url + " 超过一个文件 " + AuditBytesText(kSitemapMaxBytes) +
                                          " 的上限（解压后），只读到上限为止");
    } else if (!sitemap.Error.empty()) {
      findings_.Add(TAuditMark::Warn, url + " 读到中途出错：" + sitemap.Error);
    }
  }

  void CountUrls(const std::string& url, const TSitemap& sitemap) {
    urls_ += sitemap.UrlCount;
    result_.Details.push_back(url + "：" + std::to_string(sitemap.UrlCount) + " 个 URL");
    if (sitemap.UrlCount > kSitemapMaxUrlsPerFile) {
      findings_.Add(TAuditMark::Warn, url + " 有 " + std::to_string(sitemap.UrlCount) +
                                          " 个 URL，超过一个文件 " +
                                          AuditCountText(kSitemapMaxUrlsPerFile) + " 个的上限");
    }
  }

  // An index's children join the queue, each once, as long as there is room.
  void QueueChildren(const std::string& url, const TAuditPage& page, const TSitemap& sitemap) {
    result_.Details.push_back(url + "：索引，列出 " + std::to_string(sitemap.ChildSitemaps.size()) +
                              " 个站点地图");
    for (const std::string& listed : sitemap.ChildSitemaps) {
      const std::string child =
          AuditResolveUrl(page.FinalUrl.empty() ? page.Url : page.FinalUrl, listed);
      if (seen_.count(child) == 0 && Room() <= 0) {
        ++left_out_;
      } else if (seen_.insert(child).second) {
        queue_.push_back(child);
      } else {
        Repeat(url + " 列出了已列出的 " + child);
      }
    }
  }

  void Repeat(const std::string& what) {
    if (repeats_++ == 0) first_repeat_ = what;
  }

  TAuditResult Conclude() {
    if (left_out_ > 0) {
      findings_.Add(TAuditMark::Warn, "站点地图超过 " + std::to_string(kSitemapMaxFiles) +
                                          " 个文件，其余 " + std::to_string(left_out_) +
                                          " 个没有读取");
    }
    if (repeats_ > 0) {
      findings_.Add(TAuditMark::Warn,
                    first_repeat_ +
                        (repeats_ > 1 ? " 等 " + std::to_string(repeats_) + " 处重复" : "") +
                        "，不再重复读取");
    }
    if (answered_ == 0 && bad_ == 0) {
      result_.Mark = TAuditMark::Unable;
      result_.Reason = "取不到站点地图：" + first_failure_;
      return result_;
    }
    if (sitemaps_ == 0) {
      result_.Value = "无";
      // /sitemap.xml is only a guess: whatever it answers, the site has no sitemap there.
      result_.Mark = named_by_robots_ ? TAuditMark::Fail : TAuditMark::Warn;
      result_.Reason = named_by_robots_
                           ? "列出的站点地图都读不出来"
                           : "没有站点地图：robots.txt 没有列出，/sitemap.xml 也不存在";
      return result_;
    }
    result_.Value = std::to_string(urls_) + " 个 URL · " + std::to_string(sitemaps_) + " 个文件";
    result_.Numbers.emplace_back(TAuditNumber::SitemapUrls, static_cast<double>(urls_));
    if (bad_ > 0 || answered_ < fetched_) {
      findings_.Add(TAuditMark::Warn,
                    "有 " + std::to_string(fetched_ - sitemaps_ - read_again_) + " 个文件读不出来");
    }
    if (urls_ == 0) findings_.Add(TAuditMark::Warn, "站点地图里没有一个 URL");
    findings_.Finish(result_, "站点地图共 " + std::to_string(urls_) + " 个 URL");
    return result_;
  }

  const TAuditFetch& fetch_;
  TAuditResult result_;
  TAuditFindings findings_;
  std::deque<std::string> queue_;
  std::set<std::string> seen_;  // every file queued or reached
  std::set<std::string> read_;  // the final URLs of the files answered
  bool named_by_robots_ = false;
  int fetched_ = 0, answered_ = 0, sitemaps_ = 0, bad_ = 0;
  std::size_t urls_ = 0;
  std::size_t left_out_ = 0;
  std::string first_failure_;
  int repeats_ = 0;     // children already listed or read: each is read once
  int read_again_ = 0;  // files fetched that redirected to one already read
  std::string first_repeat_;
};

}  // namespace

TSitemap ReadFetchedSitemap(const TAuditPage& page, const TSitemapUrlVisit& on_url) {
  if (!LooksGzipped(page.Body)) return ParseSitemap(page.Body, kSitemapMaxBytes, on_url);
  TGunzipReader gunzip(page.Body);
  return ReadSitemap([&gunzip](char* buffer, int size,
                               std::string& error) { return gunzip.Read(buffer, size, error); },
                     kSitemapMaxBytes, on_url);
}

TAuditResult CheckSitemap(const TAuditTarget& target, const TAuditPage& robots,
                          const TAuditFetch& fetch) {
  return TSitemapWalk(target, robots, fetch).Run();
}
