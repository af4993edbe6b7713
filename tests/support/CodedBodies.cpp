#include "support/CodedBodies.h"

#include <brotli/encode.h>
#include <zlib.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Compresses all of `body` with deflate under `window_bits` (zlib's meaning: +16 gzip, negative
// raw), ending the stream with `flush` (Z_FINISH, or Z_FULL_FLUSH for a block to repeat).
std::string Deflate(std::string_view body, int window_bits, int level, int flush = Z_FINISH) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, body.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, flush);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != (flush == Z_FINISH ? Z_STREAM_END : Z_OK)) throw std::runtime_error("deflate");
  return out;
}

}  // namespace

std::string GzipCoded(std::string_view body, int level) {
  return Deflate(body, 16 + MAX_WBITS, level);
}

std::string DeflateCoded(std::string_view body, bool raw) {
  return Deflate(body, raw ? -MAX_WBITS : MAX_WBITS, 6);
}

std::string BrotliCoded(std::string_view body, int quality) {
  size_t size = BrotliEncoderMaxCompressedSize(body.size());
  std::string out(size, '\0');
  if (!BrotliEncoderCompress(quality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, body.size(),
                             reinterpret_cast<const uint8_t*>(body.data()), &size,
                             reinterpret_cast<uint8_t*>(out.data()))) {
    throw std::runtime_error("BrotliEncoderCompress");
  }
  out.resize(size);
  return out;
}

std::string GzipBomb(int64_t decoded_size) {
  // One MiB of zeros as a self-contained block (a full flush forgets the window), repeated.
  const std::string block = Deflate(std::string(1 << 20, '\0'), -MAX_WBITS, 9, Z_FULL_FLUSH);
  std::string out("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
  for (int64_t left = decoded_size; left > 0; left -= 1 << 20) out += block;
  out += std::string("\x03\0", 2);            // a final, empty fixed-Huffman block
  out += std::string("\0\0\0\0\0\0\0\0", 8);  // CRC and size, never reached
  return out;
}

std::string ResultRows(size_t bytes) {
  static const char* const kWords[] = {"site",  "rank",   "search", "index", "page",  "value",
                                       "tools", "result", "link",   "title", "daily", "report",
                                       "web",   "china",  "online", "free"};
  std::string out;
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  while (out.size() < bytes) {
    const uint32_t n = next() % 100000;
    out += "<div class=\"result\"><h3><a href=\"http://www.example" + std::to_string(n) + ".test/" +
           kWords[next() % 16] + "/" + std::to_string(next() % 1000) + ".html\">";
    for (int w = 0; w < 6; ++w) out += std::string(kWords[next() % 16]) + " ";
    out += "</a></h3><p>";
    for (int w = 0; w < 24; ++w) out += std::string(kWords[next() % 16]) + " ";
    out += std::to_string(next() % 10000) + "</p></div>\r\n";
  }
  return out;
}
