// Undoing a response's content codings (gzip, deflate, br) as its body streams in.
//
// A TNetContentDecoder is a write-only stream: the body's bytes, framing already removed, are
// written to it in whatever pieces they arrive, and it writes the decoded bytes on to its target
// in pieces of at most kNetDecodeBlockBytes. Nothing is held back beyond the codings' own
// windows, so a body that inflates enormously costs no more memory than the target takes before
// it refuses more (the client's body limit raises out of Write, and decoding stops there).
//
// Thread-safety: one decoder belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "runtime/Classes.h"
#include "transport/NetException.h"

// What the client sends as Accept-Encoding when it asks for compressed bodies.
inline constexpr const char* kNetAcceptedCodings = "gzip, deflate, br";
// A response may stack at most this many codings; each costs a decoder's window, so more is
// refused rather than built (the common download tools stop at the same count).
inline constexpr size_t kNetMaxContentCodings = 5;
// Decoded bytes are handed to the target in pieces of at most this size.
inline constexpr int64_t kNetDecodeBlockBytes = 64 * 1024;

enum class TNetContentCoding { Gzip, Deflate, Brotli };

// A body that is not valid for its coding, or ends before its coding does. The message names
// the coding and what is wrong.
class ENetContentDecodingError : public ENetException {
 public:
  using ENetException::ENetException;
};

// The codings to undo for a Content-Encoding value, in the order to undo them (the last applied
// first). "identity" and empty list items are skipped; letter case and blanks do not matter;
// "x-gzip" is gzip. Nothing (false) when the value names a coding this client cannot undo: the
// body is then left as it came.
bool ContentCodingsToUndo(std::string_view content_encoding,
                          std::vector<TNetContentCoding>& codings);

class TNetContentDecoder : public TStream {
 public:
  // Undoes `codings` in the order given; `target` (not owned) receives the result. Raises
  // ENetContentDecodingError for more than kNetMaxContentCodings codings.
  TNetContentDecoder(const std::vector<TNetContentCoding>& codings, TStream* target);
  ~TNetContentDecoder() override;

  // Decodes the bytes and writes what comes out to the target; gives count. Raises
  // ENetContentDecodingError for bytes the coding refuses, and passes on what the target
  // raises.
  int64_t Write(const void* buffer, int64_t count) override;
  // The body has ended: raises ENetContentDecodingError when some coding's stream is not
  // complete. An empty body is complete (servers send empty answers with the header).
  void Finish();

  // Bytes written to the decoder so far.
  int64_t Consumed() const { return consumed_; }

  // A write-only stream: its position and size are the bytes consumed; nothing can be read
  // and SetSize does nothing.
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return consumed_; }
  int64_t Size() const override { return consumed_; }
  void SetSize(int64_t) override {}

  // One decoding step in the chain; writes its output on to the next.
  class TStage;

 private:
  std::vector<std::unique_ptr<TStage>> stages_;  // stages_[0] takes the body
  TStream* target_;                              // written to directly when there is no stage
  int64_t consumed_ = 0;
};
