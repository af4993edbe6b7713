#include "watch/AlertDelivery.h"

#include <nlohmann/json.hpp>
#include <ostream>

#include "runtime/DateUtils.h"
#include "watch/DesktopDelivery.h"
#include "watch/MailDelivery.h"
#include "watch/WebhookDelivery.h"

namespace {

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace

std::string AlertLine(const THistoryAlert& alert) {
  std::string line = alert.Site + " " + alert.Rule;
  if (!alert.Subject.empty()) line += " " + alert.Subject;
  line += ": " + (alert.Before.empty() ? "-" : alert.Before) + " -> " +
          (alert.After.empty() ? "-" : alert.After) + "  " + alert.Message;
  return OneLine(line);
}

std::string AlertJson(const THistoryAlert& alert) {
  const nlohmann::json body = {
      {"site", alert.Site},
      {"rule", alert.Rule},
      {alert.Kind == "query" ? "field" : "check", alert.Subject},
      {"before", alert.Before},
      {"after", alert.After},
      {"message", alert.Message},
      {"run", alert.RunId},
      {"time", IsoTime(alert.RaisedUnixMs)},
  };
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool TLineDelivery::Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) {
  for (const THistoryAlert& a : alerts) out_ << AlertLine(a) << "\n";
  out_.flush();
  if (out_) return true;
  trouble = "the alerts could not be written";
  return false;
}

std::unique_ptr<TAlertDelivery> MakeAlertDelivery(const std::string& target,
                                                  const TAlertDeliveryOptions& options,
                                                  std::string& problem) {
  if (target == "desktop") return std::make_unique<TDesktopDelivery>();
  if (target.starts_with("mailto:")) {
    const std::string address = target.substr(7);
    if (!TMailDelivery::IsAddress(address)) {
      problem = "--notify " + target + ": not a mail address (mailto:name@host)";
      return nullptr;
    }
    return std::make_unique<TMailDelivery>(address);
  }
  if (target.starts_with("http://") || target.starts_with("https://"))
    return std::make_unique<TWebhookDelivery>(target, options);
  problem =
      "--notify " + target + ": not a target (http://..., https://..., mailto:ADDRESS or desktop)";
  return nullptr;
}
