// Fuzz target: any text through TNetURI::Parse, then Compose and ComposedURI, and the path
// helpers. Only the two compose errors may be raised.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/NetGlobal.h"
#include "http/NetURI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TNetURI uri(text);
  // Parsing only cuts: the non-separator bytes of the pieces all come from the text.
  if (uri.Protocol.size() + uri.Host.size() + uri.Document.size() > text.size()) __builtin_trap();
  try {
    std::string a = uri.Compose(WithUserInfo | WithBookmark);
    std::string b = uri.ComposedURI();
    if (b.size() > a.size()) __builtin_trap();
    TNetURI again(a);
    (void)again.Compose();
  } catch (const ENetURIException&) {
  }
  const size_t half = size / 2;
  const std::string base = text.substr(0, half), path = text.substr(half);
  std::string merged = MergePath(base, path);
  merged = MergePath(base, path, "\\");
  std::string rest = text;
  while (!rest.empty()) FetchToken(rest, rest.size() > 3 ? rest.substr(0, 1) : "/");
  (void)LastPosUpTo(path, base, static_cast<int>(size % 7) - 1);
  (void)TextPos(path, base);
  return 0;
}
