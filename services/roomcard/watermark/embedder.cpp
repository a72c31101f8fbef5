// The watermark's writer, top to bottom as the algorithm runs; see embedder.h and the README for
// why each round exists.
#include "embedder.h"

#include <vips/vips.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "aim.h"
#include "drawing.h"
#include "format.h"
#include "hamming.h"
#include "layout.h"
#include "nudge.h"
#include "packet.h"
#include "roomcard/codec.h"
#include "scores.h"
#include "self_check.h"

namespace mirelo::services::roomcard::watermark {
namespace {

using images::Image;

// One embed: the drawing, the data blocks' marks, the card's pixels and the self-check, with the
// buffers of each allocated once and reused by every strength.
class Embedder {
 public:
  Embedder(const Image& image, std::string_view invitation, int width, int height, std::vector<uint8_t> bits,
           std::vector<int> blocks)
      : width_(width),
        height_(height),
        bits_(std::move(bits)),
        blocks_(std::move(blocks)),
        canvas_(drawRgba(image, width, height, false, canvasBuffer_)),
        opaque_(isOpaque()),
        colour_(opaque_ ? canvas_ : drawRgba(image, width, height, true, flattenedBuffer_)),
        bands_(opaque_ ? 3 : 4),
        scores_(initialScores()),
        offsets_(bits_.size(), 0.0),
        marks_{colour_, width_, blocks_, bits_, scores_, offsets_},
        check_(invitation, bits_, width, height, bands_) {}

  Image run(EmbedReport* report);

 private:
  bool isOpaque() const {
    const size_t rgbaBytes = static_cast<size_t>(width_) * height_ * 4;
    bool opaque = true;
    for (size_t i = 3; i < rgbaBytes && opaque; i += 4) opaque = canvas_[i] == 255;
    return opaque;
  }
  std::vector<double> initialScores() const {
    std::vector<double> scores(bits_.size());
    for (size_t i = 0; i < bits_.size(); ++i) scores[i] = blockScore(colour_, width_, blocks_[i]);
    return scores;
  }
  bool make(int step, bool headroom);
  Image accepted(int step, bool headroom, EmbedReport* report);

