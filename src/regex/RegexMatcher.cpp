#include "regex/RegexMatcher.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>

#include "regex/RegexProgram.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Kinds of stack entries: the top kKindBits of Entry::tag; the rest holds a node index (choice
// points) or a register number (trail records), both below kIndexMask (Load refuses programs
// that need more).
enum TEntryKind : uint32_t {
  kTrail,       // register restore record
  kCpAttempt,   // bottom of an attempt: reaching it means the attempt failed
  kCpAlt,       // the next alternative of a choice run (node = that CHOICE)
  kCpLoopExit,  // greedy counted loop: leave the loop instead of iterating
  kCpLoopBody,  // lazy counted loop: iterate instead of leaving
  kCpGreedy,    // repeat node: try the next smaller count
  kCpLazy,      // lazy repeat node: try the next larger count
  kKindCount,
};
constexpr uint32_t kKindBits = 4;
constexpr uint32_t kIndexBits = 32 - kKindBits;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
static_assert(kKindCount <= (1u << kKindBits), "every entry kind fits the tag's top bits");
static_assert(TRegexMatcher::kRegFixed + 0u < kIndexMask, "the fixed registers fit a tag");

constexpr uint32_t Tag(TEntryKind kind, uint32_t index) { return kind << kIndexBits | index; }
constexpr uint32_t kNoStamp = UINT32_MAX;
constexpr int32_t kRepeatMaxOpen = INT32_MAX;  // bound of *, + (not stored in the program)

bool IsRepeat(uint8_t op) {
  switch (op) {
    case OP_STAR:
    case OP_PLUS:
    case OP_BRACES:
    case OP_STAR_LAZY:
    case OP_PLUS_LAZY:
    case OP_BRACES_LAZY:
      return true;
    default:
      return false;
  }
}

bool IsLazyRepeat(uint8_t op) {
  return op == OP_STAR_LAZY || op == OP_PLUS_LAZY || op == OP_BRACES_LAZY;
}

bool IsZeroWidthStep(uint8_t op) {
  return op == OP_EMPTY || op == OP_SKIP || RegexGroupOf(op) != 0;
}

// How often a byte occurs in web pages, roughly; the lead-literal search looks for the rarest
// byte of the literal that has no case partner.
constexpr int kRareByte = 3;  // punctuation other than the markup's own
int Commonness(unsigned char b) {
  switch (b) {
    case ' ':
      return 10;
    case '<':
    case '>':
      return 8;
    case '"':
    case '=':
    case '/':
    case '\n':
      return 7;
    case '.':
    case '\t':
    case '\r':
      return 6;
    default:
      if (b >= 'a' && b <= 'z') return 9;
      if (b >= 'A' && b <= 'Z') return 6;
      if (b >= '0' && b <= '9') return 5;
      if (b >= 0x80) return 5;
      return 3;
  }
}

#if defined(__x86_64__)
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// The first start in [s, stop) at which every probe finds its byte, 32 starts at a time; s is
// left where the scan ended. Every load stays below s + the last probe's position + 32, which
// the caller keeps inside the subject. N, the number of probes, is a template argument so that
// the loop body is straight-line code.
template <int N>
__attribute__((target("avx2"))) const unsigned char* ProbeScanAvx2(
    const unsigned char*& s, const unsigned char* stop, const TRegexMatcher::LeadProbe* probes) {
  __m256i want[N], fold[N];
  for (int i = 0; i < N; ++i) {
    want[i] = _mm256_set1_epi8(static_cast<char>(probes[i].Byte));
    fold[i] = _mm256_set1_epi8(static_cast<char>(probes[i].Fold));
  }
  for (; s < stop; s += 32) {
    __m256i hits = _mm256_cmpeq_epi8(
        _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + probes[0].Pos)),
                        fold[0]),
        want[0]);
    for (int i = 1; i < N; ++i) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + probes[i].Pos));
      hits = _mm256_and_si256(hits, _mm256_cmpeq_epi8(_mm256_or_si256(bytes, fold[i]), want[i]));
    }
    const auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(hits));
    if (bits != 0) return s + __builtin_ctz(bits);
  }
  return nullptr;
}

const unsigned char* ProbeScan(const unsigned char*& s, const unsigned char* stop,
                               const TRegexMatcher::LeadProbe* probes, int count) {
  switch (count) {
    case 1:
      return ProbeScanAvx2<1>(s, stop, probes);
    case 2:
      return ProbeScanAvx2<2>(s, stop, probes);
    default:
      return ProbeScanAvx2<3>(s, stop, probes);
  }
}
#endif

}  // namespace

// --- Loading -------------------------------------------------------------------------------------
//
// Four passes over the program: Decode (nodes, operands, links), AnnotateRepeats (choice runs and
// the byte a repeat's continuation must start with), GuardEmptyLoops (the compiler's list of
// choice loops an empty iteration must leave) and ChooseLeadLiteral (what the search looks for).

