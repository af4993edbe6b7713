// Byte-string helpers shared by every layer. Text is a std::string of bytes (GBK inside the
// program); nothing here assumes UTF-8. Positions taken or returned are 1-based where noted,
// 0 meaning "not found". All functions are total: any bytes, any lengths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// printf-style formatting (%d, %u, %s, %x, %c, %%, widths, l/ll/z modifiers) into a string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Trims drop leading and/or trailing bytes 0x00..0x20.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// ASCII-only case mapping; bytes above 0x7F (GBK) have no case and stay as they are.
char UpChar(char c);
char LowChar(char c);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// Case-insensitive (ASCII) comparison: <0, 0, >0 like strcmp; SameText is equality.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view s);  // case-insensitive
bool EndsText(std::string_view suffix, std::string_view s);    // case-insensitive

// Integer parsing the way the runtime's StrToInt does it: optional leading blanks, an optional
// sign, then decimal digits, or "$"/"0x" followed by hex digits; nothing may follow. Fails
// (returns false, leaves `value` alone) on empty text, junk or overflow.
bool TryStrToInt(std::string_view s, int32_t& value);
bool TryStrToInt64(std::string_view s, int64_t& value);
int32_t StrToIntDef(std::string_view s, int32_t def);
int64_t StrToInt64Def(std::string_view s, int64_t def);
std::string IntToStr(int64_t v);
// A TCP port as written in a URL, a host:port or a proxy setting: 1 to 65535, decimal digits
// only (no sign, blank or "0x"; leading zeros allowed up to five digits). 0 for anything else.
int ParsePortNumber(std::string_view digits);
std::string IntToHex(uint64_t v, int digits);  // upper-case hex, zero-padded to `digits`

// 1-based byte search: position of the first `sub` in `s` at or after `from`, 0 when absent
// or when either text is empty.
size_t Pos(std::string_view sub, std::string_view s, size_t from = 1);
// Up to `count` bytes of `s` from 1-based `index`; out-of-range parts are clipped (Copy of the
// runtime: index < 1 counts from 1, nothing past the end).
std::string Copy(std::string_view s, int64_t index, int64_t count);
