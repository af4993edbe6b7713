// JPEG decoding into a plain RGB buffer, for the thumbnail and the window's default picture.
//
// Input is untrusted (the thumbnail comes from the network): decoding never crashes, never
// prints, and refuses pictures whose declared size would need more memory than a thumbnail
// plausibly does. Each call is independent; calls may run on any number of threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A decoded picture: Width * Height pixels, row by row from the top, 3 bytes (R, G, B) each.
struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;

  bool Empty() const { return Width == 0 || Height == 0; }
  // The pixel at (x, y), 0-based, packed as 0xRRGGBB; 0 outside the picture.
  uint32_t PixelAt(int x, int y) const;
};

// Largest picture accepted, in pixels (the thumbnail service sends 120 x 90).
inline constexpr int64_t kMaxJpegPixels = int64_t{1} << 22;

// Decodes `data` as a baseline or progressive JPEG (grey, YCbCr, RGB, CMYK or YCCK). On
// success fills `image` and returns true; on any failure returns false, leaves `image` empty
// and puts a short reason into *error when error is not null.
bool DecodeJpeg(std::string_view data, TRgbImage& image, std::string* error = nullptr);
