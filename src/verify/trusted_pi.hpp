// Decimal digits of pi from independent multiple-precision arithmetic, the
// yardstick that results are checked against.
#pragma once

#include <string>

namespace atanorg {

// The first `places` decimal places of pi after "3.", truncated (not
// rounded): trusted_pi_places(5) is "14159". Computed with GMP integers by
// the Chudnovsky series (binary splitting, two threads); a few seconds for
// the 5,000,040 places of a file at the program's cap. Empty for places <= 0.
std::string trusted_pi_places(long places);

// The same places from MPFR's own constant (a different algorithm and a
// different library's code); two to three times slower. A second opinion
// for the tests, in its own library (mpfr_pi.cpp) so that atanpi-verify
// needs no MPFR.
std::string mpfr_pi_places(long places);

}  // namespace atanorg
