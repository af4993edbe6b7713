#include "audit/AuditPage.h"

#include <strings.h>

#include <vector>

#include "http/NetContentDecoder.h"

std::string TAuditPage::Header(std::string_view name) const {
  for (const auto& [key, value] : Headers)
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
      return value;
  return "";
}

std::string TAuditPage::UnreadableCoding() const {
  const std::string coding = Header("Content-Encoding");
  std::vector<TNetContentCoding> codings;
  return ContentCodingsToUndo(coding, codings) ? std::string() : coding;
}
