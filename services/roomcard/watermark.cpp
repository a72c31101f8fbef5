#include "watermark.h"

#include <vips/vips.h>
#include <turbojpeg.h>
#include <webp/decode.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <thread>
#include <utility>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

#include <sys/mman.h>

#include "base64.h"
#include "codec.h"
#include "resample.h"
#include "utf8.h"

namespace mirelo::services::roomcard {
namespace {

using images::Image;
using W = RoomCardWatermark;

constexpr std::string_view kPrefix = "mirelo://join/#";
constexpr std::string_view kCompactPrefixes[] = {"PC2-", "PC3-", "PC4-", "PC5-"};

using Owned = images::OwnedVips;

// Rounds halves away from zero, exactly as std::round, without a library call for the values pixel
// work meets: truncation by conversion is exact, and so is the difference it leaves.
double roundHalfAway(double value) {
  if (!(std::fabs(value) < 0x1p62)) return std::round(value);
  const double truncated = static_cast<double>(static_cast<int64_t>(value));
  if (value - truncated >= 0.5) return truncated + 1;
  if (truncated - value >= 0.5) return truncated - 1;
  return truncated;
}

// roundHalfAway for |value| < 2^31, without branches.
inline double roundSmall(double value) {
  const double truncated = static_cast<double>(static_cast<int32_t>(value));
  const double fraction = value - truncated;
  const double up = fraction >= 0.5 ? 1.0 : 0.0, down = fraction <= -0.5 ? 1.0 : 0.0;
  return truncated + up - down;
}

// Each pixel's brightness (the sum of its channels) once a grey nudge of `dd` times its weight is
// added, limited to what the pixel's darkest and brightest channels allow, each channel rounded
// and clamped to 0 … 255. Plain selects, so the loop runs on vectors.
void nudgedBrightness(const std::array<std::array<double, 256>, 3>& channels, const std::array<double, 256>& darkest,
                      const std::array<double, 256>& brightest, const std::array<double, 256>& weights, double dd,
                      std::array<double, 256>& out) {
  const auto clamped = [](double value, double low, double high) {
    const double above = value < low ? low : value;
    return above > high ? high : above;
  };
  for (int k = 0; k < 256; ++k) {
    const double delta = clamped(dd * weights[k], -darkest[k], 255 - brightest[k]);
    out[k] = 0.0 + clamped(roundSmall(channels[0][k] + delta), 0.0, 255.0) +
             clamped(roundSmall(channels[1][k] + delta), 0.0, 255.0) +
             clamped(roundSmall(channels[2][k] + delta), 0.0, 255.0);
  }
}

bool isCompactPrefix(std::string_view text) {
  return std::any_of(std::begin(kCompactPrefixes), std::end(kCompactPrefixes),
                     [&](std::string_view prefix) { return text.starts_with(prefix); });
}

// The image's alpha flattened on white, back to 8 bits; false (vips error cleared) on failure.
bool flattenOnWhite(Owned& image) {
  return images::applyStep(image, [](VipsImage* i, VipsImage** out) {
           VipsArrayDouble* white = vips_array_double_newv(3, 255.0, 255.0, 255.0);
           const int status = vips_flatten(i, out, "background", white, nullptr);
           vips_area_unref(VIPS_AREA(white));
           return status;
         }) &&
         images::applyStep(image, [](VipsImage* i, VipsImage** out) { return vips_cast_uchar(i, out, nullptr); });
}

// The image as 8-bit sRGB, with its alpha band if it has one (straight alpha).
Owned eightBitRgb(const Image& source) {
  Image converted;
  try {
    converted = images::eightBit(source, false);
  } catch (const Error&) {
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  const int bands = vips_image_get_bands(converted.get());
  if (bands != 3 && bands != 4) throw RoomCardCodec::error("房卡图片无法读取");
  g_object_ref(converted.get());
  return Owned(converted.get());
}

// Draws the image at W × H, stretched, with high-quality (Lanczos) interpolation: on white when
// `flatten` is set, otherwise keeping its alpha. Returns 3 bands when flattened or opaque, else 4.
Owned draw(const Image& source, int width, int height, bool flatten, VipsKernel kernel = VIPS_KERNEL_LANCZOS3) {
  Owned image = eightBitRgb(source);
  const bool alpha = vips_image_get_bands(image.get()) == 4;
  bool ok = true;
  if (alpha && flatten) {
    // Flattening is linear in premultiplied colour, so it may come before the resampling.
    ok = flattenOnWhite(image);
  }
  const int w = vips_image_get_width(image.get()), h = vips_image_get_height(image.get());
  if (ok && (w != width || h != height)) {
    if (alpha && !flatten) {
      // Transparent pixels must not bleed colour: thumbnail resamples premultiplied.
      ok = images::applyStep(image, [&](VipsImage* i, VipsImage** out) {
        return vips_thumbnail_image(i, out, width, "height", height, "size", VIPS_SIZE_FORCE, nullptr);
      });
    } else {
      ok = images::applyStep(image, [&](VipsImage* i, VipsImage** out) {
        return vips_resize(i, out, static_cast<double>(width) / w, "vscale", static_cast<double>(height) / h, "kernel",
                           kernel, nullptr);
      });
    }
  }
  if (ok && vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    ok = images::applyStep(image, [](VipsImage* i, VipsImage** out) { return vips_cast_uchar(i, out, nullptr); });
  }
  if (!ok || vips_image_get_width(image.get()) != width || vips_image_get_height(image.get()) != height) {
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  return image;
}

// The drawing as a raster: premultiplied RGBA.
Raster toRaster(VipsImage* drawn) {
  const int width = vips_image_get_width(drawn), height = vips_image_get_height(drawn);
  const int bands = vips_image_get_bands(drawn);
  size_t size = 0;
  auto* memory = static_cast<uint8_t*>(vips_image_write_to_memory(drawn, &size));
  if (!memory) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  Raster raster{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
  const uint8_t* from = memory;
  uint8_t* to = raster.pixels.data();
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i, from += bands, to += 4) {
    const unsigned a = bands == 4 ? from[3] : 255;
    for (int c = 0; c < 3; ++c) to[c] = a == 255 ? from[c] : static_cast<uint8_t>((from[c] * a + 127) / 255);
    to[3] = static_cast<uint8_t>(a);
  }
  g_free(memory);
  return raster;
}

}  // namespace

const std::array<double, 256>& RoomCardWatermark::basis() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> raw{};
    double sum = 0;
    for (int k = 0; k < 256; ++k) {
      const double a = (k / 16 + 0.5) * M_PI / 16, b = (k % 16 + 0.5) * M_PI / 16;
      raw[k] = std::sin(a) * std::sin(b) * (std::cos(a) - std::cos(b));
      sum += raw[k] * raw[k];
    }
    const double factor = std::sqrt(2 / sum);
    for (double& v : raw) v *= factor;
    return raw;
  }();
  return table;
}

namespace {

std::pair<int, int> profileFor(int width, int height) {
  const double ratio = static_cast<double>(width) / height;
  if (ratio < 0.9) return RoomCardWatermark::profiles[0];
  if (ratio > 1.2) return RoomCardWatermark::profiles[1];
  return RoomCardWatermark::profiles[2];
}

}  // namespace

std::pair<int, int> RoomCardWatermark::geometry(const Image& image) { return profileFor(image.width(), image.height()); }

Raster RoomCardWatermark::raster(const Image& image, int width, int height, bool flatten) {
  const Owned drawn = draw(image, width, height, flatten);
  return toRaster(drawn.get());
}

namespace {

// Premultiplied RGBA to straight RGBA. Colour above its alpha is not valid premultiplied data; it
// saturates.
void straightInto(const uint8_t* premultiplied, size_t size, uint8_t* out) {
  std::memcpy(out, premultiplied, size);
  for (size_t i = 0; i < size; i += 4) {
    uint8_t* p = &out[i];
    const unsigned a = p[3];
    if (a == 255) continue;
    for (int c = 0; c < 3; ++c) p[c] = a ? static_cast<uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a)) : 0;
  }
}

