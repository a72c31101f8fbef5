#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <vips/vips.h>

#include <zlib.h>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>

using namespace std::string_literals;

#include "../images/fixtures.h"
#include "../support/error_of.h"
#include "bytes.h"
#include "pictures.h"
#include "roomcard/resample.h"
#include "roomcard/watermark/format.h"
#include "roomcard/watermark/hamming.h"
#include "roomcard/watermark/layout.h"
#include "roomcard/watermark/packet.h"

namespace mirelo::services::roomcard {
namespace {

namespace WM = watermark;
using images::Image;

class WatermarkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images::initialise(); }
};

using services::testing::errorOf;

// The reader streams rows through the resampler; what it sees must be exactly the whole plane
// resampled, shrinking and enlarging, including rows it skips and edges.
TEST_F(WatermarkTest, StreamedResamplingEqualsWholePlane) {
  struct Case {
    int fromWidth, fromHeight, toWidth, toHeight;
  };
  std::mt19937 random(4);
  for (const Case c : {Case{720, 480, 1440, 960}, Case{2000, 1500, 1440, 960}, Case{301, 977, 960, 1440}}) {
    Plane source{c.fromWidth, c.fromHeight, std::vector<float>(static_cast<size_t>(c.fromWidth) * c.fromHeight)};
    for (float& v : source.samples) v = static_cast<float>(random() % 256);
    const Plane whole = resample(source, c.toWidth, c.toHeight);
    size_t rows = 0, differing = 0;
    resampleRows(
        c.fromWidth, c.fromHeight, c.toWidth, c.toHeight,
        [&](int y, float* out) {
          std::copy_n(&source.samples[static_cast<size_t>(y) * c.fromWidth], c.fromWidth, out);
        },
        [](int y) { return y % 7 != 3; },
        [&](int y, const float* row) {
          ++rows;
          for (int x = 0; x < c.toWidth; ++x)
            differing += row[x] != whole.samples[static_cast<size_t>(y) * c.toWidth + x];
        });
    EXPECT_EQ(rows, static_cast<size_t>(c.toHeight - (c.toHeight + 3) / 7)) << c.fromWidth;
    EXPECT_EQ(differing, 0u) << c.fromWidth;
  }
}

// The self-check reads its independent JPEG copy with TurboJPEG rather than libvips' loader,
// on the assumption that both decode libvips' JPEGs to the same pixels; a card's strength
// depends on them.
TEST_F(WatermarkTest, TurboJpegDecodesLibvipsJpegsAsLibvipsDoes) {
  const Image pictures[] = {testing::photo(720, 480, 3), testing::textOnWhite(), images::testing::noise(333, 211)};
  for (const Image& picture : pictures) {
    for (const int quality : {36, 75}) {
      void* jpeg = nullptr;
      size_t size = 0;
      ASSERT_EQ(vips_jpegsave_buffer(picture.get(), &jpeg, &size, "Q", quality, "strip", TRUE, nullptr), 0);
      VipsImage* loaded = vips_image_new_from_buffer(jpeg, size, "", nullptr);
      ASSERT_NE(loaded, nullptr);
      size_t bytes = 0;
      void* expected = vips_image_write_to_memory(loaded, &bytes);
      const int width = vips_image_get_width(loaded), height = vips_image_get_height(loaded);
      g_object_unref(loaded);
      std::vector<unsigned char> decoded(static_cast<size_t>(width) * height * 3);
      tjhandle decompressor = tjInitDecompress();
      EXPECT_EQ(tjDecompress2(decompressor, static_cast<unsigned char*>(jpeg), size, decoded.data(), width, 0, height,
                              TJPF_RGB, 0),
                0);
      tjDestroy(decompressor);
      EXPECT_EQ(bytes, decoded.size()) << width;
      EXPECT_TRUE(bytes == decoded.size() && std::memcmp(expected, decoded.data(), bytes) == 0)
          << width << " " << quality;
      g_free(expected);
      g_free(jpeg);
    }
  }
}

