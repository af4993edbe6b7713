#include "audit/PageHead.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <algorithm>
#include <memory>

#include "audit/LibXml.h"
#include "runtime/StrUtils.h"

namespace {

// The page is handed to the parser in pieces of this size: the most work done between two looks
// at the deadline is one piece's.
constexpr std::size_t kChunkBytes = 16 * 1024;

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

// FNV-1a, 64 bits: the visible text's hash.
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

// Elements whose text is not shown.
bool IsHidden(std::string_view name) {
  return name == "script" || name == "style" || name == "noscript" || name == "template";
}

// What the body reading keeps between events.
struct TBodyState {
  TPageBody Body;
  int HiddenDepth = 0;  // inside elements whose text is not shown
  uint64_t Hash = kFnvOffset;
  bool HashedAny = false;
  bool PendingBlank = false;  // a blank since the last character hashed
};

struct TReadState {
  TPageHead Head;
  std::optional<TBodyState> Body;  // when the body is read
  htmlParserCtxtPtr Parser = nullptr;
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

void AddLink(TBodyState& body, std::optional<std::string_view> href, TPageLinkKind kind) {
  if (!href) return;
  std::string_view url = *href;
  while (!url.empty() && IsHtmlSpace(url.front())) url.remove_prefix(1);
  while (!url.empty() && IsHtmlSpace(url.back())) url.remove_suffix(1);
  if (url.empty()) return;
  if (body.Body.Links.size() >= kPageMaxLinks) {
    ++body.Body.LinksDropped;
    return;
  }
  body.Body.Links.push_back({std::string(url), kind});
}

// A start tag as the body reading sees it: the references it makes, hidden text.
void OnBodyStart(TBodyState& body, std::string_view name, const xmlChar** attrs) {
  if (IsHidden(name)) ++body.HiddenDepth;
  if (name == "a") {
    AddLink(body, Attribute(attrs, "href"), TPageLinkKind::Anchor);
  } else if (name == "img") {
    AddLink(body, Attribute(attrs, "src"), TPageLinkKind::Image);
    if (!Attribute(attrs, "alt")) ++body.Body.ImagesWithoutAlt;
  } else if (name == "script") {
    AddLink(body, Attribute(attrs, "src"), TPageLinkKind::Script);
  } else if (name == "iframe") {
    AddLink(body, Attribute(attrs, "src"), TPageLinkKind::Frame);
  } else if (name == "base") {
    if (body.Body.BaseHref.empty()) {
      body.Body.BaseHref = std::string(Attribute(attrs, "href").value_or(""));
    }
  } else if (name == "link") {
    const std::string_view rel = Attribute(attrs, "rel").value_or("");
    const auto href = Attribute(attrs, "href");
    if (HasToken(rel, "canonical")) AddLink(body, href, TPageLinkKind::Canonical);
    if (HasToken(rel, "alternate") && Attribute(attrs, "hreflang")) {
      AddLink(body, href, TPageLinkKind::Alternate);
    }
    if (HasToken(rel, "stylesheet")) AddLink(body, href, TPageLinkKind::Style);
  }
}

// Shown text goes into the hash with its blanks collapsed.
void HashText(TBodyState& body, std::string_view text) {
  for (const char c : text) {
    if (IsHtmlSpace(c)) {
      body.PendingBlank = body.HashedAny;
      continue;
    }
    const auto mix = [&](char b) {
      body.Hash = (body.Hash ^ static_cast<unsigned char>(b)) * kFnvPrime;
    };
    if (body.PendingBlank) mix(' ');
    body.PendingBlank = false;
    mix(c);
    body.HashedAny = true;
  }
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
  if (state.Parser != nullptr && state.Parser->nameNr > kPageHeadMaxDepth) {
    head.End = TPageHeadEnd::TooDeep;
    xmlStopParser(state.Parser);
    return;
  }
  const std::string_view name = Text(name_text);
  if (state.Body) OnBodyStart(*state.Body, name, attrs);
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
  if (state.Body && IsHidden(name) && state.Body->HiddenDepth > 0) --state.Body->HiddenDepth;
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
  if (state.Body && !state.TitleText && state.Body->HiddenDepth == 0) HashText(*state.Body, text);
  if (state.H1Open && !state.H1HasText) {
    state.H1HasText = std::any_of(text.begin(), text.end(), [](char c) { return !IsHtmlSpace(c); });
  }
}

// The parser's complaints about broken markup are no concern of the check.
void Quiet(void*, const char*, ...) {}

// Passes a page's bytes on to the parser but for the attributes of a start tag past
// kPageHeadMaxAttributes, which are left out up to the tag's ">". It follows the markup as the
// parser's tokenizer does (tags, quoted values, comments, the raw text of <script> and <style>),
// a byte at a time, so a piece may end anywhere.
class TAttributeLimiter {
 public:
  // Appends what the parser is to read of `in` to `out`.
  void Filter(std::string_view in, std::string& out) {
    for (const char c : in) {
      const bool was_dropping = dropping_;
      Step(c);
      if (!was_dropping && !dropping_) {
        out += c;
      } else if (was_dropping && !dropping_) {
        out += '>';  // the tag's end, after its dropped attributes
      }
    }
  }
  int TagsCut() const { return tags_cut_; }

