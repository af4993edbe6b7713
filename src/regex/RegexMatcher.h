// The matcher behind TRegexEngine (internal to src/regex): a decoded copy of a compiled program
// and the backtracking machine that runs it.
//
// Load decodes the program into an array of nodes (Inst) in four passes: Decode (operands,
// links, the byte set of every single-byte node), AnnotateRepeats (choice runs; the byte a
// repeat's continuation must begin with), GuardEmptyLoops (a register for every choice loop the
// compiler listed as able to iterate emptily) and ChooseLeadLiteral (the literal every match
// starts with, and how to look for it). Attempt then runs one match attempt: simple nodes inline
// in its loop, repeat nodes in StartRepeat/ResumeRepeat, counted loops in StepLoop, and
// Backtrack to resume the latest choice point.
//
// The machine never recurses. Every choice it may have to revisit is pushed on a stack on the
// heap, together with an undo trail of the registers it changes (group ends, counted-loop
// counters and depth, loop iteration starts), so that going back to a choice restores exactly
// the state the choice was made in. Single-byte repeats keep one stack entry for all their
// lengths. Two budgets bound a search: the stack's size (reBacktrackStackExceeded) and the
// number of steps (reStepLimitExceeded); a search that exceeds neither runs to its end.
//
// Empty iterations: once an unbounded loop (x*, x+, x{n,} and their lazy forms) has its minimum,
// an iteration that matched the empty string ends it: the match goes on after the loop, keeping
// that iteration's captures. This keeps loops such as (a{0,3})* finite and gives the results of
// Perl-style engines. Bounded loops are finite anyway and follow no such rule.
//
// Thread safety: none; owned by one engine.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "regex/RegexEngine.h"
#include "regex/RegexProgram.h"

// A lead set as a table for scanning: May[b] for every byte; Members counts the bytes other than
// 0 in it, and Only is the last of them (the one to look for with memchr when it is alone).
struct TRegexLeadTable {
  explicit TRegexLeadTable(const std::bitset<256>& lead) {
    for (int b = 0; b < 256; ++b) {
      May[b] = lead[b];
      if (May[b] && b != 0) {
        ++Members;
        Only = static_cast<unsigned char>(b);
      }
    }
  }
  bool May[256];
  int Members = 0;
  unsigned char Only = 0;
};

// Raised by the matcher with an error code; the engine turns it into ReportError(Code).
struct TRegexFault {
  TRegexErrorCode Code;
};

class TRegexMatcher {
 public:
  // Register numbers: group starts, group ends, loop depth, loop counters and iteration starts
  // (indexed by depth 1..kRegexMaxLoopDepth), then one iteration start per choice loop from
  // kRegFixed on. Each range follows from the group count and the loop depth.
  static constexpr int kRegGroupStart = 0;
  static constexpr int kRegGroupEnd = kRegGroupStart + kRegexGroupCount;
  static constexpr int kRegDepth = kRegGroupEnd + kRegexGroupCount;
  static constexpr int kRegCounter = kRegDepth;  // + depth (1..kRegexMaxLoopDepth)
  static constexpr int kRegIterStart = kRegCounter + kRegexMaxLoopDepth;  // + depth
  static constexpr int kRegFixed = kRegIterStart + kRegexMaxLoopDepth + 1;
  static_assert(kRegGroupEnd == 15 && kRegDepth == 30 && kRegIterStart == 40 && kRegFixed == 51,
                "the register map the matcher's trail and its tests were written for");
  // Work units: one step is one node executed or one choice point resumed; scanning or comparing
  // bytes (repeats, literals, back-references, a caseless search for a match's start) costs one
  // step per 2^kBytesPerStepShift bytes (2^(shift+1) for the start scans), so every step stands
  // for a bounded amount of time. Scans that only ever move forward (memchr, memmem) are free.
  static constexpr int kBytesPerStepShift = 3;

  // Decodes `program`, which must stay alive and unchanged while this matcher is used, with the
  // choice loops the compiler marked for guarding. swap_case maps a byte to its other-case
  // partner. Faults reBadOpcode, reBrokenLink and reTooBig (more nodes or registers than a
  // stack entry can name).
  void Load(const std::string& program, const unsigned char* swap_case,
            const std::vector<TRegexLoopGuard>& guards);

