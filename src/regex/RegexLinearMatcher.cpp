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
class TRegexLinearMatcher::TTranslator {
 public:
  using TNode = TRegexMatcher::Inst;

  TTranslator(TRegexLinearMatcher& vm, const TRegexMatcher& decoded, size_t max_insts)
      : vm_(vm),
        decoded_(decoded),
        nodes_(decoded.Nodes()),
        count_(static_cast<int32_t>(nodes_.size())),
        max_insts_(max_insts) {}

  // Translates the whole program into vm_.code_ and sets vm_.entry_; false when it cannot be.
  bool Run() {
    vm_.entry_ = Label(0, 0);
    while (ok_ && !work_.empty()) {
      const TWork w = work_.back();
      work_.pop_back();
      const TInst out = Translate(w);
      if (ok_) vm_.code_[w.At] = out;
    }
    return ok_;
  }
  int FlagCount() const { return static_cast<int>(flags_.size()); }
  int HighestGroup() const { return highest_group_; }

 private:
  struct TCopy {
    int32_t StopNode;   // the loop node that ends this copy, -1 for the program
    int32_t StopLabel;  // where the copy goes on
    int Depth;          // counted loops around it
  };
  struct TWork {
    int32_t Node;
    int32_t Copy;
    int32_t At;  // the instruction reserved for it
  };

  static TInst Make(TOp op, int32_t arg, int32_t x, int32_t y = -1) {
    TInst in;
    in.Op = op;
    in.Arg = arg;
    in.X = x;
    in.Y = y;
    return in;
  }
  static TInst Split(int32_t first, int32_t second) { return Make(TOp::Split, 0, first, second); }
  static TInst Goto(int32_t to) { return Make(TOp::Goto, 0, to); }

  int32_t Add(const TInst& in) {
    vm_.code_.push_back(in);
    if (vm_.code_.size() > max_insts_) ok_ = false;
    return static_cast<int32_t>(vm_.code_.size() - 1);
  }
  // The flag of a choice loop's register (key >= 0) or of a loop node (key = -1 - node).
  int Flag(int64_t key) {
    const auto it = flags_.find(key);
    if (it != flags_.end()) return it->second;
    const int f = static_cast<int>(flags_.size());
    if (f >= kMaxFlags) ok_ = false;
    flags_.emplace(key, f);
    return f;
  }
  // min mandatory copies of a body, then max - min optional ones (max finite); body(next) makes
  // one copy that goes on at next. Returns the first instruction.
  template <typename TBody>
  int32_t Unroll(int32_t min, int32_t max, bool lazy, int32_t cont, TBody&& body) {
    int32_t first = cont;
    for (int64_t j = int64_t{max} - min; j > 0 && ok_; --j) {
      const int32_t copy = body(first);
      first = Add(lazy ? Split(cont, copy) : Split(copy, cont));
    }
    for (int32_t i = 0; i < min && ok_; ++i) first = body(first);
    return first;
  }
  // Skips the nodes that do nothing here: empty and skipped nodes, choices without a choice, the
  // back links of loops that need no guard. -1 when the chain leads nowhere.
  int32_t Resolve(int32_t q) const {
    for (int32_t hops = 0; q >= 0 && q < count_ && hops <= count_; ++hops) {
      const TNode& in = nodes_[q];
      if (in.op == OP_EMPTY || in.op == OP_SKIP || (in.op == OP_JUMP_BACK && in.slot < 0)) {
        q = in.next;
      } else if (in.op == OP_CHOICE && !in.next_is_choice && in.slot < 0) {
        q = q + 1;
      } else {
        return q;
      }
    }
    return -1;
  }
  // The instruction of node q in copy c, reserved (and queued) on first reference.
  int32_t Label(int32_t q, int32_t c) {
    q = Resolve(q);
    if (q < 0) {
      ok_ = false;
      return 0;
    }
    if (q == copies_[c].StopNode) return copies_[c].StopLabel;
    const uint64_t key = static_cast<uint64_t>(c) << 32 | static_cast<uint32_t>(q);
    const auto [it, fresh] = labels_.try_emplace(key, 0);
    if (fresh) {
      it->second = Add(TInst{});
      work_.push_back(TWork{q, c, it->second});
    }
    return it->second;
  }

