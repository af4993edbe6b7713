// Arbitrary Set-Cookie and Set-Cookie2 values from a few hosts into one cookie manager, with
// Cookie headers built in between. Each input line is one step; its first byte picks the step
// and the host, the rest is the header value. After every step the domain index must hold only
// items of the jar, filed under their own domain and name, none for a public suffix, and no
// header may carry a line break.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cookies/NetCookieManager.h"
#include "runtime/Exception.h"
#include "runtime/StrUtils.h"

namespace {

const char* const kHosts[] = {"h.d.t", "d.t",   "x.h.d.t", "10.1.2.3",      "",
                              ".d.t",  "H.D.T", "xd.t",    "example.co.uk", "a.github.io"};
const char* const kPaths[] = {"/", "/a/", "/a/b/", "", "/A/"};

bool HasControl(std::string_view text) {
  for (const char ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20) return true;
  }
  return false;
}

void CheckIndex(TNetCookies& jar) {
  const int items = jar.Count();
  TNetCookieList& index = jar.LockIndex(TNetCookies::ReadOnly);
  int filed = 0;
  for (int d = 0; d < index.Count(); ++d) {
    const TNetCookieList* names = index.ListAt(d);
    if (names == nullptr) abort();
    for (int i = 0; i < names->Count(); ++i) {
      const TNetCookieRFC2109* c = names->CookieAt(i);
      if (c == nullptr || c->Collection() != &jar) abort();
      if (!SameText(c->Domain(), index.Strings(d)) || !SameText(c->Name(), names->Strings(i))) {
        abort();
      }
      // A domain cookie (as opposed to a host's own) never names a public suffix.
      if (!c->Domain().empty() && c->Domain()[0] == '.' &&
          TNetNetscapeCookie::IsPublicSuffix(c->Domain())) {
        abort();
      }
      for (int j = 0; j < i; ++j) {
        if (SameText(names->Strings(j), names->Strings(i))) abort();
      }
      ++filed;
    }
  }
  jar.UnlockIndex(TNetCookies::ReadOnly);
  if (filed > items) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  TNetCookieManager manager;
  while (!input.empty()) {
    const size_t eol = input.find('\n');
    std::string_view line = input.substr(0, eol);
    input = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);
    if (line.empty()) continue;
    const uint8_t op = static_cast<uint8_t>(line[0]);
    const std::string host = kHosts[(op >> 2) % (sizeof(kHosts) / sizeof(kHosts[0]))];
    const std::string value(line.substr(1));
    try {
      switch (op & 3) {
        case 0:
          manager.AddSetCookie(value, host);
          break;
        case 1:
          manager.AddSetCookie2(value, host);
          break;
        case 2: {
          const std::string path = kPaths[(op >> 5) % (sizeof(kPaths) / sizeof(kPaths[0]))];
          const std::string header = manager.CookieHeaderFor(host, path, (op & 0x80) != 0);
          if (header.find_first_of("\r\n") != std::string::npos) abort();
          break;
        }
        default: {
          // A record on its own: every text it writes back must parse again.
          TNetCookieRFC2965 record;
          record.ParseCookieText(value);
          record.AcceptableFrom(host);
          // A host right under the record's domain: the public suffix test sees any bytes.
          record.AcceptableFrom("x" + record.Domain());
          TNetCookieRFC2109 copy;
          copy.Assign(record);
          // The pair survives the copy unless control characters (line breaks) re-split it.
          if (!HasControl(record.Name()) && !HasControl(record.Value()) &&
              (copy.Name() != record.Name() || copy.Value() != record.Value())) {
            abort();
          }
          copy.ParseCookieText(record.ServerText());
          break;
        }
      }
    } catch (const Exception&) {
      // A malformed Set-Cookie2 port list; the store must stay consistent all the same.
    }
    CheckIndex(*manager.Jar());
  }
  return 0;
}
