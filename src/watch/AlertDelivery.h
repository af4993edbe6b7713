// Where the watch's alerts go (velmora-query --notify TARGET, repeatable):
//   (none)          one line per alert on standard output (cron mails what a job writes)
//   http(s)://...   a webhook: a POST of JSON per alert (WebhookDelivery.h)
//   mailto:ADDRESS  one mail per run that raised alerts, handed to sendmail -t (MailDelivery.h)
//   desktop         a desktop notification per alert, over D-Bus (DesktopDelivery.h)
//
// A delivery that fails says why and the others still go; the alerts are stored either way.
//
// Threads: a delivery is used by one thread at a time.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "history/HistoryStore.h"
#include "http/NetProxyRoute.h"

class TAlertDelivery {
 public:
  virtual ~TAlertDelivery() = default;
  // Delivers the alerts one run raised (at least one, all of one site). false, with `trouble`
  // (UTF-8, one line), when they could not all be delivered.
  virtual bool Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) = 0;
};

struct TAlertDeliveryOptions {
  TProxySettings Proxies = {};     // for webhooks, as the fetches go
  int TimeoutMs = 20000;           // a webhook's connect and each read
  int RetryBaseMs = 1000;          // a webhook's first wait before trying again; doubled each time
  std::string WebhookSecret = {};  // signs each webhook body when set (VELMORA_WEBHOOK_SECRET)
};
// Webhook attempts after the first, on a connection failure, a time-out or a 5xx.
inline constexpr int kWebhookRetries = 3;

// The delivery `target` names; null, with `problem` (UTF-8), for a target that is none.
std::unique_ptr<TAlertDelivery> MakeAlertDelivery(const std::string& target,
                                                  const TAlertDeliveryOptions& options,
                                                  std::string& problem);

// One line per alert on a stream: "SITE RULE SUBJECT: BEFORE -> AFTER MESSAGE".
class TLineDelivery : public TAlertDelivery {
 public:
  explicit TLineDelivery(std::ostream& out) : out_(out) {}
  bool Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) override;

 private:
  std::ostream& out_;
};

// The line TLineDelivery writes, without its line end; control characters of the texts become
// spaces, so that a line is one line whatever a site sent.
std::string AlertLine(const THistoryAlert& alert);
// The alert as the webhook sends it and the JSON report shows it: site, rule, field (a query's)
// or check (a check-up's or crawl's), before, after, message, run, time (UTC, ISO 8601).
std::string AlertJson(const THistoryAlert& alert);
