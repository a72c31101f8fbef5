#pragma once

// What real photographs carry besides their pixels, made at test time: colour profiles built with
// lcms (Display P3, padded to any size, grey), libvips' own CMYK profile, an EXIF block with a GPS
// position and an author, an XMP packet, and PNG chunks inserted by hand.

#include <lcms2.h>
#include <vips/vips.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fixtures.h"

namespace mirelo::services::images::testing {

// Lower-case letters at random: text that deflate shrinks to about 60 %, as real metadata.
inline std::string randomText(size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::string out(size, 'a');
  for (char& c : out) c = static_cast<char>('a' + random() % 26);
  return out;
}

inline std::string savedProfile(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::string out(size, '\0');
  cmsSaveProfileToMem(profile, out.data(), &size);
  cmsCloseProfile(profile);
  return out;
}

inline cmsToneCurve* srgbCurve() {
  const cmsFloat64Number parameters[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  return cmsBuildParametricToneCurve(nullptr, 4, parameters);
}

// Display P3: P3 primaries, D65, the sRGB curve. `padding` bytes of a private tag make it as large
// as display profiles with their calibration data are.
inline std::string p3Profile(size_t padding = 0) {
  const cmsCIExyY white{0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
  cmsToneCurve* curve = srgbCurve();
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(curve);
  if (padding) {
    std::string filler(padding, '\0');
    std::mt19937 random(7);
    for (char& c : filler) c = static_cast<char>(random());  // calibration data does not compress
    cmsWriteRawTag(profile, static_cast<cmsTagSignature>(0x70616464), filler.data(),
                   static_cast<cmsUInt32Number>(padding));
  }
  return savedProfile(profile);
}

// A grey profile with a linear curve: converting it to sRGB would change every grey level.
inline std::string linearGreyProfile() {
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), linear);
  cmsFreeToneCurve(linear);
  return savedProfile(profile);
}

// libvips' own CMYK profile (the one a CMYK picture without a profile is read with).
inline std::string cmykProfile() {
  VipsBlob* blob = nullptr;
  if (vips_profile_load("cmyk", &blob, nullptr) || !blob) return {};
  size_t size = 0;
  const void* data = vips_blob_get(blob, &size);
  std::string out(static_cast<const char*>(data), size);
  vips_area_unref(reinterpret_cast<VipsArea*>(blob));
  return out;
}

// What lcms makes of one 8-bit pixel (3 or 4 samples) given in `profile`, in sRGB.
inline std::vector<int> lcmsToSrgb(const std::string& profile, std::vector<uint8_t> in) {
  cmsHPROFILE from = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  cmsHPROFILE to = cmsCreate_sRGBProfile();
  cmsHTRANSFORM transform = cmsCreateTransform(from, in.size() == 4 ? TYPE_CMYK_8 : TYPE_RGB_8, to, TYPE_RGB_8,
                                               INTENT_RELATIVE_COLORIMETRIC, 0);
  uint8_t out[3] = {};
  if (transform) cmsDoTransform(transform, in.data(), out, 1);
  if (transform) cmsDeleteTransform(transform);
  cmsCloseProfile(from);
  cmsCloseProfile(to);
  return {out[0], out[1], out[2]};
}

inline void put16(std::string& s, uint16_t v) { s.append({static_cast<char>(v), static_cast<char>(v >> 8)}); }
inline void put32(std::string& s, uint32_t v) {
  put16(s, static_cast<uint16_t>(v)), put16(s, static_cast<uint16_t>(v >> 16));
}
inline void ifdEntry(std::string& s, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  put16(s, tag), put16(s, type), put32(s, count), put32(s, value);
}

// An EXIF block (with the "Exif\0\0" header libvips keeps) holding the author kAuthor, the
// position 48°51'24" N of a phone photo and, when not 0, an orientation.
constexpr const char* kAuthor = "Jane Roe";
inline std::string exifBlock(int orientation = 0) {
  // Little-endian TIFF: IFD0 at 8 (Artist, Orientation?, GPS pointer), the GPS IFD, then the data.
  const uint16_t entries = orientation ? 3 : 2;
  const uint32_t ifd0Size = 2 + 12 * entries + 4;
  const uint32_t gps = 8 + ifd0Size, gpsSize = 2 + 12 * 2 + 4;
  const uint32_t artist = gps + gpsSize, latitude = artist + 9;
  std::string tiff("II*\0", 4);
  put32(tiff, 8);
  put16(tiff, entries);
  ifdEntry(tiff, 0x0112, 3, 1, static_cast<uint32_t>(orientation));
  if (!orientation) tiff.resize(tiff.size() - 12);
  ifdEntry(tiff, 0x013B, 2, 9, artist);
  ifdEntry(tiff, 0x8825, 4, 1, gps);
  put32(tiff, 0);
  put16(tiff, 2);
  ifdEntry(tiff, 0x0001, 2, 2, 'N');
  ifdEntry(tiff, 0x0002, 5, 3, latitude);
  put32(tiff, 0);
  tiff += std::string(kAuthor) + '\0';
  for (uint32_t v : {48u, 1u, 51u, 1u, 24u, 1u}) put32(tiff, v);
  return std::string("Exif\0\0", 6) + tiff;
}

constexpr const char* kPlace = "Lisbon-Alfama";
inline std::string xmpPacket(size_t padding = 0) {
  return "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
         "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
         "xmlns:photoshop='http://ns.adobe.com/photoshop/1.0/'><photoshop:City>" +
         std::string(kPlace) + "</photoshop:City></rdf:Description></rdf:RDF></x:xmpmeta>" + "<!--" +
         randomText(padding) + "-->" + "<?xpacket end='w'?>";
}

// A copy of the image with these blobs attached ("icc-profile-data", "exif-data", "xmp-data").
inline Image tagged(const Image& image, const std::vector<std::pair<const char*, std::string>>& blobs) {
  VipsImage* copy = nullptr;
  if (vips_copy(image.get(), &copy, nullptr)) return {};
  for (const auto& [name, data] : blobs) vips_image_set_blob_copy(copy, name, data.data(), data.size());
  return Image(copy);
}

inline std::string deflated(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), 9);
  out.resize(size);
  return out;
}

