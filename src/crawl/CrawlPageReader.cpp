#include "crawl/CrawlPageReader.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "audit/LibXml.h"
#include "runtime/StrUtils.h"

namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kMaxTitleBytes = 1024;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

bool IsHtmlSpace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

std::string_view Text(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

std::optional<std::string_view> Attribute(const xmlChar** attrs, std::string_view name) {
  for (int i = 0; attrs && attrs[i]; i += 2) {
    if (SameText(Text(attrs[i]), name)) return Text(attrs[i + 1]);
  }
  return std::nullopt;
}

// Whether a blank-separated token list holds token (letter case ignored).
bool HasToken(std::string_view list, std::string_view token) {
  std::size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsHtmlSpace(list[i])) ++i;
    const std::size_t start = i;
    while (i < list.size() && !IsHtmlSpace(list[i])) ++i;
    if (i > start && SameText(list.substr(start, i - start), token)) return true;
  }
  return false;
}

// Text with its blanks collapsed to one space and trimmed, counted in characters.
struct TCollapsed {
  std::string Text;
  int Chars = 0;
  bool Blank = false;
  void Append(std::string_view text, std::size_t max_bytes) {
    for (char c : text) {
      if (IsHtmlSpace(c)) {
        Blank = Chars > 0;
        continue;
      }
      if (Blank) Put(' ', max_bytes);
      Blank = false;
      Put(c, max_bytes);
    }
  }
  // Cut only where a character starts, so the kept text stays whole characters.
  void Put(char c, std::size_t max_bytes) {
    const bool starts_char = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (starts_char) {
      ++Chars;
      Full = Full || Text.size() + 4 > max_bytes;
    }
    if (!Full) Text += c;
  }
  bool Full = false;
};

struct TState {
  TCrawlPageReading Reading;
  int TitleDepth = 0;
  bool TitleDone = false;
  TCollapsed Title;
  int HiddenDepth = 0;  // inside <script>, <style>, <noscript>, <template>
  // FNV-1a over the visible text with blanks collapsed.
  uint64_t Hash = kFnvOffset;
  bool HashedAny = false;
  bool PendingBlank = false;
};

void AddLink(TState& state, std::optional<std::string_view> href, TCrawlLinkKind kind) {
  if (!href) return;
  std::string_view url = *href;
  while (!url.empty() && IsHtmlSpace(url.front())) url.remove_prefix(1);
  while (!url.empty() && IsHtmlSpace(url.back())) url.remove_suffix(1);
  if (url.empty()) return;
  TCrawlPageReading& r = state.Reading;
  if (r.Links.size() >= kCrawlMaxLinksPerPage) {
    ++r.LinksDropped;
    return;
  }
  r.Links.push_back({std::string(url), kind});
}

bool IsHidden(std::string_view name) {
  return name == "script" || name == "style" || name == "noscript" || name == "template";
}

void OnStart(void* context, const xmlChar* name_text, const xmlChar** attrs) {
  auto& state = *static_cast<TState*>(context);
  TCrawlPageReading& r = state.Reading;
  const std::string_view name = Text(name_text);
  if (IsHidden(name)) ++state.HiddenDepth;
  if (name == "a") {
    AddLink(state, Attribute(attrs, "href"), TCrawlLinkKind::Anchor);
  } else if (name == "img") {
    AddLink(state, Attribute(attrs, "src"), TCrawlLinkKind::Image);
    if (!Attribute(attrs, "alt")) ++r.ImagesWithoutAlt;
  } else if (name == "script") {
    AddLink(state, Attribute(attrs, "src"), TCrawlLinkKind::Script);
  } else if (name == "iframe") {
    AddLink(state, Attribute(attrs, "src"), TCrawlLinkKind::Frame);
  } else if (name == "link") {
    const std::string_view rel = Attribute(attrs, "rel").value_or("");
    const auto href = Attribute(attrs, "href");
    if (HasToken(rel, "canonical")) {
      if (r.Canonical.empty() && href) r.Canonical = std::string(*href);
      AddLink(state, href, TCrawlLinkKind::Canonical);
    }
    if (HasToken(rel, "alternate") && Attribute(attrs, "hreflang")) {
      AddLink(state, href, TCrawlLinkKind::Alternate);
    }
    if (HasToken(rel, "stylesheet")) AddLink(state, href, TCrawlLinkKind::Style);
  } else if (name == "base") {
    if (r.BaseHref.empty()) r.BaseHref = std::string(Attribute(attrs, "href").value_or(""));
  } else if (name == "title") {
    if (state.TitleDepth > 0) {
      ++state.TitleDepth;
    } else if (!state.TitleDone) {
      state.TitleDepth = 1;
    }
  } else if (name == "h1") {
    ++r.H1Count;
  } else if (name == "meta") {
    const auto meta_name = Attribute(attrs, "name");
    const auto content = Attribute(attrs, "content");
    if (!meta_name || !content) return;
    if (SameText(*meta_name, "description") && !r.Description) {
      TCollapsed d;
      d.Append(*content, kMaxTitleBytes);
      r.Description = d.Text;
    } else if ((SameText(*meta_name, "robots") || SameText(*meta_name, "velmorabot")) &&
               (LowerCase(*content).find("noindex") != std::string::npos ||
                LowerCase(*content).find("none") != std::string::npos)) {
      r.NoIndex = true;
    }
  }
}

