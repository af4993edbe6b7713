// Fuzz target: the decoder chain over every combination of codings, write piece sizes and output
// caps. The first three bytes choose: up to three codings, the piece size, the cap and whether
// the rest is a body to code first (then it must come back exactly, or stop at the cap) or bytes
// to decode as they are (then only the decoder's own error or the cap may end it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/NetContentDecoder.h"
#include "support/CodedBodies.h"

namespace {

struct ECapReached {};

// A memory stream that refuses to grow past its cap, as the client's body limit does.
class TCappedStream : public TMemoryStream {
 public:
  explicit TCappedStream(int64_t cap) : cap_(cap) {}
  int64_t Write(const void* buffer, int64_t count) override {
    if (count > cap_ - Size()) throw ECapReached();
    return TMemoryStream::Write(buffer, count);
  }

 private:
  int64_t cap_;
};

std::string Code(TNetContentCoding coding, const std::string& body) {
  switch (coding) {
    case TNetContentCoding::Gzip:
      return GzipCoded(body);
    case TNetContentCoding::Deflate:
      return DeflateCoded(body, body.size() & 1);
    case TNetContentCoding::Brotli:
      return BrotliCoded(body, 1);
  }
  return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  std::vector<TNetContentCoding> codings;  // in the order to undo them
  for (int i = 0; i < (data[0] & 3); ++i) {
    codings.push_back(static_cast<TNetContentCoding>((data[0] >> (2 + 2 * i)) % 3));
  }
  const size_t piece = 1 + data[1] * 31u;
  const int64_t cap = (data[2] & 0x7F) * 509;
  const bool round_trip = (data[2] & 0x80) != 0;
  const std::string body(reinterpret_cast<const char*>(data) + 3, size - 3);
  std::string wire = body;
  if (round_trip) {
    for (auto it = codings.rbegin(); it != codings.rend(); ++it) wire = Code(*it, wire);
  }

  TCappedStream out(cap);
  TNetContentDecoder decoder(codings, &out);
  try {
    for (size_t at = 0; at < wire.size(); at += piece) {
      decoder.Write(wire.data() + at, static_cast<int64_t>(std::min(piece, wire.size() - at)));
    }
    decoder.Finish();
    if (round_trip && out.DataString() != body) __builtin_trap();
    if (codings.empty() && out.DataString() != wire) __builtin_trap();
  } catch (const ENetContentDecodingError&) {
    if (round_trip || codings.empty()) __builtin_trap();  // a valid body refused
  } catch (const ECapReached&) {
    if (round_trip && static_cast<int64_t>(body.size()) <= cap) __builtin_trap();
  }
  if (out.Size() > cap || decoder.Consumed() > static_cast<int64_t>(wire.size())) {
    __builtin_trap();
  }
  return 0;
}
