#include "watch/DesktopDelivery.h"

#include <dbus/dbus.h>

#include <memory>

namespace {

struct TCloseConnection {
  void operator()(DBusConnection* c) const {
    dbus_connection_close(c);
    dbus_connection_unref(c);
  }
};
struct TUnrefMessage {
  void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using TConnection = std::unique_ptr<DBusConnection, TCloseConnection>;
using TMessage = std::unique_ptr<DBusMessage, TUnrefMessage>;

// A Notify call: app name, replaces id, icon, summary, body, actions, hints, expire time.
TMessage NotifyCall(const std::string& summary, const std::string& body) {
  TMessage call(dbus_message_new_method_call("org.freedesktop.Notifications",
                                             "/org/freedesktop/Notifications",
                                             "org.freedesktop.Notifications", "Notify"));
  if (!call) return call;
  const char* app = "velmora";
  const char* icon = "velmora";
  const char* summary_text = summary.c_str();
  const char* body_text = body.c_str();
  const dbus_uint32_t replaces = 0;
  const dbus_int32_t expire = -1;  // the server's default
  DBusMessageIter args, actions, hints;
  dbus_message_iter_init_append(call.get(), &args);
  bool ok = dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &app) &&
            dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &replaces) &&
            dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &icon) &&
            dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &summary_text) &&
            dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &body_text);
  ok = ok && dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &actions) &&
       dbus_message_iter_close_container(&args, &actions);
  ok = ok && dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &hints) &&
       dbus_message_iter_close_container(&args, &hints);
  ok = ok && dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &expire);
  if (!ok) call.reset();
  return call;
}

}  // namespace

bool TDesktopDelivery::Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) {
  DBusError error;
  dbus_error_init(&error);
  // A private connection: the process's shared one would outlive this call.
  TConnection bus(dbus_bus_get_private(DBUS_BUS_SESSION, &error));
  if (!bus) {
    trouble =
        std::string("desktop: no session bus (") + (error.message ? error.message : "?") + ")";
    dbus_error_free(&error);
    return false;
  }
  dbus_connection_set_exit_on_disconnect(bus.get(), false);
  for (const THistoryAlert& a : alerts) {
    // Only UTF-8 goes over the bus; the alert's texts are.
    const std::string body = a.Message + "\n" + (a.Before.empty() ? "-" : a.Before) + " → " +
                             (a.After.empty() ? "-" : a.After);
    if (!dbus_validate_utf8(body.c_str(), nullptr) ||
        !dbus_validate_utf8(a.Site.c_str(), nullptr)) {
      trouble = "desktop: an alert of " + a.Site + " is not UTF-8";
      return false;
    }
    TMessage call = NotifyCall("Velmora 提醒：" + a.Site, body);
    if (!call) {
      trouble = "desktop: out of memory";
      return false;
    }
    TMessage reply(
        dbus_connection_send_with_reply_and_block(bus.get(), call.get(), kDesktopCallMs, &error));
    if (!reply) {
      trouble = std::string("desktop: the notification was not shown (") +
                (error.message ? error.message : "?") + ")";
      dbus_error_free(&error);
      return false;
    }
  }
  return true;
}
