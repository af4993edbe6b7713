#include "regex/RegexLinearMatcher.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "regex/RegexProgram.h"

namespace {

constexpr int kMaxFlags = 64;  // bits of a thread's flag word
// Flags that may matter at one instruction: each doubles the states it can be visited in.
constexpr int kMaxRelevantFlags = 6;

bool IsLazyRepeat(uint8_t op) {
  return op == OP_STAR_LAZY || op == OP_PLUS_LAZY || op == OP_BRACES_LAZY;
}

}  // namespace

// --- Translation ---------------------------------------------------------------------------------
//
// The nodes are translated per copy: copy 0 is the program itself, and every unrolled iteration
// of a counted loop is a copy of the loop's body whose end (the loop node) leads to a label of
// its own. A worklist visits each (copy, node) pair once; a node's instruction index is reserved
// when something first refers to it, so joins and the back links of choice loops find it.

bool TRegexLinearMatcher::Build(const TRegexMatcher& decoded, size_t max_insts) {
  using Inst = TRegexMatcher::Inst;
  const std::vector<Inst>& nodes = decoded.Nodes();
  const auto count = static_cast<int32_t>(nodes.size());
  m_ = &decoded;
  code_.clear();
  struct Copy {
    int32_t stop_node;   // the loop node that ends this copy, -1 for the program
    int32_t stop_label;  // where the copy goes on
    int depth;           // counted loops around it
  };
  struct Work {
    int32_t node;
    int32_t copy;
    int32_t at;
  };
  std::vector<Copy> copies{{-1, -1, 0}};
  std::unordered_map<uint64_t, int32_t> labels;  // copy << 32 | node -> instruction
  std::vector<Work> work;
  std::unordered_map<int64_t, int> flags;  // a choice loop's register, or -1 - a loop node
  int highest_group = 0;
  bool ok = true;

  auto add = [&](VmInst in) {
    code_.push_back(in);
    if (code_.size() > max_insts) ok = false;
    return static_cast<int32_t>(code_.size() - 1);
  };
  auto split = [&](int32_t first, int32_t second) {
    VmInst in;
    in.op = kSplit;
    in.x = first;
    in.y = second;
    return in;
  };
  auto with_arg = [&](Op op, int32_t arg, int32_t x, int32_t y = -1) {
    VmInst in;
    in.op = op;
    in.arg = arg;
    in.x = x;
    in.y = y;
    return in;
  };
  auto flag = [&](int64_t key) {
    const auto it = flags.find(key);
    if (it != flags.end()) return it->second;
    const int f = static_cast<int>(flags.size());
    if (f >= kMaxFlags) ok = false;
    flags.emplace(key, f);
    return f;
  };
  // min mandatory copies of a body, then max - min optional ones (max finite); body(next) makes
  // one copy that goes on at next. Returns the first instruction.
  auto unroll = [&](int32_t min, int32_t max, bool lazy, int32_t cont, auto&& body) {
    int32_t first = cont;
    for (int64_t j = int64_t{max} - min; j > 0 && ok; --j) {
      const int32_t copy = body(first);
      first = add(lazy ? split(cont, copy) : split(copy, cont));
    }
    for (int32_t i = 0; i < min && ok; ++i) first = body(first);
    return first;
  };
  // Nodes that do nothing here: empty and skipped nodes, choices without a choice, the back
  // links of loops that need no guard.
  auto resolve = [&](int32_t q) {
    for (int32_t hops = 0; q >= 0 && q < count && hops <= count; ++hops) {
      const Inst& in = nodes[q];
      if (in.op == OP_EMPTY || in.op == OP_SKIP || (in.op == OP_JUMP_BACK && in.slot < 0)) {
        q = in.next;
      } else if (in.op == OP_CHOICE && !in.next_is_choice && in.slot < 0) {
        q = q + 1;
      } else {
        return q;
      }
    }
    return int32_t{-1};
  };
  auto label = [&](int32_t q, int32_t c) -> int32_t {
    q = resolve(q);
    if (q < 0) {
      ok = false;
      return 0;
    }
    if (q == copies[c].stop_node) return copies[c].stop_label;
    const uint64_t key = static_cast<uint64_t>(c) << 32 | static_cast<uint32_t>(q);
    const auto [it, fresh] = labels.try_emplace(key, 0);
    if (fresh) {
      it->second = add(VmInst{});
      work.push_back(Work{q, c, it->second});
    }
    return it->second;
  };

  entry_ = label(0, 0);
  while (ok && !work.empty()) {
    const Work w = work.back();
    work.pop_back();
    const Inst& in = nodes[w.node];
    const unsigned char* operand = decoded.ProgramBytes() + in.text;
    VmInst out;
    switch (in.op) {
      case OP_END:
        out.op = kMatch;
        break;
      case OP_TEXT_START:
      case OP_TEXT_END:
      case OP_LINE_START:
      case OP_LINE_END:
      case OP_WORD_EDGE:
      case OP_NOT_WORD_EDGE:
        out = with_arg(kAssert, in.op, label(in.next, w.copy));
        break;
      case OP_ANY_IN_LINE:
        out = with_arg(kInLine, 0, label(in.next, w.copy));
        break;
      case OP_ANY_CHAR:
      case OP_DIGIT:
      case OP_NOT_DIGIT:
      case OP_TINY_SET:
      case OP_TINY_EXCLUDE:
      case OP_BYTE_SET:
        out = with_arg(kByte, in.set, label(in.next, w.copy));
        break;
      case OP_LITERAL:
      case OP_LITERAL_CI: {
        // One instruction per byte, the last one first.
        auto byte = [&](uint32_t k, int32_t next) {
          VmInst b;
          b.op = kPair;
          b.b1 = operand[k];
          b.b2 = in.op == OP_LITERAL_CI ? decoded.SwapCase(operand[k]) : operand[k];
          b.x = next;
          return b;
        };
        int32_t next = label(in.next, w.copy);
        for (uint32_t k = in.len; k-- > 1;) next = add(byte(k, next));
        out = in.len > 0 ? byte(0, next) : with_arg(kGoto, 0, next);
        break;
      }
      case OP_CHOICE: {
        // A run of choices: a chain of splits in the alternatives' order.
        std::vector<int32_t> alts;
        for (int32_t c = w.node; ok; c = nodes[c].next) {
          alts.push_back(c + 1);
          if (!nodes[c].next_is_choice) break;
          if (alts.size() > nodes.size()) ok = false;
        }
        int32_t rest = label(alts.back(), w.copy);
        for (size_t k = alts.size() - 1; k-- > 0 && ok;) {
          rest = add(split(label(alts[k], w.copy), rest));
        }
        // The head of a choice loop starts an iteration.
        out = in.slot >= 0 ? with_arg(kSetFlag, flag(in.slot), rest) : with_arg(kGoto, 0, rest);
        break;
      }
      case OP_JUMP_BACK:  // a guarded choice loop: an empty iteration leaves it
        out = with_arg(kTestFlag, flag(in.slot), label(in.aux, w.copy), label(in.next, w.copy));
        break;
      case OP_STAR:
      case OP_PLUS:
      case OP_BRACES:
      case OP_STAR_LAZY:
      case OP_PLUS_LAZY:
      case OP_BRACES_LAZY: {
        const Inst& repeated = nodes[w.node + 1];
        if (repeated.set < 0) {
          ok = false;  // a back-reference
          break;
        }
        const bool lazy = IsLazyRepeat(in.op);
        const int32_t cont = label(in.next, w.copy);
        auto byte = [&](int32_t next) { return add(with_arg(kByte, repeated.set, next)); };
        int32_t first;
        if (in.max >= kRegexOpenMax) {
          const int32_t head = add(VmInst{});
          const int32_t body = byte(head);
          code_[head] = lazy ? split(cont, body) : split(body, cont);
          first = unroll(in.min, in.min, lazy, head, byte);
        } else {
          first = unroll(in.min, in.max, lazy, cont, byte);
        }
        out = with_arg(kGoto, 0, first);
        break;
      }
      case OP_LOOP_ENTRY: {
        const int32_t loop = in.next;
        const int depth = copies[w.copy].depth + 1;
        if (loop < 0 || loop >= count ||
            (nodes[loop].op != OP_LOOP && nodes[loop].op != OP_LOOP_LAZY) ||
            depth > kRegexMaxLoopDepth) {
          ok = false;
          break;
        }
        const Inst& l = nodes[loop];
        const bool lazy = l.op == OP_LOOP_LAZY;
        const int32_t cont = label(l.next, w.copy);
        auto iteration = [&](int32_t then) {
          copies.push_back(Copy{loop, then, depth});
          return label(l.aux, static_cast<int32_t>(copies.size() - 1));
        };
        int32_t first = cont;
        if (l.max >= kRegexOpenMax) {
          // Past the minimum, an iteration that matched the empty string ends the loop.
          const int f = flag(-1 - int64_t{loop});
          const int32_t head = add(VmInst{});
          const int32_t again = add(with_arg(kTestFlag, f, cont, head));
          const int32_t body = add(with_arg(kSetFlag, f, iteration(again)));
          code_[head] = lazy ? split(cont, body) : split(body, cont);
          first = head;
          if (l.min > 0) {
            const int32_t check = add(with_arg(kTestFlag, f, cont, head));
            first = add(with_arg(kSetFlag, f, iteration(check)));
            for (int32_t i = 1; i < l.min && ok; ++i) first = iteration(first);
          }
        } else {
          first = unroll(l.min, l.max, lazy, cont, iteration);
        }
        out = with_arg(kGoto, 0, first);
        break;
      }
      default: {
        const int g = RegexGroupOf(in.op);
        if (g == 0) {
          ok = false;  // a back-reference, a loop node out of place, an invalid opcode
          break;
        }
        highest_group = std::max(highest_group, g);
        const bool open = in.op < OP_GROUP_CLOSE;
        out = with_arg(kSave, 2 * g + (open ? 0 : 1), label(in.next, w.copy));
        if (open && in.slot >= 0) {  // the first node of an x+ loop starts an iteration
          out = with_arg(kSetFlag, flag(in.slot), add(out));
        }
        break;
      }
    }
    if (ok) code_[w.at] = out;
  }
  if (!ok) {
    code_.clear();
    return false;
  }
  // Jumps lead straight to their targets.
  auto through = [&](int32_t t) {
    for (size_t hops = 0; t >= 0 && code_[t].op == kGoto; ++hops) {
      if (hops > code_.size()) {
        ok = false;
        return t;
      }
      t = code_[t].x;
    }
    return t;
  };
  for (VmInst& in : code_) {
    in.x = through(in.x);
    in.y = through(in.y);
  }
  entry_ = through(entry_);
  if (!ok || entry_ < 0) {
    code_.clear();
    return false;
  }
  tables_.clear();
  for (const VmInst& in : code_) {
    if (in.op != kByte) continue;
    // Byte sets as tables, indexed by the matcher's set number.
    if (tables_.size() <= static_cast<size_t>(in.arg)) tables_.resize(in.arg + 1);
    for (int b = 0; b < 256; ++b) tables_[in.arg][b] = decoded.SetOf(in.arg)[b];
  }
  if (!TrackFlags(static_cast<int>(flags.size()))) {
    code_.clear();
    return false;
  }
  ncap_ = 2 * (highest_group + 1);
  for (ThreadList& list : lists_) {
    list.pcs.assign(code_.size(), 0);
    list.regs.assign(code_.size() * ncap_, -1);
    list.size = 0;
  }
  RecordClosures();
  return true;
}

