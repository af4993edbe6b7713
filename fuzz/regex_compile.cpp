// Compiling arbitrary patterns: the first byte picks the modifiers, the rest is the pattern. A
// pattern either raises ERegexError with a code from the table and a position inside the
// pattern, or compiles to a program that starts with the magic byte, decodes node by node to
// its end, and compiles to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "regex/RegexEngine.h"
#include "regex/RegexProgram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const std::string pattern(reinterpret_cast<const char*>(data) + 1, size - 1);
  TRegexEngine engine;
  for (int index = 1; index <= 6; ++index) engine.SetModifier(index, (data[0] >> index) & 1);
  engine.SetExpression(pattern);
  try {
    engine.Compile();
  } catch (const ERegexError& err) {
    if (engine.ErrorMessage(err.Code) == "Unknown error") std::abort();
    const int length = static_cast<int>(engine.Expression().size());
    if (err.Code < 1000 && (err.Position < 0 || err.Position > length + 1)) std::abort();
    if (!engine.CompiledProgram().empty()) std::abort();
    return 0;
  }
  const std::string& program = engine.CompiledProgram();
  if (program.empty() || static_cast<uint8_t>(program[0]) != kRegexMagic) std::abort();
  size_t nodes = 0;
  for (size_t off = 1; off < program.size(); ++nodes) {
    const int64_t node = RegexNodeSize(program, off);
    if (node <= 0) std::abort();
    off += static_cast<size_t>(node);
  }
  // One dump line per node.
  const std::string dump = engine.DumpProgram();
  size_t lines = 0;
  for (const char c : dump) lines += c == '\n';
  if (lines != nodes) std::abort();
  TRegexEngine again;
  for (int index = 1; index <= 6; ++index) again.SetModifier(index, (data[0] >> index) & 1);
  again.SetExpression(pattern);
  again.Compile();
  if (again.CompiledProgram() != program) std::abort();
  return 0;
}
