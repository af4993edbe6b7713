// TRegexEngine: the toolbox's own regular-expression engine for 8-bit text (GBK bytes; the engine
// knows nothing of multi-byte characters, and a 0 byte ends both pattern and subject).
//
// A pattern (Expression) is compiled lazily, at the first search after it or a modifier changed,
// into the byte program of RegexProgram.h; the search operations run it with a backtracking
// matcher that keeps its own stack on the heap, so no pattern and no text can exhaust the
// thread's stack. Results are those of a leftmost, priority-ordered backtracking search: greedy
// pieces try the longest choice first, lazy ones the shortest, alternatives left to right.
//
// Positions reported to callers are 1-based byte offsets into InputString; lengths count bytes.
// Every failure is an ERegexError raised through ReportError (codes and texts in ErrorMessage).
//
// Rules the syntax alone does not settle:
// - A repeat over a back-reference (\1*, \1{2}, \1+?) counts whole copies of the capture; an
//   empty capture repeats for free, an unset group allows zero repetitions only.
// - A 0 byte given by an escape (\x00, \x{}, also inside a class) is a set member that never
//   matches, since no subject holds one.
// - Once an unbounded loop has its minimum, an iteration that matched the empty string ends it
//   (so (a{0,3})* terminates); bounded loops run as written.
// - A search has two budgets, the backtracking stack (error 1016) and the number of steps
//   (error 1017); see SetMatchStackLimit and SetMatchStepLimit.
//
// Thread safety: none. One object serves one thread at a time; distinct objects are independent
// (ReplaceByPattern builds a private one and may run in many threads at once).
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

class TRegexMatcher;
class TRegexLinearMatcher;
struct TRegexLoopGuard;

// The codes of ERegexError::Code, LastErrorCode and ErrorMessage. Codes below
// kRegexFirstSearchError are compile errors, whose messages end with the pattern position; the
// others are search and use errors. Codes marked "never raised" only have a message.
enum TRegexErrorCode : int32_t {
  reNone = 0,                       // "No errors"; never raised
  reNullArgument = 100,             // compile without a pattern text
  reTooBig = 101,                   // more nodes than the matcher can address
  reTooManyGroups = 102,            // a 15th group
  reUnmatchedOpen = 103,            // a group without its ')'
  reUnmatchedClose = 104,           // a ')' without its group
  reJunkOnEnd = 105,                // text the top level could not parse
  reEmptyOperand = 106,             // *, + or {} over a piece that can be empty
  reNestedQuantifier = 107,         // a quantifier right after a quantifier
  reBadHexDigit = 108,              // \x followed by a byte that is no hex digit
  reInvalidRange = 109,             // a class range whose end is below its start
  reClassTrailingBackslash = 110,   // '\' ending the text inside a class
  reNoHexCode = 111,                // \x without its digits
  reHexCodeTooBig = 112,            // \x{...} above 0xFF
  reUnmatchedBracket = 113,         // a class without its ']'
  reInternalUrp = 114,              // an atom at the end, at ')' or at '|'
  reNothingToRepeat = 115,          // a pattern or group starting with *, + or ?
  reTrailingBackslash = 116,        // '\' ending the pattern
  reEmptyLiteral = 119,             // an empty literal run
  reBracesTooBig = 122,             // a {} number of more than 8 digits
  reBracesMinOverMax = 124,         // {n,m} with n > m
  reUnclosedComment = 125,          // (?# without its ')'
  reComplexBraces = 126,            // never raised
  reBadModifier = 127,              // (?...) with a byte that is no modifier letter
  reBadLinePair = 128,              // LinePairedSeparator of other than two different bytes
  reBadRepeatOperand = 1000,        // a repeat node over a node it cannot count
  reBadOpcode = 1001,               // an invalid opcode in the program
  reBrokenLink = 1002,              // a link that leaves the program, or no OP_END at the end
  reNoExpression = 1003,            // search or expansion without an Expression
  reCorruptedProgram = 1004,        // a program without the magic byte
  reNoInputString = 1005,           // search or expansion without an InputString
  reOffsetBelowOne = 1006,          // ExecPos with an offset below 1
  reNoLastMatch = 1007,             // ExecNext without a last match
  reInputStringMissing = 1008,      // never raised
  reBadDumpOpcode = 1011,           // never raised
  reBadModifierIndex = 1013,        // a modifier index outside 1..6 (message "Unknown error")
  reLoopStackExceeded = 1014,       // an 11th counted loop active at once
  reLoopWithoutEntry = 1015,        // a loop node with no active counted loop
  reBacktrackStackExceeded = 1016,  // the backtracking stack's budget spent
  reStepLimitExceeded = 1017,       // the search's step budget spent
  reBadPCode = 2000,                // never raised
};
constexpr int32_t kRegexFirstSearchError = reBadRepeatOperand;

