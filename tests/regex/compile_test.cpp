// The compiler's output node by node, the search hints it derives, and its error table.
#include <gtest/gtest.h>

#include "RegexTestUtil.h"
#include "regex/RegexProgram.h"
#include "runtime/CodePage.h"

namespace {

const Mods kCaseless = {{1, true}};

TEST(RegexProgramTest, AbcStarByteForByte) {
  TRegexEngine e;
  e.SetExpression("abc*");
  e.Compile();
  // Magic, CHOICE(->END), LITERAL "ab"(->STAR), STAR(->END), LITERAL "c"(no next), END.
  const std::string expected(
      "\xD8"
      "\x06\x19\x00\x00\x00"
      "\x08\x08\x00\x00\x00"
      "ab\0"
      "\x0A\x0C\x00\x00\x00"
      "\x08\x00\x00\x00\x00"
      "c\0"
      "\x00\x00\x00\x00\x00",
      31);
  EXPECT_EQ(e.CompiledProgram(), expected);
  EXPECT_EQ(e.StartChar(), 'a');
}

TEST(RegexProgramTest, CharsetDeclarationPattern) {
  EXPECT_EQ(DumpOf("<meta[^\\<\\>]+charset=([^\\<\\>\\\"\\'\\s]+)[^\\<\\>]*\\>", kCaseless),
            "1 OP_CHOICE -> 121\n"
            "6 OP_LITERAL_CI -> 17 \"<meta\"\n"
            "17 OP_PLUS -> 30\n"
            "22 OP_TINY_EXCLUDE \"<>>\"\n"
            "30 OP_LITERAL_CI -> 44 \"charset=\"\n"
            "44 OP_GROUP_OPEN1 -> 49\n"
            "49 OP_CHOICE -> 96\n"
            "54 OP_PLUS -> 96\n"
            // the complement of < > " ' and the five blanks
            "59 OP_BYTE_SET [0-8,11,14-31,33,35-38,40-59,61,63-255]\n"
            "96 OP_GROUP_CLOSE1 -> 101\n"
            "101 OP_STAR -> 114\n"
            "106 OP_TINY_EXCLUDE \"<>>\"\n"
            "114 OP_LITERAL_CI -> 121 \">\"\n"
            "121 OP_END\n");
}

TEST(RegexProgramTest, TitlePatternWithAndWithoutDotAll) {
  EXPECT_EQ(DumpOf("<title>(.*?)</title>", kCaseless),
            "1 OP_CHOICE -> 58\n"
            "6 OP_LITERAL_CI -> 19 \"<title>\"\n"
            "19 OP_GROUP_OPEN1 -> 24\n"
            "24 OP_CHOICE -> 39\n"
            "29 OP_STAR_LAZY -> 39\n"
            "34 OP_ANY_CHAR\n"
            "39 OP_GROUP_CLOSE1 -> 44\n"
            "44 OP_LITERAL_CI -> 58 \"</title>\"\n"
            "58 OP_END\n");
  // With s off '.' is no single-byte node: a lazy counted loop whose body points back.
  EXPECT_EQ(DumpOf("<title>(.*?)</title>", {{3, false}}),
            "1 OP_CHOICE -> 75\n"
            "6 OP_LITERAL -> 19 \"<title>\"\n"
            "19 OP_GROUP_OPEN1 -> 24\n"
            "24 OP_CHOICE -> 56\n"
            "29 OP_LOOP_ENTRY -> 39\n"
            "34 OP_ANY_IN_LINE -> 39\n"
            "39 OP_LOOP_LAZY -> 56 0..2147483646 body 34\n"
            "56 OP_GROUP_CLOSE1 -> 61\n"
            "61 OP_LITERAL -> 75 \"</title>\"\n"
            "75 OP_END\n");
}

TEST(RegexProgramTest, TemplatePlaceholderPattern) {
  // "\[参数([0-9]{1,2})\]": '[' and the four GBK bytes are separate literals, the class a
  // bitmap of ten members under OP_BRACES.
  EXPECT_EQ(DumpOf("\\[" + Gbk(u8"参数") + "([0-9]{1,2})\\]", kCaseless),
            "1 OP_CHOICE -> 95\n"
            "6 OP_LITERAL_CI -> 13 \"[\"\n"
            "13 OP_LITERAL_CI -> 23 \"\\xB2\\xCE\\xCA\\xFD\"\n"
            "23 OP_GROUP_OPEN1 -> 28\n"
            "28 OP_CHOICE -> 83\n"
            "33 OP_BRACES -> 83 1..2\n"
            "46 OP_BYTE_SET [48-57]\n"
            "83 OP_GROUP_CLOSE1 -> 88\n"
            "88 OP_LITERAL_CI -> 95 \"]\"\n"
            "95 OP_END\n");
}

TEST(RegexProgramTest, ChoiceLoopShapes) {
  // Greedy * over a group: CHOICE, body, JUMP_BACK to the CHOICE; a second CHOICE with EMPTY.
  EXPECT_EQ(DumpOf("(ab)*c"),
            "1 OP_CHOICE -> 56\n"
            "6 OP_CHOICE -> 39\n"
            "11 OP_GROUP_OPEN1 -> 16\n"
            "16 OP_CHOICE -> 29\n"
            "21 OP_LITERAL -> 29 \"ab\"\n"
            "29 OP_GROUP_CLOSE1 -> 34\n"
            "34 OP_JUMP_BACK -> 6\n"
            "39 OP_CHOICE -> 44\n"
            "44 OP_EMPTY -> 49\n"
            "49 OP_LITERAL -> 56 \"c\"\n"
            "56 OP_END\n");
  // Greedy + : body, CHOICE whose alternative jumps back to the body, CHOICE with EMPTY.
  EXPECT_EQ(DumpOf("(ab)+"),
            "1 OP_CHOICE -> 49\n"
            "6 OP_GROUP_OPEN1 -> 11\n"
            "11 OP_CHOICE -> 24\n"
            "16 OP_LITERAL -> 24 \"ab\"\n"
            "24 OP_GROUP_CLOSE1 -> 29\n"
            "29 OP_CHOICE -> 39\n"
            "34 OP_JUMP_BACK -> 6\n"
            "39 OP_CHOICE -> 44\n"
            "44 OP_EMPTY -> 49\n"
            "49 OP_END\n");
  // Greedy ? over a single byte: an optional choice, not a repeat node.
  EXPECT_EQ(DumpOf("a?"),
            "1 OP_CHOICE -> 28\n"
            "6 OP_CHOICE -> 18\n"
            "11 OP_LITERAL -> 23 \"a\"\n"
            "18 OP_CHOICE -> 23\n"
            "23 OP_EMPTY -> 28\n"
            "28 OP_END\n");
  EXPECT_EQ(DumpOf("a??"),
            "1 OP_CHOICE -> 26\n"
            "6 OP_BRACES_LAZY -> 26 0..1\n"
            "19 OP_LITERAL \"a\"\n"
            "26 OP_END\n");
  // With g off every quantifier is lazy.
  EXPECT_EQ(DumpOf("a*", {{4, false}}),
            "1 OP_CHOICE -> 18\n"
            "6 OP_STAR_LAZY -> 18\n"
            "11 OP_LITERAL \"a\"\n"
            "18 OP_END\n");
}

TEST(RegexProgramTest, BracesThatAreNoQuantifierAreText) {
  EXPECT_EQ(DumpOf("a{x}"),
            "1 OP_CHOICE -> 22\n6 OP_LITERAL -> 13 \"a\"\n"
            "13 OP_LITERAL -> 22 \"{x}\"\n22 OP_END\n");
  EXPECT_EQ(DumpOf("a{,2}"),
            "1 OP_CHOICE -> 23\n6 OP_LITERAL -> 13 \"a\"\n"
            "13 OP_LITERAL -> 23 \"{,2}\"\n23 OP_END\n");
  EXPECT_EQ(DumpOf("a{1,x}"),
            "1 OP_CHOICE -> 24\n6 OP_LITERAL -> 13 \"a\"\n"
            "13 OP_LITERAL -> 24 \"{1,x}\"\n24 OP_END\n");
  EXPECT_EQ(DumpOf("{abc"), "1 OP_CHOICE -> 16\n6 OP_LITERAL -> 16 \"{abc\"\n16 OP_END\n");
  EXPECT_EQ(DumpOf("a{2,}"),
            "1 OP_CHOICE -> 26\n6 OP_BRACES -> 26 2..2147483646\n"
            "19 OP_LITERAL \"a\"\n26 OP_END\n");
  EXPECT_EQ(FirstMatch("a{1,x}", "xa{1,x}"), "2:a{1,x}");
}

TEST(RegexProgramTest, ClassMembers) {
  EXPECT_EQ(DumpOf("[]a]"), "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"]aa\"\n14 OP_END\n");
  EXPECT_EQ(DumpOf("[a-]"), "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"-aa\"\n14 OP_END\n");
  EXPECT_EQ(DumpOf("[-a]"), "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"-aa\"\n14 OP_END\n");
  EXPECT_EQ(DumpOf("[a-\\d]"), "1 OP_CHOICE -> 43\n6 OP_BYTE_SET -> 43 [45,48-57,97]\n43 OP_END\n");
  // Inside a class \D \S \W are plain letters; a case-insensitive class holds both cases.
  EXPECT_EQ(DumpOf("[\\D\\S\\W]"), "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"DSW\"\n14 OP_END\n");
  EXPECT_EQ(DumpOf("[x]", kCaseless),
            "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"Xxx\"\n14 OP_END\n");
  EXPECT_EQ(DumpOf("[^ab]"), "1 OP_CHOICE -> 14\n6 OP_TINY_EXCLUDE -> 14 \"abb\"\n14 OP_END\n");
  // Cyrillic ranges of Windows-1251 (modifier r) add the out-of-order yo.
  EXPECT_EQ(DumpOf("[\\xE0-\\xFF]"),
            "1 OP_CHOICE -> 43\n6 OP_BYTE_SET -> 43 [184,224-255]\n43 OP_END\n");
  EXPECT_EQ(DumpOf("[\\xE0-\\xDF]"),
            "1 OP_CHOICE -> 43\n6 OP_BYTE_SET -> 43 [168,184,192-255]\n43 OP_END\n");
  EXPECT_EQ(CompileError("[\\xE0-\\xDF]", {{2, false}}).first, 109);
}

