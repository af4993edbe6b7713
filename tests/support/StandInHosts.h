// The query layer's service-host table pointed at the stand-in services (header-only, so the
// test support library needs no query layer).
#pragma once

#include <string>

#include "runtime/CodePage.h"
#include "services/ServiceFile.h"
#include "services/ServiceHosts.h"
#include "support/StandInServices.h"

inline TServiceHosts StandInServiceHosts(const StandInServices& s) {
  TServiceHosts h = DefaultServiceHosts();
  h.Baidu = s.HostFor(StandIn::Baidu);
  h.Google = s.HostFor(StandIn::Google);
  h.Yahoo = s.HostFor(StandIn::Yahoo);
  h.Soso = s.HostFor(StandIn::Soso);
  h.Sogou = s.HostFor(StandIn::Sogou);
  h.Youdao = s.HostFor(StandIn::Youdao);
  h.Bing = s.HostFor(StandIn::Bing);
  h.AlexaSearch = s.HostFor(StandIn::Alexa);
  h.ChinaRank = s.HostFor(StandIn::ChinaRank);
  h.Thumbnail = s.HostFor(StandIn::Thumbnail);
  h.PageRank = s.HostFor(StandIn::PageRank);
  return h;
}

// The built-in definitions with every host placeholder pointed at the stand-ins.
inline std::string StandInDefinitions(const StandInServices& s) {
  std::string text(BuiltInServicesText());
  const TServiceHosts hosts = StandInServiceHosts(s);
  for (const char* name : {"Baidu", "Google", "Yahoo", "Soso", "Sogou", "Youdao", "Bing",
                           "AlexaSearch", "ChinaRank", "Thumbnail", "PageRank"}) {
    text = ReplaceAll(text, std::string("{") + name + "}", *FindServiceHost(hosts, name));
  }
  return text;
}
