#include "regex/RegexProgram.h"

#include <array>
#include <cstring>
#include <string>

namespace {

// "OP_GROUP_OPEN1" .. "OP_GROUP_CLOSE14", kept for the table's pointers.
struct GroupNames {
  std::string open[kRegexGroupCount];
  std::string close[kRegexGroupCount];
};

const GroupNames& Names() {
  static const GroupNames names = [] {
    GroupNames n;
    for (int g = 1; g < kRegexGroupCount; ++g) {
      n.open[g] = "OP_GROUP_OPEN" + std::to_string(g);
      n.close[g] = "OP_GROUP_CLOSE" + std::to_string(g);
    }
    return n;
  }();
  return names;
}

std::array<TRegexOpInfo, 256> BuildTable() {
  std::array<TRegexOpInfo, 256> t{};
  for (auto& e : t) e = {nullptr, okInvalid};
  t[OP_END] = {"OP_END", okNone};
  t[OP_TEXT_START] = {"OP_TEXT_START", okNone};
  t[OP_TEXT_END] = {"OP_TEXT_END", okNone};
  t[OP_ANY_CHAR] = {"OP_ANY_CHAR", okNone};
  t[OP_CHOICE] = {"OP_CHOICE", okNone};
  t[OP_JUMP_BACK] = {"OP_JUMP_BACK", okNone};
  t[OP_LITERAL] = {"OP_LITERAL", okText};
  t[OP_EMPTY] = {"OP_EMPTY", okNone};
  t[OP_STAR] = {"OP_STAR", okRepeat};
  t[OP_PLUS] = {"OP_PLUS", okRepeat};
  t[OP_DIGIT] = {"OP_DIGIT", okNone};
  t[OP_NOT_DIGIT] = {"OP_NOT_DIGIT", okNone};
  t[OP_BRACES] = {"OP_BRACES", okBraces};
  t[OP_SKIP] = {"OP_SKIP", okNone};
  t[OP_LITERAL_CI] = {"OP_LITERAL_CI", okText};
  t[OP_LOOP_ENTRY] = {"OP_LOOP_ENTRY", okNone};
  t[OP_LOOP] = {"OP_LOOP", okLoop};
  t[OP_TINY_SET] = {"OP_TINY_SET", okTinySet};
  t[OP_TINY_EXCLUDE] = {"OP_TINY_EXCLUDE", okTinySet};
  t[OP_BYTE_SET] = {"OP_BYTE_SET", okByteSet};
  t[OP_BACKREF] = {"OP_BACKREF", okGroupRef};
  t[OP_BACKREF_CI] = {"OP_BACKREF_CI", okGroupRef};
  t[OP_STAR_LAZY] = {"OP_STAR_LAZY", okRepeat};
  t[OP_PLUS_LAZY] = {"OP_PLUS_LAZY", okRepeat};
  t[OP_BRACES_LAZY] = {"OP_BRACES_LAZY", okBraces};
  t[OP_LOOP_LAZY] = {"OP_LOOP_LAZY", okLoop};
  t[OP_LINE_START] = {"OP_LINE_START", okNone};
  t[OP_LINE_END] = {"OP_LINE_END", okNone};
  t[OP_ANY_IN_LINE] = {"OP_ANY_IN_LINE", okNone};
  t[OP_WORD_EDGE] = {"OP_WORD_EDGE", okNone};
  t[OP_NOT_WORD_EDGE] = {"OP_NOT_WORD_EDGE", okNone};
  for (int n = 1; n < kRegexGroupCount; ++n) {
    t[OP_GROUP_OPEN + n] = {Names().open[n].c_str(), okNone};
    t[OP_GROUP_CLOSE + n] = {Names().close[n].c_str(), okNone};
  }
  return t;
}

const std::array<TRegexOpInfo, 256> kOpTable = BuildTable();

void AppendText(std::string& out, const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '"';
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = p[i];
    if (b >= 0x20 && b <= 0x7E && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  out += '"';
}

}  // namespace

const TRegexOpInfo& RegexOpInfo(uint8_t opcode) { return kOpTable[opcode]; }

int RegexGroupOf(uint8_t opcode) {
  if (opcode > OP_GROUP_OPEN && opcode < OP_GROUP_CLOSE) return opcode - OP_GROUP_OPEN;
  if (opcode > OP_GROUP_CLOSE && opcode <= OP_LAST) return opcode - OP_GROUP_CLOSE;
  return 0;
}

int64_t RegexNodeSize(std::string_view program, size_t offset) {
  if (offset >= program.size() || program.size() - offset < kRegexNodeHeader) return -1;
  const auto* p = reinterpret_cast<const uint8_t*>(program.data()) + offset;
  const size_t room = program.size() - offset - kRegexNodeHeader;
  size_t operand = 0;
  switch (RegexOpInfo(p[0]).Operand) {
    case okInvalid:
      return -1;
    case okNone:
    case okRepeat:
      operand = 0;
      break;
    case okBraces:
      operand = kRegexBracesArgs;
      break;
    case okLoop:
      operand = kRegexLoopArgs;
      break;
    case okTinySet:
      operand = kRegexTinySetSize;
      break;
    case okByteSet:
      operand = kRegexByteSetSize;
      break;
    case okGroupRef:
      operand = 1;
      break;
    case okText: {
      const void* nul = std::memchr(p + kRegexNodeHeader, 0, room);
      if (nul == nullptr) return -1;
      operand = static_cast<const uint8_t*>(nul) - (p + kRegexNodeHeader) + 1;
      break;
    }
  }
  if (operand > room) return -1;
  return static_cast<int64_t>(kRegexNodeHeader + operand);
}

std::string DumpRegexProgram(std::string_view program) {
  std::string out;
  if (program.empty() || static_cast<uint8_t>(program[0]) != kRegexMagic) {
    return "corrupt: no magic byte\n";
  }
  const auto* base = reinterpret_cast<const uint8_t*>(program.data());
  size_t off = 1;
  while (off < program.size()) {
    const int64_t size = RegexNodeSize(program, off);
    if (size < 0) {
      out += std::to_string(off);
      out += " corrupt\n";
      break;
    }
    const uint8_t* p = base + off;
    const TRegexOpInfo& info = RegexOpInfo(p[0]);
    out += std::to_string(off);
    out += ' ';
    out += info.Name;
    const int32_t next = ReadRegexInt(p + 1);
    if (next != 0) {
      out += " -> ";
      out += std::to_string(static_cast<int64_t>(off) + next);
    }
    const uint8_t* arg = p + kRegexNodeHeader;
    switch (info.Operand) {
      case okBraces:
      case okLoop:
        out += ' ';
        out += std::to_string(ReadRegexInt(arg));
        out += "..";
        out += std::to_string(ReadRegexInt(arg + 4));
        if (info.Operand == okLoop) {
          out += " body ";
          out += std::to_string(static_cast<int64_t>(off) + ReadRegexInt(arg + 8));
        }
        break;
      case okText:
        out += ' ';
        AppendText(out, arg, static_cast<size_t>(size) - kRegexNodeHeader - 1);
        break;
      case okTinySet:
        out += ' ';
        AppendText(out, arg, kRegexTinySetSize);
        break;
      case okByteSet: {
        // Members as ranges of byte values, e.g. [0-47,58-255].
        out += " [";
        bool first = true;
        for (int b = 0; b < 256;) {
          if (!(arg[b >> 3] & (1u << (b & 7)))) {
            ++b;
            continue;
          }
          int e = b;
          while (e + 1 < 256 && (arg[(e + 1) >> 3] & (1u << ((e + 1) & 7)))) ++e;
          if (!first) out += ',';
          first = false;
          out += std::to_string(b);
          if (e != b) {
            out += '-';
            out += std::to_string(e);
          }
          b = e + 1;
        }
        out += ']';
        break;
      }
      case okGroupRef:
        out += ' ';
        out += std::to_string(arg[0]);
        break;
      default:
        break;
    }
    out += '\n';
    off += static_cast<size_t>(size);
  }
  return out;
}
