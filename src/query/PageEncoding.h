// How a fetched page's bytes become the query's GBK text, by the request's fetch mode: UTF-8
// converted, Big5 converted to GB2312, bytes as they come, or the encoding found as browsers
// find it.
//
// Pure functions of their arguments: safe on any thread, total on any bytes.
#pragma once

#include <string>

#include "services/ServiceTable.h"

// Page bytes as the fetcher hands them on for `mode`: GBK text. Declared finds the encoding as
// browsers do: a UTF-8 byte-order mark, else the charset of `content_type` (the Content-Type
// header), else the first meta element in the first 1024 bytes that declares one (charset=,
// quoted or not, or http-equiv="Content-Type" with a content naming it); utf-8/utf8 give Utf8,
// big5/big5-hkscs Big5, gbk/gb2312/gb18030 and anything unrecognised Raw (letter case ignored).
std::string PageByMode(const std::string& page, TFetchMode mode,
                       const std::string& content_type = "");
// A page taken as UTF-8, in GBK, without a leading byte-order mark. Each invalid or cut-short
// sequence becomes one "?" (the code page's default character: GBK has no replacement
// character) and the rest of the page is read on; so does any character GBK lacks.
std::string Utf8PageToGbk(const std::string& page);
