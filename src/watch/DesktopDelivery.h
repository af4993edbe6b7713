// TDesktopDelivery: each alert as a desktop notification (the freedesktop.org Notifications
// interface, org.freedesktop.Notifications.Notify on the session bus), through libdbus. The
// summary names the site, the body is the alert's sentence with before -> after.
//
// No session bus (a cron job without DBUS_SESSION_BUS_ADDRESS) or no notification service on it
// is a failure with the bus's own words; a call waits at most kDesktopCallMs.
//
// Threads: one thread at a time; each Deliver opens a private connection and closes it.
#pragma once

#include "watch/AlertDelivery.h"

inline constexpr int kDesktopCallMs = 5000;

class TDesktopDelivery : public TAlertDelivery {
 public:
  bool Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) override;
};
