// Big5 -> GB2312 conversion beside glibc iconv (BIG5 -> GBK) on the same 1 MiB page, and
// ReplaceAll beside a plain case-sensitive find-and-append loop, at 1, 4 and 16 MiB to show it
// stays linear. Prints the ratios after the table.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "encoding/BIG5_GB2312.h"
#include "query/UseFunction.h"

namespace {

constexpr size_t kMiB = 1 << 20;

// A result page as a Big5 site would send it: markup and URLs around runs of frequent
// characters (lead bytes 0xA4..0xC6, every one of them assigned), about half the bytes Big5.
const std::string& Big5Page() {
  static const std::string page = [] {
    std::mt19937 rng(1);
    std::string p;
    p.reserve(kMiB + 256);
    while (p.size() < kMiB) {
      p += "<tr><td class=\"r\"><a href=\"http://www.example.com.tw/item?id=";
      p += std::to_string(rng() % 100000);
      p += "\">";
      for (int n = 20 + rng() % 30; n > 0; --n) {
        int lead = 0xA4 + rng() % (0xC6 - 0xA4);
        int t = rng() % 157;
        p += static_cast<char>(lead);
        p += static_cast<char>(t < 63 ? 0x40 + t : 0xA1 + t - 63);
      }
      p += "</a></td></tr>\n";
    }
    p.resize(kMiB);
    // Do not end in the middle of a character: iconv would refuse the last byte.
    while (!p.empty() && static_cast<unsigned char>(p.back()) >= 0xA1) p.pop_back();
    return p;
  }();
  return page;
}

// Text with a mixed-case URL prefix every 80 bytes or so, among GBK characters.
std::string UrlText(size_t size) {
  std::mt19937 rng(2);
  const char* prefixes[] = {"http://", "HTTP://", "Http://"};
  std::string t;
  t.reserve(size + 128);
  while (t.size() < size) {
    t += prefixes[rng() % 3];
    t += "www.site";
    t += std::to_string(rng() % 1000);
    t += ".com/ \xCD\xF8\xD2\xB3\xCE\xDE\xB7\xA8\xB7\xC3\xCE\xCA \xD4\xBC 1,234 results\r\n";
    t += std::string(rng() % 20, 'x');
  }
  t.resize(size);
  return t;
}

void BM_Big5ToGB2312(benchmark::State& state) {
  const std::string& page = Big5Page();
  for (auto _ : state) benchmark::DoNotOptimize(Big5ToGB2312(page));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_Big5ToGB2312);

void BM_IconvBig5ToGbk(benchmark::State& state) {
  const std::string& page = Big5Page();
  iconv_t cd = iconv_open("GBK", "BIG5");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv cannot convert BIG5 to GBK");
    return;
  }
  std::string out(page.size() * 2, '\0');  // reused: iconv gets its buffer for free
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(page.data());
    size_t in_left = page.size();
    char* o = out.data();
    size_t out_left = out.size();
    if (iconv(cd, &in, &in_left, &o, &out_left) == static_cast<size_t>(-1)) {
      state.SkipWithError("iconv refused the page");
      break;
    }
    benchmark::DoNotOptimize(o);
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_IconvBig5ToGbk);

void BM_ReplaceAll(benchmark::State& state) {
  const std::string text = UrlText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ReplaceAll(text, "http://", ""));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReplaceAll)->Arg(kMiB)->Arg(4 * kMiB)->Arg(16 * kMiB);

// The peer: exact-case search and append, no upper-cased copy, no character boundaries.
void BM_FindAppendExactCase(benchmark::State& state) {
  const std::string text = UrlText(static_cast<size_t>(state.range(0)));
  const std::string pattern = "http://";
  for (auto _ : state) {
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t hit; (hit = text.find(pattern, from)) != std::string::npos;
         from = hit + pattern.size())
      out.append(text, from, hit - from);
    out.append(text, from, std::string::npos);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_FindAppendExactCase)->Arg(kMiB);

// Keeps each run's CPU time per iteration (the machine is shared, so wall time is noisy) so main
// can print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred) ns[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> ns;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& t = reporter.ns;
  auto ratio = [&](const char* peer, const char* us, const char* what) {
    if (t.count(peer) && t.count(us) && t[us] > 0)
      std::printf("%s: %.2fx\n", what, t[peer] / t[us]);
  };
  ratio("BM_IconvBig5ToGbk", "BM_Big5ToGB2312", "Big5ToGB2312 throughput / iconv BIG5->GBK");
  ratio("BM_FindAppendExactCase/1048576", "BM_ReplaceAll/1048576",
        "ReplaceAll speed / exact-case find-and-append (1 MiB)");
  if (t.count("BM_ReplaceAll/16777216") && t.count("BM_ReplaceAll/4194304"))
    std::printf("ReplaceAll time 16 MiB / 4 MiB: %.2f (4.00 is linear)\n",
                t["BM_ReplaceAll/16777216"] / t["BM_ReplaceAll/4194304"]);
  benchmark::Shutdown();
  return 0;
}
