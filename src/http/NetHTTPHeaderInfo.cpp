#include "http/NetHTTPHeaderInfo.h"

#include "cookies/NetDateTime.h"
#include "http/NetAuthentication.h"
#include "runtime/StrUtils.h"

namespace {

// SetHeader only for a non-empty value.
void SetIfAny(TNetHeaderList& lines, const char* name, const std::string& value) {
  if (!value.empty()) lines.SetHeader(name, value);
}

// A Content-Length value: decimal digits with an optional sign, within 32 bits; -1 otherwise.
int32_t ContentLengthOf(const std::string& text) {
  const std::string t = Trim(text);
  size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (i == t.size()) return -1;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return -1;
  }
  int32_t value;
  return TryStrToInt(t, value) ? value : -1;
}

int32_t IntOrZero(const std::string& text) {
  int32_t value;
  return TryStrToInt(text, value) ? value : 0;
}

// Credentials of `auth`, creating a Basic object from the given user name and password when
// there is none yet and Basic is wanted. "" when nothing is due.
std::string CredentialsOf(std::unique_ptr<TNetAuthentication>& auth, bool basic,
                          const std::string& username, const std::string& password) {
  if (!auth) {
    if (!basic) return "";
    auth = TNetBasicAuthentication::Create();
    auth->SetUsername(username);
    auth->SetPassword(password);
  }
  return auth->Credentials();
}

}  // namespace

// ---- TNetEntityHeaderInfo ---------------------------------------------------------------------

TNetEntityHeaderInfo::TNetEntityHeaderInfo() {
  header_lines_.SetFoldWidth(1024);
  ClearEntityFields();
}

TNetEntityHeaderInfo::~TNetEntityHeaderInfo() = default;

void TNetEntityHeaderInfo::SetCustomHeaders(const TStringList& lines) {
  if (&lines == &custom_headers_) return;
  custom_headers_.Clear();
  custom_headers_.AddStrings(lines);
}

void TNetEntityHeaderInfo::Clear() { ClearEntityFields(); }

void TNetEntityHeaderInfo::ClearEntityFields() {
  header_lines_.Clear();
  connection_.clear();
  content_encoding_.clear();
  content_language_.clear();
  content_length_ = -1;  // the Known flag stays as it was
  content_range_end_ = 0;
  content_range_start_ = 0;
  content_type_ = "text/html";
  content_version_.clear();
  date_ = 0;
  expires_ = 0;
  last_modified_ = 0;
}

void TNetEntityHeaderInfo::ReadFromLines() { ReadEntityFields(); }

void TNetEntityHeaderInfo::ReadEntityFields() {
  const TNetHeaderList& h = header_lines_;
  connection_ = h.HeaderValue("Connection");
  content_version_ = h.HeaderValue("Content-Version");
  content_encoding_ = h.HeaderValue("Content-Encoding");
  content_language_ = h.HeaderValue("Content-Language");
  content_type_ = h.HeaderValue("Content-Type");
  content_length_ = ContentLengthOf(h.HeaderValue("Content-Length"));
  content_length_known_ = content_length_ >= 0;
  date_ = InternetDateToLocal(h.HeaderValue("Date"));
  last_modified_ = InternetDateToLocal(h.HeaderValue("Last-Modified"));
  // Expires may also be a number of seconds from now; -1 is read as a date.
  const std::string expires = h.HeaderValue("Expires");
  int32_t seconds;
  if (TryStrToInt(expires, seconds) && seconds != -1) {
    expires_ = Now() + seconds / 86400.0;
  } else {
    expires_ = InternetDateToLocal(expires);
  }
  pragma_ = h.HeaderValue("Pragma");
}

void TNetEntityHeaderInfo::WriteToLines() { WriteEntityFields(); }

void TNetEntityHeaderInfo::WriteEntityFields() {
  TNetHeaderList& h = header_lines_;
  h.Clear();
  SetIfAny(h, "Connection", connection_);
  SetIfAny(h, "Content-Version", content_version_);
  SetIfAny(h, "Content-Encoding", content_encoding_);
  SetIfAny(h, "Content-Language", content_language_);
  SetIfAny(h, "Content-Type", content_type_);
  if (content_length_ >= 0) h.SetHeader("Content-Length", IntToStr(content_length_));
  SetIfAny(h, "Cache-control", cache_control_);
  if (date_ > 0) h.SetHeader("Date", FormatInternetDate(date_, false));
  if (expires_ > 0) h.SetHeader("Expires", FormatInternetDate(expires_, false));
  SetIfAny(h, "Pragma", pragma_);
  // Custom lines go in as they stand: not folded, not merged with lines of the same name.
  if (custom_headers_.Count() > 0) h.SetText(h.Text() + custom_headers_.Text());
}

