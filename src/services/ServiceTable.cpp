#include "services/ServiceTable.h"

#include "runtime/CodePage.h"
#include "runtime/Exception.h"

const TServiceTable& BuiltInServiceTable() {
  // Built once and never destroyed: workers may still read it while the program exits.
  static const TServiceTable* table = [] {
    auto g = [](const char8_t* s) { return Gbk(s); };
    // clang-format off
    const TStepList baidu = {
        {skBetween, g(u8"百度一下，找到相关网页"), g(u8"篇")}, {skRemove, g(u8"约")}, {skDigitsOnly}};
    const TStepList google = {{skBetween, g(u8"获得约 <b>"), g(u8"</b> 条结果")}, {skDigitsOnly}};
    const TStepList soso = {{skBetween, g(u8"搜索到约"), g(u8"项结果")}, {skDigitsOnly}};
    const TStepList sogou = {{skBetween, g(u8"找到 "), g(u8" <!--resultbarnum:")}, {skDigitsOnly}};
    const TStepList youdao = {
        {skBetween, g(u8"<span class=\"fr\">共"), g(u8"条结果</span>")}, {skRemove, g(u8"约")}};
    const TStepList bing = {{skBetween, g(u8"1 - 10 条结果"), g(u8"</span>")},
                            {skRemove, g(u8"（共 ")}, {skRemove, g(u8" 条）")}, {skDigitsOnly}};
    const std::string period = "http://{Google}/search?hl=zh-CN&newwindow=1&safe=strict&tbo=1&tbs=qdr%3A";
    auto* t = new TServiceTable;
    t->Requests = {
        {0, "WebTitle", "http://{site}", kModeDeclared, {{{skRule, "<title>[velmora]</title>"}}}},
        {1, "Site1", "http://{Baidu}/s?wd=site%3A{site}", kModeRaw, {baidu}},
        {1, "Link1", "http://{Baidu}/s?wd=domain%3A{site}", kModeRaw, {baidu}},
        {1, "Alexa5", "http://{Baidu}/s?wd={site}", kModeRaw, {{{skBetweenSite, "<b>", "</b>/", "</font>"}}}},
        {2, "Site2", "http://{Google}/search?hl=zh-CN&q=site%3A{site}", kModeUtf8, {google}},
        {2, "Link2", "http://{Google}/search?hl=zh-CN&q=link%3A{site}", kModeUtf8,
         {{{skBetween, g(u8"约有 <b>"), g(u8"</b> 条链接到 <b>")}, {skDigitsOnly}}}},
        {2, "Alexa3", "http://{PageRank}/pr.asp?weburl={site}", kModeRaw,
         {{{skBetween, "images/pr/", ".gif"}, {skDigitsOnly}}}},
        {3, "Site3", "http://{Yahoo}/search?bwm=p&p={site}", kModeUtf8,
         {{{skBetween, g(u8"<em>被收录的网页： 共 <strong>"), g(u8"</strong> 条")}, {skDigitsOnly}}}},
        {3, "Link3", "http://{Yahoo}/search?bwm=i&p={site}", kModeUtf8,
         {{{skBetween, g(u8"<em>链向该地址的网页： 共 <strong>"), g(u8"</strong> 条")}, {skDigitsOnly}}}},
        {4, "Site4", "http://{Soso}/q?w=site%3A{site}", kModeRaw, {soso}},
        {4, "Link4", "http://{Soso}/q?pid=s.idx&w=link%3A{site}", kModeRaw, {soso}},
        {5, "Site5", "http://{Sogou}/web?query={site}", kModeRaw, {sogou}},
        {5, "Link5", "http://{Sogou}/web?query=link%3A{site}", kModeRaw, {sogou}},
        {5, "Alexa4", "http://{Sogou}/web?query={site}", kModeRaw,
         {{{skBetween, g(u8"搜狗评级:"), "/100"}, {skDigitsOnly}, {skAppend, "/100"}}}},
        {6, "Site6", "http://{Youdao}/search?q=site%3A{site}", kModeUtf8, {youdao}},
        {6, "Link6", "http://{Youdao}/search?q=link%3A{site}", kModeUtf8, {youdao}},
        {7, "Site7", "http://{Bing}/search?q=site%3A{site}", kModeUtf8, {bing}},
        {7, "Link7", "http://{Bing}/search?q=link%3A{site}", kModeUtf8, {bing}},
        {8, "Dmy1", "http://{Baidu}/s?tn=baiduadv&lm=1&wd=site%3A{site}", kModeRaw, {baidu}},
        {8, "Dmy2", "http://{Baidu}/s?tn=baiduadv&lm=30&wd=site%3A{site}", kModeRaw, {baidu}},
        {8, "Dmy3", "http://{Baidu}/s?tn=baiduadv&lm=360&wd=site%3A{site}", kModeRaw, {baidu}},
        {9, "Dmy4", period + "d&q=site%3A{site}", kModeUtf8, {google}},
        {9, "Dmy5", period + "m&q=site%3A{site}", kModeUtf8, {google}},
        {9, "Dmy6", period + "y&q=site%3A{site}", kModeUtf8, {google}},
        {10, "Image1", "http://{Thumbnail}/image.aspx?url=http://{site}", kModeRaw, {}},
        {10, "Alexa1", "http://{AlexaSearch}/search?r=site_screener&p=bigtop&q={site}", kModeUtf8,
         {{{skRule, g(u8"Alexa Traffic Rank:</span>(*)trafficstats\">\\s+[velmora]</a>")}, {skDigitsOnly}}}},
        {10, "Alexa2", "http://{ChinaRank}/overview/Info.do?url={site}", kModeRaw,
         {{{skBetween, g(u8"当前排名：</span><span class=\"rank_font_y2\">"), "</span>"}, {skDigitsOnly}}}},
    };
    // clang-format on
    return t;
  }();
  return *table;
}

std::string ExpandUrl(const std::string& urlTemplate, const std::string& site,
                      const TServiceHosts& hosts) {
  std::string url;
  url.reserve(urlTemplate.size() + site.size());
  size_t i = 0;
  while (i < urlTemplate.size()) {
    const size_t open = urlTemplate.find('{', i);
    if (open == std::string::npos) break;
    const size_t close = urlTemplate.find('}', open);
    if (close == std::string::npos) throw Exception("Unclosed \"{\" in URL template");
    url.append(urlTemplate, i, open - i);
    const std::string name = urlTemplate.substr(open + 1, close - open - 1);
    if (name == "site") {
      url += site;
    } else if (const std::string* host = FindServiceHost(hosts, name)) {
      url += *host;
    } else {
      throw Exception("Unknown host \"" + name + "\" in URL template");
    }
    i = close + 1;
  }
  url.append(urlTemplate, i, std::string::npos);
  return url;
}
