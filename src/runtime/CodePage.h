// Code-page services of the system locale, which is GBK (code page 936) for this program.
// The tables both ways are glibc iconv's CP936, read once by tools/gen_gbk_table.py and built
// into the program (so a start converts at once, and needs no iconv modules); they are laid out
// once, lazily and thread-safely, and never destroyed (workers may still convert while the
// program exits).
#pragma once

#include <string>
#include <string_view>

// GBK bytes of a UTF-8 literal: Gbk(u8"查询"). Characters GBK cannot hold become "?".
std::string Gbk(std::u8string_view utf8);
// The bytes of a UTF-8 literal as they are: Utf8Bytes(u8"历史") for texts that stay UTF-8.
inline std::string Utf8Bytes(std::u8string_view utf8) {
  return std::string(utf8.begin(), utf8.end());
}
// UTF-8 <-> GBK for the Qt boundary. Unmappable characters and malformed bytes become "?".
std::string Utf8ToGbk(std::string_view utf8);
std::string GbkToUtf8(std::string_view gbk);
// UTF-8 into `out` as GBK. With stop_at_fault, stops at the first malformed sequence or
// character GBK cannot hold and gives its offset; otherwise (and when all went well) gives npos
// and "?" stands for each such character.
size_t Utf8ToGbk(std::string_view utf8, std::string& out, bool stop_at_fault);

// One UTF-8 sequence at s[i] (shortest form, no surrogates, at most U+10FFFF): its code point,
// or -1 when it is malformed; i moves past what was read (at least one byte, never past a byte
// that cannot continue the sequence).
long DecodeUtf8(std::string_view s, size_t& i);
// Appends the UTF-8 form of a code point up to U+10FFFF.
void AppendUtf8(long cp, std::string& out);
// One UCS-2 code unit as GBK bytes (1 or 2); "?" (the default character) when GBK lacks it.
std::string Ucs2ToGbk(char16_t ch);
// Appends the GBK bytes of ch to out; returns false when the default character was used.
bool AppendUcs2AsGbk(char16_t ch, std::string& out);

// Lead bytes of double-byte characters: 0x81..0xFE.
inline bool IsLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }

enum TMbcsByteType { mbSingleByte, mbLeadByte, mbTrailByte };
// The kind of byte at 0-based `index` of s, scanning character by character from the start
// (a lead byte followed by nothing counts as a lead byte). index out of range: mbSingleByte.
TMbcsByteType ByteType(std::string_view s, size_t index);

// The locale's decimal separator (from the C library's locale).
char DecimalSeparator();

// Locale case services: ASCII letters only, and never the trail byte of a double-byte
// character (which may look like an ASCII letter); GBK characters have no case.
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);
int AnsiCompareText(std::string_view a, std::string_view b);
bool AnsiSameText(std::string_view a, std::string_view b);

// Every occurrence of pattern (case ignored, on character boundaries) replaced; the replacement
// is never searched again. From the text's first NUL byte on, it is copied unchanged.
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement);
