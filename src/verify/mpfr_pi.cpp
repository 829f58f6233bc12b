// Pi from MPFR's own constant: a second opinion on trusted_pi_places for the
// tests, kept apart so that atanpi-verify does not depend on MPFR.
#include <mpfr.h>

#include <cmath>

#include "verify/trusted_pi.hpp"

namespace atanorg {

std::string mpfr_pi_places(long places) {
  if (places <= 0) return {};
  const long digits = places + 1;  // with the leading 3
  // 64 bits beyond the places asked for: the truncated digits are those of
  // pi unless pi has a run of about twenty 9s or 0s at the cut.
  const auto bits = static_cast<mpfr_prec_t>(std::ceil(static_cast<double>(digits) * 3.321928094887362)) + 64;
  mpfr_t pi;
  mpfr_init2(pi, bits);
  mpfr_const_pi(pi, MPFR_RNDN);
  mpfr_exp_t exponent = 0;
  char* text = mpfr_get_str(nullptr, &exponent, 10, static_cast<size_t>(digits), pi, MPFR_RNDZ);
  std::string result(text + 1);  // drop the 3
  mpfr_free_str(text);
  mpfr_clear(pi);
  mpfr_free_cache();
  return result;
}

}  // namespace atanorg