TEST(RegexProgramTest, ZeroByteIsAMemberThatNeverMatches) {
  EXPECT_EQ(DumpOf("[\\x00a]"), "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"\\x00aa\"\n14 OP_END\n");
  EXPECT_EQ(DumpOf("\\x00"),
            "1 OP_CHOICE -> 14\n6 OP_TINY_SET -> 14 \"\\x00\\x00\\x00\"\n14 OP_END\n");
  EXPECT_EQ(FirstMatch("[\\x00a]", "xa"), "2:a");
  EXPECT_EQ(FirstMatch("x[\\x00]", "x"), "none");
  EXPECT_EQ(FirstMatch("x\\x{}", "x"), "none");
  EXPECT_EQ(FirstMatch("[^\\x00]+", "ab"), "1:ab");
  EXPECT_EQ(FirstMatch("a\\x00*b", "ab"), "1:ab");
}

TEST(RegexProgramTest, InlineModifiersAndXMode) {
  EXPECT_EQ(DumpOf("(?i)abc"),
            "1 OP_CHOICE -> 20\n6 OP_SKIP -> 11\n11 OP_LITERAL_CI -> 20 \"abc\"\n20 OP_END\n");
  // The modifier holds for the rest of its group, later alternatives included.
  EXPECT_EQ(DumpOf("a(?i)b|c"),
            "1 OP_CHOICE -> 25\n6 OP_LITERAL -> 13 \"a\"\n13 OP_SKIP -> 18\n"
            "18 OP_LITERAL_CI -> 37 \"b\"\n25 OP_CHOICE -> 37\n30 OP_LITERAL_CI -> 37 \"c\"\n"
            "37 OP_END\n");
  // ... and ends with it.
  EXPECT_EQ(FirstMatch("((?i)a)a", "AA"), "none");
  EXPECT_EQ(FirstMatch("((?i)a)a", "Aa"), "1:Aa|1:A");
  EXPECT_EQ(FirstMatch("(?-s).", "\nx"), "2:x");
  EXPECT_EQ(AllMatches("a b#comment\nc", "xabc abc", {{6, true}}), "2:abc 6:abc");
  EXPECT_EQ(DumpOf("a b#c\n\r  d", {{6, true}}),
            "1 OP_CHOICE -> 31\n6 OP_LITERAL -> 14 \"ab\"\n14 OP_SKIP -> 19\n"
            "19 OP_SKIP -> 24\n24 OP_LITERAL -> 31 \"d\"\n31 OP_END\n");
  EXPECT_EQ(DumpOf("\\x41\\x{41}\\x{0041}"),
            "1 OP_CHOICE -> 27\n6 OP_LITERAL -> 13 \"A\"\n13 OP_LITERAL -> 20 \"A\"\n"
            "20 OP_LITERAL -> 27 \"A\"\n27 OP_END\n");
}

