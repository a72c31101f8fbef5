#include "images/jpeg_dc.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <vips/vips.h>

#include <string>

#include "fixtures.h"
#include "images/images.h"

namespace mirelo::services::images {
namespace {

using namespace testing;

class JpegDcTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initialise(); }
};

// TurboJPEG's own 1/8 decoding: what the DC reader must give byte for byte.
std::optional<DcPicture> eighthByTurbo(const std::string& jpeg) {
  tjhandle decoder = tjInitDecompress();
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(jpeg.data()));
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  std::optional<DcPicture> picture;
  if (tjDecompressHeader3(decoder, bytes, jpeg.size(), &width, &height, &subsampling, &colourspace) == 0) {
    const tjscalingfactor eighth{1, 8};
    DcPicture p{TJSCALED(width, eighth), TJSCALED(height, eighth), colourspace == TJCS_GRAY ? 1 : 3, {}};
    p.pixels.resize(static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * static_cast<size_t>(p.bands));
    if (tjDecompress2(decoder, bytes, jpeg.size(), p.pixels.data(), p.width, 0, p.height,
                      p.bands == 1 ? TJPF_GRAY : TJPF_RGB, 0) == 0) {
      picture = std::move(p);
    }
  }
  tjDestroy(decoder);
  return picture;
}

Image grey(const Image& colour) {
  VipsImage* out = nullptr;
  EXPECT_EQ(vips_colourspace(colour.get(), &out, VIPS_INTERPRETATION_B_W, nullptr), 0);
  return Image(out);
}

// Sizes on both sides of the point where a second thread starts (with restart markers, at one;
// without, mid-scan; and every picture once more with it whatever its size), sizes that are no multiple of 8, qualities
// from the coarsest DC quantiser to the finest (quality 100: every DC difference up to 11 bits).
TEST_F(JpegDcTest, GivesTurboJpegsEighthByteForByte) {
  struct Case {
    const char* name;
    Image image;
    const char* options;
  };
  const Case cases[] = {
      {"small colour", noise(333, 201, 3), "[Q=90]"},
      {"colour, mid-scan split", noise(2000, 1504, 4), "[Q=90]"},
      {"colour, restart markers", noise(2001, 1499, 5), "[Q=90,restart_interval=7]"},
      {"colour, one MCU per interval", noise(1600, 1200, 6), "[Q=95,restart_interval=1]"},
      {"colour, quality 100", gradient(1800, 1200), "[Q=100]"},
      {"colour, quality 20, 4:4:4", noise(1800, 1200, 7), "[Q=20,subsample_mode=off]"},
      {"grey, small", grey(noise(100, 77, 8)), "[Q=90]"},
      {"grey, mid-scan split", grey(noise(2400, 1800, 9)), "[Q=85]"},
      {"grey, restart markers", grey(noise(2400, 1800, 10)), "[Q=85,restart_interval=16]"},
  };
  for (const auto& c : cases) {
    const std::string jpeg = save(c.image, ".jpg", c.options);
    ASSERT_FALSE(jpeg.empty()) << c.name;
    const auto reference = eighthByTurbo(jpeg);
    ASSERT_TRUE(reference) << c.name;
    const auto picture = decodeDc(jpeg, false);
    ASSERT_TRUE(picture) << c.name;
    EXPECT_EQ(std::tuple(picture->width, picture->height, picture->bands),
              std::tuple(reference->width, reference->height, reference->bands))
        << c.name;
    EXPECT_TRUE(picture->pixels == reference->pixels) << c.name;
    // The same with the second thread at any size: the split is where the difference would be.
    const auto split = decodeDc(jpeg, false, 0);
    ASSERT_TRUE(split) << c.name;
    EXPECT_TRUE(split->pixels == reference->pixels) << c.name;
  }
}

// What the reader does not take, or takes as irregular, it leaves to the full decoder.
TEST_F(JpegDcTest, LeavesEverythingElse) {
  const Image photo = noise(1200, 900, 11);
  const std::string baseline = save(photo, ".jpg", "[Q=90]");
  const std::string restarts = save(photo, ".jpg", "[Q=90,restart_interval=5]");
  ASSERT_TRUE(decodeDc(baseline, false));
  ASSERT_TRUE(decodeDc(restarts, false));
  std::string swapped = restarts;  // the first restart marker numbered as the second
  const size_t marker = swapped.find("\xFF\xD0");
  ASSERT_NE(marker, std::string::npos);
  swapped[marker + 1] = '\xD1';
  std::string extended = baseline;  // a stray byte before the end marker
  extended.insert(extended.size() - 2, "\x55");
  std::string markerInScan = baseline;  // a restart marker where the file declares no interval
  markerInScan.insert(markerInScan.size() / 2, "\xFF\xD0");
  struct Case {
    const char* name;
    std::string jpeg;
  };
  const Case cases[] = {
      {"4:2:0", save(photo, ".jpg", "[Q=80,subsample_mode=on]")},
      {"progressive", save(photo, ".jpg", "[Q=90,interlace]")},
      {"cut at two thirds", baseline.substr(0, baseline.size() * 2 / 3)},
      {"cut before the end marker", baseline.substr(0, baseline.size() - 2)},
      {"restart markers out of order", swapped},
      {"a stray byte after the scan", extended},
      {"a restart marker without an interval", markerInScan},
      {"not a JPEG", save(photo, ".png")},
      {"empty", ""},
      {"start of image alone", "\xFF\xD8"},
  };
  for (const auto& c : cases) EXPECT_FALSE(decodeDc(c.jpeg, false)) << c.name;
}

}  // namespace
}  // namespace mirelo::services::images
