#include "crawl/CrawlRules.h"

#include <array>

namespace {

using enum TCrawlSeverity;

constexpr std::array kRules = {
    TCrawlRule{"http-4xx", Error, "页面返回 4xx 状态（找不到、拒绝访问……）"},
    TCrawlRule{"http-5xx", Error, "页面返回 5xx 状态（服务器出错）"},
    TCrawlRule{"broken-link", Error, "页面上的链接指向打不开的本站页面（详情为目标）"},
    TCrawlRule{"external-broken", Error, "外部链接打不开（详情为链接到它的页面）"},
    TCrawlRule{"redirect-loop", Error, "重定向绕回自己，永远到不了页面"},
    TCrawlRule{"canonical-broken", Error, "canonical 指向的页面不是 200"},
    TCrawlRule{"sitemap-not-ok", Error, "站点地图里的网址不是 200"},
    TCrawlRule{"redirect-to-http", Error, "https 页面被重定向到 http"},
    TCrawlRule{"title-missing", Error, "页面没有标题"},
    TCrawlRule{"redirect-chain", Warning, "经过不止一次重定向才到页面（详情为整条链）"},
    TCrawlRule{"title-duplicate", Warning, "标题与其他页面相同（详情为同标题的页面）"},
    TCrawlRule{"description-missing", Warning, "页面没有 meta description"},
    TCrawlRule{"description-duplicate", Warning, "description 与其他页面相同"},
    TCrawlRule{"h1-missing", Warning, "页面没有 <h1>"},
    TCrawlRule{"canonical-other-site", Warning, "canonical 指向别的网站"},
    TCrawlRule{"noindex-in-sitemap", Warning, "站点地图列出的页面禁止索引（noindex）"},
    TCrawlRule{"orphan", Warning, "站点地图列出的页面没有任何抓到的页面链接它"},
    TCrawlRule{"hreflang-no-return", Warning, "hreflang 指向的页面没有链接回来"},
    TCrawlRule{"mixed-content", Warning, "https 页面引用 http 的图片、脚本、样式或框架"},
    TCrawlRule{"duplicate-content", Warning, "正文与其他网址相同（详情为相同的网址）"},
    TCrawlRule{"slow", Warning, "首字节时间过长（详情为毫秒数）"},
    TCrawlRule{"heavy", Warning, "HTML 过大（详情为大小）"},
    TCrawlRule{"title-length", Notice, "标题过短或过长（详情为字数）"},
    TCrawlRule{"h1-multiple", Notice, "页面有不止一个 <h1>"},
    TCrawlRule{"img-alt-missing", Notice, "图片没有 alt 文字"},
    TCrawlRule{"deep", Notice, "离首页点击次数过多（详情为深度）"},
};

}  // namespace

std::span<const TCrawlRule> CrawlRules() { return kRules; }

const TCrawlRule* FindCrawlRule(std::string_view id) {
  for (const TCrawlRule& rule : kRules) {
    if (rule.Id == id) return &rule;
  }
  return nullptr;
}

std::string_view CrawlSeverityName(TCrawlSeverity severity) {
  switch (severity) {
    case Error:
      return "error";
    case Warning:
      return "warning";
    case Notice:
      return "notice";
  }
  return "notice";
}
