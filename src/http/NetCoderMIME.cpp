#include "http/NetCoderMIME.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kMIMEAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(kMIMEAlphabet.size() == 64);

// Read in blocks so a large stream never needs one allocation of its own size.
constexpr int64_t kEncodeBlock = 3 * 1024;

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

namespace {

// Encodes `n` bytes into 4 * ceil(n / 3) characters at `o`; returns the end of the output.
char* EncodeGroups(const unsigned char* in, int64_t n, const char* table, char fill, char* o) {
  int64_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    o[0] = table[v >> 18];
    o[1] = table[(v >> 12) & 63];
    o[2] = table[(v >> 6) & 63];
    o[3] = table[v & 63];
    o += 4;
  }
  if (i < n) {
    const bool two = i + 1 < n;
    const uint32_t v = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0);
    o[0] = table[v >> 18];
    o[1] = table[(v >> 12) & 63];
    o[2] = two ? table[(v >> 6) & 63] : fill;
    o[3] = fill;
    o += 4;
  }
  return o;
}

}  // namespace

std::string TNetEncoder3to4::Encode(TStream& source, int64_t byte_count) {
  if (byte_count != kAll && byte_count % 3 != 0) throw ENetException("Uneven size in Encode.");
  const int64_t left = source.Size() - source.Position();
  const int64_t n = std::min(byte_count, left);
  if (n <= 0 || coding_table_.size() != 64) return "";

  char table[64];
  std::memcpy(table, coding_table_.data(), sizeof table);
  std::string out(static_cast<size_t>((n + 2) / 3 * 4), '\0');
  char* o = out.data();

  // A memory block is encoded where it lies.
  if (auto* memory = dynamic_cast<TNetReadMemoryStream*>(&source)) {
    const int64_t pos = memory->Position();
    o = EncodeGroups(reinterpret_cast<const unsigned char*>(memory->Block().data()) + pos, n, table,
                     fill_char_, o);
    memory->Seek(n, soCurrent);
    return out;
  }

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
    // Only the last block can end in a short group: the others hold a multiple of three.
    o = EncodeGroups(block, got, table, fill_char_, o);
  }
  // A stream that delivered less than its size promised leaves the tail unwritten.
  out.resize(static_cast<size_t>(o - out.data()));
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
  coding_table_ = kMIMEAlphabet;
  fill_char_ = '=';
}

TNetDecoderMIME::TNetDecoderMIME() {
  InitDecodeTable(kMIMEAlphabet);
  fill_char_ = '=';
}
