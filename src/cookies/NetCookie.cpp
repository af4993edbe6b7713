#include "cookies/NetCookie.h"

#include <libpsl.h>

#include <cmath>

#include "cookies/NetCookieManager.h"
#include "cookies/NetDateTime.h"
#include "runtime/Classes.h"
#include "runtime/DateUtils.h"
#include "runtime/Exception.h"
#include "runtime/StrUtils.h"
#include "netbase/NetBase.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;

// Cuts a header value into items: the pieces between ";" with blanks and control characters
// trimmed at both ends (a trailing piece only when something follows the last ";"). A value
// without ";" gives one trimmed item per line, so a line break can never hide inside a value.
TNetCookieItems SplitItems(std::string_view text) {
  TNetCookieItems items;
  if (text.find(';') == std::string_view::npos) {
    TStringList lines;
    lines.SetText(text);
    for (const std::string& line : lines) items.push_back(Trim(line));
    return items;
  }
  size_t start = 0;
  for (;;) {
    const size_t semi = text.find(';', start);
    if (semi == std::string_view::npos) {
      if (start < text.size()) items.push_back(Trim(text.substr(start)));
      return items;
    }
    items.push_back(Trim(text.substr(start, semi - start)));
    start = semi + 1;
  }
}

// The list inside a quoted Port value: items separated by commas and blanks, an item in double
// quotes may hold either ("" inside it stands for one quote). An empty field between two commas
// is an (empty) item.
std::vector<std::string> SplitCommaList(std::string_view text) {
  std::vector<std::string> out;
  size_t p = 0;
  const size_t n = text.size();
  auto blank = [&](size_t i) { return static_cast<unsigned char>(text[i]) <= ' '; };
  auto skip_blanks = [&] {
    while (p < n && blank(p)) ++p;
  };
  skip_blanks();
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      const size_t start = p;
      while (p < n && !blank(p) && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    out.push_back(std::move(item));
    skip_blanks();
    if (p < n && text[p] == ',') {
      ++p;
      skip_blanks();
    }
  }
  return out;
}

// A peer's seconds turned into a date offset that stays inside the calendar (year 9999), so a
// huge Max-Age cannot push the date out of the representable range.
double ClampedDaysAhead(TDateTime now, int64_t seconds) {
  static const TDateTime kLastDay = EncodeDate(9999, 12, 31);
  const double days = static_cast<double>(seconds) / kSecondsPerDay;
  const double room = kLastDay - now;
  return days < room ? days : room;
}

}  // namespace

// --- TNetNetscapeCookie -------------------------------------------------------------------

TNetNetscapeCookie::TNetNetscapeCookie(TNetCookies* collection) : collection_(collection) {}

TNetNetscapeCookie::~TNetNetscapeCookie() {
  if (collection_ != nullptr) collection_->Unlink(this);
}

void TNetNetscapeCookie::ParseCookieText(const std::string& text) {
  if (text == raw_text_) return;
  raw_text_ = text;

  TNetCookieItems items = SplitItems(text);

  // The first item is the name=value pair. The value is that of the first item carrying the
  // same name, which is the first item itself whenever it has an "=".
  name_.clear();
  value_.clear();
  if (!items.empty()) {
    const std::string& first = items.front();
    const size_t eq = first.find('=');
    if (eq != std::string::npos) name_ = first.substr(0, eq);
    for (const std::string& item : items) {
      const size_t e = item.find('=');
      if (e != std::string::npos && SameText(std::string_view(item).substr(0, e), name_)) {
        value_ = item.substr(e + 1);
        break;
      }
    }
    items.erase(items.begin());
  }

  // Attribute names are matched without regard to case; normalise them to capitals. Reading an
  // attribute always takes the first item of a name, so each item keeps its own value.
  for (std::string& item : items) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      item = UpperCase(item);
    } else {
      for (size_t i = 0; i < eq; ++i) item[i] = UpChar(item[i]);
    }
  }
  ApplyAttributes(items);
}

std::string TNetNetscapeCookie::Attribute(const TNetCookieItems& items, std::string_view name) {
  for (const std::string& item : items) {
    const size_t eq = item.find('=');
    if (eq != std::string::npos && SameText(std::string_view(item).substr(0, eq), name)) {
      return item.substr(eq + 1);
    }
  }
  return std::string();
}

bool TNetNetscapeCookie::Flag(const TNetCookieItems& items, std::string_view name) {
  for (const std::string& item : items) {
    if (SameText(item, name)) return true;
  }
  return false;
}

void TNetNetscapeCookie::ApplyAttributes(const TNetCookieItems& items) {
  std::string path = Attribute(items, "PATH");
  if (!path.empty() && path.front() == '"') path.erase(0, 1);
  if (!path.empty() && path.back() == '"') path.pop_back();
  path_ = std::move(path);
  SetExpiry(Attribute(items, "EXPIRES"));
  domain_ = Attribute(items, "DOMAIN");
  secure_ = Flag(items, "SECURE");
}

