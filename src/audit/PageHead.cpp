#include "audit/PageHead.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <algorithm>
#include <memory>

#include "audit/LibXml.h"
#include "runtime/StrUtils.h"

namespace {

// The page is handed to the parser in pieces of this size.
constexpr std::size_t kChunkBytes = 64 * 1024;

bool IsHtmlSpace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// Appends text to a TPageText, collapsing blanks; a blank is only written once a character
// follows it, so the text never ends in one.
class TTextCollector {
 public:
  explicit TTextCollector(TPageText& into) : into_(into) {}
  void Append(std::string_view text) {
    for (char c : text) {
      if (IsHtmlSpace(c)) {
        blank_ = into_.Chars > 0;
        continue;
      }
      if (blank_) Put(' ');
      blank_ = false;
      Put(c);
    }
  }

 private:
  void Put(char c) {
    const bool starts_char = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (starts_char) ++into_.Chars;
    // Cut only where a character starts, so the kept text stays whole characters.
    if (starts_char && into_.Text.size() + 4 > kPageHeadMaxText) full_ = true;
    if (!full_) into_.Text += c;
  }

  TPageText& into_;
  bool blank_ = false;
  bool full_ = false;
};

struct TReadState {
  TPageHead Head;
  bool SeenHtml = false;
  int TitleDepth = 0;  // inside the first <title>
  bool TitleDone = false;
  // An <h1> is open until its end tag or the next <h1> start (which libxml2 nests but browsers
  // take as closing the first).
  bool H1Open = false;
  bool H1HasText = false;
  std::optional<TTextCollector> TitleText;
};

std::string_view Text(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

// The value of an attribute in a start tag's name/value list; nothing when absent.
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

void CloseH1(TReadState& state) {
  if (state.H1Open && state.H1HasText) ++state.Head.NonEmptyH1Count;
  state.H1Open = false;
  state.H1HasText = false;
}

void OnMeta(TReadState& state, const xmlChar** attrs) {
  TPageHead& head = state.Head;
  if (Attribute(attrs, "charset")) head.MetaCharset = true;
  const auto content = Attribute(attrs, "content");
  const auto http_equiv = Attribute(attrs, "http-equiv");
  if (http_equiv && SameText(*http_equiv, "content-type") && content &&
      LowerCase(*content).find("charset") != std::string::npos) {
    head.MetaCharset = true;
  }
  const auto name = Attribute(attrs, "name");
  if (!name || !content) return;
  if (SameText(*name, "description") && !head.Description) {
    head.Description.emplace();
    TTextCollector(*head.Description).Append(*content);
  } else if (SameText(*name, "robots") && head.RobotsMetas.size() < kPageHeadMaxKept) {
    head.RobotsMetas.push_back(LowerCase(*content));
  }
}

void OnStart(void* context, const xmlChar* name_text, const xmlChar** attrs) {
  auto& state = *static_cast<TReadState*>(context);
  TPageHead& head = state.Head;
  const std::string_view name = Text(name_text);
  if (name == "html" && !state.SeenHtml) {
    state.SeenHtml = true;
    if (const auto lang = Attribute(attrs, "lang")) head.Lang = std::string(*lang);
  } else if (name == "title") {
    if (state.TitleDepth > 0) {
      ++state.TitleDepth;
    } else if (!state.TitleDone) {
      state.TitleDepth = 1;
      head.Title.emplace();
      state.TitleText.emplace(*head.Title);
    }
  } else if (name == "h1") {
    CloseH1(state);
    state.H1Open = true;
    ++head.H1Count;
  } else if (name == "meta") {
    OnMeta(state, attrs);
  } else if (name == "link") {
    const auto rel = Attribute(attrs, "rel");
    if (rel && HasToken(*rel, "canonical")) {
      ++head.CanonicalCount;
      const auto href = Attribute(attrs, "href");
      if (head.Canonicals.size() < kPageHeadMaxKept) {
        head.Canonicals.emplace_back(href ? std::string(*href) : std::string());
      }
    }
  }
}

void OnEnd(void* context, const xmlChar* name_text) {
  auto& state = *static_cast<TReadState*>(context);
  const std::string_view name = Text(name_text);
  if (name == "title" && state.TitleDepth > 0 && --state.TitleDepth == 0) {
    state.TitleDone = true;
    state.TitleText.reset();
  } else if (name == "h1") {
    CloseH1(state);
  }
}

void OnCharacters(void* context, const xmlChar* chars, int length) {
  auto& state = *static_cast<TReadState*>(context);
  const std::string_view text(reinterpret_cast<const char*>(chars), length > 0 ? length : 0);
  if (state.TitleText) state.TitleText->Append(text);
  if (state.H1Open && !state.H1HasText) {
    state.H1HasText = std::any_of(text.begin(), text.end(), [](char c) { return !IsHtmlSpace(c); });
  }
}

// The parser's complaints about broken markup are no concern of the check.
void Quiet(void*, const char*, ...) {}

}  // namespace

TPageHead ReadPageHead(std::string_view utf8_html) {
  PrepareLibXml();

  htmlSAXHandler sax{};
  sax.startElement = OnStart;
  sax.endElement = OnEnd;
  sax.characters = OnCharacters;
  sax.ignorableWhitespace = OnCharacters;
  sax.warning = Quiet;
  sax.error = Quiet;
  sax.fatalError = Quiet;
  TReadState state;
  std::unique_ptr<htmlParserCtxt, decltype(&htmlFreeParserCtxt)> parser(
      htmlCreatePushParserCtxt(&sax, &state, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8),
      htmlFreeParserCtxt);
  if (!parser) return state.Head;
  htmlCtxtUseOptions(parser.get(), HTML_PARSE_NONET | HTML_PARSE_RECOVER | HTML_PARSE_IGNORE_ENC);
  while (!utf8_html.empty()) {
    const std::size_t n = std::min(utf8_html.size(), kChunkBytes);
    htmlParseChunk(parser.get(), utf8_html.data(), static_cast<int>(n), 0);
    utf8_html.remove_prefix(n);
  }
  htmlParseChunk(parser.get(), nullptr, 0, 1);
  // An <h1> still open at the end of the page counts as it stands.
  CloseH1(state);
  return state.Head;
}
