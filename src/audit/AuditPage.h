// One answer as the checks see it, and the fetch they ask for it with. The check-up's runner
// fetches through the network; tests hand the checks pages of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TAuditPage {
  std::string Url;        // the URL asked for
  bool Answered = false;  // a status line arrived (Status, Headers, Body are the answer's)
  std::string Failure;  // why there is no answer, Chinese ("连接超时", "找不到主机", ...)
  std::string Detail;   // the network layer's own words about the failure
  int Status = 0;
  std::vector<std::pair<std::string, std::string>> Headers;  // the last answer's, as received
  std::vector<std::string> Redirects;  // each Location followed, in order (followed fetches)
  std::string FinalUrl;
  std::string Body;       // the body, content coding undone; charset untouched
  bool BodyCut = false;   // the body was longer than the fetch's cap and was cut there
  int64_t WireBytes = 0;  // body bytes as they came over the wire
  // Times in milliseconds from the request's start; negative: not measured (a pooled
  // connection has no lookup, connect or handshake).
  double DnsMs = -1, ConnectMs = -1, TlsMs = -1, FirstByteMs = -1, TotalMs = -1;
  // https answers: the TLS version and the server's certificate.
  std::string TlsVersion;  // "TLSv1.3"
  std::string CertIssuer;  // one line, "CN=..., O=..."
  std::optional<int64_t> CertNotAfterUnix;
  std::string CertProblem;  // why the certificate was refused; "" when verified

  // The first header of that name (any letter case); "" when none.
  std::string Header(std::string_view name) const;
  // For a page fetched with AcceptCompressed: the Content-Encoding when it names a coding the
  // client could not undo (the body is still coded and cannot be read); "" otherwise.
  std::string UnreadableCoding() const;
};

struct TAuditFetchOptions {
  bool FollowRedirects = true;
  bool AcceptCompressed = true;  // Accept-Encoding: gzip, deflate, br (and the body decoded)
  int64_t MaxBodyBytes = 10 * 1024 * 1024;  // decoded; a longer body is cut (BodyCut)
  bool FreshConnection = false;  // no kept-alive connection: lookup, connect and TLS are timed
};

// Never raises: a failure is in the page (Answered false, Failure).
using TAuditFetch = std::function<TAuditPage(const std::string& url, const TAuditFetchOptions&)>;
