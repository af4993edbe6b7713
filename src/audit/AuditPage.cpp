#include "audit/AuditPage.h"

#include <strings.h>

std::string TAuditPage::Header(std::string_view name) const {
  for (const auto& [key, value] : Headers)
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
      return value;
  return "";
}