  TInst Translate(const TWork& w) {
    const TNode& in = nodes_[w.Node];
    switch (in.op) {
      case OP_END:
        return Make(TOp::Match, 0, -1);
      case OP_TEXT_START:
      case OP_TEXT_END:
      case OP_LINE_START:
      case OP_LINE_END:
      case OP_WORD_EDGE:
      case OP_NOT_WORD_EDGE:
        return Make(TOp::Assert, in.op, Label(in.next, w.Copy));
      case OP_ANY_IN_LINE:
        return Make(TOp::InLine, 0, Label(in.next, w.Copy));
      case OP_ANY_CHAR:
      case OP_DIGIT:
      case OP_NOT_DIGIT:
      case OP_TINY_SET:
      case OP_TINY_EXCLUDE:
      case OP_BYTE_SET:
        return Make(TOp::Byte, in.set, Label(in.next, w.Copy));
      case OP_LITERAL:
      case OP_LITERAL_CI:
        return Literal(w);
      case OP_CHOICE:
        return Choice(w);
      case OP_JUMP_BACK:  // a guarded choice loop: an empty iteration leaves it
        return Make(TOp::TestFlag, Flag(in.slot), Label(in.aux, w.Copy), Label(in.next, w.Copy));
      case OP_STAR:
      case OP_PLUS:
      case OP_BRACES:
      case OP_STAR_LAZY:
      case OP_PLUS_LAZY:
      case OP_BRACES_LAZY:
        return Repeat(w);
      case OP_LOOP_ENTRY:
        return Loop(w);
      default:
        return Group(w);
    }
  }

  // One instruction per byte, the last one first.
  TInst Literal(const TWork& w) {
    const TNode& in = nodes_[w.Node];
    const unsigned char* operand = decoded_.ProgramBytes() + in.text;
    auto byte = [&](uint32_t k, int32_t next) {
      TInst b = Make(TOp::Pair, 0, next);
      b.B1 = operand[k];
      b.B2 = in.op == OP_LITERAL_CI ? decoded_.SwapCase(operand[k]) : operand[k];
      return b;
    };
    int32_t next = Label(in.next, w.Copy);
    for (uint32_t k = in.len; k-- > 1;) next = Add(byte(k, next));
    return in.len > 0 ? byte(0, next) : Goto(next);
  }

  // A run of choices: a chain of splits in the alternatives' order.
  TInst Choice(const TWork& w) {
    const TNode& in = nodes_[w.Node];
    std::vector<int32_t> alts;
    for (int32_t c = w.Node; ok_; c = nodes_[c].next) {
      alts.push_back(c + 1);
      if (!nodes_[c].next_is_choice) break;
      if (alts.size() > nodes_.size()) ok_ = false;
    }
    int32_t rest = Label(alts.back(), w.Copy);
    for (size_t k = alts.size() - 1; k-- > 0 && ok_;) {
      rest = Add(Split(Label(alts[k], w.Copy), rest));
    }
    // The head of a choice loop starts an iteration.
    return in.slot >= 0 ? Make(TOp::SetFlag, Flag(in.slot), rest) : Goto(rest);
  }

  // A repeat of one byte: unrolled to its minimum, then optional copies or a loop.
  TInst Repeat(const TWork& w) {
    const TNode& in = nodes_[w.Node];
    const TNode& repeated = nodes_[w.Node + 1];
    if (repeated.set < 0) {
      ok_ = false;  // a back-reference
      return TInst{};
    }
    const bool lazy = IsLazyRepeat(in.op);
    const int32_t cont = Label(in.next, w.Copy);
    auto byte = [&](int32_t next) { return Add(Make(TOp::Byte, repeated.set, next)); };
    if (in.max < kRegexOpenMax) return Goto(Unroll(in.min, in.max, lazy, cont, byte));
    const int32_t head = Add(TInst{});
    const int32_t body = byte(head);
    vm_.code_[head] = lazy ? Split(cont, body) : Split(body, cont);
    return Goto(Unroll(in.min, in.min, lazy, head, byte));
  }