// What the engine raises. Code is the error code of ErrorMessage; Position is the 0-based parse
// offset for compile errors (codes below kRegexFirstSearchError) and 0 otherwise.
class ERegexError : public Exception {
 public:
  ERegexError(std::string message, int32_t code, int32_t position)
      : Exception(std::move(message)), Code(code), Position(position) {}

  int32_t Code;
  int32_t Position;
};

// Other-case partner of a byte: upper case if that changes it, else lower case (ASCII only; GBK
// bytes have no case).
unsigned char DefaultSwapCase(unsigned char b);

class TRegexEngine {
 public:
  // Modifier bits; SetModifier/GetModifier take the index (1..6) instead.
  static constexpr uint32_t kModI = 1;   // 1 'i': letter case ignored
  static constexpr uint32_t kModR = 2;   // 2 'r': Cyrillic letter ranges in classes
  static constexpr uint32_t kModS = 4;   // 3 's': '.' matches line separators too
  static constexpr uint32_t kModG = 8;   // 4 'g': quantifiers greedy (off: all lazy)
  static constexpr uint32_t kModM = 16;  // 5 'm': '^' and '$' also at line separators
  static constexpr uint32_t kModX = 32;  // 6 'x': white space and '#' comments ignored

  TRegexEngine();
  virtual ~TRegexEngine();
  TRegexEngine(const TRegexEngine&) = delete;
  TRegexEngine& operator=(const TRegexEngine&) = delete;

  // --- The pattern ---------------------------------------------------------------------------

  // Sets the pattern (only the bytes before a 0 byte count); an empty text leaves none, and the
  // next search then raises 1003. A different text discards the compiled program.
  void SetExpression(const std::string& expression);
  const std::string& Expression() const { return expression_; }
  // Modifier by index 1..6 (i r s g m x); any other index raises 1013. Setting compiles
  // nothing: the next search notices the change and recompiles.
  void SetModifier(int index, bool on);
  bool GetModifier(int index);
  uint32_t Modifiers() const { return modifiers_; }
  // Applies modifier letters ("i", "-ix", ...) to `modifiers`: letters switch their bit on, or
  // off after a '-'. False at the first other byte (bits changed before it stay changed).
  static bool ApplyModifierString(std::string_view letters, uint32_t& modifiers);
  // The two-byte line separator treated as one line break (CR LF by default): two different
  // bytes set it, the empty text clears it, anything else raises 128.
  void SetLinePairedSeparator(const std::string& pair);
  std::string LinePairedSeparator() const;
  const std::string& SpaceCharacters() const { return space_chars_; }
  const std::string& WordCharacters() const { return word_chars_; }
  const std::string& LineSeparatorCharacters() const { return line_separators_; }
  // While compiling: the 0-based count of pattern bytes consumed; 0 otherwise.
  int ErrorPosition() const;
  // Compiles now if the program is missing or stale, raising what a search would raise.
  void Compile() { EnsureProgram(); }

  // --- The compiled program and its search hints (valid after a compile) ----------------------

  const std::string& CompiledProgram() const { return program_; }
  // DumpRegexProgram of the present program (empty when there is none).
  std::string DumpProgram() const;
  // Every match begins with this byte (0 = no such hint).
  unsigned char StartChar() const { return start_char_; }
  // A match can only begin at the start of the text.
  bool AnchoredStart() const { return anchored_start_; }
  // A literal every match contains (empty = none).
  std::string RequiredText() const;
  // Bytes at which a match may begin; bit 0 stands for the end of the text.
  const std::bitset<256>& LeadSet() const { return lead_set_; }

  // --- Searching -----------------------------------------------------------------------------

