// Cookie records: one cookie a server set through a Set-Cookie or Set-Cookie2 header. A record
// parses the header value, keeps the attributes, decides whether the sending host may set it for
// the domain it names, and writes itself back as the Cookie header's name=value pair or as a
// Set-Cookie style text. Three classes form a chain, each adding a later format's attributes:
// TNetNetscapeCookie <- TNetCookieRFC2109 (Set-Cookie) <- TNetCookieRFC2965 (Set-Cookie2).
//
// TNetCookieList is the case-insensitive, insertion-ordered text -> object list the cookie store
// files its records in (name -> record, and domain -> name list).
//
// Thread-safety: a record and a TNetCookieList are plain data with no lock of their own. Records
// that belong to a TNetCookies collection are guarded by that collection's index lock
// (cookies/NetCookieManager.h); a record still being parsed belongs to the one thread parsing it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/DateUtils.h"

class TNetCookies;
class TNetCookieRFC2109;

// Which cookie format a record speaks; decides whether ServerText writes "expires".
enum CookieKind {
  ckNetscape = 0,  // original format; also any Set-Cookie record without an explicit expires
  ckRfc2109 = 1,   // Set-Cookie with an explicit expires
  ckRfc2965 = 2,   // Set-Cookie2
};

// The attribute items of one header value after the first (the name=value pair): each item with
// "=" has an upper-cased name, "=", and its value; an item without "=" is wholly upper-cased.
using TNetCookieItems = std::vector<std::string>;

class TNetNetscapeCookie {
 public:
  // A record that belongs to `collection` (which owns it), or a free-standing one (nullptr).
  explicit TNetNetscapeCookie(TNetCookies* collection = nullptr);
  // A record that still belongs to its collection first removes itself from the domain index.
  virtual ~TNetNetscapeCookie();
  TNetNetscapeCookie(const TNetNetscapeCookie&) = delete;
  TNetNetscapeCookie& operator=(const TNetNetscapeCookie&) = delete;

  // Parses one header value into this record; a text equal to RawText() is ignored. Raises only
  // for a malformed Set-Cookie2 port list.
  void ParseCookieText(const std::string& text);

  // The cookie as a Set-Cookie style text ("n=v; path=/; domain=.d.t; secure; ...").
  virtual std::string ServerText() const;
  // Name "=" Value, also when Value is empty.
  virtual std::string ClientText() const;
  // Whether `host` may set a cookie for this record's Domain: its own host, or the host's
  // immediate parent unless that is a public suffix (IsPublicSuffix).
  virtual bool AcceptableFrom(const std::string& host) const;
  // Stores `text` as Expires (subclasses also derive MaxAge from it).
  virtual void SetExpiry(const std::string& text);
  // Takes over another record's cookie: re-parses its text and takes its Kind. Only a
  // TNetCookieRFC2109 (or descendant) source is copied; anything else leaves this record alone.
  virtual void Assign(const TNetNetscapeCookie& source);

  const std::string& RawText() const { return raw_text_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string v) { name_ = std::move(v); }
  const std::string& Value() const { return value_; }
  void SetValue(std::string v) { value_ = std::move(v); }
  const std::string& Domain() const { return domain_; }
  void SetDomain(std::string v) { domain_ = std::move(v); }
  const std::string& Path() const { return path_; }
  void SetPath(std::string v) { path_ = std::move(v); }
  // The expiry date text as received (or as written from a Max-Age); empty when none.
  const std::string& Expires() const { return expires_; }
  // The local date-time of Expires (read once per expiry text and kept); 0 when Expires is
  // empty. May raise ENetFailedToRetreiveTimeZoneInfo. A filed record needs write access.
  TDateTime ExpiresLocal();
  bool Secure() const { return secure_; }
  void SetSecure(bool v) { secure_ = v; }
  CookieKind Kind() const { return kind_; }
  void SetKind(CookieKind v) { kind_ = v; }

  // The collection this record belongs to; nullptr once detached (or never attached).
  TNetCookies* Collection() const { return collection_; }

  // Host-text rules behind AcceptableFrom, exposed for the store and for tests.
  static bool IsIPv4Text(std::string_view text);             // four dotted fields 0..255
  static bool IsPlainHostName(std::string_view text);        // neither ".name" nor an IPv4 text
  static std::string ParentDomain(const std::string& host);  // from the first dot on
  // Whether `domain` (leading and trailing dots ignored, any letter case) is a public suffix,
  // a name under which anyone may register, by the public suffix list (libpsl): "com",
  // "co.uk", "github.io", and every top-level name, listed or not ("localhost"). Also true for
  // the empty name, and for every name when no list could be loaded. Thread-safe.
  static bool IsPublicSuffix(std::string_view domain);