// The instructions at which a flag matters: reached from where the flag is set by zero-width
// steps, and leading to where it is tested by zero-width steps that do not set it again. A
// visit's state is its instruction and those flags, so every instruction gets one mark per
// combination of them.
bool TRegexLinearMatcher::TrackFlags(int flag_count) {
  const size_t n = code_.size();
  std::vector<std::vector<int32_t>> preds(n);
  auto zero_width_next = [&](const VmInst& in, int32_t* out) {
    switch (in.op) {
      case kMatch:
      case kByte:
      case kPair:
      case kInLine:
        return 0;
      case kSplit:
      case kTestFlag:
        out[0] = in.x;
        out[1] = in.y;
        return 2;
      default:
        out[0] = in.x;
        return 1;
    }
  };
  int32_t succ[2];
  for (size_t i = 0; i < n; ++i) {
    for (int k = zero_width_next(code_[i], succ); k-- > 0;) {
      if (succ[k] >= 0) preds[succ[k]].push_back(static_cast<int32_t>(i));
    }
  }
  std::vector<uint64_t> relevant(n, 0);
  std::vector<uint8_t> reached(n);
  std::vector<uint8_t> leads(n);
  std::vector<int32_t> todo;
  for (int f = 0; f < flag_count; ++f) {
    std::fill(reached.begin(), reached.end(), 0);
    std::fill(leads.begin(), leads.end(), 0);
    for (size_t i = 0; i < n; ++i) {
      if (code_[i].op == kSetFlag && code_[i].arg == f) todo.push_back(code_[i].x);
    }
    while (!todo.empty()) {
      const int32_t pc = todo.back();
      todo.pop_back();
      if (pc < 0 || reached[pc]) continue;
      reached[pc] = 1;
      for (int k = zero_width_next(code_[pc], succ); k-- > 0;) todo.push_back(succ[k]);
    }
    for (size_t i = 0; i < n; ++i) {
      if (code_[i].op == kTestFlag && code_[i].arg == f) todo.push_back(static_cast<int32_t>(i));
    }
    while (!todo.empty()) {
      const int32_t pc = todo.back();
      todo.pop_back();
      if (leads[pc] || (code_[pc].op == kSetFlag && code_[pc].arg == f)) continue;
      leads[pc] = 1;
      for (const int32_t p : preds[pc]) todo.push_back(p);
    }
    for (size_t i = 0; i < n; ++i) {
      if (reached[i] && leads[i]) relevant[i] |= uint64_t{1} << f;
    }
  }
  uint32_t marks = 0;
  for (size_t i = 0; i < n; ++i) {
    const int k = __builtin_popcountll(relevant[i]);
    if (k > kMaxRelevantFlags) return false;
    code_[i].relevant = relevant[i];
    code_[i].mark = marks;
    marks += uint32_t{1} << k;
  }
  mark_.assign(marks, 0);
  frames_.resize(marks + 1);
  return true;
}

