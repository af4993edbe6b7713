#include "query/PageEncoding.h"

#include <string_view>

#include "encoding/BIG5_GB2312.h"
#include "encoding/PageCharset.h"
#include "runtime/CodePage.h"

namespace {

// The mode of a page that leaves it to the page (Declared): the charset browsers would find,
// GBK (Raw) when nothing names one of the three.
TFetchMode SniffedMode(std::string_view page, const std::string& content_type) {
  switch (SniffPageCharset(page, content_type).Charset) {
    case TPageCharset::Utf8:
      return TFetchMode::Utf8;
    case TPageCharset::Big5:
      return TFetchMode::Big5;
    case TPageCharset::Gbk:
      break;
  }
  return TFetchMode::Raw;
}

}  // namespace

std::string PageByMode(const std::string& page, TFetchMode mode, const std::string& content_type) {
  if (mode == TFetchMode::Declared) mode = SniffedMode(page, content_type);
  if (mode == TFetchMode::Utf8) return Utf8PageToGbk(page);
  if (mode == TFetchMode::Big5) return Big5ToGB2312(page);
  return page;
}

std::string Utf8PageToGbk(const std::string& page) {
  // The byte-order mark only says how the page is written; it is no character of it.
  std::string_view text = page;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return Utf8ToGbk(text);
}
