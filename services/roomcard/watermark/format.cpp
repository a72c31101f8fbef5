// The pattern of the format, computed once (256 sines and cosines) on first use; thread-safe.
#include "format.h"

namespace mirelo::services::roomcard::watermark {

const std::array<double, 256>& basis() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> raw{};
    double sum = 0;
    for (int k = 0; k < 256; ++k) {
      const int row = k / 16, column = k % 16;
      const double a = (row + 0.5) * M_PI / 16, b = (column + 0.5) * M_PI / 16;
      raw[k] = std::sin(a) * std::sin(b) * (std::cos(a) - std::cos(b));
      sum += raw[k] * raw[k];
    }
    const double factor = std::sqrt(2 / sum);
    for (double& v : raw) v *= factor;
    return raw;
  }();
  return table;
}

}  // namespace mirelo::services::roomcard::watermark