TEST(RegexProgramTest, SearchHints) {
  TRegexEngine e;
  e.SetExpression("^ab");
  e.Compile();
  EXPECT_TRUE(e.AnchoredStart());
  EXPECT_EQ(e.StartChar(), 0);
  // RequiredText needs a top level that starts with a repeat; the later of equal lengths wins.
  e.SetExpression("x*abc.de?fgh");
  e.Compile();
  EXPECT_EQ(e.RequiredText(), "fgh");
  e.SetExpression("x*ab|cd");
  e.Compile();
  EXPECT_EQ(e.RequiredText(), "");
  e.SetExpression("a(b)*c");
  e.Compile();
  EXPECT_EQ(e.RequiredText(), "");
  EXPECT_EQ(e.LeadSet().count(), 1u);
  EXPECT_TRUE(e.LeadSet()['a']);
  e.SetExpression("[0-2]?\\d|x");
  e.Compile();
  EXPECT_EQ(e.LeadSet().count(), 11u);
  e.SetExpression("a*$");
  e.Compile();
  EXPECT_TRUE(e.LeadSet()['a'] && e.LeadSet()[0]);
  EXPECT_FALSE(e.LeadSet()['\n']);
  e.SetModifier(5, true);  // m: '$' may stand before CR and LF
  e.Compile();
  EXPECT_TRUE(e.LeadSet()['\n'] && e.LeadSet()['\r']);
}

