// The whole-site crawl against a generated static site served by nginx on 127.0.0.1, beside two
// peers crawling the same site in the same run: wget2 (links only, no checks) and linkchecker
// (links checked). Prints pages per second of each, the ratios, and peak memory.
//
// The site: VELMORA_CRAWL_PAGES pages (default 50,000), a tree of ten children a page below the
// home page, each page also linking its parent, the home page and two pages elsewhere, with a
// title, a description, a heading and text of its own. linkchecker reads so slowly that it only
// reads the first levels of the tree (kLinkcheckerLevels).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crawl/Crawler.h"
#include "support/PeerDaemons.h"

namespace {

using TClock = std::chrono::steady_clock;
constexpr int kFanOut = 10;
// linkchecker reads so slowly that it is measured on the pages this many clicks from the home
// page (111 of the tree).
constexpr int kLinkcheckerLevels = 2;

std::string PagePath(int i) { return i == 0 ? "/" : "/p/" + std::to_string(i) + ".html"; }

void WriteSite(const std::string& root, int pages) {
  for (int i = 0; i < pages; ++i) {
    std::string links;
    auto link = [&](int to) {
      if (to >= 0 && to < pages)
        links += "<a href=\"" + PagePath(to) + "\">page " + std::to_string(to) + "</a> ";
    };
    for (int c = 1; c <= kFanOut; ++c) link(i * kFanOut + c);
    link(i == 0 ? -1 : (i - 1) / kFanOut);
    link(0);
    link((i * 7919 + 13) % pages);
    link((i * 104729 + 7) % pages);
    const std::string html =
        "<!DOCTYPE html><html lang=en><head><title>Page " + std::to_string(i) +
        " of the generated site for the crawl</title><meta name=description content=\"What page " +
        std::to_string(i) + " says.\"></head><body><h1>Page " + std::to_string(i) +
        "</h1><p>The text of page " + std::to_string(i) + ".</p>" + links + "</body></html>";
    const std::string path = root + (i == 0 ? "/index.html" : PagePath(i));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << html;
  }
}

struct TRun {
  double Seconds = 0;
  long PeakKiB = 0;
  int Status = 0;
};

// Runs argv to its end, with its output to `out_path`.
TRun RunPeer(std::vector<std::string> argv, const std::string& out_path) {
  const auto started = TClock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen(out_path.c_str(), "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {std::chrono::duration<double>(TClock::now() - started).count(), usage.ru_maxrss, status};
}

int CountLines(const std::string& path, const std::string& holding) {
  std::ifstream in(path);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(holding) != std::string::npos;
  return n;
}

}  // namespace

int main() {
  const char* env = std::getenv("VELMORA_CRAWL_PAGES");
  const int pages = env ? std::atoi(env) : 50'000;
  NginxServer web;
  if (!web.Start()) {
    std::printf("crawl: skipped (%s)\n", web.SkipReason().c_str());
    return 0;
  }
  WriteSite(web.Root(), pages);
  const std::string site = web.HostPort();
  const std::string work = web.Dir();
  std::printf("crawl: a generated site of %d pages on nginx %s\n", pages, site.c_str());

  // Ours: every rule, everything stored.
  TCrawlStore store;
  if (!store.Open(work + "/history.sqlite3")) {
    std::printf("crawl: %s\n", store.Message().c_str());
    return 1;
  }
  TCrawlOptions options;
  options.Connections = 8;
  options.DelayMs = 0;
  options.CheckExternal = false;
  options.MaxPages = pages + 10;
  options.MaxDepth = 1000;
  const auto started = TClock::now();
  const TCrawlOutcome outcome = TCrawler(store, options).Run(site);
  const double ours_s = std::chrono::duration<double>(TClock::now() - started).count();
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  const auto info = store.Crawl(outcome.Crawl);
  const double ours_rate = (info ? info->Pages : 0) / ours_s;
  std::printf(
      "  velmora   %7lld pages in %6.1f s: %8.0f pages/s, peak %.0f MiB (%s, %lld findings)\n",
      static_cast<long long>(info ? info->Pages : 0), ours_s, ours_rate, self.ru_maxrss / 1024.0,
      outcome.State.c_str(), static_cast<long long>(info ? info->Findings : 0));

  const std::string url = "http://" + site + "/";
  const TRun wget = RunPeer({"wget2", "-r", "-l", "inf", "--max-threads", "8", "--delete-after",
                             "-nv", "-P", work + "/wget2", url},
                            work + "/wget2.log");
  // wget2 -nv prints a line per file fetched.
  const int wget_pages = CountLines(work + "/wget2.log", "http://");
  if (WIFEXITED(wget.Status) && WEXITSTATUS(wget.Status) == 127) {
    std::printf("  wget2     not installed (make bench installs it)\n");
  } else {
    const double rate = std::max(wget_pages, pages) / wget.Seconds;
    std::printf(
        "  wget2     %7d pages in %6.1f s: %8.0f pages/s, peak %.0f MiB; velmora / wget2 = %.2f\n",
        pages, wget.Seconds, rate, wget.PeakKiB / 1024.0, ours_rate / rate);
  }
  const TRun link = RunPeer({"linkchecker", "--threads", "8", "--no-status", "--verbose", "-o",
                             "csv", "--recursion-level", std::to_string(kLinkcheckerLevels), url},
                            work + "/linkchecker.csv");
  const int checked = CountLines(work + "/linkchecker.csv", "http://" + site);
  if (WIFEXITED(link.Status) && WEXITSTATUS(link.Status) == 127) {
    std::printf("  linkchecker not installed (make bench installs it)\n");
  } else {
    const double rate = checked / link.Seconds;
    std::printf(
        "  linkchecker %5d links in %6.1f s: %8.1f pages/s, peak %.0f MiB; velmora / linkchecker = "
        "%.0f\n",
        checked, link.Seconds, rate, link.PeakKiB / 1024.0, rate > 0 ? ours_rate / rate : 0.0);
  }
  return 0;
}