  // A counted loop: each iteration a copy of the body; past the minimum of an open loop, an
  // iteration that matched the empty string ends the loop.
  TInst Loop(const TWork& w) {
    const int32_t loop = nodes_[w.Node].next;
    const int depth = copies_[w.Copy].Depth + 1;
    if (loop < 0 || loop >= count_ ||
        (nodes_[loop].op != OP_LOOP && nodes_[loop].op != OP_LOOP_LAZY) ||
        depth > kRegexMaxLoopDepth) {
      ok_ = false;
      return TInst{};
    }
    const TNode& l = nodes_[loop];
    const bool lazy = l.op == OP_LOOP_LAZY;
    const int32_t cont = Label(l.next, w.Copy);
    auto iteration = [&](int32_t then) {
      copies_.push_back(TCopy{loop, then, depth});
      return Label(l.aux, static_cast<int32_t>(copies_.size() - 1));
    };
    if (l.max < kRegexOpenMax) return Goto(Unroll(l.min, l.max, lazy, cont, iteration));
    const int f = Flag(-1 - int64_t{loop});
    const int32_t head = Add(TInst{});
    const int32_t again = Add(Make(TOp::TestFlag, f, cont, head));
    const int32_t body = Add(Make(TOp::SetFlag, f, iteration(again)));
    vm_.code_[head] = lazy ? Split(cont, body) : Split(body, cont);
    int32_t first = head;
    if (l.min > 0) {
      const int32_t check = Add(Make(TOp::TestFlag, f, cont, head));
      first = Add(Make(TOp::SetFlag, f, iteration(check)));
      for (int32_t i = 1; i < l.min && ok_; ++i) first = iteration(first);
    }
    return Goto(first);
  }

  // A group's open or close node saves the position.
  TInst Group(const TWork& w) {
    const TNode& in = nodes_[w.Node];
    const int g = RegexGroupOf(in.op);
    if (g == 0) {
      ok_ = false;  // a back-reference, a loop node out of place, an invalid opcode
      return TInst{};
    }
    highest_group_ = std::max(highest_group_, g);
    const bool open = in.op < OP_GROUP_CLOSE;
    const TInst save = Make(TOp::Save, 2 * g + (open ? 0 : 1), Label(in.next, w.Copy));
    // The first node of an x+ loop starts an iteration.
    return open && in.slot >= 0 ? Make(TOp::SetFlag, Flag(in.slot), Add(save)) : save;
  }

  TRegexLinearMatcher& vm_;
  const TRegexMatcher& decoded_;
  const std::vector<TNode>& nodes_;
  const int32_t count_;
  const size_t max_insts_;
  std::vector<TCopy> copies_{{-1, -1, 0}};
  std::unordered_map<uint64_t, int32_t> labels_;  // copy << 32 | node -> instruction
  std::vector<TWork> work_;
  std::unordered_map<int64_t, int> flags_;  // see Flag
  int highest_group_ = 0;
  bool ok_ = true;
};

bool TRegexLinearMatcher::Build(const TRegexMatcher& decoded, size_t max_insts) {
  m_ = &decoded;
  code_.clear();
  TTranslator translator(*this, decoded, max_insts);
  if (!translator.Run() || !ShortenJumps() || !TrackFlags(translator.FlagCount())) {
    code_.clear();
    return false;
  }
  MakeByteTables(decoded);
  ncap_ = 2 * (translator.HighestGroup() + 1);
  for (TThreadList& list : lists_) {
    list.Pcs.assign(code_.size(), 0);
    list.Regs.assign(code_.size() * ncap_, -1);
    list.Size = 0;
  }
  RecordClosures();
  return true;
}

// Jumps lead straight to their targets; false on a cycle of jumps or an entry that leads nowhere.
bool TRegexLinearMatcher::ShortenJumps() {
  bool ok = true;
  auto through = [&](int32_t t) {
    for (size_t hops = 0; t >= 0 && code_[t].Op == TOp::Goto; ++hops) {
      if (hops > code_.size()) {
        ok = false;
        return t;
      }
      t = code_[t].X;
    }
    return t;
  };
  for (TInst& in : code_) {
    in.X = through(in.X);
    in.Y = through(in.Y);
  }
  entry_ = through(entry_);
  return ok && entry_ >= 0;
}