// Where the visit of `in` with `flags` is marked.
inline uint32_t TRegexLinearMatcher::MarkOf(const VmInst& in, uint64_t flags) const {
  uint32_t at = in.mark;
  uint64_t rel = in.relevant;
  for (uint32_t bit = 1; rel != 0; bit <<= 1, rel &= rel - 1) {
    if (flags & rel & (~rel + 1)) at += bit;
  }
  return at;
}

// The walk from each place a thread goes on from (the entry, and the instruction after each
// consuming one) is the same at every position unless it meets a zero-width test: such walks
// are recorded once, as the consuming instructions they reach in order and the registers they
// save on the way. Replaying one gives what the walk would: where the walk would stop at a state
// an earlier walk at this position reached, that walk has reached every consuming instruction
// behind it too, and the replay skips those.
void TRegexLinearMatcher::RecordClosures() {
  constexpr int32_t kHere = -2;  // the position while recording: registers saved on the way
  closure_of_.assign(code_.size(), Range{0, 0, false});
  leaves_.clear();
  saves_.clear();
  std::vector<int32_t> regs(ncap_);
  recording_ = true;
  auto record = [&](int32_t start) {
    Range& range = closure_of_[start];
    if (range.cached || leaves_.size() > 8 * code_.size()) return;
    std::fill(regs.begin(), regs.end(), -1);
    met_test_ = false;
    NextGeneration();
    ThreadList& list = lists_[0];
    list.size = 0;
    AddThread(list, start, regs.data(), kHere);
    if (met_test_) return;
    range = Range{static_cast<uint32_t>(leaves_.size()), 0, true};
    for (size_t i = 0; i < list.size; ++i) {
      Leaf leaf{list.pcs[i], static_cast<uint32_t>(saves_.size()), 0};
      for (int r = 0; r < ncap_; ++r) {
        if (list.regs[i * ncap_ + r] == kHere) saves_.push_back(static_cast<uint8_t>(r));
      }
      leaf.save_end = static_cast<uint32_t>(saves_.size());
      leaves_.push_back(leaf);
    }
    range.end = static_cast<uint32_t>(leaves_.size());
  };
  record(entry_);
  for (const VmInst& in : code_) {
    if (in.op == kByte || in.op == kPair || in.op == kInLine) record(in.x);
  }
  recording_ = false;
  lists_[0].size = 0;
  std::fill(mark_.begin(), mark_.end(), 0);
  gen_ = 0;
}