void OnEnd(void* context, const xmlChar* name_text) {
  auto& state = *static_cast<TState*>(context);
  const std::string_view name = Text(name_text);
  if (IsHidden(name) && state.HiddenDepth > 0) --state.HiddenDepth;
  if (name == "title" && state.TitleDepth > 0 && --state.TitleDepth == 0) {
    state.TitleDone = true;
    state.Reading.Title = state.Title.Text;
    state.Reading.TitleChars = state.Title.Chars;
  }
}

void OnCharacters(void* context, const xmlChar* chars, int length) {
  auto& state = *static_cast<TState*>(context);
  const std::string_view text(reinterpret_cast<const char*>(chars), length > 0 ? length : 0);
  if (state.TitleDepth > 0) {
    state.Title.Append(text, kMaxTitleBytes);
    return;
  }
  if (state.HiddenDepth > 0) return;
  for (char c : text) {
    if (IsHtmlSpace(c)) {
      state.PendingBlank = state.HashedAny;
      continue;
    }
    auto mix = [&](char b) {
      state.Hash = (state.Hash ^ static_cast<unsigned char>(b)) * kFnvPrime;
    };
    if (state.PendingBlank) mix(' ');
    state.PendingBlank = false;
    mix(c);
    state.HashedAny = true;
  }
}

void Quiet(void*, const char*, ...) {}

}  // namespace

TCrawlPageReading ReadCrawlPage(std::string_view utf8_html) {
  PrepareLibXml();
  htmlSAXHandler sax{};
  sax.startElement = OnStart;
  sax.endElement = OnEnd;
  sax.characters = OnCharacters;
  sax.warning = Quiet;
  sax.error = Quiet;
  sax.fatalError = Quiet;
  TState state;
  std::unique_ptr<htmlParserCtxt, decltype(&htmlFreeParserCtxt)> parser(
      htmlCreatePushParserCtxt(&sax, &state, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8),
      htmlFreeParserCtxt);
  if (!parser) return state.Reading;
  htmlCtxtUseOptions(parser.get(), HTML_PARSE_NONET | HTML_PARSE_RECOVER | HTML_PARSE_IGNORE_ENC);
  while (!utf8_html.empty()) {
    const std::size_t n = std::min(utf8_html.size(), kChunkBytes);
    htmlParseChunk(parser.get(), utf8_html.data(), static_cast<int>(n), 0);
    utf8_html.remove_prefix(n);
  }
  htmlParseChunk(parser.get(), nullptr, 0, 1);
  if (state.TitleDepth > 0 && !state.Reading.Title) {
    state.Reading.Title = state.Title.Text;
    state.Reading.TitleChars = state.Title.Chars;
  }
  if (state.HashedAny) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex(16, '0');
    for (int i = 15; i >= 0; --i, state.Hash >>= 4) hex[i] = kHex[state.Hash & 15];
    state.Reading.TextHash = hex;
  }
  return state.Reading;
}
