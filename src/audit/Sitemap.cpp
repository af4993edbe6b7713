#include "audit/Sitemap.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <memory>

#include "audit/LibXml.h"

namespace {

// A <loc> that counts sits at this depth: the root at 0, <url> or <sitemap> at 1.
constexpr int kLocDepth = 2;

// xmlFree is a variable holding the allocator's free, not a function.
struct TXmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

std::string_view Name(xmlTextReaderPtr reader) {
  const xmlChar* name = xmlTextReaderConstLocalName(reader);
  return name ? std::string_view(reinterpret_cast<const char*>(name)) : std::string_view();
}

std::string TrimmedText(xmlTextReaderPtr reader) {
  std::unique_ptr<xmlChar, TXmlFree> text(xmlTextReaderReadString(reader));
  std::string_view value = text ? reinterpret_cast<const char*>(text.get()) : "";
  const auto first = value.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  value = value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
  return std::string(value);
}

void KeepFirstError(void* arg, const char* msg, xmlParserSeverities severity,
                    xmlTextReaderLocatorPtr) {
  auto* error = static_cast<std::string*>(arg);
  if (severity != XML_PARSER_SEVERITY_ERROR && severity != XML_PARSER_SEVERITY_VALIDITY_ERROR)
    return;
  if (error->empty() && msg) {
    *error = msg;
    while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
  }
}

// The source as the XML reader pulls it: at most max_bytes, then one byte asked for to tell
// whether there was more.
struct TCappedSource {
  const TSitemapSource* Source;
  std::size_t Left;
  bool Truncated = false;
  bool Probed = false;  // the byte past the limit was asked for
  std::string Error;

  // Whether the text went on past the limit, as far as can be told: a reader that stopped at an
  // error before the limit leaves it unknown (false).
  bool Longer() {
    if (Left == 0 && !Probed) {
      char probe = 0;
      Read(this, &probe, 1);
    }
    return Truncated;
  }

  static int Read(void* context, char* buffer, int size) {
    auto* self = static_cast<TCappedSource*>(context);
    if (size <= 0) return 0;
    if (self->Left == 0) {
      if (self->Probed) return 0;
      self->Probed = true;
      char probe = 0;
      const int more = (*self->Source)(&probe, 1, self->Error);
      self->Truncated = more > 0;
      return more < 0 ? -1 : 0;
    }
    const int asked = static_cast<int>(std::min<std::size_t>(self->Left, size));
    const int got = (*self->Source)(buffer, asked, self->Error);
    if (got > 0) self->Left -= std::min<std::size_t>(got, self->Left);
    return got;
  }
};

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
  TCappedSource capped{&source, max_bytes, false, false, {}};
  // The reader owns no input of its own: the source outlives it, so closing does nothing.
  std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> reader(
      xmlReaderForIO(TCappedSource::Read, nullptr, &capped, nullptr, nullptr,
                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeTextReader);
  if (!reader) {
    result.Error = capped.Error.empty() ? "the XML reader could not start" : capped.Error;
    return result;
  }
  std::string error;
  xmlTextReaderSetErrorHandler(reader.get(), KeepFirstError, &error);

  int status = 0;
  while ((status = xmlTextReaderRead(reader.get())) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    const int depth = xmlTextReaderDepth(reader.get());
    if (depth == 0) {
      const std::string_view root = Name(reader.get());
      if (root == "urlset") {
        result.Kind = TSitemapKind::UrlSet;
      } else if (root == "sitemapindex") {
        result.Kind = TSitemapKind::Index;
      } else {
        result.Error =
            "the root element is <" + std::string(root) + ">, not <urlset> or <sitemapindex>";
        result.Truncated = capped.Longer();
        return result;
      }
    } else if (depth == kLocDepth && Name(reader.get()) == "loc") {
      std::string url = TrimmedText(reader.get());
      if (url.empty()) continue;
      if (result.Kind == TSitemapKind::UrlSet) {
        ++result.UrlCount;
      } else if (result.ChildSitemaps.size() < kSitemapMaxChildren) {
        result.ChildSitemaps.push_back(std::move(url));
      }
    }
  }
  result.Truncated = capped.Longer();
  if (!capped.Error.empty()) {
    result.Error = capped.Error;
  } else if (status < 0) {
    result.Error = error.empty() ? "the XML is malformed" : error;
  } else if (result.Kind == TSitemapKind::Unknown) {
    result.Error = "the document is empty";
  }
  return result;
}