void TRegexMatcher::Load(const std::string& program, const unsigned char* swap_case,
                         const std::vector<TRegexLoopGuard>& guards) {
  prog_ = reinterpret_cast<const unsigned char*>(program.data());
  std::memcpy(swap_, swap_case, sizeof swap_);
  insts_.clear();
  sets_.clear();
  lead_len_ = 0;
  lead_node_ = -1;
  probe_count_ = 0;
  reg_count_ = kRegFixed;
  regs_.clear();  // registers are laid out anew
  stack_.clear();
  has_backref_ = false;
  const std::vector<int32_t> index_of = Decode(program);
  AnnotateRepeats();
  GuardEmptyLoops(guards, index_of);
  ChooseLeadLiteral();
}

// Fills insts_ in layout order; returns the node index of every program offset (-1 where no
// node begins).
std::vector<int32_t> TRegexMatcher::Decode(const std::string& program) {
  std::vector<int32_t> index_of(program.size(), -1);
  std::vector<uint32_t> offset_of;
  for (size_t off = 1; off < program.size();) {
    const int64_t size = RegexNodeSize(program, off);
    if (size < 0) throw TRegexFault{IsValidRegexOpcode(prog_[off]) ? reBrokenLink : reBadOpcode};
    if (insts_.size() >= kIndexMask) throw TRegexFault{reTooBig};
    index_of[off] = static_cast<int32_t>(insts_.size());
    offset_of.push_back(static_cast<uint32_t>(off));
    insts_.emplace_back();
    off += static_cast<size_t>(size);
  }
  if (insts_.empty()) throw TRegexFault{reBrokenLink};
  auto target = [&](size_t off, int32_t rel) -> int32_t {
    const int64_t t = static_cast<int64_t>(off) + rel;
    if (t <= 0 || t >= static_cast<int64_t>(program.size()) || index_of[t] < 0) {
      throw TRegexFault{reBrokenLink};
    }
    return index_of[t];
  };

  for (size_t i = 0; i < insts_.size(); ++i) {
    Inst& in = insts_[i];
    const uint32_t off = offset_of[i];
    const unsigned char* p = prog_ + off;
    const unsigned char* arg = p + kRegexNodeHeader;
    in.op = p[0];
    const int32_t rel = ReadRegexInt(p + 1);
    if (rel != 0) in.next = target(off, rel);
    in.group = static_cast<uint8_t>(RegexGroupOf(in.op));
    if (in.op == OP_BACKREF || in.op == OP_BACKREF_CI) has_backref_ = true;
    if (RegexOpInfo(in.op).Operand != okNone) in.text = off + kRegexNodeHeader;
    switch (in.op) {
      case OP_LITERAL:
      case OP_LITERAL_CI:
        in.len = static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(arg)));
        break;
      case OP_BACKREF:
      case OP_BACKREF_CI:
        in.group = arg[0];
        break;
      case OP_STAR:
      case OP_STAR_LAZY:
        in.min = 0;
        in.max = kRepeatMaxOpen;
        break;
      case OP_PLUS:
      case OP_PLUS_LAZY:
        in.min = 1;
        in.max = kRepeatMaxOpen;
        break;
      case OP_BRACES:
      case OP_BRACES_LAZY:
        in.min = ReadRegexInt(arg);
        in.max = ReadRegexInt(arg + 4);
        break;
      case OP_LOOP:
      case OP_LOOP_LAZY:
        in.min = ReadRegexInt(arg);
        in.max = ReadRegexInt(arg + 4);
        in.aux = target(off, ReadRegexInt(arg + 8));
        break;
      default:
        break;
    }
    // Nodes that match one byte by a set; a literal is used as one only when repeated, where
    // its first byte counts.
    ByteSet set;
    if (in.op != OP_ANY_IN_LINE && in.op != OP_BACKREF && in.op != OP_BACKREF_CI &&
        in.op != OP_END && FirstBytes(in, set)) {
      set.reset(0);  // the subject's terminating byte never matches
      in.set = static_cast<int32_t>(sets_.size());
      sets_.push_back(set);
    }
    if (IsRepeat(in.op) && i + 1 >= insts_.size()) throw TRegexFault{reBrokenLink};
  }
  return index_of;
}

// The bytes a consuming node may start with (0 standing for the end of the text, as in the lead
// set); false for nodes that consume nothing.
bool TRegexMatcher::FirstBytes(const Inst& in, ByteSet& bytes) const {
  const unsigned char* arg = prog_ + in.text;
  switch (in.op) {
    case OP_END:
    case OP_ANY_CHAR:
    case OP_BACKREF:
    case OP_BACKREF_CI:
    case OP_ANY_IN_LINE:
      bytes.set();
      return true;
    case OP_LITERAL:
      bytes.set(arg[0]);
      return true;
    case OP_LITERAL_CI:
      bytes.set(arg[0]).set(swap_[arg[0]]);
      return true;
    case OP_DIGIT:
      for (int b = '0'; b <= '9'; ++b) bytes.set(b);
      return true;
    case OP_NOT_DIGIT:
      for (int b = 0; b < 256; ++b) {
        if (b < '0' || b > '9') bytes.set(b);
      }
      return true;
    case OP_TINY_SET:
      bytes.set(arg[0]).set(arg[1]).set(arg[2]);
      return true;
    case OP_TINY_EXCLUDE:
      for (int b = 0; b < 256; ++b) {
        if (b != arg[0] && b != arg[1] && b != arg[2]) bytes.set(b);
      }
      return true;
    case OP_BYTE_SET:
      for (int b = 0; b < 256; ++b) {
        if (arg[b >> 3] & (1u << (b & 7))) bytes.set(b);
      }
      return true;
    default:
      return false;
  }
}

