#include "query/PageEncoding.h"

#include <string_view>

#include "encoding/BIG5_GB2312.h"
#include "encoding/PageCharset.h"
#include "runtime/CodePage.h"

std::string PageByMode(const std::string& page, TFetchMode mode, const std::string& content_type) {
  if (mode == TFetchMode::Utf8) return Utf8PageToGbk(page);
  if (mode == TFetchMode::Big5) return Big5ToGB2312(page);
  if (mode != TFetchMode::Declared) return page;
  switch (const TPageCharset charset = SniffPageCharset(page, content_type).Charset) {
    case TPageCharset::Gbk:  // and what names nothing: the bytes as they come
      return page;
    case TPageCharset::Big5:
      return Big5ToGB2312(page);
    case TPageCharset::Utf8:
      return Utf8PageToGbk(page);
    default:
      return Utf8ToGbk(PageTextToUtf8(page, charset));
  }
}

std::string Utf8PageToGbk(const std::string& page) {
  // The byte-order mark only says how the page is written; it is no character of it.
  std::string_view text = page;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return Utf8ToGbk(text);
}
