// A stored crawl as a self-contained HTML report: no outside scripts, styles or fonts, so it
// opens anywhere and can be mailed as it is. Counts per rule, the pages of each finding (new,
// still there, gone since the crawl before), and charts of status codes, depth and time to first
// byte drawn as inline SVG. UTF-8.
//
// The findings are read from the store as they are written out, so a crawl with a million
// findings is never held in memory.
#pragma once

#include <ostream>

#include "crawl/CrawlStore.h"
#include "crawl/Crawler.h"

// "new", "still", "gone".
const char* CrawlChangeName(TCrawlChange change);
// The user's words for a crawl's state: "完成", "已停止", "失败".
const char* CrawlStateWord(const std::string& state);

// A report of one or more crawls: Begin, a Site per crawl, then End.
void WriteCrawlHtmlBegin(std::ostream& out);
void WriteCrawlHtmlSite(std::ostream& out, TCrawlStore& store, const TCrawlOutcome& outcome);
void WriteCrawlHtmlEnd(std::ostream& out);
