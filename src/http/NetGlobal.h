// Text helpers shared by the whole HTTP client, and the small persistent-object base that the
// header records and authentication objects copy themselves through.
//
// Text is a byte string in the system code page (GBK). Positions are 1-based; 0 means "not
// found". Every function here is total: any bytes, any lengths, no exceptions. The helpers keep
// no state and are safe to call from any number of threads at once.
#pragma once

#include <string>
#include <string_view>

#include "runtime/Exception.h"

// 1-based position of the first `sub` in `text`, 0 when absent or when `sub` is empty. The
// search is double-byte aware: it only tries character starts, so the trail byte of a GBK pair
// is never taken for the first byte of `sub`.
int TextPos(std::string_view sub, std::string_view text);

// Returns the text of `input` before the first `delimiter`; the whole input when the delimiter
// is absent. With `remove`, `input` loses the returned text and the delimiter (and becomes
// empty when the delimiter is absent). Without `case_sensitive`, ASCII case is ignored.
std::string FetchToken(std::string& input, std::string_view delimiter = " ", bool remove = true,
                       bool case_sensitive = true);

// The largest position p <= `start` at which `sub` occurs in `text` (ASCII case ignored), 0 when
// none. `start` = -1 means the end of the text; a start past the last possible match is lowered
// to it.
int LastPosUpTo(std::string_view sub, std::string_view text, int start = -1);

// Resolves `path` against `base_path`: an absolute path wins, otherwise the two are joined,
// runs of delimiters collapse, ".." removes the segment before it, and a trailing delimiter is
// kept only when `path` had one (or was empty).
std::string MergePath(std::string_view base_path, std::string_view path,
                      std::string_view delimiter = "/");

// The general conversion error of the runtime: "'x' is not a valid integer value",
// "Cannot assign a TA to a TB". Not part of the network exception tree.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The runtime's integer conversion: the value of `text` or EConvertError
// "'<text>' is not a valid integer value".
int StrToInt(std::string_view text);

// Base of the objects that copy their state into another object of a related kind (the header
// records, the proxy settings, the authentication objects). Not thread-safe by itself.
class TNetPersistent {
 public:
  virtual ~TNetPersistent() = default;
  // The class's own name, as the copy error reports it.
  virtual const char* ClassName() const = 0;
  // Copies this object's state into `dest`. The base knows no destination and raises
  // EConvertError "Cannot assign a <this class> to a <dest class>".
  virtual void CopyTo(TNetPersistent& dest) const;
};
