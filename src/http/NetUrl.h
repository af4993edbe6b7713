// TNetUrl: a web address read the way browsers read it, for the two schemes the client speaks
// (http and https). Every reference the program follows (a link in a page, a Location header, a
// canonical or sitemap location, a site's home page) is resolved against its base here, once.
//
// Grammar and rules are those of the URL Standard's basic parser for special schemes:
// - input: UTF-8 bytes. Leading and trailing C0 controls and spaces are dropped, tabs and line
//   breaks anywhere are removed, "\" counts as "/" outside the query and fragment.
// - a reference without a scheme, or with the base's own scheme and no "//", is resolved against
//   the base: "?q" keeps the base's path, "#f" its query too, "//host/p" takes only the scheme,
//   "p" replaces the base's last segment; "." and ".." segments (also written "%2e") are removed.
// - host: a bracketed IPv6 address (written compressed, lower case), an IPv4 address in any of
//   the number forms browsers accept ("0x7f.1", "2130706433", octal "0177.0.0.1"; written as
//   four decimals), or a domain: percent-decoded, mapped to ASCII as UTS 46 says (non-transitional,
//   through libidn2; plain ASCII names are only lower-cased), refused when it holds a forbidden
//   code point (space, "%", "<", "^", "|", controls, ...).
// - the port is dropped when it is the scheme's default (80, 443); above 65535 it is refused.
// - user name, password, path, query and fragment are percent-encoded with their own sets; bytes
//   above 0x7E are always encoded, "%" never (an existing escape stays as written).
// Every other scheme (ftp, file, mailto, javascript, ...) is refused: nothing here fetches it.
// Bytes that are not valid UTF-8 are percent-encoded as they are in paths and queries (a browser
// would first replace them by U+FFFD); in a host they are refused.
//
// Invariant: a TNetUrl only ever holds a URL that parsed; its Href() parsed again (with or
// without any base) gives the same URL.
//
// Cost: one pass over the input, no allocation beyond the parts; libidn2 only for host names
// that are not plain ASCII (or hold an "xn--" label).
//
// Thread-safety: a plain value; Parse is a pure function, safe on any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct TNetUrlResult;

class TNetUrl {
 public:
  // Reads `input` on its own (it must be absolute) or against `base`. Never raises: a refusal
  // comes back as TNetUrlResult::Error, in words a user can read.
  static TNetUrlResult Parse(std::string_view input, const TNetUrl* base = nullptr);
  // The same with a base given as text; a base that does not parse is the failure.
  static TNetUrlResult Parse(std::string_view input, std::string_view base);

  // The whole URL, serialised: "https://user:pw@xn--fa-hia.example:8443/a%20b?q=1#top".
  std::string Href() const { return Serialise(true, false); }
  // The parts as the URL Standard's API names them (each "" when absent).
  std::string Protocol() const { return scheme_ + ":"; }  // "https:"
  const std::string& Scheme() const { return scheme_; }   // "https"
  const std::string& Username() const { return username_; }
  const std::string& Password() const { return password_; }
  std::string Host() const;                              // hostname[:port]
  const std::string& Hostname() const { return host_; }  // "[::1]", "127.0.0.1", "example.com"
  std::string Port() const;                              // "" for the scheme's default
  const std::string& Pathname() const { return path_; }  // always starts with "/"
  std::string Search() const;                            // "?q=1", "" for none or empty
  std::string Hash() const;                              // "#top", "" for none or empty

  // The port a connection goes to: the written one or the scheme's default.
  int PortNumber() const;
  // The request target of an origin-form request line: path and "?query", no fragment.
  std::string PathAndQuery() const;
  // Href() without the fragment: the URL a request is made for.
  std::string HrefWithoutFragment() const { return Serialise(false, false); }
  // HrefWithoutFragment() with the port always written, the scheme's default too.
  std::string HrefWithPort() const { return Serialise(false, true); }
  // Whether a query ("?", empty or not) / a fragment ("#") is present.
  bool HasQuery() const { return query_.has_value(); }
  bool HasFragment() const { return fragment_.has_value(); }

  friend bool operator==(const TNetUrl&, const TNetUrl&) = default;

 private:
  TNetUrl() = default;
  friend class TNetUrlParser;
  std::string Serialise(bool with_fragment, bool with_default_port) const;

  std::string scheme_;  // "http" or "https"
  std::string username_;
  std::string password_;
  std::string host_;  // serialised host, never empty
  int port_ = -1;     // -1: the scheme's default
  std::string path_;  // "/" followed by the segments joined with "/"
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// A URL or why there is none.
struct TNetUrlResult {
  std::optional<TNetUrl> Url;
  std::string Error;  // UTF-8, "" when Url holds a value
  explicit operator bool() const { return Url.has_value(); }
};