TEST_F(WatermarkTest, BasisProperties) {
  const auto& basis = WM::basis();
  double squares = 0, sum = 0, largest = 0;
  for (int k = 0; k < 256; ++k) {
    squares += basis[k] * basis[k];
    sum += basis[k];
    largest = std::max(largest, std::fabs(basis[k]));
    const int row = k / 16, column = k % 16;
    EXPECT_NEAR(basis[k], -basis[column * 16 + row], 1e-12);
    if (row == column) {
      EXPECT_NEAR(basis[k], 0, 1e-12);
    }
  }
  EXPECT_NEAR(squares, 2, 1e-12);
  EXPECT_NEAR(sum, 0, 1e-12);
  EXPECT_NEAR(largest, 0.1895, 0.0005);
}

TEST_F(WatermarkTest, OrderIsFixed) {
  struct Case {
    int width, height;
    size_t count;
  };
  for (const Case c : {Case{960, 1440, 3416}, Case{1440, 960, 4018}, Case{1280, 1280, 4884}}) {
    const auto list = WM::order(c.width, c.height);
    EXPECT_EQ(list.size(), c.count);
    EXPECT_EQ(list, WM::order(c.width, c.height));
    auto sorted = list;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  }
  // The shuffle itself, pinned: the first entries for the portrait profile.
  const auto portrait = WM::order(960, 1440);
  const std::vector<int> head(portrait.begin(), portrait.begin() + 4);
  std::vector<int> expected;
  {
    // Recomputed here from the definition, independently of the implementation's loop.
    std::vector<int> list;
    for (int r = 0; r < 90; ++r) {
      const double y = (r + 0.5) * 16 / 1440;
      for (int c = 0; c < 60; ++c) {
        const double x = (c + 0.5) * 16 / 960;
        if (0.04 < x && x < 0.96 && 0.03 < y && y < 0.71) list.push_back(r * 60 + c);
      }
    }
    uint64_t state = 0x004D4952454C4F31;
    for (size_t k = list.size() - 1; k >= 1; --k) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      const size_t j = state % (k + 1);
      std::swap(list[k], list[j]);
    }
    expected.assign(list.begin(), list.begin() + 4);
  }
  EXPECT_EQ(head, expected);
  EXPECT_TRUE(WM::order(8, 8).empty());
  EXPECT_EQ(WM::order(16, 16), std::vector<int>{0});
}

