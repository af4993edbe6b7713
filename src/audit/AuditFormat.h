// Small texts the checks share: durations, sizes, and a result begun with its check and URL.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "audit/AuditPage.h"
#include "audit/AuditReport.h"

// "12 ms", "1.2 s"; "—" for a time not measured (negative).
inline std::string AuditMsText(double ms) {
  if (ms < 0) return "—";
  char text[32];
  if (ms < 1000) {
    std::snprintf(text, sizeof text, ms < 10 ? "%.1f ms" : "%.0f ms", ms);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", ms / 1000);
  }
  return text;
}

// "812 字节", "3.4 KiB", "3.0 MiB".
inline std::string AuditBytesText(int64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld 字节", static_cast<long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  }
  return text;
}

// "50,000": a count with its thousands set apart.
inline std::string AuditCountText(uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// A result for `check` from `url`, marked Unable until the check decides.
inline TAuditResult AuditResultFor(TAuditCheck check, const std::string& url) {
  TAuditResult result;
  result.Check = check;
  result.Url = url;
  return result;
}

inline void AuditMark(TAuditResult& result, TAuditMark mark, std::string value,
                      std::string reason) {
  result.Mark = mark;
  result.Value = std::move(value);
  result.Reason = std::move(reason);
}

// The network layer's own words about a failure as further lines of `result`, a line of them
// each: they may run over several ("Socket Error # 10061\r\nConnection refused.").
inline void AuditAddDetailLines(TAuditResult& result, std::string_view words) {
  while (!words.empty()) {
    const size_t end = std::min(words.find_first_of("\r\n"), words.size());
    if (end > 0) result.Details.emplace_back(words.substr(0, end));
    words.remove_prefix(std::min(end + 1, words.size()));
  }
}

// The reason a page that did not come says why: "无法读取：连接超时".
inline std::string AuditUnreadable(const std::string& failure) { return "无法读取：" + failure; }

// Marks `result` Unable with the page's failure when the page did not come; true then.
inline bool AuditUnanswered(const TAuditPage& page, TAuditResult& result) {
  if (page.Answered) return false;
  AuditMark(result, TAuditMark::Unable, "", AuditUnreadable(page.Failure));
  return true;
}