// --- Searching -----------------------------------------------------------------------------------

// A new position: every node may be visited again.
void TRegexLinearMatcher::NextGeneration() {
  if (++gen_ == 0) {  // wrapped: forget every mark
    std::fill(mark_.begin(), mark_.end(), 0);
    gen_ = 1;
  }
}

inline bool TRegexLinearMatcher::Holds(const VmInst& in, const unsigned char* at) const {
  switch (in.op) {
    case kByte:
      return tables_[in.arg][*at];
    case kPair:
      return *at == in.b1 || *at == in.b2;
    case kInLine:
      return m_->InLineAt(at);
    default:
      return false;
  }
}

// Follows the zero-width steps from pc at `pos` in priority order and appends every consuming
// instruction (and the end) it reaches for the first time in this generation, with the registers
// as the path left them. `regs` is changed on the way and restored at the end.
void TRegexLinearMatcher::AddThread(ThreadList& list, int32_t pc0, int32_t* regs, int64_t pos) {
  if (!recording_ && closure_of_[pc0].cached) {
    const Range& range = closure_of_[pc0];
    for (uint32_t i = range.begin; i < range.end; ++i) {
      const Leaf& leaf = leaves_[i];
      uint32_t& mark = mark_[code_[leaf.pc].mark];
      if (mark == gen_) continue;
      mark = gen_;
      ++steps_;
      int32_t* to = &list.regs[list.size * ncap_];
      std::memcpy(to, regs, sizeof(int32_t) * ncap_);
      for (uint32_t k = leaf.save_begin; k < leaf.save_end; ++k) {
        to[saves_[k]] = static_cast<int32_t>(pos);
      }
      list.pcs[list.size++] = leaf.pc;
    }
    return;
  }
  const unsigned char* at = m_->Base() + pos;
  // Every visit pushes at most one frame, and a state is visited once per generation.
  Frame* const frames = frames_.data();
  size_t top = 0;
  frames[top++] = Frame{pc0, 0, 0};
  while (top > 0) {
    const Frame f = frames[--top];
    if (f.pc < 0) {
      regs[f.reg] = static_cast<int32_t>(f.value);
      continue;
    }
    int32_t pc = f.pc;
    uint64_t flags = static_cast<uint64_t>(f.value);
    for (;;) {
      const VmInst& in = code_[pc];
      uint32_t& mark = mark_[in.relevant == 0 ? in.mark : MarkOf(in, flags)];
      if (mark == gen_) break;
      mark = gen_;
      ++steps_;
      bool holds = true;
      switch (in.op) {
        case kMatch:
        case kByte:
        case kPair:
        case kInLine:
          list.pcs[list.size] = pc;
          std::memcpy(&list.regs[list.size * ncap_], regs, sizeof(int32_t) * ncap_);
          ++list.size;
          holds = false;
          break;
        case kSplit:
          frames[top++] = Frame{in.y, 0, static_cast<int64_t>(flags)};
          pc = in.x;
          break;
        case kGoto:
          pc = in.x;
          break;
        case kAssert:
          if (recording_) {
            met_test_ = true;
            holds = false;
            break;
          }
          switch (in.arg) {
            case OP_TEXT_START:
              holds = at == m_->Base();
              break;
            case OP_TEXT_END:
              holds = at == m_->End();
              break;
            case OP_LINE_START:
              holds = m_->AtLineStart(at);
              break;
            case OP_LINE_END:
              holds = m_->AtLineEnd(at);
              break;
            case OP_WORD_EDGE:
              holds = m_->AtWordEdge(at);
              break;
            default:  // OP_NOT_WORD_EDGE
              holds = !m_->AtWordEdge(at);
              break;
          }
          pc = in.x;
          break;
        case kSave:
          frames[top++] = Frame{-1, in.arg, regs[in.arg]};
          regs[in.arg] = static_cast<int32_t>(pos);
          pc = in.x;
          break;
        case kSetFlag:
          flags |= uint64_t{1} << in.arg;
          pc = in.x;
          break;
        case kTestFlag:
          pc = (flags >> in.arg & 1) ? in.x : in.y;
          break;
      }
      if (!holds) break;
    }
  }
}

