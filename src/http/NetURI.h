// TNetURI: splits a URL text into its pieces and composes a URL text from them.
//
// Parsing never fails and never validates: whatever text it gets is cut at fixed delimiters
// ("://", "/", "@", ":", "?" or "=", "#"). A text is absolute only when what stands before its
// first "://" is a scheme name (a letter, then letters, digits, "+", "-" or "."); anything else,
// "/next?u=http://elsewhere/" for one, is a relative reference. Composing fails only when the
// protocol or the host is empty. The fields are plain public texts; assigning one re-parses or
// re-composes nothing.
//
// Thread-safety: a TNetURI is a plain value; use one object from one thread at a time.
#pragma once

#include <string>

#include "netbase/NetBase.h"

// Raised by Compose when a required field is empty.
class ENetURIException : public ENetException {
 public:
  using ENetException::ENetException;
};

// Optional parts that Compose may include (a bit set).
enum TNetURIOptionalField : unsigned {
  WithUserInfo = 1u << 0,  // "user:password@" before the host
  WithBookmark = 1u << 1,  // "#fragment" at the end
};
using TNetURIOptionalFields = unsigned;

class TNetURI {
 public:
  TNetURI() = default;
  // Parses `text` at once when it is not empty.
  explicit TNetURI(const std::string& text);

  // Replaces every field from `text`. Never raises.
  void Parse(const std::string& text);

  // Protocol://[user[:password]@]host[:port]path document params[#bookmark]. Raises
  // ENetURIException "Protocol field is empty" or "Host field is empty" (in that order).
  std::string Compose(TNetURIOptionalFields options = 0) const;

  // Stores Compose(WithUserInfo | WithBookmark) in URI and returns Compose() without either
  // part (the absolute request target for a proxy). On an error URI is left unchanged.
  std::string ComposedURI();

  std::string URI;       // the text last parsed (backslashes turned), or last ComposedURI
  std::string Protocol;  // the scheme name before "://", case kept; empty when relative
  std::string UserName;
  std::string Password;
  std::string Host;      // without the port
  std::string Port;      // digits as written, never converted here; may be empty
  std::string Path;      // absolute form: starts and ends with "/"; relative: up to the last "/"
  std::string Document;  // last segment, without query and bookmark
  std::string Params;    // query with its leading "?" (or "=" when the text had no "?")
  std::string Bookmark;  // fragment without the "#"
};
