#include <string>

#include "audit/AuditChecks.h"

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
  return url;
}

}  // namespace

std::string AuditHomeUrl(const TAuditTarget& target) {
  return SiteUrl("https", target.Host, target.HttpsPort, 443);
}

std::string AuditHttpUrl(const TAuditTarget& target) {
  return SiteUrl("http", target.Host, target.HttpPort, 80);
}