TEST_F(WatermarkTest, HammingCode) {
  const auto bits = WM::encodeBits("\x80");
  EXPECT_EQ(bits, (std::vector<uint8_t>{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(WM::encodeBits("").empty());
  EXPECT_EQ(WM::decodeBits(bits), "\x80"s.substr(0, 1));

  const std::string data = "MRW2 some bytes \x01\xff";
  const auto stream = WM::encodeBits(data);
  ASSERT_EQ(stream.size() % 15, 0u);
  for (size_t flip = 0; flip < stream.size(); ++flip) {  // any single flip is corrected
    auto damaged = stream;
    damaged[flip] ^= 1;
    ASSERT_EQ(WM::decodeBits(damaged).substr(0, data.size()), data) << flip;
  }
  auto twice = stream;
  twice[0] ^= 1;
  twice[5] ^= 1;  // two flips in one codeword: miscorrected
  EXPECT_NE(WM::decodeBits(twice).substr(0, data.size()), data);
}

TEST_F(WatermarkTest, PacketRoundTrips) {
  // base64url of {"r":"abc"} is eyJyIjoiYWJjIn0 (no padding); of {"r":"ab"} it needs "=".
  struct Case {
    std::string invitation;
    std::optional<std::string> unpacked;
  };
  const Case cases[] = {
      {"mirelo://join/#room-1/key", "mirelo://join/#room-1/key"},
      {"mirelo://join/#PC3-eyJyIjoiYWJjIn0", "mirelo://join/#PC3-eyJyIjoiYWJjIn0"},
      {"mirelo://join/#PC3-eyJyIjoiYWIifQ", "mirelo://join/#PC3-eyJyIjoiYWIifQ"},
      {"mirelo://join/#PC4-not base64!", "mirelo://join/#PC4-not base64!"},
      {"mirelo://join/#PC2-aGVsbG8", "mirelo://join/#PC2-aGVsbG8"},  // "hello": not JSON, carried as is
      {"PC5-eyJyIjoiYWJjIn0", "mirelo://join/#PC5-eyJyIjoiYWJjIn0"},
      {"https://elsewhere", "mirelo://join/#https://elsewhere"},  // packed whole; read back as a link
  };
  for (const auto& c : cases) EXPECT_EQ(WM::unpack(WM::packet(c.invitation)), c.unpacked) << c.invitation;
  // The JSON itself is what the packet carries.
  const std::string packet = WM::packet("mirelo://join/#PC3-eyJyIjoiYWJjIn0");
  std::string text(64, '\0');
  uLongf size = text.size();
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(text.data()), &size, reinterpret_cast<const Bytef*>(packet.data() + 10),
                       packet.size() - 10),
            Z_OK);
  EXPECT_EQ(text.substr(0, size), R"(PC3-{"r":"abc"})");
  // Padded base64url comes back unpadded.
  EXPECT_EQ(WM::unpack(WM::packet("mirelo://join/#PC3-eyJyIjoiYSJ9")), "mirelo://join/#PC3-eyJyIjoiYSJ9");
  EXPECT_EQ(WM::unpack(WM::packet("mirelo://join/#PC3-eyJyIjoiYWIifQ==")), "mirelo://join/#PC3-eyJyIjoiYWIifQ");

  EXPECT_EQ(errorOf([] { WM::packet("mirelo://join/#"); }), "邀请内容过长，请使用邀请链接");
  EXPECT_EQ(errorOf([] { WM::packet("mirelo://join/#" + std::string(2049, 'a')); }), "邀请内容过长，请使用邀请链接");
  EXPECT_EQ(errorOf([] { WM::packet("mirelo://join/#" + std::string(2048, 'a')); }), "");
}

TEST_F(WatermarkTest, UnpackChecks) {
  const std::string good = WM::packet("mirelo://join/#abc");
  EXPECT_EQ(WM::unpack(good + std::string(100, '\x5a')), "mirelo://join/#abc");  // trailing noise ignored
  std::string badCrc = good;
  badCrc[12] ^= 1;
  std::string badMagic = good;
  badMagic[0] = 'X';
  std::string zeroLength = good;
  zeroLength[4] = zeroLength[5] = 0;
  for (const std::string& bytes : {badCrc, badMagic, zeroLength, good.substr(0, good.size() - 1), good.substr(0, 9)}) {
    EXPECT_FALSE(WM::unpack(bytes));
  }
  // A stream that inflates past 2,048 bytes is refused however well formed.
  const std::string bomb(5000, 'P');
  uLongf length = compressBound(bomb.size());
  std::string compressed(length, '\0');
  compress2(reinterpret_cast<Bytef*>(compressed.data()), &length, reinterpret_cast<const Bytef*>(bomb.data()),
            bomb.size(), 9);
  compressed.resize(length);
  std::string packet = "MRW2";
  packet += static_cast<char>(length >> 8);
  packet += static_cast<char>(length);
  packet += bytes::big32(bytes::crc32(compressed)) + compressed;
  EXPECT_FALSE(WM::unpack(packet));
}

TEST_F(WatermarkTest, Geometry) {
  struct Case {
    int width, height;
    std::pair<int, int> profile;
  };
  const Case cases[] = {{899, 1000, {960, 1440}},
                        {900, 1000, {1280, 1280}},
                        {1200, 1000, {1280, 1280}},
                        {1201, 1000, {1440, 960}},
                        {4000, 3000, {1440, 960}}};
  for (const auto& c : cases) EXPECT_EQ(WM::geometry(images::testing::black(c.width, c.height)), c.profile);
}

}  // namespace
}  // namespace mirelo::services::roomcard
