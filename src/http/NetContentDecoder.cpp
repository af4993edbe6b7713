#include "http/NetContentDecoder.h"

#include <brotli/decode.h>
#include <zlib.h>

#include <string>

#include "http/NetGlobal.h"
#include "runtime/StrUtils.h"

// A stage is itself a write-only stream, so that each one writes on to the next stage or to the
// decoder's target alike.
class TNetContentDecoder::TStage : public TStream {
 public:
  explicit TStage(TStream* next) : next_(next) {}
  ~TStage() override = default;

  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    fed_ = true;
    Feed(static_cast<const uint8_t*>(buffer), static_cast<size_t>(count));
    return count;
  }
  // The body ended: raises when this stage's stream did not.
  virtual void Finish() = 0;

  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  int64_t Size() const override { return 0; }
  void SetSize(int64_t) override {}

 protected:
  virtual void Feed(const uint8_t* data, size_t size) = 0;
  void Emit(size_t size) {
    if (size > 0) next_->WriteString(std::string_view(out_, size));
  }
  // Whether any byte came at all: an empty body needs no end of stream.
  bool Fed() const { return fed_; }

  char out_[kNetDecodeBlockBytes];

 private:
  TStream* next_;
  bool fed_ = false;
};

namespace {

// gzip (RFC 1952) and deflate. "deflate" is meant to be a zlib stream (RFC 1950), but servers
// also send the bare deflate data: the first two bytes tell which, as zlib's own header check
// would. Several gzip members one after another are one body, as gzip itself reads them.
class TInflateStage : public TNetContentDecoder::TStage {
 public:
  TInflateStage(bool gzip, TStream* next) : TStage(next), gzip_(gzip) {}
  ~TInflateStage() override {
    if (started_) inflateEnd(&z_);
  }

  void Finish() override {
    if (!Fed()) return;
    if (!started_) Start(head_, head_size_);  // a deflate body of a single byte
    if (!ended_) throw ENetContentDecodingError(Name() + " body cut short");
  }

 protected:
  void Feed(const uint8_t* data, size_t size) override {
    if (!started_) {
      if (gzip_) {
        Begin(16 + MAX_WBITS);
      } else {
        while (head_size_ < 2 && size > 0) {
          head_[head_size_++] = *data++;
          --size;
        }
        if (head_size_ < 2) return;
        Start(head_, head_size_);
      }
    }
    Inflate(data, size);
  }

 private:
  std::string Name() const { return gzip_ ? "gzip" : "deflate"; }

  void Begin(int window_bits) {
    if (inflateInit2(&z_, window_bits) != Z_OK) {
      throw ENetContentDecodingError("Out of memory for the " + Name() + " body");
    }
    started_ = true;
  }

  // Chooses the deflate flavour by the first bytes and decodes them.
  void Start(const uint8_t* head, size_t size) {
    const bool zlib_header =
        size == 2 && (head[0] & 0x0F) == Z_DEFLATED && ((head[0] << 8) | head[1]) % 31 == 0;
    Begin(zlib_header ? MAX_WBITS : -MAX_WBITS);
    Inflate(head, size);
  }

  void Inflate(const uint8_t* data, size_t size) {
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(size);
    while (z_.avail_in > 0) {
      if (ended_) {
        // Another gzip member follows; anything after a deflate stream is not part of it.
        if (!gzip_) throw ENetContentDecodingError("Data after the end of the deflate body");
        inflateReset(&z_);
        ended_ = false;
      }
      bool progressed = true;
      while (progressed && !ended_) {
        z_.next_out = reinterpret_cast<Bytef*>(out_);
        z_.avail_out = sizeof out_;
        const int rc = inflate(&z_, Z_NO_FLUSH);
        Emit(sizeof out_ - z_.avail_out);
        if (rc == Z_STREAM_END) {
          ended_ = true;
        } else if (rc == Z_OK || rc == Z_BUF_ERROR) {
          // Stops when the input is used up and the output did not fill.
          progressed = z_.avail_out == 0;
        } else {
          throw ENetContentDecodingError("Invalid " + Name() + " body: " +
                                         (z_.msg != nullptr ? z_.msg : "error " + IntToStr(rc)));
        }
      }
      if (!ended_) break;
    }
  }