void TNetEntityHeaderInfo::CopyTo(TNetPersistent& dest) const {
  if (auto* entity = dynamic_cast<TNetEntityHeaderInfo*>(&dest)) {
    CopyEntityFields(*entity);
  } else {
    TNetPersistent::CopyTo(dest);
  }
}

void TNetEntityHeaderInfo::CopyEntityFields(TNetEntityHeaderInfo& dest) const {
  if (&dest == this) return;
  dest.header_lines_.Clear();
  dest.header_lines_.AddStrings(header_lines_);
  dest.content_encoding_ = content_encoding_;
  dest.content_language_ = content_language_;
  dest.content_length_ = content_length_;
  dest.content_range_end_ = content_range_end_;
  dest.content_range_start_ = content_range_start_;
  dest.content_type_ = content_type_;
  dest.content_version_ = content_version_;
  dest.date_ = date_;
  dest.expires_ = expires_;
  dest.last_modified_ = last_modified_;
}

// ---- TNetRequestHeaderInfo --------------------------------------------------------------------

TNetRequestHeaderInfo::TNetRequestHeaderInfo() { TNetRequestHeaderInfo::Clear(); }

TNetRequestHeaderInfo::~TNetRequestHeaderInfo() = default;

void TNetRequestHeaderInfo::SetAuthentication(std::unique_ptr<TNetAuthentication> authentication) {
  authentication_ = std::move(authentication);
}

void TNetRequestHeaderInfo::Clear() {
  accept_ = "text/html, */*";
  accept_char_set_.clear();
  user_agent_ = kNetDefaultUserAgent;
  basic_authentication_ = false;
  ClearEntityFields();
}

void TNetRequestHeaderInfo::ReadFromLines() {
  const TNetHeaderList& h = HeaderLines();
  accept_ = h.HeaderValue("Accept");
  accept_char_set_ = h.HeaderValue("Accept-Charset");
  accept_encoding_ = h.HeaderValue("Accept-Encoding");
  accept_language_ = h.HeaderValue("Accept-Language");
  host_ = h.HeaderValue("Host");
  from_ = h.HeaderValue("From");
  referer_ = h.HeaderValue("Referer");
  user_agent_ = h.HeaderValue("User-Agent");
  std::string range = h.HeaderValue("Range");
  if (!range.empty()) {
    FetchToken(range, "=");
    SetContentRangeStart(static_cast<uint32_t>(IntOrZero(FetchToken(range, "-"))));
    SetContentRangeEnd(static_cast<uint32_t>(IntOrZero(FetchToken(range, " "))));
  }
  ReadEntityFields();
}

void TNetRequestHeaderInfo::WriteToLines() {
  WriteEntityFields();
  TNetHeaderList& h = HeaderLines();
  SetIfAny(h, "Proxy-Connection", proxy_connection_);
  SetIfAny(h, "Host", host_);
  SetIfAny(h, "Accept", accept_);
  SetIfAny(h, "Accept-Charset", accept_char_set_);
  SetIfAny(h, "Accept-Encoding", accept_encoding_);
  SetIfAny(h, "Accept-Language", accept_language_);
  SetIfAny(h, "From", from_);
  SetIfAny(h, "Referer", referer_);
  SetIfAny(h, "User-Agent", user_agent_);
  if (LastModified() > 0) h.SetHeader("If-Modified-Since", FormatInternetDate(LastModified()));
  if (ContentRangeStart() != 0 || ContentRangeEnd() != 0) {
    std::string range = "bytes=" + std::to_string(ContentRangeStart()) + "-";
    if (ContentRangeEnd() != 0) range += std::to_string(ContentRangeEnd());
    h.SetHeader("Range", range);
  }
  SetIfAny(h, "Authorization",
           CredentialsOf(authentication_, basic_authentication_, username_, password_));
}

