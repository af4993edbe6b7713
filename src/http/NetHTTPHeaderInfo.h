// The header records: typed fields of an HTTP message's header block and back.
//
// A record owns its header list (HeaderLines). Before a request is sent, WriteToLines rebuilds
// the request's lines from its fields in a fixed order; after a response's lines have been read
// into HeaderLines, ReadFromLines fills the response's fields from them. Dates (Date, Expires,
// Last-Modified / If-Modified-Since) are local date-times read and written as Internet date
// texts. TNetProxyConnectionInfo holds a client's proxy settings and adds the
// Proxy-Authorization line.
//
// Thread-safety: none; a record belongs to one client, used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/NetGlobal.h"
#include "http/NetHeaderList.h"
#include "runtime/DateUtils.h"

class TNetAuthentication;

// Fields common to requests and responses.
class TNetEntityHeaderInfo : public TNetPersistent {
 public:
  TNetEntityHeaderInfo();
  ~TNetEntityHeaderInfo() override;
  TNetEntityHeaderInfo(const TNetEntityHeaderInfo&) = delete;
  TNetEntityHeaderInfo& operator=(const TNetEntityHeaderInfo&) = delete;

  const char* ClassName() const override { return "TNetEntityHeaderInfo"; }
  // Entity to entity: the lines and the entity fields except Connection, CacheControl, Pragma,
  // CustomHeaders and ContentLengthKnown. Any other destination raises EConvertError.
  void CopyTo(TNetPersistent& dest) const override;
  // Fills the fields from HeaderLines (absent headers read as "", -1, or the zero date moved
  // by the local offset). The response raises EConvertError for a non-numeric Content-Range.
  virtual void ReadFromLines();
  // Rebuilds HeaderLines from the fields; CustomHeaders are appended verbatim at the end.
  virtual void WriteToLines();
  // Restores the defaults (CacheControl, Pragma, CustomHeaders, ContentLengthKnown untouched).
  virtual void Clear();

  TNetHeaderList& HeaderLines() { return header_lines_; }
  const TNetHeaderList& HeaderLines() const { return header_lines_; }
  TNetHeaderList& CustomHeaders() { return custom_headers_; }
  const TNetHeaderList& CustomHeaders() const { return custom_headers_; }
  // Copies the lines of `lines` (not its settings).
  void SetCustomHeaders(const TStringList& lines);

  const std::string& CacheControl() const { return cache_control_; }
  void SetCacheControl(std::string v) { cache_control_ = std::move(v); }
  const std::string& Connection() const { return connection_; }
  void SetConnection(std::string v) { connection_ = std::move(v); }
  const std::string& ContentEncoding() const { return content_encoding_; }
  void SetContentEncoding(std::string v) { content_encoding_ = std::move(v); }
  const std::string& ContentLanguage() const { return content_language_; }
  void SetContentLanguage(std::string v) { content_language_ = std::move(v); }
  // -1 means unknown. Setting it also sets ContentLengthKnown to (value >= 0).
  int32_t ContentLength() const { return content_length_; }
  void SetContentLength(int32_t v) {
    content_length_ = v;
    content_length_known_ = v >= 0;
  }
  bool ContentLengthKnown() const { return content_length_known_; }
  void SetContentLengthKnown(bool v) { content_length_known_ = v; }
  uint32_t ContentRangeEnd() const { return content_range_end_; }
  void SetContentRangeEnd(uint32_t v) { content_range_end_ = v; }
  uint32_t ContentRangeStart() const { return content_range_start_; }
  void SetContentRangeStart(uint32_t v) { content_range_start_ = v; }
  const std::string& ContentType() const { return content_type_; }
  void SetContentType(std::string v) { content_type_ = std::move(v); }
  const std::string& ContentVersion() const { return content_version_; }
  void SetContentVersion(std::string v) { content_version_ = std::move(v); }
  // Local date-times; values <= 0 are not written.
  TDateTime Date() const { return date_; }
  void SetDate(TDateTime v) { date_ = v; }
  TDateTime Expires() const { return expires_; }
  void SetExpires(TDateTime v) { expires_ = v; }
  TDateTime LastModified() const { return last_modified_; }
  void SetLastModified(TDateTime v) { last_modified_ = v; }
  const std::string& Pragma() const { return pragma_; }
  void SetPragma(std::string v) { pragma_ = std::move(v); }