std::vector<uint8_t> straight(const Raster& raster) {
  std::vector<uint8_t> out(raster.pixels.size());
  straightInto(raster.pixels.data(), raster.pixels.size(), out.data());
  return out;
}

Image imageFrom(const uint8_t* pixels, size_t size, int width, int height, int bands) {
  VipsImage* image = vips_image_new_from_memory_copy(pixels, size, width, height, bands, VIPS_FORMAT_UCHAR);
  if (!image) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡生成失败");
  }
  image->Type = VIPS_INTERPRETATION_sRGB;
  return Image(image);
}

}  // namespace

Image RoomCardWatermark::cgImage(const Raster& raster) {
  const std::vector<uint8_t> pixels = straight(raster);
  return imageFrom(pixels.data(), pixels.size(), raster.width, raster.height, 4);
}

std::vector<int> RoomCardWatermark::order(int width, int height) {
  const int columns = width / blockSize, rows = height / blockSize;
  const double bottom = width < height ? 0.71 : 0.85;
  std::vector<int> list;
  for (int r = 0; r < rows; ++r) {
    const double y = (r + 0.5) * blockSize / height;
    if (!(0.03 < y && y < bottom)) continue;
    for (int c = 0; c < columns; ++c) {
      const double x = (c + 0.5) * blockSize / width;
      if (0.04 < x && x < 0.96) list.push_back(r * columns + c);
    }
  }
  uint64_t state = seed;
  for (size_t k = list.size(); k-- > 1;) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const size_t j = state % (k + 1);
    if (j != k) std::swap(list[k], list[j]);
  }
  return list;
}

double RoomCardWatermark::score(const Raster& raster, int block, int width) {
  const int columns = width / blockSize;
  const int left = blockSize * (block % columns), top = blockSize * (block / columns);
  const auto& weights = basis();
  double sum = 0;
  for (int row = 0; row < blockSize; ++row) {
    const uint8_t* p = &raster.pixels[(static_cast<size_t>(top + row) * width + left) * 4];
    for (int column = 0; column < blockSize; ++column, p += 4) {
      sum += weights[row * blockSize + column] * ((p[0] + p[1] + p[2]) / 3.0);
    }
  }
  return sum;
}

std::string RoomCardWatermark::packet(std::string_view invitation) {
  std::string text(invitation.starts_with(kPrefix) ? invitation.substr(kPrefix.size()) : invitation);
  if (isCompactPrefix(text)) {
    std::string rest = text.substr(4);
    std::replace(rest.begin(), rest.end(), '-', '+');
    std::replace(rest.begin(), rest.end(), '_', '/');
    while (rest.size() % 4) rest.push_back('=');
    if (auto decoded = base64Decode(rest); decoded && isValidUtf8(*decoded) && decoded->starts_with('{')) {
      text = text.substr(0, 4) + *decoded;
    }
  }
  if (text.empty() || text.size() > maxText) throw RoomCardCodec::error("邀请内容过长，请使用邀请链接");
  uLongf length = compressBound(static_cast<uLong>(text.size()));
  std::string compressed(length, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &length, reinterpret_cast<const Bytef*>(text.data()),
                static_cast<uLong>(text.size()), 9) != Z_OK ||
      length > maxCompressed) {
    throw RoomCardCodec::error("邀请编码失败");
  }
  compressed.resize(length);
  std::string out(magic);
  out.push_back(static_cast<char>(length >> 8));
  out.push_back(static_cast<char>(length));
  out += RoomCardCodec::number(RoomCardCodec::checksum(compressed));
  out += compressed;
  return out;
}

std::optional<std::string> RoomCardWatermark::unpack(std::string_view bytes) {
  if (bytes.size() < 10 || bytes.substr(0, 4) != magic) return std::nullopt;
  const size_t length = static_cast<unsigned char>(bytes[4]) << 8 | static_cast<unsigned char>(bytes[5]);
  if (length < 1 || length > maxCompressed || bytes.size() < length + 10) return std::nullopt;
  const std::string_view compressed = bytes.substr(10, length);
  if (RoomCardCodec::checksum(compressed) != RoomCardCodec::integer(bytes, 6)) return std::nullopt;
  // Inflate into a buffer one byte larger than any valid text: a bomb stops there.
  std::string text(maxText + 1, '\0');
  uLongf size = static_cast<uLongf>(text.size());
  if (uncompress(reinterpret_cast<Bytef*>(text.data()), &size, reinterpret_cast<const Bytef*>(compressed.data()),
                 static_cast<uLong>(compressed.size())) != Z_OK ||
      size > maxText) {
    return std::nullopt;
  }
  text.resize(size);
  // The packet carries the invitation without its link prefix, so any text is put back behind it;
  // the CRC has already told a packet from noise.
  if (text.empty() || !isValidUtf8(text)) return std::nullopt;
  if (text.size() >= 5 && isCompactPrefix(text) && text[4] == '{') {
    std::string encoded = base64Encode(std::string_view(text).substr(4));
    std::replace(encoded.begin(), encoded.end(), '+', '-');
    std::replace(encoded.begin(), encoded.end(), '/', '_');
    encoded.erase(std::find(encoded.begin(), encoded.end(), '='), encoded.end());
    text = text.substr(0, 4) + encoded;
  }
  if (!text.starts_with(kPrefix)) text = std::string(kPrefix) + text;
  return text;
}

