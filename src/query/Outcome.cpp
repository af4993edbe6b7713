#include "query/Outcome.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

std::string G(const char8_t* s) { return Gbk(s); }

// What verification and rate-limit pages say. Kept in one place so that a new wording is one
// line here; compared without regard to letter case.
const char8_t* const kBlockedMarkers[] = {
    u8"验证码",          u8"安全验证",   u8"访问过于频繁", u8"请求过于频繁",
    u8"unusual traffic", u8"/sorry/",    u8"captcha",      u8"security check",
    u8"too many requests", u8"rate limit",
};

}  // namespace

TFieldResult FailedField(const TFetchOutcome& fetch) {
  TFieldResult result;
  result.Fetch = fetch;
  if (fetch.End == feStopped) {
    result.State = fsStopped;
  } else if (fetch.End == feHttpStatus && IsBlockingStatus(fetch.HttpStatus)) {
    result.State = fsBlocked;
  } else {
    result.State = fsFailed;
  }
  return result;
}

bool LooksBlocked(const std::string& page) {
  static const std::vector<std::string>* markers = [] {
    auto* m = new std::vector<std::string>;
    for (const char8_t* s : kBlockedMarkers) m->push_back(AnsiUpperCase(Gbk(s)));
    return m;
  }();
  const std::string upper = AnsiUpperCase(page);
  for (const std::string& marker : *markers) {
    if (upper.find(marker) != std::string::npos) return true;
  }
  return false;
}

bool IsBlockingStatus(int status) { return status == 403 || status == 429 || status == 503; }

std::string StateWord(TFieldState state) {
  switch (state) {
    case fsValue:
      return "";
    case fsPending:
      return G(u8"查询中");
    case fsNoMatch:
      return G(u8"未找到");
    case fsBlocked:
      return G(u8"被拦截");
    case fsFailed:
      return G(u8"无法访问");
    case fsStopped:
      return G(u8"已停止");
    case fsDisabled:
      return G(u8"已停用");
  }
  return "";
}

std::string FetchReason(const TFetchOutcome& fetch) {
  switch (fetch.End) {
    case feFetched:
      return G(u8"已取得页面");
    case feHostNotFound:
      return G(u8"找不到主机");
    case feRefused:
      return G(u8"连接被拒绝");
    case feReset:
      return G(u8"连接被重置");
    case feConnectTimeout:
      return G(u8"连接超时");
    case feReadTimeout:
      return G(u8"读取超时");
    case feTlsRefused:
      return G(u8"安全连接失败：") + fetch.Detail;
    case feHttpStatus:
      return "HTTP " + std::to_string(fetch.HttpStatus);
    case feTooLarge:
      return G(u8"页面过大");
    case feStopped:
      return G(u8"已停止");
    case feProxyFailed:
      return G(u8"代理无法连接");
    case feOtherFailure:
      return fetch.Detail.empty() ? G(u8"未知错误") : fetch.Detail;
    case feResolveTimeout:
      return G(u8"域名解析超时");
  }
  return "";
}

std::string SecondsText(uint32_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u", ms / 1000, (ms % 1000) / 100);
  return buf + G(u8" 秒");
}

std::string FieldTooltip(const TFieldResult& result) {
  const TFetchOutcome& f = result.Fetch;
  std::string tip;
  switch (result.State) {
    case fsPending:
      return G(u8"查询中…");
    case fsStopped:
      return G(u8"已停止");
    case fsDisabled:
      return G(u8"已停用");
    case fsValue:
      tip = G(u8"来源：") + f.Url;
      break;
    case fsNoMatch:
      tip = G(u8"未找到：页面中没有这个数值") + "\n" + f.Url;
      break;
    case fsBlocked:
      tip = G(u8"被拦截：服务要求验证或限制了访问频率") + "\n" + f.Url;
      break;
    case fsFailed:
      tip = G(u8"无法访问：") + FetchReason(f) + G(u8"（") + SecondsText(f.ElapsedMs) +
            G(u8"）") + "\n" + f.Url;
      break;
  }
  if (f.HttpStatus != 0) tip += "\n" + G(u8"HTTP 状态：") + std::to_string(f.HttpStatus);
  tip += "\n" + G(u8"用时：") + SecondsText(f.ElapsedMs);
  return tip;
}

