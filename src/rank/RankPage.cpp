#include "rank/RankPage.h"

#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "audit/LibXml.h"
#include "encoding/PageCharset.h"
#include "query/Outcome.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

namespace {

using TDoc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;
using TContext = std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)>;
using TObject = std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)>;

const xmlChar* Xml(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

using TCompiled = std::unique_ptr<xmlXPathCompExpr, decltype(&xmlXPathFreeCompExpr)>;

// `xpath` evaluated at `node`; null when libxml2 refuses it. Each expression is compiled once
// per page (`compiled`), as the landing ones are evaluated at every result.
TObject Eval(xmlXPathContext* context, xmlNode* node, const std::string& xpath,
             std::map<std::string, TCompiled>& compiled) {
  auto it = compiled.find(xpath);
  if (it == compiled.end()) {
    it =
        compiled.emplace(xpath, TCompiled(xmlXPathCompile(Xml(xpath)), xmlXPathFreeCompExpr)).first;
  }
  if (!it->second) return TObject(nullptr, xmlXPathFreeObject);
  context->node = node;
  return TObject(xmlXPathCompiledEval(it->second.get(), context), xmlXPathFreeObject);
}

std::vector<xmlNode*> Nodes(const xmlXPathObject* object) {
  std::vector<xmlNode*> nodes;
  if (object == nullptr || object->type != XPATH_NODESET || object->nodesetval == nullptr)
    return nodes;
  for (int i = 0; i < object->nodesetval->nodeNr; ++i)
    nodes.push_back(object->nodesetval->nodeTab[i]);
  return nodes;
}

// The text an XPath gives at a result: a string as it is, a node set's first node's text.
std::string TextOf(const xmlXPathObject* object) {
  if (object == nullptr) return "";
  if (object->type == XPATH_STRING)
    return object->stringval ? reinterpret_cast<const char*>(object->stringval) : "";
  const std::vector<xmlNode*> nodes = Nodes(object);
  if (nodes.empty()) return "";
  xmlChar* content = xmlNodeGetContent(nodes.front());
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

bool Inside(const xmlNode* node, const xmlNode* block) {
  for (; node != nullptr; node = node->parent) {
    if (node == block) return true;
  }
  return false;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-' || c == '+') return 62;
  if (c == '_' || c == '/') return 63;
  return -1;
}

// base64url (or base64) text as bytes, padding optional; nothing for text that is not one.
std::optional<std::string> Base64UrlDecoded(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  uint32_t bits = 0;
  int held = 0;
  for (char c : text) {
    const int v = Base64Value(c);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<char>((bits >> held) & 0xFF));
    }
  }
  return out;
}

