// Links resolved per second: the references a crawled page holds (relative paths, dot segments,
// queries, fragments, other hosts, an IDN, an IPv4 number form) resolved against the page's URL
// by TNetUrl, beside Python's urllib.parse (urljoin, then urlsplit) on the same references in the
// same run, as a straightforward reference. Prints both rates and their ratio.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "http/NetUrl.h"

namespace {

constexpr char kBase[] = "https://www.example.com/news/2026/page.html?from=home#top";

const std::vector<std::string>& References() {
  static const std::vector<std::string> refs = [] {
    std::vector<std::string> r = {
        "/",
        "/about/",
        "contact.html",
        "../archive/2025/",
        "./img/logo.png",
        "?page=2",
        "#comments",
        "/search?q=site%3Aexample.com&hl=zh-CN",
        "https://cdn.example.net/static/app.js?v=1234",
        "//static.example.org/css/main.css",
        "http://Example.COM:80/Index.HTML",
        "/a/b/c/../../d/./e.html",
        "detail.php?id=42&lang=zh",
        "/go?to=https://elsewhere.example/path",
        "https://faß.example/straße",
        "http://0x7f.1:8080/status",
        "/路径/页面.html?查询=值",
        "  /spaced path/file name.pdf \n",
        "mailto:webmaster@example.com",
        "https://user:pw@shop.example.com:8443/cart#checkout",
    };
    for (int i = 0; i < 44; ++i) r.push_back("/list/" + std::to_string(i) + "/item.html");
    return r;
  }();
  return refs;
}

void BM_TNetUrlResolve(benchmark::State& state) {
  const TNetUrlResult base = TNetUrl::Parse(kBase);
  const std::vector<std::string>& refs = References();
  for (auto _ : state) {
    for (const std::string& ref : refs) {
      TNetUrlResult url = TNetUrl::Parse(ref, &*base.Url);
      benchmark::DoNotOptimize(url);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(refs.size()));
}
BENCHMARK(BM_TNetUrlResolve);

// Python's urllib.parse on the same references: URLs per second, 0 when python3 is missing.
double PythonUrlsPerSecond() {
  char path[] = "/tmp/velmora-url-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 0;
  close(fd);
  {
    std::ofstream out(path, std::ios::binary);
    for (const std::string& ref : References()) out << ref << '\0';
  }
  const std::string command =
      std::string("python3 -c '") +
      "import sys, time, urllib.parse as p\n"
      "refs = open(sys.argv[1], \"rb\").read().decode().split(\"\\0\")[:-1]\n"
      "base = sys.argv[2]\n"
      "n, t0 = 0, time.process_time()\n"
      "while time.process_time() - t0 < 1.0:\n"
      "  for r in refs: p.urlsplit(p.urljoin(base, r.strip()))\n"
      "  n += len(refs)\n"
      "print(n / (time.process_time() - t0))' " +
      path + " '" + kBase + "' 2>/dev/null";
  double rate = 0;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf", &rate) != 1) rate = 0;
    pclose(pipe);
  }
  unlink(path);
  return rate;
}

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (!r.error_occurred && r.counters.count("items_per_second")) {
        rate = r.counters.at("items_per_second");
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double rate = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double python = PythonUrlsPerSecond();
  std::printf("TNetUrl: %.0f URLs/s resolved\n", reporter.rate);
  if (python > 0) {
    std::printf("python3 urllib.parse (urljoin + urlsplit): %.0f URLs/s\n", python);
    std::printf("TNetUrl / urllib.parse: %.2fx\n", reporter.rate / python);
  } else {
    std::printf("python3 not found: no reference rate\n");
  }
  benchmark::Shutdown();
  return 0;
}