  const bool gzip_;
  z_stream z_{};
  bool started_ = false;
  bool ended_ = false;
  uint8_t head_[2] = {};
  size_t head_size_ = 0;
};

class TBrotliStage : public TNetContentDecoder::TStage {
 public:
  explicit TBrotliStage(TStream* next)
      : TStage(next), state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (state_ == nullptr) throw ENetContentDecodingError("Out of memory for the Brotli body");
  }
  ~TBrotliStage() override { BrotliDecoderDestroyInstance(state_); }

  void Finish() override {
    if (Fed() && !ended_) throw ENetContentDecodingError("Brotli body cut short");
  }

 protected:
  void Feed(const uint8_t* data, size_t size) override {
    if (ended_) throw ENetContentDecodingError("Data after the end of the Brotli body");
    for (;;) {
      size_t avail_out = sizeof out_;
      auto* next_out = reinterpret_cast<uint8_t*>(out_);
      const BrotliDecoderResult result =
          BrotliDecoderDecompressStream(state_, &size, &data, &avail_out, &next_out, nullptr);
      Emit(sizeof out_ - avail_out);
      switch (result) {
        case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
          continue;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
          return;
        case BROTLI_DECODER_RESULT_SUCCESS:
          ended_ = true;
          if (size > 0) throw ENetContentDecodingError("Data after the end of the Brotli body");
          return;
        case BROTLI_DECODER_RESULT_ERROR:
          break;
      }
      throw ENetContentDecodingError(std::string("Invalid Brotli body: ") +
                                     BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state_)));
    }
  }

 private:
  BrotliDecoderState* state_;
  bool ended_ = false;
};

}  // namespace

bool ContentCodingsToUndo(std::string_view content_encoding,
                          std::vector<TNetContentCoding>& codings) {
  codings.clear();
  std::string rest(content_encoding);
  while (!rest.empty()) {
    const std::string name = LowerCase(Trim(FetchToken(rest, ",")));
    if (name.empty() || name == "identity") continue;
    if (name == "gzip" || name == "x-gzip") {
      codings.insert(codings.begin(), TNetContentCoding::Gzip);
    } else if (name == "deflate") {
      codings.insert(codings.begin(), TNetContentCoding::Deflate);
    } else if (name == "br") {
      codings.insert(codings.begin(), TNetContentCoding::Brotli);
    } else {
      codings.clear();
      return false;
    }
  }
  return true;
}

TNetContentDecoder::TNetContentDecoder(const std::vector<TNetContentCoding>& codings,
                                       TStream* target)
    : target_(target) {
  if (codings.size() > kNetMaxContentCodings) {
    throw ENetContentDecodingError("Too many content codings: " + std::to_string(codings.size()) +
                                   " (at most " + std::to_string(kNetMaxContentCodings) + ")");
  }
  // Built from the last stage back, so that each knows the stream it writes to.
  TStream* next = target;
  std::vector<std::unique_ptr<TStage>> reversed;
  for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
    if (*it == TNetContentCoding::Brotli) {
      reversed.push_back(std::make_unique<TBrotliStage>(next));
    } else {
      reversed.push_back(std::make_unique<TInflateStage>(*it == TNetContentCoding::Gzip, next));
    }
    next = reversed.back().get();
  }
  stages_.assign(std::make_move_iterator(reversed.rbegin()),
                 std::make_move_iterator(reversed.rend()));
}

TNetContentDecoder::~TNetContentDecoder() = default;

int64_t TNetContentDecoder::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (stages_.empty()) {
    target_->WriteString(std::string_view(static_cast<const char*>(buffer), count));
  } else {
    stages_.front()->Write(buffer, count);
  }
  consumed_ += count;
  return count;
}

void TNetContentDecoder::Finish() {
  for (auto& stage : stages_) stage->Finish();
}