bool TRegexLinearMatcher::Search(const TRegexMatcher& m, const unsigned char* from, bool anchored,
                                 const std::bitset<256>& lead, int64_t* starts, int64_t* ends) {
  m_ = &m;
  steps_ = 0;
  const unsigned char* base = m.Base();
  const int64_t len = m.End() - base;
  const TRegexLeadTable table(lead);
  const bool* may_start = table.May;
  // A match may begin at pos: its byte is in the lead set (bit 0 for the end of the text).
  auto may_begin = [&](int64_t pos) { return may_start[pos < len ? base[pos] : 0]; };

  NextGeneration();
  ThreadList* now = &lists_[0];
  ThreadList* next = &lists_[1];
  now->size = 0;
  std::vector<int32_t> seed(ncap_, -1);
  std::vector<int32_t> best;
  int64_t best_end = -1;
  const int64_t first = from - base;
  for (int64_t pos = first;;) {
    if (best_end < 0 && (!anchored || pos == first) && may_begin(pos)) {
      std::fill(seed.begin(), seed.end(), -1);
      seed[0] = static_cast<int32_t>(pos);
      AddThread(*now, entry_, seed.data(), pos);
    }
    if (now->size == 0) {
      if (best_end >= 0 || anchored || pos >= len) break;
      // Nothing alive: on to the next byte where a match may begin.
      ++pos;
      if (table.Members == 1) {
        const void* hit = std::memchr(base + pos, table.Only, static_cast<size_t>(len - pos));
        pos = hit ? static_cast<const unsigned char*>(hit) - base : len;
      } else {
        while (pos < len && !may_start[base[pos]]) ++pos;
      }
      if (pos == len && !may_start[0]) break;
      NextGeneration();
      continue;
    }
    NextGeneration();
    next->size = 0;
    for (size_t i = 0; i < now->size; ++i) {
      const VmInst& in = code_[now->pcs[i]];
      int32_t* regs = &now->regs[i * ncap_];
      if (in.op == kMatch) {
        // Every thread below this one ranks lower: they end here.
        best.assign(regs, regs + ncap_);
        best_end = pos;
        break;
      }
      if (pos < len && Holds(in, base + pos)) AddThread(*next, in.x, regs, pos + 1);
    }
    std::swap(now, next);
    if (pos >= len) break;
    ++pos;
  }
  if (best_end < 0) return false;
  for (int g = 0; g < kRegexGroupCount; ++g) {
    starts[g] = 2 * g < ncap_ ? best[2 * g] : -1;
    ends[g] = 2 * g < ncap_ ? best[2 * g + 1] : -1;
  }
  ends[0] = best_end;
  return true;
}
