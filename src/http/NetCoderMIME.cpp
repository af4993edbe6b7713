#include "http/NetCoderMIME.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kMIMEAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(kMIMEAlphabet.size() == 64);

// Read in blocks so a large stream never needs one allocation of its own size.
constexpr int64_t kEncodeBlock = 3 * 16 * 1024;

}  // namespace

int64_t TNetReadMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || pos_ >= size) return 0;
  const int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, block_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TNetReadMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == soCurrent) base = pos_;
  if (origin == soEnd) base = Size();
  const int64_t target = base + offset;
  pos_ = target < 0 ? 0 : target;
  return pos_;
}

std::string TNetEncoder3to4::Encode(TStream& source, int64_t byte_count) {
  if (byte_count != kAll && byte_count % 3 != 0) throw ENetException("Uneven size in Encode.");
  const int64_t left = source.Size() - source.Position();
  const int64_t n = std::min(byte_count, left);
  if (n <= 0 || coding_table_.size() != 64) return "";

  const char* table = coding_table_.data();
  std::string out;
  out.reserve(static_cast<size_t>((n + 2) / 3 * 4));
  unsigned char block[kEncodeBlock];
  int64_t remaining = n;
  while (remaining > 0) {
    // Fill the block completely unless the stream ends, so a stream that hands out short
    // reads never puts a padded group in the middle of the text.
    const int64_t want = std::min(remaining, kEncodeBlock);
    int64_t got = 0;
    while (got < want) {
      const int64_t r = source.Read(block + got, want - got);
      if (r <= 0) break;
      got += r;
    }
    if (got == 0) break;
    remaining = got < want ? 0 : remaining - got;
    int64_t i = 0;
    for (; i + 3 <= got; i += 3) {
      const uint32_t v = (uint32_t{block[i]} << 16) | (uint32_t{block[i + 1]} << 8) | block[i + 2];
      out += table[v >> 18];
      out += table[(v >> 12) & 63];
      out += table[(v >> 6) & 63];
      out += table[v & 63];
    }
    // Only the last block can end in a short group: the others hold a multiple of three.
    if (i < got) {
      const uint32_t b1 = block[i];
      const uint32_t b2 = i + 1 < got ? block[i + 1] : 0;
      const uint32_t v = (b1 << 16) | (b2 << 8);
      out += table[v >> 18];
      out += table[(v >> 12) & 63];
      out += i + 1 < got ? table[(v >> 6) & 63] : fill_char_;
      out += fill_char_;
    }
  }
  return out;
}

void TNetDecoder4to3::InitDecodeTable(std::string_view alphabet) {
  std::memset(decode_table_, 255, sizeof decode_table_);
  for (size_t i = 0; i < alphabet.size() && i < 64; ++i) {
    decode_table_[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
  }
}

void TNetDecoder4to3::DecodeToStream(std::string_view text, TStream& dest) {
  if (text.size() % 4 != 0) throw ENetException("Uneven size in DecodeToStream.");
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    // A byte outside the alphabet looks up 255, whose high bits spill into the neighbouring
    // values: meaningless, but harmless.
    const uint32_t v = (uint32_t{decode_table_[static_cast<unsigned char>(text[i])]} << 18) |
                       (uint32_t{decode_table_[static_cast<unsigned char>(text[i + 1])]} << 12) |
                       (uint32_t{decode_table_[static_cast<unsigned char>(text[i + 2])]} << 6) |
                       uint32_t{decode_table_[static_cast<unsigned char>(text[i + 3])]};
    bytes += static_cast<char>((v >> 16) & 0xFF);
    if (text[i + 2] == fill_char_) continue;
    bytes += static_cast<char>((v >> 8) & 0xFF);
    if (text[i + 3] == fill_char_) continue;
    bytes += static_cast<char>(v & 0xFF);
  }
  if (!bytes.empty()) dest.WriteString(bytes);
}

TNetEncoderMIME::TNetEncoderMIME() {
  coding_table_ = std::string(kMIMEAlphabet);
  fill_char_ = '=';
}

TNetDecoderMIME::TNetDecoderMIME() {
  InitDecodeTable(kMIMEAlphabet);
  fill_char_ = '=';
}
