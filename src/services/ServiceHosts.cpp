#include "services/ServiceHosts.h"

#include <utility>
#include <vector>

const TServiceHosts& DefaultServiceHosts() {
  // Heap-allocated and never freed: workers still running while the program exits may read it.
  static const TServiceHosts* hosts = new TServiceHosts{
      .Baidu = "www.baidu.com",
      .Google = "www.google.com.hk",
      .Yahoo = "sitemap.cn.yahoo.com",
      .Soso = "www.soso.com",
      .Sogou = "www.sogou.com",
      .Youdao = "www.youdao.com",
      .Bing = "cn.bing.com",
      .AlexaSearch = "www.alexa.com",
      .AlexaInfo = "cn.alexa.com",
      .ChinaRank = "www.chinarank.org.cn",
      .Thumbnail = "open.thumbshots.org",
      .PageRank = "pr.velmora.com",
      .MakerSite = "www.velmora.com",
      .MakerTools = "tool.velmora.com",
      .So360 = "www.so.com",
      .Tranco = "tranco-list.eu",
      .OpenRank = "openpagerank.com",
      .Archive = "web.archive.org",
      .Mshots = "s0.wp.com",
  };
  return *hosts;
}

namespace {

using H = TServiceHosts;
// Every entry by its name, in the table's order.
const std::pair<const char*, std::string H::*> kNames[] = {
    {"Baidu", &H::Baidu},         {"Google", &H::Google},
    {"Yahoo", &H::Yahoo},         {"Soso", &H::Soso},
    {"Sogou", &H::Sogou},         {"Youdao", &H::Youdao},
    {"Bing", &H::Bing},           {"AlexaSearch", &H::AlexaSearch},
    {"AlexaInfo", &H::AlexaInfo}, {"ChinaRank", &H::ChinaRank},
    {"Thumbnail", &H::Thumbnail}, {"PageRank", &H::PageRank},
    {"MakerSite", &H::MakerSite}, {"MakerTools", &H::MakerTools},
    {"So360", &H::So360},         {"Tranco", &H::Tranco},
    {"OpenRank", &H::OpenRank},   {"Archive", &H::Archive},
    {"Mshots", &H::Mshots},
};

}  // namespace

const std::vector<std::string>& ServiceHostNames() {
  static const std::vector<std::string>* names = [] {
    auto* v = new std::vector<std::string>;
    for (const auto& entry : kNames) v->push_back(entry.first);
    return v;
  }();
  return *names;
}

const std::string* FindServiceHost(const TServiceHosts& hosts, const std::string& name) {
  for (const auto& [n, member] : kNames) {
    if (name == n) return &(hosts.*member);
  }
  return nullptr;
}