  // Stores a private copy of the subject (seen up to its first 0 byte) and forgets the groups.
  void SetInputString(const std::string& text);
  const std::string& InputString() const { return input_; }
  // SetInputString(text), then ExecPos(1).
  bool Exec(const std::string& text);
  // Searches InputString from 1-based `offset`; true when a match was found (the groups then
  // describe it). Offset below 1 raises 1006; past the end + 1 gives false.
  bool ExecPos(int offset);
  // Searches again after the last match (one byte further after an empty one); raises 1007
  // when there is no last match.
  bool ExecNext();
  // Highest group 1..14 that took part in the last match, 0 when none, -1 without InputString.
  int LastMatchedGroup() const;
  // Group n (0..14) of the last match: 1-based start, length in bytes, and its bytes; -1, -1 and
  // the empty text when n is out of range, there is no InputString, or the group is unset.
  int MatchStart(int n) const;
  int MatchLength(int n) const;
  std::string MatchText(int n) const;

  // --- Substitution --------------------------------------------------------------------------

  // The template filled from the last match: $n, ${n}, $& and ${&} insert groups, '\' quotes
  // the next byte. Needs a program (1003) and an InputString (1005).
  std::string ExpandTemplate(const std::string& tmpl);
  // `input` with every match (letter case ignored: this switches modifier i on for good)
  // replaced by `replacement`, expanded as a template when useTemplate.
  std::string ReplaceMatches(const std::string& input, const std::string& replacement,
                             bool useTemplate);

  // --- Errors --------------------------------------------------------------------------------

  // Records `code` in LastErrorCode and raises ERegexError; never returns.
  [[noreturn]] virtual void ReportError(int code);
  // Text of an error code ("Unknown error" for codes not in the table).
  virtual std::string ErrorMessage(int code) const;
  int LastErrorCode() const { return last_error_code_; }

  // --- Work limits of one search --------------------------------------------------------------

  // Steps one search (ExecPos and what calls it) may take before it raises 1017. A step is one
  // node executed or one choice point resumed; scanning or comparing bytes costs one step per 8
  // to 16 bytes (a back-reference by the length of the capture it compares), except the scans
  // for a match's start that only ever move forward (memchr, memmem). 0 (the default) sizes
  // the budget with DefaultStepBudget.
  void SetMatchStepLimit(int64_t steps) { step_limit_ = steps; }
  // The default budget: kStepBudgetBase plus kStepBudgetPerByte for each subject byte, counting
  // at most kStepBudgetSubjectCap bytes. At the cap (the largest page the program fetches) a
  // search that exhausts it ends after about a second on a 2.7 GHz core of our build machine;
  // linear searches over bigger subjects may run out where they would have finished.
  static int64_t DefaultStepBudget(size_t subject_length);
  static constexpr int64_t kStepBudgetBase = 20'000'000;
  static constexpr int64_t kStepBudgetPerByte = 32;
  static constexpr size_t kStepBudgetSubjectCap = size_t{8} << 20;
  // Steps the last search spent, one that raised included (0 before any search).
  int64_t SearchSteps() const { return search_steps_; }
  // Bytes the backtracking stack of one search may take before it raises 1016 (default 128 MiB).
  void SetMatchStackLimit(size_t bytes) { stack_limit_ = bytes; }

  // --- The linear matcher ----------------------------------------------------------------------

  // What a search without back-references lets the backtracker spend before it goes on with the
  // linear matcher: kFirstStepBase plus kFirstStepsPerByte for each subject byte (capped as the
  // default budget is), never more than the step budget itself. The program's own rules take
  // well under one step per byte.
  static int64_t FirstStepBudget(size_t subject_length);
  static constexpr int64_t kFirstStepBase = 10'000;
  static constexpr int64_t kFirstStepsPerByte = 4;
  // The linear matcher takes a pattern only if it translates into at most this many
  // instructions, counted loops and counted repeats unrolled (a{1000} takes 1000, (ab|c){2,5}
  // about 40); past it, and with more than ten counted loops nested, the backtracker alone runs.
  static constexpr size_t kLinearInstructionLimit = 4096;
  // For tests: searches go to the linear matcher at once when it takes the pattern.
  void SetLinearFirst(bool on) { linear_first_ = on; }
  // Debug counter: searches in this process that the linear matcher answered.
  static uint64_t LinearSearchCount();