 private:
  enum class TState {
    Data,
    TagOpen,
    EndTagOpen,
    TagName,
    BeforeAttr,
    AttrName,
    AfterAttrName,
    BeforeValue,
    DoubleQuoted,
    SingleQuoted,
    Unquoted,
    MarkupOpen,
    CommentStart,
    Comment,
    CommentDash,
    CommentDashDash,
    Bogus,
    RawText,
  };

  static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

  void NewAttribute() {
    state_ = TState::AttrName;
    if (++attributes_ > kPageHeadMaxAttributes && !dropping_) {
      dropping_ = true;
      ++tags_cut_;
    }
  }

  void EndTag() {
    dropping_ = false;
    const bool raw = !end_tag_ && (name_ == "script" || name_ == "style");
    state_ = raw ? TState::RawText : TState::Data;
    if (raw) raw_end_ = "</" + name_;
    raw_matched_ = 0;
  }

  void Step(char c) {
    switch (state_) {
      case TState::Data:
        if (c == '<') state_ = TState::TagOpen;
        break;
      case TState::TagOpen:
        if (IsLetter(c)) {
          StartName(c, false);
        } else if (c == '/') {
          state_ = TState::EndTagOpen;
        } else if (c == '!') {
          state_ = TState::MarkupOpen;
        } else if (c == '?') {
          state_ = TState::Bogus;
        } else if (c != '<') {
          state_ = TState::Data;
        }
        break;
      case TState::EndTagOpen:
        if (IsLetter(c)) {
          StartName(c, true);
        } else {
          state_ = c == '>' ? TState::Data : TState::Bogus;
        }
        break;
      case TState::TagName:
        if (IsHtmlSpace(c) || c == '/') {
          state_ = TState::BeforeAttr;
        } else if (c == '>') {
          EndTag();
        } else if (name_.size() < 8) {
          name_ += Lower(c);
        }
        break;
      case TState::BeforeAttr:
        if (c == '>') {
          EndTag();
        } else if (!IsHtmlSpace(c) && c != '/') {
          NewAttribute();
        }
        break;
      case TState::AttrName:
      case TState::AfterAttrName:
        if (IsHtmlSpace(c)) {
          state_ = TState::AfterAttrName;
        } else if (c == '/') {
          state_ = TState::BeforeAttr;
        } else if (c == '=') {
          state_ = TState::BeforeValue;
        } else if (c == '>') {
          EndTag();
        } else if (state_ == TState::AfterAttrName) {
          NewAttribute();
        }
        break;
      case TState::BeforeValue:
        if (c == '"') {
          state_ = TState::DoubleQuoted;
        } else if (c == '\'') {
          state_ = TState::SingleQuoted;
        } else if (c == '>') {
          EndTag();
        } else if (!IsHtmlSpace(c)) {
          state_ = TState::Unquoted;
        }
        break;
      case TState::DoubleQuoted:
        if (c == '"') state_ = TState::BeforeAttr;
        break;
      case TState::SingleQuoted:
        if (c == '\'') state_ = TState::BeforeAttr;
        break;
      case TState::Unquoted:
        if (IsHtmlSpace(c)) {
          state_ = TState::BeforeAttr;
        } else if (c == '>') {
          EndTag();
        }
        break;
      case TState::MarkupOpen:
        state_ = c == '-' ? TState::CommentStart : c == '>' ? TState::Data : TState::Bogus;
        break;
      case TState::CommentStart:
        state_ = c == '-' ? TState::Comment : c == '>' ? TState::Data : TState::Bogus;
        break;
      case TState::Comment:
        if (c == '-') state_ = TState::CommentDash;
        break;
      case TState::CommentDash:
        state_ = c == '-' ? TState::CommentDashDash : TState::Comment;
        break;
      case TState::CommentDashDash:
        if (c == '>') {
          state_ = TState::Data;
        } else if (c != '-') {
          state_ = TState::Comment;
        }
        break;
      case TState::Bogus:
        if (c == '>') state_ = TState::Data;
        break;
      case TState::RawText:
        // Only "</script" (or "</style") ends the raw text; its ">" ends an end tag.
        if (Lower(c) == raw_end_[raw_matched_]) {
          if (++raw_matched_ == raw_end_.size()) {
            state_ = TState::TagName;
            end_tag_ = true;
            attributes_ = 0;
          }
        } else {
          raw_matched_ = c == '<' ? 1 : 0;
        }
        break;
    }
  }

  void StartName(char c, bool end_tag) {
    state_ = TState::TagName;
    end_tag_ = end_tag;
    name_.assign(1, Lower(c));
    attributes_ = 0;
  }

