#include "query/ServiceHosts.h"

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
  };
  return *hosts;
}
