// Base64 (the MIME alphabet) for Basic credentials: encoders that turn each three bytes of a
// stream into four characters and decoders that turn each four characters back into up to three
// bytes, plus a read-only stream over an existing memory block.
//
// Output is one line: no line breaks are ever inserted. Characters outside the alphabet are not
// reported by the decoder; they decode to meaningless bits.
//
// Thread-safety: coder objects are cheap and belong to one thread; the tables they read are
// immutable after construction.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "runtime/Classes.h"
#include "runtime/Component.h"
#include "netbase/NetBase.h"

// A read-only stream over memory it does not own; positioned at 0 when the block is set.
// Writes store nothing and report 0 bytes.
class TNetReadMemoryStream : public TStream {
 public:
  TNetReadMemoryStream() = default;
  explicit TNetReadMemoryStream(std::string_view block) { SetPointer(block); }
  // The block must outlive the stream's use.
  void SetPointer(std::string_view block) {
    block_ = block;
    pos_ = 0;
  }

  // The whole block (independent of the position).
  std::string_view Block() const { return block_; }

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return static_cast<int64_t>(block_.size()); }
  void SetSize(int64_t size) override {}

 private:
  std::string_view block_;
  int64_t pos_ = 0;
};

class TNetEncoder : public TComponent {
 public:
  // Encode's "all the rest of the stream".
  static constexpr int64_t kAll = std::numeric_limits<int32_t>::max();

  // Encodes up to `byte_count` bytes from the stream's position.
  virtual std::string Encode(TStream& source, int64_t byte_count = kAll) = 0;
};

class TNetDecoder : public TComponent {
 public:
  // Decodes `text` and writes the bytes to `dest` in one write.
  virtual void DecodeToStream(std::string_view text, TStream& dest) = 0;
};

class TNetEncoder3to4 : public TNetEncoder {
 public:
  // Raises ENetException "Uneven size in Encode." when `byte_count` is neither kAll nor a
  // multiple of 3. Encodes min(byte_count, bytes left) bytes; the last group is padded with
  // FillChar.
  std::string Encode(TStream& source, int64_t byte_count = kAll) override;

  // The 64 characters, indexed by 6-bit value.
  std::string_view CodingTable() const { return coding_table_; }
  char FillChar() const { return fill_char_; }
  void SetFillChar(char c) { fill_char_ = c; }

 protected:
  std::string_view coding_table_;  // static text of the subclass
  char fill_char_ = '=';
};

class TNetDecoder4to3 : public TNetDecoder {
 public:
  // Raises ENetException "Uneven size in DecodeToStream." when the length is not a multiple
  // of 4. A group whose third character is FillChar gives one byte, whose fourth is FillChar
  // two, otherwise three.
  void DecodeToStream(std::string_view text, TStream& dest) override;

  char FillChar() const { return fill_char_; }
  void SetFillChar(char c) { fill_char_ = c; }

 protected:
  // Fills the decode table from an alphabet of 64 characters; other bytes map to 255.
  void InitDecodeTable(std::string_view alphabet);

  uint8_t decode_table_[256];
  char fill_char_ = '=';
};

// The alphabet "A..Za..z0..9+/" with "=" as fill character.
class TNetEncoderMIME : public TNetEncoder3to4 {
 public:
  TNetEncoderMIME();
};

class TNetDecoderMIME : public TNetDecoder4to3 {
 public:
  TNetDecoderMIME();
};

// Base64 text of the bytes of `text` with an encoder of the given class:
// EncodeString<TNetEncoderMIME>("user:pass").
template <class Encoder>
std::string EncodeString(std::string_view text) {
  Encoder encoder;
  TNetReadMemoryStream stream(text);
  return encoder.Encode(stream, TNetEncoder::kAll);
}