void TNetNetscapeCookie::SetExpiry(const std::string& text) { StoreExpires(text); }

TDateTime TNetNetscapeCookie::ExpiresLocal() {
  if (expires_.empty()) return 0;
  if (!expires_local_known_) {
    expires_local_ = InternetDateToLocal(expires_);
    expires_local_known_ = true;
  }
  return expires_local_;
}

void TNetNetscapeCookie::AppendPair(std::string& out, std::string_view name,
                                    std::string_view value) {
  if (value.empty()) return;
  if (!out.empty()) out += "; ";
  out.append(name);
  out += '=';
  out.append(value);
}

std::string TNetNetscapeCookie::ComposeServerText(bool with_pair, bool all_expires) const {
  std::string out;
  if (with_pair) {
    out = name_ + "=" + value_;
  } else {
    AppendPair(out, name_, value_);
  }
  AppendPair(out, "path", path_);
  if (kind_ == ckNetscape || all_expires) AppendPair(out, "expires", expires_);
  AppendPair(out, "domain", domain_);
  if (secure_) {
    if (!out.empty()) out += "; ";
    out += "secure";
  }
  return out;
}

std::string TNetNetscapeCookie::ServerText() const { return ComposeServerText(false, false); }

std::string TNetNetscapeCookie::MergeText() const { return ComposeServerText(true, true); }

std::string TNetNetscapeCookie::ClientText() const { return name_ + "=" + value_; }

void TNetNetscapeCookie::Assign(const TNetNetscapeCookie& source) {
  if (&source == this) return;
  const auto* other = dynamic_cast<const TNetCookieRFC2109*>(&source);
  if (other == nullptr) return;
  // ServerText alone would lose the cookie's name when its value is empty, and its expiry when
  // its Kind hides "expires" (which is how a server deletes a cookie): use the merge text.
  ParseCookieText(source.MergeText());
  kind_ = other->Kind();
  // The pair itself is taken as it is: a name or value holding a separator or a control byte
  // does not come back from the text whole, and the jar files the cookie under its name.
  name_ = source.Name();
  value_ = source.Value();
}

bool TNetNetscapeCookie::IsIPv4Text(std::string_view text) {
  const std::string trimmed = Trim(text);
  std::string_view rest = trimmed;
  for (int field = 0; field < 4; ++field) {
    const size_t dot = rest.find('.');
    const std::string_view part = rest.substr(0, dot);
    rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    int32_t v = 0;
    if (!TryStrToInt(part, v) || v < 0 || v > 255) return false;
  }
  return true;
}

bool TNetNetscapeCookie::IsPlainHostName(std::string_view text) {
  if (!text.empty() && text.front() == '.') return false;
  return !IsIPv4Text(text);
}

std::string TNetNetscapeCookie::ParentDomain(const std::string& host) {
  const size_t dot = host.find('.');
  return dot == std::string::npos ? host : host.substr(dot);
}

