// Big5 (traditional Chinese) to GB2312 (simplified Chinese) conversion, for pages that declare a
// Big5 charset. Table-driven: every Big5 two-byte character is replaced by the GB2312 code of
// the same character or of its simplified form (two blanks where there is none); every other
// byte is copied. The output always has exactly as many bytes as the input.
//
// Thread-safety: the table is constant data and the functions are pure; call them from any
// thread at any time, including during program exit.
#pragma once

#include <cstdint>
#include <string>

// Number of table entries: 94 lead bytes (0xA1..0xFE) times 157 trail bytes (0x40..0x7E,
// 0xA1..0xFE).
inline constexpr int kBig5TableSize = 14758;

// One entry per Big5 code, indexed by Big5Index: the output character's two bytes, high byte
// first. 0x2020 (two blanks) where the code is unassigned or user-defined or the character has
// no GB2312 counterpart; every other entry has both bytes in 0xA1..0xFE.
extern const uint16_t Big5ToGBTable[kBig5TableSize];

// True when text has at least two bytes, the first is 0xA1 or above (0xFF included) and the
// second lies in 0x40..0x7E or 0xA1..0xFE. Bytes past the second are ignored.
bool IsBig5Pair(const std::string& text);

// The table index of the code formed by text's first two bytes: (lead - 0xA1) * 157 plus the
// trail's offset (0x40..0x7E -> 0..62, 0xA1..0xFE -> 63..156). -1 when text has fewer than two
// bytes or the second is no trail byte. The lead byte is not checked: 0xFF gives 14758 or more,
// and a lead below 0xA1 a negative index, so test IsBig5Pair first.
int Big5Index(const std::string& text);

// text with every Big5 pair whose index lies in the table replaced by its entry; all other
// bytes (below 0xA1, a lead byte 0xFF, a lead byte with no trail byte after it) copied as they
// are. Never fails.
std::string Big5ToGB2312(const std::string& text);