void TNetRequestHeaderInfo::CopyTo(TNetPersistent& dest) const {
  auto* request = dynamic_cast<TNetRequestHeaderInfo*>(&dest);
  if (request == nullptr) {
    TNetEntityHeaderInfo::CopyTo(dest);
    return;
  }
  if (request == this) return;
  request->accept_ = accept_;
  request->accept_char_set_ = accept_char_set_;
  request->accept_encoding_ = accept_encoding_;
  request->accept_language_ = accept_language_;
  request->from_ = from_;
  request->password_ = password_;
  request->referer_ = referer_;
  request->user_agent_ = user_agent_;
  request->username_ = username_;
  request->basic_authentication_ = basic_authentication_;
}

// ---- TNetResponseHeaderInfo -------------------------------------------------------------------

TNetResponseHeaderInfo::TNetResponseHeaderInfo() { TNetResponseHeaderInfo::Clear(); }

TNetResponseHeaderInfo::~TNetResponseHeaderInfo() = default;

void TNetResponseHeaderInfo::SetProxyAuthenticate(const TStringList& lines) {
  if (&lines == &proxy_authenticate_) return;
  proxy_authenticate_.Clear();
  proxy_authenticate_.AddStrings(lines);
}

void TNetResponseHeaderInfo::SetWWWAuthenticate(const TStringList& lines) {
  if (&lines == &www_authenticate_) return;
  www_authenticate_.Clear();
  www_authenticate_.AddStrings(lines);
}

void TNetResponseHeaderInfo::Clear() {
  ClearEntityFields();
  location_.clear();
  server_.clear();
  proxy_authenticate_.Clear();
  www_authenticate_.Clear();
}

void TNetResponseHeaderInfo::ReadFromLines() {
  const TNetHeaderList& h = HeaderLines();
  location_ = h.HeaderValue("Location");
  server_ = h.HeaderValue("Server");
  proxy_connection_ = h.HeaderValue("Proxy-Connection");
  std::string range = h.HeaderValue("Content-Range");
  if (!range.empty()) {
    FetchToken(range, " ");  // the unit
    SetContentRangeStart(static_cast<uint32_t>(StrToInt(FetchToken(range, "-"))));
    SetContentRangeEnd(static_cast<uint32_t>(StrToInt(FetchToken(range, "/"))));
  }
  www_authenticate_.Clear();
  h.CollectValues("WWW-Authenticate", &www_authenticate_);
  proxy_authenticate_.Clear();
  h.CollectValues("Proxy-Authenticate", &proxy_authenticate_);
  ReadEntityFields();
}

// ---- TNetProxyConnectionInfo ------------------------------------------------------------------

TNetProxyConnectionInfo::TNetProxyConnectionInfo() { Clear(); }

TNetProxyConnectionInfo::~TNetProxyConnectionInfo() = default;

void TNetProxyConnectionInfo::SetProxyServer(std::string v) {
  // Credentials negotiated with one proxy mean nothing to another.
  if (!SameText(v, proxy_server_)) authentication_.reset();
  proxy_server_ = std::move(v);
}

void TNetProxyConnectionInfo::SetProxyPort(int v) {
  if (v != proxy_port_) authentication_.reset();
  proxy_port_ = v;
}

void TNetProxyConnectionInfo::SetAuthentication(
    std::unique_ptr<TNetAuthentication> authentication) {
  authentication_ = std::move(authentication);
}

void TNetProxyConnectionInfo::Clear() {
  proxy_server_.clear();
  proxy_username_.clear();
  proxy_password_.clear();
  proxy_port_ = 0;
}

void TNetProxyConnectionInfo::WriteToLines(TNetHeaderList& target) {
  SetIfAny(target, "Proxy-Authorization",
           CredentialsOf(authentication_, basic_authentication_, proxy_username_, proxy_password_));
}

void TNetProxyConnectionInfo::CopyTo(TNetPersistent& dest) const {
  auto* proxy = dynamic_cast<TNetProxyConnectionInfo*>(&dest);
  if (proxy == nullptr) {
    TNetPersistent::CopyTo(dest);
    return;
  }
  if (proxy == this) return;
  proxy->proxy_password_ = proxy_password_;
  proxy->proxy_port_ = proxy_port_;
  proxy->proxy_server_ = proxy_server_;
  proxy->proxy_username_ = proxy_username_;
  proxy->basic_authentication_ = basic_authentication_;
}
