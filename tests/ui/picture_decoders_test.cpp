#include "ui/picture_decoders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/temp_dir.h"
#include "ui/toolkit.h"
#include "util/path.h"

namespace kanade {
namespace {

// The pictures are made at test time with ImageMagick, an encoder
// independent of the decoders under test.
constexpr const char* kConvert = "/usr/bin/convert";

class PictureDecodersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(IsFile(kConvert)) << "ImageMagick is missing: run scripts/install-deps.sh";
    RegisterImageDecoders();
  }

  // Runs convert with `arguments` and the output file `name`; its bytes.
  std::string Make(const std::string& arguments, const std::string& name) {
    const std::string out = dir_ / name;
    const std::string command = std::string(kConvert) + " " + arguments + " '" + out + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadFileBytes(out).value_or("");
  }

  static std::optional<DecodedPicture> Decode(const std::string& bytes) {
    return DecodePicture(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }

  static Rgb Pixel(const DecodedPicture& p, int x, int y) {
    const std::uint8_t* px = p.rgb.data() + (static_cast<std::size_t>(y) * p.width + x) * 3;
    return Rgb{px[0], px[1], px[2]};
  }

  static void ExpectNear(Rgb actual, Rgb expected, int tolerance) {
    EXPECT_NEAR(actual.r, expected.r, tolerance);
    EXPECT_NEAR(actual.g, expected.g, tolerance);
    EXPECT_NEAR(actual.b, expected.b, tolerance);
  }

  test::TempDir dir_;
};

// A 32 x 16 picture: red on the left half, blue on the right.
const std::string kRedBlue = "-size 16x16 xc:'#ff0000' -size 16x16 xc:'#0000ff' +append";

TEST_F(PictureDecodersTest, EveryRegisteredFormatDecodesSizeAndColours) {
  EXPECT_TRUE(IsImageDecoderRegistered("jpeg"));
  EXPECT_TRUE(IsImageDecoderRegistered("png"));
  EXPECT_TRUE(IsImageDecoderRegistered("jpeg2000"));

  struct Case {
    std::string file;
    int tolerance;
  };
  for (const Case& c :
       {Case{"a.jpg", 40}, Case{"a.png", 0}, Case{"a.j2k", 40}, Case{"a.jp2", 40}}) {
    SCOPED_TRACE(c.file);
    const std::optional<DecodedPicture> p = Decode(Make(kRedBlue + " -depth 8", c.file));
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->width, 32);
    EXPECT_EQ(p->height, 16);
    ASSERT_EQ(p->rgb.size(), 32u * 16u * 3u);
    ExpectNear(Pixel(*p, 4, 8), Rgb{255, 0, 0}, c.tolerance);
    ExpectNear(Pixel(*p, 27, 8), Rgb{0, 0, 255}, c.tolerance);
  }
}

TEST_F(PictureDecodersTest, GreyDeepAndTransparentPicturesBecomeRgb) {
  // Greyscale JPEG, 16-bit PNG, palette PNG, half-transparent PNG on black.
  std::optional<DecodedPicture> p =
      Decode(Make("-size 8x8 xc:'#808080' -colorspace Gray", "grey.jpg"));
  ASSERT_TRUE(p.has_value());
  ExpectNear(Pixel(*p, 3, 3), Rgb{128, 128, 128}, 6);

  p = Decode(Make("-size 8x8 xc:'#00ff00' -depth 16", "deep.png"));
  ASSERT_TRUE(p.has_value());
  ExpectNear(Pixel(*p, 3, 3), Rgb{0, 255, 0}, 0);

  p = Decode(Make(kRedBlue, "PNG8:palette.png"));
  ASSERT_TRUE(p.has_value());
  ExpectNear(Pixel(*p, 30, 1), Rgb{0, 0, 255}, 0);

  p = Decode(Make("-size 8x8 xc:'rgba(255,255,255,0.5)'", "PNG32:alpha.png"));
  ASSERT_TRUE(p.has_value());
  ExpectNear(Pixel(*p, 3, 3), Rgb{128, 128, 128}, 2);

  p = Decode(Make("-size 8x8 xc:'#808080' -colorspace Gray", "grey.j2k"));
  ASSERT_TRUE(p.has_value());
  ExpectNear(Pixel(*p, 3, 3), Rgb{128, 128, 128}, 6);
}

TEST_F(PictureDecodersTest, DamagedOrForeignDataGivesNothing) {
  // A larger noisy picture, so that truncation cuts into the coded data.
  const std::string noisy = "-size 64x64 plasma:red-blue -seed 7 -depth 8";
  for (const std::string file : {"n.jpg", "n.png", "n.j2k", "n.jp2"}) {
    SCOPED_TRACE(file);
    const std::string bytes = Make(noisy, file);
    ASSERT_TRUE(Decode(bytes).has_value());
    for (std::size_t keep : {bytes.size() / 2, bytes.size() - 4, std::size_t{20}}) {
      SCOPED_TRACE(keep);
      EXPECT_FALSE(Decode(bytes.substr(0, keep)).has_value());
    }
    // The signature followed by junk.
    std::string junk = bytes.substr(0, 12);
    for (int i = 0; i < 400; ++i) junk.push_back(static_cast<char>((i * 73 + 11) & 0xFF));
    EXPECT_FALSE(Decode(junk).has_value());
  }
  EXPECT_FALSE(Decode("GIF89a not a supported picture").has_value());
  EXPECT_FALSE(Decode("").has_value());
  EXPECT_FALSE(DecodePicture(nullptr, 10).has_value());
}

TEST_F(PictureDecodersTest, HugeDeclaredSizeIsRefusedWithoutAllocating) {
  // A valid PNG header that claims 60000 x 60000 pixels, then nothing.
  std::string png = Make("-size 1x1 xc:black", "tiny.png");
  ASSERT_GT(png.size(), 24u);
  for (int i : {16, 20}) {  // width and height, big-endian
    png[i] = 0;
    png[i + 1] = 0;
    png[i + 2] = static_cast<char>(0xEA);
    png[i + 3] = 0x60;
  }
  EXPECT_FALSE(Decode(png).has_value());

  // The same for JPEG: the frame header's height and width.
  std::string jpg = Make("-size 8x8 xc:black", "tiny.jpg");
  const std::size_t sof = jpg.find("\xFF\xC0", 2);
  ASSERT_NE(sof, std::string::npos);
  for (std::size_t i : {sof + 5, sof + 7}) {
    jpg[i] = static_cast<char>(0xEA);
    jpg[i + 1] = 0x60;
  }
  EXPECT_FALSE(Decode(jpg).has_value());
}

}  // namespace
}  // namespace kanade