std::vector<uint8_t> RoomCardWatermark::encodeBits(std::string_view bytes) {
  std::vector<uint8_t> data;
  data.reserve(bytes.size() * 8 + 10);
  for (unsigned char byte : bytes) {
    for (int bit = 7; bit >= 0; --bit) data.push_back((byte >> bit) & 1);
  }
  while (data.size() % dataPositions.size()) data.push_back(0);
  std::vector<uint8_t> stream;
  stream.reserve(data.size() / 11 * 15);
  for (size_t group = 0; group < data.size(); group += dataPositions.size()) {
    uint8_t word[16] = {};
    for (size_t i = 0; i < dataPositions.size(); ++i) word[dataPositions[i]] = data[group + i];
    word[1] = word[3] ^ word[5] ^ word[7] ^ word[9] ^ word[11] ^ word[13] ^ word[15];
    word[2] = word[3] ^ word[6] ^ word[7] ^ word[10] ^ word[11] ^ word[14] ^ word[15];
    word[4] = word[5] ^ word[6] ^ word[7] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    word[8] = word[9] ^ word[10] ^ word[11] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    stream.insert(stream.end(), word + 1, word + 16);
  }
  return stream;
}

std::string RoomCardWatermark::decodeBits(const std::vector<uint8_t>& bits) {
  std::string out;
  unsigned accumulator = 0;
  int pending = 0;
  for (size_t group = 0; group + 15 <= bits.size(); group += 15) {
    uint8_t word[16];
    for (int p = 1; p <= 15; ++p) word[p] = bits[group + p - 1] & 1;
    const int s1 = word[1] ^ word[3] ^ word[5] ^ word[7] ^ word[9] ^ word[11] ^ word[13] ^ word[15];
    const int s2 = word[2] ^ word[3] ^ word[6] ^ word[7] ^ word[10] ^ word[11] ^ word[14] ^ word[15];
    const int s4 = word[4] ^ word[5] ^ word[6] ^ word[7] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    const int s8 = word[8] ^ word[9] ^ word[10] ^ word[11] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    if (const int syndrome = s1 + 2 * s2 + 4 * s4 + 8 * s8) word[syndrome] ^= 1;
    for (int position : dataPositions) {
      accumulator = accumulator << 1 | word[position];
      if (++pending == 8) {
        out.push_back(static_cast<char>(accumulator));
        accumulator = 0;
        pending = 0;
      }
    }
  }
  return out;
}

