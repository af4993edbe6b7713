// Our matchers against PCRE2 (loaded at run time and used through its public API only): the
// same leftmost, priority-ordered result with the same groups, above all for counted loops and
// loops over groups whose bodies hold alternatives, nested groups or can match the empty string.
// Every case runs on the backtracker and again on the linear matcher.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pcre2.h>

#include <random>
#include <string>

#include "RegexTestUtil.h"

namespace {

// PCRE2's functions, looked up in the shared library so that the test needs no link to it.
class Peer {
 public:
  Peer() {
    lib_ = dlopen("libpcre2-8.so.0", RTLD_NOW | RTLD_LOCAL);
    if (lib_ == nullptr) return;
    compile_ = reinterpret_cast<decltype(compile_)>(dlsym(lib_, "pcre2_compile_8"));
    match_ = reinterpret_cast<decltype(match_)>(dlsym(lib_, "pcre2_match_8"));
    data_ =
        reinterpret_cast<decltype(data_)>(dlsym(lib_, "pcre2_match_data_create_from_pattern_8"));
    ovector_ = reinterpret_cast<decltype(ovector_)>(dlsym(lib_, "pcre2_get_ovector_pointer_8"));
    free_data_ = reinterpret_cast<decltype(free_data_)>(dlsym(lib_, "pcre2_match_data_free_8"));
    free_code_ = reinterpret_cast<decltype(free_code_)>(dlsym(lib_, "pcre2_code_free_8"));
  }
  ~Peer() {
    if (lib_ != nullptr) dlclose(lib_);
  }
  bool Loaded() const {
    return compile_ && match_ && data_ && ovector_ && free_data_ && free_code_;
  }

  // First match from 0-based `offset`, described like Describe() does (1-based), "none" when
  // there is none, "" when PCRE2 gives up (its own match limit) or rejects the pattern.
  std::string FirstMatch(const std::string& pattern, const std::string& subject, size_t offset,
                         bool caseless) {
    int error = 0;
    PCRE2_SIZE error_offset = 0;
    const uint32_t options = PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY | (caseless ? PCRE2_CASELESS : 0);
    pcre2_code* code = compile_(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                options, &error, &error_offset, nullptr);
    if (code == nullptr) return "";
    pcre2_match_data* md = data_(code, nullptr);
    const int rc = match_(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                          offset, 0, md, nullptr);
    std::string out;
    if (rc == PCRE2_ERROR_NOMATCH) {
      out = "none";
    } else if (rc > 0) {
      const PCRE2_SIZE* ov = ovector_(md);
      int last = rc - 1;
      while (last > 0 && ov[2 * last] == PCRE2_UNSET) --last;
      for (int g = 0; g <= last; ++g) {
        if (g > 0) out += "|";
        if (ov[2 * g] == PCRE2_UNSET) {
          out += "-";
        } else {
          out += std::to_string(ov[2 * g] + 1) + ":" +
                 subject.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g]);
        }
      }
    }
    free_data_(md);
    free_code_(code);
    return out;
  }

 private:
  void* lib_ = nullptr;
  decltype(&pcre2_compile_8) compile_ = nullptr;
  decltype(&pcre2_match_8) match_ = nullptr;
  decltype(&pcre2_match_data_create_from_pattern_8) data_ = nullptr;
  decltype(&pcre2_get_ovector_pointer_8) ovector_ = nullptr;
  decltype(&pcre2_match_data_free_8) free_data_ = nullptr;
  decltype(&pcre2_code_free_8) free_code_ = nullptr;
};

// Ours, from 1-based `offset`; "" when our step budget gave up first. `linear` sends the search
// to the linear matcher at once.
std::string OursFrom(TRegexEngine& e, const std::string& subject, int offset, bool linear) {
  e.SetLinearFirst(linear);
  e.SetInputString(subject);
  try {
    return e.ExecPos(offset) ? Describe(e) : "none";
  } catch (const ERegexError& err) {
    if (err.Code == 1017) return "";
    throw;
  }
}

struct Case {
  const char* pattern;
  const char* subject;
  const char* expected;  // our result, which PCRE2 must share
};

// Alternations, nested groups and empty-matching bodies inside counted and choice loops.
const Case kLoopCases[] = {
    {"(a|ab){1,2}c", "abc", "1:abc|1:ab"},
    {"(a|ab){2}c", "aabc", "1:aabc|2:ab"},
    {"(ab|a){1,3}?b", "abab", "1:abab|3:a"},
    {"((a|b)c){2,3}d", "acbcd", "1:acbcd|3:bc|3:b"},
    {"(a|b|ab)*?c", "ababc", "1:ababc|4:b"},
    {"((a|ab)(c|bcd)){1,2}(d*)", "abcd", "1:abcd|1:abcd|1:a|2:bcd|5:"},
    {"(x(a|ab){1,2}y){2}", "xaabyxaby", "1:xaabyxaby|6:xaby|7:ab"},
    {"(?i)(A|aB){2,}c", "ababaC", "1:ababaC|5:a"},
    {"((a)|b){2,3}", "abab", "1:aba|3:a|3:a"},
    {"(a{0,1}|cab){2,3}b", "acabb", "1:acabb|2:cab"},
    {"((a{0,1})|(cab)){1,3}d", "cabd", "1:cabd|1:cab|1:|1:cab"},
    {"((a{0,1})|(ca))+?d", "cad", "1:cad|1:ca|-|1:ca"},
    {"((a{0,1})|(ca)){2,}?d", "cacad", "1:cacad|3:ca|1:|3:ca"},
    {"(a{0,3})*b", "aaaab", "1:aaaab|5:"},
    {"(a{0,3})+b", "b", "1:b|1:"},
    {"((a{0,2})+)*x", "aaax", "1:aaax|4:|4:"},
    {"(ab|a)(bc|c)*?c", "abcc", "1:abc|1:ab"},
};

