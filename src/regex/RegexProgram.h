// The compiled form of a regular expression: one byte buffer holding the magic byte and then a
// sequence of linked nodes. The compiler (TRegexEngine) writes it, the matcher decodes it once
// per compile, and DumpRegexProgram prints it for tests and debugging.
//
// Node layout, nothing aligned:
//   byte 0       opcode (TRegexOpcode)
//   bytes 1..4   next offset: signed 32-bit little-endian distance from this node's first byte
//                to the node that follows it in sequence; 0 = no next node. Only loop-closing
//                nodes (OP_JUMP_BACK) point backwards.
//   bytes 5..    operand, whose size the opcode decides (see RegexOperandKind).
// Nodes are laid out back to back from offset 1 to the end of the buffer, so a program can be
// walked linearly as well as along its links. The node right after an OP_CHOICE is the first
// node of its alternative; the node right after a repeat node is the repeated node.
//
// Thread safety: everything here is a pure function of its arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The first byte of every program.
constexpr uint8_t kRegexMagic = 0xD8;
// Opcode plus next offset.
constexpr int kRegexNodeHeader = 5;
// min and max of OP_BRACES / OP_BRACES_LAZY.
constexpr int kRegexBracesArgs = 8;
// min, max and body offset of OP_LOOP / OP_LOOP_LAZY.
constexpr int kRegexLoopArgs = 12;
// Members of OP_TINY_SET / OP_TINY_EXCLUDE, ascending, padded with the largest one.
constexpr int kRegexTinySetSize = 3;
// Bitmap of OP_BYTE_SET: byte b is bit (b mod 8) of byte (b div 8).
constexpr int kRegexByteSetSize = 32;
// Groups 0..14; group 0 is the whole match.
constexpr int kRegexGroupCount = 15;
// What `*`, `+` and `{n,}` store as their open upper bound.
constexpr int32_t kRegexOpenMax = 0x7FFFFFFE;
// Counted loops that may be active at once while matching.
constexpr int kRegexMaxLoopDepth = 10;

enum TRegexOpcode : uint8_t {
  OP_END = 0,             // end of program: the match succeeded
  OP_TEXT_START = 1,      // only at the start of the input
  OP_TEXT_END = 2,        // only at the end of the input
  OP_ANY_CHAR = 3,        // any one byte
  OP_CHOICE = 6,          // one alternative; the alternative's nodes follow it
  OP_JUMP_BACK = 7,       // nothing; its next offset is negative and closes a choice loop
  OP_LITERAL = 8,         // operand: bytes then a 0 byte; matches those bytes
  OP_EMPTY = 9,           // the empty string
  OP_STAR = 10,           // greedy 0 or more of the single-byte node that follows
  OP_PLUS = 11,           // greedy 1 or more of the single-byte node that follows
  OP_DIGIT = 12,          // one byte 0x30..0x39
  OP_NOT_DIGIT = 13,      // one byte that is not a digit
  OP_BRACES = 18,         // operand: min, max; greedy min..max of the node that follows
  OP_SKIP = 19,           // nothing (comment, inline modifiers, x-mode white space)
  OP_LITERAL_CI = 20,     // as OP_LITERAL, letter case ignored
  OP_LOOP_ENTRY = 23,     // opens a counted loop; the loop body follows it
  OP_LOOP = 24,           // operand: min, max, body offset; greedy counted-loop test
  OP_TINY_SET = 25,       // operand: 3 bytes; one byte equal to one of them
  OP_TINY_EXCLUDE = 26,   // operand: 3 bytes; one byte equal to none of them
  OP_BYTE_SET = 27,       // operand: 32-byte bitmap; one byte whose bit is set
  OP_BACKREF = 28,        // operand: group number 1..9; the text that group captured
  OP_BACKREF_CI = 29,     // as OP_BACKREF, letter case ignored
  OP_STAR_LAZY = 30,      // lazy 0 or more
  OP_PLUS_LAZY = 31,      // lazy 1 or more
  OP_BRACES_LAZY = 32,    // operand: min, max; lazy min..max
  OP_LOOP_LAZY = 33,      // operand: min, max, body offset; lazy counted-loop test
  OP_LINE_START = 34,     // start of input or of a line
  OP_LINE_END = 35,       // end of input or of a line
  OP_ANY_IN_LINE = 36,    // one byte that is no line separator
  OP_WORD_EDGE = 37,      // word boundary
  OP_NOT_WORD_EDGE = 38,  // no word boundary
  OP_GROUP_OPEN = 39,     // + n (40..53): start of group n
  OP_GROUP_CLOSE = 54,    // + n (55..68): end of group n
  OP_LAST = OP_GROUP_CLOSE + kRegexGroupCount - 1,
};

