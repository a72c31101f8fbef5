#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handle.h"
#include "json.h"

typedef struct _VipsImage VipsImage;  // NOLINT(bugprone-reserved-identifier): libvips names it

namespace mirelo::services::images {

constexpr size_t kDefaultByteLimit = 12'582'912;
// Room cards and the pictures QR codes are read from: one bound wherever a card may come from.
constexpr size_t kCardByteLimit = 8'388'608;
constexpr int kDefaultEdge = 1600;
constexpr int kMaxDimension = 8192;
constexpr int64_t kMaxPixels = 20'971'520;

// The lower-case extension of a file name, path or URL ("" when its last component has none).
std::string lowerExtension(std::string_view name);

// Ownership of a libvips image, and one libvips step on it: the image is replaced by the step's
// result; false (and the libvips error cleared) when the step fails.
void unrefVips(VipsImage* image);
using OwnedVips = Handle<VipsImage, unrefVips>;
void clearVipsError();
template <class Operation>
bool applyStep(OwnedVips& image, Operation operation) {
  VipsImage* out = nullptr;
  if (operation(image.get(), &out)) {
    clearVipsError();
    return false;
  }
  image.reset(out);
  return true;
}

// Sets libvips up once, on the main thread at start-up: only the PNG, JPEG, GIF, WebP and TIFF
// loaders, no operation cache, a bounded number of worker threads.
void initialise();

// A decoded bitmap held in memory (it references no input buffer). Copies share the pixels.
class Image {
 public:
  Image() = default;
  explicit Image(VipsImage* adopted) : image_(adopted) {}
  Image(const Image& other);
  Image& operator=(Image other);
  ~Image();

  VipsImage* get() const { return image_; }
  int width() const;
  int height() const;
  explicit operator bool() const { return image_ != nullptr; }

 private:
  VipsImage* image_ = nullptr;
};

// The helpers throw the program's error values with the messages the host knows.

// Image bytes from a payload value (a string of Base64, optionally a data URL). `value` is null
// when the member is absent. The text is bounded by its length before anything is decoded.
std::string bytes(const Json* value, size_t limit = kDefaultByteLimit);

// Whether the bytes are an image of an accepted format whose header reads (no pixel is decoded).
bool isReadableImage(std::string_view data);

// Decodes the first frame with its orientation applied, the longer side at most `edge`. The
// declared pixel size is checked before any pixel is decoded.
Image image(std::string_view data, int edge = kDefaultEdge);
// The same for a small picture: a large JPEG is scaled in its decoder by up to 1/8, as long as what
// is decoded still covers the edge (libvips alone keeps twice the edge: sharper by a hair, slower).
Image thumbnail(std::string_view data, int edge);

// A decoded image scaled down so that its longer side is at most `edge` (never enlarged), with the
// same sizing as `image`.
Image shrink(const Image& image, int edge);

// The image with 8-bit samples in sRGB (grey stays grey when `keepGrey`), its alpha band kept.
// Throws "无法打开图片" when the conversion cannot be made.
Image eightBit(const Image& image, bool keepGrey);

// PNG encoding; empty when the encoder gives nothing.
std::string png(const Image& image);
// The same as bytes, for a reply that carries them as Base64.
std::vector<uint8_t> pngBytes(const Image& image);

// The bytes of a local file named by a file URL, at most `limit` of them, read with one read(2) of
// one byte more than the size checked, so a file that grows meanwhile is noticed.
std::string boundedFile(const std::string& url, size_t limit);

}  // namespace mirelo::services::images
