#pragma once

// A block's score: the correlation of its brightness (R + G + B) / 3 with `basis`, the value whose
// quantisation carries the block's bit. Thread-safe.

#include <cstdint>
#include <vector>

#include "drawing.h"
#include "images/images.h"

namespace mirelo::services::roomcard::watermark {

// The score of block `block` (row by row over columns of W / 16) of RGBA pixels W wide, as they
// stand (premultiplied colour is taken as it is). 256 multiply-adds.
double blockScore(const uint8_t* rgba, int width, int block);
// The same of a raster.
double score(const Raster& raster, int block, int width);

// The scores, in block order, of every usable block of an image given as straight RGB or RGBA
// bytes at its own size, as drawn flattened at its profile's size. Rows are streamed through the
// resampler into the scores, one brightness channel instead of colour: no plane of either size is
// made. Empty when the image is smaller than minDecodeSize on a side. One resampling of one
// channel.
std::vector<double> scoresOf(const uint8_t* pixels, int sourceWidth, int sourceHeight, int bands);
// The same of a decoded image (one conversion to 8-bit sRGB by libvips first). Throws the room card
// error "房卡图片无法读取" when it cannot be converted.
std::vector<double> scoresOf(const images::Image& image);

}  // namespace mirelo::services::roomcard::watermark
