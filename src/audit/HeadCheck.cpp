// The home page's head as search engines read it. The body (content coding already undone) is
// read in the charset it declares as browsers find it (a byte-order mark, Content-Type, meta; any
// label of the Encoding Standard; UTF-8 when it is valid UTF-8 and declares nothing, else GBK),
// then parsed as HTML until the check-up's deadline or stop.
//
// Marks:
//   Unable  the home page did not answer, answered with an error status, or came in a content
//           coding that cannot be undone: there is no page to read
//   Fail    noindex (robots meta or X-Robots-Tag: search engines drop the page); no title or an
//           empty one; not exactly one <h1> with text
//   Warn    a title outside 30-75 characters; no description or one outside 120-160 characters;
//           no canonical link, more than one, or one that is relative or on another site; no
//           lang on <html>; no charset declared (header, meta or byte-order mark); a page read
//           only in part (nested too deep, the time up, stopped), the rest not judged
//   Pass    otherwise
// Lengths are characters, not bytes.
#include <algorithm>
#include <functional>
#include <string>
#include <string_view>

#include "audit/AuditChecks.h"
#include "audit/AuditFindings.h"
#include "audit/AuditFormat.h"
#include "audit/PageHead.h"
#include "encoding/PageCharset.h"
#include "http/NetUrl.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

constexpr std::size_t kTitleMinChars = 30, kTitleMaxChars = 75;
constexpr std::size_t kDescriptionMinChars = 120, kDescriptionMaxChars = 160;

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (DecodeUtf8(text, i) < 0) return false;
  }
  return true;
}

std::string_view SourceName(TCharsetSource source) {
  switch (source) {
    case TCharsetSource::ByteOrderMark:
      return "BOM";
    case TCharsetSource::ContentType:
      return "Content-Type";
    case TCharsetSource::MetaElement:
      return "meta";
    case TCharsetSource::None:
      break;
  }
  return "未声明";
}

// The page's text as UTF-8, and which charset it was read in and why ("GBK（meta）").
struct TDecodedPage {
  std::string Text;
  std::string Charset;
  bool Declared = false;  // the charset was named (byte-order mark, header or meta)
};

TDecodedPage DecodePage(const std::string& body, const std::string& content_type) {
  TSniffedCharset sniffed = SniffPageCharset(body, content_type);
  if (sniffed.Source == TCharsetSource::None && IsValidUtf8(body)) {
    sniffed.Charset = TPageCharset::Utf8;
  }
  return {PageTextToUtf8(body, sniffed.Charset),
          std::string(PageCharsetName(sniffed.Charset)) + "（" +
              std::string(SourceName(sniffed.Source)) + "）",
          sniffed.Source != TCharsetSource::None};
}


// The host without a leading "www.", lower case: the www twin is the same site.
std::string SiteOfHost(const std::string& host) {
  std::string site = LowerCase(host);
  if (StartsText("www.", site)) site.erase(0, 4);
  return site;
}

void CheckCanonical(const TPageHead& head, const std::string& page_url, TAuditResult& result,
                    TAuditFindings& findings) {
  if (head.CanonicalCount == 0) {
    result.Details.push_back("canonical：无");
    findings.Add(TAuditMark::Warn, "没有 canonical 链接");
    return;
  }
  const std::string& href = head.Canonicals.front();
  result.Details.push_back("canonical：" + href);
  if (head.CanonicalCount > 1) {
    findings.Add(TAuditMark::Warn,
                 "有 " + std::to_string(head.CanonicalCount) + " 个 canonical 链接");
    return;
  }
  // Read as browsers read it, on its own: a relative reference does not parse without a base.
  const TNetUrlResult canonical = TNetUrl::Parse(href);
  const TNetUrlResult page = TNetUrl::Parse(page_url);
  if (!canonical) {
    findings.Add(TAuditMark::Warn, "canonical 不是绝对地址");
  } else if (page && SiteOfHost(canonical.Url->Hostname()) != SiteOfHost(page.Url->Hostname())) {
    findings.Add(TAuditMark::Warn, "canonical 指向别的站点 " + canonical.Url->Hostname());
  }
}

void CheckLengths(const TPageHead& head, TAuditResult& result, TAuditFindings& findings) {
  if (!head.Title || head.Title->Chars == 0) {
    result.Details.push_back("标题：无");
    findings.Add(TAuditMark::Fail, "没有标题");
  } else {
    const std::size_t n = head.Title->Chars;
    result.Details.push_back("标题：" + head.Title->Text + "（" + std::to_string(n) + " 字）");
    if (n < kTitleMinChars || n > kTitleMaxChars) {
      findings.Add(TAuditMark::Warn, "标题 " + std::to_string(n) + " 字，宜在 30–75 字");
    }
  }
  if (!head.Description || head.Description->Chars == 0) {
    result.Details.push_back("描述：无");
    findings.Add(TAuditMark::Warn, "没有 description");
  } else {
    const std::size_t n = head.Description->Chars;
    result.Details.push_back("描述：" + std::to_string(n) + " 字");
    if (n < kDescriptionMinChars || n > kDescriptionMaxChars) {
      findings.Add(TAuditMark::Warn, "description " + std::to_string(n) + " 字，宜在 120–160 字");
    }
  }
}

}  // namespace

