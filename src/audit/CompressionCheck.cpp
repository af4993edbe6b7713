// The home page asked with Accept-Encoding: gzip, deflate, br comes back in one of them, unless
// it is too small to be worth it; a coding it was not asked for cannot be read at all.
#include <vector>

#include "audit/AuditChecks.h"
#include "audit/AuditFormat.h"
#include "http/NetContentDecoder.h"
#include "runtime/StrUtils.h"

namespace {

// Below this a page fits one packet and compressing it gains nothing.
constexpr int64_t kWorthCompressing = 1434;

}  // namespace

TAuditResult CheckCompression(const TAuditPage& home) {
  TAuditResult result = AuditResultFor(TAuditCheck::Compression, home.Url);
  if (AuditUnanswered(home, result)) return result;
  const std::string coding = LowerCase(home.Header("Content-Encoding"));
  const int64_t decoded = static_cast<int64_t>(home.Body.size());
  const std::string sizes =
      "线路 " + AuditBytesText(home.WireBytes) + " / 解开 " + AuditBytesText(decoded);
  result.Details.push_back("线路上 " + std::to_string(home.WireBytes) + " 字节，解开后 " +
                           std::to_string(decoded) + " 字节" + (home.BodyCut ? "（已截断）" : ""));
  std::vector<TNetContentCoding> codings;  // what the client itself undid
  if (!home.UnreadableCoding().empty()) {
    AuditMark(
        result, TAuditMark::Fail, coding + "：线路 " + AuditBytesText(home.WireBytes),
        "首页以无法解开的内容编码 " + coding + " 传送（只请求了 gzip、deflate、br），读不出来");
  } else if (ContentCodingsToUndo(coding, codings) && !codings.empty()) {
    AuditMark(result, TAuditMark::Pass, coding + "：" + sizes, "首页以 " + coding + " 压缩传送");
  } else if (decoded <= kWorthCompressing) {
    AuditMark(result, TAuditMark::Pass, "未压缩：" + sizes,
              "首页不到 " + AuditBytesText(kWorthCompressing) + "，不必压缩");
  } else if (!coding.empty() && coding != "identity") {
    AuditMark(result, TAuditMark::Warn, coding + "：" + sizes,
              "首页以浏览器少见的 " + coding + " 编码传送");
  } else {
    AuditMark(
        result, TAuditMark::Fail, "未压缩：" + sizes,
        "首页超过 " + AuditBytesText(kWorthCompressing) + "，却没有按 gzip、deflate 或 br 压缩");
  }
  return result;
}
