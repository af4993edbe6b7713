// The check-up against stand-in sites: each site × check gives its mark and a telling part of its
// value or reason. The sites are checked once, side by side, and the rows read their reports.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audit/SiteAudit.h"
#include "http/NetRequestPacer.h"
#include "support/AuditStandIns.h"
#include "transport/NetResolver.h"

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kSilentTimeoutMs = 1500;

using M = TAuditMark;

class SiteAuditTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sites_ = new AuditStandIns;
    SetNetNameServers(sites_->Dns().Server());
    std::vector<std::thread> runs;
    const char* names[] = {"good", "bad", "hostile", "silent", "deep", "large", "broken", "back"};
    for (const char* name : names) reports_[name];  // made before the threads write
    for (const std::string name : names) {
      runs.emplace_back([name, site = &sites_->Site(name)] {
        TAuditTarget target{site->host, site->host, site->http_port, site->https_port};
        TAuditOptions options;
        options.TimeoutMs = name == "silent" ? kSilentTimeoutMs : kTimeoutMs;
        // Politeness is the pacing's own concern; here it would only slow the table down.
        options.Pacing = std::make_shared<TNetRequestPacer>(std::chrono::milliseconds(5), 4,
                                                            TNetRequestPacer::TFrom::Start,
                                                            TNetRequestPacer::TServer::Host);
        reports_[name] = RunAudit(target, options);
      });
    }
    for (std::thread& t : runs) t.join();
  }
  static void TearDownTestSuite() {
    SetNetNameServers("");
    delete sites_;
  }

  static AuditStandIns* sites_;
  static std::map<std::string, TAuditReport> reports_;
};

AuditStandIns* SiteAuditTest::sites_ = nullptr;
std::map<std::string, TAuditReport> SiteAuditTest::reports_;

TEST_F(SiteAuditTest, EachSiteGivesEachCheckItsMark) {
  for (const AuditStandInRow& row : AuditStandInRows()) {
    const TAuditResult* result = reports_[row.Site].Find(row.Check);
    SCOPED_TRACE(std::string(row.Site) + " " + std::string(AuditCheckName(row.Check)));
    ASSERT_NE(result, nullptr);
    EXPECT_NE(std::find(row.Marks.begin(), row.Marks.end(), result->Mark), row.Marks.end())
        << AuditMarkName(result->Mark) << ": " << result->Value << " / " << result->Reason;
    EXPECT_NE((result->Value + " " + result->Reason).find(row.Text), std::string::npos)
        << result->Value << " / " << result->Reason;
    if (result->Mark != M::Unable) {
      EXPECT_FALSE(result->Url.empty());
    }
  }
}

TEST_F(SiteAuditTest, NumbersAndLimits) {
  const TAuditReport& good = reports_["good"];
  EXPECT_NEAR(good.Number(TAuditNumber::CertificateDaysLeft).value_or(0), 89.5, 0.6);
  EXPECT_GT(good.Number(TAuditNumber::PageBytes).value_or(0), 1434);
  EXPECT_GE(good.Number(TAuditNumber::FirstByteMs).value_or(-1), 0);
  EXPECT_LT(reports_["bad"].Number(TAuditNumber::CertificateDaysLeft).value_or(0), 0);
  EXPECT_GT(reports_["bad"].Number(TAuditNumber::PageBytes).value_or(0), 3 << 20);
  // The content of a site whose certificate was refused is still read, and says how.
  const TAuditResult* compression = reports_["bad"].Find(TAuditCheck::Compression);
  ASSERT_NE(compression, nullptr);
  EXPECT_NE(std::find(compression->Details.begin(), compression->Details.end(),
                      "证书未通过验证，内容在不验证证书的情况下读取"),
            compression->Details.end());
  // A site that never answers ends within the time-out plus a little.
  EXPECT_LT(reports_["silent"].ElapsedMs, kSilentTimeoutMs + 2000);
  EXPECT_LT(reports_["hostile"].ElapsedMs, kTimeoutMs + 2000);
  // The large home page is judged on what came up to the cap, and said to be cut.
  EXPECT_GE(reports_["large"].Number(TAuditNumber::PageBytes).value_or(0), 10 << 20);
}

}  // namespace