  // The search hints of a loaded program.
  // Bytes at which a match may begin (bit 0 = the end of the text). `multiline` is modifier m of
  // the engine's Modifiers; separators and the pair head are what '$' may stand before.
  std::bitset<256> ComputeLeadSet(bool multiline, const std::string& separators, bool pair_assigned,
                                  unsigned char pair_head) const;
  // Single top-level alternative whose first node is OP_LITERAL (its first byte) or
  // OP_TEXT_START; and, when asked, the longest OP_LITERAL on the top-level chain.
  void FirstNodeHints(bool want_required, unsigned char& start_char, bool& anchored,
                      int32_t& required_offset, int32_t& required_length) const;

  // A literal every match begins with (after zero-width nodes), used to jump between candidate
  // positions. Length 0 when there is none.
  uint32_t LeadLiteralLength() const { return lead_len_; }
  // Next position in [from, end) where the lead literal occurs, or nullptr.
  // Charges a step for every occurrence of the rarest byte that turns out not to begin the
  // literal.
  const unsigned char* FindLeadLiteral(const unsigned char* from, const unsigned char* end);

  // One byte of the lead literal that the vector search checks: at Pos, (subject byte | Fold)
  // must equal Byte (Fold 0x20 accepts both cases of a letter).
  struct LeadProbe {
    uint32_t Pos;
    uint8_t Byte;
    uint8_t Fold;
  };

  // Prepares a search over [base, end) (*end must be a 0 byte).
  void BeginSearch(const unsigned char* base, const unsigned char* end, int64_t step_budget,
                   size_t stack_bytes, const std::bitset<256>& separators, bool pair_assigned,
                   unsigned char pair_head, unsigned char pair_tail, const bool* word_table);
  // One attempt at `at`: true with *match_end set on a match; throws TRegexFault. lead_found
  // says that FindLeadLiteral found the lead literal at `at`, which is then not compared again.
  bool Attempt(const unsigned char* at, const unsigned char** match_end, bool lead_found = false);
  // Registers after a successful attempt: group positions as offsets from base, -1 when unset.
  int64_t GroupStart(int n) const { return regs_[kRegGroupStart + n]; }
  int64_t GroupEnd(int n) const { return regs_[kRegGroupEnd + n]; }
  // Counts search work done outside Attempt; throws reStepLimitExceeded when the budget is spent.
  void Charge(int64_t steps) {
    steps_ -= steps;
    if (steps_ < 0) throw TRegexFault{reStepLimitExceeded};
  }
  // Steps of the present search's budget not yet spent (negative once it ran out).
  int64_t StepsLeft() const { return steps_; }

  // The decoded program, for the linear matcher that translates it: nodes in layout order (the
  // first is the top-level OP_CHOICE) and the byte sets their `set` fields index.
  struct Inst {
    uint8_t op = 0;
    uint8_t group = 0;     // group of OPEN/CLOSE/BACKREF
    uint8_t nb_count = 0;  // repeat nodes: bytes the continuation may start with (0 = any)
    uint8_t nb[2] = {0, 0};
    bool next_is_choice = false;  // CHOICE: the next node is a CHOICE too (a backtracking run)
    int32_t next = -1;            // following node, -1 = none
    int32_t min = 0;              // repeat and loop bounds
    int32_t max = 0;
    int32_t aux = -1;   // LOOP: body; JUMP_BACK: where an empty iteration leaves
    int32_t slot = -1;  // choice loops: register the head sets to the cursor at each
                        // iteration start and JUMP_BACK reads
    int32_t set = -1;   // single-byte nodes: index into sets_
    uint32_t text = 0;  // literals: offset of the bytes in the program
    uint32_t len = 0;   // literals: number of bytes
  };
  const std::vector<Inst>& Nodes() const { return insts_; }
  const std::bitset<256>& SetOf(int32_t set) const { return sets_[set]; }
  const unsigned char* ProgramBytes() const { return prog_; }
  bool HasBackReference() const { return has_backref_; }
  unsigned char SwapCase(unsigned char b) const { return swap_[b]; }

