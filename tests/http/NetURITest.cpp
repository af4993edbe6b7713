// URL cutting and composing, and the shared text helpers (double-byte-aware search, tokens,
// backwards search, path merging).
#include <gtest/gtest.h>

#include <string>

#include "http/NetGlobal.h"
#include "http/NetURI.h"

namespace {

// All ten fields as one text, so a failure shows every field at once.
std::string Fields(const TNetURI& u) {
  return "P[" + u.Protocol + "] U[" + u.UserName + "] W[" + u.Password + "] H[" + u.Host + "] O[" +
         u.Port + "] D[" + u.Path + "] F[" + u.Document + "] Q[" + u.Params + "] B[" + u.Bookmark +
         "]";
}

TEST(URIParse, AbsoluteFormsCutAtFixedDelimiters) {
  EXPECT_EQ(Fields(TNetURI("http://usr:pw@srv:8080/a/b/c.asp?x=1#top")),
            "P[http] U[usr] W[pw] H[srv] O[8080] D[/a/b/] F[c.asp] Q[?x=1] B[top]");
  // Authority alone: the path is still "/".
  EXPECT_EQ(Fields(TNetURI("HTTP://host")), "P[HTTP] U[] W[] H[host] O[] D[/] F[] Q[] B[]");
  // "@" without ":": everything is the user name. ":" without "@": host and port.
  EXPECT_EQ(Fields(TNetURI("http://bob@h/")), "P[http] U[bob] W[] H[h] O[] D[/] F[] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("http://h:81/")), "P[http] U[] W[] H[h] O[81] D[/] F[] Q[] B[]");
  // An IPv6 literal keeps its brackets, and its colons are not the port's.
  EXPECT_EQ(Fields(TNetURI("http://[::1]:18060/x")),
            "P[http] U[] W[] H[[::1]] O[18060] D[/] F[x] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("http://[::1]/")), "P[http] U[] W[] H[[::1]] O[] D[/] F[] Q[] B[]");
  // An empty user name drops the password too.
  EXPECT_EQ(Fields(TNetURI("http://:pw@h/")), "P[http] U[] W[] H[h] O[] D[/] F[] Q[] B[]");
}

TEST(URIParse, QueryNeverShiftsThePath) {
  EXPECT_EQ(Fields(TNetURI("http://h/p?q=/x")), "P[http] U[] W[] H[h] O[] D[/] F[p] Q[?q=/x] B[]");
  // "=" stands in for a missing "?".
  EXPECT_EQ(Fields(TNetURI("http://h/a/b=c")), "P[http] U[] W[] H[h] O[] D[/a/] F[b] Q[=c] B[]");
  EXPECT_EQ(Fields(TNetURI("http://h/a/b=c/d")),
            "P[http] U[] W[] H[h] O[] D[/a/] F[b] Q[=c/d] B[]");
}

TEST(URIParse, BookmarkPlacement) {
  // After the query: cut off the query.
  EXPECT_EQ(Fields(TNetURI("http://h/d?x=1#frag")),
            "P[http] U[] W[] H[h] O[] D[/] F[d] Q[?x=1] B[frag]");
  // Without a query: the absolute form moves it out of the document...
  EXPECT_EQ(Fields(TNetURI("http://h/a/d.htm#frag")),
            "P[http] U[] W[] H[h] O[] D[/a/] F[d.htm] Q[] B[frag]");
  // ...the relative form leaves it inside.
  EXPECT_EQ(Fields(TNetURI("a/d.htm#frag")), "P[] U[] W[] H[] O[] D[a/] F[d.htm#frag] Q[] B[]");
  // In the document and in the query: the document's wins, the query keeps its "#".
  EXPECT_EQ(Fields(TNetURI("http://h/d#a?x#b")), "P[http] U[] W[] H[h] O[] D[/] F[d] Q[?x#b] B[a]");
}

TEST(URIParse, RelativeForms) {
  EXPECT_EQ(Fields(TNetURI("/x/y.htm")), "P[] U[] W[] H[] O[] D[/x/] F[y.htm] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("y.htm")), "P[] U[] W[] H[] O[] D[] F[y.htm] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("../c.htm?a=/b#f")),
            "P[] U[] W[] H[] O[] D[../] F[c.htm] Q[?a=/b] B[f]");
  // "://" makes a text absolute only after a scheme name: not inside a query, not after a path,
  // a digit or nothing.
  EXPECT_EQ(Fields(TNetURI("/r?u=http://x/y")),
            "P[] U[] W[] H[] O[] D[/] F[r] Q[?u=http://x/y] B[]");
  EXPECT_EQ(Fields(TNetURI("target?u=http://x/y#f")),
            "P[] U[] W[] H[] O[] D[] F[target] Q[?u=http://x/y] B[f]");
  EXPECT_EQ(Fields(TNetURI("a/b://h/x")), "P[] U[] W[] H[] O[] D[a/b://h/] F[x] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("://h/x")), "P[] U[] W[] H[] O[] D[://h/] F[x] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("1x://h/x")), "P[] U[] W[] H[] O[] D[1x://h/] F[x] Q[] B[]");
  EXPECT_EQ(Fields(TNetURI("svn+ssh.v-2://h/x")),
            "P[svn+ssh.v-2] U[] W[] H[h] O[] D[/] F[x] Q[] B[]");
  TNetURI u("http://old/x");
  u.Parse("");  // clears every field
  EXPECT_EQ(Fields(u), "P[] U[] W[] H[] O[] D[] F[] Q[] B[]");
}

TEST(URIParse, BackslashesTurnButTrailBytesStay) {
  // 0xB1 0x5C is one GBK character whose trail byte is a backslash.
  const std::string dbcs = "\xB1\x5C";
  TNetURI u("http:\\\\h\\dir" + dbcs + "\\f.htm");
  EXPECT_EQ(u.URI, "http://h/dir" + dbcs + "/f.htm");
  EXPECT_EQ(u.Host, "h");
  EXPECT_EQ(u.Path, "/dir" + dbcs + "/");
  EXPECT_EQ(u.Document, "f.htm");
  // A lead byte at the very end does not swallow anything past the text.
  EXPECT_EQ(TNetURI("a\\\xB1").URI, "a/\xB1");
  // A trail byte 0x3F is not a "?" (GBK 0x81 0x3F is not valid, but must not split either).
  EXPECT_EQ(TNetURI("http://h/\x81?x").Params, "");
}

TEST(URICompose, OptionsAndErrors) {
  TNetURI u("http://usr:pw@srv:8080/a/c.asp?x=1#top");
  EXPECT_EQ(u.Compose(), "http://srv:8080/a/c.asp?x=1");
  EXPECT_EQ(u.Compose(WithUserInfo | WithBookmark), "http://usr:pw@srv:8080/a/c.asp?x=1#top");
  u.Password.clear();
  EXPECT_EQ(u.Compose(WithUserInfo), "http://usr@srv:8080/a/c.asp?x=1");

  EXPECT_EQ(u.ComposedURI(), "http://srv:8080/a/c.asp?x=1");
  EXPECT_EQ(u.URI, "http://usr@srv:8080/a/c.asp?x=1#top");

  TNetURI empty;
  empty.URI = "kept";
  try {
    empty.ComposedURI();
    FAIL() << "no exception";
  } catch (const ENetURIException& e) {
    EXPECT_EQ(e.Message(), "Protocol field is empty");  // checked before the host
  }
  EXPECT_EQ(empty.URI, "kept");
  empty.Protocol = "http";
  try {
    empty.Compose();
    FAIL() << "no exception";
  } catch (const ENetException& e) {
    EXPECT_EQ(e.Message(), "Host field is empty");
  }
}

TEST(TextHelpers, TextPosIsDoubleByteAware) {
  EXPECT_EQ(TextPos("b", "abc"), 2);
  EXPECT_EQ(TextPos("", "abc"), 0);
  EXPECT_EQ(TextPos("abcd", "abc"), 0);
  // "\x5C" inside the pair B1 5C is a trail byte; the real one comes after.
  EXPECT_EQ(TextPos("\\", "\xB1\\x\\"), 4);
  EXPECT_EQ(TextPos("\\x", "\xB1\\x"), 0);
}

TEST(TextHelpers, FetchToken) {
  std::string s = "a, b, c";
  EXPECT_EQ(FetchToken(s, ", "), "a");
  EXPECT_EQ(s, "b, c");
  EXPECT_EQ(FetchToken(s, ", ", false), "b");
  EXPECT_EQ(s, "b, c");
  EXPECT_EQ(FetchToken(s, ";"), "b, c");  // absent: the whole input, which is emptied
  EXPECT_EQ(s, "");
  s = "xAy";
  EXPECT_EQ(FetchToken(s, "a"), "xAy");
  s = "xAy";
  EXPECT_EQ(FetchToken(s, "a", true, false), "x");
  EXPECT_EQ(s, "y");
}

TEST(TextHelpers, LastPosUpTo) {
  EXPECT_EQ(LastPosUpTo("/", "/a/b/c"), 5);
  EXPECT_EQ(LastPosUpTo("/", "/a/b/c", 4), 3);
  EXPECT_EQ(LastPosUpTo("/", "/a/b/c", 1), 1);
  EXPECT_EQ(LastPosUpTo("/", "/a/b/c", 0), 0);
  EXPECT_EQ(LastPosUpTo("AB", "xabyab", 100), 5);  // lowered, case ignored
  EXPECT_EQ(LastPosUpTo("abc", "ab"), 0);
  EXPECT_EQ(LastPosUpTo("", "ab"), 0);
}

TEST(TextHelpers, MergePath) {
  EXPECT_EQ(MergePath("/a/b/", "../c.htm"), "/a/c.htm");
  EXPECT_EQ(MergePath("/a/", ""), "/a/");
  EXPECT_EQ(MergePath("", "x/"), "x/");
  EXPECT_EQ(MergePath("/a", "b"), "/a/b");
  EXPECT_EQ(MergePath("/a/b/", "/z"), "/z");
  EXPECT_EQ(MergePath("/a//b/", "c"), "/a/b/c");         // runs collapse
  EXPECT_EQ(MergePath("/a/b/", "../../../../x"), "/x");  // cannot climb above the top
  EXPECT_EQ(MergePath("/", "../"), "/");
  EXPECT_EQ(MergePath("/a/b/", "./c"), "/a/b/./c");  // a lone "." stays as written
  EXPECT_EQ(MergePath("/a/", "b/"), "/a/b/");
  EXPECT_EQ(MergePath("/a/", "b/.."), "/a");  // no trailing "/" asked for
}

TEST(TextHelpers, StrToIntAndCopyErrors) {
  EXPECT_EQ(StrToInt(" 42"), 42);
  try {
    StrToInt("4x");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'4x' is not a valid integer value");
  }
}

}  // namespace
