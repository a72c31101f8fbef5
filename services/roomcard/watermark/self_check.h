#pragma once

// The self-check of a candidate card: it must read back from itself and from degraded copies,
// our own twelve (scales 1, 0.75, 0.5 × JPEG quality 90, 75, 65, 40, made with TurboJPEG on raw
// RGB) and two made by a pipeline that shares nothing with ours (libvips' bilinear half size and
// JPEG writer, and WebP), the latter two with room to spare. Cheapest and most telling first,
// stopping at the first failure, on this thread and one helper. The buffers of every copy are
// allocated once and reused by every check of one embed: use one SelfCheck per embed, from one
// thread. A full check costs four libvips scalings and encodes and thirteen JPEG round trips.

#include <turbojpeg.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "buffer.h"
#include "handle.h"
#include "images/images.h"

namespace mirelo::services::roomcard::watermark {

constexpr std::array<double, 3> selfCheckScales{1.0, 0.75, 0.5};
constexpr std::array<double, 4> selfCheckFactors{0.9, 0.75, 0.65, 0.4};

using TurboJpeg = Handle<void, tjDestroy>;

// What a TurboJPEG round trip reuses: the codec's handles, the compressed bytes, the decoded pixels.
struct JpegWorkspace {
  TurboJpeg compressor;
  TurboJpeg decompressor;
  Buffer jpeg;
  Buffer decoded;
};

class SelfCheck {
 public:
  // For cards of W × H pixels of `bands` bytes (3: opaque RGB, 4: straight RGBA) meant to carry
  // `invitation` as `bits`.
  SelfCheck(std::string_view invitation, std::span<const uint8_t> bits, int width, int height, int bands);

  // Whether the card reads back from itself and every copy; unless `relaxed`, the independent
  // copies must keep the margin too.
  bool passes(const uint8_t* pixels, int step, bool relaxed);
  // Of the last check: whether the card read back itself, before any copy.
  bool cardReads() const { return cardReads_; }
  // Of the last check: whether an independent copy read back but fell short of the margin.
  bool shortOfMargin() const { return shortOfMargin_.load(); }
  // Of the last check: the most data bits an independent copy flipped.
  size_t mostFlipped() const { return mostFlipped_.load(); }

  // How far each data block's score moves, relative to the card's own, in five harsh copies (the
  // two independent ones, half size at factors 0.4 and 0.9, 0.75 size at 0.4): the lowest and
  // highest drift, zero included (the card itself).
  std::pair<std::vector<double>, std::vector<double>> drift(const uint8_t* pixels);

  size_t codewords() const { return codewords_; }

 private:
  images::Image candidateOf(const uint8_t* pixels) const;
  const uint8_t* scaledOf(const images::Image& candidate, const uint8_t* pixels, size_t s);
  bool reads(const std::optional<std::vector<double>>& copy) const;
  bool readsWithMargin(const std::optional<std::vector<double>>& copy, int step, bool relaxed);

  const std::string invitation_;
  const std::span<const uint8_t> bits_;
  const int width_, height_, bands_;
  const size_t codewords_;
  std::array<std::pair<int, int>, selfCheckScales.size()> sizes_;
  std::array<JpegWorkspace, 2> jpegWork_;  // per thread
  std::array<Buffer, selfCheckScales.size()> scaled_;
  std::array<JpegWorkspace, 2> independentWork_;  // per thread: the independent copies' decoding
  bool cardReads_ = false;
  std::atomic<bool> shortOfMargin_{false};
  std::atomic<size_t> mostFlipped_{0};
};

}  // namespace mirelo::services::roomcard::watermark
