// The compiler half of TRegexEngine: a recursive-descent parser that emits the byte program of
// RegexProgram.h in two passes. Pass 1 only counts bytes; pass 2 writes them into a buffer of
// exactly that size. Both passes run the same parse, so every emitting step must depend only
// on the pattern and on state that is reset between the passes (modifiers, cursor, group
// numbers). Linking (Tail, OpTail) happens in pass 2 alone.
//
// Parse recursion only nests at '(' and is bounded by the 14 capturing groups.
#include <cstring>

#include "regex/RegexEngine.h"
#include "regex/RegexMatcher.h"
#include "regex/RegexProgram.h"

namespace {

// Flags every parse level returns for the piece it parsed.
constexpr int kNonEmpty = 1;      // always consumes at least one byte
constexpr int kSingleChar = 2;    // one node consuming exactly one byte: single-byte repeats apply
constexpr int kStartsRepeat = 4;  // is or begins with a repeat

// Bytes that end a literal run.
constexpr char kMetaBytes[] = "^$.[()|?+*\\{";

bool IsQuantifier(unsigned char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
// White space that x-mode skips.
bool IsXSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void TRegexEngine::CompileProgram() {
  DiscardProgram();
  if (expression_.empty()) Raise(reNullArgument);
  parse_start_ = reinterpret_cast<const unsigned char*>(expression_.c_str());
  try {
    int flags = 0;
    // Pass 1: count.
    program_modifiers_ = modifiers_;
    compile_modifiers_ = modifiers_;
    parse_point_ = parse_start_;
    next_group_number_ = 1;
    program_size_ = 0;
    counting_ = true;
    EmitByte(kRegexMagic);
    ParseReg(false, flags);
    // Offsets are 32-bit: a program must stay addressable by them.
    if (program_size_ > INT32_MAX) Raise(reTooBig);
    // Pass 2: emit.
    program_.assign(static_cast<size_t>(program_size_), '\0');
    counting_ = false;
    emit_point_ = 0;
    loop_guards_.clear();
    compile_modifiers_ = modifiers_;
    parse_point_ = parse_start_;
    next_group_number_ = 1;
    EmitByte(kRegexMagic);
    ParseReg(false, flags);
    if (emit_point_ != program_size_) Raise(reInternalUrp);
    DeriveHints((flags & kStartsRepeat) != 0);
  } catch (...) {
    counting_ = false;
    DiscardProgram();
    parse_start_ = nullptr;
    throw;
  }
  parse_start_ = nullptr;
  compiled_ = true;
}

void TRegexEngine::DeriveHints(bool starts_repeat) {
  try {
    matcher_->Load(program_, swap_case_, loop_guards_);
    lead_set_ = matcher_->ComputeLeadSet((modifiers_ & kModM) != 0, line_separators_,
                                         pair_assigned_, pair_head_);
    matcher_->FirstNodeHints(starts_repeat, start_char_, anchored_start_, required_text_,
                             required_length_);
  } catch (const TRegexFault& fault) {
    Raise(fault.Code);
  }
}

// --- Emitting and linking -----------------------------------------------------------------------

int32_t TRegexEngine::EmitNode(uint8_t opcode) {
  if (counting_) {
    const auto at = static_cast<int32_t>(program_size_ & INT32_MAX);
    program_size_ += kRegexNodeHeader;
    return at;
  }
  if (emit_point_ + kRegexNodeHeader > program_size_) Raise(reInternalUrp);
  const auto at = static_cast<int32_t>(emit_point_);
  auto* p = reinterpret_cast<uint8_t*>(program_.data()) + at;
  p[0] = opcode;
  WriteRegexInt(p + 1, 0);
  emit_point_ += kRegexNodeHeader;
  return at;
}

void TRegexEngine::EmitByte(uint8_t b) {
  if (counting_) {
    ++program_size_;
    return;
  }
  if (emit_point_ >= program_size_) Raise(reInternalUrp);
  program_[static_cast<size_t>(emit_point_++)] = static_cast<char>(b);
}

void TRegexEngine::EmitInt(int32_t v) {
  if (counting_) {
    program_size_ += 4;
    return;
  }
  if (emit_point_ + 4 > program_size_) Raise(reInternalUrp);
  WriteRegexInt(reinterpret_cast<uint8_t*>(program_.data()) + emit_point_, v);
  emit_point_ += 4;
}

// Moves the piece that starts at `at` up by `size` bytes and puts an operator node in front of
// it; offsets inside the piece are relative and stay valid.
void TRegexEngine::InsertOperator(uint8_t opcode, int32_t at, int size) {
  if (counting_) {
    program_size_ += size;
    return;
  }
  if (emit_point_ + size > program_size_ || at < 0 || at > emit_point_) Raise(reInternalUrp);
  auto* p = reinterpret_cast<uint8_t*>(program_.data());
  std::memmove(p + at + size, p + at, static_cast<size_t>(emit_point_ - at));
  for (TRegexLoopGuard& guard : loop_guards_) {
    if (guard.JumpBack >= at) guard.JumpBack += size;
    if (guard.Exit >= at) guard.Exit += size;
  }
  p[at] = opcode;
  std::memset(p + at + 1, 0, static_cast<size_t>(size - 1));
  emit_point_ += size;
}

// Appends q to the chain that starts at p: the last node of that chain gets q as its next.
void TRegexEngine::Tail(int32_t p, int32_t q) {
  if (counting_ || p < 0) return;
  auto* prog = reinterpret_cast<uint8_t*>(program_.data());
  int32_t scan = p;
  for (;;) {
    const int32_t rel = ReadRegexInt(prog + scan + 1);
    if (rel == 0) break;
    scan += rel;
  }
  WriteRegexInt(prog + scan + 1, q - scan);
}

// Appends q to the alternative of p when p is an OP_CHOICE.
void TRegexEngine::OpTail(int32_t p, int32_t q) {
  if (counting_ || p < 0 || static_cast<uint8_t>(program_[p]) != OP_CHOICE) return;
  Tail(p + kRegexNodeHeader, q);
}

// Marks the choice loop closed by `jump` as one that an empty iteration leaves through `exit`.
void TRegexEngine::GuardLoop(int32_t jump, int32_t exit) {
  if (!counting_) loop_guards_.push_back(TRegexLoopGuard{jump, exit});
}

// Turns the piece at `entry` into a counted loop: OP_LOOP_ENTRY in front of it, then an
// OP_LOOP / OP_LOOP_LAZY node that both the entry and the end of the piece lead to.
void TRegexEngine::LinkLoop(int32_t entry, int32_t min, int32_t max, bool lazy) {
  InsertOperator(OP_LOOP_ENTRY, entry, kRegexNodeHeader);
  const int32_t loop = EmitNode(lazy ? OP_LOOP_LAZY : OP_LOOP);
  EmitInt(min);
  EmitInt(max);
  EmitInt(entry + kRegexNodeHeader - loop);
  Tail(entry, loop);
  Tail(entry + kRegexNodeHeader, loop);
}

// --- Parsing ------------------------------------------------------------------------------------

// An alternation: the whole pattern, or the inside of a group (after its '(').
int32_t TRegexEngine::ParseReg(bool group, int& flags) {
  const uint32_t saved_modifiers = compile_modifiers_;
  flags = kNonEmpty;
  int32_t ret = -1;
  int n = 0;
  if (group) {
    if (next_group_number_ >= kRegexGroupCount) Raise(reTooManyGroups);
    n = next_group_number_++;
    ret = EmitNode(static_cast<uint8_t>(OP_GROUP_OPEN + n));
  }
  int branch_flags = 0;
  int32_t br = ParseSequence(branch_flags);
  if (ret >= 0) {
    Tail(ret, br);
  } else {
    ret = br;
  }
  if (!(branch_flags & kNonEmpty)) flags &= ~kNonEmpty;
  flags |= branch_flags & kStartsRepeat;
  while (*parse_point_ == '|') {
    ++parse_point_;
    br = ParseSequence(branch_flags);
    Tail(ret, br);
    if (!(branch_flags & kNonEmpty)) flags &= ~kNonEmpty;
    flags |= branch_flags & kStartsRepeat;
  }
  const int32_t ender =
      EmitNode(group ? static_cast<uint8_t>(OP_GROUP_CLOSE + n) : uint8_t{OP_END});
  Tail(ret, ender);
  // Every alternative continues at the ender.
  if (!counting_) {
    const auto* prog = reinterpret_cast<const uint8_t*>(program_.data());
    for (int32_t p = ret; p >= 0;) {
      OpTail(p, ender);
      const int32_t rel = ReadRegexInt(prog + p + 1);
      p = rel == 0 ? -1 : p + rel;
    }
  }
  if (group) {
    if (*parse_point_ != ')') Raise(reUnmatchedOpen);
    ++parse_point_;
  } else if (*parse_point_ != 0) {
    Raise(*parse_point_ == ')' ? reUnmatchedClose : reJunkOnEnd);
  }
  compile_modifiers_ = saved_modifiers;
  return ret;
}

// One alternative: an OP_CHOICE followed by its pieces (or one OP_EMPTY).
int32_t TRegexEngine::ParseSequence(int& flags) {
  flags = 0;
  const int32_t ret = EmitNode(OP_CHOICE);
  int32_t chain = -1;
  while (*parse_point_ != 0 && *parse_point_ != '|' && *parse_point_ != ')') {
    int piece_flags = 0;
    const int32_t latest = ParseRepeat(piece_flags);
    flags |= piece_flags & kNonEmpty;
    if (chain < 0) {
      flags |= piece_flags & kStartsRepeat;
    } else {
      Tail(chain, latest);
    }
    chain = latest;
  }
  if (chain < 0) EmitNode(OP_EMPTY);
  return ret;
}

// An atom and its optional quantifier.
int32_t TRegexEngine::ParseRepeat(int& flags) {
  int atom_flags = 0;
  const int32_t ret = ParseAtom(atom_flags);
  const unsigned char op = *parse_point_;
  if (!IsQuantifier(op)) {
    flags = atom_flags;
    return ret;
  }
  if (!(atom_flags & kNonEmpty) && op != '?') Raise(reEmptyOperand);
  int32_t min = 0;
  int32_t max = kRegexOpenMax;
  switch (op) {
    case '*':
      flags = kStartsRepeat;
      ++parse_point_;
      break;
    case '+':
      min = 1;
      flags = kNonEmpty | kStartsRepeat;
      ++parse_point_;
      break;
    case '?':
      max = 1;
      flags = 0;
      ++parse_point_;
      break;
    default:  // '{'
      if (!ParseBraces(min, max)) {
        // No quantifier after all: the '{' starts the next atom as literal text.
        flags = atom_flags;
        return ret;
      }
      flags = max > 0 ? (kNonEmpty | kStartsRepeat) : 0;
      break;
  }
  bool lazy = !(compile_modifiers_ & kModG);
  if (*parse_point_ == '?') {
    lazy = true;
    ++parse_point_;
  }
  const bool single = (atom_flags & kSingleChar) != 0;
  auto insert_braces = [&](uint8_t opcode, int32_t lo, int32_t hi) {
    InsertOperator(opcode, ret, kRegexNodeHeader + kRegexBracesArgs);
    if (!counting_) {
      auto* p = reinterpret_cast<uint8_t*>(program_.data()) + ret + kRegexNodeHeader;
      WriteRegexInt(p, lo);
      WriteRegexInt(p + 4, hi);
    }
  };
  switch (op) {
    case '*':
      if (single) {
        InsertOperator(lazy ? OP_STAR_LAZY : OP_STAR, ret, kRegexNodeHeader);
      } else if (lazy) {
        LinkLoop(ret, 0, kRegexOpenMax, true);
      } else {
        // x* as (x JUMP_BACK | EMPTY).
        InsertOperator(OP_CHOICE, ret, kRegexNodeHeader);
        const int32_t jump = EmitNode(OP_JUMP_BACK);
        OpTail(ret, jump);
        OpTail(ret, ret);
        Tail(ret, EmitNode(OP_CHOICE));
        const int32_t exit = EmitNode(OP_EMPTY);
        Tail(ret, exit);
        GuardLoop(jump, exit);
      }
      break;
    case '+':
      if (single) {
        InsertOperator(lazy ? OP_PLUS_LAZY : OP_PLUS, ret, kRegexNodeHeader);
      } else if (lazy) {
        LinkLoop(ret, 1, kRegexOpenMax, true);
      } else {
        // x+ as x (JUMP_BACK | EMPTY).
        const int32_t next = EmitNode(OP_CHOICE);
        Tail(ret, next);
        const int32_t jump = EmitNode(OP_JUMP_BACK);
        Tail(jump, ret);
        Tail(next, EmitNode(OP_CHOICE));
        const int32_t exit = EmitNode(OP_EMPTY);
        Tail(ret, exit);
        // Only a group can match the empty string here ((a{0,3})+): other atoms that are no
        // single byte always consume.
        if (RegexGroupOf(static_cast<uint8_t>(program_[ret])) != 0) {
          GuardLoop(jump, exit);
        }
      }
      break;
    case '?':
      if (lazy) {
        if (single) {
          insert_braces(OP_BRACES_LAZY, 0, 1);
        } else {
          LinkLoop(ret, 0, 1, true);
        }
      } else {
        // x? as (x | EMPTY).
        InsertOperator(OP_CHOICE, ret, kRegexNodeHeader);
        Tail(ret, EmitNode(OP_CHOICE));
        const int32_t next = EmitNode(OP_EMPTY);
        Tail(ret, next);
        OpTail(ret, next);
      }
      break;
    default:  // {n,m}
      if (single) {
        insert_braces(lazy ? OP_BRACES_LAZY : OP_BRACES, min, max);
      } else {
        LinkLoop(ret, min, max, lazy);
      }
      break;
  }
  if (IsQuantifier(*parse_point_)) Raise(reNestedQuantifier);
  return ret;
}

// At '{': reads {n}, {n,} or {n,m} and moves past it. False, with the parse point unchanged,
// when the text is no quantifier.
bool TRegexEngine::ParseBraces(int32_t& min, int32_t& max) {
  const unsigned char* p = parse_point_ + 1;
  const unsigned char* lo = p;
  while (IsDigit(*p)) ++p;
  const unsigned char* lo_end = p;
  if (lo == lo_end || (*p != '}' && *p != ',')) return false;
  const unsigned char* hi = nullptr;
  const unsigned char* hi_end = nullptr;
  if (*p == ',') {
    hi = ++p;
    while (IsDigit(*p)) ++p;
    hi_end = p;
    if (*p != '}') return false;
  }
  parse_point_ = p + 1;
  auto number = [&](const unsigned char* b, const unsigned char* e) {
    if (e - b > 8) Raise(reBracesTooBig);
    int32_t v = 0;
    for (; b < e; ++b) v = v * 10 + (*b - '0');
    return v;
  };
  min = number(lo, lo_end);
  if (hi == nullptr) {
    max = min;
  } else if (hi == hi_end) {
    max = kRegexOpenMax;
  } else {
    max = number(hi, hi_end);
  }
  if (min > max) Raise(reBracesMinOverMax);
  return true;
}

int32_t TRegexEngine::ParseAtom(int& flags) {
  flags = 0;
  const unsigned char c = *parse_point_++;
  const bool line_anchors =
      (compile_modifiers_ & kModM) && (!line_separators_.empty() || pair_assigned_);
  switch (c) {
    case '^':
      return EmitNode(line_anchors ? OP_LINE_START : OP_TEXT_START);
    case '$':
      return EmitNode(line_anchors ? OP_LINE_END : OP_TEXT_END);
    case '.':
      if (compile_modifiers_ & kModS) {
        flags = kNonEmpty | kSingleChar;
        return EmitNode(OP_ANY_CHAR);
      }
      flags = kNonEmpty;
      return EmitNode(OP_ANY_IN_LINE);
    case '[':
      flags = kNonEmpty | kSingleChar;
      return ParseClass();
    case '(': {
      if (*parse_point_ == '?') {
        if (parse_point_[1] == '#') {
          parse_point_ += 2;
          while (*parse_point_ != 0 && *parse_point_ != ')') ++parse_point_;
          if (*parse_point_ == 0) Raise(reUnclosedComment);
          ++parse_point_;
          return EmitNode(OP_SKIP);
        }
        const unsigned char* letters = ++parse_point_;
        while (*parse_point_ != 0 && *parse_point_ != ')') ++parse_point_;
        if (*parse_point_ == 0) Raise(reBadModifier);
        const std::string_view text(reinterpret_cast<const char*>(letters),
                                    static_cast<size_t>(parse_point_ - letters));
        if (!ApplyModifierString(text, compile_modifiers_)) Raise(reBadModifier);
        ++parse_point_;
        return EmitNode(OP_SKIP);
      }
      int group_flags = 0;
      const int32_t ret = ParseReg(true, group_flags);
      flags = group_flags & (kNonEmpty | kStartsRepeat);
      return ret;
    }
    case 0:
    case '|':
    case ')':
      Raise(reInternalUrp);
    case '?':
    case '+':
    case '*':
      Raise(reNothingToRepeat);
    case '\\':
      break;
    default:
      return ParseLiteralRun(flags);
  }

  // Escapes outside a class.
  if (*parse_point_ == 0) Raise(reTrailingBackslash);
  const bool ci = (compile_modifiers_ & kModI) != 0;
  const unsigned char e = *parse_point_++;
  std::bitset<256> members;
  switch (e) {
    case 'b':
      return EmitNode(OP_WORD_EDGE);
    case 'B':
      return EmitNode(OP_NOT_WORD_EDGE);
    case 'A':
      return EmitNode(OP_TEXT_START);
    case 'Z':
      return EmitNode(OP_TEXT_END);
    case 'd':
    case 'D':
      flags = kNonEmpty | kSingleChar;
      return EmitNode(e == 'd' ? OP_DIGIT : OP_NOT_DIGIT);
    case 's':
    case 'S':
      for (const char s : space_chars_) members.set(static_cast<unsigned char>(s));
      flags = kNonEmpty | kSingleChar;
      return EmitClass(members, e == 'S');
    case 'w':
    case 'W':
      for (const char w : word_chars_) {
        members.set(static_cast<unsigned char>(w));
        if (ci) members.set(swap_case_[static_cast<unsigned char>(w)]);
      }
      flags = kNonEmpty | kSingleChar;
      return EmitClass(members, e == 'W');
    default:
      break;
  }
  flags = kNonEmpty | kSingleChar;
  if (e >= '1' && e <= '9') {
    const int32_t ret = EmitNode(ci ? OP_BACKREF_CI : OP_BACKREF);
    EmitByte(static_cast<uint8_t>(e - '0'));
    return ret;
  }
  --parse_point_;
  const unsigned char b = ParseEscapedByte();
  if (b == 0) {
    // A 0 byte ends every subject, so no text holds it: a set with 0 as its only member says
    // so (a literal operand cannot carry a 0 byte).
    members.set(0);
    return EmitClass(members, false);
  }
  const int32_t ret = EmitNode(ci ? OP_LITERAL_CI : OP_LITERAL);
  EmitByte(b);
  EmitByte(0);
  return ret;
}

// The byte of an escape whose letter is at the parse point: \t \n \r \f \a \e, \xHH, \x{H..},
// or the byte itself. Moves past the escape.
unsigned char TRegexEngine::ParseEscapedByte() {
  const unsigned char c = *parse_point_++;
  switch (c) {
    case 't':
      return 0x09;
    case 'n':
      return 0x0A;
    case 'r':
      return 0x0D;
    case 'f':
      return 0x0C;
    case 'a':
      return 0x07;
    case 'e':
      return 0x1B;
    case 'x':
      break;
    default:
      return c;
  }
  if (*parse_point_ == 0) Raise(reNoHexCode);
  if (*parse_point_ == '{') {
    ++parse_point_;
    int value = 0;
    for (;;) {
      const unsigned char d = *parse_point_;
      if (d == 0) Raise(reNoHexCode);
      if (d == '}') break;
      const int h = HexValue(d);
      if (h < 0) Raise(reBadHexDigit);
      if (value >= 16) Raise(reHexCodeTooBig);
      value = value * 16 + h;
      ++parse_point_;
    }
    ++parse_point_;
    return static_cast<unsigned char>(value);
  }
  int value = 0;
  for (int i = 0; i < 2; ++i) {
    const unsigned char d = *parse_point_;
    if (d == 0) Raise(reNoHexCode);
    const int h = HexValue(d);
    if (h < 0) Raise(reBadHexDigit);
    value = value * 16 + h;
    ++parse_point_;
  }
  return static_cast<unsigned char>(value);
}

// After '[': the members up to ']', then the set node.
int32_t TRegexEngine::ParseClass() {
  bool exclude = false;
  if (*parse_point_ == '^') {
    exclude = true;
    ++parse_point_;
  }
  const bool ci = (compile_modifiers_ & kModI) != 0;
  std::bitset<256> members;
  auto add = [&](unsigned char b) {
    members.set(b);
    if (ci) members.set(swap_case_[b]);
  };
  auto add_all = [&](const std::string& bytes) {
    for (const char b : bytes) add(static_cast<unsigned char>(b));
  };
  bool prev_single = false;  // the previous item was one member: a '-' may follow as a range
  unsigned char prev = 0;
  if (*parse_point_ == ']') {
    add(']');
    prev_single = true;
    prev = ']';
    ++parse_point_;
  }
  while (*parse_point_ != 0 && *parse_point_ != ']') {
    const unsigned char c = *parse_point_;
    if (c == '-' && prev_single && parse_point_[1] != 0 && parse_point_[1] != ']') {
      ++parse_point_;
      unsigned char last;
      if (*parse_point_ == '\\') {
        const unsigned char e = parse_point_[1];
        if (e != 0 && std::strchr("dDsSwW", e) != nullptr) {
          // [a-\d]: the '-' is a member and the escape the next item.
          add('-');
          prev_single = false;
          continue;
        }
        ++parse_point_;
        if (*parse_point_ == 0) Raise(reClassTrailingBackslash);
        last = ParseEscapedByte();
      } else {
        last = *parse_point_++;
      }
      const bool cyrillic = (compile_modifiers_ & kModR) != 0;
      const bool lower = prev == 0xE0 && (last == 0xFF || last == 0xDF);
      const bool upper = (prev == 0xC0 && last == 0xDF) || (prev == 0xE0 && last == 0xDF);
      if (cyrillic && (lower || upper)) {
        // Windows-1251 letter ranges, with their out-of-order yo.
        if (lower) {
          for (int b = 0xE0; b <= 0xFF; ++b) add(static_cast<unsigned char>(b));
          add(0xB8);
        }
        if (upper) {
          for (int b = 0xC0; b <= 0xDF; ++b) add(static_cast<unsigned char>(b));
          add(0xA8);
        }
      } else {
        if (prev > last) Raise(reInvalidRange);
        for (int b = prev; b <= last; ++b) add(static_cast<unsigned char>(b));
      }
      prev_single = false;
      continue;
    }
    if (c == '\\') {
      ++parse_point_;
      if (*parse_point_ == 0) Raise(reClassTrailingBackslash);
      const unsigned char e = *parse_point_;
      if (e == 'd' || e == 's' || e == 'w') {
        ++parse_point_;
        if (e == 'd') add_all("0123456789");
        if (e == 's') add_all(space_chars_);
        if (e == 'w') add_all(word_chars_);
        prev_single = false;
        continue;
      }
      prev = ParseEscapedByte();
    } else {
      prev = c;
      ++parse_point_;
    }
    add(prev);
    prev_single = true;
  }
  if (*parse_point_ != ']') Raise(reUnmatchedBracket);
  ++parse_point_;
  return EmitClass(members, exclude);
}

// A set node: up to three members as OP_TINY_SET / OP_TINY_EXCLUDE, more as an OP_BYTE_SET
// bitmap (the complement of the members for an exclusion).
int32_t TRegexEngine::EmitClass(const std::bitset<256>& members, bool exclude) {
  const size_t count = members.count();
  if (count <= kRegexTinySetSize && count > 0) {
    const int32_t ret = EmitNode(exclude ? OP_TINY_EXCLUDE : OP_TINY_SET);
    uint8_t bytes[kRegexTinySetSize];
    size_t k = 0;
    for (int b = 0; b < 256; ++b) {
      if (members[b]) bytes[k++] = static_cast<uint8_t>(b);
    }
    for (size_t i = 0; i < kRegexTinySetSize; ++i) EmitByte(bytes[i < k ? i : k - 1]);
    return ret;
  }
  const int32_t ret = EmitNode(OP_BYTE_SET);
  for (int i = 0; i < kRegexByteSetSize; ++i) {
    uint8_t bits = 0;
    for (int j = 0; j < 8; ++j) {
      if (members[i * 8 + j] != exclude) bits |= static_cast<uint8_t>(1u << j);
    }
    EmitByte(bits);
  }
  return ret;
}

// A run of literal bytes starting with the atom's first byte (already stepped over); in x-mode
// also white space and comments.
int32_t TRegexEngine::ParseLiteralRun(int& flags) {
  const unsigned char* start = parse_point_ - 1;
  const bool x = (compile_modifiers_ & kModX) != 0;
  if (x && IsXSpace(*start)) {
    while (IsXSpace(*parse_point_)) ++parse_point_;
    return EmitNode(OP_SKIP);
  }
  if (x && *start == '#') {
    while (*parse_point_ != 0 && *parse_point_ != '\r' && *parse_point_ != '\n') ++parse_point_;
    while (*parse_point_ == '\r' || *parse_point_ == '\n') ++parse_point_;
    return EmitNode(OP_SKIP);
  }
  const char* text = reinterpret_cast<const char*>(start);
  size_t n = std::strcspn(text, kMetaBytes);
  if (n == 0) {
    if (*start != '{') Raise(reEmptyLiteral);
    n = 1 + std::strcspn(text + 1, kMetaBytes);
  }
  // A quantifier after the run applies to its last byte alone.
  if (n > 1 && IsQuantifier(start[n])) --n;
  flags = kNonEmpty | (n == 1 ? kSingleChar : 0);
  const int32_t ret = EmitNode((compile_modifiers_ & kModI) ? OP_LITERAL_CI : OP_LITERAL);
  size_t i = 0;
  for (; i < n; ++i) {
    const unsigned char b = start[i];
    if (x && b == '#') break;
    if (x && IsXSpace(b)) continue;
    EmitByte(b);
  }
  EmitByte(0);
  parse_point_ = start + i;
  return ret;
}
