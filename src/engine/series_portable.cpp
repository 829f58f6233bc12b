// Portable round kernel: plain C++, any processor.
//
// The terms of the group run one after another over the segment rows; the
// four lanes of a row are independent, which gives the processor four
// dependency chains to overlap. The arithmetic is word for word that of the
// reference pass.
#include <cmath>

#include "engine/fixed_point.hpp"
#include "engine/series_kernel.hpp"

namespace atanpi {

void series_round_portable(const RoundArgs& a) {
  const double b = a.b;
  const double rb = a.rb;
  for (int g = 0; g < GROUP_TERMS; ++g) {
    const double s = (g % 2 == 0) ? a.sign : -a.sign;
    for (std::int32_t row = 0; row < a.rows; ++row) {
      std::int32_t* words = a.words + row * LANES;
      std::int32_t* deltas = a.deltas + row * LANES;
      for (int k = 0; k < LANES; ++k) {
        if (!(a.lane_mask >> k & 1U)) continue;
        const double t = words[k] + a.r2[g][k] * radix;
        const double q = std::floor(t * rb);
        a.r2[g][k] = t - q * b;
        words[k] = static_cast<std::int32_t>(q);
        const double u = a.r1[g][k] * radix + q;
        const double v = std::floor(u * a.rd[g][k]);
        a.r1[g][k] = u - v * a.d[g][k];
        deltas[k] += static_cast<std::int32_t>(s * v);
      }
    }
  }
}

}  // namespace atanpi
