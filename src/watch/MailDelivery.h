// TMailDelivery: the alerts of one run in one mail to an address, handed to the system's
// `sendmail -t` (the convention cron and most mail systems keep: the recipients are read from the
// mail's own To: line). sendmail is looked for on PATH, then in /usr/sbin and /usr/lib; a system
// without one is a clear failure, not a mail silently lost.
//
// The mail is UTF-8 text (MIME, 8bit), its Subject encoded as RFC 2047 asks.
//
// Threads: one thread at a time; it starts a process and waits for it.
#pragma once

#include <string>

#include "watch/AlertDelivery.h"

class TMailDelivery : public TAlertDelivery {
 public:
  explicit TMailDelivery(std::string address) : address_(std::move(address)) {}
  bool Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) override;

  // Whether text is one plain address (name@host, no spaces, commas or line breaks).
  static bool IsAddress(const std::string& text);
  // The whole mail as sendmail -t reads it (CRLF-free: sendmail takes lines ending in LF).
  static std::string Compose(const std::string& address, const std::vector<THistoryAlert>& alerts);
  // The sendmail to run; "" when there is none.
  static std::string FindSendmail();

 private:
  const std::string address_;
};