  const int width_, height_;
  const std::vector<uint8_t> bits_;
  const std::vector<int> blocks_;
  // The drawing (premultiplied RGBA, as `raster` makes it), and the colour the blocks are written
  // from: the same drawing when opaque, else the picture flattened on white.
  Buffer canvasBuffer_, flattenedBuffer_;
  const uint8_t* const canvas_;
  const bool opaque_;
  const uint8_t* const colour_;
  const int bands_;
  const std::vector<double> scores_;
  std::vector<double> offsets_;
  const Marks marks_;
  // The card's pixels as it ships: RGB when opaque, written in place; otherwise straight RGBA from
  // `copy_`, the premultiplied drawing written first.
  Buffer copy_, pixels_;
  SelfCheck check_;
};

// The card at one strength, with or without headroom; whether some nudge was clamped. An opaque
// card stays without an alpha band: smaller to encode, nothing to flatten. Its colour is already
// straight: the drawing is packed into the buffer of the previous strength and the blocks are
// written there.
bool Embedder::make(int step, bool headroom) {
  const size_t rgbaBytes = static_cast<size_t>(width_) * height_ * 4;
  uint8_t* pixels = pixels_.reserve(static_cast<size_t>(width_) * height_ * bands_);
  if (opaque_) {
    for (size_t from = 0, to = 0; from < rgbaBytes; from += 4, to += 3) {
      pixels[to] = canvas_[from];
      pixels[to + 1] = canvas_[from + 1];
      pixels[to + 2] = canvas_[from + 2];
    }
  } else {
    std::memcpy(copy_.reserve(rgbaBytes), canvas_, rgbaBytes);
  }
  const bool clamped = nudgeBlocks(marks_, step, headroom, opaque_ ? pixels : copy_.data(), bands_);
  if (!opaque_) straightInto(copy_.data(), rgbaBytes, pixels);
  return clamped;
}

// The card kept: its image takes the pixel buffer over.
Image Embedder::accepted(int step, bool headroom, EmbedReport* report) {
  if (report) *report = {step, headroom};
  auto* pixels = new BlockBuffer(pixels_.release());
  const size_t bytes = static_cast<size_t>(width_) * height_ * bands_;
  VipsImage* card = vips_image_new_from_memory(pixels->data(), bytes, width_, height_, bands_, VIPS_FORMAT_UCHAR);
  if (!card) {
    delete pixels;
    vips_error_clear();
    throw RoomCardCodec::error("房卡生成失败");
  }
  card->Type = VIPS_INTERPRETATION_sRGB;
  // The pixels go back to the pool when libvips closes the image.
  g_signal_connect(card, "postclose",
                   G_CALLBACK(+[](VipsImage*, gpointer memory) { delete static_cast<BlockBuffer*>(memory); }), pixels);
  return Image(card);
}

// Strengths from the weakest. When none survives, a second round gives the blocks whose nudge was
// clamped headroom first (strengths where nothing was clamped would only repeat themselves), and
// when that fails aims the drifting blocks off. Candidates that fell short of the margin alone
// are tried again last, without it.
Image Embedder::run(EmbedReport* report) {
  std::array<bool, strengths.size()> clampedAt{};
  struct Candidate {
    size_t k;
    bool headroom;
    std::vector<double> offsets;
  };
  std::vector<Candidate> shortOfMarginOnly;
  for (const bool headroom : {false, true}) {
    for (size_t k = 0; k < strengths.size(); ++k) {
      if (headroom && !clampedAt[k]) continue;
      const int step = strengths[k];
      std::fill(offsets_.begin(), offsets_.end(), 0.0);
      const bool clamped = make(step, headroom);
      if (!headroom) clampedAt[k] = clamped;
      if (check_.passes(pixels_.data(), step, false)) return accepted(step, headroom, report);
      if (check_.shortOfMargin()) shortOfMarginOnly.push_back({k, headroom, offsets_});
      // Aiming helps copies, not a card that does not read itself, nor one whose independent copy
      // lost more bits than there are codewords (aiming recovers a few dozen hard edges at most).
      if (headroom && check_.cardReads() && check_.mostFlipped() <= check_.codewords() &&
          aimOff(check_, pixels_, step, offsets_, [&] { make(step, true); })) {
        if (check_.passes(pixels_.data(), step, false)) return accepted(step, headroom, report);
        if (check_.shortOfMargin()) shortOfMarginOnly.push_back({k, headroom, offsets_});
      }
    }
  }
  std::stable_sort(shortOfMarginOnly.begin(), shortOfMarginOnly.end(), [](const Candidate& a, const Candidate& b) {
    return std::pair(a.k, a.headroom) < std::pair(b.k, b.headroom);
  });
  for (const Candidate& candidate : shortOfMarginOnly) {
    std::copy(candidate.offsets.begin(), candidate.offsets.end(), offsets_.begin());
    make(strengths[candidate.k], candidate.headroom);
    if (check_.passes(pixels_.data(), strengths[candidate.k], true)) {
      return accepted(strengths[candidate.k], candidate.headroom, report);
    }
  }
  throw RoomCardCodec::error("房卡生成后未通过压缩识别检查");
}

}  // namespace

Image embed(const Image& image, std::string_view invitation, EmbedReport* report) {
  const auto [width, height] = geometry(image);
  std::vector<uint8_t> bits = encodeBits(packet(invitation));
  std::vector<int> blocks = order(width, height);
  if (blocks.size() < bits.size()) throw RoomCardCodec::error("邀请内容超出房卡容量");
  return Embedder(image, invitation, width, height, std::move(bits), std::move(blocks)).run(report);
}

}  // namespace mirelo::services::roomcard::watermark
