// TWebhookDelivery: each alert POSTed as JSON (AlertJson) to a URL, through our own HTTP client
// with the fetch session's proxies and TLS. Headers: X-Velmora-Event: alert, X-Velmora-Delivery:
// a unique id per alert, and with a secret X-Velmora-Signature: sha256=<hex HMAC-SHA256 of the
// body under the secret>, so the receiver can tell the body is ours and whole.
//
// A connection failure, a time-out or a 5xx is tried again, up to kWebhookRetries times, after
// RetryBaseMs, then twice and four times that, with the same delivery id (the receiver can tell
// a repeat); a 4xx (or any other answer that is not 2xx) is not: asking again would not help.
//
// Threads: one thread at a time.
#pragma once

#include <string>

#include "watch/AlertDelivery.h"

class TWebhookDelivery : public TAlertDelivery {
 public:
  TWebhookDelivery(std::string url, TAlertDeliveryOptions options)
      : url_(std::move(url)), options_(std::move(options)) {}
  bool Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) override;

  // "sha256=" and the hex HMAC-SHA256 of body under secret.
  static std::string Signature(const std::string& secret, const std::string& body);

 private:
  // One alert, tried as often as the retries allow.
  bool Post(const THistoryAlert& alert, std::string& trouble);

  const std::string url_;
  const TAlertDeliveryOptions options_;
};
