#include "audit/Sitemap.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <climits>
#include <memory>

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

}  // namespace

TSitemap ParseSitemap(std::string_view xml, std::size_t max_bytes) {
  static const bool kParserReady = (xmlInitParser(), true);
  (void)kParserReady;

  TSitemap result;
  max_bytes = std::min<std::size_t>(max_bytes, INT_MAX);
  if (xml.size() > max_bytes) {
    result.Truncated = true;
    xml = xml.substr(0, max_bytes);
  }
  std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> reader(
      xmlReaderForMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeTextReader);
  if (!reader) {
    result.Error = "the XML reader could not start";
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
  if (status < 0) {
    result.Error = error.empty() ? "the XML is malformed" : error;
  } else if (result.Kind == TSitemapKind::Unknown) {
    result.Error = "the document is empty";
  }
  return result;
}