TAuditResult CheckHead(const TAuditPage& home, const TNetDeadline& deadline,
                       const std::function<bool()>& stopped) {
  TAuditResult result;
  result.Check = TAuditCheck::Head;
  result.Url = home.FinalUrl.empty() ? home.Url : home.FinalUrl;
  if (!home.Answered) {
    result.Mark = TAuditMark::Unable;
    result.Reason = "取不到首页：" + home.Failure;
    return result;
  }
  if (home.Status < 200 || home.Status >= 300) {
    result.Mark = TAuditMark::Unable;
    result.Reason = "首页返回 HTTP " + std::to_string(home.Status) + "，没有页面可查";
    return result;
  }
  if (const std::string coding = home.UnreadableCoding(); !coding.empty()) {
    result.Mark = TAuditMark::Unable;
    result.Reason = "首页以无法解开的内容编码 " + coding + " 传送，读不出页面";
    return result;
  }

  const std::string content_type = home.Header("Content-Type");
  const TDecodedPage page = DecodePage(home.Body, content_type);
  const TPageHead head = ReadPageHead(page.Text, deadline, stopped);
  if (home.BodyCut) {
    result.Details.push_back("页面超过读取上限，只查了前 " + AuditBytesText(home.Body.size()));
  }

  TAuditFindings findings;
  const std::string read_part =
      "，只读了前 " + AuditBytesText(head.BytesRead) + "，其后的内容没有查";
  switch (head.End) {
    case TPageHeadEnd::Whole:
      break;
    case TPageHeadEnd::TooDeep:
      findings.Add(TAuditMark::Warn,
                   "页面元素嵌套超过 " + std::to_string(kPageHeadMaxDepth) + " 层" + read_part);
      break;
    case TPageHeadEnd::Deadline:
      findings.Add(TAuditMark::Warn, "超出检查时限" + read_part);
      break;
    case TPageHeadEnd::Stopped:
      findings.Add(TAuditMark::Warn, "已停止" + read_part);
      break;
  }
  if (head.TagsCut > 0) {
    result.Details.push_back(std::to_string(head.TagsCut) + " 个标签的属性超过 " +
                             std::to_string(kPageHeadMaxAttributes) + " 个，多出的没有读");
  }
  for (const auto& [name, value] : home.Headers) {
    if (SameText(name, "X-Robots-Tag") && RobotsSaysNoindex(value)) {
      result.Details.push_back("X-Robots-Tag: " + value);
      findings.Add(TAuditMark::Fail, "X-Robots-Tag 头要求 noindex");
      break;
    }
  }
  for (const std::string& robots : head.RobotsMetas) {
    if (RobotsSaysNoindex(robots)) {
      result.Details.push_back("robots meta：" + robots);
      findings.Add(TAuditMark::Fail, "robots meta 要求 noindex");
      break;
    }
  }
  CheckLengths(head, result, findings);
  result.Details.push_back("h1：" + std::to_string(head.H1Count) + " 个（有文字的 " +
                           std::to_string(head.NonEmptyH1Count) + " 个）");
  if (head.NonEmptyH1Count != 1) {
    findings.Add(TAuditMark::Fail,
                 "有文字的 h1 有 " + std::to_string(head.NonEmptyH1Count) + " 个，应恰好 1 个");
  }
  CheckCanonical(head, result.Url, result, findings);
  const bool has_lang = head.Lang && !Trim(*head.Lang).empty();
  result.Details.push_back("lang：" + (has_lang ? *head.Lang : std::string("无")));
  if (!has_lang) findings.Add(TAuditMark::Warn, "<html> 没有 lang 属性");
  const bool declared = page.Declared || head.MetaCharset ||
                        LowerCase(content_type).find("charset=") != std::string::npos;
  result.Details.push_back("字符集：" + page.Charset);
  if (!declared) findings.Add(TAuditMark::Warn, "没有声明字符集");

  result.Value =
      (head.Title ? "标题 " + std::to_string(head.Title->Chars) + " 字" : "无标题") + " · " +
      (head.Description ? "描述 " + std::to_string(head.Description->Chars) + " 字" : "无描述") +
      " · h1 ×" + std::to_string(head.NonEmptyH1Count);
  findings.Finish(result, "页面头部齐全");
  return result;
}