  // The present search's subject and its zero-width and line tests, shared by both matchers.
  const unsigned char* Base() const { return base_; }
  const unsigned char* End() const { return end_; }
  // '^' with modifier m: at the start, after a line separator, or after a whole pair; never
  // between the pair's two bytes.
  bool AtLineStart(const unsigned char* cur) const {
    if (cur == base_) return true;
    const unsigned char b = cur[-1];
    if (pair_assigned_ && b == pair_tail_ && cur - 1 > base_ && cur[-2] == pair_head_) return true;
    if (pair_assigned_ && b == pair_head_ && *cur == pair_tail_) return false;
    return separators_[b];
  }
  // '$' with modifier m: at the end, before a line separator, or before a whole pair; never
  // between the pair's two bytes.
  bool AtLineEnd(const unsigned char* cur) const {
    if (cur == end_) return true;
    const unsigned char c = *cur;
    if (pair_assigned_ && c == pair_head_ && cur[1] == pair_tail_) return true;
    if (pair_assigned_ && c == pair_tail_ && cur > base_ && cur[-1] == pair_head_) return false;
    return separators_[c];
  }
  // The word state differs on the two sides of cur (\b).
  bool AtWordEdge(const unsigned char* cur) const {
    return (cur != base_ && word_[cur[-1]]) != (cur != end_ && word_[*cur]);
  }
  // '.' without modifier s takes the byte at cur: neither the end, a separator nor a pair.
  bool InLineAt(const unsigned char* cur) const {
    return cur != end_ && !separators_[*cur] &&
           !(pair_assigned_ && *cur == pair_head_ && cur[1] == pair_tail_);
  }

 private:
  // One stack entry: a trail record (register, old value, old stamp) or a choice point (node,
  // cursor, repeat count, the choice point below it).
  struct Entry {
    uint32_t tag;  // kind << 28 | node or register
    uint32_t aux;  // trail: old stamp; choice point: index of the previous choice point
    int64_t a;     // trail: old value; choice point: cursor offset (repeat: start offset)
    int64_t b;     // repeat: count of repetitions in use
  };
  using ByteSet = std::bitset<256>;

  // Load's passes.
  std::vector<int32_t> Decode(const std::string& program);
  void AnnotateRepeats();
  void GuardEmptyLoops(const std::vector<TRegexLoopGuard>& guards,
                       const std::vector<int32_t>& index_of);
  void ChooseLeadLiteral();
  bool FirstBytes(const Inst& in, ByteSet& bytes) const;
  int32_t SkipZeroWidth(int32_t q) const;

  // Running.
  bool InSet(int32_t set, unsigned char b) const { return sets_[set][b]; }
  bool StartRepeat(int32_t pc, const unsigned char*& cur);
  bool ResumeRepeat(const Entry& e, int32_t& pc, const unsigned char*& cur);
  int32_t StepLoop(int32_t pc, int64_t pos);
  void SetReg(uint32_t r, int64_t v);
  void Push(uint32_t tag, uint32_t aux, int64_t a, int64_t b);
  void PushChoice(uint32_t kind, int32_t node, int64_t a, int64_t b);
  bool Backtrack(int32_t& pc, const unsigned char*& cur);
  int64_t RepeatUnit(const Inst& node, const unsigned char*& capture) const;
  bool RepAt(const Inst& node, const unsigned char* at, int64_t unit, const unsigned char* capture);
  bool NextOk(const Inst& r, const unsigned char* at) const;
  int64_t GreedyCount(const Inst& r, const Inst& node, const unsigned char* start, int64_t unit,
                      const unsigned char* capture);
  int64_t FindGreedy(const Inst& r, const unsigned char* start, int64_t hi, int64_t unit);
  int64_t FindLazy(const Inst& r, const Inst& node, const unsigned char* start, int64_t k,
                   int64_t unit, const unsigned char* capture);
  int64_t LazyLimit(const Inst& r, const unsigned char* start, int64_t unit) const;
  bool EqualCase(const unsigned char* s, const unsigned char* t, size_t n, bool ci) const;

  // Decoded program.
  const unsigned char* prog_ = nullptr;
  std::vector<Inst> insts_;
  std::vector<ByteSet> sets_;
  unsigned char swap_[256];
  int reg_count_ = kRegFixed;
  bool has_backref_ = false;
  // Lead literal: offset, length, case handling, and the byte searched for with memchr.
  uint32_t lead_text_ = 0;
  uint32_t lead_len_ = 0;
  int32_t lead_node_ = -1;
  bool lead_ci_ = false;
  int32_t lead_anchor_ = -1;  // index in the literal of a caseless byte, -1 = none
  LeadProbe probes_[3] = {};  // ascending positions
  int probe_count_ = 0;

  // Search state.
  const unsigned char* base_ = nullptr;
  const unsigned char* end_ = nullptr;
  ByteSet separators_;
  bool pair_assigned_ = false;
  unsigned char pair_head_ = 0;
  unsigned char pair_tail_ = 0;
  const bool* word_ = nullptr;
  std::vector<int64_t> regs_;
  std::vector<uint32_t> stamps_;
  std::vector<Entry> stack_;
  uint32_t top_ = 0;  // index of the topmost choice point
  size_t max_entries_ = 0;
  int64_t steps_ = 0;
};
