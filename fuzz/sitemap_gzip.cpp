// Fuzz target: arbitrary bytes as every sitemap file of a site (gzip or not, an index naming
// itself or others), through the sitemap check with a fake fetch. Nothing may be raised, no file
// is fetched twice, and no more files are fetched than the check reads.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "audit/AuditChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  TAuditPage robots;
  robots.Answered = true;
  robots.Status = 200;
  robots.Body = "Sitemap: https://a.example/s.xml.gz\n";
  std::set<std::string> fetched;
  bool twice = false;
  const TAuditFetch fetch = [&](const std::string& url, const TAuditFetchOptions&) {
    twice = twice || !fetched.insert(url).second;
    TAuditPage page;
    page.Url = url;
    page.Answered = true;
    page.Status = 200;
    page.Body = body;
    return page;
  };
  const TAuditResult result = CheckSitemap({"a.example", "a.example", 80, 443}, robots, fetch);
  if (twice || fetched.size() > 50 || result.Mark == TAuditMark::Unable) __builtin_trap();
  return 0;
}
