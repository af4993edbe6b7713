#include "query/Outcome.h"

#include <cstdio>
#include <iterator>
#include <string_view>
#include <vector>

#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

const char* const kOutcomeWords[] = {"pending", "value",    "no-match", "blocked",   "failed",
                                     "stopped", "disabled", "retired",  "key-needed"};
static_assert(std::size(kOutcomeWords) == static_cast<size_t>(TFieldState::KeyNeeded) + 1,
              "a word for every field state");

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
  if (fetch.End == TFetchEnd::Stopped) {
    result.State = TFieldState::Stopped;
  } else if (fetch.End == TFetchEnd::HttpStatus && IsBlockingStatus(fetch.HttpStatus)) {
    result.State = TFieldState::Blocked;
  } else {
    result.State = TFieldState::Failed;
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

bool HoldsMarker(const std::string& text, const std::vector<std::string>& markers) {
  const std::string upper = AnsiUpperCase(text);
  for (const std::string& marker : markers) {
    if (!marker.empty() && upper.find(AnsiUpperCase(marker)) != std::string::npos) return true;
  }
  return false;
}

bool NotAsked(TFieldState state) {
  return state == TFieldState::Disabled || state == TFieldState::Retired ||
         state == TFieldState::KeyNeeded;
}

bool IsBlockingStatus(int status) { return status == 403 || status == 429 || status == 503; }

std::string StateWord(TFieldState state) {
  switch (state) {
    case TFieldState::Value:
      return "";
    case TFieldState::Pending:
      return Gbk(u8"查询中");
    case TFieldState::NoMatch:
      return Gbk(u8"未找到");
    case TFieldState::Blocked:
      return Gbk(u8"被拦截");
    case TFieldState::Failed:
      return Gbk(u8"无法访问");
    case TFieldState::Stopped:
      return Gbk(u8"已停止");
    case TFieldState::Disabled:
    case TFieldState::Retired:
      return Gbk(u8"已停用");
    case TFieldState::KeyNeeded:
      return Gbk(u8"需要密钥");
  }
  return "";
}

const char* OutcomeWord(TFieldState state) {
  const auto i = static_cast<size_t>(state);
  return i < std::size(kOutcomeWords) ? kOutcomeWords[i] : "failed";
}

TFieldState StateOfOutcomeWord(const std::string& word) {
  for (size_t s = 0; s < std::size(kOutcomeWords); ++s) {
    if (word == kOutcomeWords[s]) return static_cast<TFieldState>(s);
  }
  return TFieldState::Failed;
}

std::string NoValueReason(const TFieldResult& result) {
  switch (result.State) {
    case TFieldState::Value:
      return "";
    case TFieldState::Failed:
      return StateWord(TFieldState::Failed) + Gbk(u8"：") + FetchReason(result.Fetch);
    case TFieldState::Blocked:
      if (result.Fetch.HttpStatus != 0) {
        return StateWord(TFieldState::Blocked) + Gbk(u8"（HTTP ") + std::to_string(result.Fetch.HttpStatus) +
               Gbk(u8"）");
      }
      return StateWord(TFieldState::Blocked);
    case TFieldState::Retired:
      if (result.Note.empty()) break;
      return StateWord(result.State) + Gbk(u8"：服务已于 ") + result.Note + Gbk(u8" 关闭");
    case TFieldState::KeyNeeded:
      if (result.Note.empty()) break;
      // The variable's name, or what is wrong with its value (a name has no blanks).
      if (result.Note.find(' ') != std::string::npos) {
        return StateWord(result.State) + Gbk(u8"：") + result.Note;
      }
      return StateWord(result.State) + Gbk(u8"：设置 ") + result.Note;
    case TFieldState::NoMatch:
      if (!result.Note.empty()) return result.Note;
      break;
    default:
      break;
  }
  return StateWord(result.State);
}

std::string FetchReason(const TFetchOutcome& fetch) {
  switch (fetch.End) {
    case TFetchEnd::TlsRefused:
      return Utf8ToGbk(FetchEndWord(fetch.End)) + Gbk(u8"：") + fetch.Detail;
    case TFetchEnd::HttpStatus:
      return "HTTP " + std::to_string(fetch.HttpStatus);
    case TFetchEnd::TooManyRedirects:
      return Utf8ToGbk(FetchEndWord(fetch.End)) +
             (fetch.Detail.empty() ? "" : Gbk(u8"：") + fetch.Detail);
    default:
      return Utf8ToGbk(FetchEndWord(fetch.End));
  }
}

std::string SecondsText(uint32_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u", ms / 1000, (ms % 1000) / 100);
  return buf + Gbk(u8" 秒");
}

std::string FieldTooltip(const TFieldResult& result) {
  const TFetchOutcome& f = result.Fetch;
  std::string tip;
  switch (result.State) {
    case TFieldState::Pending:
      return Gbk(u8"查询中…");
    case TFieldState::Stopped:
      return Gbk(u8"已停止");
    case TFieldState::Disabled:
      return Gbk(u8"已停用");
    case TFieldState::Retired:
    case TFieldState::KeyNeeded:
      // Which service: the request that is not made.
      return NoValueReason(result) + "\n" + f.Url;
    case TFieldState::Value:
      tip = Gbk(u8"来源：") + f.Url;
      break;
    case TFieldState::NoMatch:
      tip =
          (result.Note.empty() ? Gbk(u8"未找到：页面中没有这个数值") : result.Note) + "\n" + f.Url;
      break;
    case TFieldState::Blocked:
      tip = Gbk(u8"被拦截：服务要求验证或限制了访问频率") + "\n" + f.Url;
      break;
    case TFieldState::Failed:
      tip = NoValueReason(result) + Gbk(u8"（") + SecondsText(f.ElapsedMs) + Gbk(u8"）") + "\n" +
            f.Url;
      break;
  }
  if (f.HttpStatus != 0) tip += "\n" + Gbk(u8"HTTP 状态：") + std::to_string(f.HttpStatus);
  tip += "\n" + Gbk(u8"用时：") + SecondsText(f.ElapsedMs);
  return tip;
}