 protected:
  // The entity parts of ReadFromLines / WriteToLines / Clear, callable from subclasses.
  void ReadEntityFields();
  void WriteEntityFields();
  void ClearEntityFields();
  // Entity part of CopyTo into an entity record.
  void CopyEntityFields(TNetEntityHeaderInfo& dest) const;

 private:
  TNetHeaderList header_lines_;    // FoldWidth 1024
  TNetHeaderList custom_headers_;  // FoldWidth 78, appended verbatim by WriteToLines
  std::string cache_control_;
  std::string connection_;
  std::string content_encoding_;
  std::string content_language_;
  int32_t content_length_ = -1;
  bool content_length_known_ = false;
  uint32_t content_range_end_ = 0;
  uint32_t content_range_start_ = 0;
  std::string content_type_;
  std::string content_version_;
  TDateTime date_ = 0;
  TDateTime expires_ = 0;
  TDateTime last_modified_ = 0;
  std::string pragma_;
};

// The user agent every new request announces.
inline constexpr const char* kNetDefaultUserAgent = "Mozilla/3.0 (compatible; Velmora Net Library)";

class TNetRequestHeaderInfo : public TNetEntityHeaderInfo {
 public:
  TNetRequestHeaderInfo();
  ~TNetRequestHeaderInfo() override;

  const char* ClassName() const override { return "TNetRequestHeaderInfo"; }
  // Request to request: only Accept, AcceptCharSet, AcceptEncoding, AcceptLanguage, From,
  // Password, Referer, UserAgent, Username and BasicAuthentication. To a record that is not a
  // request: the entity copy.
  void CopyTo(TNetPersistent& dest) const override;
  void ReadFromLines() override;
  // Entity lines, then Proxy-Connection, Host, Accept, Accept-Charset, Accept-Encoding,
  // Accept-Language, From, Referer, User-Agent, If-Modified-Since, Range and Authorization.
  // May create a Basic authentication object when BasicAuthentication is set.
  void WriteToLines() override;
  void Clear() override;

  const std::string& Accept() const { return accept_; }
  void SetAccept(std::string v) { accept_ = std::move(v); }
  const std::string& AcceptCharSet() const { return accept_char_set_; }
  void SetAcceptCharSet(std::string v) { accept_char_set_ = std::move(v); }
  const std::string& AcceptEncoding() const { return accept_encoding_; }
  void SetAcceptEncoding(std::string v) { accept_encoding_ = std::move(v); }
  const std::string& AcceptLanguage() const { return accept_language_; }
  void SetAcceptLanguage(std::string v) { accept_language_ = std::move(v); }
  const std::string& From() const { return from_; }
  void SetFrom(std::string v) { from_ = std::move(v); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string v) { password_ = std::move(v); }
  const std::string& Referer() const { return referer_; }
  void SetReferer(std::string v) { referer_ = std::move(v); }
  const std::string& UserAgent() const { return user_agent_; }
  void SetUserAgent(std::string v) { user_agent_ = std::move(v); }
  const std::string& Username() const { return username_; }
  void SetUsername(std::string v) { username_ = std::move(v); }
  const std::string& Host() const { return host_; }
  void SetHost(std::string v) { host_ = std::move(v); }
  // Send Basic credentials without waiting for a challenge.
  bool BasicAuthentication() const { return basic_authentication_; }
  void SetBasicAuthentication(bool v) { basic_authentication_ = v; }
  const std::string& ProxyConnection() const { return proxy_connection_; }
  void SetProxyConnection(std::string v) { proxy_connection_ = std::move(v); }
  // The owned scheme object that produces the Authorization value, or nullptr.
  TNetAuthentication* Authentication() const { return authentication_.get(); }
  // Replaces (and frees) the current object; nullptr just frees it.
  void SetAuthentication(std::unique_ptr<TNetAuthentication> authentication);

