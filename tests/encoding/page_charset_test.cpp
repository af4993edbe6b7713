// Every encoding of the label table: its standard name is one of its labels, and where glibc
// iconv reads it, the converter is there (a missing one would turn every byte past ASCII into
// U+FFFD).
#include <gtest/gtest.h>

#include "encoding/PageCharset.h"

TEST(PageCharset, EveryEncodingIsNamedByItsOwnLabelAndCanBeRead) {
  const std::string two_replacements = "\xEF\xBF\xBD\xEF\xBF\xBD";
  for (int i = 0; i <= static_cast<int>(TPageCharset::XUserDefined); ++i) {
    const auto charset = static_cast<TPageCharset>(i);
    const std::string name(PageCharsetName(charset));
    SCOPED_TRACE(name);
    EXPECT_EQ(PageCharsetOfLabel(" " + name + "\t"), charset);
    // Two bytes past ASCII that each of these encodings defines at least in part.
    const std::string bytes = charset == TPageCharset::Iso2022Jp ? "\x1B$B$\"\x1B(B" : "\xA4\xA2";
    if (charset != TPageCharset::Replacement && charset != TPageCharset::Utf8) {
      EXPECT_NE(PageTextToUtf8(bytes, charset), two_replacements);
    }
  }
  EXPECT_EQ(PageCharsetOfLabel("latin1"), TPageCharset::Windows1252);
  EXPECT_EQ(PageCharsetOfLabel("utf-16"), TPageCharset::Utf16Le);
  EXPECT_EQ(PageCharsetOfLabel("x-big5-utf"), std::nullopt);
  EXPECT_EQ(PageCharsetOfLabel(""), std::nullopt);
}