bool TNetNetscapeCookie::IsPublicSuffix(std::string_view domain) {
  // The newer of the list built into libpsl and the system's copy (the publicsuffix package),
  // loaded once and kept for the life of the process: workers may still ask during exit.
  static const psl_ctx_t* const list = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  // Leading and trailing dots are not part of the name ("com." is "com"); the list is in lower
  // case, and a name the C interface would cut at a NUL is not judged by its front part.
  while (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  while (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  if (domain.empty() || domain.find('\0') != std::string_view::npos) return true;
  if (list == nullptr) return true;  // without a list no domain is known to be private
  const std::string name = LowerCase(domain);
  return psl_is_public_suffix2(list, name.c_str(), PSL_TYPE_ANY) != 0;
}

bool TNetNetscapeCookie::AcceptableFrom(const std::string& host) const {
  if (IsIPv4Text(host)) return domain_ == host;
  bool parent;
  if (IsPlainHostName(host)) {
    if (IsPlainHostName(domain_)) return domain_ == host;  // the host's own cookie
    parent = domain_ == ParentDomain(host);
  } else {
    parent = SameText(domain_, ParentDomain(host));
  }
  // A cookie for a public suffix (".com", ".co.uk", ".github.io") would go to every site
  // registered under it.
  return parent && !IsPublicSuffix(domain_);
}

// --- TNetCookieRFC2109 --------------------------------------------------------------------

TNetCookieRFC2109::TNetCookieRFC2109(TNetCookies* collection) : TNetNetscapeCookie(collection) {
  SetKind(ckRfc2109);
}

void TNetCookieRFC2109::SetExpiry(const std::string& text) {
  StoreExpires(text);
  if (!text.empty()) {
    try {
      const double seconds = (ExpiresLocal() - Now()) * kSecondsPerDay;
      // Dates are bounded by the calendar, so this fits; the guard keeps a NaN out all the same.
      if (std::isfinite(seconds) && std::fabs(seconds) < 9.0e18) {
        max_age_ = static_cast<int64_t>(seconds);  // truncates toward zero
      }
    } catch (const std::exception&) {
      // An unreadable zone leaves MaxAge as it was; the text is kept all the same.
    }
  }
}

void TNetCookieRFC2109::ApplyAttributes(const TNetCookieItems& items) {
  TNetNetscapeCookie::ApplyAttributes(items);
  int64_t max_age = -1;
  if (!TryStrToInt64(Attribute(items, "MAX-AGE"), max_age)) max_age = -1;
  max_age_ = max_age;
  version_ = Attribute(items, "VERSION");
  comment_ = Attribute(items, "COMMENT");
  if (Expires().empty()) {
    SetKind(ckNetscape);
    if (max_age_ >= 0) {
      const TDateTime now = Now();
      SetExpiry(FormatInternetDate(now + ClampedDaysAhead(now, max_age_)));
    }
  }
}

void TNetCookieRFC2109::AppendRfc2109(std::string& out) const {
  if (max_age_ >= 0 && Expires().empty()) AppendPair(out, "max-age", IntToStr(max_age_));
  AppendPair(out, "comment", comment_);
  AppendPair(out, "version", version_);
}

std::string TNetCookieRFC2109::ServerText() const {
  std::string out = ComposeServerText(false, false);
  AppendRfc2109(out);
  return out;
}

std::string TNetCookieRFC2109::MergeText() const {
  std::string out = ComposeServerText(true, true);
  AppendRfc2109(out);
  return out;
}

// --- TNetCookieRFC2965 --------------------------------------------------------------------

TNetCookieRFC2965::TNetCookieRFC2965(TNetCookies* collection) : TNetCookieRFC2109(collection) {
  SetKind(ckRfc2965);
}

void TNetCookieRFC2965::SetPort(int index, int32_t port) {
  if (index < 0 || index > static_cast<int>(ports_.size())) {
    throw ENetException("Index out of range.");
  }
  if (index == static_cast<int>(ports_.size())) {
    ports_.push_back(port);
  } else {
    ports_[index] = port;
  }
}

void TNetCookieRFC2965::ApplyAttributes(const TNetCookieItems& items) {
  TNetCookieRFC2109::ApplyAttributes(items);
  comment_url_ = Attribute(items, "CommentURL");
  discard_ = Flag(items, "DISCARD");

  const std::string port = Attribute(items, "Port");
  if (port.empty()) {
    SetPort(0, 80);
    return;
  }
  if (port.front() != '"' || port.back() != '"') return;  // unquoted: left as it was
  const std::string_view inner =
      port.size() >= 2 ? std::string_view(port).substr(1, port.size() - 2) : std::string_view();
  const std::vector<std::string> list = SplitCommaList(inner);
  if (list.empty()) {
    SetPort(0, 80);
    return;
  }
  for (size_t i = 0; i < list.size(); ++i) {
    int32_t value = 0;
    if (!TryStrToInt(list[i], value)) {
      throw Exception(Format("'%s' is not a valid integer value", list[i].c_str()));
    }
    SetPort(static_cast<int>(i), value);
  }
}

// --- TNetCookieList -----------------------------------------------------------------------

const std::string& TNetCookieList::Strings(int index) const {
  static const std::string kNone;
  return InRange(index) ? entries_[index].text : kNone;
}

TNetCookieRFC2109* TNetCookieList::CookieAt(int index) const {
  return InRange(index) ? entries_[index].cookie : nullptr;
}

TNetCookieList* TNetCookieList::ListAt(int index) const {
  return InRange(index) ? entries_[index].list.get() : nullptr;
}

int TNetCookieList::IndexOf(std::string_view text) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (SameText(entries_[i].text, text)) return static_cast<int>(i);
  }
  return -1;
}

int TNetCookieList::AddCookie(std::string text, TNetCookieRFC2109* cookie) {
  Entry entry;
  entry.text = std::move(text);
  entry.cookie = cookie;
  entries_.push_back(std::move(entry));
  return Count() - 1;
}

TNetCookieList* TNetCookieList::AddList(std::string text) {
  Entry entry;
  entry.text = std::move(text);
  entry.list = std::make_unique<TNetCookieList>();
  entries_.push_back(std::move(entry));
  return entries_.back().list.get();
}

void TNetCookieList::Delete(int index) {
  if (!InRange(index)) return;
  entries_.erase(entries_.begin() + index);
}