// The PNG with these chunks inserted right after IHDR.
inline std::string withChunks(const std::string& png, const std::vector<std::pair<std::string, std::string>>& chunks) {
  std::string inserted;
  for (const auto& [type, data] : chunks) inserted += pngChunk(type, data);
  const size_t afterIhdr = 8 + 12 + 13;
  return png.substr(0, afterIhdr) + inserted + png.substr(afterIhdr);
}

// The chunk types of a PNG in order ("" at a chunk that runs past the end).
inline std::vector<std::string> chunkTypes(const std::string& png) {
  std::vector<std::string> types;
  for (size_t at = 8; at + 12 <= png.size();) {
    const auto* p = reinterpret_cast<const unsigned char*>(png.data() + at);
    const size_t length = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
    if (length > png.size() - at - 12) {
      types.emplace_back();
      break;
    }
    types.push_back(png.substr(at + 4, 4));
    at += 12 + length;
  }
  return types;
}

// The mean of each band of an image, rounded.
inline std::vector<int> meanColour(const Image& image) {
  std::vector<int> out;
  for (int band = 0; band < vips_image_get_bands(image.get()); ++band) {
    VipsImage* one = nullptr;
    double mean = -1;
    if (vips_extract_band(image.get(), &one, band, nullptr) == 0) {
      vips_avg(one, &mean, nullptr);
      g_object_unref(one);
    }
    out.push_back(static_cast<int>(std::lround(mean)));
  }
  return out;
}

// The output of ImageMagick's convert with these arguments (the last one names the output, e.g.
// "heic:-"); empty when it fails. HEIC and AVIF are made this way, not by libvips' HEIF saver:
// the encoders stay out of the test process (x265 leaks a block per process).
inline std::string convertOutput(const std::string& arguments) {
  std::string out;
  FILE* pipe = ::popen(("convert " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  return ::pclose(pipe) == 0 ? out : std::string();
}

// A flat picture of one colour (3 or 4 samples).
inline Image flat(int width, int height, const std::vector<uint8_t>& colour) {
  std::vector<uint8_t> pixels;
  pixels.reserve(static_cast<size_t>(width) * height * colour.size());
  for (int i = 0; i < width * height; ++i) pixels.insert(pixels.end(), colour.begin(), colour.end());
  Image image = fromPixels(pixels, width, height, static_cast<int>(colour.size()));
  if (colour.size() == 4) image.get()->Type = VIPS_INTERPRETATION_CMYK;
  return image;
}

}  // namespace mirelo::services::images::testing
