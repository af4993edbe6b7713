// The home page's times and weight: the first fetch on a connection of its own (lookup, connect,
// handshake, first byte, whole page), and the median of three more on the warm connection.
#include <algorithm>

#include "audit/AuditChecks.h"
#include "audit/AuditFormat.h"

namespace {

constexpr double kSlowFirstByteMs = 600;
constexpr int64_t kHeavyPageBytes = 2 * 1024 * 1024;
constexpr int kWarmFetches = 3;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

TAuditResult CheckSpeed(const TAuditPage& first, const TAuditFetch& fetch) {
  TAuditResult result = AuditResultFor(TAuditCheck::Speed, first.Url);
  if (AuditUnanswered(first, result)) return result;
  TAuditFetchOptions warm_options;
  std::vector<double> first_bytes, totals;
  for (int i = 0; i < kWarmFetches; ++i) {
    const TAuditPage warm = fetch(first.Url, warm_options);
    if (!warm.Answered || warm.FirstByteMs < 0) break;
    first_bytes.push_back(warm.FirstByteMs);
    totals.push_back(warm.TotalMs);
  }
  result.Details.push_back("首次：DNS " + AuditMsText(first.DnsMs) + "，连接 " +
                           AuditMsText(first.ConnectMs) + "，TLS " + AuditMsText(first.TlsMs) +
                           "，首字节 " + AuditMsText(first.FirstByteMs) + "，全页 " +
                           AuditMsText(first.TotalMs));
  double first_byte = first.FirstByteMs;
  if (!first_bytes.empty()) {
    first_byte = Median(first_bytes);
    result.Details.push_back("热连接 " + std::to_string(first_bytes.size()) +
                             " 次的中位数：首字节 " + AuditMsText(first_byte) + "，全页 " +
                             AuditMsText(Median(totals)));
  } else {
    result.Details.push_back("热连接的读取没有成功，只有首次的数值");
  }
  const int64_t bytes = static_cast<int64_t>(first.Body.size());
  result.Details.push_back("HTML 大小：" + std::to_string(bytes) + " 字节" +
                           (first.BodyCut ? "（超过读取上限，已截断）" : ""));
  if (first_byte >= 0) result.Numbers.emplace_back(TAuditNumber::FirstByteMs, first_byte);
  result.Numbers.emplace_back(TAuditNumber::PageBytes, static_cast<double>(bytes));

  const std::string value = "首字节 " + AuditMsText(first_byte) + " · " + AuditBytesText(bytes);
  const bool slow = first_byte > kSlowFirstByteMs;
  const bool heavy = bytes > kHeavyPageBytes;
  if (slow && heavy) {
    AuditMark(result, TAuditMark::Warn, value, "首字节超过 600 ms，HTML 超过 2 MiB");
  } else if (slow) {
    AuditMark(result, TAuditMark::Warn, value, "首字节超过 600 ms");
  } else if (heavy) {
    AuditMark(result, TAuditMark::Warn, value, "HTML 超过 2 MiB");
  } else {
    AuditMark(result, TAuditMark::Pass, value, "首字节不到 600 ms，HTML 不到 2 MiB");
  }
  return result;
}
