// TStringList line splitting and joining, and the memory stream's position/size rules.
#include "runtime/Classes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
std::string Lines(const TStringList& l) {
  std::string s;
  for (const std::string& line : l) s += "[" + line + "]";
  return s;
}
}  // namespace

TEST(TStringList, SetTextSplitsAtCrLfCrOrLf) {
  TStringList l;
  l.SetText("a\r\nb\rc\nd");
  EXPECT_EQ(Lines(l), "[a][b][c][d]");
  l.SetText("a\r\n");  // a final terminator adds no line
  EXPECT_EQ(Lines(l), "[a]");
  l.SetText("\r\n\r\n");
  EXPECT_EQ(Lines(l), "[][]");
  l.SetText("a\n\rb");  // LF then CR are two breaks
  EXPECT_EQ(Lines(l), "[a][][b]");
  l.SetText("a\r\r\nb");
  EXPECT_EQ(Lines(l), "[a][][b]");
  l.SetText("");
  EXPECT_TRUE(l.Empty());
  l.SetText(std::string("x\0y\nz", 5));  // NUL is an ordinary byte
  ASSERT_EQ(l.Count(), 2);
  EXPECT_EQ(l[0], std::string("x\0y", 3));
}

TEST(TStringList, TextEndsEveryLineWithCrLfAndRoundTrips) {
  TStringList l;
  EXPECT_EQ(l.Text(), "");
  l.Add("Host: a");
  l.Add("");
  l.Add("X: y");
  EXPECT_EQ(l.Text(), "Host: a\r\n\r\nX: y\r\n");
  TStringList back;
  back.SetText(l.Text());
  EXPECT_EQ(Lines(back), Lines(l));
}

TEST(TStringList, IndexErrorsRaiseWithTheIndex) {
  TStringList l;
  l.Add("a");
  try {
    (void)l[1];
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (1)");
  }
  EXPECT_THROW(l.Delete(-1), Exception);
  EXPECT_THROW(l.Insert(2, "x"), Exception);
  l.Insert(1, "b");  // at the end is allowed
  l.Insert(0, "c");
  EXPECT_EQ(Lines(l), "[c][a][b]");
  l.Delete(1);
  EXPECT_EQ(Lines(l), "[c][b]");
}

TEST(TStringList, NamesAndValuesSplitAtTheFirstEquals) {
  TStringList l;
  l.SetText("plain\nKey=v=w\nempty=\n=novalue");
  EXPECT_EQ(l.Names(0), "");
  EXPECT_EQ(l.ValueFromIndex(0), "");
  EXPECT_EQ(l.Names(1), "Key");
  EXPECT_EQ(l.ValueFromIndex(1), "v=w");
  EXPECT_EQ(l.Values("KEY"), "v=w");
  EXPECT_EQ(l.IndexOfName("empty"), 2);
  EXPECT_EQ(l.Values("empty"), "");
  EXPECT_EQ(l.IndexOfName("missing"), -1);
  EXPECT_EQ(l.IndexOf("PLAIN"), 0);
  EXPECT_EQ(l.IndexOf("pla"), -1);
}

TEST(TMemoryStream, ReadWriteSeekAndSize) {
  TMemoryStream m;
  EXPECT_EQ(m.Write("hello", 5), 5);
  EXPECT_EQ(m.Position(), 5);
  m.SetPosition(1);
  EXPECT_EQ(m.Write("EL", 2), 2);  // overwrite in the middle keeps the size
  EXPECT_EQ(m.Size(), 5);
  EXPECT_EQ(m.DataString(), "hELlo");
  char buf[8] = {};
  m.SetPosition(3);
  EXPECT_EQ(m.Read(buf, 8), 2);  // short read at the end
  EXPECT_EQ(std::string(buf, 2), "lo");
  EXPECT_EQ(m.Read(buf, 8), 0);
  EXPECT_EQ(m.Read(buf, -1), 0);
  EXPECT_EQ(m.Seek(-2, soEnd), 3);
  EXPECT_EQ(m.Seek(-10, soCurrent), 0);  // clamped at the start
  EXPECT_EQ(m.Write(buf, 0), 0);
}

TEST(TMemoryStream, WritingPastTheEndZeroFillsTheGap) {
  TMemoryStream m;
  m.WriteString("ab");
  m.Seek(2, soEnd);
  m.WriteString("z");
  EXPECT_EQ(m.DataString(), std::string("ab\0\0z", 5));
}

TEST(TMemoryStream, SetSizeTruncatesAndPullsThePositionBack) {
  TMemoryStream m;
  m.WriteString("abcdef");
  m.SetSize(3);
  EXPECT_EQ(m.Position(), 3);
  EXPECT_EQ(m.DataString(), "abc");
  m.SetSize(5);
  EXPECT_EQ(m.DataString(), std::string("abc\0\0", 5));
  EXPECT_EQ(m.Position(), 3);
  m.SetSize(-1);
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Position(), 0);
}

TEST(TStream, ReadBufferAndCopyFromAreAllOrNothing) {
  TMemoryStream src;
  std::string big(200000, 'q');  // more than one copy block
  big[123456] = 'X';
  src.WriteString(big);
  TMemoryStream dst;
  EXPECT_EQ(dst.CopyFrom(src, 0), 200000);  // 0: the whole source from its start
  EXPECT_EQ(dst.DataString(), big);
  src.SetPosition(199990);
  EXPECT_THROW(dst.CopyFrom(src, 11), Exception);
  char buf[4];
  src.SetPosition(199998);
  try {
    src.ReadBuffer(buf, 4);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }
}