// The first node from q on that does something: steps over nodes that always pass without
// consuming and into the one alternative of a CHOICE that opens no backtracking run. -1 when
// the chain ends.
int32_t TRegexMatcher::SkipZeroWidth(int32_t q) const {
  for (size_t hops = 0; q >= 0 && hops < insts_.size(); ++hops) {
    const Inst& c = insts_[q];
    if (IsZeroWidthStep(c.op)) {
      q = c.next;
    } else if (c.op == OP_CHOICE && !c.next_is_choice) {
      q = q + 1;
    } else {
      break;
    }
  }
  return q;
}

// Marks choice runs, and gives every repeat the first byte its continuation must start with: a
// candidate length after which the next byte differs cannot succeed.
void TRegexMatcher::AnnotateRepeats() {
  for (Inst& in : insts_) {
    if (in.op == OP_CHOICE) in.next_is_choice = in.next >= 0 && insts_[in.next].op == OP_CHOICE;
  }
  for (Inst& in : insts_) {
    if (!IsRepeat(in.op)) continue;
    const int32_t q = SkipZeroWidth(in.next);
    if (q < 0 || (insts_[q].op != OP_LITERAL && insts_[q].op != OP_LITERAL_CI)) continue;
    const unsigned char b = prog_[insts_[q].text];
    in.nb[0] = b;
    in.nb_count = 1;
    if (insts_[q].op == OP_LITERAL_CI && swap_[b] != b) {
      in.nb[1] = swap_[b];
      in.nb_count = 2;
    }
  }
}

// Gives every choice loop the compiler listed a register: the loop's head (the JUMP_BACK's
// target) records where each iteration starts, and the JUMP_BACK leaves through the loop's exit
// when the cursor has not moved since.
void TRegexMatcher::GuardEmptyLoops(const std::vector<TRegexLoopGuard>& guards,
                                    const std::vector<int32_t>& index_of) {
  auto node_at = [&](int32_t off) {
    if (off <= 0 || static_cast<size_t>(off) >= index_of.size() || index_of[off] < 0) {
      throw TRegexFault{reBrokenLink};
    }
    return index_of[off];
  };
  for (const TRegexLoopGuard& guard : guards) {
    Inst& jump = insts_[node_at(guard.JumpBack)];
    const int32_t exit = node_at(guard.Exit);
    if (jump.op != OP_JUMP_BACK || jump.next < 0 || insts_[exit].op != OP_EMPTY) {
      throw TRegexFault{reBrokenLink};
    }
    Inst& head = insts_[jump.next];
    if (head.slot >= 0) continue;
    if (reg_count_ >= static_cast<int>(kIndexMask)) throw TRegexFault{reTooBig};
    jump.slot = reg_count_;
    jump.aux = exit;
    head.slot = reg_count_;
    ++reg_count_;
  }
}

// The lead literal: the first consuming node of the only top-level alternative, when it is a
// literal. The search then jumps between its occurrences.
void TRegexMatcher::ChooseLeadLiteral() {
  if (insts_[0].op != OP_CHOICE || insts_[0].next_is_choice || insts_.size() < 2) return;
  const int32_t q = SkipZeroWidth(1);
  if (q < 0 || (insts_[q].op != OP_LITERAL && insts_[q].op != OP_LITERAL_CI)) return;
  const Inst& lit = insts_[q];
  lead_text_ = lit.text;
  lead_len_ = lit.len;
  lead_node_ = q;
  lead_ci_ = lit.op == OP_LITERAL_CI;
  // Bytewise: memchr on the rarest byte that has no case partner.
  lead_anchor_ = -1;
  int best = INT_MAX;
  for (uint32_t k = 0; k < lit.len; ++k) {
    const unsigned char b = prog_[lit.text + k];
    if (lead_ci_ && swap_[b] != b) continue;
    if (Commonness(b) < best) {
      best = Commonness(b);
      lead_anchor_ = static_cast<int32_t>(k);
    }
  }
  // A rare byte stops memchr seldom, and memchr reads one vector per 32 bytes where the probes
  // read three: keep memchr for it.
  if (best <= kRareByte) return;
  // Vector probes: the first two bytes and the last, skipping any whose case partner is not the
  // other case of an ASCII letter. Three bytes at fixed distances rarely line up by chance.
  for (const uint32_t pos : {0u, 1u, lit.len - 1}) {
    if (pos >= lit.len || (probe_count_ > 0 && probes_[probe_count_ - 1].Pos >= pos)) continue;
    const unsigned char b = prog_[lit.text + pos];
    uint8_t fold = 0;
    if (lead_ci_ && swap_[b] != b) {
      if (swap_[b] != (b ^ 0x20)) continue;
      fold = 0x20;
    }
    probes_[probe_count_++] = LeadProbe{pos, static_cast<uint8_t>(b | fold), fold};
  }
}

