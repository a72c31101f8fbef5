#include "images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <vips/vips.h>
#include <cctype>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "base64.h"
#include "colour.h"
#include "heif.h"
#include "jpeg_dc.h"
#include "png_text.h"
#include "png_writer.h"
#include "protocol/error.h"

namespace mirelo::services::images {

void initialise() {
  static bool done = false;
  if (done) return;
  done = true;
  VIPS_INIT("MireloServices");
  // Block every loader, then allow the five formats we take. Blocking the untrusted ones alone
  // would leave others (matrix, csv, vips, ...) reachable from host data.
  vips_operation_block_set("VipsForeignLoad", TRUE);
  for (const char* loader : {"VipsForeignLoadPng", "VipsForeignLoadJpeg", "VipsForeignLoadNsgif", "VipsForeignLoadWebp",
                             "VipsForeignLoadTiff"}) {
    vips_operation_block_set(loader, FALSE);
  }
  vips_cache_set_max(0);
  vips_concurrency_set(2);
}

Image::Image(const Image& other) : image_(other.image_) {
  if (image_) g_object_ref(image_);
}

Image& Image::operator=(Image other) {
  std::swap(image_, other.image_);
  return *this;
}

void unrefVips(VipsImage* image) { g_object_unref(image); }

// Errors of libvips never reach the host: the caller reports its own message.
void clearVipsError() { vips_error_clear(); }

Image::~Image() {
  if (image_) g_object_unref(image_);
}

int Image::width() const { return vips_image_get_width(image_); }
int Image::height() const { return vips_image_get_height(image_); }

namespace {

// The result of a scaling step, decoded now into memory of its own; "无法打开图片" when either fails.
// `scaledImage` is taken by reference: it is read after the step that sets it has run.
Image decodedNow(int status, VipsImage*& scaledImage) {
  OwnedVips scaled(scaledImage);
  VipsImage* memory = status ? nullptr : vips_image_copy_memory(scaled.get());
  if (!memory) {
    clearVipsError();
    throw failure("无法打开图片");
  }
  return Image(memory);
}

}  // namespace

std::string lowerExtension(std::string_view name) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "";
  std::string extension(name.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

std::string bytes(const Json* value, size_t limit) {
  if (!value || !value->is_string()) throw failure("图片数据过大");
  std::string_view text = value->get_ref<const std::string&>();
  if (text.size() > limit * 4 / 3 + 128) throw failure("图片数据过大");
  if (text.starts_with("data:")) {
    // The piece after the first comma; with nothing there, the prefix itself (which then fails).
    const size_t comma = text.find(',');
    if (comma != std::string_view::npos && comma + 1 < text.size()) {
      text.remove_prefix(comma + 1);
    } else if (comma != std::string_view::npos) {
      text = text.substr(0, comma);
    }
  }
  auto decoded = base64Decode(text);
  if (!decoded || decoded->empty() || decoded->size() > limit) throw failure("图片编码无效");
  return std::move(*decoded);
}

namespace {

// The bytes libvips is given: a PNG without its text chunks, which are never kept, so never
// inflated; HEIF bytes with the HEIF loader made available first.
class Intake {
 public:
  explicit Intake(std::string_view data) : stripped_(withoutTextChunks(data)), bytes_(stripped_ ? *stripped_ : data) {
    if (looksLikeHeif(data)) enableHeif();
  }
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;
  std::string_view bytes() const { return bytes_; }

 private:
  std::optional<std::string> stripped_;
  std::string_view bytes_;
};

}  // namespace

bool isReadableImage(std::string_view data) {
  const Intake intake(data);
  OwnedVips header(vips_image_new_from_buffer(intake.bytes().data(), intake.bytes().size(), "", "access",
                                              VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!header) clearVipsError();
  return header != nullptr;
}

namespace {

// The header alone: loaders read the declared size without decoding pixels.
OwnedVips checkedHeader(std::string_view data) {
  OwnedVips header(vips_image_new_from_buffer(data.data(), data.size(), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!header) {
    clearVipsError();
    throw failure("图片尺寸无效或过大");
  }
  const int64_t width = vips_image_get_width(header.get());
  const int64_t height = vips_image_get_height(header.get());
  if (width < 1 || width > kMaxDimension || height < 1 || height > kMaxDimension || width * height > kMaxPixels) {
    throw failure("图片尺寸无效或过大");
  }
  return header;
}

Image thumbnailOf(std::string_view data, int edge) {
  VipsImage* thumbnail = nullptr;
  // size=down never enlarges; the orientation tag is applied; only the first page is loaded.
  // Decoded now, while `data` is alive; then brought to sRGB at its small size.
  return inSrgb(decodedNow(vips_thumbnail_buffer(const_cast<char*>(data.data()), data.size(), &thumbnail, edge,
                                                 "height", edge, "size", VIPS_SIZE_DOWN, nullptr),
                           thumbnail));
}

// A JPEG at least twice the edge, scaled in the decoder by the largest of 1/2, 1/4, 1/8 that still
// covers the edge, then resized as `image` resizes. libvips' own loader stops a factor of two
// short of that (1/4 for a picture 8 to 16 times the edge): for small pictures of large photographs
// the decoding costs about a third less, and the result differs from a full decoding by about as
// little (52 against 53 dB). Only what this decoder reads as libvips would: YCbCr, RGB or grey
// without a colour profile, decoded without a warning (a damaged file goes to libvips, which is
// more lenient). Nothing otherwise.
std::optional<Image> scaledJpeg(std::string_view data, VipsImage* header, int edge) {
  const char* loader = nullptr;
  if (vips_image_get_typeof(header, "vips-loader") == 0 || vips_image_get_string(header, "vips-loader", &loader) ||
      std::string_view(loader) != "jpegload_buffer" || vips_image_get_typeof(header, VIPS_META_ICC_NAME) != 0) {
    clearVipsError();
    return std::nullopt;
  }
  const int longer = std::max(vips_image_get_width(header), vips_image_get_height(header));
  int denominator = 1;
  while (denominator < 8 && longer / (2 * denominator) >= edge) denominator *= 2;
  if (denominator == 1) return std::nullopt;
  const Handle<void, tjDestroy> decoder(tjInitDecompress());
  if (!decoder) return std::nullopt;
  auto* const bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(data.data()));
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  // The size checked from libvips' header is the size decoded here, or nothing is.
  if (tjDecompressHeader3(decoder.get(), bytes, data.size(), &width, &height, &subsampling, &colourspace) != 0 ||
      width != vips_image_get_width(header) || height != vips_image_get_height(header) ||
      (colourspace != TJCS_YCbCr && colourspace != TJCS_RGB && colourspace != TJCS_GRAY)) {
    return std::nullopt;
  }
  const tjscalingfactor factor{1, denominator};
  const int scaledWidth = TJSCALED(width, factor), scaledHeight = TJSCALED(height, factor);
  const bool grey = colourspace == TJCS_GRAY;
  const int bands = grey ? 1 : 3;
  const size_t size = static_cast<size_t>(scaledWidth) * scaledHeight * bands;
  void* pixels = g_try_malloc(size);
  if (!pixels) return std::nullopt;
  // At 1/8 the DC terms are the picture: a baseline file is read for those alone, the same
  // pixels TurboJPEG makes in a third less time; anything that reader leaves goes to TurboJPEG.
  std::optional<DcPicture> dc;
  if (denominator == 8) dc = decodeDc(data, colourspace == TJCS_RGB);
  if (dc && dc->width == scaledWidth && dc->height == scaledHeight && dc->bands == bands) {
    std::memcpy(pixels, dc->pixels.data(), size);
  } else if (tjDecompress2(decoder.get(), bytes, data.size(), static_cast<unsigned char*>(pixels), scaledWidth, 0,
                           scaledHeight, grey ? TJPF_GRAY : TJPF_RGB, 0) != 0) {
    g_free(pixels);
    return std::nullopt;
  }
  VipsImage* decoded = vips_image_new_from_memory(pixels, size, scaledWidth, scaledHeight, bands, VIPS_FORMAT_UCHAR);
  if (!decoded) {
    g_free(pixels);
    clearVipsError();
    return std::nullopt;
  }
  g_signal_connect(decoded, "postclose", G_CALLBACK(+[](VipsImage*, gpointer memory) { g_free(memory); }), pixels);
  const Image owned(decoded);
  decoded->Type = grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
  int orientation = 1;
  if (vips_image_get_typeof(header, VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(header, VIPS_META_ORIENTATION, &orientation) == 0) {
    vips_image_set_int(decoded, VIPS_META_ORIENTATION, orientation);
  }
  clearVipsError();
  return shrink(owned, edge);
}

}  // namespace

Image image(std::string_view data, int edge) {
  const Intake intake(data);
  checkedHeader(intake.bytes());
  return thumbnailOf(intake.bytes(), edge);
}

Image thumbnail(std::string_view data, int edge) {
  const Intake intake(data);
  const OwnedVips header = checkedHeader(intake.bytes());
  if (auto scaled = scaledJpeg(intake.bytes(), header.get(), edge)) return *scaled;
  return thumbnailOf(intake.bytes(), edge);
}

Image shrink(const Image& source, int edge) {
  VipsImage* out = nullptr;
  return decodedNow(vips_thumbnail_image(source.get(), &out, edge, "height", edge, "size", VIPS_SIZE_DOWN, nullptr),
                    out);
}

Image eightBit(const Image& source, bool keepGrey) {
  VipsImage* in = source.get();
  g_object_ref(in);
  OwnedVips current(in);
  const auto apply = [&](auto operation) {
    if (!applyStep(current, operation)) throw failure("无法打开图片");
  };
  const VipsInterpretation type = current->Type;
  const bool grey = type == VIPS_INTERPRETATION_B_W || type == VIPS_INTERPRETATION_GREY16;
  if (type != VIPS_INTERPRETATION_sRGB && type != VIPS_INTERPRETATION_RGB16 && !(keepGrey && grey)) {
    apply([](VipsImage* image, VipsImage** out) {
      return vips_colourspace(image, out, VIPS_INTERPRETATION_sRGB, nullptr);
    });
  }
  if (vips_image_get_format(current.get()) == VIPS_FORMAT_USHORT) {
    apply([](VipsImage* image, VipsImage** out) { return vips_rshift_const1(image, out, 8, nullptr); });
  }
  if (vips_image_get_format(current.get()) != VIPS_FORMAT_UCHAR) {
    apply([](VipsImage* image, VipsImage** out) { return vips_cast_uchar(image, out, nullptr); });
  }
  return Image(current.release());
}

namespace {

template <typename Out>
Out pngAs(const Image& image) {
  void* buffer = nullptr;
  size_t length = 0;
  // The pixels alone: pictures are in sRGB by now, and no metadata of the source is written.
  if (!image || vips_pngsave_buffer(image.get(), &buffer, &length, "strip", TRUE, nullptr)) {
    clearVipsError();
    return {};
  }
  Out out(static_cast<const char*>(buffer), static_cast<const char*>(buffer) + length);
  g_free(buffer);
  return out;
}

}  // namespace

// The PNG libvips writes for an 8-bit sRGB or grey picture (no filter, no metadata, zlib's level
// 6), by the one writer of our own: the same pixels, in about half the time and a few per cent
// fewer bytes. Nothing for other pictures.
std::optional<std::vector<uint8_t>> deflatedPng(const Image& image) {
  VipsImage* in = image.get();
  const int bands = vips_image_get_bands(in);
  const VipsInterpretation type = vips_image_get_interpretation(in);
  if (vips_image_get_format(in) != VIPS_FORMAT_UCHAR || bands < 1 || bands > 4 ||
      (type != VIPS_INTERPRETATION_sRGB && type != VIPS_INTERPRETATION_B_W)) {
    return std::nullopt;
  }
  size_t size = 0;
  void* pixels = vips_image_write_to_memory(in, &size);
  if (!pixels) {
    clearVipsError();
    return std::nullopt;
  }
  const Handle<void, g_free> owned(pixels);
  if (size != static_cast<size_t>(image.width()) * static_cast<size_t>(image.height()) * static_cast<size_t>(bands)) {
    return std::nullopt;
  }
  const std::string out = writePng(static_cast<const uint8_t*>(pixels), image.width(), image.height(), bands, {});
  if (out.empty()) return std::nullopt;
  return std::vector<uint8_t>(out.begin(), out.end());
}

std::string png(const Image& image) { return pngAs<std::string>(image); }

std::vector<uint8_t> pngBytes(const Image& image) {
  if (image) {
    if (auto out = deflatedPng(image)) return std::move(*out);
  }
  return pngAs<std::vector<uint8_t>>(image);
}

std::string boundedFile(const std::string& url, size_t limit) {
  gchar* path = g_filename_from_uri(url.c_str(), nullptr, nullptr);
  if (!path) throw failure("仅支持本机图片文件");
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  g_free(path);
  if (fd < 0) throw failure("无法打开图片文件");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1 || static_cast<uint64_t>(st.st_size) > limit) {
    throw failure("图片不是普通文件或超过大小限制");
  }
  const size_t size = static_cast<size_t>(st.st_size);
  std::string buffer(size + 1, '\0');
  const ssize_t n = ::read(fd, buffer.data(), size + 1);
  if (n < 1 || static_cast<size_t>(n) > size) throw failure("图片已变化，请重新选择");
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

}  // namespace mirelo::services::images