TEST(RegexDifferentialTest, LoopCasesAgreeWithPeer) {
  Peer peer;
  for (const Case& c : kLoopCases) {
    SCOPED_TRACE(c.pattern);
    TRegexEngine e;
    e.SetExpression(c.pattern);
    EXPECT_EQ(OursFrom(e, c.subject, 1, false), c.expected);
    const uint64_t linear_before = TRegexEngine::LinearSearchCount();
    EXPECT_EQ(OursFrom(e, c.subject, 1, true), c.expected);
    EXPECT_EQ(TRegexEngine::LinearSearchCount(), linear_before + 1);
    if (peer.Loaded()) {
      EXPECT_EQ(peer.FirstMatch(c.pattern, c.subject, 0, false), c.expected);
    }
  }
  if (!peer.Loaded()) GTEST_SKIP() << "libpcre2-8 not available; compared with stored results";
}

// Random patterns over {a, b, c}: literals, '.', classes, groups with alternatives, and every
// quantifier greedy and lazy; random subjects, every start offset.
class PatternMaker {
 public:
  explicit PatternMaker(uint32_t seed) : rng_(seed) {}

  std::string Alternation(int depth) {
    std::string s = Sequence(depth);
    for (int n = Pick(3); n > 0; --n) s += "|" + Sequence(depth);
    return s;
  }
  std::string Subject() {
    std::string s;
    for (int n = Pick(10); n > 0; --n) s += "abcA"[Pick(4)];
    return s;
  }
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

 private:
  std::string Sequence(int depth) {
    std::string s;
    for (int n = 1 + Pick(3); n > 0; --n) s += Atom(depth) + Quantifier();
    return s;
  }
  std::string Atom(int depth) {
    static const char* const kClasses[] = {"[ab]", "[^a]", "[a-c]", "[bc]"};
    switch (Pick(depth > 0 ? 8 : 6)) {
      case 0:
      case 1:
      case 2:
        return std::string(1, "abc"[Pick(3)]);
      case 3:
        return ".";
      case 4:
        return kClasses[Pick(4)];
      case 5:
        return std::string(1, "abc"[Pick(3)]) + "abc"[Pick(3)];
      default:
        return "(" + Alternation(depth - 1) + ")";
    }
  }
  std::string Quantifier() {
    std::string q;
    const int lo = 1 + Pick(2);  // never {0}: the peer mishandles some {0}-quantified groups
    switch (Pick(10)) {
      case 0:
        q = "*";
        break;
      case 1:
        q = "+";
        break;
      case 2:
        q = "?";
        break;
      case 3:
        q = "{" + std::to_string(lo) + "}";
        break;
      case 4:
        q = "{" + std::to_string(lo - 1) + "," + std::to_string(lo + Pick(3)) + "}";
        break;
      case 5:
        q = "{" + std::to_string(lo - 1) + ",}";
        break;
      default:
        return q;
    }
    if (Pick(3) == 0) q += "?";
    return q;
  }

  std::mt19937 rng_;
};

TEST(RegexDifferentialTest, RandomPatternsAgreeWithPeer) {
  Peer peer;
  if (!peer.Loaded()) GTEST_SKIP() << "libpcre2-8 not available";
  PatternMaker maker(20240611);
  int compared = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string pattern = maker.Alternation(i % 3 == 0 ? 3 : 2);
    const bool caseless = maker.Pick(4) == 0;
    TRegexEngine e;
    e.SetExpression(pattern);
    e.SetModifier(1, caseless);
    e.SetMatchStepLimit(2'000'000);
    try {
      e.Compile();
    } catch (const ERegexError&) {
      continue;  // e.g. a quantifier over a piece that can be empty (ours refuses those)
    }
    for (int s = 0; s < 4; ++s) {
      const std::string subject = maker.Subject();
      for (size_t offset = 0; offset <= subject.size(); ++offset) {
        const std::string theirs = peer.FirstMatch(pattern, subject, offset, caseless);
        const std::string linear = OursFrom(e, subject, static_cast<int>(offset + 1), true);
        const std::string ours = OursFrom(e, subject, static_cast<int>(offset + 1), false);
        if (theirs.empty()) continue;  // the peer's budget ran out
        ++compared;
        ASSERT_EQ(linear, theirs) << "pattern " << pattern << " subject " << subject << " offset "
                                  << offset + 1 << (caseless ? " caseless" : "") << " linear";
        if (ours.empty()) continue;
        ASSERT_EQ(ours, theirs) << "pattern " << pattern << " subject " << subject << " offset "
                                << offset + 1 << (caseless ? " caseless" : "");
      }
    }
  }
  EXPECT_GT(compared, 10000);
}

}  // namespace
