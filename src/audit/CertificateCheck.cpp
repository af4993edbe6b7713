// The https certificate as the home page's handshake met it: verified against the system's trust
// store for the site's name, its days left, its issuer and the TLS version.
#include <chrono>
#include <cmath>
#include <ctime>

#include "audit/AuditChecks.h"
#include "audit/AuditFormat.h"

namespace {

constexpr int kWarnDays = 21;  // fewer days left than this warn
constexpr int kFailDays = 7;   // fewer fail

std::string DateText(int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

}  // namespace

TAuditResult CheckCertificate(const TAuditPage& home) {
  TAuditResult result = AuditResultFor(TAuditCheck::Certificate, home.Url);
  if (!home.CertNotAfterUnix && home.CertProblem.empty()) {
    // No handshake got as far as the certificate.
    AuditMark(result, TAuditMark::Unable, "", AuditUnreadable(home.Failure));
    AuditAddDetailLines(result, home.Detail);
    return result;
  }
  std::string days_text;
  if (home.CertNotAfterUnix) {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const double days = std::floor(static_cast<double>(*home.CertNotAfterUnix - now) / 86400.0);
    result.Numbers.emplace_back(TAuditNumber::CertificateDaysLeft, days);
    days_text = std::to_string(static_cast<int64_t>(days)) + " 天";
    result.Details.push_back("到期：" + DateText(*home.CertNotAfterUnix) + " (UTC)");
  }
  if (!home.CertIssuer.empty()) result.Details.push_back("签发者：" + home.CertIssuer);
  if (!home.TlsVersion.empty()) result.Details.push_back("TLS 版本：" + home.TlsVersion);

  if (!home.CertProblem.empty()) {
    result.Details.push_back(home.CertProblem);
    AuditMark(result, TAuditMark::Fail, days_text.empty() ? "未通过验证" : days_text,
              "证书未通过验证：" + home.CertProblem);
    return result;
  }
  const double days = result.Numbers.front().second;
  const std::string issued = home.CertIssuer.empty() ? "" : "，签发者 " + home.CertIssuer;
  if (days < 0) {
    AuditMark(result, TAuditMark::Fail, days_text, "证书已过期");
  } else if (days < kFailDays) {
    AuditMark(result, TAuditMark::Fail, days_text, "证书不到 7 天就到期");
  } else if (days < kWarnDays) {
    AuditMark(result, TAuditMark::Warn, days_text, "证书不到 21 天就到期，请及时续期");
  } else {
    AuditMark(result, TAuditMark::Pass, days_text,
              "证书有效" + issued + (home.TlsVersion.empty() ? "" : "，" + home.TlsVersion));
  }
  return result;
}
