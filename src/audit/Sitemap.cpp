#include "audit/Sitemap.h"

#include <libxml/parser.h>

#include <algorithm>
#include <memory>

#include "audit/LibXml.h"

namespace {

// A <loc> that counts sits at this depth: the root at 0, <url> or <sitemap> at 1.
constexpr int kLocDepth = 2;
constexpr std::string_view kSitemapNamespace = "http://www.sitemaps.org/schemas/sitemap/0.9";
// How much of the source the parser is handed at a time.
constexpr std::size_t kChunkBytes = 64 * 1024;

// What the SAX callbacks see of the document so far. No tree is built: a file of millions of
// nodes (comments, say) costs no more memory than a small one.
struct TReadState {
  TSitemap* Result = nullptr;
  xmlParserCtxtPtr Parser = nullptr;
  int Depth = 0;         // of the next element to open
  bool InEntry = false;  // inside a <url> of a urlset or a <sitemap> of an index
  bool InLoc = false;    // inside a <loc> that counts
  std::string Loc;       // its text so far
  std::string FirstError;
  bool Refused = false;  // the root is not a sitemap's: parsing was stopped
};

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsXmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

// The sitemap protocol's own elements are in its namespace, or in none.
bool OfSitemaps(const xmlChar* uri) {
  return uri == nullptr || reinterpret_cast<const char*>(uri) == kSitemapNamespace;
}

void OnStart(void* context, const xmlChar* local_name, const xmlChar*, const xmlChar* uri, int,
             const xmlChar**, int, int, const xmlChar**) {
  auto& state = *static_cast<TReadState*>(context);
  const std::string_view name(reinterpret_cast<const char*>(local_name));
  if (state.Depth == 1) {
    const char* entry = state.Result->Kind == TSitemapKind::UrlSet ? "url" : "sitemap";
    state.InEntry = name == entry && OfSitemaps(uri);
  }
  if (state.Depth == 0) {
    if (name == "urlset") {
      state.Result->Kind = TSitemapKind::UrlSet;
    } else if (name == "sitemapindex") {
      state.Result->Kind = TSitemapKind::Index;
    } else {
      state.Result->Error =
          "the root element is <" + std::string(name) + ">, not <urlset> or <sitemapindex>";
      state.Refused = true;
      xmlStopParser(state.Parser);
    }
  } else if (state.Depth == kLocDepth && state.InEntry && name == "loc" && OfSitemaps(uri)) {
    state.InLoc = true;
    state.Loc.clear();
  }
  ++state.Depth;
}

void OnEnd(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto& state = *static_cast<TReadState*>(context);
  --state.Depth;
  if (!state.InLoc || state.Depth != kLocDepth) return;
  state.InLoc = false;
  const std::string_view url = Trimmed(state.Loc);
  if (url.empty()) return;
  TSitemap& result = *state.Result;
  if (result.Kind == TSitemapKind::UrlSet) {
    ++result.UrlCount;
  } else if (result.ChildSitemaps.size() < kSitemapMaxChildren) {
    result.ChildSitemaps.emplace_back(url);
  }
}

void OnCharacters(void* context, const xmlChar* chars, int length) {
  auto& state = *static_cast<TReadState*>(context);
  // A URL longer than the protocol's 2,048 characters many times over is not kept whole.
  constexpr std::size_t kMaxLocBytes = 64 * 1024;
  if (state.InLoc && state.Loc.size() < kMaxLocBytes)
    state.Loc.append(reinterpret_cast<const char*>(chars), length > 0 ? length : 0);
}

// Every entity but XML's five own reads as nothing: a document's entities are never expanded
// (a <loc> made only of them is empty, an entity bomb does nothing) and nothing external is
// fetched, yet their use is no fault of the XML.
xmlEntityPtr NoEntity(void*, const xmlChar*) {
  static xmlEntity empty = [] {
    xmlEntity entity{};
    entity.type = XML_ENTITY_DECL;
    entity.etype = XML_INTERNAL_PREDEFINED_ENTITY;
    entity.name = reinterpret_cast<const xmlChar*>("");
    entity.content = const_cast<xmlChar*>(reinterpret_cast<const xmlChar*>(""));
    return entity;
  }();
  return &empty;
}

void OnError(void* context, xmlError* error) {
  auto& state = *static_cast<TReadState*>(context);
  if (!state.FirstError.empty() || error == nullptr || error->level < XML_ERR_ERROR) return;
  state.FirstError = error->message ? error->message : "the XML is malformed";
  while (!state.FirstError.empty() &&
         (state.FirstError.back() == '\n' || state.FirstError.back() == ' ')) {
    state.FirstError.pop_back();
  }
}

}  // namespace

TSitemap ParseSitemap(std::string_view xml, std::size_t max_bytes) {
  const std::size_t whole_size = xml.size();
  TSitemap sitemap = ReadSitemap(
      [&xml](char* buffer, int size, std::string&) {
        const std::size_t n = std::min<std::size_t>(xml.size(), size);
        std::copy_n(xml.data(), n, buffer);
        xml.remove_prefix(n);
        return static_cast<int>(n);
      },
      max_bytes);
  // The whole text is at hand: whether it was longer needs no reading.
  sitemap.Truncated = whole_size > max_bytes;
  return sitemap;
}

TSitemap ReadSitemap(const TSitemapSource& source, std::size_t max_bytes) {
  PrepareLibXml();

  TSitemap result;
  TReadState state;
  state.Result = &result;
  xmlSAXHandler sax{};
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = OnStart;
  sax.endElementNs = OnEnd;
  sax.characters = OnCharacters;
  sax.cdataBlock = OnCharacters;
  sax.serror = OnError;
  sax.getEntity = NoEntity;
  // The parser keeps a document of its own for the entities a DTD declares: freed with it.
  const auto free_parser = [](xmlParserCtxtPtr parser) {
    if (parser->myDoc != nullptr) xmlFreeDoc(parser->myDoc);
    xmlFreeParserCtxt(parser);
  };
  std::unique_ptr<xmlParserCtxt, decltype(free_parser)> parser(
      xmlCreatePushParserCtxt(&sax, &state, nullptr, 0, nullptr), free_parser);
  if (!parser) {
    result.Error = "the XML reader could not start";
    return result;
  }
  state.Parser = parser.get();
  xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);

  std::string source_error;
  std::string chunk(kChunkBytes, '\0');
  std::size_t left = max_bytes;
  bool stopped = false;  // the parser gave up (malformed XML, or not a sitemap)
  bool failed = false;   // the source could not be read on
  while (left > 0) {
    const int asked = static_cast<int>(std::min(left, chunk.size()));
    const int got = source(chunk.data(), asked, source_error);
    if (got < 0) {
      failed = true;
      break;
    }
    if (got == 0) break;
    left -= std::min<std::size_t>(got, left);
    if (xmlParseChunk(parser.get(), chunk.data(), got, 0) != 0 || state.Refused) {
      stopped = true;
      break;
    }
  }
  if (left == 0 && !failed) {
    // One byte more tells whether the text went on past the cap.
    char probe = 0;
    const int more = source(&probe, 1, source_error);
    result.Truncated = more > 0;
    failed = more < 0;
  }
  if (!stopped && !failed) xmlParseChunk(parser.get(), nullptr, 0, 1);

  if (state.Refused) return result;
  if (failed) {
    result.Error = source_error.empty() ? "the text could not be read" : source_error;
  } else if (!state.FirstError.empty()) {
    result.Error = state.FirstError;
  } else if (result.Kind == TSitemapKind::Unknown) {
    result.Error = "the document is empty";
  }
  return result;
}