 private:
  // ReportError, which an override could (wrongly) let return.
  [[noreturn]] void Raise(TRegexErrorCode code);

  // Compile (RegexCompiler.cpp).
  bool EnsureProgram();
  void CompileProgram();
  int32_t ParseReg(bool group, int& flags);
  int32_t ParseSequence(int& flags);
  int32_t ParseRepeat(int& flags);
  int32_t ParseAtom(int& flags);
  int32_t ParseClass();
  int32_t ParseLiteralRun(int& flags);
  int32_t EmitClass(const std::bitset<256>& members, bool exclude);
  unsigned char ParseEscapedByte();
  bool ParseBraces(int32_t& min, int32_t& max);
  int32_t EmitNode(uint8_t opcode);
  void EmitByte(uint8_t b);
  void EmitInt(int32_t v);
  void InsertOperator(uint8_t opcode, int32_t at, int size);
  void Tail(int32_t p, int32_t q);
  void OpTail(int32_t p, int32_t q);
  void LinkLoop(int32_t entry, int32_t min, int32_t max, bool lazy);
  void GuardLoop(int32_t jump, int32_t exit);
  void DiscardProgram();
  void DeriveHints(bool starts_repeat);

  // Search.
  bool Search(const unsigned char* p, const unsigned char* end);
  bool Backtrack(const unsigned char* p, const unsigned char* end, int64_t budget,
                 TRegexErrorCode* gave_up);
  bool LinearReady();
  bool SearchLinear(const unsigned char* from);
  // One attempt at `at`; lead_found: the lead literal was found there.
  bool Attempt(const unsigned char* at, bool lead_found = false);
  void ClearGroups();
  bool GroupSet(int n) const;

  // Pattern state.
  std::string expression_;
  uint32_t modifiers_;
  uint32_t compile_modifiers_ = 0;
  uint32_t program_modifiers_ = 0;
  std::string program_;
  bool compiled_ = false;
  std::string space_chars_;
  std::string word_chars_;
  std::string line_separators_;
  bool pair_assigned_ = true;
  unsigned char pair_head_ = '\r';
  unsigned char pair_tail_ = '\n';
  unsigned char swap_case_[256];
  bool word_table_[256];            // members of WordCharacters
  std::bitset<256> separator_set_;  // SeparatorSet: members of LineSeparatorCharacters

  // Compiler cursor; parse_start_ is null unless compiling.
  const unsigned char* parse_start_ = nullptr;
  const unsigned char* parse_point_ = nullptr;
  int next_group_number_ = 1;
  bool counting_ = false;  // pass 1: emitting only adds to program_size_
  int64_t program_size_ = 0;
  int64_t emit_point_ = 0;                    // pass 2: where the next byte goes
  std::vector<TRegexLoopGuard> loop_guards_;  // pass 2: the choice loops to guard

  // Search hints.
  unsigned char start_char_ = 0;
  bool anchored_start_ = false;
  int32_t required_text_ = -1;  // offset of the literal's bytes in program_, -1 = none
  int32_t required_length_ = 0;
  std::bitset<256> lead_set_;

  // Subject and groups; positions are offsets into input_, -1 = none.
  std::string input_;
  bool has_input_ = false;
  size_t subject_length_ = 0;
  int64_t group_start_[15];
  int64_t group_end_[15];

  std::unique_ptr<TRegexMatcher> matcher_;
  // Built at the first search that needs it; reset by every compile.
  std::unique_ptr<TRegexLinearMatcher> linear_;
  enum { kLinearUnbuilt, kLinearReady, kLinearRefused } linear_state_ = kLinearUnbuilt;
  bool linear_first_ = false;
  // The backtracker gave up on this program and subject: later searches (ExecNext) go linear
  // at once.
  bool linear_sticky_ = false;
  // Positions before this one hold no match (the backtracking search has tried them).
  const unsigned char* resume_ = nullptr;
  int64_t step_limit_ = 0;
  int64_t search_steps_ = 0;
  size_t stack_limit_ = size_t{128} << 20;
  int last_error_code_ = 0;
};

// One-shot replacement with a private engine: pattern compiled with modifier i on, every match
// in `input` replaced (see ReplaceMatches). Errors propagate.
std::string ReplaceByPattern(const std::string& pattern, const std::string& input,
                             const std::string& replacement, bool useTemplate);