// --- Search hints --------------------------------------------------------------------------------

std::bitset<256> TRegexMatcher::ComputeLeadSet(bool multiline, const std::string& separators,
                                               bool pair_assigned, unsigned char pair_head) const {
  ByteSet lead;
  // 0 = not reached, 1 = reached, 2 = (loop nodes) reached again from inside the body.
  std::vector<uint8_t> seen(insts_.size(), 0);
  std::vector<int32_t> work;
  auto arrive = [&](int32_t i) {
    while (i >= 0) {
      if (seen[i] == 0) {
        seen[i] = 1;
        work.push_back(i);
        return;
      }
      if (seen[i] != 1 || (insts_[i].op != OP_LOOP && insts_[i].op != OP_LOOP_LAZY)) return;
      // The loop's body can be passed without consuming, so the loop may be left here even
      // when it has a minimum.
      seen[i] = 2;
      i = insts_[i].next;
    }
  };
  auto consume = [&](const Inst& in) {
    ByteSet bytes;
    if (!FirstBytes(in, bytes)) return false;
    lead |= bytes;
    return true;
  };
  arrive(0);
  while (!work.empty() && !lead.all()) {
    const int32_t i = work.back();
    work.pop_back();
    const Inst& in = insts_[i];
    if (consume(in)) continue;
    switch (in.op) {
      case OP_TEXT_END:
      case OP_LINE_END:
        lead.set(0);
        // A multi-line '$' may stand before any line break, whatever the engine's modifier m
        // says (an inline (?m) compiles one too). The other end nodes match at the end alone;
        // with m on they add the separators anyway, which only costs a few attempts.
        if (multiline || in.op == OP_LINE_END) {
          for (unsigned char c : separators) lead.set(c);
        }
        if (in.op == OP_LINE_END && pair_assigned) lead.set(pair_head);
        break;
      case OP_CHOICE:
        if (in.next_is_choice) {
          int32_t c = i;
          for (size_t n = 0; c >= 0 && insts_[c].op == OP_CHOICE && n < insts_.size(); ++n) {
            if (c != i) seen[c] = std::max<uint8_t>(seen[c], 1);
            arrive(c + 1);
            c = insts_[c].next;
          }
        } else {
          arrive(i + 1);
        }
        break;
      case OP_STAR:
      case OP_STAR_LAZY:
        consume(insts_[i + 1]);
        arrive(in.next);
        break;
      case OP_PLUS:
      case OP_PLUS_LAZY:
        consume(insts_[i + 1]);
        break;
      case OP_BRACES:
      case OP_BRACES_LAZY:
        consume(insts_[i + 1]);
        if (in.min <= 0) arrive(in.next);
        break;
      case OP_LOOP:
      case OP_LOOP_LAZY:
        arrive(in.aux);
        if (in.min <= 0) arrive(in.next);
        break;
      default:  // zero-width nodes: the walk goes on
        arrive(in.next);
        break;
    }
  }
  return lead;
}

void TRegexMatcher::FirstNodeHints(bool want_required, unsigned char& start_char, bool& anchored,
                                   int32_t& required_offset, int32_t& required_length) const {
  start_char = 0;
  anchored = false;
  required_offset = -1;
  required_length = 0;
  if (insts_.size() < 2 || insts_[0].op != OP_CHOICE || insts_[0].next < 0 ||
      insts_[insts_[0].next].op != OP_END) {
    return;
  }
  const Inst& first = insts_[1];
  if (first.op == OP_LITERAL) start_char = prog_[first.text];
  if (first.op == OP_TEXT_START) anchored = true;
  if (!want_required) return;
  int32_t q = 1;
  for (size_t n = 0; q >= 0 && n < insts_.size(); ++n) {
    const Inst& in = insts_[q];
    if (in.op == OP_LITERAL && static_cast<int32_t>(in.len) >= required_length) {
      required_offset = static_cast<int32_t>(in.text);
      required_length = static_cast<int32_t>(in.len);
    }
    q = in.next;
  }
}

bool TRegexMatcher::EqualCase(const unsigned char* s, const unsigned char* t, size_t n,
                              bool ci) const {
  if (!ci) return std::memcmp(s, t, n) == 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != t[i] && s[i] != swap_[t[i]]) return false;
  }
  return true;
}

