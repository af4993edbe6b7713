#include "audit/AuditTarget.h"

TAuditTarget AuditTargetOf(const std::string& shown, const std::string& request_name,
                           int https_port) {
  TAuditTarget target;
  target.Shown = shown;
  target.HttpsPort = https_port;
  // "[v6]:port" keeps its brackets; any other colon comes before a port.
  const size_t close = request_name.rfind(']');
  const size_t colon = request_name.find(':', close == std::string::npos ? 0 : close);
  target.Host = request_name.substr(0, colon);
  for (char& c : target.Host)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (colon != std::string::npos && colon + 1 < request_name.size()) {
    int port = 0;
    for (size_t i = colon + 1; i < request_name.size() && port <= 65535; ++i) {
      if (request_name[i] < '0' || request_name[i] > '9') return target;
      port = port * 10 + (request_name[i] - '0');
    }
    if (port >= 1 && port <= 65535) target.HttpPort = port;
  }
  return target;
}