 private:
  std::string accept_;
  std::string accept_char_set_;
  std::string accept_encoding_;
  std::string accept_language_;
  std::string from_;
  std::string password_;
  std::string referer_;
  std::string user_agent_;
  std::string username_;
  std::string host_;
  bool basic_authentication_ = false;
  std::string proxy_connection_;
  std::unique_ptr<TNetAuthentication> authentication_;
};

class TNetResponseHeaderInfo : public TNetEntityHeaderInfo {
 public:
  TNetResponseHeaderInfo();
  ~TNetResponseHeaderInfo() override;

  const char* ClassName() const override { return "TNetResponseHeaderInfo"; }
  // Location, Server, Proxy-Connection, Content-Range, the challenge lists, then the entity
  // part. A Content-Range whose start or end is not an integer raises EConvertError
  // "'<text>' is not a valid integer value".
  void ReadFromLines() override;
  void Clear() override;

  const std::string& Location() const { return location_; }
  void SetLocation(std::string v) { location_ = std::move(v); }
  const std::string& Server() const { return server_; }
  void SetServer(std::string v) { server_ = std::move(v); }
  const std::string& ProxyConnection() const { return proxy_connection_; }
  void SetProxyConnection(std::string v) { proxy_connection_ = std::move(v); }
  // One challenge per line, in the order the headers came.
  TNetHeaderList& ProxyAuthenticate() { return proxy_authenticate_; }
  const TNetHeaderList& ProxyAuthenticate() const { return proxy_authenticate_; }
  void SetProxyAuthenticate(const TStringList& lines);
  TNetHeaderList& WWWAuthenticate() { return www_authenticate_; }
  const TNetHeaderList& WWWAuthenticate() const { return www_authenticate_; }
  void SetWWWAuthenticate(const TStringList& lines);

 private:
  std::string location_;
  std::string server_;
  std::string proxy_connection_;
  TNetHeaderList proxy_authenticate_;
  TNetHeaderList www_authenticate_;
};

// A client's proxy settings. Changing the server (ignoring case) or the port frees the
// authentication object, which belonged to the old proxy.
class TNetProxyConnectionInfo : public TNetPersistent {
 public:
  TNetProxyConnectionInfo();
  ~TNetProxyConnectionInfo() override;
  TNetProxyConnectionInfo(const TNetProxyConnectionInfo&) = delete;
  TNetProxyConnectionInfo& operator=(const TNetProxyConnectionInfo&) = delete;

  const char* ClassName() const override { return "TNetProxyConnectionInfo"; }
  // Proxy to proxy: server, port, user name, password and BasicAuthentication (the
  // destination keeps its authentication object). Any other destination raises EConvertError.
  void CopyTo(TNetPersistent& dest) const override;
  // Empties server, user name and password and sets the port to 0; BasicAuthentication and
  // the authentication object stay.
  void Clear();
  // Sets "Proxy-Authorization" in `target` when credentials are due; may create a Basic
  // authentication object when BasicAuthentication is set.
  void WriteToLines(TNetHeaderList& target);

  const std::string& ProxyServer() const { return proxy_server_; }
  void SetProxyServer(std::string v);
  int ProxyPort() const { return proxy_port_; }
  void SetProxyPort(int v);
  const std::string& ProxyUsername() const { return proxy_username_; }
  void SetProxyUsername(std::string v) { proxy_username_ = std::move(v); }
  const std::string& ProxyPassword() const { return proxy_password_; }
  void SetProxyPassword(std::string v) { proxy_password_ = std::move(v); }
  bool BasicAuthentication() const { return basic_authentication_; }
  void SetBasicAuthentication(bool v) { basic_authentication_ = v; }
  TNetAuthentication* Authentication() const { return authentication_.get(); }
  void SetAuthentication(std::unique_ptr<TNetAuthentication> authentication);

 private:
  std::string proxy_server_;
  int proxy_port_ = 0;
  std::string proxy_username_;
  std::string proxy_password_;
  bool basic_authentication_ = false;
  std::unique_ptr<TNetAuthentication> authentication_;
};