// Whether `text` is well-formed UTF-8 without a byte-order mark: such a page goes to the parser
// as it is, without a converted copy.
bool PlainUtf8(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return false;
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80)
      ++i;
    else if (DecodeUtf8(text, i) < 0)
      return false;
  }
  return true;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const int hi = i + 2 < text.size() && text[i] == '%' ? HexDigitValue(text[i + 1]) : -1;
    const int lo = hi >= 0 ? HexDigitValue(text[i + 2]) : -1;
    if (lo >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::string UrlHostName(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme != std::string_view::npos &&
      url.substr(0, scheme).find_first_of("/?#") == std::string_view::npos) {
    url.remove_prefix(scheme + 3);
  } else if (url.substr(0, 2) == "//") {
    url.remove_prefix(2);
  } else {
    return "";
  }
  url = url.substr(0, url.find_first_of("/?#\\"));
  if (const size_t at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
  if (!url.empty() && url.front() == '[') {
    url = url.substr(0, url.find(']') + 1);
  } else {
    url = url.substr(0, url.find(':'));
  }
  if (!url.empty() && url.back() == '.') url.remove_suffix(1);
  std::string host(url);
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return host;
}

bool SiteMatchesHost(const std::string& site, const std::string& host, bool subdomains) {
  std::string bare = UrlHostName("//" + site);
  if (bare.rfind("www.", 0) == 0) bare.erase(0, 4);
  if (bare.empty() || host.empty()) return false;
  if (host == bare || host == "www." + bare) return true;
  return subdomains && host.size() > bare.size() &&
         host.compare(host.size() - bare.size(), bare.size(), bare) == 0 &&
         host[host.size() - bare.size() - 1] == '.';
}

std::string DecodedLandingUrl(const std::string& url, const TRankDef& def) {
  if (def.DecodeParam.empty()) return url;
  const size_t query = url.find('?');
  if (query == std::string::npos) return url;
  const std::string key = def.DecodeParam + "=";
  for (size_t at = query + 1; at < url.size();) {
    const size_t end = std::min(url.find('&', at), url.find('#', at));
    const std::string_view pair = std::string_view(url).substr(at, end - at);
    if (pair.substr(0, key.size()) == key) {
      const std::string value = PercentDecoded(pair.substr(key.size()));
      if (value.rfind(def.DecodePrefix, 0) != 0) return url;
      const auto decoded =
          Base64UrlDecoded(std::string_view(value).substr(def.DecodePrefix.size()));
      // Only a decoded absolute URL replaces the link.
      if (decoded && !UrlHostName(*decoded).empty()) return *decoded;
      return url;
    }
    if (end == std::string::npos || url[end] == '#') break;
    at = end + 1;
  }
  return url;
}

TRankPageReading ReadRankPage(const TRankDef& def, std::string_view page,
                              const std::string& final_url, std::string_view content_type) {
  TRankPageReading reading;
  if (HoldsMarker(final_url, def.BlockedMarkers)) {
    reading.Blocked = true;
    return reading;
  }
  TSniffedCharset charset = SniffPageCharset(page, content_type);
  if (charset.Source == TCharsetSource::None) charset.Charset = TPageCharset::Utf8;
  std::string converted;
  std::string_view utf8 = page;
  if (charset.Charset != TPageCharset::Utf8 || !PlainUtf8(page)) {
    converted = PageTextToUtf8(page, charset.Charset);
    utf8 = converted;
  }
  if (HoldsMarker(std::string(utf8), def.BlockedMarkers)) {
    reading.Blocked = true;
    return reading;
  }
  PrepareLibXml();
  TDoc doc(htmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8",
                          HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                              HTML_PARSE_NONET | HTML_PARSE_IGNORE_ENC | HTML_PARSE_COMPACT),
           xmlFreeDoc);
  if (!doc || xmlDocGetRootElement(doc.get()) == nullptr) {
    reading.Problem = "not an HTML page";
    return reading;
  }
  // Node sets come in document order without comparing each pair of nodes afresh.
  xmlXPathOrderDocElems(doc.get());
  TContext context(xmlXPathNewContext(doc.get()), xmlXPathFreeContext);
  std::map<std::string, TCompiled> compiled;
  xmlNode* root = xmlDocGetRootElement(doc.get());
  auto refused = [&](const std::string& xpath) {
    reading.Problem = "libxml2 cannot evaluate the XPath " + xpath;
    return reading;
  };
  for (const std::string& xpath : def.BlockedNodes) {
    TObject found = Eval(context.get(), root, xpath, compiled);
    if (!found) return refused(xpath);
    if (!Nodes(found.get()).empty()) {
      reading.Blocked = true;
      return reading;
    }
  }
  std::vector<xmlNode*> never;
  for (const std::string& xpath : def.Skip) {
    TObject found = Eval(context.get(), root, xpath, compiled);
    if (!found) return refused(xpath);
    const std::vector<xmlNode*> nodes = Nodes(found.get());
    never.insert(never.end(), nodes.begin(), nodes.end());
  }
  TObject results = Eval(context.get(), root, def.Result, compiled);
  if (!results) return refused(def.Result);
  for (xmlNode* result : Nodes(results.get())) {
    const bool skipped = std::any_of(never.begin(), never.end(), [&](const xmlNode* block) {
      return Inside(result, block) || Inside(block, result);
    });
    if (skipped) {
      ++reading.Skipped;
      continue;
    }
    TRankResult one;
    for (const std::string& xpath : def.Landing) {
      TObject landing = Eval(context.get(), result, xpath, compiled);
      if (!landing) return refused(xpath);
      one.Url = Trim(TextOf(landing.get()));
      if (!one.Url.empty()) break;
    }
    one.Url = DecodedLandingUrl(one.Url, def);
    one.Host = UrlHostName(one.Url);
    reading.Results.push_back(std::move(one));
  }
  return reading;
}
