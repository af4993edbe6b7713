// The thumbnail decoder on arbitrary bytes: it must refuse or decode, never crash, never read
// past the input, and never hand back a picture whose buffer disagrees with its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "query/Jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TRgbImage image;
  std::string error;
  const bool ok =
      DecodeJpeg(std::string_view(reinterpret_cast<const char*>(data), size), image, &error);
  if (ok) {
    if (image.Width <= 0 || image.Height <= 0 ||
        static_cast<int64_t>(image.Width) * image.Height > kMaxJpegPixels ||
        image.Pixels.size() != static_cast<size_t>(image.Width) * image.Height * 3) {
      std::abort();
    }
    (void)image.PixelAt(image.Width - 1, image.Height - 1);
  } else if (!image.Pixels.empty() || !image.Empty()) {
    std::abort();
  }
  return 0;
}