const unsigned char* TRegexMatcher::FindLeadLiteral(const unsigned char* from,
                                                    const unsigned char* end) {
  const unsigned char* lit = prog_ + lead_text_;
  const size_t n = lead_len_;
  if (n == 0 || end - from < static_cast<ptrdiff_t>(n)) return nullptr;
  const unsigned char* last = end - n;  // last possible start
#if defined(__x86_64__)
  if (probe_count_ > 0 && HasAvx2()) {
    const ptrdiff_t reach = static_cast<ptrdiff_t>(probes_[probe_count_ - 1].Pos) + 31;
    if (end - from > reach) {
      const unsigned char* stop = end - reach + 1;
      const unsigned char* hit;
      while ((hit = ProbeScan(from, stop, probes_, probe_count_)) != nullptr) {
        if (hit > last) return nullptr;
        if (EqualCase(hit, lit, n, lead_ci_)) return hit;
        Charge(1 + (n >> kBytesPerStepShift));
        from = hit + 1;
      }
      if (from > last) return nullptr;
    }
  }
#endif
  if (lead_anchor_ >= 0) {
    const unsigned char a = lit[lead_anchor_];
    const unsigned char* q = from + lead_anchor_;
    const unsigned char* q_end = last + lead_anchor_ + 1;
    while (q < q_end) {
      const auto* hit = static_cast<const unsigned char*>(std::memchr(q, a, q_end - q));
      if (hit == nullptr) return nullptr;
      const unsigned char* start = hit - lead_anchor_;
      if (EqualCase(start, lit, n, lead_ci_)) return start;
      Charge(1 + (n >> kBytesPerStepShift));
      q = hit + 1;
    }
    return nullptr;
  }
  // Every byte of the literal has two cases: look for either form of the first one.
  const unsigned char b0 = lit[0];
  const unsigned char b1 = swap_[b0];
  const unsigned char* q = from;
  for (; q <= last; ++q) {
    if (*q != b0 && *q != b1) continue;
    if (EqualCase(q, lit, n, true)) break;
    Charge(1 + (n >> kBytesPerStepShift));
  }
  Charge((q - from) >> (kBytesPerStepShift + 1));
  return q <= last ? q : nullptr;
}

void TRegexMatcher::BeginSearch(const unsigned char* base, const unsigned char* end,
                                int64_t step_budget, size_t stack_bytes,
                                const std::bitset<256>& separators, bool pair_assigned,
                                unsigned char pair_head, unsigned char pair_tail,
                                const bool* word_table) {
  base_ = base;
  end_ = end;
  steps_ = step_budget;
  max_entries_ = std::max<size_t>(stack_bytes / sizeof(Entry), 16);
  separators_ = separators;
  pair_assigned_ = pair_assigned;
  pair_head_ = pair_head;
  pair_tail_ = pair_tail;
  word_ = word_table;
  if (regs_.size() != static_cast<size_t>(reg_count_)) {
    regs_.assign(reg_count_, -1);
    regs_[kRegDepth] = 0;
    for (int d = 1; d <= kRegexMaxLoopDepth; ++d) regs_[kRegCounter + d] = 0;
    stamps_.assign(reg_count_, kNoStamp);
  } else {
    // The last search left its trail on the stack (a match, or a fault): undoing it puts back
    // every register it changed.
    for (size_t i = stack_.size(); i-- > 0;) {
      const Entry& e = stack_[i];
      if (e.tag >> kIndexBits != kTrail) continue;
      regs_[e.tag & kIndexMask] = e.a;
      stamps_[e.tag & kIndexMask] = e.aux;
    }
  }
  stack_.clear();
  // Keep a moderate stack between searches; give back what a pathological one took.
  if (stack_.capacity() > (size_t{1} << 16)) stack_.shrink_to_fit();
}

inline void TRegexMatcher::Push(uint32_t tag, uint32_t aux, int64_t a, int64_t b) {
  if (stack_.size() >= max_entries_) throw TRegexFault{reBacktrackStackExceeded};
  stack_.push_back(Entry{tag, aux, a, b});
}

inline void TRegexMatcher::PushChoice(uint32_t kind, int32_t node, int64_t a, int64_t b) {
  Push(Tag(static_cast<TEntryKind>(kind), static_cast<uint32_t>(node)), top_, a, b);
  top_ = static_cast<uint32_t>(stack_.size() - 1);
}

// Changes a register, recording its old value unless it was already recorded since the topmost
// choice point was made (going back there restores the oldest record).
inline void TRegexMatcher::SetReg(uint32_t r, int64_t v) {
  if (stamps_[r] != top_) {
    Push(Tag(kTrail, r), stamps_[r], regs_[r], 0);
    stamps_[r] = top_;
  }
  regs_[r] = v;
}

// Length of one repetition of a repeated node: 1 for single-byte nodes; for a back-reference
// the length of the capture (with `capture` at its bytes), 0 for an empty capture and -1 for an
// unset group, which no repetition matches.
int64_t TRegexMatcher::RepeatUnit(const Inst& node, const unsigned char*& capture) const {
  if (node.op != OP_BACKREF && node.op != OP_BACKREF_CI) return 1;
  const int64_t s = regs_[kRegGroupStart + node.group];
  const int64_t e = regs_[kRegGroupEnd + node.group];
  if (s < 0 || e < s) return -1;
  capture = base_ + s;
  return e - s;
}

