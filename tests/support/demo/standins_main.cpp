// The stand-in services as a program of their own, for the demo: listens on ADDRESS:PORT
// (default 127.0.0.1:80), answers for every service by Host name, and on SIGTERM or SIGINT
// prints one line per request received ("<service-host> <request line>") and exits. With
// "current CA_FILE" after them, today's services answer over https on 127.0.0.1:443 too, with a
// certificate of a throw-away authority whose certificate goes to CA_FILE.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <memory>

#include "support/CurrentStandIns.h"
#include "support/StandInServices.h"
#include "support/TestCertificates.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  std::string address = argc > 1 ? argv[1] : "127.0.0.1";
  int port = argc > 2 ? std::atoi(argv[2]) : 80;
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  try {
    StandInServices services(address, static_cast<uint16_t>(port));
    std::unique_ptr<CurrentStandIns> today;
    if (argc > 4 && std::string(argv[3]) == "current") {
      testpki::Authority authority("velmora demo authority");
      std::string names;
      for (int s = 0; s < static_cast<int>(CurrentService::kCount); ++s) {
        names += std::string(names.empty() ? "" : ",") + "DNS:" +
                 CurrentStandIns::RealHost(static_cast<CurrentService>(s));
      }
      today = std::make_unique<CurrentStandIns>(443, authority.Issue(names));
      testpki::WriteFile(argv[4], authority.CertificatePem());
    }
    std::fprintf(stderr, "stand-ins listening on %s:%d\n", address.c_str(), port);
    while (!g_stop) pause();
    for (const auto& r : services.Requests()) {
      const char* host = StandInServices::RealHost(r.service);
      std::printf("%s %s\n", *host ? host : "site", r.head.substr(0, r.head.find("\r\n")).c_str());
    }
    for (int s = 0; today && s < static_cast<int>(CurrentService::kCount); ++s) {
      const auto service = static_cast<CurrentService>(s);
      for (const std::string& head : today->RequestHeads(service)) {
        std::printf("%s %s\n", CurrentStandIns::RealHost(service),
                    head.substr(0, head.find("\r\n")).c_str());
      }
    }
    std::fflush(stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
