// The regular-expression engine on the program's production rules over 1 MiB HTML pages,
// measured beside PCRE2 (interpreter and JIT) and std::regex in the same process, and on two
// patterns that backtracking takes exponential time for (ours answers them with its linear
// matcher) over 1 KiB, 1 MiB and 8 MiB. The table at the end gives every engine's time as a
// ratio to PCRE2's interpreter (lower is faster) and ours to PCRE2's JIT; "error" marks an
// engine that gave up (PCRE2's match limit) instead of answering.
//
// Searches only: each engine gets its subject once, outside the timed loop (our Exec would copy
// the page first, which costs about as much as one fast search).
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "regex/RegexEngine.h"

namespace {

constexpr size_t kPageSize = 1 << 20;

// A deterministic page of list items, links, dates and GBK text, padded to kPageSize with
// `head` at the start and `tail` near the end.
std::string MakePage(const std::string& head, const std::string& tail) {
  std::string page =
      "<html><head><meta name=\"keywords\" content=\"site, tools, rank\">\r\n"
      "<meta name=\"description\" content=\"A page for measuring\">\r\n" +
      head + "</head><body>\r\n";
  const std::string gbk = "\xC4\xE3\xBA\xC3\xCA\xC0\xBD\xE7";  // four GBK characters
  for (unsigned i = 0; page.size() < kPageSize - 512; ++i) {
    const std::string n = std::to_string(i * 7919 % 100000);
    page += "<div class=\"item\"><a href=\"/page/" + n + ".html\" title=\"Item " + n + "\">" + gbk +
            " link " + n + "</a> <span class=\"date\">2010-05-" + std::to_string(1 + i % 28) +
            "</span></div>\r\n";
    if (i % 16 == 0) page += "<p>Alexa says " + gbk + " about www.example" + n + ".com</p>\r\n";
  }
  page += tail;
  page += "</body></html>\r\n";
  return page;
}

struct Case {
  std::string name;
  std::string pattern;  // caseless
  std::string page;
  // Ours starts every search as the first on its subject: once backtracking gave up, later
  // searches on the same subject go to the linear matcher at once, and the first one's budget
  // belongs in the time.
  bool fresh = false;
};

std::vector<Case> MakeCases() {
  const std::string title = "<title>Velmora measuring page</title>\r\n";
  const std::string charset =
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">\r\n";
  const std::string alexa =
      "<span>Alexa Traffic Rank:</span> <a href=\"/siteinfo/example.com\" "
      "class=\"trafficstats\">\r\n   12,345</a>\r\n";
  const std::string title_rule = "<title>(.*?)</title>";
  std::vector<Case> cases = {
      {"title_start", title_rule, MakePage(title, "")},
      {"title_end", title_rule, MakePage("", title)},
      {"title_absent", title_rule, MakePage("", "")},
      {"charset_end", "<meta[^\\<\\>]+charset=([^\\<\\>\\\"\\'\\s]+)[^\\<\\>]*\\>",
       MakePage("", charset)},
      {"alexa_end", "Alexa Traffic Rank:</span>.*?trafficstats\\\">\\s+(.*?)</a>",
       MakePage("", alexa)},
      // Exponential for every backtracking engine: 12 bytes already take 1e8 steps.
      {"nested_pathological", "((a+)+)+c", std::string(12, 'a') + "bc", true},
  };
  const std::pair<const char*, size_t> sizes[] = {
      {"1k", 1 << 10}, {"1m", 1 << 20}, {"8m", 8 << 20}};
  for (const auto& [label, n] : sizes) {
    cases.push_back(Case{std::string("nested_pathological_") + label, "((a+)+)+c",
                         std::string(n - 2, 'a') + "bc", true});
  }
  for (const auto& [label, n] : sizes) {
    cases.push_back(Case{std::string("xx_plus_y_") + label, "(x+x+)+y",
                         std::string(n - 5, 'x') + "z xxy", true});
  }
  return cases;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = MakeCases();
  return cases;
}

void BM_Ours(benchmark::State& state, const Case* c) {
  TRegexEngine engine;
  engine.SetExpression(c->pattern);
  engine.SetModifier(1, true);
  engine.SetInputString(c->page);
  bool found = false;
  for (auto _ : state) {
    if (c->fresh) {
      state.PauseTiming();
      engine.SetInputString(c->page);
      state.ResumeTiming();
    }
    found = engine.ExecPos(1);
    benchmark::DoNotOptimize(found);
  }
  state.counters["found"] = found;
}

void BM_Pcre2(benchmark::State& state, const Case* c, bool jit) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(c->pattern.data()), c->pattern.size(),
                    PCRE2_CASELESS | PCRE2_DOTALL, &error, &offset, nullptr);
  if (jit) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(c->page.data());
  int rc = 0;
  for (auto _ : state) {
    rc = pcre2_match(code, subject, c->page.size(), 0, 0, md, nullptr);
    benchmark::DoNotOptimize(rc);
  }
  state.counters["found"] = rc > 0;
  state.counters["error"] = rc < 0 && rc != PCRE2_ERROR_NOMATCH;
  pcre2_match_data_free(md);
  pcre2_code_free(code);
}