 protected:
  // Fills the attributes from the items after the name=value pair.
  virtual void ApplyAttributes(const TNetCookieItems& items);
  // The value of the first item named `name` (case ignored); empty when there is none.
  static std::string Attribute(const TNetCookieItems& items, std::string_view name);
  // Whether an item equals `name` (case ignored).
  static bool Flag(const TNetCookieItems& items, std::string_view name);
  // The text Assign re-parses: always opens with the name=value pair and always carries a set
  // expiry, so that neither survives a merge only by luck of the record's Kind or Value.
  virtual std::string MergeText() const;
  // ServerText's common part; `with_pair` keeps the name=value pair even when Value is empty,
  // `all_expires` writes a set expiry whatever the Kind.
  std::string ComposeServerText(bool with_pair, bool all_expires) const;
  // Appends "; name=value" (without "; " while `out` is empty) when value is not empty.
  static void AppendPair(std::string& out, std::string_view name, std::string_view value);
  void StoreExpires(std::string text) {
    expires_ = std::move(text);
    expires_local_known_ = false;
  }

 private:
  friend class TNetCookies;  // detaches records (collection_ = nullptr)

  TNetCookies* collection_;
  std::string raw_text_;
  std::string name_;
  std::string value_;
  std::string domain_;
  std::string path_;
  std::string expires_;
  TDateTime expires_local_ = 0;  // ExpiresLocal() of expires_, valid while expires_local_known_
  bool expires_local_known_ = false;
  bool secure_ = false;
  CookieKind kind_ = ckNetscape;
};

class TNetCookieRFC2109 : public TNetNetscapeCookie {
 public:
  explicit TNetCookieRFC2109(TNetCookies* collection = nullptr);

  std::string ServerText() const override;
  // Also sets MaxAge to the whole seconds from now until the date (negative when past).
  void SetExpiry(const std::string& text) override;

  // Seconds the cookie lives; -1 means none.
  int64_t MaxAge() const { return max_age_; }
  void SetMaxAge(int64_t v) { max_age_ = v; }
  const std::string& Version() const { return version_; }
  void SetVersion(std::string v) { version_ = std::move(v); }
  const std::string& Comment() const { return comment_; }
  void SetComment(std::string v) { comment_ = std::move(v); }

 protected:
  void ApplyAttributes(const TNetCookieItems& items) override;
  std::string MergeText() const override;
  // "max-age", "comment" and "version" pairs appended to a server text.
  void AppendRfc2109(std::string& out) const;

 private:
  int64_t max_age_ = -1;
  std::string version_;
  std::string comment_;
};

class TNetCookieRFC2965 : public TNetCookieRFC2109 {
 public:
  explicit TNetCookieRFC2965(TNetCookies* collection = nullptr);

  const std::string& CommentURL() const { return comment_url_; }
  void SetCommentURL(std::string v) { comment_url_ = std::move(v); }
  bool Discard() const { return discard_; }
  void SetDiscard(bool v) { discard_ = v; }
  // The ports the cookie applies to (80 when the header named none).
  const std::vector<int32_t>& Ports() const { return ports_; }
  // Sets entry `index`; index == count appends. Raises ENetException("Index out of range.")
  // for a negative index or one beyond the count.
  void SetPort(int index, int32_t port);

 protected:
  void ApplyAttributes(const TNetCookieItems& items) override;

 private:
  std::string comment_url_;
  bool discard_ = false;
  std::vector<int32_t> ports_;
};

// Insertion-ordered list of texts (compared without regard to ASCII case), each with either a
// cookie record (not owned: the collection owns records) or an owned nested list. The store
// uses one as its domain index (domain -> name list) and one per domain (name -> record).
class TNetCookieList {
 public:
  int Count() const { return static_cast<int>(entries_.size()); }
  // The text of entry `index` (0-based); empty when out of range.
  const std::string& Strings(int index) const;
  // Index of the first entry whose text equals `text` (case ignored), -1 when none.
  int IndexOf(std::string_view text) const;
  // Appends (text, record); returns its index.
  int AddCookie(std::string text, TNetCookieRFC2109* cookie);
  // Appends (text, new empty list); returns the new list, owned by this one.
  TNetCookieList* AddList(std::string text);
  // The record / nested list of entry `index`; nullptr when the entry holds the other kind or
  // the index is out of range.
  TNetCookieRFC2109* CookieAt(int index) const;
  TNetCookieList* ListAt(int index) const;
  // Removes entry `index` (freeing its nested list, never its record); out of range: nothing.
  void Delete(int index);
  void Clear() { entries_.clear(); }

 private:
  bool InRange(int index) const { return index >= 0 && index < Count(); }

  struct Entry {
    std::string text;
    TNetCookieRFC2109* cookie = nullptr;
    std::unique_ptr<TNetCookieList> list;
  };
  std::vector<Entry> entries_;
};
