#include "audit/GunzipReader.h"

#include <algorithm>
#include <climits>

namespace {

// 16 added to the window bits: a gzip header and trailer, not a zlib one.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;

}  // namespace

bool LooksGzipped(std::string_view text) {
  return text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1F &&
         static_cast<unsigned char>(text[1]) == 0x8B;
}

TGunzipReader::TGunzipReader(std::string_view compressed) : rest_(compressed) {
  started_ = inflateInit2(&zs_, kGzipWindowBits) == Z_OK;
  if (!started_) failure_ = "zlib could not start inflating";
}

TGunzipReader::~TGunzipReader() {
  if (started_) inflateEnd(&zs_);
}

int TGunzipReader::Read(char* buffer, int size, std::string& error) {
  if (!failure_.empty()) {
    error = failure_;
    return -1;
  }
  if (ended_ || size <= 0) return 0;
  zs_.next_out = reinterpret_cast<Bytef*>(buffer);
  zs_.avail_out = static_cast<uInt>(size);
  while (zs_.avail_out == static_cast<uInt>(size)) {
    if (zs_.avail_in == 0) {
      if (rest_.empty()) {
        failure_ = "the gzip data ends before its last member does";
        break;
      }
      const std::size_t n = std::min<std::size_t>(rest_.size(), INT_MAX);
      zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(rest_.data()));
      zs_.avail_in = static_cast<uInt>(n);
      rest_.remove_prefix(n);
    }
    const int status = inflate(&zs_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      // Unread input goes back in front of the rest: it may open another member.
      rest_ =
          std::string_view(reinterpret_cast<const char*>(zs_.next_in), zs_.avail_in + rest_.size());
      zs_.avail_in = 0;
      if (!LooksGzipped(rest_)) {
        ended_ = true;
        break;
      }
      inflateReset(&zs_);
    } else if (status != Z_OK && (status != Z_BUF_ERROR || zs_.avail_in != 0)) {
      failure_ = std::string("the gzip data is corrupt: ") + (zs_.msg ? zs_.msg : "inflate failed");
      break;
    }
  }
  const int produced = size - static_cast<int>(zs_.avail_out);
  if (produced == 0 && !failure_.empty()) {
    error = failure_;
    return -1;
  }
  return produced;
}