void BM_StdRegex(benchmark::State& state, const Case* c) {
  // ECMAScript '.' stops at line breaks; every match measured here lies within one line.
  const std::regex re(c->pattern, std::regex::ECMAScript | std::regex::icase);
  std::smatch m;
  bool found = false;
  for (auto _ : state) {
    found = std::regex_search(c->page, m, re);
    benchmark::DoNotOptimize(found);
  }
  state.counters["found"] = found;
}

// Keeps every run's time per iteration, by benchmark name, for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      const auto error = run.counters.find("error");
      if (error != run.counters.end() && error->second.value > 0)
        failed_[run.benchmark_name()] = true;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Time(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }
  bool Failed(const std::string& name) const { return failed_.count(name) > 0; }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, bool> failed_;
};

}  // namespace

int main(int argc, char** argv) {
  const char* const engines[] = {"ours", "pcre2_interp", "pcre2_jit", "std_regex"};
  for (const Case& c : Cases()) {
    benchmark::RegisterBenchmark(("regex/" + c.name + "/ours").c_str(), BM_Ours, &c);
    benchmark::RegisterBenchmark(("regex/" + c.name + "/pcre2_interp").c_str(), BM_Pcre2, &c,
                                 false);
    benchmark::RegisterBenchmark(("regex/" + c.name + "/pcre2_jit").c_str(), BM_Pcre2, &c, true);
    if (c.name.find("pathological") == std::string::npos &&
        c.name.find("plus_y") == std::string::npos) {
      benchmark::RegisterBenchmark(("regex/" + c.name + "/std_regex").c_str(), BM_StdRegex, &c);
    }
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nTime as a ratio to PCRE2's interpreter (lower is faster), and ours to the JIT:\n");
  std::printf("%-26s %10s %15s %15s %10s %10s\n", "case", "ours", "pcre2_interp", "pcre2_jit",
              "std_regex", "ours/jit");
  for (const Case& c : Cases()) {
    const double base = reporter.Time("regex/" + c.name + "/pcre2_interp");
    if (base <= 0) continue;
    std::printf("%-26s", c.name.c_str());
    for (const char* e : engines) {
      const std::string name = "regex/" + c.name + "/" + e;
      const int width = e == engines[1] || e == engines[2] ? 15 : 10;
      const double t = reporter.Time(name);
      if (t <= 0) {
        std::printf(" %*s", width, "-");
      } else if (reporter.Failed(name)) {
        std::printf(" %*.3f error", width - 6, t / base);
      } else {
        std::printf(" %*.3f", width, t / base);
      }
    }
    const double jit = reporter.Time("regex/" + c.name + "/pcre2_jit");
    if (jit > 0) std::printf(" %10.3f", reporter.Time("regex/" + c.name + "/ours") / jit);
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
