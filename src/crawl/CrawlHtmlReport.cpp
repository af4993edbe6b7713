#include "crawl/CrawlHtmlReport.h"

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "crawl/CrawlRules.h"

namespace {

// Findings listed under one rule before "and N more".
constexpr int64_t kPagesPerRule = 500;

constexpr int kChartWidth = 360;
constexpr int kChartBarHeight = 18;
constexpr int kChartLabelWidth = 90;

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string LocalTime(int64_t unix_ms) {
  const std::time_t t = static_cast<std::time_t>(unix_ms / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// A horizontal bar chart: a row per (label, count).
// `bad` says which rows to draw in the warning colour.
void WriteBars(std::ostream& out, const char* title,
               const std::vector<std::pair<std::string, int64_t>>& rows,
               const std::function<bool(const std::string&)>& bad) {
  out << "<figure><figcaption>" << title << "</figcaption>";
  if (rows.empty()) {
    out << "<p class=none>没有数据</p></figure>\n";
    return;
  }
  int64_t most = 1;
  for (const auto& [label, n] : rows) most = std::max(most, n);
  const int height = static_cast<int>(rows.size()) * (kChartBarHeight + 4) + 4;
  const int bar_room = kChartWidth - kChartLabelWidth - 60;
  out << "<svg xmlns='http://www.w3.org/2000/svg' width='" << kChartWidth << "' height='" << height
      << "' role='img'>";
  int y = 4;
  for (const auto& [label, n] : rows) {
    const int w = std::max<int>(1, static_cast<int>(bar_room * n / most));
    out << "<text x='" << kChartLabelWidth - 6 << "' y='" << y + kChartBarHeight - 5
        << "' text-anchor='end'>" << Escape(label) << "</text><rect x='" << kChartLabelWidth
        << "' y='" << y << "' width='" << w << "' height='" << kChartBarHeight << "' class='"
        << (bad(label) ? "bad" : "ok") << "'/><text x='" << kChartLabelWidth + w + 4 << "' y='"
        << y + kChartBarHeight - 5 << "'>" << n << "</text>";
    y += kChartBarHeight + 4;
  }
  out << "</svg></figure>\n";
}

}  // namespace

const char* CrawlChangeName(TCrawlChange change) {
  switch (change) {
    case TCrawlChange::New:
      return "new";
    case TCrawlChange::Still:
      return "still";
    case TCrawlChange::Gone:
      return "gone";
  }
  return "new";
}

const char* CrawlStateWord(const std::string& state) {
  if (state == "done") return "完成";
  if (state == "stopped") return "已停止";
  if (state == "running") return "进行中";
  return "失败";
}

void WriteCrawlHtmlBegin(std::ostream& out) {
  out << R"(<!DOCTYPE html>
<html lang="zh-CN"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>全站体检报告</title>
<style>
body{font-family:sans-serif;margin:2em;color:#222;max-width:72em}
h1{font-size:1.6em}h2{font-size:1.3em;border-bottom:1px solid #ccc;padding-bottom:.2em}
table{border-collapse:collapse;margin:.5em 0}td,th{border:1px solid #ddd;padding:.25em .6em;
text-align:left;vertical-align:top}th{background:#d8e4f8}td.n{text-align:right}
.error{color:#b00020;font-weight:bold}.warning{color:#a65e00}.notice{color:#555}
.new{color:#b00020}.gone{color:#2e7d32;text-decoration:line-through}.still{color:#555}
figure{display:inline-block;margin:.5em 2em .5em 0;vertical-align:top}
figcaption{font-weight:bold;margin-bottom:.3em}svg text{font-size:12px;fill:#222}
rect.ok{fill:#4a78c2}rect.bad{fill:#c24a4a}details{margin:.3em 0}summary{cursor:pointer}
.none{color:#777}.url{word-break:break-all}
</style></head><body>
<h1>全站体检报告</h1>
)";
}

void WriteCrawlHtmlSite(std::ostream& out, TCrawlStore& store, const TCrawlOutcome& outcome) {
  const std::optional<TCrawlInfo> info = store.Crawl(outcome.Crawl);
  if (!info) {
    out << "<p class=error>" << Escape(outcome.Reason) << "</p>\n";
    return;
  }
  const TCrawlStore::TSummary summary = store.Summary(outcome.Crawl);
  out << "<h2>" << Escape(info->Site) << "</h2>\n<p>开始于 " << LocalTime(info->StartedMs)
      << "，读了 " << info->Pages << " 个网址，" << CrawlStateWord(info->State);
  if (!info->Reason.empty()) out << "（" << Escape(info->Reason) << "）";
  out << "。发现 " << info->Findings << " 个问题";
  if (summary.HasEarlier) {
    out << "，比上一次新出现 " << summary.New << " 个，消失 " << summary.Gone << " 个";
  }
  out << "。</p>\n";

  out << "<table><tr><th>规则</th><th>级别</th><th>数量</th><th>含义</th></tr>\n";
  for (const auto& [id, n] : summary.PerRule) {
    const TCrawlRule* rule = FindCrawlRule(id);
    const std::string_view severity = rule ? CrawlSeverityName(rule->Severity) : "notice";
    out << "<tr><td><a href='#" << Escape(info->Site) << "-" << id << "'>" << id
        << "</a></td><td class=" << severity << ">" << severity << "</td><td class=n>" << n
        << "</td><td>" << (rule ? Escape(rule->Meaning) : "") << "</td></tr>\n";
  }
  if (summary.PerRule.empty()) out << "<tr><td colspan=4>没有发现问题</td></tr>\n";
  out << "</table>\n";

  WriteBars(out, "状态码", summary.Statuses,
            [](const std::string& status) { return status == "失败" || status >= "400"; });
  WriteBars(out, "点击深度", summary.Depths, [](const std::string& depth) {
    return depth != "无" && std::stoi(depth) > kCrawlDeepDepth;
  });
  WriteBars(out, "首字节时间", summary.FirstBytes,
            [](const std::string& band) { return band == "600ms-1s" || band == ">1s"; });

  std::string current;
  int64_t listed = 0;
  int64_t hidden = 0;
  auto close_rule = [&] {
    if (current.empty()) return;
    out << "</table>";
    if (hidden > 0) out << "<p class=none>还有 " << hidden << " 个没有列出</p>";
    out << "</details>\n";
  };
  store.EachFinding(outcome.Crawl, [&](const TCrawlFinding& f) {
    if (f.Rule != current) {
      close_rule();
      current = f.Rule;
      listed = 0;
      hidden = 0;
      out << "<details id='" << Escape(info->Site) << "-" << Escape(f.Rule) << "'><summary>"
          << Escape(f.Rule) << "</summary><table><tr><th>变化</th><th>网址</th>"
          << "<th>详情</th></tr>\n";
    }
    if (listed >= kPagesPerRule) {
      ++hidden;
      return;
    }
    ++listed;
    const char* change = CrawlChangeName(f.Change);
    out << "<tr><td class=" << change << ">"
        << (f.Change == TCrawlChange::New    ? "新"
            : f.Change == TCrawlChange::Gone ? "已消失"
                                             : "仍在")
        << "</td><td class=url>" << Escape(f.Url) << "</td><td class=url>" << Escape(f.Detail)
        << "</td></tr>\n";
  });
  close_rule();
}

void WriteCrawlHtmlEnd(std::ostream& out) { out << "</body></html>\n"; }
