#include "query/Jpeg.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <memory>

namespace {

// More scans than any sane progressive encoder writes; a crafted file with thousands of tiny
// scans would otherwise keep the decoder busy for a long time.
constexpr int kMaxScans = 256;

struct ErrorManager {
  jpeg_error_mgr pub;  // first member: libjpeg hands us a pointer to it
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

// libjpeg calls this on a fatal error and must not get control back.
void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// Warnings (corrupt but recoverable data) are neither printed nor fatal.
void OutputMessage(j_common_ptr) {}

struct ScanGuard {
  jpeg_progress_mgr pub;
  bool too_many_scans = false;
};

void ProgressMonitor(j_common_ptr cinfo) {
  if (cinfo->is_decompressor) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
      auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
      std::snprintf(err->message, sizeof err->message, "too many scans");
      longjmp(err->jump, 1);
    }
  }
}

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Everything that changes after setjmp lives behind this pointer, so its values are well defined
// after a longjmp back.
struct DecodeState {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  ScanGuard progress;
  std::vector<uint8_t> row;  // one scanline in the decoder's output format
};

bool Decode(std::string_view data, TRgbImage& image, DecodeState& s) {
  jpeg_decompress_struct& cinfo = s.cinfo;
  cinfo.err = jpeg_std_error(&s.err.pub);
  s.err.pub.error_exit = ErrorExit;
  s.err.pub.output_message = OutputMessage;
  s.err.message[0] = '\0';
  if (setjmp(s.err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  s.progress.pub.progress_monitor = ProgressMonitor;
  cinfo.progress = &s.progress.pub;
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.data()),
               static_cast<unsigned long>(data.size()));
  jpeg_read_header(&cinfo, TRUE);

  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_calc_output_dimensions(&cinfo);
  const int64_t w = cinfo.output_width, h = cinfo.output_height;
  if (w <= 0 || h <= 0 || w * h > kMaxJpegPixels) {
    std::snprintf(s.err.message, sizeof s.err.message, "picture too large (%lldx%lld)",
                  static_cast<long long>(w), static_cast<long long>(h));
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  const int comps = cinfo.output_components;
  s.row.resize(static_cast<size_t>(w * comps));
  image.Pixels.resize(static_cast<size_t>(w * h * 3));
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[1] = {s.row.data()};
    const int64_t y = cinfo.output_scanline;
    if (jpeg_read_scanlines(&cinfo, rows, 1) != 1) break;
    uint8_t* out = image.Pixels.data() + y * w * 3;
    if (cmyk) {
      // Adobe writes CMYK inverted; libjpeg passes the stored values through, so a plain
      // multiply by "K" gives the RGB value.
      for (int64_t x = 0; x < w; ++x) {
        const uint8_t* p = &s.row[static_cast<size_t>(x * 4)];
        const int k = p[3];
        out[x * 3 + 0] = Clamp255(p[0] * k / 255);
        out[x * 3 + 1] = Clamp255(p[1] * k / 255);
        out[x * 3 + 2] = Clamp255(p[2] * k / 255);
      }
    } else if (comps == 3) {
      std::copy(s.row.begin(), s.row.end(), out);
    } else {
      for (int64_t x = 0; x < w; ++x) out[x * 3] = out[x * 3 + 1] = out[x * 3 + 2] = s.row[x];
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  image.Width = static_cast<int>(w);
  image.Height = static_cast<int>(h);
  return true;
}

}  // namespace

uint32_t TRgbImage::PixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= Width || y >= Height) return 0;
  const size_t i = (static_cast<size_t>(y) * Width + x) * 3;
  if (i + 2 >= Pixels.size()) return 0;
  return (uint32_t{Pixels[i]} << 16) | (uint32_t{Pixels[i + 1]} << 8) | Pixels[i + 2];
}

bool DecodeJpeg(std::string_view data, TRgbImage& image, std::string* error) {
  image = TRgbImage{};
  auto state = std::make_unique<DecodeState>();
  const bool ok = !data.empty() && Decode(data, image, *state);
  if (!ok) {
    if (error) *error = data.empty() ? "no data" : state->err.message;
    image = TRgbImage{};
  }
  return ok;
}
