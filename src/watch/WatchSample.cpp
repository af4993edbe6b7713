#include "watch/WatchSample.h"

#include <cmath>
#include <cstdio>

#include "audit/RobotsTxt.h"
#include "crawl/CrawlRules.h"
#include "crawl/CrawlStore.h"
#include "runtime/CodePage.h"
#include "services/ServiceFile.h"

namespace {

// A number as alerts show it: whole numbers without a point, others with one decimal.
std::string NumberText(double number) {
  char text[32];
  if (number == std::floor(number) && std::fabs(number) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", number);
  } else {
    std::snprintf(text, sizeof text, "%.1f", number);
  }
  return text;
}

TWatchValue NumberValue(std::string_view source, std::string subject, std::string caption,
                        std::optional<double> number) {
  return TWatchValue{.Source = std::string(source),
                     .Subject = std::move(subject),
                     .Caption = std::move(caption),
                     .Read = number.has_value(),
                     .Number = number,
                     .Shown = number ? NumberText(*number) : ""};
}

// Whether a field was asked at all this run: a field switched off, retired, waiting for a key,
// stopped or never reached says nothing about the site.
bool Asked(const TFieldResult& result) {
  switch (result.State) {
    case TFieldState::Value:
    case TFieldState::NoMatch:
    case TFieldState::Blocked:
    case TFieldState::Failed:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string_view WatchKindName(TWatchKind kind) {
  switch (kind) {
    case TWatchKind::Query:
      return "query";
    case TWatchKind::Audit:
      return "audit";
    case TWatchKind::Crawl:
      return "crawl";
  }
  return "";
}

const TWatchValue* TWatchSample::Find(std::string_view source, std::string_view subject) const {
  for (const TWatchValue& v : Values) {
    if (v.Source == source && v.Subject == subject) return &v;
  }
  return nullptr;
}

TWatchSample QuerySample(const TQueryRecord& record, const std::string& run_id) {
  TWatchSample sample{.Kind = TWatchKind::Query,
                      .Site = GbkToUtf8(record.Site),
                      .RunId = run_id,
                      .StartedUnixMs = record.StartedUnixMs,
                      .Series = record.ServiceSet};
  const auto number_of = [&](TResultField field) -> std::optional<double> {
    const TFieldResult& r = record.Result(field);
    if (r.State != TFieldState::Value) return std::nullopt;
    return FieldNumber(field, r.Text);
  };
  for (const TResultField field : IndexCountFields()) {
    if (!Asked(record.Result(field))) continue;
    sample.Values.push_back(NumberValue(kWatchIndex, ResultFieldName(field),
                                        GbkToUtf8(ResultFieldCaption(field)), number_of(field)));
  }
  // Tranco answers "not in the first million" without a number: no place to compare.
  if (record.ServiceSet == kCurrentSet && Asked(record.Result(rfAlexa1))) {
    sample.Values.push_back(
        NumberValue(kWatchRank, ResultFieldName(rfAlexa1), "Tranco 排名", number_of(rfAlexa1)));
  }
  const TFieldResult& home = record.Result(rfWebTitle);
  if (Asked(home)) {
    const bool answered = home.State != TFieldState::Failed;
    sample.Values.push_back(TWatchValue{.Source = std::string(kWatchHome),
                                        .Subject = ResultFieldName(rfWebTitle),
                                        .Caption = "首页",
                                        .Read = answered,
                                        .Text = answered ? "up" : "down",
                                        .Shown = answered ? "可以访问" : "无法访问"});
  }
  return sample;
}

TWatchSample AuditSample(const TAuditReport& report, const std::string& run_id) {
  TWatchSample sample{.Kind = TWatchKind::Audit,
                      .Site = report.Site,
                      .RunId = run_id,
                      .StartedUnixMs = report.StartedUnixMs};
  for (const TAuditResult& r : report.Results) {
    const std::string name(AuditCheckName(r.Check));
    const std::string caption(AuditCheckCaption(r.Check));
    const bool ran = r.Mark != TAuditMark::Unable;
    sample.Values.push_back(TWatchValue{.Source = std::string(kWatchCheck),
                                        .Subject = name,
                                        .Caption = caption,
                                        .Read = ran,
                                        .Text = std::string(AuditMarkName(r.Mark)),
                                        .Shown = std::string(AuditMarkWord(r.Mark))});
    switch (r.Check) {
      case TAuditCheck::Certificate:
      case TAuditCheck::Sitemap: {
        const TAuditNumber number = r.Check == TAuditCheck::Certificate
                                        ? TAuditNumber::CertificateDaysLeft
                                        : TAuditNumber::SitemapUrls;
        sample.Values.push_back(
            NumberValue(r.Check == TAuditCheck::Certificate ? kWatchCertificate : kWatchSitemapUrls,
                        "", std::string(AuditNumberCaption(number)), report.Number(number)));
        break;
      }
      case TAuditCheck::Robots: {
        std::string digest;
        bool shut = false;
        for (const std::string& line : r.Details) {
          if (line.starts_with(kRobotsDigestLabel)) digest = line.substr(kRobotsDigestLabel.size());
          shut = shut || line == kRobotsShutsEveryone;
        }
        // A robots.txt that is absent (4xx) is a file without rules.
        const bool read = !digest.empty() || r.Mark == TAuditMark::Pass;
        if (read && digest.empty()) digest = RobotsRulesDigest("");
        sample.Values.push_back(TWatchValue{.Source = std::string(kWatchRobots),
                                            .Caption = "robots.txt",
                                            .Read = read,
                                            .Text = digest,
                                            .Shown = digest});
        sample.Values.push_back(
            NumberValue(kWatchRobotsShut, "", "robots.txt 全站禁止",
                        read ? std::optional<double>(shut ? 1 : 0) : std::nullopt));
        break;
      }
      case TAuditCheck::Head:
        sample.Values.push_back(TWatchValue{.Source = std::string(kWatchHome),
                                            .Caption = "首页",
                                            .Read = ran,
                                            .Text = ran ? "up" : "down",
                                            .Shown = ran ? "可以访问" : "无法访问"});
        break;
      default:
        break;
    }
  }
  return sample;
}

TWatchSample CrawlSample(TCrawlStore& store, int64_t crawl, bool count_findings) {
  TWatchSample sample{.Kind = TWatchKind::Crawl};
  const std::optional<TCrawlInfo> info = store.Crawl(crawl);
  if (!info) return sample;
  sample.Site = info->Site;
  sample.RunId = info->RunId;
  sample.StartedUnixMs = info->StartedMs;
  std::optional<double> errors;
  if (info->State == "done") {
    errors = 0;
    if (count_findings) {
      const bool read = store.EachFinding(crawl, [&](const TCrawlFinding& f) {
        const TCrawlRule* rule = FindCrawlRule(f.Rule);
        if (f.Change == TCrawlChange::New && rule && rule->Severity == TCrawlSeverity::Error)
          ++*errors;
      });
      if (!read) errors.reset();
    }
  }
  sample.Values.push_back(NumberValue(kWatchNewErrors, "", "全站体检新错误", errors));
  return sample;
}
