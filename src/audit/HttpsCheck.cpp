// http://SITE/ asked without following redirects, then each hop asked the same way, so the
// whole chain is seen as a crawler sees it.
#include <algorithm>

#include "audit/AuditChecks.h"
#include "audit/AuditFormat.h"
#include "http/NetFetchSession.h"
#include "http/NetURI.h"
#include "runtime/StrUtils.h"

namespace {

// Hops followed at most; a chain longer than kPassingHops fails.
constexpr int kMaxHops = 10;
constexpr int kPassingHops = 3;
constexpr int64_t kHopBodyBytes = 64 * 1024;  // a redirect's body is not read for anything

// A URL reduced to what makes two of them the same place: scheme and host in lower case, the
// port always written, the path "/" when empty.
std::string PlaceKey(const std::string& url) {
  const TNetURI uri(url);
  std::string path = uri.Path + uri.Document + uri.Params;
  if (path.empty()) path = "/";
  return LowerCase(uri.Protocol) + "://" + LowerCase(uri.Host) + ":" +
         std::to_string(ServerPort(uri)) + path;
}

// The host with "www." put on or taken off.
std::string TwinHost(const std::string& host) {
  const std::string lower = LowerCase(host);
  return lower.rfind("www.", 0) == 0 ? lower.substr(4) : "www." + lower;
}

bool IsRedirect(const TAuditPage& page) {
  return page.Answered && page.Status / 100 == 3 && page.Status != 304 &&
         !page.Header("Location").empty();
}

}  // namespace

TAuditResult CheckHttps(const TAuditTarget& target, const TAuditFetch& fetch) {
  const std::string start = AuditHttpUrl(target);
  TAuditResult result = AuditResultFor(TAuditCheck::Https, start);
  TAuditFetchOptions options;
  options.FollowRedirects = false;
  options.AcceptCompressed = false;
  options.MaxBodyBytes = kHopBodyBytes;

  TAuditTarget twin = target;
  twin.Host = TwinHost(target.Host);
  const std::string home = PlaceKey(AuditHomeUrl(target));
  const std::string twin_home = PlaceKey(AuditHomeUrl(twin));

  std::vector<std::string> chain{start};  // every URL asked, in order
  std::vector<std::string> seen{PlaceKey(start)};
  std::vector<int> statuses;
  TAuditPage page = fetch(start, options);
  if (!page.Answered) {
    AuditMark(result, TAuditMark::Unable, "", AuditUnreadable(page.Failure));
    return result;
  }
  bool loop = false;
  std::string unreadable;  // why the chain ended before an answer that is not a redirect
  while (IsRedirect(page)) {
    statuses.push_back(page.Status);
    const std::string next = AuditResolveUrl(chain.back(), page.Header("Location"));
    result.Details.push_back(chain.back() + " → " + std::to_string(page.Status) + " → " + next);
    chain.push_back(next);
    const std::string key = PlaceKey(next);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      loop = true;
      break;
    }
    seen.push_back(key);
    if (static_cast<int>(statuses.size()) >= kMaxHops) break;
    page = fetch(next, options);
    if (!page.Answered) {
      unreadable = page.Failure;
      result.Details.push_back(next + "：" + AuditUnreadable(page.Failure));
      break;
    }
  }
  const int hops = static_cast<int>(statuses.size());
  if (hops > 0 && !loop && unreadable.empty() && !IsRedirect(page)) {
    result.Details.push_back(chain.back() + " → " + std::to_string(page.Status));
  }
  const std::string& first_to = chain.size() > 1 ? chain[1] : "";
  const bool first_to_https =
      hops > 0 && (PlaceKey(first_to) == home || PlaceKey(first_to) == twin_home);
  const bool ends_on_https = hops > 0 && LowerCase(TNetURI(chain.back()).Protocol) == "https";

  if (hops == 0) {
    AuditMark(result, TAuditMark::Fail, "HTTP " + std::to_string(page.Status),
              "http 的首页没有跳转到 https");
  } else if (loop) {
    AuditMark(result, TAuditMark::Fail, "重定向循环", "跳转回到了 " + chain.back() + "，形成循环");
  } else if (hops > kPassingHops) {
    AuditMark(result, TAuditMark::Fail, std::to_string(hops) + " 次跳转",
              "跳转超过 " + std::to_string(kPassingHops) + " 次");
  } else if (!ends_on_https) {
    AuditMark(result, TAuditMark::Fail, std::to_string(statuses[0]) + " → " + first_to,
              "跳转没有到达 https");
  } else if (!unreadable.empty() || page.Status / 100 != 2) {
    // A redirect to an https page that does not work leaves visitors nowhere.
    AuditMark(result, TAuditMark::Fail, std::to_string(statuses[0]) + " → " + first_to,
              "跳转到的 https 页面不可用：" +
                  (unreadable.empty() ? "HTTP " + std::to_string(page.Status) : unreadable));
  } else if (hops == 1 && first_to_https && (statuses[0] == 301 || statuses[0] == 308)) {
    AuditMark(result, TAuditMark::Pass, std::to_string(statuses[0]) + " → " + first_to,
              "一次永久跳转到 https 的首页");
  } else if (hops == 1 && first_to_https) {
    AuditMark(
        result, TAuditMark::Warn, std::to_string(statuses[0]) + " → " + first_to,
        "跳转到 https 用的是临时跳转（" + std::to_string(statuses[0]) + "），应为 301 或 308");
  } else {
    AuditMark(result, TAuditMark::Warn, std::to_string(hops) + " 次跳转 → " + chain.back(),
              "经过 " + std::to_string(hops) + " 次跳转才到达 https，应一次跳转到 https 的首页");
  }
  return result;
}