// Does one repetition of `node` match at `at` (one byte, or a copy of the capture)? Comparing
// a copy is charged by its length.
inline bool TRegexMatcher::RepAt(const Inst& node, const unsigned char* at, int64_t unit,
                                 const unsigned char* capture) {
  if (unit == 1 && node.set >= 0) return at < end_ && InSet(node.set, *at);
  if (end_ - at < unit) return false;
  steps_ -= unit >> kBytesPerStepShift;
  return EqualCase(at, capture, static_cast<size_t>(unit), node.op == OP_BACKREF_CI);
}

inline bool TRegexMatcher::NextOk(const Inst& r, const unsigned char* at) const {
  return r.nb_count == 0 || *at == r.nb[0] || (r.nb_count == 2 && *at == r.nb[1]);
}

// How many repetitions match from `start`, up to the repeat's maximum.
int64_t TRegexMatcher::GreedyCount(const Inst& r, const Inst& node, const unsigned char* start,
                                   int64_t unit, const unsigned char* capture) {
  if (node.op == OP_ANY_CHAR) return std::min<int64_t>(r.max, end_ - start);
  if (node.set >= 0) {
    const int64_t limit = std::min<int64_t>(r.max, end_ - start);
    const ByteSet& set = sets_[node.set];
    int64_t k = 0;
    while (k < limit && set[start[k]]) ++k;
    Charge(k >> kBytesPerStepShift);
    return k;
  }
  int64_t k = 0;
  const unsigned char* p = start;
  while (k < r.max && RepAt(node, p, unit, capture)) {
    p += unit;
    ++k;
  }
  Charge(k >> 1);  // the copies' bytes were charged by RepAt
  return k;
}

// The largest count in [r.min, hi] after which the continuation may start, or -1. The counts
// passed over are charged: a ".*" tried at every start would otherwise scan the rest of the
// subject each time for free.
int64_t TRegexMatcher::FindGreedy(const Inst& r, const unsigned char* start, int64_t hi,
                                  int64_t unit) {
  if (hi < r.min) return -1;
  if (r.nb_count == 0) return hi;
  int64_t k;
  if (unit == 1 && r.nb_count == 1) {
    const unsigned char* lo = start + r.min;
    const auto* hit = static_cast<const unsigned char*>(memrchr(lo, r.nb[0], hi - r.min + 1));
    k = hit == nullptr ? -1 : hit - start;
  } else {
    for (k = hi; k >= r.min && !NextOk(r, start + k * unit); --k) {
    }
    if (k < r.min) k = -1;
  }
  Charge((hi - std::max<int64_t>(k, r.min)) >> kBytesPerStepShift);
  return k;
}

// Upper bound on the count of a lazy repeat (position bound for single bytes).
int64_t TRegexMatcher::LazyLimit(const Inst& r, const unsigned char* start, int64_t unit) const {
  if (unit == 1) return std::min<int64_t>(r.max, end_ - start);
  return r.max;
}

// The smallest count >= k (with repetitions 1..k known to match) after which the continuation
// may start, extending one repetition at a time; -1 when there is none.
int64_t TRegexMatcher::FindLazy(const Inst& r, const Inst& node, const unsigned char* start,
                                int64_t k, int64_t unit, const unsigned char* capture) {
  const int64_t limit = LazyLimit(r, start, unit);
  if (unit == 1 && node.op == OP_ANY_CHAR && r.nb_count == 1) {
    if (k > limit) return -1;
    const auto* hit =
        static_cast<const unsigned char*>(std::memchr(start + k, r.nb[0], limit - k + 1));
    if (hit == nullptr) {
      Charge(1 + ((limit - k) >> kBytesPerStepShift));
      return -1;
    }
    Charge(1 + ((hit - start - k) >> kBytesPerStepShift));
    return hit - start;
  }
  const int64_t first = k;
  for (;;) {
    if (NextOk(r, start + k * unit)) break;
    if (k >= limit || !RepAt(node, start + k * unit, unit, capture)) {
      Charge((k - first) >> 1);
      return -1;
    }
    ++k;
  }
  Charge((k - first) >> 1);  // half a step per repetition tried; copies are charged by RepAt
  return k;
}

// --- Running -------------------------------------------------------------------------------------

