// decodeDc: the frame parsed, its planes laid out, the scan decoded, the picture made; see
// jpeg_dc.h and the pieces in jpeg_dc/.
#include "jpeg_dc.h"

#include <new>

#include "jpeg_dc/frame.h"
#include "jpeg_dc/picture.h"
#include "jpeg_dc/scan.h"

namespace mirelo::services::images {
namespace {

std::optional<DcPicture> decode(std::string_view jpeg, bool rgb, int64_t parallelFrom) {
  jpeg_dc::Frame frame;
  std::vector<uint8_t> clean;
  std::vector<size_t> ends;
  if (!jpeg_dc::parse(jpeg, frame, clean, ends)) return std::nullopt;

  const int64_t blockW = int64_t{8} * frame.h, blockH = int64_t{8} * frame.v;
  frame.mcusWide = static_cast<int>((frame.width + blockW - 1) / blockW);
  frame.mcusHigh = static_cast<int>((frame.height + blockH - 1) / blockH);
  const int64_t mcus = static_cast<int64_t>(frame.mcusWide) * frame.mcusHigh;
  const int64_t interval = frame.restart ? frame.restart : mcus;
  if (static_cast<int64_t>(ends.size()) != (mcus + interval - 1) / interval) return std::nullopt;
  // Every block takes two bits at least (a DC code, an AC code): a scan too short for its blocks
  // is refused before anything the size of the picture is allocated.
  if (mcus * frame.blocksPerMcu > static_cast<int64_t>(ends.back()) * 4) return std::nullopt;
  for (int i = 0; i < frame.components; ++i) {
    jpeg_dc::Component& c = frame.component[static_cast<size_t>(i)];
    c.planeWidth = frame.mcusWide * frame.h;
    c.plane.resize(static_cast<size_t>(c.planeWidth) * static_cast<size_t>(frame.mcusHigh * frame.v));
  }
  if (!jpeg_dc::decodeScan(frame, clean, ends, parallelFrom)) return std::nullopt;
  return jpeg_dc::toPicture(frame, rgb);
}

}  // namespace

std::optional<DcPicture> decodeDc(std::string_view jpeg, bool rgb, int64_t parallelFrom) {
  try {
    return decode(jpeg, rgb, parallelFrom);
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // the full decoder's turn, with its own bounds
  }
}

}  // namespace mirelo::services::images
