// JPEG decoding of pictures from the network: good pictures in their colour models, and bytes
// that must be refused without a crash or an outsized allocation.
#include <gtest/gtest.h>

#include "Fakes.h"
#include "query/Jpeg.h"

namespace {

uint32_t Channel(uint32_t px, int shift) { return (px >> shift) & 0xFF; }

void ExpectNear(uint32_t px, uint32_t want) {
  for (int shift : {16, 8, 0}) {
    EXPECT_NEAR(static_cast<int>(Channel(px, shift)), static_cast<int>(Channel(want, shift)), 6)
        << std::hex << px << " vs " << want;
  }
}

TEST(JpegTest, DecodesColourAndGreyPictures) {
  TRgbImage image;
  ASSERT_TRUE(DecodeJpeg(EncodeJpeg(120, 90, 0x3080C0), image));
  EXPECT_EQ(image.Width, 120);
  EXPECT_EQ(image.Height, 90);
  EXPECT_EQ(image.Pixels.size(), 120u * 90u * 3u);
  ExpectNear(image.PixelAt(0, 0), 0x3080C0);
  ExpectNear(image.PixelAt(119, 89), 0x3080C0);
  EXPECT_EQ(image.PixelAt(120, 0), 0u);  // outside the picture
  EXPECT_EQ(image.PixelAt(-1, 5), 0u);

  ASSERT_TRUE(DecodeJpeg(EncodeJpeg(17, 3, 0x80, /*grey=*/true), image));
  EXPECT_EQ(image.Width, 17);
  EXPECT_EQ(image.Height, 3);
  ExpectNear(image.PixelAt(16, 2), 0x808080);
}

TEST(JpegTest, RefusesWhatIsNotAPicture) {
  const std::string good = EncodeJpeg(64, 48, 0xFFFFFF);
  std::string error;
  TRgbImage image;
  const std::string not_pictures[] = {
      "",
      "GIF89a",
      std::string(1, '\xFF'),
      std::string("\xFF\xD8", 2),
      std::string("\xFF\xD8\xFF\xD9", 4),
      good.substr(0, good.size() / 8),
  };
  for (const std::string& bytes : not_pictures) {
    EXPECT_FALSE(DecodeJpeg(bytes, image, &error)) << bytes.size();
    EXPECT_TRUE(image.Empty());
    EXPECT_TRUE(image.Pixels.empty());
    EXPECT_FALSE(error.empty());
  }
}

TEST(JpegTest, CorruptTailStillGivesAPictureOfTheDeclaredSize) {
  // Data cut inside the scan: the decoder fills the rest rather than failing.
  const std::string good = EncodeJpeg(64, 48, 0x00FF00);
  TRgbImage image;
  std::string cut = good.substr(0, good.size() - 40);
  if (DecodeJpeg(cut, image)) {
    EXPECT_EQ(image.Width, 64);
    EXPECT_EQ(image.Pixels.size(), 64u * 48u * 3u);
  }
  // Every single-byte change anywhere: decoded or refused, never more than declared.
  for (size_t i = 0; i < good.size(); i += 7) {
    std::string bad = good;
    bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    if (DecodeJpeg(bad, image)) {
      EXPECT_EQ(image.Pixels.size(), static_cast<size_t>(image.Width) * image.Height * 3);
      EXPECT_LE(static_cast<int64_t>(image.Width) * image.Height, kMaxJpegPixels);
    }
  }
}

TEST(JpegTest, RefusesAPictureDeclaringAHugeSize) {
  std::string bytes = EncodeJpeg(8, 8, 0);
  // The start-of-frame segment (FFC0) holds height and width after its length and precision.
  const size_t sof = bytes.find(std::string("\xFF\xC0", 2));
  ASSERT_NE(sof, std::string::npos);
  bytes[sof + 5] = '\x4E';  // height 20000
  bytes[sof + 6] = '\x20';
  bytes[sof + 7] = '\x4E';  // width 20000: 400 million pixels
  bytes[sof + 8] = '\x20';
  TRgbImage image;
  std::string error;
  EXPECT_FALSE(DecodeJpeg(bytes, image, &error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_TRUE(image.Pixels.empty());
}

}  // namespace