// Byte sets as tables, indexed by the matcher's set number.
void TRegexLinearMatcher::MakeByteTables(const TRegexMatcher& decoded) {
  tables_.clear();
  for (const TInst& in : code_) {
    if (in.Op != TOp::Byte) continue;
    if (tables_.size() <= static_cast<size_t>(in.Arg)) tables_.resize(in.Arg + 1);
    for (int b = 0; b < 256; ++b) tables_[in.Arg][b] = decoded.SetOf(in.Arg)[b];
  }
}

// The instructions at which a flag matters: reached from where the flag is set by zero-width
// steps, and leading to where it is tested by zero-width steps that do not set it again. A
// visit's state is its instruction and those flags, so every instruction gets one mark per
// combination of them.
bool TRegexLinearMatcher::TrackFlags(int flag_count) {
  const size_t n = code_.size();
  std::vector<std::vector<int32_t>> preds(n);
  auto zero_width_next = [&](const TInst& in, int32_t* out) {
    switch (in.Op) {
      case TOp::Match:
      case TOp::Byte:
      case TOp::Pair:
      case TOp::InLine:
        return 0;
      case TOp::Split:
      case TOp::TestFlag:
        out[0] = in.X;
        out[1] = in.Y;
        return 2;
      default:
        out[0] = in.X;
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
      if (code_[i].Op == TOp::SetFlag && code_[i].Arg == f) todo.push_back(code_[i].X);
    }
    while (!todo.empty()) {
      const int32_t pc = todo.back();
      todo.pop_back();
      if (pc < 0 || reached[pc]) continue;
      reached[pc] = 1;
      for (int k = zero_width_next(code_[pc], succ); k-- > 0;) todo.push_back(succ[k]);
    }
    for (size_t i = 0; i < n; ++i) {
      if (code_[i].Op == TOp::TestFlag && code_[i].Arg == f)
        todo.push_back(static_cast<int32_t>(i));
    }
    while (!todo.empty()) {
      const int32_t pc = todo.back();
      todo.pop_back();
      if (leads[pc] || (code_[pc].Op == TOp::SetFlag && code_[pc].Arg == f)) continue;
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
    code_[i].Relevant = relevant[i];
    code_[i].Mark = marks;
    marks += uint32_t{1} << k;
  }
  mark_.assign(marks, 0);
  frames_.resize(marks + 1);
  return true;
}

// Where the visit of `in` with `flags` is marked.
inline uint32_t TRegexLinearMatcher::MarkOf(const TInst& in, uint64_t flags) const {
  uint32_t at = in.Mark;
  uint64_t rel = in.Relevant;
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
  closure_of_.assign(code_.size(), TClosure{0, 0, false});
  leaves_.clear();
  saves_.clear();
  std::vector<int32_t> regs(ncap_);
  recording_ = true;
  auto record = [&](int32_t start) {
    TClosure& range = closure_of_[start];
    if (range.Cached || leaves_.size() > 8 * code_.size()) return;
    std::fill(regs.begin(), regs.end(), -1);
    met_test_ = false;
    NextGeneration();
    TThreadList& list = lists_[0];
    list.Size = 0;
    AddThread(list, start, regs.data(), kHere);
    if (met_test_) return;
    range = TClosure{static_cast<uint32_t>(leaves_.size()), 0, true};
    for (size_t i = 0; i < list.Size; ++i) {
      TLeaf leaf{list.Pcs[i], static_cast<uint32_t>(saves_.size()), 0};
      for (int r = 0; r < ncap_; ++r) {
        if (list.Regs[i * ncap_ + r] == kHere) saves_.push_back(static_cast<uint8_t>(r));
      }
      leaf.SaveEnd = static_cast<uint32_t>(saves_.size());
      leaves_.push_back(leaf);
    }
    range.End = static_cast<uint32_t>(leaves_.size());
  };
  record(entry_);
  for (const TInst& in : code_) {
    if (in.Op == TOp::Byte || in.Op == TOp::Pair || in.Op == TOp::InLine) record(in.X);
  }
  recording_ = false;
  lists_[0].Size = 0;
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

inline bool TRegexLinearMatcher::Holds(const TInst& in, const unsigned char* at) const {
  switch (in.Op) {
    case TOp::Byte:
      return tables_[in.Arg][*at];
    case TOp::Pair:
      return *at == in.B1 || *at == in.B2;
    case TOp::InLine:
      return m_->InLineAt(at);
    default:
      return false;
  }
}

// Follows the zero-width steps from pc at `pos` in priority order and appends every consuming
// instruction (and the end) it reaches for the first time in this generation, with the registers
// as the path left them. `regs` is changed on the way and restored at the end.
void TRegexLinearMatcher::AddThread(TThreadList& list, int32_t pc0, int32_t* regs, int64_t pos) {
  if (!recording_ && closure_of_[pc0].Cached) {
    const TClosure& range = closure_of_[pc0];
    for (uint32_t i = range.Begin; i < range.End; ++i) {
      const TLeaf& leaf = leaves_[i];
      uint32_t& mark = mark_[code_[leaf.Pc].Mark];
      if (mark == gen_) continue;
      mark = gen_;
      ++steps_;
      int32_t* to = &list.Regs[list.Size * ncap_];
      std::memcpy(to, regs, sizeof(int32_t) * ncap_);
      for (uint32_t k = leaf.SaveBegin; k < leaf.SaveEnd; ++k) {
        to[saves_[k]] = static_cast<int32_t>(pos);
      }
      list.Pcs[list.Size++] = leaf.Pc;
    }
    return;
  }
  const unsigned char* at = m_->Base() + pos;
  // Every visit pushes at most one frame, and a state is visited once per generation.
  TFrame* const frames = frames_.data();
  size_t top = 0;
  frames[top++] = TFrame{pc0, 0, 0};
  while (top > 0) {
    const TFrame f = frames[--top];
    if (f.Pc < 0) {
      regs[f.Reg] = static_cast<int32_t>(f.Value);
      continue;
    }
    int32_t pc = f.Pc;
    uint64_t flags = static_cast<uint64_t>(f.Value);
    for (;;) {
      const TInst& in = code_[pc];
      uint32_t& mark = mark_[in.Relevant == 0 ? in.Mark : MarkOf(in, flags)];
      if (mark == gen_) break;
      mark = gen_;
      ++steps_;
      bool holds = true;
      switch (in.Op) {
        case TOp::Match:
        case TOp::Byte:
        case TOp::Pair:
        case TOp::InLine:
          list.Pcs[list.Size] = pc;
          std::memcpy(&list.Regs[list.Size * ncap_], regs, sizeof(int32_t) * ncap_);
          ++list.Size;
          holds = false;
          break;
        case TOp::Split:
          frames[top++] = TFrame{in.Y, 0, static_cast<int64_t>(flags)};
          pc = in.X;
          break;
        case TOp::Goto:
          pc = in.X;
          break;
        case TOp::Assert:
          if (recording_) {
            met_test_ = true;
            holds = false;
            break;
          }
          switch (in.Arg) {
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
          pc = in.X;
          break;
        case TOp::Save:
          frames[top++] = TFrame{-1, in.Arg, regs[in.Arg]};
          regs[in.Arg] = static_cast<int32_t>(pos);
          pc = in.X;
          break;
        case TOp::SetFlag:
          flags |= uint64_t{1} << in.Arg;
          pc = in.X;
          break;
        case TOp::TestFlag:
          pc = (flags >> in.Arg & 1) ? in.X : in.Y;
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
  TThreadList* now = &lists_[0];
  TThreadList* next = &lists_[1];
  now->Size = 0;
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
    if (now->Size == 0) {
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
    next->Size = 0;
    for (size_t i = 0; i < now->Size; ++i) {
      const TInst& in = code_[now->Pcs[i]];
      int32_t* regs = &now->Regs[i * ncap_];
      if (in.Op == TOp::Match) {
        // Every thread below this one ranks lower: they end here.
        best.assign(regs, regs + ncap_);
        best_end = pos;
        break;
      }
      if (pos < len && Holds(in, base + pos)) AddThread(*next, in.X, regs, pos + 1);
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
