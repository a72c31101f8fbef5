// Watermark robustness set: realistic renderings that are hard in different ways (large pure black,
// large pure white, very smooth, high frequency, text, ImageMagick's built-in pictures), each made
// into a card and copied by ImageMagick and by libvips the way chat apps and editors copy pictures.
// Prints per picture: card made or refused, the step chosen, whether the headroom pass was needed,
// PSNR against the unmarked raster, encode time, which copies read back, and how far a 0.5 % crop
// per border is from readable. Exits non-zero when a picture gets no card or a promised copy
// (quality 40 or better, half size or larger) does not read back.
//
//   watermark_robust_set [name-filter]
#include <unistd.h>
#include <vips/vips.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "images/images.h"
#include "psnr.h"
#include "roomcard/watermark/drawing.h"
#include "roomcard/watermark/embedder.h"
#include "roomcard/watermark/reader.h"

namespace images = mirelo::services::images;
using mirelo::services::roomcard::Raster;
namespace watermark = mirelo::services::roomcard::watermark;
namespace fs = std::filesystem;

namespace {

const std::string kInvitation = "mirelo://join/#PC3-eyJyIjoicm9idXN0bmVzcy1yb29tIiwiayI6IjAxMjM0NTY3ODlhYmNkZWYifQ";

struct Picture {
  const char* name;
  const char* recipe;  // ImageMagick arguments that write the picture to the output path
};

// Renderings standing in for photographs; every one is made by ImageMagick with a fixed seed.
const Picture kPictures[] = {
    {"photo", "-seed 11 -size 2000x1500 plasma:fractal -blur 0x2 +noise Gaussian -attenuate 0.3"},
    {"night-black",
     "-seed 12 -size 1600x1200 plasma:navy-orange -blur 0x3 -fill black -draw 'rectangle 0,0 720,1200' "
     "-draw 'circle 1200,900 1200,1180'"},
    {"sky-white", "-seed 13 -size 1200x1600 plasma:green-brown -blur 0x2 -fill white -draw 'rectangle 0,0 1200,760'"},
    {"black-white-mix",
     "-seed 14 -size 1500x1500 xc:black -fill white -draw 'rectangle 0,0 750,1500' "
     "-fill gray60 -draw 'circle 750,600 750,900'"},
    {"tiny-upscaled", "-seed 15 -size 102x102 plasma:fractal -blur 0x1"},
    {"smooth-gradient", "-size 2000x1500 gradient:'#303860-#e0b080'"},
    {"gravel", "-seed 16 -size 1500x1000 xc:gray50 +noise Random -blur 0x1.2 -colorspace Gray -auto-level"},
    {"grass", "-seed 17 -size 1000x1500 xc:'#3a6b2a' +noise Random -motion-blur 0x14+80 -modulate 100,60"},
    {"text-paper", "-size 1240x1754 xc:'#f3efe6' -fill '#202020' -font DejaVu-Serif -pointsize 30 TEXT"},
    {"text-white", "-size 1240x1754 xc:white -fill black -font DejaVu-Sans -pointsize 24 TEXT"},
    {"rose", "rose:"},
    {"wizard", "wizard:"},
    {"logo", "logo:"},
    {"granite", "granite:"},
    {"netscape", "netscape:"},
};

const char* kText =
    "The harbour lay quiet under a low grey sky. Fishing boats rocked at their moorings while gulls argued over "
    "the remains of the morning catch. Along the quay, the shutters of the chandlery were half raised, and a "
    "radio somewhere played an old song about leaving. She walked the length of the breakwater twice before "
    "deciding, then turned back toward the town, the invitation folded in her pocket, the address written in "
    "a hand she did not recognise. 1234567890 — ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz. ";

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string slurp(const fs::path& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

struct Copy {
  const char* name;
  bool promised;  // quality 40 or better and half size or larger
};

const Copy kCopies[] = {{"IM 0.5 q40", true},  {"IM 0.6 q30", false},  {"IM webp50", true},
                        {"IM 0.75 png", true}, {"vips 0.5 q40", true}, {"vips 0.6 q30", false},
                        {"vips webp50", true}, {"vips 0.75 png", true}};

std::string imageMagickCopy(int which, const fs::path& card, const fs::path& dir) {
  static const char* args[] = {"-resize 50% -quality 40 copy.jpg", "-resize 60% -quality 30 copy.jpg",
                               "-quality 50 copy.webp", "-resize 75% copy.png"};
  const std::string recipe = args[which];
  const std::string out = recipe.substr(recipe.rfind(' ') + 1);
  if (!run("convert '" + card.string() + "' " + recipe.substr(0, recipe.rfind(' ')) + " '" + (dir / out).string() +
           "'")) {
    return {};
  }
  return slurp(dir / out);
}

std::string vipsCopy(int which, const images::Image& card) {
  static const double scales[] = {0.5, 0.6, 1.0, 0.75};
  VipsImage* scaled = nullptr;
  if (scales[which] != 1.0) {
    if (vips_resize(card.get(), &scaled, scales[which], nullptr)) return {};
  } else {
    scaled = card.get();
    g_object_ref(scaled);
  }
  void* buffer = nullptr;
  size_t length = 0;
  int status = 0;
  if (which == 0) status = vips_jpegsave_buffer(scaled, &buffer, &length, "Q", 40, nullptr);
  if (which == 1) status = vips_jpegsave_buffer(scaled, &buffer, &length, "Q", 30, nullptr);
  if (which == 2) status = vips_webpsave_buffer(scaled, &buffer, &length, "Q", 50, nullptr);
  if (which == 3) status = vips_pngsave_buffer(scaled, &buffer, &length, nullptr);
  g_object_unref(scaled);
  if (status) return {};
  std::string bytes(static_cast<char*>(buffer), length);
  g_free(buffer);
  return bytes;
}

bool reads(const std::string& bytes) {
  if (bytes.empty()) return false;
  try {
    return watermark::decode(images::image(bytes, 4096)) == kInvitation;
  } catch (const std::exception&) {
    return false;
  }
}

// A crop of 0.5 % per border by ImageMagick, saved as PNG. Reports whether the plain reader reads
// it, and whether a reader that tries putting the crop back at a few offsets (0 … 1 % per border)
// would: the smallest margin that reads, or -1.
std::pair<bool, double> cropDistance(const fs::path& card, const images::Image& marked, const fs::path& dir) {
  const int w = marked.width(), h = marked.height();
  const int dx = static_cast<int>(std::lround(w * 0.005)), dy = static_cast<int>(std::lround(h * 0.005));
  if (!run("convert '" + card.string() + "' -crop " + std::to_string(w - 2 * dx) + "x" + std::to_string(h - 2 * dy) +
           "+" + std::to_string(dx) + "+" + std::to_string(dy) + " +repage '" + (dir / "crop.png").string() + "'")) {
    return {false, -1};
  }
  const std::string bytes = slurp(dir / "crop.png");
  const bool plain = reads(bytes);
  const images::Image cropped = images::image(bytes, 4096);
  for (double margin : {0.0025, 0.004, 0.005, 0.006, 0.0075, 0.01}) {
    // Undo a crop of `margin` per border: scale so the crop covers its share and pad with white.
    const int cw = static_cast<int>(std::lround(w * (1 - 2 * margin)));
    const int ch = static_cast<int>(std::lround(h * (1 - 2 * margin)));
    VipsImage *resized = nullptr, *padded = nullptr;
    if (vips_resize(cropped.get(), &resized, static_cast<double>(cw) / cropped.width(), "vscale",
                    static_cast<double>(ch) / cropped.height(), nullptr)) {
      continue;
    }
    VipsArrayDouble* white = vips_array_double_newv(3, 255.0, 255.0, 255.0);
    const int status = vips_embed(resized, &padded, (w - cw) / 2, (h - ch) / 2, w, h, "extend", VIPS_EXTEND_BACKGROUND,
                                  "background", white, nullptr);
    vips_area_unref(VIPS_AREA(white));
    g_object_unref(resized);
    if (status) continue;
    const images::Image restored(padded);
    if (watermark::decode(restored) == kInvitation) return {plain, margin};
  }
  return {plain, -1};
}

}  // namespace

int main(int argc, char** argv) {
  images::initialise();
  int arg = 1;
  const std::string filter = argc > arg ? argv[arg] : "";
  const fs::path dir = fs::temp_directory_path() / ("mirelo-robust-set-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  int pictures = 0, made = 0, promisedMissed = 0, copiesRead = 0, copiesTried = 0;
  double psnrSum = 0, psnrMin = 99;
  std::printf("%-16s %-10s %-7s %4s %5s %8s %8s  copies read (%s", "picture", "source", "card", "step", "room", "PSNR",
              "encode", "");
  for (const Copy& c : kCopies) std::printf("%s%s", c.name, &c == &kCopies[7] ? ")  crop\n" : ", ");
  for (const Picture& picture : kPictures) {
    if (!filter.empty() && std::string(picture.name).find(filter) == std::string::npos) continue;
    ++pictures;
    std::string recipe = picture.recipe;
    if (const size_t at = recipe.find("TEXT"); at != std::string::npos) {
      // A page of lines, 70 characters each.
      const std::string text = std::string(kText) + kText + kText;
      std::string lines;
      for (size_t line = 0; line < 40 && line * 70 < text.size(); ++line) {
        lines += " -annotate +60+" + std::to_string(90 + 40 * line) + " '" + text.substr(line * 70, 70) + "'";
      }
      recipe.replace(at, 4, lines);
    }
    const fs::path source = dir / "source.png";
    if (!run("convert " + recipe + " -alpha off '" + source.string() + "'")) {
      std::printf("%-16s could not be rendered\n", picture.name);
      ++promisedMissed;
      continue;
    }
    const images::Image image = images::image(slurp(source), 4096);
    char size[32];
    std::snprintf(size, sizeof size, "%dx%d", image.width(), image.height());
    images::Image card;
    watermark::EmbedReport report;
    const auto start = std::chrono::steady_clock::now();
    try {
      card = watermark::embed(image, kInvitation, &report);
    } catch (const std::exception& error) {
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      std::printf("%-16s %-10s %-7s %4s %5s %8s %6.0fms  %s\n", picture.name, size, "REFUSED", "-", "-", "-", ms,
                  error.what());
      ++promisedMissed;
      continue;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ++made;
    const Raster unmarked = watermark::raster(image, card.width(), card.height(), false);
    const Raster marked = watermark::raster(card, card.width(), card.height(), false);
    const double quality = psnr(unmarked, marked);
    psnrSum += quality;
    psnrMin = std::min(psnrMin, quality);
    const fs::path cardPath = dir / "card.png";
    std::ofstream(cardPath, std::ios::binary) << images::png(card);
    std::string line;
    for (int i = 0; i < 8; ++i) {
      const bool ok = reads(i < 4 ? imageMagickCopy(i, cardPath, dir) : vipsCopy(i - 4, card));
      line += ok ? " yes" : (kCopies[i].promised ? " NO!" : "  no");
      ++copiesTried;
      copiesRead += ok;
      if (!ok && kCopies[i].promised) ++promisedMissed;
    }
    const auto [plain, margin] = cropDistance(cardPath, card, dir);
    char crop[48];
    if (plain)
      std::snprintf(crop, sizeof crop, "read");
    else if (margin >= 0)
      std::snprintf(crop, sizeof crop, "read if re-placed at %.2f%%", margin * 100);
    else
      std::snprintf(crop, sizeof crop, "not read");
    std::printf("%-16s %-10s %-7s %4d %5s %6.1fdB %6.0fms %s  %s\n", picture.name, size, "made", report.step,
                report.headroom ? "yes" : "no", quality, ms, line.c_str(), crop);
    std::fflush(stdout);
  }
  fs::remove_all(dir);
  std::printf(
      "robust set: %d of %d pictures got a card; %d of %d copies read; PSNR mean %.1f dB, min %.1f dB; "
      "%d promised failures\n",
      made, pictures, copiesRead, copiesTried, made ? psnrSum / made : 0.0, made ? psnrMin : 0.0, promisedMissed);
  return promisedMissed ? 1 : 0;
}