bool TRegexMatcher::Attempt(const unsigned char* at, const unsigned char** match_end,
                            bool lead_found) {
  // The lead literal's node, when it is known to match at `at`.
  const int32_t found_node = lead_found ? lead_node_ : -1;
  stack_.clear();
  top_ = 0;
  Push(Tag(kCpAttempt, 0), 0, 0, 0);
  const unsigned char* cur = at;
  int32_t pc = 0;
  for (;;) {
    if (pc < 0) throw TRegexFault{reBrokenLink};
    if (--steps_ < 0) throw TRegexFault{reStepLimitExceeded};
    const Inst& in = insts_[pc];
    switch (in.op) {
      case OP_END:
        *match_end = cur;
        return true;
      case OP_TEXT_START:
        if (cur != base_) goto fail;
        pc = in.next;
        continue;
      case OP_TEXT_END:
        if (cur != end_) goto fail;
        pc = in.next;
        continue;
      case OP_ANY_IN_LINE:
        if (!InLineAt(cur)) goto fail;
        ++cur;
        pc = in.next;
        continue;
      case OP_ANY_CHAR:
      case OP_DIGIT:
      case OP_NOT_DIGIT:
      case OP_TINY_SET:
      case OP_TINY_EXCLUDE:
      case OP_BYTE_SET:
        if (cur == end_ || !InSet(in.set, *cur)) goto fail;
        ++cur;
        pc = in.next;
        continue;
      case OP_LITERAL:
      case OP_LITERAL_CI:
        if ((pc != found_node || cur != at) &&
            (end_ - cur < static_cast<ptrdiff_t>(in.len) ||
             !EqualCase(cur, prog_ + in.text, in.len, in.op == OP_LITERAL_CI))) {
          goto fail;
        }
        cur += in.len;
        steps_ -= in.len >> kBytesPerStepShift;
        pc = in.next;
        continue;
      case OP_BACKREF:
      case OP_BACKREF_CI: {
        const unsigned char* capture = nullptr;
        const int64_t unit = RepeatUnit(in, capture);
        if (unit < 0) goto fail;
        if (unit > 0 && !RepAt(in, cur, unit, capture)) goto fail;
        cur += unit;
        pc = in.next;
        continue;
      }
      case OP_LINE_START:
        if (!AtLineStart(cur)) goto fail;
        pc = in.next;
        continue;
      case OP_LINE_END:
        if (!AtLineEnd(cur)) goto fail;
        pc = in.next;
        continue;
      case OP_WORD_EDGE:
      case OP_NOT_WORD_EDGE:
        if (AtWordEdge(cur) != (in.op == OP_WORD_EDGE)) goto fail;
        pc = in.next;
        continue;
      case OP_EMPTY:
      case OP_SKIP:
        pc = in.next;
        continue;
      case OP_JUMP_BACK:
        // An iteration that consumed nothing ends a guarded loop.
        pc = (in.slot >= 0 && regs_[in.slot] == cur - base_) ? in.aux : in.next;
        continue;
      case OP_CHOICE:
        if (in.slot >= 0) SetReg(in.slot, cur - base_);  // an x* loop's iteration starts
        if (in.next_is_choice) PushChoice(kCpAlt, in.next, cur - base_, 0);
        pc = pc + 1;
        continue;
      case OP_STAR:
      case OP_PLUS:
      case OP_BRACES:
      case OP_STAR_LAZY:
      case OP_PLUS_LAZY:
      case OP_BRACES_LAZY:
        if (!StartRepeat(pc, cur)) goto fail;
        pc = in.next;
        continue;
      case OP_LOOP_ENTRY: {
        const int64_t d = regs_[kRegDepth] + 1;
        if (d > kRegexMaxLoopDepth) throw TRegexFault{reLoopStackExceeded};
        SetReg(kRegDepth, d);
        SetReg(kRegCounter + d, 0);
        pc = in.next;
        continue;
      }
      case OP_LOOP:
      case OP_LOOP_LAZY:
        pc = StepLoop(pc, cur - base_);
        continue;
      default:
        if (in.group != 0 && in.op < OP_GROUP_CLOSE) {
          if (in.slot >= 0) SetReg(in.slot, cur - base_);  // an x+ loop's iteration starts
          SetReg(kRegGroupStart + in.group, cur - base_);
          pc = in.next;
          continue;
        }
        if (in.group != 0 && in.op <= OP_LAST) {
          SetReg(kRegGroupEnd + in.group, cur - base_);
          pc = in.next;
          continue;
        }
        throw TRegexFault{reBadOpcode};
    }
  fail:
    if (!Backtrack(pc, cur)) return false;
  }
}

// The repeat node at pc, run at cur: counts what the repeated node matches, picks the first
// count to try (the largest for greedy, the smallest for lazy, skipping counts after which the
// continuation cannot start), and leaves a choice point for the other counts. False when no
// count can work.
bool TRegexMatcher::StartRepeat(int32_t pc, const unsigned char*& cur) {
  const Inst& in = insts_[pc];
  const Inst& node = insts_[pc + 1];
  if (node.set < 0 && node.op != OP_BACKREF && node.op != OP_BACKREF_CI) {
    throw TRegexFault{reBadRepeatOperand};
  }
  const unsigned char* capture = nullptr;
  int64_t unit = RepeatUnit(node, capture);
  const unsigned char* start = cur;
  int64_t k;
  if (unit <= 0) {
    // Unset group: only zero repetitions; empty capture: every count ends here.
    if (unit < 0 && in.min > 0) return false;
    k = unit < 0 ? 0 : std::min(in.min, in.max);
    unit = 0;
    if (!NextOk(in, start)) return false;
  } else if (!IsLazyRepeat(in.op)) {
    const int64_t count = GreedyCount(in, node, start, unit, capture);
    k = FindGreedy(in, start, count, unit);
    if (k < 0) return false;
    if (k > in.min) PushChoice(kCpGreedy, pc, start - base_, k);
  } else {
    // The first min repetitions are mandatory.
    if (unit == 1 && LazyLimit(in, start, 1) < in.min) return false;
    const unsigned char* p = start;
    int64_t n = 0;
    while (n < in.min && RepAt(node, p, unit, capture)) {
      ++n;
      p += unit;
    }
    Charge(n >> 1);
    if (n < in.min) return false;
    k = FindLazy(in, node, start, in.min, unit, capture);
    if (k < 0) return false;
    if (k < LazyLimit(in, start, unit)) PushChoice(kCpLazy, pc, start - base_, k);
  }
  cur = start + k * unit;
  return true;
}

