// Stand-ins for the services the built-in set "current" asks: one https server per service on
// loopback (the test authority's localhost certificate, trusted through Pki()), answering as
// today's services do: the engines' site cards and counts, their verification redirects, JSON
// answers, the web archive's first capture, and a thumbnail that is "being made" twice before
// the picture comes. One request per connection (every answer closes it).
//
// Thread-safety: the setters and RequestHeads may be called from any thread while it runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/ServiceHosts.h"

class TlsScriptServer;
namespace testpki {
struct Issued;
}

enum class CurrentService {
  Baidu,
  Google,
  So360,
  Sogou,
  Bing,
  Tranco,
  OpenRank,
  Archive,
  Mshots,
  kCount
};

class CurrentStandIns {
 public:
  // Per-port mode: one server per service on a free port of 127.0.0.1, as "localhost".
  CurrentStandIns();
  // Shared-port mode (the demo): one server on 127.0.0.1:`port` with `certificate` (issued for
  // the real host names), telling the services apart by the Host header.
  CurrentStandIns(uint16_t port, const testpki::Issued& certificate);
  ~CurrentStandIns();

  // The real host name of a service.
  static const char* RealHost(CurrentService service);

  // Every host of the current set at its stand-in ("localhost:PORT"; per-port mode); the rest
  // as `base` has them.
  TServiceHosts Hosts(TServiceHosts base) const;
  // The service answers with its verification page (Baidu, Sogou: the redirect to it).
  void SetVerification(CurrentService service, bool on);
  // The request heads the service received, in order.
  std::vector<std::string> RequestHeads(CurrentService service) const;

  // The key the key-gated service takes.
  static constexpr const char* kKey = "stand-in-key";
  // What each field with a value shows after a run with the key set (UTF-8), by field name.
  static std::map<std::string, std::string> ExpectedValues();

 private:
  std::string Answer(CurrentService service, const std::string& head);

  mutable std::mutex mu_;
  bool verification_[static_cast<int>(CurrentService::kCount)] = {};
  std::vector<std::string> heads_[static_cast<int>(CurrentService::kCount)];
  int thumbnail_asked_ = 0;
  std::vector<std::unique_ptr<TlsScriptServer>> servers_;
};
