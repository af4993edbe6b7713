#include "watch/WebhookDelivery.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <thread>

#include "http/NetFetchSession.h"
#include "http/NetHTTP.h"
#include "runtime/Exception.h"
#include "transport/NetException.h"

std::string TWebhookDelivery::Signature(const std::string& secret, const std::string& body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "sha256=";
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[mac[i] >> 4];
    out += kHex[mac[i] & 15];
  }
  return out;
}

bool TWebhookDelivery::Deliver(const std::vector<THistoryAlert>& alerts, std::string& trouble) {
  bool all = true;
  for (const THistoryAlert& a : alerts) {
    std::string why;
    if (!Post(a, why)) {
      if (all) trouble = why;
      all = false;
    }
  }
  return all;
}

bool TWebhookDelivery::Post(const THistoryAlert& alert, std::string& trouble) {
  const std::string body = AlertJson(alert);
  TNetFetchRequest request;
  request.ReadTimeoutMs = options_.TimeoutMs;
  request.UserAgent = "velmora-watch/" VELMORA_VERSION;
  request.Headers = {{"X-Velmora-Event", "alert"},
                     {"X-Velmora-Delivery", THistoryStore::NewRunId()}};
  if (!options_.WebhookSecret.empty())
    request.Headers.emplace_back("X-Velmora-Signature", Signature(options_.WebhookSecret, body));
  TNetFetchSession session(options_.Proxies);
  int wait_ms = options_.RetryBaseMs;
  for (int attempt = 0;; ++attempt) {
    bool again = true;
    try {
      TNetFetchAnswer answer;
      session.Post(url_, request, "application/json", body, answer);
      return true;
    } catch (const ENetProtocolReplyError& e) {
      again = e.ReplyCode() >= 500;
      trouble = url_ + ": HTTP " + std::to_string(e.ReplyCode());
    } catch (const Exception& e) {
      trouble = url_ + ": " + e.Message();
    } catch (const std::exception& e) {
      trouble = url_ + ": " + e.what();
    }
    if (!again || attempt == kWebhookRetries) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    wait_ms *= 2;
    session.Close();  // a connection that failed is not the one to try again on
  }
  return false;
}