// Resumes the choice point `e` of the repeat node it names with the next count to try: fewer
// for greedy, more for lazy. False when none is left (the choice point is then gone).
bool TRegexMatcher::ResumeRepeat(const Entry& e, int32_t& pc, const unsigned char*& cur) {
  const uint32_t idx = e.tag & kIndexMask;
  const Inst& r = insts_[idx];
  const Inst& node = insts_[idx + 1];
  const unsigned char* capture = nullptr;
  const int64_t unit = RepeatUnit(node, capture);
  const unsigned char* start = base_ + e.a;
  int64_t k = -1;
  bool more = false;
  if (e.tag >> kIndexBits == kCpGreedy) {
    if (e.b - 1 >= r.min) k = FindGreedy(r, start, e.b - 1, unit);
    more = k > r.min;
  } else {
    const int64_t limit = LazyLimit(r, start, unit);
    if (e.b < limit && RepAt(node, start + e.b * unit, unit, capture)) {
      k = FindLazy(r, node, start, e.b + 1, unit, capture);
    }
    more = k >= 0 && k < limit;
  }
  if (more) {
    stack_.back().b = k;
  } else {
    top_ = e.aux;
    stack_.pop_back();
  }
  if (k < 0) return false;
  cur = start + k * unit;
  pc = r.next;
  return true;
}

// The counted-loop node at pc, reached with the cursor at `pos`: iterates while below the
// minimum, then (greedy) iterates leaving a choice point to exit, or (lazy) exits leaving a
// choice point to iterate. Returns the node to run next.
int32_t TRegexMatcher::StepLoop(int32_t pc, int64_t pos) {
  const Inst& in = insts_[pc];
  const int64_t d = regs_[kRegDepth];
  if (d <= 0) throw TRegexFault{reLoopWithoutEntry};
  const int64_t k = regs_[kRegCounter + d];
  // Past the minimum, an iteration of an unbounded loop that consumed nothing ends it.
  const bool can_iterate =
      k < in.min ||
      (k < in.max && !(in.max == kRegexOpenMax && k > 0 && regs_[kRegIterStart + d] == pos));
  if (k >= in.min && can_iterate) {
    PushChoice(in.op == OP_LOOP ? kCpLoopExit : kCpLoopBody, pc, pos, 0);
  }
  if (can_iterate && (k < in.min || in.op == OP_LOOP)) {
    SetReg(kRegCounter + d, k + 1);
    SetReg(kRegIterStart + d, pos);
    return in.aux;
  }
  SetReg(kRegDepth, d - 1);
  return in.next;
}

// Unwinds the stack to the topmost choice point that still has something to try and resumes
// it (pc and cur set); false when the attempt has no choice left.
bool TRegexMatcher::Backtrack(int32_t& pc, const unsigned char*& cur) {
  for (;;) {
    const Entry e = stack_.back();
    const uint32_t kind = e.tag >> kIndexBits;
    const uint32_t idx = e.tag & kIndexMask;
    if (kind == kTrail) {
      regs_[idx] = e.a;
      stamps_[idx] = e.aux;
      stack_.pop_back();
      continue;
    }
    if (--steps_ < 0) throw TRegexFault{reStepLimitExceeded};
    if (kind == kCpGreedy || kind == kCpLazy) {
      if (ResumeRepeat(e, pc, cur)) return true;
      continue;
    }
    stack_.pop_back();
    top_ = e.aux;
    cur = base_ + e.a;
    switch (kind) {
      case kCpAttempt:
        return false;
      case kCpAlt: {
        const Inst& c = insts_[idx];
        if (c.next_is_choice) PushChoice(kCpAlt, c.next, e.a, 0);
        pc = static_cast<int32_t>(idx) + 1;
        return true;
      }
      case kCpLoopExit:
        SetReg(kRegDepth, regs_[kRegDepth] - 1);
        pc = insts_[idx].next;
        return true;
      case kCpLoopBody: {
        const int64_t d = regs_[kRegDepth];
        SetReg(kRegCounter + d, regs_[kRegCounter + d] + 1);
        SetReg(kRegIterStart + d, e.a);
        pc = insts_[idx].aux;
        return true;
      }
      default:
        throw TRegexFault{reBadOpcode};
    }
  }
}