namespace {

// Brightness (R + G + B) / 3 of one row of straight RGB or RGBA bytes flattened on white.
void brightnessRow(const uint8_t* pixels, int width, int bands, float* out) {
  for (int x = 0; x < width; ++x) {
    const uint8_t* p = pixels + static_cast<size_t>(x) * bands;
    float value = (p[0] + p[1] + p[2]) / 3.f;
    if (bands == 4 && p[3] != 255) {
      const float a = p[3] / 255.f;
      value = value * a + 255.f * (1 - a);
    }
    out[x] = value;
  }
}

// The scores of every usable block of an image given as straight RGB or RGBA bytes at its own
// size, as drawn flattened at the working size. Drawing and scoring need nothing but brightness,
// and one channel resamples three times faster than colour; rows are streamed through the
// resampler into the scores, so no plane of either size is made. Empty when the image is too small
// to read.
std::vector<double> scoresOf(const uint8_t* pixels, int sourceWidth, int sourceHeight, int bands) {
  using WM = RoomCardWatermark;
  if (sourceWidth < WM::minDecodeSize || sourceHeight < WM::minDecodeSize) return {};
  const auto [width, height] = profileFor(sourceWidth, sourceHeight);
  const std::vector<int> blocks = WM::order(width, height);
  const int columns = width / WM::blockSize, rows = height / WM::blockSize;
  // For each block of the grid, its place in the order, or −1.
  std::vector<int> place(static_cast<size_t>(columns) * rows, -1);
  std::vector<char> rowUsed(static_cast<size_t>(rows), 0);
  for (size_t i = 0; i < blocks.size(); ++i) {
    place[static_cast<size_t>(blocks[i])] = static_cast<int>(i);
    rowUsed[static_cast<size_t>(blocks[i] / columns)] = 1;
  }
  const auto& weights = WM::basis();
  std::vector<double> scores(blocks.size(), 0.0);
  const size_t stride = static_cast<size_t>(sourceWidth) * bands;
  resampleRows(
      sourceWidth, sourceHeight, width, height,
      [&](int y, float* out) { brightnessRow(pixels + stride * y, sourceWidth, bands, out); },
      [&](int y) { return y / WM::blockSize < rows && rowUsed[static_cast<size_t>(y / WM::blockSize)]; },
      [&](int y, const float* samples) {
        const int r = y / WM::blockSize;
        const double* weight = &weights[static_cast<size_t>(y % WM::blockSize) * WM::blockSize];
        for (int c = 0; c < columns; ++c) {
          const int i = place[static_cast<size_t>(r) * columns + c];
          if (i < 0) continue;
          const float* p = samples + c * WM::blockSize;
          double sum = scores[static_cast<size_t>(i)];
          for (int column = 0; column < WM::blockSize; ++column) sum += weight[column] * p[column];
          scores[static_cast<size_t>(i)] = sum;
        }
      });
  return scores;
}

std::vector<double> scoresOf(const Image& image) {
  const Owned rgb = eightBitRgb(image);
  size_t size = 0;
  auto* pixels = static_cast<uint8_t*>(vips_image_write_to_memory(rgb.get(), &size));
  if (!pixels) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  std::vector<double> scores = scoresOf(pixels, image.width(), image.height(), vips_image_get_bands(rgb.get()));
  g_free(pixels);
  return scores;
}

int parity(double score, int step) { return static_cast<int>(static_cast<int64_t>(roundHalfAway(score / step)) & 1); }

std::optional<std::string> decodeScores(const std::vector<double>& scores) {
  if (scores.empty()) return std::nullopt;
  std::vector<uint8_t> bits(scores.size());
  for (int step : RoomCardWatermark::strengths) {
    for (size_t i = 0; i < scores.size(); ++i) bits[i] = static_cast<uint8_t>(parity(scores[i], step));
    if (auto text = RoomCardWatermark::unpack(RoomCardWatermark::decodeBits(bits))) return text;
  }
  return std::nullopt;
}

// Memory for the big buffers of one embed, asked to be backed by huge pages: a few faults per
// buffer instead of one per 4 KiB, and never zero-filled by us.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data_); }
  // At least `size` bytes; the contents are kept only when nothing had to be allocated.
  uint8_t* reserve(size_t size) {
    if (size > capacity_) {
      std::free(data_);
      constexpr size_t huge = size_t{2} << 20;
      capacity_ = (size + huge - 1) / huge * huge;
      data_ = static_cast<uint8_t*>(std::aligned_alloc(huge, capacity_));
      if (!data_) {
        capacity_ = 0;
        throw std::bad_alloc();
      }
      ::madvise(data_, capacity_, MADV_HUGEPAGE);
    }
    return data_;
  }
  uint8_t* data() const { return data_; }
  // Hands the memory over (to be given back with std::free); the buffer is empty after.
  uint8_t* release() {
    capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
};

// What one thread of the self-check reuses across its JPEG round trips: the codec's handles, the
// compressed bytes and the decoded pixels.
struct JpegWorkspace {
  tjhandle compressor = nullptr;
  tjhandle decompressor = nullptr;
  Buffer jpeg;
  Buffer decoded;
  JpegWorkspace() = default;
  JpegWorkspace(const JpegWorkspace&) = delete;
  JpegWorkspace& operator=(const JpegWorkspace&) = delete;
  ~JpegWorkspace() {
    if (compressor) tjDestroy(compressor);
    if (decompressor) tjDestroy(decompressor);
  }
};

// The copy a chat app or a screenshot tool would make: JPEG at quality 100 × factor with 4:2:0
// chroma, decoded again; its scores. Nothing when the codec cannot make or read it.
std::optional<std::vector<double>> jpegRoundTrip(JpegWorkspace& work, const uint8_t* rgb, int width, int height,
                                                 double factor) {
  if (!work.compressor) work.compressor = tjInitCompress();
  if (!work.decompressor) work.decompressor = tjInitDecompress();
  if (!work.compressor || !work.decompressor) return std::nullopt;
  unsigned long size = tjBufSize(width, height, TJSAMP_420);
  unsigned char* jpeg = work.jpeg.reserve(size);
  if (tjCompress2(work.compressor, rgb, width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420,
                  static_cast<int>(std::lround(100 * factor)), TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
    return std::nullopt;
  }
  int w = 0, h = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(work.decompressor, jpeg, size, &w, &h, &subsampling, &colourspace) != 0 || w != width ||
      h != height) {
    return std::nullopt;
  }
  uint8_t* decoded = work.decoded.reserve(static_cast<size_t>(w) * h * 3);
  if (tjDecompress2(work.decompressor, jpeg, size, decoded, w, 0, h, TJPF_RGB, 0) != 0) return std::nullopt;
  return scoresOf(decoded, w, h, 3);
}

// Runs task(0) … task(count − 1) on this thread and one helper until one returns false; returns
// whether all returned true. Tasks after a failure are not started.
// Each task is told which of the two threads runs it (0: this one, 1: the helper).
template <class Task>
bool allPass(size_t count, const Task& task) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto work = [&](int worker) {
    for (size_t i; !failed.load() && (i = next.fetch_add(1)) < count;) {
      if (!task(i, worker)) failed.store(true);
    }
  };
  std::thread helper(work, 1);
  work(0);
  helper.join();
  return !failed.load();
}

}  // namespace

std::optional<std::string> RoomCardWatermark::decode(const Image& image) {
  if (image.width() < minDecodeSize || image.height() < minDecodeSize) return std::nullopt;
  try {
    return decodeScores(scoresOf(image));
  } catch (const Error&) {
    return std::nullopt;
  }
}

