// How a fetched page's bytes become the query's GBK text, by the request's fetch mode: UTF-8
// converted, Big5 converted to GB2312, bytes as they come, or the encoding found as browsers
// find it.
//
// Pure functions of their arguments: safe on any thread, total on any bytes.
#pragma once

#include <string>

#include "services/ServiceTable.h"

// Page bytes as the fetcher hands them on for `mode`: GBK text. Declared finds the encoding as
// browsers do (encoding/PageCharset.h): GBK, or nothing named, gives the bytes as they come;
// UTF-8 and Big5 are converted by this program's own code, every other encoding of the Encoding
// Standard through glibc iconv, each character GBK lacks as "?" (the code page's default
// character).
std::string PageByMode(const std::string& page, TFetchMode mode,
                       const std::string& content_type = "");
// A page taken as UTF-8, in GBK, without a leading byte-order mark. Each invalid or cut-short
// sequence becomes one "?" (the code page's default character: GBK has no replacement
// character) and the rest of the page is read on; so does any character GBK lacks.
std::string Utf8PageToGbk(const std::string& page);
