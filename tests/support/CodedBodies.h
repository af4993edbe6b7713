// Result-page markup and bodies in the content codings a server may send (gzip, deflate with or
// without its zlib wrapping, Brotli), made with the codings' own libraries, for stand-ins,
// benchmarks and tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

std::string GzipCoded(std::string_view body, int level = 6);
// deflate as the coding name means it (a zlib stream), or with `raw` the bare deflate data some
// servers send instead.
std::string DeflateCoded(std::string_view body, bool raw = false);
std::string BrotliCoded(std::string_view body, int quality = 5);
// A gzip body of about decoded_size / 1000 bytes that inflates to decoded_size zero bytes
// (rounded up to whole MiB). Its trailer is not checked against the data: a decoder that takes
// the whole of it has failed already.
std::string GzipBomb(int64_t decoded_size);
// About `bytes` of result-list markup: rows of links and snippets drawn from a small vocabulary,
// so that it compresses about as well as a real result page. The same text on every call.
std::string ResultRows(size_t bytes);