namespace {

// Copies an 8-bit image's bytes into `out`, strip by strip as libvips computes them: no buffer of
// the whole image besides ours.
bool copyInto(VipsImage* image, uint8_t* out) {
  const auto write = [](VipsRegion* region, VipsRect* area, void* a) -> int {
    auto* target = static_cast<uint8_t*>(a);
    const size_t row = VIPS_IMAGE_SIZEOF_LINE(region->im);
    for (int y = area->top; y < VIPS_RECT_BOTTOM(area); ++y) {
      std::memcpy(target + row * y, VIPS_REGION_ADDR(region, area->left, y), row);
    }
    return 0;
  };
  if (vips_sink_disc(image, write, out)) {
    vips_error_clear();
    return false;
  }
  return true;
}

// The independent copies of the self-check, made by a pipeline that shares nothing with ours: a
// triangle (bilinear) half-size drawing by libvips saved by libvips' own JPEG writer (libjpeg's
// accurate DCT, its standard tables), and the card saved whole as lossy WebP, whose smoothing of
// flat areas no JPEG copy shows. Each at a quality a little below the harshest copy of its kind
// that cards must survive (JPEG 40, WebP 50): other programs' scalers and encoders land a card near
// that edge on either side of ours, so a card must keep this margin. Their brightness; nothing
// when one cannot be made or read.
constexpr int kIndependentJpegQuality = 36;
constexpr int kIndependentWebpQuality = 45;
// libwebp's effort 1 of 6 (default 4): half the time, and its filtering of flat areas is as strong.
constexpr int kIndependentWebpEffort = 1;
constexpr double kLossChance = 0.15;

enum class Independent { halfJpeg, webp };

std::optional<std::vector<double>> independentCopy(const Image& candidate, int width, int height, Independent kind,
                                                   Buffer& decodedPixels) {
  Owned image = eightBitRgb(candidate);
  bool ok = true;
  if (vips_image_get_bands(image.get()) == 4) {
    ok = flattenOnWhite(image);
  }
  if (kind == Independent::halfJpeg) {
    ok = ok && images::applyStep(image, [&](VipsImage* i, VipsImage** out) {
      return vips_resize(i, out, static_cast<double>(width / 2) / width, "vscale",
                         static_cast<double>(height / 2) / height, "kernel", VIPS_KERNEL_LINEAR, nullptr);
    });
    ok = ok && images::applyStep(image, [](VipsImage* i, VipsImage** out) { return vips_cast_uchar(i, out, nullptr); });
  }
  void* encoded = nullptr;
  size_t size = 0;
  if (!ok || (kind == Independent::halfJpeg
                  ? vips_jpegsave_buffer(image.get(), &encoded, &size, "Q", kIndependentJpegQuality, "strip", TRUE, nullptr)
                  : vips_webpsave_buffer(image.get(), &encoded, &size, "Q", kIndependentWebpQuality, "strip", TRUE,
                                         "effort", kIndependentWebpEffort, nullptr))) {
    vips_error_clear();
    return std::nullopt;
  }
  std::optional<std::vector<double>> scores;
  WebPBitstreamFeatures features;
  if (kind == Independent::webp) {
    // libwebp itself: the same pixels as libvips' loader gives, in a third of its time.
    if (WebPGetFeatures(static_cast<const uint8_t*>(encoded), size, &features) == VP8_STATUS_OK) {
      const int bands = features.has_alpha ? 4 : 3;
      const size_t bytes = static_cast<size_t>(features.width) * features.height * bands;
      uint8_t* pixels = decodedPixels.reserve(bytes);
      const auto* data = static_cast<const uint8_t*>(encoded);
      if ((bands == 4 ? WebPDecodeRGBAInto(data, size, pixels, bytes, features.width * 4)
                      : WebPDecodeRGBInto(data, size, pixels, bytes, features.width * 3)) != nullptr) {
        scores = scoresOf(pixels, features.width, features.height, bands);
      }
    }
  } else if (VipsImage* decoded = vips_image_new_from_buffer(encoded, size, "", nullptr)) {
    try {
      const Owned rgb = eightBitRgb(Image(decoded));
      const int w = vips_image_get_width(rgb.get()), h = vips_image_get_height(rgb.get());
      const int bands = vips_image_get_bands(rgb.get());
      uint8_t* pixels = decodedPixels.reserve(static_cast<size_t>(w) * h * bands);
      if (copyInto(rgb.get(), pixels)) scores = scoresOf(pixels, w, h, bands);
    } catch (const Error&) {
    }
  }
  g_free(encoded);
  vips_error_clear();
  return scores;
}

// The image drawn at W × H as `raster` draws it (premultiplied RGBA), converted strip by strip
// into `out`: neither libvips' buffer of the whole drawing nor a zero-filled one of ours.
const uint8_t* drawRgba(const Image& image, int width, int height, bool flatten, Buffer& out) {
  const Owned drawn = draw(image, width, height, flatten);
  struct Target {
    uint8_t* pixels;
    int width;
    int bands;
  } target{out.reserve(static_cast<size_t>(width) * height * 4), width, vips_image_get_bands(drawn.get())};
  const auto write = [](VipsRegion* region, VipsRect* area, void* a) -> int {
    const auto* t = static_cast<const Target*>(a);
    for (int y = area->top; y < VIPS_RECT_BOTTOM(area); ++y) {
      const auto* from = reinterpret_cast<const uint8_t*>(VIPS_REGION_ADDR(region, area->left, y));
      uint8_t* to = t->pixels + static_cast<size_t>(y) * t->width * 4;
      for (int x = 0; x < area->width; ++x, from += t->bands, to += 4) {
        const unsigned a = t->bands == 4 ? from[3] : 255;
        for (int c = 0; c < 3; ++c) to[c] = a == 255 ? from[c] : static_cast<uint8_t>((from[c] * a + 127) / 255);
        to[3] = static_cast<uint8_t>(a);
      }
    }
    return 0;
  };
  if (vips_sink_disc(drawn.get(), write, &target)) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  return target.pixels;
}

// The scaled drawing of a card for a self-check copy, as 3-band RGB bytes in `out`.
const uint8_t* scaledRgb(const Image& candidate, int width, int height, Buffer& out) {
  const Owned drawn = draw(candidate, width, height, true);
  uint8_t* target = out.reserve(static_cast<size_t>(width) * height * 3);
  if (vips_image_get_bands(drawn.get()) != 3 || !copyInto(drawn.get(), target)) {
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  return target;
}

}  // namespace

Image RoomCardWatermark::embed(const Image& image, std::string_view invitation, EmbedReport* report) {
  const auto [geometryWidth, geometryHeight] = geometry(image);
  const int width = geometryWidth, height = geometryHeight;  // plain names: lambdas below capture them
  const std::vector<uint8_t> bits = encodeBits(packet(invitation));
  const std::vector<int> blocks = order(width, height);
  if (blocks.size() < bits.size()) throw RoomCardCodec::error("邀请内容超出房卡容量");
  // The drawing (premultiplied RGBA, as `raster` makes it), and the colour the blocks are written
  // from: the same drawing when opaque, else the picture flattened on white.
  const size_t rgbaBytes = static_cast<size_t>(width) * height * 4;
  Buffer canvasBuffer, flattenedBuffer;
  const uint8_t* const canvas = drawRgba(image, width, height, false, canvasBuffer);
  bool opaque = true;
  for (size_t i = 3; i < rgbaBytes && opaque; i += 4) opaque = canvas[i] == 255;
  const uint8_t* const base = opaque ? canvas : drawRgba(image, width, height, true, flattenedBuffer);
  const auto& weights = basis();
  std::vector<double> scores(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) {
    const int left = blockSize * (blocks[i] % (width / blockSize)), top = blockSize * (blocks[i] / (width / blockSize));
    double sum = 0;
    for (int row = 0; row < blockSize; ++row) {
      const uint8_t* p = &base[(static_cast<size_t>(top + row) * width + left) * 4];
      for (int column = 0; column < blockSize; ++column, p += 4) {
        sum += weights[row * blockSize + column] * ((p[0] + p[1] + p[2]) / 3.0);
      }
    }
    scores[i] = sum;
  }
  const int columns = width / blockSize;

  // Writes every data block of the copy at this step; returns whether some channel had to be
  // clamped (a nudge that did not land whole). With headroom, a block whose nudge would be clamped
  // gets a stronger nudge instead, so that what survives the clamping still moves its score to the
  // target (at a pure black block that is the pattern's bright half alone, a third of the energy
  // of lifting the block first). Where even that cannot reach the target (a block clamped at both
  // ends), its channels are first mapped linearly into lo … hi, only as far inside as the nudge
  // needs: the map scales the score by (hi − lo) / 255 (the pattern sums to zero), so the nudge is
  // worked out again from the mapped score. Headroom nudges are grey (each channel alike): JPEG
  // keeps brightness far better than colour, which it subsamples. A block's target is its quantised
  // value plus its offset, zero unless the block is aimed off (below).
  // The card's pixels as it ships: RGB when opaque, written in place; otherwise straight RGBA from
  // `copy`, the premultiplied drawing written first.
  Buffer copy;
  Buffer pixelBuffer;
  const int bands = opaque ? 3 : 4;
  const size_t pixelBytes = static_cast<size_t>(width) * height * bands;
  std::vector<double> offsets(bits.size(), 0.0);
  const auto write = [&](int step, bool headroom) {
    std::atomic<bool> anyClamped{false};
    uint8_t* const out = opaque ? pixelBuffer.data() : copy.data();
    // One block; blocks do not overlap, so two threads may write them.
    const auto one = [&](size_t i) {
      bool clamped = false;
      const int left = blockSize * (blocks[i] % columns), top = blockSize * (blocks[i] / columns);
      const auto pixel = [&](int k) { return &base[(static_cast<size_t>(top + k / 16) * width + left + k % 16) * 4]; };
      double lo = 0, hi = 255, d = 0, target = 0, c = 0;
      const auto aim = [&] {
        c = lo == 0 && hi == 255 ? scores[i] : scores[i] * (hi - lo) / 255;
        auto q = static_cast<int64_t>(roundHalfAway(c / step));
        if ((q & 1) != bits[i]) q = std::fabs(step * (q - 1.0) - c) < std::fabs(step * (q + 1.0) - c) ? q - 1 : q + 1;
        target = step * static_cast<double>(q) + offsets[i];
        d = (target - c) * 0.5;
      };
      // With headroom, each channel of the block mapped into lo … hi, and each pixel's darkest and
      // brightest mapped channel: the search below tries hundreds of nudges on the same values.
      std::array<std::array<double, 256>, 3> mapped;
      std::array<double, 256> darkest, brightest;
      const auto mapBlock = [&] {
        const double scale = (hi - lo) / 255;
        for (int k = 0; k < 256; ++k) {
          const uint8_t* p = pixel(k);
          for (int channel = 0; channel < 3; ++channel) mapped[channel][k] = lo + p[channel] * scale;
          darkest[k] = lo + std::min({p[0], p[1], p[2]}) * scale;
          brightest[k] = lo + std::max({p[0], p[1], p[2]}) * scale;
        }
      };
      // The change of pixel k under nudge `dd`. With headroom it is grey, the same in each channel,
      // and stops where the pixel's darkest or brightest channel clips.
      const auto shift = [&](int k, double dd) {
        const double raw = dd * weights[k];
        if (!headroom) return raw;
        return std::clamp(raw, -darkest[k], 255 - brightest[k]);
      };
      // The block's score once written with headroom nudge `dd`, rounding and clamping included.
      // The pixels are worked out free of branches, then summed in order.
      const auto landed = [&](double dd) {
        std::array<double, 256> brightness;
        nudgedBrightness(mapped, darkest, brightest, weights, dd, brightness);
        double sum = 0;
        for (int k = 0; k < 256; ++k) sum += weights[k] * brightness[k] / 3;
        return sum;
      };
      aim();
      if (headroom) {
        mapBlock();
        for (int round = 0; round < 4 && std::fabs(landed(d) - target) > 1; ++round) {
          // Stronger nudges reach further while the clamped part grows; bisect for the target.
          double near = d, far = d * 8;
          if ((landed(far) - target) * (target - c) >= 0) {
            for (int halving = 0; halving < 14; ++halving) {
              const double middle = (near + far) / 2;
              ((landed(middle) - target) * (target - c) < 0 ? near : far) = middle;
            }
            d = far;
            break;
          }
          // Out of reach: make room at the clamped ends and aim again.
          double under = 0, over = 0;
          for (int k = 0; k < 256; ++k) {
            for (int channel = 0; channel < 3; ++channel) {
              const double value = lo + pixel(k)[channel] * (hi - lo) / 255 + d * weights[k];
              under = std::max(under, -0.5 - value);
              over = std::max(over, value - 255.5);
            }
          }
          lo = std::min(lo + std::ceil(under), 64.0);
          hi = std::max(hi - std::ceil(over), 191.0);
          aim();
          mapBlock();
        }
      }
      const double scale = (hi - lo) / 255;
      for (int row = 0; row < blockSize; ++row) {
        const size_t offset = (static_cast<size_t>(top + row) * width + left) * 4;
        const uint8_t* from = &base[offset];
        uint8_t* to = out + offset / 4 * bands;
        for (int column = 0; column < blockSize; ++column, from += 4, to += bands) {
          const double delta = shift(row * blockSize + column, d);
          for (int channel = 0; channel < 3; ++channel) {
            const double value = roundHalfAway(lo + from[channel] * scale + delta);
            clamped = clamped || value < 0 || value > 255;
            to[channel] = static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
          }
        }
      }
      if (clamped) anyClamped.store(true, std::memory_order_relaxed);
    };
    // Headroom searches each block's nudge, hundreds of trial writes: worth a second thread.
    if (headroom) {
      constexpr size_t chunk = 64;
      allPass((bits.size() + chunk - 1) / chunk, [&](size_t task, int) {
        for (size_t i = task * chunk; i < std::min(bits.size(), (task + 1) * chunk); ++i) one(i);
        return true;
      });
    } else {
      for (size_t i = 0; i < bits.size(); ++i) one(i);
    }
    return anyClamped.load();
  };

  const std::array<std::pair<int, int>, selfCheckScales.size()> sizes = [&] {
    std::array<std::pair<int, int>, selfCheckScales.size()> out;
    for (size_t s = 0; s < out.size(); ++s) {
      out[s] = {static_cast<int>(std::floor(selfCheckScales[s] * width)),
                static_cast<int>(std::floor(selfCheckScales[s] * height))};
    }
    return out;
  }();
  const auto reads = [&](const std::optional<std::vector<double>>& copy) {
    return copy && decodeScores(*copy) == invitation;
  };
  // An independent copy must read back with room to spare. Its flipped bits land in random
  // codewords, and two in one codeword lose the card: with k flipped bits among n codewords,
  // another program's copy, flipping about as many, loses it with a chance of about k(k − 1) / 2n.
  // That chance must stay within kLossChance. (A fixed share of flipped bits was too strict for
  // long packets and too lax for short ones.)
  // A card whose every strength falls short of this margin but otherwise reads back everywhere is
  // still made, at the weakest such strength: the margin picks among cards, it refuses none that
  // the self-check's own rule accepts.
  const size_t codewords = bits.size() / 15;
  std::atomic<bool> shortOfMargin{false};
  std::atomic<size_t> mostFlipped{0};  // the most bits an independent copy of the last check flipped
  const auto readsWithMargin = [&](const std::optional<std::vector<double>>& copy, int step, bool relaxed) {
    if (!copy) return false;
    const std::vector<double>& found = *copy;
    size_t flipped = 0;
    for (size_t i = 0; i < bits.size() && i < found.size(); ++i) flipped += parity(found[i], step) != bits[i];
    for (size_t seen = mostFlipped.load(); flipped > seen && !mostFlipped.compare_exchange_weak(seen, flipped);) {
    }
    if (decodeScores(found) != invitation) return false;
    if (relaxed || flipped * (flipped - (flipped > 0)) <= 2 * kLossChance * codewords) return true;
    shortOfMargin.store(true);
    return false;
  };

  // The self-check, cheapest and most telling copies first, stopping at the first failure: the
  // card itself; the harshest of the twelve copies (half size, factor 0.4) and the independent JPEG
  // copy; then the WebP copy and the other eleven.
  // Buffers reused by every strength: each thread's JPEG round trips, and the scaled drawings.
  std::array<JpegWorkspace, 2> jpegWork;
  std::array<Buffer, selfCheckScales.size()> scaledBuffers;
  std::array<Buffer, 2> independentPixels;
  // The card's pixels as an image the scaler reads in place.
  const auto candidateOf = [&](const uint8_t* pixels) {
    VipsImage* image = vips_image_new_from_memory(pixels, pixelBytes, width, height, bands, VIPS_FORMAT_UCHAR);
    if (!image) {
      vips_error_clear();
      throw RoomCardCodec::error("房卡生成失败");
    }
    image->Type = VIPS_INTERPRETATION_sRGB;
    return Image(image);
  };
  // A copy's scaled drawing; an opaque card's own pixels at full size.
  const auto scaledOf = [&](const Image& candidate, const uint8_t* pixels, size_t s) -> const uint8_t* {
    if (opaque && sizes[s] == std::pair(width, height)) return pixels;
    return scaledRgb(candidate, sizes[s].first, sizes[s].second, scaledBuffers[s]);
  };
  bool cardReads = false;  // whether the last card checked read back itself, before any copy
  const auto check = [&](const uint8_t* pixels, int step, bool relaxed) {
    mostFlipped.store(0);
    cardReads = decodeScores(scoresOf(pixels, width, height, bands)) == invitation;
    if (!cardReads) return false;
    const Image candidate = candidateOf(pixels);
    constexpr size_t harshestScale = selfCheckScales.size() - 1, harshestFactor = selfCheckFactors.size() - 1;
    std::array<const uint8_t*, selfCheckScales.size()> scaled{};
    bool drawFailed = false;
    const bool first = allPass(2, [&](size_t task, int worker) {
      if (task == 1) {
        return readsWithMargin(independentCopy(candidate, width, height, Independent::halfJpeg, independentPixels[worker]),
                               step, relaxed);
      }
      try {
        scaled[harshestScale] = scaledOf(candidate, pixels, harshestScale);
      } catch (const Error&) {
        drawFailed = true;
        return false;
      }
      return reads(jpegRoundTrip(jpegWork[worker], scaled[harshestScale], sizes[harshestScale].first,
                                 sizes[harshestScale].second, selfCheckFactors[harshestFactor]));
    });
    if (drawFailed) throw RoomCardCodec::error("房卡图片无法读取");
    if (!first) return false;
    for (size_t s = 0; s < harshestScale; ++s) scaled[s] = scaledOf(candidate, pixels, s);
    // The WebP copy, the dearest, first so that it runs beside the others.
    return allPass(scaled.size() * selfCheckFactors.size(), [&](size_t task, int worker) {
      if (task-- == 0) {
        return readsWithMargin(independentCopy(candidate, width, height, Independent::webp, independentPixels[worker]),
                               step, relaxed);
      }
      const size_t s = task / selfCheckFactors.size(), f = task % selfCheckFactors.size();
      return reads(jpegRoundTrip(jpegWork[worker], scaled[s], sizes[s].first, sizes[s].second, selfCheckFactors[f]));
    });
  };

  // The card at one strength, with or without headroom; whether some nudge was clamped.
  // An opaque card stays without an alpha band: smaller to encode, nothing to flatten. Its colour is
  // already straight: the drawing is packed into the buffer of the previous strength and the blocks
  // are written there.
  const auto make = [&](int step, bool headroom) {
    uint8_t* pixels = pixelBuffer.reserve(pixelBytes);
    if (opaque) {
      for (size_t from = 0, to = 0; from < rgbaBytes; from += 4, to += 3) {
        pixels[to] = canvas[from];
        pixels[to + 1] = canvas[from + 1];
        pixels[to + 2] = canvas[from + 2];
      }
    } else {
      std::memcpy(copy.reserve(rgbaBytes), canvas, rgbaBytes);
    }
    const bool clamped = write(step, headroom);
    if (!opaque) straightInto(copy.data(), rgbaBytes, pixels);
    return clamped;
  };

  // How far each data block's score moves, relative to the card's own, in harsh copies: the lowest
  // and highest drift, zero included (the card itself).
  const auto drift = [&] {
    std::vector<double> low(bits.size(), 0.0), high(bits.size(), 0.0);
    const uint8_t* pixels = pixelBuffer.data();
    const std::vector<double> own = scoresOf(pixels, width, height, bands);
    const Image candidate = candidateOf(pixels);
    // Plain names, not structured bindings: clang 14 cannot capture those in the lambda below.
    const int hw = sizes[2].first, hh = sizes[2].second;
    const int mw = sizes[1].first, mh = sizes[1].second;
    const uint8_t* half = scaledOf(candidate, pixels, 2);
    const uint8_t* mid = scaledOf(candidate, pixels, 1);
    std::array<std::optional<std::vector<double>>, 5> copies;
    allPass(copies.size(), [&](size_t task, int worker) {
      switch (task) {
        case 0: copies[task] = independentCopy(candidate, width, height, Independent::webp, independentPixels[worker]); break;
        case 1: copies[task] = independentCopy(candidate, width, height, Independent::halfJpeg, independentPixels[worker]); break;
        case 2: copies[task] = jpegRoundTrip(jpegWork[worker], half, hw, hh, selfCheckFactors.back()); break;
        case 3: copies[task] = jpegRoundTrip(jpegWork[worker], half, hw, hh, selfCheckFactors.front()); break;
        default: copies[task] = jpegRoundTrip(jpegWork[worker], mid, mw, mh, selfCheckFactors.back()); break;
      }
      return true;
    });
    for (const auto& scores : copies) {
      if (!scores) continue;
      const std::vector<double>& found = *scores;
      if (found.size() < bits.size()) continue;
      for (size_t i = 0; i < bits.size(); ++i) {
        low[i] = std::min(low[i], found[i] - own[i]);
        high[i] = std::max(high[i], found[i] - own[i]);
      }
    }
    return std::pair(std::move(low), std::move(high));
  };
  // A headroom card that fails its check mostly loses blocks on hard edges (text, a logo on white):
  // scaling and JPEG move their scores by a large, repeatable amount, always the same way. Each such
  // block is aimed off its quantised value so that the range of its drifts is centred on that
  // value; measured twice, since the aim changes the drift a little. Each stays within
  // kAimLimit × step of its value, so the card and its gentle copies still read. The check decides
  // as before.
  constexpr int kAimRounds = 2;
  constexpr double kAimFrom = 0.2, kAimLimit = 0.35;
  const auto aimOff = [&](int step) {
    bool aimed = false;
    for (int round = 0; round < kAimRounds; ++round) {
      const auto [low, high] = drift();
      bool moved = false;
      size_t beyond = 0;  // blocks whose drifts would still leave their bin once aimed
      for (size_t i = 0; i < bits.size(); ++i) {
        if (std::max(-low[i], high[i]) > kAimFrom * step) {
          offsets[i] = std::clamp(-(low[i] + high[i]) / 2, -kAimLimit * step, kAimLimit * step);
          moved = true;
        }
        beyond += std::max(high[i] + offsets[i], -(low[i] + offsets[i])) > 0.5 * step;
      }
      // Far more lost bits than the check would let pass: aiming cannot save this strength.
      if (beyond > codewords / 4) return false;
      if (!moved) break;
      make(step, true);
      aimed = true;
    }
    return aimed;
  };

  // Strengths from the weakest. When none survives, a second round gives the blocks whose nudge was
  // clamped headroom first (strengths where nothing was clamped would only repeat themselves), and
  // when that fails aims the drifting blocks off. Candidates that fell short of the margin alone
  // are tried again last, without it.
  std::array<bool, strengths.size()> clampedAt{};
  struct Candidate {
    size_t k;
    bool headroom;
    std::vector<double> offsets;
  };
  std::vector<Candidate> shortOfMarginOnly;
  // The card kept: its image takes the pixel buffer over.
  const auto accepted = [&](int step, bool headroom) {
    if (report) *report = {step, headroom};
    uint8_t* pixels = pixelBuffer.release();
    VipsImage* card = vips_image_new_from_memory(pixels, pixelBytes, width, height, bands, VIPS_FORMAT_UCHAR);
    if (!card) {
      std::free(pixels);
      vips_error_clear();
      throw RoomCardCodec::error("房卡生成失败");
    }
    card->Type = VIPS_INTERPRETATION_sRGB;
    g_signal_connect(card, "postclose", G_CALLBACK(+[](VipsImage*, gpointer memory) { std::free(memory); }), pixels);
    return Image(card);
  };
  for (const bool headroom : {false, true}) {
    for (size_t k = 0; k < strengths.size(); ++k) {
      if (headroom && !clampedAt[k]) continue;
      std::fill(offsets.begin(), offsets.end(), 0.0);
      const bool clamped = make(strengths[k], headroom);
      if (!headroom) clampedAt[k] = clamped;
      shortOfMargin.store(false);
      if (check(pixelBuffer.data(), strengths[k], false)) return accepted(strengths[k], headroom);
      if (shortOfMargin.load()) shortOfMarginOnly.push_back({k, headroom, offsets});
      // Aiming helps copies, not a card that does not read itself, nor one whose independent copy
      // lost more bits than there are codewords (aiming recovers a few dozen hard edges at most).
      if (headroom && cardReads && mostFlipped.load() <= codewords && aimOff(strengths[k])) {
        shortOfMargin.store(false);
        if (check(pixelBuffer.data(), strengths[k], false)) return accepted(strengths[k], headroom);
        if (shortOfMargin.load()) shortOfMarginOnly.push_back({k, headroom, offsets});
      }
    }
  }
  std::stable_sort(shortOfMarginOnly.begin(), shortOfMarginOnly.end(),
                   [](const Candidate& a, const Candidate& b) { return std::pair(a.k, a.headroom) < std::pair(b.k, b.headroom); });
  for (const Candidate& candidate : shortOfMarginOnly) {
    offsets = candidate.offsets;
    make(strengths[candidate.k], candidate.headroom);
    if (check(pixelBuffer.data(), strengths[candidate.k], true)) return accepted(strengths[candidate.k], candidate.headroom);
  }
  throw RoomCardCodec::error("房卡生成后未通过压缩识别检查");
}

}  // namespace mirelo::services::roomcard
