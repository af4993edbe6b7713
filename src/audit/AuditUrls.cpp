#include <string>

#include "audit/AuditChecks.h"
#include "http/NetUrl.h"

namespace {

std::string SiteUrl(const char* scheme, const std::string& host, int port, int scheme_port) {
  std::string url = scheme;
  url += "://";
  url += host;
  if (port != scheme_port) {
    url += ':';
    url += std::to_string(port);
  }
  url += '/';
  const TNetUrlResult canonical = TNetUrl::Parse(url);
  return canonical ? canonical.Url->Href() : url;
}

}  // namespace

std::string AuditHomeUrl(const TAuditTarget& target) {
  return SiteUrl("https", target.Host, target.HttpsPort, 443);
}

std::string AuditHttpUrl(const TAuditTarget& target) {
  return SiteUrl("http", target.Host, target.HttpPort, 80);
}

std::string AuditResolveUrl(const std::string& base, const std::string& reference) {
  const TNetUrlResult from = TNetUrl::Parse(base);
  const TNetUrlResult url = TNetUrl::Parse(reference, from ? &*from.Url : nullptr);
  return url ? url.Url->Href() : reference;
}
