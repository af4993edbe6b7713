// How a fetch through the network stack ended, told from what it raised: one list of ends for
// every caller (the queries' fields, the check-up's pages), and the word each is shown as.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

// How one fetch ended.
enum class TFetchEnd {
  Fetched,           // the page arrived: HttpStatus, ElapsedMs, FinalUrl
  HostNotFound,      // the host name did not resolve
  Refused,           // nobody listens there
  Reset,             // the peer reset the connection
  ConnectTimeout,    // no connection within the time-out
  ReadTimeout,       // the server went silent (or the whole fetch ran out of time)
  TlsRefused,        // the TLS handshake failed; Detail holds the certificate's complaint
  HttpStatus,        // an unsuccessful HTTP status: HttpStatus
  TooLarge,          // the body passed the size cap
  Stopped,           // the user stopped the query first
  ProxyFailed,       // the proxy could not be reached or refused the route
  TooManyRedirects,  // the redirects did not end; Detail holds the chain of URLs
  BadAnswer,         // the server's answer is not HTTP, or breaks its framing
  BadUrl,            // the URL (or a redirect's) cannot be asked: a bad port, scheme or host
  ResolveTimeout,    // the host name lookup did not end within the time-out
  BadCoding,         // a compressed body that does not decode (corrupt or cut short)
  OtherFailure,      // anything else; Detail holds the message
};

// Inside a catch handler: how the exception being handled ended the fetch. An HTTP status goes
// to `status`, the exception's own message to `detail` (cleared for a stop).
TFetchEnd FetchEndOfFailure(int& status, std::string& detail);

// The end in a few words of Chinese, UTF-8 ("连接超时"); "" for HttpStatus, which is shown as its
// status.
std::string_view FetchEndWord(TFetchEnd end);