// Group numbers ride in the opcode; 39 and 54 themselves (group 0) are never emitted.
static_assert(OP_GROUP_OPEN + 1 == 40 && OP_GROUP_OPEN + kRegexGroupCount - 1 == 53);
static_assert(OP_GROUP_CLOSE + 1 == 55 && OP_LAST == 68);
static_assert(OP_GROUP_OPEN + kRegexGroupCount == OP_GROUP_CLOSE, "open and close ranges touch");
static_assert(kRegexNodeHeader == 1 + sizeof(int32_t));
static_assert(kRegexByteSetSize * 8 == 256, "one bit per byte value");
static_assert(kRegexLoopArgs == 3 * sizeof(int32_t) && kRegexBracesArgs == 2 * sizeof(int32_t));

// How the operand of a node is shaped.
enum TRegexOperandKind : uint8_t {
  okInvalid,   // the opcode may not appear in a program
  okNone,      // no operand
  okRepeat,    // no operand bytes; the repeated node follows
  okBraces,    // min, max; the repeated node follows
  okLoop,      // min, max, body offset
  okText,      // bytes up to and including a 0 byte
  okTinySet,   // 3 bytes
  okByteSet,   // 32 bytes
  okGroupRef,  // 1 byte: group number
};

struct TRegexOpInfo {
  const char* Name;  // "OP_LITERAL", ... ; nullptr for invalid opcodes
  TRegexOperandKind Operand;
};

// The opcode table, indexed by opcode; every byte value has an entry.
const TRegexOpInfo& RegexOpInfo(uint8_t opcode);
// True for the opcodes a program may contain.
inline bool IsValidRegexOpcode(uint8_t opcode) { return RegexOpInfo(opcode).Operand != okInvalid; }
// Group number of OP_GROUP_OPEN n / OP_GROUP_CLOSE n, 0 for any other opcode.
int RegexGroupOf(uint8_t opcode);

inline int32_t ReadRegexInt(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteRegexInt(uint8_t* p, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}

// A choice loop (x* or x+ over something that is no single byte) whose iterations may match
// the empty string: the compiler lists them beside the program. When an iteration has consumed
// nothing, the OP_JUMP_BACK at offset JumpBack leaves the loop through the OP_EMPTY at offset
// Exit instead of going round again.
struct TRegexLoopGuard {
  int32_t JumpBack;
  int32_t Exit;
};

// Size in bytes of the node at `offset` (header plus operand, not the repeated node of a repeat),
// or -1 when the opcode is invalid or the node runs past the end of the program.
int64_t RegexNodeSize(std::string_view program, size_t offset);

// One line per node, in layout order: "offset NAME -> next" plus the operand, for example
//   1 OP_CHOICE -> 26
//   6 OP_LITERAL -> 14 "ab"
//  14 OP_STAR -> 26
//  19 OP_LITERAL "c"
//  26 OP_END
// Targets are absolute offsets; a node without a next node has no arrow. Bytes outside
// 0x20..0x7E in texts are written \xHH. A malformed program ends the dump with a "corrupt" line.
std::string DumpRegexProgram(std::string_view program);