TEST(RegexProgramTest, FourteenGroupsAndNoMore) {
  std::string fourteen;
  for (int i = 0; i < 14; ++i) fourteen += "(a)";
  EXPECT_EQ(CompileError(fourteen).first, 0);
  EXPECT_EQ(FirstMatch(fourteen, std::string(14, 'a')).substr(0, 17), "1:aaaaaaaaaaaaaa|");
  TRegexEngine e;
  e.SetExpression(fourteen + "(a)");
  try {
    e.Compile();
    FAIL() << "no error";
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Code, 102);
    EXPECT_EQ(err.Position, 43);  // the byte after the 15th '('
    EXPECT_EQ(err.Message(), "TRegexEngine(comp): ParseReg Too Many () (pos 43)");
  }
}

struct ErrorCase {
  const char* pattern;
  int code;
  int position;
};

TEST(RegexProgramTest, CompileErrorTable) {
  const ErrorCase cases[] = {
      {"a(", 103, 2},
      {"a)", 104, 1},
      {"(a))", 104, 3},
      {"a**", 107, 2},
      {"a{2}{3}", 107, 4},
      {"a+?+", 107, 3},
      {"x\\b{2}", 106, 3},
      {"(?#c)*", 106, 5},
      {"^*", 106, 1},
      {"()+", 106, 2},
      {"(a|)*", 106, 4},
      {"\\xG1", 108, 2},
      {"\\x{1g}", 108, 4},
      {"[z-a]", 109, 4},
      {"[a\\", 110, 3},
      {"\\x", 111, 2},
      {"\\x4", 111, 3},
      {"\\x{4", 111, 4},
      {"\\x{100}", 112, 5},
      {"[", 113, 1},
      {"[^", 113, 2},
      {"[ab", 113, 3},
      {"*a", 115, 1},
      {"a|?", 115, 3},
      {"(+)", 115, 2},
      {"ab\\", 116, 3},
      {"a{123456789}", 122, 12},
      {"a{1,123456789}", 122, 14},
      {"a{3,2}", 124, 6},
      {"(?#x", 125, 4},
      {"(?z)", 127, 3},
      {"(?i", 127, 3},
      {"(?:a)", 127, 4},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.pattern);
    const auto [code, position] = CompileError(c.pattern);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(position, c.position);
  }
  // The message carries the position; the code stays in LastErrorCode.
  TRegexEngine e;
  e.SetExpression("*a");
  try {
    e.Compile();
    FAIL() << "no error";
  } catch (const ERegexError& err) {
    EXPECT_EQ(err.Message(), "TRegexEngine(comp): ?+*{ Follows Nothing (pos 1)");
    EXPECT_EQ(err.Position, 1);
  }
  EXPECT_EQ(e.LastErrorCode(), 115);
  EXPECT_EQ(e.ErrorPosition(), 0);
  EXPECT_TRUE(e.CompiledProgram().empty());
  // A failed compile is tried again at the next search, and fails again.
  EXPECT_THROW(e.Exec("a"), ERegexError);
}

TEST(RegexProgramTest, PatternEndsAtZeroByte) {
  TRegexEngine e;
  e.SetExpression(std::string("ab\0(", 4));
  EXPECT_EQ(e.Expression(), "ab");
  EXPECT_TRUE(e.Exec("xab"));
}

TEST(RegexProgramTest, ModifierChangesRecompile) {
  TRegexEngine e;
  e.SetExpression("a");
  EXPECT_FALSE(e.Exec("A"));
  e.SetModifier(1, true);
  EXPECT_TRUE(e.Exec("A"));
  EXPECT_NE(e.DumpProgram().find("OP_LITERAL_CI"), std::string::npos);
  e.SetModifier(1, false);
  EXPECT_FALSE(e.Exec("A"));
  uint32_t mods = 0;
  EXPECT_TRUE(TRegexEngine::ApplyModifierString("iS-mX", mods));
  EXPECT_EQ(mods, TRegexEngine::kModI | TRegexEngine::kModS);
  EXPECT_FALSE(TRegexEngine::ApplyModifierString("i-q", mods));
  EXPECT_TRUE(TRegexEngine::ApplyModifierString("", mods));
}

}  // namespace
