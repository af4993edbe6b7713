// The linear-time matcher behind TRegexEngine (internal to src/regex): a Pike VM over the program
// the backtracker decoded, for the searches whose backtracking would take too long. It gives the
// same answer as the backtracker: the leftmost start, then the first match in the backtracker's
// order (alternatives left to right, greedy pieces longest first, lazy ones shortest first), and
// the same groups.
//
// Build translates the decoded nodes once into a small instruction array: consuming
// instructions (one byte each; literals become one instruction per byte), splits in priority
// order, group saves, zero-width tests, and two instructions for the empty-iteration rule (below).
// Counted loops and counted single-byte repeats are unrolled: min mandatory copies of the body,
// then max - min optional ones, or a loop when max is open. Build refuses (returns false) a
// program with a back-reference (no finite automaton can match one), one whose translation
// passes the instruction limit, one with more than ten counted loops nested (the backtracker
// reports that at the point a search reaches it), and one with more than 64 loops that need an
// empty-iteration flag.
//
// Search runs all threads in lockstep over the subject: a list of threads per position, in
// priority order, each a node and its group registers, at most one thread per node. A new thread
// starts at every position where a match may begin, below all older ones; a thread that reaches
// the end of the program cuts every thread below it. Time is O(subject length x instructions)
// (times the flag combinations below, at most 64), whatever the pattern's shape; memory does not
// depend on the subject.
//
// Empty iterations: the backtracker ends an unbounded loop whose iteration matched the empty
// string (see RegexMatcher.h). Here that is a flag per loop that is set where an iteration
// starts and travels along with a thread while it follows zero-width steps at one position;
// consuming a byte clears every flag, so a flag still set at the end of an iteration means
// that the iteration was empty. Where a flag can still be tested, a thread with it and one
// without it have different futures, so the walk at one position tells visits apart by the
// instruction and those flags (Build refuses more than six of them at one instruction).
//
// Thread safety: none; owned by one engine.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "regex/RegexMatcher.h"

class TRegexLinearMatcher {
 public:
  // Translates the program `decoded` holds; false when it cannot be run here (see above) or needs
  // more than max_insts instructions. `decoded` must outlive every Search.
  bool Build(const TRegexMatcher& decoded, size_t max_insts);
  size_t InstructionCount() const { return code_.size(); }

  // Searches the subject of m's present search (TRegexMatcher::BeginSearch) from `from`, trying
  // starts only at bytes of `lead` (bit 0 for the end) and, when anchored, at `from` alone. On a
  // match, fills starts[0..14] and ends[0..14] with group offsets from the base (-1 = unset).
  bool Search(const TRegexMatcher& m, const unsigned char* from, bool anchored,
              const std::bitset<256>& lead, int64_t* starts, int64_t* ends);
  // Instructions the last Search executed.
  int64_t Steps() const { return steps_; }

 private:
  class TTranslator;  // Build's translation of the decoded nodes (RegexLinearMatcher.cpp)

  enum class TOp : uint8_t {
    Match,     // the end of the program
    Byte,      // one byte of tables_[Arg]
    Pair,      // one byte equal to B1 or B2
    InLine,    // one byte that '.' without s takes
    Split,     // X first, then Y
    Goto,      // X (only while building)
    Assert,    // the zero-width node whose opcode is Arg holds here: X
    Save,      // group register Arg = the position: X
    SetFlag,   // flag Arg on: X
    TestFlag,  // flag Arg on: X, else Y
  };
  struct TInst {
    TOp Op = TOp::Goto;
    uint8_t B1 = 0;
    uint8_t B2 = 0;
    int32_t Arg = 0;
    int32_t X = -1;
    int32_t Y = -1;
    uint32_t Mark = 0;      // the first of its marks
    uint64_t Relevant = 0;  // the flags that matter here
  };
  // A list of threads: nodes in priority order, and each one's group registers.
  struct TThreadList {
    std::vector<int32_t> Pcs;
    std::vector<int32_t> Regs;  // ncap_ per thread
    size_t Size = 0;
  };
  // A pending step of the closure walk: explore Pc with flags, or (Pc < 0) put a register back.
  struct TFrame {
    int32_t Pc;
    int32_t Reg;
    int64_t Value;  // flags, or the register's old value
  };

  // Build's steps after the translation; each false refuses the program.
  bool ShortenJumps();
  void MakeByteTables(const TRegexMatcher& decoded);
  bool TrackFlags(int flag_count);
  void RecordClosures();
  uint32_t MarkOf(const TInst& in, uint64_t flags) const;
  void NextGeneration();
  void AddThread(TThreadList& list, int32_t pc, int32_t* regs, int64_t pos);
  bool Holds(const TInst& in, const unsigned char* at) const;

  const TRegexMatcher* m_ = nullptr;
  std::vector<TInst> code_;
  int32_t entry_ = 0;
  int ncap_ = 2;  // registers per thread: start and end of groups 0..highest
  TThreadList lists_[2];
  std::vector<std::array<bool, 256>> tables_;  // TOp::Byte: the matcher's byte sets
  std::vector<uint32_t> mark_;  // generation in which each visit state was last reached
  uint32_t gen_ = 0;
  std::vector<TFrame> frames_;
  int64_t steps_ = 0;
  // Recorded walks (RecordClosures): per instruction, its range of leaves_; each leaf a
  // consuming instruction and its range of saves_, the registers set on the way to it.
  struct TClosure {
    uint32_t Begin;  // its leaves: leaves_[Begin, End)
    uint32_t End;
    bool Cached;
  };
  struct TLeaf {
    int32_t Pc;
    uint32_t SaveBegin;  // the registers saved on the way: saves_[SaveBegin, SaveEnd)
    uint32_t SaveEnd;
  };
  std::vector<TClosure> closure_of_;
  std::vector<TLeaf> leaves_;
  std::vector<uint8_t> saves_;
  bool recording_ = false;
  bool met_test_ = false;  // the walk being recorded met a zero-width test
};