  TState state_ = TState::Data;
  std::string name_;       // the open tag's name, lower case, its first 8 letters
  bool end_tag_ = false;   // the open tag is an end tag
  int attributes_ = 0;     // of the open tag so far
  bool dropping_ = false;  // the open tag's attributes are past the limit: its bytes are left out
  int tags_cut_ = 0;
  std::string raw_end_;          // "</script" or "</style" inside their raw text
  std::size_t raw_matched_ = 0;  // how much of raw_end_ the latest bytes spell
};

}  // namespace

struct TPageHeadReader::TState {
  TReadState Read;
  htmlSAXHandler Sax{};
  std::unique_ptr<htmlParserCtxt, decltype(&htmlFreeParserCtxt)> Parser{nullptr,
                                                                        htmlFreeParserCtxt};
  TAttributeLimiter Limiter;
  std::string Filtered;  // one piece as the parser reads it
  bool Ended = false;    // the parser stopped or was never made: nothing more is read
};

TPageHeadReader::TPageHeadReader(bool with_body) : state_(std::make_unique<TState>()) {
  PrepareLibXml();
  if (with_body) state_->Read.Body.emplace();
  htmlSAXHandler& sax = state_->Sax;
  sax.startElement = OnStart;
  sax.endElement = OnEnd;
  sax.characters = OnCharacters;
  sax.ignorableWhitespace = OnCharacters;
  sax.warning = Quiet;
  sax.error = Quiet;
  sax.fatalError = Quiet;
  state_->Parser.reset(
      htmlCreatePushParserCtxt(&sax, &state_->Read, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8));
  state_->Ended = state_->Parser == nullptr;
  if (state_->Ended) return;
  state_->Read.Parser = state_->Parser.get();
  htmlCtxtUseOptions(state_->Parser.get(),
                     HTML_PARSE_NONET | HTML_PARSE_RECOVER | HTML_PARSE_IGNORE_ENC);
}

TPageHeadReader::~TPageHeadReader() = default;

bool TPageHeadReader::Feed(std::string_view piece) {
  TState& s = *state_;
  while (!s.Ended && !piece.empty()) {
    const std::size_t n = std::min(piece.size(), kChunkBytes);
    s.Filtered.clear();
    s.Limiter.Filter(piece.substr(0, n), s.Filtered);
    s.Read.Head.BytesRead += n;
    if (!s.Filtered.empty()) {
      htmlParseChunk(s.Parser.get(), s.Filtered.data(), static_cast<int>(s.Filtered.size()), 0);
    }
    piece.remove_prefix(n);
    s.Ended = s.Read.Head.End != TPageHeadEnd::Whole;
  }
  return !s.Ended;
}

TPageHead TPageHeadReader::Finish(TPageHeadEnd end) {
  TState& s = *state_;
  if (!s.Ended) htmlParseChunk(s.Parser.get(), nullptr, 0, 1);
  s.Ended = true;
  // An <h1> still open at the end of the page counts as it stands.
  CloseH1(s.Read);
  TPageHead head = std::move(s.Read.Head);
  if (head.End == TPageHeadEnd::Whole) head.End = end;
  head.TagsCut = s.Limiter.TagsCut();
  if (s.Read.Body) {
    TBodyState& body = *s.Read.Body;
    if (body.HashedAny) {
      static constexpr char kHex[] = "0123456789abcdef";
      body.Body.TextHash.assign(16, '0');
      for (int i = 15; i >= 0; --i, body.Hash >>= 4) body.Body.TextHash[i] = kHex[body.Hash & 15];
    }
    head.Body = std::move(body.Body);
  }
  return head;
}

TPageHead ReadPageHead(std::string_view utf8_html, const TNetDeadline& deadline,
                       const std::function<bool()>& stopped, bool with_body) {
  TPageHeadReader reader(with_body);
  TPageHeadEnd end = TPageHeadEnd::Whole;
  while (!utf8_html.empty()) {
    if (deadline.Passed()) {
      end = TPageHeadEnd::Deadline;
      break;
    }
    if (stopped && stopped()) {
      end = TPageHeadEnd::Stopped;
      break;
    }
    const std::size_t n = std::min(utf8_html.size(), kChunkBytes);
    if (!reader.Feed(utf8_html.substr(0, n))) break;
    utf8_html.remove_prefix(n);
  }
  return reader.Finish(end);
}

bool RobotsSaysNoindex(std::string_view directives) {
  std::size_t start = 0;
  while (start <= directives.size()) {
    std::size_t end = directives.find(',', start);
    if (end == std::string_view::npos) end = directives.size();
    std::string_view item = directives.substr(start, end - start);
    if (const std::size_t colon = item.rfind(':'); colon != std::string_view::npos) {
      item.remove_prefix(colon + 1);
    }
    const std::string word = Trim(item);
    if (SameText(word, "noindex") || SameText(word, "none")) return true;
    start = end + 1;
  }
  return false;
}
