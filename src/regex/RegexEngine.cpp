#include "regex/RegexEngine.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <optional>

#include "regex/RegexLinearMatcher.h"
#include "regex/RegexMatcher.h"
#include "regex/RegexProgram.h"
#include "runtime/StrUtils.h"

namespace {

// Engine-wide defaults, read at construction.
constexpr uint32_t kDefaultModifiers =
    TRegexEngine::kModR | TRegexEngine::kModS | TRegexEngine::kModG;
constexpr char kDefaultSpaces[] = " \t\n\r\f";
constexpr char kDefaultWordChars[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
constexpr char kDefaultLineSeparators[] = "\r\n";

// The engine sees at most this many subject bytes, so that every position fits an int.
constexpr size_t kMaxSubject = INT_MAX - 2;

std::atomic<uint64_t> g_linear_searches{0};

// Bits of modifier indices 1..6, or 0 for other indices.
uint32_t ModifierBit(int index) { return (index >= 1 && index <= 6) ? 1u << (index - 1) : 0; }

}  // namespace

unsigned char DefaultSwapCase(unsigned char b) {
  const auto up = static_cast<unsigned char>(UpChar(static_cast<char>(b)));
  if (up != b) return up;
  return static_cast<unsigned char>(LowChar(static_cast<char>(b)));
}

TRegexEngine::TRegexEngine()
    : modifiers_(kDefaultModifiers),
      space_chars_(kDefaultSpaces),
      word_chars_(kDefaultWordChars),
      line_separators_(kDefaultLineSeparators),
      matcher_(std::make_unique<TRegexMatcher>()) {
  for (int b = 0; b < 256; ++b) {
    swap_case_[b] = DefaultSwapCase(static_cast<unsigned char>(b));
    word_table_[b] = false;
  }
  for (const char c : word_chars_) word_table_[static_cast<unsigned char>(c)] = true;
  // The line separators never change after construction.
  for (const char c : line_separators_) separator_set_.set(static_cast<unsigned char>(c));
  ClearGroups();
}

TRegexEngine::~TRegexEngine() = default;

// --- Pattern and modifiers ----------------------------------------------------------------------

void TRegexEngine::SetExpression(const std::string& expression) {
  const std::string text(expression.c_str());  // the pattern ends at its first 0 byte
  if (text == expression_ && compiled_) return;
  compiled_ = false;
  expression_ = text;
  DiscardProgram();
}

void TRegexEngine::SetModifier(int index, bool on) {
  const uint32_t bit = ModifierBit(index);
  if (bit == 0) Raise(reBadModifierIndex);
  modifiers_ = on ? (modifiers_ | bit) : (modifiers_ & ~bit);
}

bool TRegexEngine::GetModifier(int index) {
  const uint32_t bit = ModifierBit(index);
  if (bit == 0) Raise(reBadModifierIndex);
  return (modifiers_ & bit) != 0;
}

bool TRegexEngine::ApplyModifierString(std::string_view letters, uint32_t& modifiers) {
  bool on = true;
  for (const char c : letters) {
    uint32_t bit;
    switch (c) {
      case '-':
        on = false;
        continue;
      case 'i':
      case 'I':
        bit = kModI;
        break;
      case 'r':
      case 'R':
        bit = kModR;
        break;
      case 's':
      case 'S':
        bit = kModS;
        break;
      case 'g':
      case 'G':
        bit = kModG;
        break;
      case 'm':
      case 'M':
        bit = kModM;
        break;
      case 'x':
      case 'X':
        bit = kModX;
        break;
      default:
        return false;
    }
    modifiers = on ? (modifiers | bit) : (modifiers & ~bit);
  }
  return true;
}

void TRegexEngine::SetLinePairedSeparator(const std::string& pair) {
  if (pair.empty()) {
    if (pair_assigned_) {
      pair_assigned_ = false;
      DiscardProgram();
    }
    return;
  }
  if (pair.size() != 2 || pair[0] == pair[1]) Raise(reBadLinePair);
  const auto head = static_cast<unsigned char>(pair[0]);
  const auto tail = static_cast<unsigned char>(pair[1]);
  if (pair_assigned_ && head == pair_head_ && tail == pair_tail_) return;
  pair_head_ = head;
  pair_tail_ = tail;
  pair_assigned_ = true;
  DiscardProgram();
}

std::string TRegexEngine::LinePairedSeparator() const {
  if (!pair_assigned_) return std::string();
  return std::string{static_cast<char>(pair_head_), static_cast<char>(pair_tail_)};
}

int TRegexEngine::ErrorPosition() const {
  if (parse_start_ == nullptr) return 0;
  return static_cast<int>(parse_point_ - parse_start_);
}

std::string TRegexEngine::DumpProgram() const {
  if (program_.empty()) return std::string();
  return DumpRegexProgram(program_);
}

std::string TRegexEngine::RequiredText() const {
  if (required_text_ < 0 || program_.empty()) return std::string();
  return program_.substr(static_cast<size_t>(required_text_),
                         static_cast<size_t>(required_length_));
}

void TRegexEngine::DiscardProgram() {
  program_.clear();
  compiled_ = false;
  linear_.reset();
  linear_state_ = kLinearUnbuilt;
  linear_sticky_ = false;
  start_char_ = 0;
  anchored_start_ = false;
  required_text_ = -1;
  required_length_ = 0;
  lead_set_.reset();
}

bool TRegexEngine::EnsureProgram() {
  if (modifiers_ != program_modifiers_) DiscardProgram();
  if (program_.empty()) {
    if (expression_.empty()) Raise(reNoExpression);
    CompileProgram();
  }
  if (static_cast<unsigned char>(program_[0]) != kRegexMagic) Raise(reCorruptedProgram);
  return true;
}

// --- Searching ----------------------------------------------------------------------------------

void TRegexEngine::ClearGroups() {
  std::fill(std::begin(group_start_), std::end(group_start_), -1);
  std::fill(std::begin(group_end_), std::end(group_end_), -1);
}

bool TRegexEngine::GroupSet(int n) const {
  return has_input_ && n >= 0 && n < kRegexGroupCount && group_start_[n] >= 0 &&
         group_end_[n] >= group_start_[n];
}

void TRegexEngine::SetInputString(const std::string& text) {
  ClearGroups();
  input_ = text;
  has_input_ = true;
  linear_sticky_ = false;
  const void* nul = std::memchr(input_.data(), 0, input_.size());
  subject_length_ = nul ? static_cast<const char*>(nul) - input_.data() : input_.size();
  subject_length_ = std::min(subject_length_, kMaxSubject);
}

bool TRegexEngine::Exec(const std::string& text) {
  SetInputString(text);
  return ExecPos(1);
}

bool TRegexEngine::ExecNext() {
  if (!has_input_ || group_start_[0] < 0 || group_end_[0] < 0) Raise(reNoLastMatch);
  int64_t offset = group_end_[0] + 1;
  if (group_end_[0] == group_start_[0]) ++offset;
  return ExecPos(static_cast<int>(std::min<int64_t>(offset, INT_MAX)));
}

bool TRegexEngine::ExecPos(int offset) {
  ClearGroups();
  search_steps_ = 0;
  EnsureProgram();
  if (!has_input_) Raise(reNoInputString);
  const size_t len = subject_length_;
  if (offset < 1) Raise(reOffsetBelowOne);
  if (static_cast<size_t>(offset) > len + 1) return false;

  // The subject's byte at `len` is 0: either the one that ended it or the string's terminator.
  const auto* base = reinterpret_cast<const unsigned char*>(input_.c_str());
  const unsigned char* end = base + len;
  const unsigned char* p = base + (offset - 1);
  if (required_text_ >= 0) {
    const auto* req = reinterpret_cast<const unsigned char*>(program_.data()) + required_text_;
    if (memmem(p, end - p, req, required_length_) == nullptr) return false;
  }

  const int64_t budget = step_limit_ > 0 ? step_limit_ : DefaultStepBudget(len);
  const bool linear = !matcher_->HasBackReference() && linear_state_ != kLinearRefused;
  if (!linear) return Backtrack(p, end, budget, nullptr);
  if (linear_first_ || linear_sticky_) {
    matcher_->BeginSearch(base, end, budget, stack_limit_, separator_set_, pair_assigned_,
                          pair_head_, pair_tail_, word_table_);
    if (LinearReady()) return SearchLinear(p);
    return Backtrack(p, end, budget, nullptr);
  }
  // The backtracker first, on a small budget; where it gives up, the linear matcher goes on.
  const int64_t first = std::min(budget, FirstStepBudget(len));
  TRegexErrorCode gave_up = reNone;
  const bool found = Backtrack(p, end, first, &gave_up);
  if (gave_up == reNone) return found;
  const unsigned char* from = resume_;
  const int64_t spent = search_steps_;
  if (LinearReady()) {
    linear_sticky_ = true;
    const bool linear_found = SearchLinear(from);
    search_steps_ += spent;
    return linear_found;
  }
  // Not for the linear matcher after all: the backtracker goes on with what is left.
  if (first >= budget) Raise(gave_up);
  const bool rest_found = Backtrack(from, end, budget - spent, nullptr);
  search_steps_ += spent;
  return rest_found;
}

// One backtracking search from p with `budget` steps. Raises the matcher's faults, except that
// running out of steps or stack only sets *gave_up when it is given.
bool TRegexEngine::Backtrack(const unsigned char* p, const unsigned char* end, int64_t budget,
                             TRegexErrorCode* gave_up) {
  const auto* base = reinterpret_cast<const unsigned char*>(input_.c_str());
  matcher_->BeginSearch(base, end, budget, stack_limit_, separator_set_, pair_assigned_, pair_head_,
                        pair_tail_, word_table_);
  resume_ = p;
  bool found = false;
  std::optional<TRegexErrorCode> fault;
  try {
    found = Search(p, end);
  } catch (const TRegexFault& f) {
    fault = f.Code;
  }
  search_steps_ = budget - matcher_->StepsLeft();
  if (fault) {
    ClearGroups();
    if (gave_up != nullptr &&
        (*fault == reStepLimitExceeded || *fault == reBacktrackStackExceeded)) {
      *gave_up = *fault;
      return false;
    }
    Raise(*fault);
  }
  return found;
}

// Builds the linear matcher for the present program once; false when it refuses the program.
bool TRegexEngine::LinearReady() {
  if (linear_state_ == kLinearUnbuilt) {
    linear_ = std::make_unique<TRegexLinearMatcher>();
    const bool ok = linear_->Build(*matcher_, kLinearInstructionLimit);
    linear_state_ = ok ? kLinearReady : kLinearRefused;
    if (!ok) linear_.reset();
  }
  return linear_state_ == kLinearReady;
}

// The linear matcher's search from `from` (BeginSearch done); fills the groups.
bool TRegexEngine::SearchLinear(const unsigned char* from) {
  g_linear_searches.fetch_add(1, std::memory_order_relaxed);
  int64_t starts[kRegexGroupCount];
  int64_t ends[kRegexGroupCount];
  const bool found = linear_->Search(*matcher_, from, anchored_start_, lead_set_, starts, ends);
  search_steps_ = linear_->Steps();
  if (!found) return false;
  std::copy(std::begin(starts), std::end(starts), std::begin(group_start_));
  std::copy(std::begin(ends), std::end(ends), std::begin(group_end_));
  return true;
}

uint64_t TRegexEngine::LinearSearchCount() {
  return g_linear_searches.load(std::memory_order_relaxed);
}

int64_t TRegexEngine::FirstStepBudget(size_t subject_length) {
  const auto counted = static_cast<int64_t>(std::min(subject_length, kStepBudgetSubjectCap));
  return kFirstStepBase + kFirstStepsPerByte * counted;
}

int64_t TRegexEngine::DefaultStepBudget(size_t subject_length) {
  const auto counted = static_cast<int64_t>(std::min(subject_length, kStepBudgetSubjectCap));
  return kStepBudgetBase + kStepBudgetPerByte * counted;
}

// Tries the positions from p on, cheapest way first: only p when the pattern is anchored, the
// occurrences of the lead literal, or the bytes of the lead set.
bool TRegexEngine::Search(const unsigned char* p, const unsigned char* end) {
  if (anchored_start_) return Attempt(p);
  if (matcher_->LeadLiteralLength() > 0) {
    // Every match begins with this literal (a StartChar hint always has one): jump from one
    // occurrence to the next.
    for (const unsigned char* q = p; (q = matcher_->FindLeadLiteral(resume_ = q, end)) != nullptr;
         ++q) {
      if (Attempt(resume_ = q, true)) return true;
    }
    return false;
  }
  if (lead_set_.all()) {
    for (const unsigned char* q = p; q <= end; ++q) {
      if (Attempt(resume_ = q)) return true;
    }
    return false;
  }
  const TRegexLeadTable table(lead_set_);
  const bool* lead = table.May;
  const unsigned char* q = p;
  while (q < end) {
    resume_ = q;
    if (table.Members == 1) {
      q = static_cast<const unsigned char*>(std::memchr(q, table.Only, end - q));
      if (q == nullptr) break;
    } else {
      const unsigned char* scan = q;
      while (scan < end && !lead[*scan]) ++scan;
      matcher_->Charge((scan - q) >> (TRegexMatcher::kBytesPerStepShift + 1));
      q = scan;
      if (q == end) break;
    }
    if (Attempt(resume_ = q)) return true;
    ++q;
  }
  // The end of the text is a position too; the lead set's bit 0 stands for it.
  return lead[0] && Attempt(resume_ = end);
}

bool TRegexEngine::Attempt(const unsigned char* at, bool lead_found) {
  const unsigned char* match_end = nullptr;
  if (!matcher_->Attempt(at, &match_end, lead_found)) return false;
  const auto* base = reinterpret_cast<const unsigned char*>(input_.c_str());
  for (int n = 1; n < kRegexGroupCount; ++n) {
    group_start_[n] = matcher_->GroupStart(n);
    group_end_[n] = matcher_->GroupEnd(n);
  }
  group_start_[0] = at - base;
  group_end_[0] = match_end - base;
  return true;
}

int TRegexEngine::LastMatchedGroup() const {
  if (!has_input_) return -1;
  for (int n = kRegexGroupCount - 1; n >= 1; --n) {
    if (group_start_[n] >= 0 && group_end_[n] >= 0) return n;
  }
  return 0;
}

int TRegexEngine::MatchStart(int n) const {
  if (!GroupSet(n)) return -1;
  return static_cast<int>(group_start_[n] + 1);
}

int TRegexEngine::MatchLength(int n) const {
  if (!GroupSet(n)) return -1;
  return static_cast<int>(group_end_[n] - group_start_[n]);
}

std::string TRegexEngine::MatchText(int n) const {
  if (!GroupSet(n)) return std::string();
  return input_.substr(static_cast<size_t>(group_start_[n]),
                       static_cast<size_t>(group_end_[n] - group_start_[n]));
}

// --- Substitution -------------------------------------------------------------------------------

std::string TRegexEngine::ExpandTemplate(const std::string& tmpl) {
  EnsureProgram();
  if (!has_input_) Raise(reNoInputString);
  std::string out;
  const size_t n = tmpl.size();
  size_t i = 0;
  while (i < n) {
    const char b = tmpl[i];
    if (b == '$') {
      size_t j = i + 1;
      const bool brace = j < n && tmpl[j] == '{';
      if (brace) ++j;
      uint32_t group = 0;  // 32-bit arithmetic: long numbers wrap and name no group
      if (j < n && tmpl[j] == '&') {
        ++j;
      } else {
        while (j < n && tmpl[j] >= '0' && tmpl[j] <= '9') {
          group = group * 10 + static_cast<uint32_t>(tmpl[j] - '0');
          ++j;
        }
      }
      bool valid = j > i + 1;
      if (brace) {
        if (j < n && tmpl[j] == '}') {
          ++j;
        } else {
          valid = false;
        }
      }
      if (!valid) {
        out += '$';
        ++i;
        continue;
      }
      const auto g = static_cast<int32_t>(group);
      if (g >= 0 && g < kRegexGroupCount) out += MatchText(g);
      i = j;
    } else if (b == '\\' && i + 1 < n) {
      out += tmpl[i + 1];
      i += 2;
    } else {
      out += b;
      ++i;
    }
  }
  return out;
}

std::string TRegexEngine::ReplaceMatches(const std::string& input, const std::string& replacement,
                                         bool useTemplate) {
  std::string result;
  SetModifier(1, true);
  size_t prev = 1;
  if (Exec(input)) {
    do {
      const auto start = static_cast<size_t>(MatchStart(0));
      result.append(input, prev - 1, start - prev);
      if (useTemplate) {
        result += ExpandTemplate(replacement);
      } else {
        result += replacement;
      }
      prev = start + static_cast<size_t>(MatchLength(0));
    } while (ExecNext());
  }
  if (prev - 1 < input.size()) result.append(input, prev - 1, std::string::npos);
  return result;
}

std::string ReplaceByPattern(const std::string& pattern, const std::string& input,
                             const std::string& replacement, bool useTemplate) {
  TRegexEngine engine;
  engine.SetExpression(pattern);
  engine.SetModifier(1, true);
  return engine.ReplaceMatches(input, replacement, useTemplate);
}

// --- Errors -------------------------------------------------------------------------------------

void TRegexEngine::ReportError(int code) {
  last_error_code_ = code;
  const int position = ErrorPosition();
  std::string message = ErrorMessage(code);
  if (code < kRegexFirstSearchError) message += " (pos " + std::to_string(position) + ")";
  throw ERegexError(std::move(message), code, position);
}

void TRegexEngine::Raise(TRegexErrorCode code) {
  ReportError(code);
  // Only an override that broke ReportError's contract gets here.
  throw ERegexError(ErrorMessage(code), code, ErrorPosition());
}

std::string TRegexEngine::ErrorMessage(int code) const {
  switch (code) {
    case reNone:
      return "No errors";
    case reNullArgument:
      return "TRegexEngine(comp): Null Argument";
    case reTooBig:
      return "TRegexEngine(comp): Regexp Too Big";
    case reTooManyGroups:
      return "TRegexEngine(comp): ParseReg Too Many ()";
    case reUnmatchedOpen:
    case reUnmatchedClose:
      return "TRegexEngine(comp): ParseReg Unmatched ()";
    case reJunkOnEnd:
      return "TRegexEngine(comp): ParseReg Junk On End";
    case reEmptyOperand:
      return "TRegexEngine(comp): *+ Operand Could Be Empty";
    case reNestedQuantifier:
      return "TRegexEngine(comp): Nested *?+";
    case reBadHexDigit:
      return "TRegexEngine(comp): Bad Hex Digit";
    case reInvalidRange:
      return "TRegexEngine(comp): Invalid [] Range";
    case reClassTrailingBackslash:
      return "TRegexEngine(comp): Parse Atom Trailing \\";
    case reNoHexCode:
      return "TRegexEngine(comp): No Hex Code After \\x";
    case reHexCodeTooBig:
      return "TRegexEngine(comp): Hex Code After \\x Is Too Big";
    case reUnmatchedBracket:
      return "TRegexEngine(comp): Unmatched []";
    case reInternalUrp:
      return "TRegexEngine(comp): Internal Urp";
    case reNothingToRepeat:
      return "TRegexEngine(comp): ?+*{ Follows Nothing";
    case reTrailingBackslash:
      return "TRegexEngine(comp): Trailing \\";
    case reEmptyLiteral:
      return "TRegexEngine(comp): RarseAtom Internal Disaster";
    case reBracesTooBig:
      return "TRegexEngine(comp): BRACES Argument Too Big";
    case reBracesMinOverMax:
      return "TRegexEngine(comp): BRACE Min Param Greater then Max";
    case reUnclosedComment:
      return "TRegexEngine(comp): Unclosed (?#Comment)";
    case reComplexBraces:
      return "TRegexEngine(comp): If you want take part in beta-testing BRACES '{min,max}' and "
             "non-greedy ops '*?', '+?', '?\?' for complex cases - enable the complex braces "
             "option";
    case reBadModifier:
      return "TRegexEngine(comp): Urecognized Modifier";
    case reBadLinePair:
      return "TRegexEngine(comp): LinePairedSeparator must countain two different chars or no "
             "chars at all";
    case reBadRepeatOperand:
      return "TRegexEngine(exec): RegRepeat Called Inappropriately";
    case reBadOpcode:
      return "TRegexEngine(exec): MatchPrim Memory Corruption";
    case reBrokenLink:
      return "TRegexEngine(exec): MatchPrim Corrupted Pointers";
    case reNoExpression:
      return "TRegexEngine(exec): Not Assigned Expression Property";
    case reCorruptedProgram:
      return "TRegexEngine(exec): Corrupted Program";
    case reNoInputString:
      return "TRegexEngine(exec): No Input String Specified";
    case reOffsetBelowOne:
      return "TRegexEngine(exec): Offset Must Be Greater Then 0";
    case reNoLastMatch:
      return "TRegexEngine(exec): ExecNext Without Exec[Pos]";
    case reInputStringMissing:
      return "TRegexEngine(exec): GetInputString Without InputString";
    case reBadDumpOpcode:
      return "TRegexEngine(dump): Corrupted Opcode";
    case reLoopStackExceeded:
      return "TRegexEngine(exec): Loop Stack Exceeded";
    case reLoopWithoutEntry:
      return "TRegexEngine(exec): Loop Without LoopEntry !";
    // The work limits of one search (SetMatchStackLimit, SetMatchStepLimit).
    case reBacktrackStackExceeded:
      return "TRegexEngine(exec): Backtrack Stack Exceeded";
    case reStepLimitExceeded:
      return "TRegexEngine(exec): Match Step Limit Exceeded";
    case reBadPCode:
      return "TRegexEngine(misc): Bad p-code imported";
    default:
      return "Unknown error";
  }
}
